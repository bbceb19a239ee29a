// The pool against fake connections to one fake host: retries and back-off, the order files
// are reported in, room for every file in flight, and one connection making exactly the
// requests of the single downloads.
#include "transfer/Pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/Crypto.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "tests/support/Fakes.h"
#include "tests/support/TestDir.h"
#include "tests/support/VirtualTime.h"

namespace vt {
namespace {

using namespace std::chrono_literals;

using test::VirtualClock;
using test::VirtualDoorbell;

// Opened by the test; a connection held at it waits there.
class Latch {
  public:
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        opened_.notify_all();
    }
    bool WaitOpen(std::chrono::milliseconds most) {
        std::unique_lock lock(mutex_);
        return opened_.wait_for(lock, most, [this] { return open_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// One try of a file as the host answers it.
struct Answer {
    int status = 200;
    std::wstring retryAfter;
    size_t sent = SIZE_MAX;  // bytes of the body before the connection fails
    bool noHead = false;     // never answers: the rule for slow answers must end it
    Latch* hold = nullptr;   // the head waits for this
    uint64_t announced = 0;  // 0: the body's length
};

struct Request {
    std::wstring url;
    std::wstring range;
    double at = 0;
    int inFlight = 0;  // requests in flight when it started, itself included
};

class FakeHost {
  public:
    explicit FakeHost(VirtualClock& virtualClock) : clock(virtualClock) {}

    std::map<std::wstring, std::string> bodies;
    std::map<std::wstring, std::deque<Answer>> scripts;  // tries in turn, then plain answers
    VirtualClock& clock;

    Answer Begin(const std::wstring& url, const std::wstring& range) {
        std::lock_guard lock(mutex_);
        ++inFlight_;
        requests_.push_back({url, range, clock.Seconds(), inFlight_});
        std::deque<Answer>& tries = scripts[url];
        if (tries.empty()) {
            return {};
        }
        Answer a = tries.front();
        tries.pop_front();
        return a;
    }
    void End() {
        std::lock_guard lock(mutex_);
        --inFlight_;
    }
    int InFlight() {
        std::lock_guard lock(mutex_);
        return inFlight_;
    }
    std::vector<Request> Requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    size_t Count(const std::wstring& url) {
        size_t n = 0;
        for (const Request& r : Requests()) {
            n += r.url == url;
        }
        return n;
    }

  private:
    std::mutex mutex_;
    int inFlight_ = 0;
    std::vector<Request> requests_;
};

class FakeConnection final : public Transfer {
  public:
    explicit FakeConnection(FakeHost& host) : host_(host) {}
    ~FakeConnection() override { EndRequest(); }

    void SetURL(const std::wstring& url) override { url_ = url; }
    void SetUserName(const std::wstring&) override {}
    void SetPassword(const std::wstring&) override {}
    void SetRequestHeaders(const std::wstring& headers) override { headers_ = headers; }
    void Execute(const std::wstring&) override {
        EndRequest();
        answer_ = host_.Begin(url_, headers_);
        body_ = host_.bodies[url_];
        const size_t from = headers_.empty() ? 0 : std::stoul(headers_.substr(13));
        body_ = body_.substr(std::min(from, body_.size()));
        offset_ = 0;
        open_ = true;
    }
    bool StillExecuting() override {
        return answer_.noHead || (answer_.hold != nullptr && !answer_.hold->WaitOpen(0ms));
    }
    void WaitForActivity(std::chrono::milliseconds most) override {
        if (answer_.hold != nullptr) {
            answer_.hold->WaitOpen(std::min(most, std::chrono::milliseconds(5)));
        } else if (answer_.noHead) {
            host_.clock.Advance(static_cast<double>(most.count()) / 1000);
        }
    }
    void Abandon() override { EndRequest(); }
    SlowAnswerRule Patience() const override { return {}; }
    std::wstring GetHeader(const std::wstring& name) override {
        const bool partial = !headers_.empty() && answer_.status == 200;
        if (name.empty()) {
            return partial ? L"HTTP/1.1 206 Partial"
                           : L"HTTP/1.1 " + std::to_wstring(answer_.status) + L" X";
        }
        if (name == L"Content-Length") {
            return std::to_wstring(answer_.announced ? answer_.announced : body_.size());
        }
        if (name == L"Retry-After") {
            return answer_.retryAfter;
        }
        if (name == L"Content-Range" && partial) {
            const size_t whole = host_.bodies[url_].size();
            return L"bytes " + std::to_wstring(whole - body_.size()) + L"-" +
                   std::to_wstring(whole - 1) + L"/" + std::to_wstring(whole);
        }
        return {};
    }
    int32_t ResponseCode() override {
        return offset_ >= std::min(answer_.sent, body_.size()) && answer_.sent < body_.size()
                   ? 12031
                   : 0;
    }
    size_t GetChunk(std::span<std::byte> buffer) override {
        const size_t end = std::min(answer_.sent, body_.size());
        const size_t n = std::min({buffer.size(), end - offset_, size_t{700}});
        std::memcpy(buffer.data(), body_.data() + offset_, n);
        offset_ += n;
        if (n == 0) {
            EndRequest();
        }
        return n;
    }

  private:
    void EndRequest() {
        if (open_) {
            open_ = false;
            host_.End();
        }
    }

    FakeHost& host_;
    std::wstring url_, headers_;
    Answer answer_;
    std::string body_;
    size_t offset_ = 0;
    bool open_ = false;
};

class Recorder final : public BatchListener {
  public:
    void Placed(std::size_t index) override { placed.push_back(index); }
    std::vector<std::size_t> placed;
};

// A view whose message passes run a step the test gives: where it acts between the pool's
// looks at its workers.
class SteppingView final : public ProgressView {
  public:
    std::function<void()> onPass;
    std::map<ProgressLabel, std::wstring> captions;
    void DoEvents() override {
        if (onPass) {
            onPass();
        }
    }
    void SetCaption(ProgressLabel label, const std::wstring& text) override {
        captions[label] = text;
    }
    void SetProgressWidth(float) override {}
    void ShowMessage(const std::wstring&, const std::wstring&, MessageStyle) override {}
};

std::string Body(size_t i) {
    return std::string(3000 + i * 17, static_cast<char>('a' + i % 26));
}

Pin PinOf(const std::string& bytes) {
    return {bytes.size(), Sha256Of(std::as_bytes(std::span(bytes.data(), bytes.size())))};
}

PoolSettings Settings(int connections) {
    PoolSettings settings;
    settings.connections = connections;
    return settings;
}

std::wstring Url(size_t i) {
    return L"h/f" + std::to_wstring(i);
}

struct Pool : ::testing::Test {
    test::TestDir dir;
    VirtualClock clock;
    VirtualDoorbell bell{clock};
    FakeHost host{clock};
    SteppingView view;
    Recorder recorder;
    std::vector<BatchFile> files;

    void SetUp() override { fs::CreateDir(dir / L"temp"); }

    void MakeFiles(size_t n, bool pinned) {
        for (size_t i = 0; i < n; ++i) {
            const std::wstring name = L"f" + std::to_wstring(i) + L".bin";
            host.bodies[Url(i)] = Body(i);
            dir.Write(name, "installed");
            files.push_back({Url(i), dir.Path(), name, name, dir / (L"temp\\" + name + L".part"),
                             pinned ? std::optional(PinOf(Body(i))) : std::nullopt});
        }
    }
    BatchResult Fetch(int connections) {
        PoolDownloader pool(
            view, clock, bell, [this] { return std::make_unique<FakeConnection>(host); },
            Settings(connections));
        return pool.FetchAll(files, recorder);
    }
    bool Installed(size_t i) { return dir.Read(files[i].fileName) == Body(i); }
};

TEST(ConnectionsSetting, OneToSixteenElseTheDefault) {
    const std::vector<std::pair<std::string_view, int>> cases{
        {"1", 1},  {"16", 16}, {" 4 ", 4}, {"8", 8},   {"", 8},     {"0", 8},          {"17", 8},
        {"-1", 8}, {"+4", 8},  {"4x", 8},  {"4.5", 8}, {"four", 8}, {"99999999999", 8}};
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(ConnectionsSetting(text), expected) << text;
    }
}

TEST(JobProgress, BytesWhenEveryFileIsPinnedElseFiles) {
    struct Case {
        JobTally tally;
        const wchar_t* percent;
        float bar;
    };
    const std::vector<Case> cases{
        {{0, 512 * 1024, 1024 * 1024, 0, 4}, L"50%", 101},
        {{0, 1024 * 1024, 1024 * 1024, 3, 4}, L"100%", 201},
        {{0, 0, 0, 1, 4}, L"25%", 51},
        {{0, 0, 0, 0, 0}, L"0%", 1},
    };
    for (const Case& c : cases) {
        const ProgressFigures f = ComputeJobProgress(c.tally, 2);
        EXPECT_EQ(f.percent, c.percent);
        EXPECT_FLOAT_EQ(f.barWidth, c.bar);
    }
    EXPECT_EQ(ComputeJobProgress({4096 * 1024, 0, 0, 0, 1}, 2).speed, L"2,048 KB/S");
    EXPECT_EQ(ComputeJobProgress({4096 * 1024, 0, 0, 0, 1}, 2).time, L"2 초");
}

// What each file's tries meet, and how the job ends.
TEST_F(Pool, RetriesWhatIsWorthItAndStopsAtTheRest) {
    Answer busy503{503, L"7"}, busy429{429, L"500"}, reset{200, {}, 1000}, silent;
    silent.noHead = true;
    struct Case {
        const char* name;
        std::map<size_t, std::vector<Answer>> tries;  // file -> its first answers
        DownloadOutcome outcome;
        size_t failed;
        std::vector<size_t> requests;  // per file
        double pause;                  // least virtual seconds between file 1's tries
    };
    const std::vector<Case> cases{
        {"503 with Retry-After", {{1, {busy503}}}, DownloadOutcome::Stored, 0, {1, 2, 1, 1}, 7},
        {"429 waits 30 s at most", {{1, {busy429}}}, DownloadOutcome::Stored, 0, {1, 2, 1, 1}, 30},
        {"reset mid-body", {{1, {reset, reset}}}, DownloadOutcome::Stored, 0, {1, 3, 1, 1}, 0},
        {"no head in time", {{1, {silent}}}, DownloadOutcome::Stored, 0, {1, 2, 1, 1}, 30},
        {"fails a fourth time",
         {{1, {busy503, reset, silent, busy503}}},
         DownloadOutcome::HttpStatus,
         1,
         {1, 4, 1, 1},
         0},
        {"404 is not tried again",
         {{1, {{404, {}}}}},
         DownloadOutcome::HttpStatus,
         1,
         {1, 1, 1, 1},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        files.clear();
        recorder.placed.clear();
        host.scripts.clear();
        ASSERT_TRUE(fs::RemoveTree(dir / L"temp") && fs::CreateDir(dir / L"temp"));
        MakeFiles(4, true);
        for (const auto& [file, answers] : c.tries) {
            host.scripts[Url(file)] = {answers.begin(), answers.end()};
        }
        const std::vector<Request> before = host.Requests();
        const BatchResult result = Fetch(4);
        EXPECT_EQ(result.result.outcome, c.outcome);
        std::vector<Request> made = host.Requests();
        made.erase(made.begin(), made.begin() + static_cast<std::ptrdiff_t>(before.size()));
        std::vector<size_t> counts(4);
        std::vector<double> file1At;
        for (const Request& r : made) {
            for (size_t i = 0; i < 4; ++i) {
                counts[i] += r.url == Url(i);
            }
            if (r.url == Url(1)) {
                file1At.push_back(r.at);
            }
        }
        EXPECT_EQ(counts, c.requests);
        if (c.requests[1] > 1) {
            ASSERT_GE(file1At.size(), 2u);
            // Virtual seconds are doubles: t0 + pause - t0 may round just below pause.
            EXPECT_GE(file1At[1] - file1At[0], c.pause - 1e-6);
            EXPECT_LT(file1At[1] - file1At[0], c.pause + 10);
        }
        for (size_t i : {0, 2, 3}) {
            EXPECT_TRUE(Installed(i)) << "the others carried on and stay placed: " << i;
        }
        if (c.outcome == DownloadOutcome::Stored) {
            EXPECT_TRUE(Installed(1));
            EXPECT_EQ(recorder.placed.size(), 4u);
        } else {
            EXPECT_EQ(result.failed, c.failed);
            EXPECT_EQ(dir.Read(L"f1.bin"), "installed");
            EXPECT_EQ(recorder.placed.size(), 3u);
        }
    }
}

// Each failed try halves the requests in flight, never below one: every request after the
// last failure is under the halved limit.
TEST_F(Pool, FailedTriesHalveTheConnectionsDownToOne) {
    struct Case {
        int connections;
        size_t resets;  // of file 0, before its try that works
        size_t files;
        int most;  // in flight once file 0 is tried again for the last time
    };
    const std::vector<Case> cases{{8, 1, 24, 4}, {8, 2, 24, 2}, {2, 3, 8, 1}, {1, 3, 3, 1}};
    Answer reset{200, {}, 100};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.connections * 10 + static_cast<int>(c.resets));
        files.clear();
        recorder.placed.clear();
        MakeFiles(c.files, false);
        host.scripts[Url(0)] = std::deque<Answer>(c.resets, reset);
        const size_t before = host.Requests().size();
        ASSERT_TRUE(Fetch(c.connections).Stored());
        EXPECT_EQ(recorder.placed.size(), c.files);
        const std::vector<Request> made = host.Requests();
        size_t tries = 0;
        for (size_t r = before; r < made.size(); ++r) {
            tries += made[r].url == Url(0);
            if (tries == c.resets + 1) {
                EXPECT_LE(made[r].inFlight, c.most) << "request " << r - before;
            }
        }
        EXPECT_EQ(tries, c.resets + 1);
    }
}

TEST_F(Pool, ReportsEachFileOnTheCallersThreadInTheOrderTheyFinish) {
    MakeFiles(3, true);
    std::vector<Latch> latches(3);
    for (size_t i = 0; i < 3; ++i) {
        Answer held;
        held.hold = &latches[i];
        host.scripts[Url(i)] = {held};
    }
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<std::thread::id> reportedOn;
    struct OnThread final : BatchListener {
        Recorder& inner;
        std::vector<std::thread::id>& on;
        OnThread(Recorder& r, std::vector<std::thread::id>& o) : inner(r), on(o) {}
        void Placed(std::size_t i) override {
            on.push_back(std::this_thread::get_id());
            inner.Placed(i);
        }
    } listener(recorder, reportedOn);
    // Opens 2 once all three wait, then 0 once 2 is reported, then 1 once 0 is.
    view.onPass = [&] {
        const std::vector<size_t>& p = recorder.placed;
        if (p.empty() && host.Requests().size() == 3) {
            latches[2].Open();
        } else if (p.size() == 1) {
            latches[0].Open();
        } else if (p.size() == 2) {
            latches[1].Open();
        }
    };
    PoolDownloader pool(
        view, clock, bell, [this] { return std::make_unique<FakeConnection>(host); }, Settings(3));
    ASSERT_TRUE(pool.FetchAll(files, listener).Stored());
    EXPECT_EQ(recorder.placed, (std::vector<size_t>{2, 0, 1}));
    ASSERT_EQ(reportedOn.size(), 3u);
    for (const std::thread::id& on : reportedOn) {
        EXPECT_TRUE(on == caller);
    }
    EXPECT_EQ(view.captions[ProgressLabel::LblFilePecent], L"100%");
}

// What must be kept before the installation changes is kept once per job, on the caller's
// thread, before the first file replaces an installed one; when keeping it fails, no file is
// placed and the failure ends the job.
TEST_F(Pool, KeepsOnTheCallersThreadBeforeTheFirstFileIsPlaced) {
    struct Case {
        int connections;
        bool refuse;
    };
    const Case cases[] = {{1, false}, {4, false}, {1, true}, {4, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.connections << " connections, refuse " << c.refuse);
        ASSERT_TRUE(fs::RemoveTree(dir / L"temp"));  // parts a withdrawn file left
        ASSERT_TRUE(fs::CreateDir(dir / L"temp"));
        files.clear();
        MakeFiles(8, true);
        struct Keeper final : BatchListener {
            Pool& t;
            bool refuse;
            std::thread::id caller = std::this_thread::get_id();
            int kept = 0;
            std::vector<std::size_t> placed;
            bool wrongThread = false, alreadyPlaced = false;
            Keeper(Pool& test, bool r) : t(test), refuse(r) {}
            void BeforeFirstPlace() override {
                wrongThread = wrongThread || std::this_thread::get_id() != caller;
                for (std::size_t i = 0; i < t.files.size(); ++i) {
                    alreadyPlaced = alreadyPlaced || t.Installed(i);
                }
                ++kept;
                if (refuse) {
                    throw std::runtime_error("cannot keep");
                }
            }
            void Placed(std::size_t i) override { placed.push_back(i); }
        } keeper(*this, c.refuse);
        PoolDownloader pool(
            view, clock, bell, [this] { return std::make_unique<FakeConnection>(host); },
            Settings(c.connections));
        if (c.refuse) {
            EXPECT_THROW(static_cast<void>(pool.FetchAll(files, keeper)), std::runtime_error);
        } else {
            EXPECT_TRUE(pool.FetchAll(files, keeper).Stored());
        }
        EXPECT_EQ(keeper.kept, 1);
        EXPECT_FALSE(keeper.wrongThread);
        EXPECT_FALSE(keeper.alreadyPlaced);
        EXPECT_EQ(keeper.placed.size(), c.refuse ? 0u : files.size());
        for (std::size_t i = 0; i < files.size(); ++i) {
            EXPECT_EQ(Installed(i), !c.refuse) << i;
            EXPECT_EQ(dir.Read(files[i].fileName) == "installed", c.refuse) << i;
        }
    }
}

// A connection goes on to its next file without waiting for the caller's thread: each file is
// reported only once the next one's request has been made.
TEST_F(Pool, AConnectionDoesNotWaitForTheCallerBetweenFiles) {
    for (int connections : {1, 3}) {
        SCOPED_TRACE(connections);
        files.clear();
        MakeFiles(6, true);
        const size_t before = host.Requests().size();
        struct Behind final : BatchListener {
            Pool& t;
            size_t before;
            std::vector<std::size_t> placed;
            std::vector<std::size_t> waitedFor;  // files reported before the next one started
            Behind(Pool& test, size_t b) : t(test), before(b) {}
            void Placed(std::size_t i) override {
                const size_t wanted = before + std::min(placed.size() + 2, t.files.size());
                const auto deadline = std::chrono::steady_clock::now() + 10s;
                while (t.host.Requests().size() < wanted) {
                    if (std::chrono::steady_clock::now() > deadline) {
                        waitedFor.push_back(i);
                        break;
                    }
                    std::this_thread::yield();
                }
                placed.push_back(i);
            }
        } behind(*this, before);
        PoolDownloader pool(
            view, clock, bell, [this] { return std::make_unique<FakeConnection>(host); },
            Settings(connections));
        ASSERT_TRUE(pool.FetchAll(files, behind).Stored());
        EXPECT_EQ(behind.placed.size(), files.size());
        EXPECT_TRUE(behind.waitedFor.empty()) << behind.waitedFor.size();
        EXPECT_EQ(host.Requests().size() - before, files.size());
    }
}

// The room a file needs counts what the other files in flight have still to write.
TEST_F(Pool, RoomCountsEveryFileInFlight) {
    static constexpr uint64_t kMiB = 1024 * 1024;
    auto restore = fs::SetFreeSpaceQuery(
        [](const std::wstring&) -> std::optional<uint64_t> { return 10 * kMiB; });
    MakeFiles(2, true);
    Latch gate;
    Answer first, second;
    first.hold = &gate;  // holds its head: in flight with 5 MiB to come
    second.announced = 5 * kMiB;
    second.sent = 0;
    files[0].pin = Pin{5 * kMiB, {}};
    files[1].pin = Pin{5 * kMiB, {}};
    host.scripts[Url(0)] = {first};
    host.scripts[Url(1)] = {second};
    view.onPass = [&] {
        if (host.Count(Url(1)) == 1 && host.InFlight() == 1) {
            gate.Open();  // file 1 has been refused: the first may end now
        }
    };
    const BatchResult result = Fetch(2);
    fs::SetFreeSpaceQuery(restore);
    EXPECT_EQ(result.result.outcome, DownloadOutcome::NoRoom);
    EXPECT_EQ(result.failed, 1u);
    EXPECT_EQ(result.result.roomNeeded, static_cast<double>(11 * kMiB));
    EXPECT_EQ(host.Count(Url(1)), 1u);
}

// One connection makes the single downloads' requests, in the given order, a staged part
// continued with its range.
TEST_F(Pool, OneConnectionMakesTheRequestsOfTheSingleDownloads) {
    MakeFiles(5, true);
    dir.Write(L"temp\\f2.bin.part", Body(2).substr(0, 1200));
    ASSERT_TRUE(Fetch(1).Stored());
    std::vector<Request> pooled = host.Requests();

    FakeHost alone(clock);
    alone.bodies = host.bodies;
    dir.Write(L"temp\\f2.bin.part", Body(2).substr(0, 1200));
    FakeConnection connection(alone);
    for (const BatchFile& f : files) {
        Staging staging{f.stagingPath, f.pin, f.shownName, {}};
        ASSERT_TRUE(DownloadFileWithProgress(connection, view, clock, f.url, f.directory,
                                             f.fileName, L"", L"", staging)
                        .Stored());
    }
    const std::vector<Request> single = alone.Requests();
    ASSERT_EQ(pooled.size(), single.size());
    for (size_t i = 0; i < single.size(); ++i) {
        EXPECT_EQ(pooled[i].url, single[i].url);
        EXPECT_EQ(pooled[i].range, single[i].range);
        EXPECT_EQ(pooled[i].inFlight, 1);
    }
    EXPECT_EQ(pooled[2].range, L"Range: bytes=1200-\r\n");
    EXPECT_EQ(recorder.placed, (std::vector<size_t>{0, 1, 2, 3, 4}));
}

// The window's cancel ends the program from the caller's thread: the workers end, and every
// installed file is either the one before or the new one, whole.
TEST_F(Pool, EndingTheProgramMidJobLeavesEveryInstalledFileWhole) {
    MakeFiles(6, false);
    Latch never;
    Answer held;
    held.hold = &never;
    for (size_t i = 3; i < 6; ++i) {
        host.scripts[Url(i)] = {held};
    }
    view.onPass = [&] {
        if (recorder.placed.size() == 3 && host.Requests().size() == 6) {
            EndProgram();
        }
    };
    EXPECT_THROW(static_cast<void>(Fetch(6)), ProgramEnded);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(dir.Read(files[i].fileName), i < 3 ? Body(i) : "installed") << i;
    }
}

}  // namespace
}  // namespace vt
