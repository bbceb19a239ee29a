#include "servers/frmServerSelect.h"

#include <limits>
#include <optional>
#include <string_view>
#include <unordered_set>

#include "app/AppError.h"
#include "app/Cp949.h"
#include "app/EndProgram.h"
#include "app/FileSystem.h"
#include "app/ModGame.h"
#include "ping/ModPing.h"

namespace vt {
namespace {

constexpr wchar_t kServerListFile[] = L"SvrList.dat";
constexpr wchar_t kClientFile[] = L"vt.exe";
constexpr wchar_t kClientArguments[] = L" 5000 qelvorin";

constexpr wchar_t kStateOk[] = L"정상";
constexpr wchar_t kStateError[] = L"오류";
constexpr wchar_t kMilliseconds[] = L" ms";
constexpr wchar_t kFailedPing[] = L"0 ms";
constexpr wchar_t kNewRowPing[] = L"0ms";
constexpr wchar_t kNewRowState[] = L"모름";
constexpr wchar_t kSocketsInitFailed[] = L"윈도우 소켓 초기화 실패";

constexpr uint32_t kPauseBetweenProbes = 50;
constexpr int kEnterKey = 13;

// Splits text into lines. A line ends at CR LF, a lone CR or a lone LF; a break after the last
// line is optional and adds no line.
template <typename Visit>
void ForEachLine(std::wstring_view text, Visit&& visit) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of(L"\r\n", start);
        if (end == std::wstring_view::npos) {
            visit(text.substr(start));
            return;
        }
        visit(text.substr(start, end - start));
        start = end + 1;
        if (text[end] == L'\r' && start < text.size() && text[start] == L'\n') {
            ++start;
        }
    }
}

}  // namespace

frmServerSelect::frmServerSelect(ServerView& view, Pinger& pinger, Shell& shell)
    : view_(view), pinger_(pinger), shell_(shell), servers_(1) {}

void frmServerSelect::Form_Load() {
    view_.ConfigureList();
    view_.AddColumn(L"서버이름", 120, ColumnAlign::Left);
    view_.AddColumn(L"Ping", 70, ColumnAlign::Center);
    view_.AddColumn(L"상태", 70, ColumnAlign::Center);
    ReadSvrList();
    cmdRefresh_Click();
}

void frmServerSelect::ReadSvrList() {
    const std::wstring path = DataDir + kServerListFile;
    const std::optional<std::string> bytes = fs::ReadWholeFile(path);
    if (!bytes) {
        throw AppError(ErrorNumber::FileNotFound, L"파일을 찾을 수 없습니다. (" + path + L")");
    }
    const std::wstring text = FromCp949(*bytes);

    std::unordered_set<std::wstring> keys;
    int16_t counter = 0;
    ForEachLine(text, [&](std::wstring_view line) {
        if (counter == std::numeric_limits<int16_t>::max()) {
            RaiseOverflow(kServerListFile);
        }
        ++counter;
        servers_.resize(static_cast<size_t>(counter) + 1);

        const size_t colon = line.find(L':');
        if (colon == std::wstring_view::npos) {
            RaiseInvalidArgument(std::wstring(kServerListFile) + L", " + std::to_wstring(counter));
        }
        ServerEntry& entry = servers_[static_cast<size_t>(counter)];
        entry.Address = line.substr(0, colon);
        entry.Name = line.substr(colon + 1);

        std::wstring key = L"K" + entry.Name;
        if (!keys.insert(key).second) {
            throw AppError(ErrorNumber::KeyNotUnique,
                           L"이 키는 이미 이 컬렉션의 요소와 연결되어 있습니다. (" + key + L")");
        }
        view_.AddRow(key, entry.Name);
        view_.SetSubItem(counter, 1, kNewRowPing);
        view_.SetSubItem(counter, 2, kNewRowState);
    });
    serverCount_ = counter;
}

void frmServerSelect::PingServers() {
    EchoReplyBuffer reply;
    if (!pinger_.SocketsInitialize()) {
        view_.ShowMessage(kSocketsInitFailed, L"", MessageStyle::Plain);
        return;
    }
    for (int32_t i = 1; i <= serverCount_; ++i) {
        const std::wstring address = servers_[static_cast<size_t>(i)].Address;
        const int32_t result = pinger_.PingHost(address, address, reply);
        ServerEntry& entry = servers_[static_cast<size_t>(i)];
        if (result != 0) {
            entry.PingText = kFailedPing;
            entry.State = kStateError;
        } else {
            entry.State = kStateOk;
            entry.PingText = std::to_wstring(reply.RoundTripTime()) + kMilliseconds;
        }
        view_.DoEvents();
        view_.Pause(kPauseBetweenProbes);
    }
    pinger_.SocketsCleanup();
}

void frmServerSelect::cmdRefresh_Click() {
    PingServers();
    const int32_t count = serverCount_;
    for (int32_t i = 1; i <= count; ++i) {
        const ServerEntry& entry = servers_[static_cast<size_t>(i)];
        view_.SetSubItem(i, 1, entry.PingText);
        view_.SetSubItem(i, 2, entry.State);
    }
}

void frmServerSelect::cmdConnect_Click() {
    // With no row selected there is no server to hand over: stay in the window.
    const int32_t row = view_.SelectedRow();
    if (row < 1 || row > serverCount_) {
        return;
    }
    const std::wstring& address = servers_[static_cast<size_t>(row)].Address;
    shell_.Open(AppDir + kClientFile, address + kClientArguments, AppDir);
    EndProgram();
}

void frmServerSelect::cmdCancel_Click() {
    EndProgram();
}

void frmServerSelect::Image1_Click() {
    shell_.Open(VT_HOMEPAGE_URL, L"", L"");
}

void frmServerSelect::lstvServer_DblClick() {
    cmdConnect_Click();
}

void frmServerSelect::lstvServer_KeyDown(int keyCode, int /*shift*/) {
    if (keyCode == kEnterKey) {
        cmdConnect_Click();
    }
}

}  // namespace vt
