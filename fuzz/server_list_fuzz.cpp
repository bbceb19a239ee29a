// SvrList.dat: any bytes parse or raise error 5 (a line without ':', naming it) or 6; every
// server comes from a line of its own that is not blank, its address holds no ':', and the
// list is the file's non-blank lines split at their first ':'.
#include <string>
#include <vector>

#include "app/AppError.h"
#include "app/Cp949.h"
#include "fuzz/FuzzSupport.h"
#include "servers/ServerList.h"

namespace vt::fuzz {
namespace {

// The file's lines as bytes: CR LF, CR or LF end one; a break at the end adds none.
std::vector<std::string_view> Lines(std::string_view bytes) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t end = bytes.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.push_back(bytes.substr(start));
            break;
        }
        lines.push_back(bytes.substr(start, end - start));
        start = end + (bytes.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return lines;
}

bool IsBlank(std::string_view line) {
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

}  // namespace
}  // namespace vt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vt;
    using namespace vt::fuzz;
    const std::string_view bytes = AsBytes(data, size);
    std::vector<ServerListEntry> expected;
    size_t firstWithoutColon = 0;
    const std::vector<std::string_view> lines = Lines(bytes);
    for (size_t i = 0; i < lines.size() && firstWithoutColon == 0; ++i) {
        if (IsBlank(lines[i])) {
            continue;
        }
        // Code page 949 trail bytes are never CR, LF or ':', so a line decodes on its own.
        const std::wstring line = FromCp949(lines[i]);
        const size_t colon = line.find(L':');
        if (colon == std::wstring::npos) {
            firstWithoutColon = i + 1;
        } else {
            expected.push_back({line.substr(0, colon), line.substr(colon + 1)});
        }
    }

    std::vector<ServerListEntry> entries;
    try {
        entries = ParseServerList(bytes);
    } catch (const AppError& e) {
        Check(firstWithoutColon != 0 && e.Code() == ErrorNumber::InvalidArgument,
              "a server list was refused without a line lacking ':'", Shown(bytes));
        Check(e.Description().find(L"SvrList.dat, " + std::to_wstring(firstWithoutColon) + L")") !=
                  std::wstring::npos,
              "the error names another line", Shown(e.Description()));
        return 0;
    }
    Check(firstWithoutColon == 0, "a line without ':' was accepted", Shown(bytes));
    size_t nonBlank = 0;
    for (std::string_view line : lines) {
        nonBlank += IsBlank(line) ? 0 : 1;
    }
    Check(entries.size() <= nonBlank, "more servers than non-blank lines", Shown(bytes));
    for (const ServerListEntry& entry : entries) {
        Check(entry.Address.find(L':') == std::wstring::npos, "an address holds ':'",
              Shown(entry.Address));
        Check(entry.Address.find_first_of(L"\r\n") == std::wstring::npos &&
                  entry.Name.find_first_of(L"\r\n") == std::wstring::npos,
              "a server spans lines", Shown(bytes));
    }
    Check(entries == expected, "the servers are not the file's lines", Shown(bytes));
    return 0;
}
