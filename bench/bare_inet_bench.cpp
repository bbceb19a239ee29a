// The platform's floor for many small files: one WinINet session, then for every path one
// connection handle, one request and one output file, nothing else. bench/many_files.sh sets
// the launcher's time per file against this loop over the same URLs.
// Usage: bare_inet_bench.exe <host> <port> <list of paths, one a line> <output directory\>
#include <windows.h>

#include <wininet.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "base/Cp949.h"

namespace {

bool Fetch(HINTERNET session, const std::wstring& host, INTERNET_PORT port,
           const std::wstring& path, const std::wstring& target) {
    HINTERNET connection = InternetConnectW(session, host.c_str(), port, nullptr, nullptr,
                                            INTERNET_SERVICE_HTTP, 0, 0);
    if (connection == nullptr) {
        return false;
    }
    // The launcher's own flags: without cookies, which under Wine cost more with every new
    // address asked for.
    constexpr DWORD kFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                             INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_UI |
                             INTERNET_FLAG_NO_COOKIES;
    HINTERNET request =
        HttpOpenRequestW(connection, L"GET", path.c_str(), nullptr, nullptr, nullptr, kFlags, 0);
    bool ok = request != nullptr && HttpSendRequestW(request, nullptr, 0, nullptr, 0);
    HANDLE file = INVALID_HANDLE_VALUE;
    if (ok) {
        file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        ok = file != INVALID_HANDLE_VALUE;
    }
    char buffer[65536];
    while (ok) {
        DWORD got = 0;
        if (!InternetReadFile(request, buffer, sizeof buffer, &got)) {
            ok = false;
        } else if (got == 0) {
            break;
        } else {
            DWORD wrote = 0;
            ok = WriteFile(file, buffer, got, &wrote, nullptr) && wrote == got;
        }
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    if (request != nullptr) {
        InternetCloseHandle(request);
    }
    InternetCloseHandle(connection);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: bare_inet_bench <host> <port> <paths file> <dir\\>\n");
        return 2;
    }
    const std::wstring host = vt::FromUtf8(argv[1]);
    const auto port = static_cast<INTERNET_PORT>(std::stoi(argv[2]));
    std::vector<std::string> paths;
    std::ifstream list(argv[3]);
    for (std::string line; std::getline(list, line);) {
        if (!line.empty()) {
            paths.push_back(line);
        }
    }
    const std::wstring dir = vt::FromUtf8(argv[4]);
    const auto start = std::chrono::steady_clock::now();
    HINTERNET session = InternetOpenW(L"bare", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (session == nullptr) {
        return 1;
    }
    size_t n = 0;
    for (const std::string& p : paths) {
        std::wstring target = dir + L"f" + std::to_wstring(n++);
        if (!Fetch(session, host, port, vt::FromUtf8(p.c_str()), target)) {
            std::fprintf(stderr, "failed: %s\n", p.c_str());
            return 1;
        }
    }
    InternetCloseHandle(session);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("bare_files %zu\nbare_ms_per_file %.3f\n", paths.size(),
                paths.empty() ? 0.0 : ms / static_cast<double>(paths.size()));
    return 0;
}
