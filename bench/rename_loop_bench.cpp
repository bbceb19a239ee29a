// The platform's floor for placing many small files into one folder: per file, create a file
// in temp\, write 100 bytes, close it and rename it over its name in the folder, the way every
// payload is put in place, nothing else. Under Wine a rename into a folder costs more the more
// files it holds, so bench/many_files.sh sets the launcher's time per file at the start and at
// the end of a fresh install against this loop's at the same folder sizes.
// Usage: rename_loop_bench.exe <scratch directory\> <files> [window, default 1000]
//   prints the milliseconds per file of the first and of the last `window` files.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "base/Cp949.h"

namespace {

using Clock = std::chrono::steady_clock;

bool PlaceOne(const std::wstring& staged, const std::wstring& target) {
    HANDLE file = CreateFileW(staged.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    static const std::string body(100, 'x');
    DWORD wrote = 0;
    const bool written =
        WriteFile(file, body.data(), static_cast<DWORD>(body.size()), &wrote, nullptr) &&
        wrote == body.size();
    CloseHandle(file);
    return written && MoveFileExW(staged.c_str(), target.c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

double MsPerFile(const std::vector<Clock::time_point>& done, size_t from, size_t to) {
    return std::chrono::duration<double, std::milli>(done[to] - done[from]).count() /
           static_cast<double>(to - from);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: rename_loop_bench <dir\\> <files> [window]\n");
        return 2;
    }
    const std::wstring dir = vt::FromUtf8(argv[1]);
    const size_t files = std::stoul(argv[2]);
    const size_t window = std::min<size_t>(argc > 3 ? std::stoul(argv[3]) : 1000, files);
    const std::wstring temp = dir + L"temp\\";
    const std::wstring folder = dir + L"sound\\";
    CreateDirectoryW(temp.c_str(), nullptr);
    CreateDirectoryW(folder.c_str(), nullptr);
    // done[i]: when i files were in place.
    std::vector<Clock::time_point> done;
    done.reserve(files + 1);
    done.push_back(Clock::now());
    for (size_t i = 1; i <= files; ++i) {
        wchar_t name[32];
        swprintf(name, 32, L"f%05zu.wav", i);
        if (!PlaceOne(temp + L"sound-" + std::to_wstring(i) + L".part", folder + name)) {
            std::fprintf(stderr, "failed at file %zu (error %lu)\n", i, GetLastError());
            return 1;
        }
        done.push_back(Clock::now());
    }
    std::printf("rename_loop_files %zu\n", files);
    std::printf("rename_loop_ms_per_file_first_%zu %.3f\n", window, MsPerFile(done, 0, window));
    std::printf("rename_loop_ms_per_file_last_%zu %.3f\n", window,
                MsPerFile(done, files - window, files));
    return 0;
}
