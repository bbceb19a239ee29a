#include "servers/frmServerSelect.h"

#include <optional>
#include <vector>

#include "base/AppError.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "ping/ModPing.h"
#include "servers/ServerList.h"

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
    const std::vector<ServerListEntry> entries = ParseServerList(*bytes);

    // Rows are keyed by their position, so two servers of the same name are two rows; the
    // connect handler maps the selected position back to its entry.
    int16_t counter = 0;
    for (const ServerListEntry& read : entries) {
        ++counter;
        servers_.resize(static_cast<size_t>(counter) + 1);
        ServerEntry& entry = servers_[static_cast<size_t>(counter)];
        entry.Address = read.Address;
        entry.Name = read.Name;
        view_.AddRow(L"K" + std::to_wstring(counter), entry.Name);
        view_.SetSubItem(counter, 1, kNewRowPing);
        view_.SetSubItem(counter, 2, kNewRowState);
    }
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
