// SvrList.dat: any bytes parse or raise error 5 (a line without ':', naming it) or 6; every
// server comes from a line of its own that is not blank, its address holds no ':', and the
// list is the file's non-blank lines split at their first ':'. The file is read as Windows
// reads it, whole, through code page 949: a lead byte takes the byte after it even when that
// is ':', CR or LF, so the lines are those of the decoded text, not of the bytes.
#include <string>
#include <vector>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "fuzz/FuzzSupport.h"
#include "servers/ServerList.h"

namespace vt::fuzz {
namespace {

// The text's lines: CR LF, CR or LF end one; a break at the end adds none.
std::vector<std::wstring_view> Lines(std::wstring_view text) {
    std::vector<std::wstring_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of(L"\r\n", start);
        if (end == std::wstring_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + (text.compare(end, 2, L"\r\n") == 0 ? 2 : 1);
    }
    return lines;
}

bool IsBlank(std::wstring_view line) {
    return line.find_first_not_of(L" \t") == std::wstring_view::npos;
}

}  // namespace
}  // namespace vt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vt;
    using namespace vt::fuzz;
    const std::string_view bytes = AsBytes(data, size);
    const std::wstring text = FromCp949(bytes);
    const std::vector<std::wstring_view> lines = Lines(text);
    std::vector<ServerListEntry> expected;
    size_t firstWithoutColon = 0;
    for (size_t i = 0; i < lines.size() && firstWithoutColon == 0; ++i) {
        if (IsBlank(lines[i])) {
            continue;
        }
        const size_t colon = lines[i].find(L':');
        if (colon == std::wstring_view::npos) {
            firstWithoutColon = i + 1;
        } else {
            expected.push_back({std::wstring(lines[i].substr(0, colon)),
                                std::wstring(lines[i].substr(colon + 1))});
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
    for (std::wstring_view line : lines) {
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
