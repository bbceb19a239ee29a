#include "servers/ServerList.h"

#include <cstdint>
#include <limits>

#include "base/AppError.h"
#include "base/Cp949.h"

namespace vt {
namespace {

constexpr wchar_t kServerListFile[] = L"SvrList.dat";
constexpr size_t kMaxServers = std::numeric_limits<int16_t>::max();

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

// An editor's trailing newline or a gap between groups of servers is no server.
bool IsBlank(std::wstring_view line) {
    return line.find_first_not_of(L" \t") == std::wstring_view::npos;
}

}  // namespace

std::vector<ServerListEntry> ParseServerList(std::string_view bytes) {
    const std::wstring text = FromCp949(bytes);
    std::vector<ServerListEntry> entries;
    size_t lineNumber = 0;
    ForEachLine(text, [&](std::wstring_view line) {
        ++lineNumber;
        if (IsBlank(line)) {
            return;
        }
        if (entries.size() == kMaxServers) {
            RaiseOverflow(kServerListFile);
        }
        const size_t colon = line.find(L':');
        if (colon == std::wstring_view::npos) {
            RaiseInvalidArgument(std::wstring(kServerListFile) + L", " +
                                 std::to_wstring(lineNumber));
        }
        entries.push_back(
            {std::wstring(line.substr(0, colon)), std::wstring(line.substr(colon + 1))});
    });
    return entries;
}

}  // namespace vt
