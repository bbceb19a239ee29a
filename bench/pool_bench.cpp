// The pool of connections on many small files: every path of the list fetched as one job with
// MakeInetDownloader, staged and placed in the output directory; `single` fetches them one
// after the other without the pool instead. bench/pool.sh sets its time per file against
// bare_inet_bench.exe over the same URLs.
// Usage: pool_bench.exe <host> <port> <paths file, one a line> <output dir\> <connections|single>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "transfer/Pool_win32.h"

namespace {

std::wstring Widen(const std::string& text) {
    return {text.begin(), text.end()};  // ASCII paths and addresses only
}

class NoWindow final : public vt::ProgressView {
  public:
    void DoEvents() override {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
    }
    void SetCaption(vt::ProgressLabel, const std::wstring&) override {}
    void SetProgressWidth(float) override {}
    void ShowMessage(const std::wstring&, const std::wstring&, vt::MessageStyle) override {}
};

class Count final : public vt::BatchListener {
  public:
    void Placed(std::size_t) override { ++placed; }
    std::size_t placed = 0;
};

// The single path: every file in turn through one transfer on this thread, as the patch window
// fetches a set's payloads without the pool.
vt::BatchResult FetchOneByOne(const std::vector<vt::BatchFile>& files, NoWindow& view,
                              vt::Clock& clock, Count& count) {
    vt::InetTransfer transfer(view);
    return vt::InOrderDownloader(transfer, view, clock).FetchAll(files, count);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr,
                     "usage: pool_bench <host> <port> <paths file> <dir\\> <connections|single>\n");
        return 2;
    }
    const std::wstring base = Widen(argv[1]) + L":" + Widen(argv[2]);
    const std::wstring dir = Widen(argv[4]);
    std::vector<vt::BatchFile> files;
    std::ifstream list(argv[3]);
    for (std::string line; std::getline(list, line);) {
        if (!line.empty()) {
            const std::wstring name = L"f" + std::to_wstring(files.size());
            files.push_back({base + Widen(line), dir, name, name, dir + name + L".part", {}});
        }
    }
    NoWindow view;
    vt::SystemClock clock;
    Count count;
    const auto start = std::chrono::steady_clock::now();
    const bool single = std::string(argv[5]) == "single";
    const vt::BatchResult result =
        single ? FetchOneByOne(files, view, clock, count)
               : vt::MakeInetDownloader(view, clock, std::atoi(argv[5]))->FetchAll(files, count);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!result.Stored() || count.placed != files.size()) {
        std::fprintf(stderr, "failed at file %zu\n", result.failed);
        return 1;
    }
    std::printf("pool_files %zu\npool_ms_per_file %.3f\n", files.size(),
                files.empty() ? 0.0 : ms / static_cast<double>(files.size()));
    return 0;
}
