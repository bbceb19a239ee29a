// DownloadFileWithProgress over the WinINet transfer: throughput of a large file, CPU share
// while a slow body trickles in, and the peak memory of the large download above idle.
// The large file is left in the output directory for the caller to compare.
// Usage: download_bench.exe <url of large file> <url of trickled file, or - for none>
//        <output directory\> [<pin of the large file: size,sha256>]
// With a pin the large file is staged, hashed as it arrives and checked, as a signed patch's
// payloads are.
#include <windows.h>

#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "base/FileSystem.h"
#include "format/Pin.h"
#include "transfer/Clock.h"
#include "transfer/Download.h"
#include "transfer/Transfer_win32.h"

namespace {

class BenchView final : public vt::ProgressView {
  public:
    long captions = 0;
    long passes = 0;
    void SetCaption(vt::ProgressLabel, const std::wstring&) override { ++captions; }
    void SetProgressWidth(float) override {}
    void ShowMessage(const std::wstring& text, const std::wstring&, vt::MessageStyle) override {
        std::fwprintf(stderr, L"message: %ls\n", text.c_str());
    }
    void DoEvents() override {
        ++passes;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
    }
};

double CpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto value = [](FILETIME f) {
        return ((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e7;
    };
    return value(kernel) + value(user);
}

PROCESS_MEMORY_COUNTERS Memory() {
    PROCESS_MEMORY_COUNTERS m{};
    m.cb = sizeof m;
    GetProcessMemoryInfo(GetCurrentProcess(), &m, sizeof m);
    return m;
}

}  // namespace

int main(int argc, char** narrow) {
    if (argc != 4 && argc != 5) {
        std::fwprintf(stderr, L"usage: download_bench <large url> <trickle url> <dir\\> [pin]\n");
        return 2;
    }
    std::optional<vt::Pin> pin;
    if (argc == 5 && !(pin = vt::ParsePin(narrow[4]))) {
        std::fwprintf(stderr, L"not a pin: size,sha256\n");
        return 2;
    }
    std::wstring argv[4];
    for (int i = 1; i < 4; ++i) {
        argv[i] = std::wstring(narrow[i], narrow[i] + std::strlen(narrow[i]));  // ASCII
    }
    BenchView view;
    vt::InetTransfer transfer(view);
    vt::SystemClock clock;
    using Steady = std::chrono::steady_clock;

    const double idle = static_cast<double>(Memory().WorkingSetSize);
    auto t0 = Steady::now();
    vt::Staging staging;
    if (pin) {
        staging = {argv[3] + L"large.part", pin, L"large.bin", {}};
    }
    const vt::DownloadResult large = vt::DownloadFileWithProgress(
        transfer, view, clock, argv[1], argv[3], L"large.bin", L"", L"", staging);
    double seconds = std::chrono::duration<double>(Steady::now() - t0).count();
    if (!large.Stored()) {
        std::fprintf(stderr, "the large download was not stored (outcome %d)\n",
                     static_cast<int>(large.outcome));
        return 1;
    }
    const double peak = static_cast<double>(Memory().PeakWorkingSetSize);
    auto size = vt::fs::GetStamp(std::wstring(argv[3]) + L"large.bin").size;
    std::printf("large_bytes %lld\n", static_cast<long long>(size));
    std::printf("large_seconds %.3f\n", seconds);
    std::printf("large_mb_per_s %.1f\n", static_cast<double>(size) / seconds / 1e6);
    std::printf("peak_above_idle_mib %.1f\n", (peak - idle) / (1024.0 * 1024.0));
    if (argv[2] == L"-") {
        return 0;
    }

    double cpu0 = CpuSeconds();
    t0 = Steady::now();
    long passes0 = view.passes;
    long captions0 = view.captions;
    const vt::DownloadResult trickle = vt::DownloadFileWithProgress(
        transfer, view, clock, argv[2], argv[3], L"trickle.bin", L"", L"");
    DeleteFileW((argv[3] + L"trickle.bin").c_str());
    double wall = std::chrono::duration<double>(Steady::now() - t0).count();
    double cpu = CpuSeconds() - cpu0;
    if (!trickle.Stored()) {
        std::fprintf(stderr, "the trickled download was not stored (outcome %d)\n",
                     static_cast<int>(trickle.outcome));
        return 1;
    }

    std::printf("trickle_wall_s %.2f\n", wall);
    std::printf("trickle_cpu_s %.3f\n", cpu);
    std::printf("trickle_cpu_share_percent %.2f\n", 100.0 * cpu / wall);
    std::printf("trickle_message_passes %ld\n", view.passes - passes0);
    std::printf("captions_set %ld\n", view.captions);
    std::printf("trickle_captions_set %ld\n", view.captions - captions0);
    return 0;
}
