// Where the launcher's own time per file goes, apart from the network: each step it takes for
// one small file, timed alone over many rounds beside a local manifest of 30,000 entries.
// bench/many_files.sh measures the whole; this says which parts make up the difference to the
// bare WinINet loop. Usage: file_steps_bench.exe <scratch directory\> [rounds, default 1000]
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/FileSystem.h"
#include "base/Log_win32.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "patch/PatchWindow_win32.h"
#include "patch/Texts.h"
#include "patch/frmVtUpdate.h"
#include "sets/RecordJournal.h"
#include "ui/MessageLoop_win32.h"

namespace {

using Clock = std::chrono::steady_clock;

class NoShell final : public vt::Shell {
  public:
    void Open(const std::wstring&, const std::wstring&, const std::wstring&) override {}
};

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Milliseconds per round of `step(i)`.
double Time(int rounds, const std::function<void(int)>& step) {
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        step(i);
    }
    return Ms(Clock::now() - start) / rounds;
}

void Put(const std::wstring& path, const std::string& bytes) {
    auto out = vt::fs::CreateOutputFile(path);
    out->Write(std::as_bytes(std::span(bytes.data(), bytes.size())));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: file_steps_bench <dir\\> [rounds]\n");
        return 2;
    }
    const std::string narrow = argv[1];
    const std::wstring dir(narrow.begin(), narrow.end());
    const int rounds = argc > 2 ? std::stoi(argv[2]) : 1000;
    const std::wstring manifest = dir + L"vtsound.ini";
    const std::wstring staged = dir + L"staged.ini";
    std::string local = "[sound]\r\n";
    std::string served = "[sound]\r\ncount=" + std::to_string(rounds) + "\r\n";
    for (int i = 1; i <= 30000; ++i) {
        local += "old" + std::to_string(i) + ".wav=1\r\n";
    }
    for (int i = 1; i <= rounds; ++i) {
        served += std::to_string(i) + "=f" + std::to_string(i) + ".wav:1\r\n";
    }
    Put(manifest, local);
    Put(staged, served);
    const std::string body(100, 'x');
    auto name = [](int i) { return L"f" + std::to_wstring(i) + L".wav"; };

    std::printf("steps per file, ms (rounds %d, local manifest of 30000 entries)\n", rounds);
    std::printf("thread_per_request      %.3f\n",
                Time(rounds, [](int) { std::thread([] {}).join(); }));
    std::printf("two_fresh_1MiB_blocks   %.3f  (what one request's body queue allocates)\n",
                Time(rounds, [](int) {
                    for (int k = 0; k < 2; ++k) {
                        std::vector<std::byte> block;
                        block.resize(1024 * 1024);
                        volatile std::byte sink = block[4096];
                        (void)sink;
                    }
                }));
    std::printf("free_space_query        %.3f\n",
                Time(rounds, [&](int) { vt::fs::FreeSpace(dir); }));
    std::printf("store_file              %.3f  (is-file test, create, 100 bytes, close)\n",
                Time(rounds, [&](int i) {
                    const std::wstring target = dir + name(i);
                    vt::fs::IsOrdinaryFile(target);
                    auto out = vt::fs::CreateOutputFile(target);
                    out->Write(std::as_bytes(std::span(body.data(), body.size())));
                }));
    std::printf("stamp_check             %.3f\n",
                Time(rounds, [&](int) { vt::fs::GetStamp(manifest); }));
    const double touch = Time(rounds, [&](int) { vt::fs::DeleteFile(dir + L"nothing"); });
    vt::RecordJournal journal(L"sound", manifest);
    std::printf("version_check           %.3f  (staged entry and record, after a file changed)\n",
                Time(rounds, [&](int i) {
                    vt::fs::DeleteFile(dir + L"nothing");  // moves the change count
                    vt::ReadProfileBytes(L"sound", std::to_wstring(i + 1), staged);
                    journal.Recorded(name(i));
                }) - touch);
    std::printf("record_journal          %.3f\n",
                Time(rounds, [&](int i) { journal.Record(name(i), "1"); }));
    const auto foldStart = Clock::now();
    journal.Fold();
    std::printf("fold_at_set_end_total   %.1f  (%d records into 30000 entries, once per set)\n",
                Ms(Clock::now() - foldStart), rounds);
    std::printf("record_rewrite_old      %.3f  (the whole manifest rewritten per file)\n",
                Time(std::min(rounds, 200),
                     [&](int i) { vt::WriteProfileBytes(L"sound", name(i), "2", manifest); }));
    vt::win32::FileLogSink log(dir.substr(0, dir.size() - 1), L"steps.log");
    std::printf("log_two_lines           %.3f\n", Time(rounds, [&](int i) {
                    log.Write(L"GET http://127.0.0.1/autopatch/resource/sound/" + name(i) +
                              L": status 200, length 100, 1 ms, stored");
                    log.Write(L"record " + manifest + L" [sound] " + name(i) + L"=1 (journal)");
                }));
    std::printf("message_pass_idle       %.3f\n", Time(rounds, [](int) { vt::win32::DoEvents(); }));
    // The patch window as a small file leaves it: a new name, the state label, the figures
    // (mostly unchanged from the file before) and the message passes of one download.
    NoShell shell;
    vt::PatchWindow window;
    vt::frmVtUpdate form(window, shell);
    window.Load(vt::PatchWindow::EventsFor(form, dir.substr(0, dir.size() - 1)));
    window.Show();
    window.DoEvents();
    std::printf("window_per_file         %.3f  (name caption, unchanged captions, 3 passes)\n",
                Time(rounds, [&](int i) {
                    window.SetCaption(vt::ProgressLabel::lblState, vt::kDownloadingState);
                    window.SetCaption(vt::ProgressLabel::Lblname, name(i));
                    window.SetCaption(vt::ProgressLabel::LblFilePecent, L"100%");
                    window.SetProgressWidth(201);
                    for (int pass = 0; pass < 3; ++pass) {
                        window.DoEvents();
                    }
                }));
    for (int i = 0; i < rounds; ++i) {
        vt::fs::DeleteFile(dir + name(i));
    }
    vt::fs::DeleteFile(dir + L"steps.log");
    vt::fs::DeleteFile(manifest);
    vt::fs::DeleteFile(staged);
    return 0;
}
