// Needs tests/transfer/scripted_server.py on the build's patch host, port 18081 (ctest starts
// it as a fixture).
#include "transfer/Pool_win32.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "base/Crypto.h"
#include "base/FileSystem.h"
#include "tests/support/Fakes.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestDir.h"

namespace vt {
namespace {

using test::Pattern;
using test::ServerUrl;

// The body of one plain request, through a transfer of its own.
std::string Ask(const std::wstring& path) {
    test::RecordingProgressView view;
    InetTransfer t(view);
    t.SetURL(ServerUrl(path));
    t.Execute(L"GET");
    while (t.StillExecuting()) {
        t.WaitForActivity(std::chrono::seconds(1));
    }
    std::string body(64, '\0');
    body.resize(t.GetChunk(std::as_writable_bytes(std::span(body))));
    return body;
}

class Recorder final : public BatchListener {
  public:
    void Placed(std::size_t index) override { placed.push_back(index); }
    std::vector<std::size_t> placed;
};

TEST(InetPool, FetchesFiftyFilesWholeOverItsConnections) {
    struct Case {
        int connections;
        int fewestPeers;
        int mostPeers;
    };
    for (const Case& c : {Case{1, 1, 1}, Case{8, 2, 8}}) {
        SCOPED_TRACE(c.connections);
        test::TestDir dir;
        ASSERT_TRUE(fs::CreateDir(dir / L"temp"));
        std::vector<BatchFile> files;
        for (size_t i = 0; i < 50; ++i) {
            const size_t size = 20000 + i * 977;
            const std::string bytes = Pattern(size);
            const std::wstring name = L"f" + std::to_wstring(i) + L".bin";
            files.push_back({ServerUrl(L"/ok/" + std::to_wstring(size)), dir.Path(), name, name,
                             dir / (L"temp\\" + name + L".part"),
                             Pin{size, Sha256Of(std::as_bytes(std::span(bytes)))}});
        }
        Ask(L"/okpeers");  // from here on, only this job's connections count
        test::RecordingProgressView view;
        SystemClock clock;
        Recorder recorder;
        {
            std::unique_ptr<Downloader> pool = MakeInetDownloader(view, clock, c.connections);
            const BatchResult result = pool->FetchAll(files, recorder);
            ASSERT_TRUE(result.Stored())
                << static_cast<int>(result.result.outcome) << " " << result.failed;
        }
        const int peers = std::stoi(Ask(L"/okpeers"));
        EXPECT_GE(peers, c.fewestPeers);
        EXPECT_LE(peers, c.mostPeers);
        for (size_t i = 0; i < files.size(); ++i) {
            EXPECT_EQ(dir.Read(files[i].fileName), Pattern(files[i].pin->size)) << i;
        }
        std::vector<size_t> sorted = recorder.placed;
        std::sort(sorted.begin(), sorted.end());
        std::vector<size_t> all(files.size());
        std::iota(all.begin(), all.end(), size_t{0});
        EXPECT_EQ(sorted, all) << "each file reported once";
        if (c.connections == 1) {
            EXPECT_EQ(recorder.placed, all) << "one connection keeps the given order";
        }
        EXPECT_EQ(view.captions[ProgressLabel::LblFilePecent], L"100%");
    }
}

// A primary that refuses every connection: the files come from the mirror, whole.
TEST(InetPool, FilesGoOnFromTheMirrorWhenThePrimaryRefuses) {
    const std::wstring host = VT_PATCH_HOST;
    const std::wstring dead = host.substr(0, host.find(L':')) + L":1/autopatch/";
    test::TestDir dir;
    ASSERT_TRUE(fs::CreateDir(dir / L"temp"));
    std::vector<BatchFile> files;
    for (size_t i = 0; i < 12; ++i) {
        const size_t size = 30000 + i * 311;
        const std::string bytes = Pattern(size);
        const std::wstring name = L"m" + std::to_wstring(i) + L".bin";
        files.push_back({dead + std::to_wstring(size), dir.Path(), name, name,
                         dir / (L"temp\\" + name + L".part"),
                         Pin{size, Sha256Of(std::as_bytes(std::span(bytes)))}});
    }
    test::RecordingProgressView view;
    SystemClock clock;
    Recorder recorder;
    std::unique_ptr<Downloader> pool =
        MakeInetDownloader(view, clock, 4, {}, {}, {dead, ServerUrl(L"/ok/")});
    const BatchResult result = pool->FetchAll(files, recorder);
    ASSERT_TRUE(result.Stored()) << static_cast<int>(result.result.outcome) << " " << result.failed;
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(dir.Read(files[i].fileName), Pattern(files[i].pin->size)) << i;
    }
    EXPECT_EQ(recorder.placed.size(), files.size());
}

}  // namespace
}  // namespace vt
