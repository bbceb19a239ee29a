// Where the time of recording one finished file goes when the local manifest already holds
// many entries: each step of the atomic rewrite timed alone, then the whole WriteString.
// Usage: record_cost_bench.exe <scratch directory\> [entries, default 30000]
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <span>
#include <string>

#include "base/FileSystem.h"
#include "base/Profile.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: record_cost_bench <dir\\> [entries]\n");
        return 2;
    }
    std::string dirNarrow = argv[1];
    const std::wstring dir(dirNarrow.begin(), dirNarrow.end());
    const int entries = argc > 2 ? std::stoi(argv[2]) : 30000;
    std::string text = "[sound]\r\n";
    for (int i = 1; i <= entries; ++i) {
        text += "old" + std::to_string(i) + ".wav=1\r\n";
    }
    const std::wstring path = dir + L"manifest.ini";
    constexpr int kRounds = 50;
    double create = 0, write = 0, flush = 0, close = 0, rename = 0;
    for (int r = 0; r < kRounds; ++r) {
        const std::wstring temp = vt::fs::TempNameBeside(path);
        auto t = Clock::now();
        auto out = vt::fs::CreateOutputFile(temp);
        create += Ms(t);
        t = Clock::now();
        out->Write(std::as_bytes(std::span(text.data(), text.size())));
        write += Ms(t);
        t = Clock::now();
        out->Flush();
        flush += Ms(t);
        t = Clock::now();
        out.reset();
        close += Ms(t);
        t = Clock::now();
        vt::fs::ReplaceFile(temp, path);
        rename += Ms(t);
    }
    auto t = Clock::now();
    for (int r = 0; r < kRounds; ++r) {
        vt::profile::WriteString("sound", "new" + std::to_string(r) + ".wav", "1", path);
    }
    const double whole = Ms(t) / kRounds;
    std::printf("entries %d bytes %zu\n", entries, text.size());
    std::printf("create_ms %.2f\nwrite_ms %.2f\nflush_ms %.2f\nclose_ms %.2f\nrename_ms %.2f\n",
                create / kRounds, write / kRounds, flush / kRounds, close / kRounds,
                rename / kRounds);
    std::printf("write_string_ms %.2f (the rest is the stale-temp scan, editing and parsing)\n",
                whole);
    vt::fs::DeleteFile(path);
    return 0;
}
