#pragma once
// SvrList.dat: one server a line, "address:name", in code page 949. Parsing is kept apart from
// reading the file so that any bytes can be fed to it.

#include <string>
#include <string_view>
#include <vector>

namespace vt {

struct ServerListEntry {
    std::wstring Address;
    std::wstring Name;
    bool operator==(const ServerListEntry&) const = default;
};

// Lines end at CR LF, a lone CR or a lone LF; a break after the last line adds nothing. Empty
// lines and lines of blanks (spaces, tabs) are skipped. The first ':' separates the address
// from the name; neither is trimmed. A line without ':' raises error 5 naming the line's
// number in the file; more than 32,767 servers raise error 6 (the list counts in 16 bits).
std::vector<ServerListEntry> ParseServerList(std::string_view bytes);

}  // namespace vt
