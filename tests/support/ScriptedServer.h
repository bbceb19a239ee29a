#pragma once
// The test server tests/transfer/scripted_server.py, as the Windows transfer tests reach it: on
// the build's patch host, port 18081 (ctest starts and stops it around the suites).

#include <cstddef>
#include <string>

namespace vt::test {

inline std::wstring ServerUrl(const std::wstring& path) {
    const std::wstring host = VT_PATCH_HOST;
    return host.substr(0, host.find(L':')) + L":18081" + path;
}

// The bytes the server sends for a body of `size`: no two blocks alike, so a misplaced piece
// shows.
inline std::string Pattern(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>((i * 131 + i / 256) & 0xff);
    }
    return s;
}

}  // namespace vt::test
