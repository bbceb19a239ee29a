// The pool over several sources: fake hosts that serve, refuse, stay silent, trickle or send
// wrong bytes, on the virtual clock; and the health of sources told by hand.
#include "transfer/Sources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/Crypto.h"
#include "base/FileSystem.h"
#include "tests/support/Fakes.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/TestDir.h"
#include "tests/support/VirtualTime.h"
#include "transfer/Pool.h"

namespace vt {
namespace {

using test::VirtualClock;
using test::VirtualDoorbell;

enum class Acts { Serves, Refuses, NotFound, Silent, Trickles, WrongBytes, WrongLength };

struct FakeSource {
    std::wstring base;
    Acts acts = Acts::Serves;
    double bytesPerSecond = 0;  // Trickles
    int busyFirst = 0;          // answers 503 to its first requests
};

struct Request {
    std::wstring url;
    std::wstring range;
    double at = 0;
    std::size_t sent = 0;  // body bytes it delivered
};

constexpr std::size_t kTricklePiece = 1000;

// The sources' answers to every connection, and the requests they saw.
class FakeNet {
  public:
    explicit FakeNet(VirtualClock& c) : clock(c) {}
    VirtualClock& clock;
    std::vector<FakeSource> sources;
    std::map<std::wstring, std::string> bodies;  // by path below a base

    std::size_t Begin(const std::wstring& url, const std::wstring& range, FakeSource& source,
                      std::string& body) {
        std::lock_guard lock(mutex_);
        for (FakeSource& s : sources) {
            if (url.starts_with(s.base)) {
                source = s;
                body = bodies[url.substr(s.base.size())];
                s.busyFirst = std::max(0, s.busyFirst - 1);
            }
        }
        requests_.push_back({url, range, clock.Seconds(), 0});
        return requests_.size() - 1;
    }
    void Sent(std::size_t request, std::size_t n) {
        std::lock_guard lock(mutex_);
        requests_[request].sent += n;
    }
    std::vector<Request> Requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

  private:
    std::mutex mutex_;
    std::vector<Request> requests_;
};

class FakeConnection final : public Transfer {
  public:
    explicit FakeConnection(FakeNet& net) : net_(net) {}

    void SetURL(const std::wstring& url) override { url_ = url; }
    void SetUserName(const std::wstring&) override {}
    void SetPassword(const std::wstring&) override {}
    void SetRequestHeaders(const std::wstring& headers) override { headers_ = headers; }
    void Execute(const std::wstring&) override {
        request_ = net_.Begin(url_, headers_, source_, body_);
        busy_ = source_.busyFirst > 0;
        whole_ = body_.size();
        from_ = headers_.empty() || source_.acts == Acts::WrongLength
                    ? 0
                    : std::stoul(headers_.substr(13));
        if (source_.acts == Acts::WrongBytes) {
            std::fill(body_.begin(), body_.end(), 'X');
        } else if (source_.acts == Acts::WrongLength) {
            body_ += 'X';
        }
        body_ = body_.substr(std::min(from_, body_.size()));
        offset_ = 0;
        startedAt_ = net_.clock.Seconds();
    }
    bool StillExecuting() override { return source_.acts == Acts::Silent; }
    void WaitForActivity(std::chrono::milliseconds most) override {
        const double latest = net_.clock.Seconds() + static_cast<double>(most.count()) / 1000;
        if (source_.acts == Acts::Silent) {
            net_.clock.Advance(static_cast<double>(most.count()) / 1000);
        } else if (source_.acts == Acts::Trickles && NextPieceAt() > net_.clock.Seconds()) {
            net_.clock.Advance(std::min(latest, NextPieceAt()) - net_.clock.Seconds());
        }
    }
    void Abandon() override {}
    std::wstring GetHeader(const std::wstring& name) override {
        const bool partial = from_ > 0;
        if (name.empty()) {
            return source_.acts == Acts::Refuses    ? L""
                   : source_.acts == Acts::NotFound ? L"HTTP/1.1 404 Not Found"
                   : busy_                          ? L"HTTP/1.1 503 Busy"
                   : partial                        ? L"HTTP/1.1 206 Partial"
                                                    : L"HTTP/1.1 200 OK";
        }
        if (name == L"Content-Length") {
            return std::to_wstring(body_.size());
        }
        if (name == L"Retry-After") {
            return L"1";
        }
        if (name == L"Content-Range" && partial) {
            return L"bytes " + std::to_wstring(from_) + L"-" + std::to_wstring(whole_ - 1) + L"/" +
                   std::to_wstring(whole_);
        }
        return {};
    }
    int32_t ResponseCode() override { return source_.acts == Acts::Refuses ? 12029 : 0; }
    std::size_t GetChunk(std::span<std::byte> buffer) override {
        const std::size_t piece = source_.acts == Acts::Trickles ? kTricklePiece : 4096;
        const std::size_t n = std::min({buffer.size(), body_.size() - offset_, piece});
        std::memcpy(buffer.data(), body_.data() + offset_, n);
        offset_ += n;
        net_.Sent(request_, n);
        return n;
    }
    std::optional<std::span<const std::byte>> TryReadChunk(std::span<std::byte> scratch) override {
        if (source_.acts == Acts::Trickles && offset_ < body_.size() &&
            net_.clock.Seconds() < NextPieceAt()) {
            return std::nullopt;
        }
        return ReadChunk(scratch);
    }

  private:
    double NextPieceAt() const {
        return startedAt_ + static_cast<double>(offset_ + kTricklePiece) / source_.bytesPerSecond;
    }

    FakeNet& net_;
    std::wstring url_, headers_;
    FakeSource source_;
    std::string body_;
    std::size_t request_ = 0, whole_ = 0, from_ = 0, offset_ = 0;
    bool busy_ = false;
    double startedAt_ = 0;
};

class Recorder final : public BatchListener {
  public:
    void Placed(std::size_t index) override { placed.push_back(index); }
    std::vector<std::size_t> placed;
};

std::string Body(std::size_t i, std::size_t size) {
    std::string body(size, '\0');
    for (std::size_t b = 0; b < size; ++b) {
        body[b] = static_cast<char>('a' + (b * 7 + i) % 26);
    }
    return body;
}

const std::wstring kA = L"a:1/autopatch/";
const std::wstring kB = L"b:2/autopatch/";
const std::wstring kC = L"c:3/autopatch/";

struct Job {
    test::TestDir dir;
    VirtualClock clock;
    VirtualDoorbell bell{clock};
    FakeNet net{clock};
    test::RecordingProgressView view;
    Recorder recorder;
    test::RecordingLog log;
    std::vector<BatchFile> files;

    Job(std::vector<FakeSource> sources, std::size_t count, std::size_t size) {
        fs::CreateDir(dir / L"temp");
        net.sources = std::move(sources);
        for (std::size_t i = 0; i < count; ++i) {
            const std::wstring name = L"f" + std::to_wstring(i) + L".bin";
            const std::string body = Body(i, size);
            net.bodies[L"objects/" + name] = body;
            dir.Write(name, "installed");
            files.push_back({kA + L"objects/" + name, dir.Path(), name, name,
                             dir / (L"temp\\" + name + L".part"),
                             Pin{size, Sha256Of(std::as_bytes(std::span(body)))}});
        }
    }
    BatchResult Fetch(int connections, std::vector<std::wstring> bases) {
        PoolSettings settings;
        settings.connections = connections;
        settings.sources = std::move(bases);
        PoolDownloader pool(
            view, clock, bell, [this] { return std::make_unique<FakeConnection>(net); }, settings);
        return pool.FetchAll(files, recorder);
    }
    bool Installed(std::size_t i) {
        return dir.Read(files[i].fileName) == net.bodies[L"objects/" + files[i].fileName];
    }
    // The requests below `base`.
    std::vector<Request> At(const std::wstring& base) {
        std::vector<Request> out;
        for (const Request& r : net.Requests()) {
            if (r.url.starts_with(base)) {
                out.push_back(r);
            }
        }
        return out;
    }
};

// A file whose source stalls goes on from the next one after 10 s of the clock, its part
// continued with a range; once every source was tried the run stays on the fastest.
TEST(PoolSources, AStalledSourceHandsItsPartToTheNext) {
    struct Case {
        const char* name;
        std::vector<FakeSource> sources;
        std::vector<std::wstring> route;  // the bases file 0 is asked from, in turn
        std::wstring log;                 // the line naming where it came from
    };
    const std::vector<Case> cases{
        {"trickle", {{kA, Acts::Trickles, 2000}, {kB}}, {kA, kB}, L"f0.bin from a:1 and b:2"},
        {"silent", {{kA, Acts::Silent}, {kB}}, {kA, kB}, L"f0.bin from b:2"},
        {"all slow, the first faster",
         {{kA, Acts::Trickles, 2000}, {kB, Acts::Trickles, 1000}},
         {kA, kB, kA},
         L"f0.bin from a:1 and b:2"},
        {"all slow, the second faster",
         {{kA, Acts::Trickles, 1000}, {kB, Acts::Trickles, 2000}},
         {kA, kB},
         L"f0.bin from a:1 and b:2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Job job(c.sources, 1, 80000);
        ASSERT_TRUE(job.Fetch(1, {kA, kB}).Stored());
        EXPECT_TRUE(job.Installed(0));
        const std::vector<Request> made = job.net.Requests();
        ASSERT_EQ(made.size(), c.route.size());
        std::size_t staged = 0;
        for (std::size_t r = 0; r < made.size(); ++r) {
            EXPECT_TRUE(made[r].url.starts_with(c.route[r])) << r;
            EXPECT_EQ(made[r].range,
                      staged == 0 ? L"" : L"Range: bytes=" + std::to_wstring(staged) + L"-\r\n")
                << r;
            staged += made[r].sent;
            if (r + 1 < made.size()) {
                EXPECT_GE(made[r + 1].at - made[r].at, 9.9) << r;
                EXPECT_LT(made[r + 1].at - made[r].at, 11) << r;
            }
        }
        EXPECT_EQ(job.log.With(L"placed " + c.log).size(), 1u);
    }
}

// Failures and wrong bytes: the file goes on from the next source, which then serves the rest;
// the job fails only where no source is left, as Damaged only when every one sent wrong bytes.
TEST(PoolSources, FailedAndWrongSourcesAreSkippedForTheRun) {
    struct Case {
        const char* name;
        std::vector<FakeSource> sources;
        bool partStaged;  // file 0 has a part from an earlier run
        DownloadOutcome outcome;
        std::vector<std::size_t> requests;  // per source
        std::wstring from;                  // where file 0 came from, when placed
    };
    const std::vector<Case> cases{
        {"dead primary",
         {{kA, Acts::Refuses}, {kB}},
         false,
         DownloadOutcome::Stored,
         {1, 6},
         L"b:2"},
        {"dead primary, a busy mirror keeps its tries",
         {{kA, Acts::Refuses}, {kB, Acts::Serves, 0, 3}},
         false,
         DownloadOutcome::Stored,
         {1, 9},
         L"b:2"},
        {"404 at the primary",
         {{kA, Acts::NotFound}, {kB}},
         false,
         DownloadOutcome::Stored,
         {1, 6},
         L"b:2"},
        {"wrong bytes",
         {{kA, Acts::WrongBytes}, {kB}},
         true,
         DownloadOutcome::Stored,
         {2, 6},
         L"b:2"},
        {"wrong length",
         {{kA, Acts::WrongLength}, {kB}},
         true,
         DownloadOutcome::Stored,
         {1, 6},
         L"b:2"},
        {"wrong bytes from both",
         {{kA, Acts::WrongBytes}, {kB, Acts::WrongBytes}},
         false,
         DownloadOutcome::Damaged,
         {1, 1},
         L""},
        {"wrong bytes, then a dead mirror",
         {{kA, Acts::WrongBytes}, {kB, Acts::Refuses}, {kC, Acts::WrongBytes}},
         false,
         DownloadOutcome::TransferError,
         {1, 1, 1},
         L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Job job(c.sources, 6, 5000);
        if (c.partStaged) {
            job.dir.Write(L"temp\\f0.bin.part", job.net.bodies[L"objects/f0.bin"].substr(0, 1200));
        }
        std::vector<std::wstring> bases;
        for (const FakeSource& s : c.sources) {
            bases.push_back(s.base);
        }
        const BatchResult result = job.Fetch(1, bases);
        EXPECT_EQ(result.result.outcome, c.outcome);
        for (std::size_t s = 0; s < c.sources.size(); ++s) {
            EXPECT_EQ(job.At(c.sources[s].base).size(), c.requests[s]) << s;
        }
        const std::vector<Request> mirror = job.At(kB);
        if (c.outcome == DownloadOutcome::Stored) {
            for (std::size_t i = 0; i < 6; ++i) {
                EXPECT_TRUE(job.Installed(i)) << i;
            }
            EXPECT_EQ(mirror.front().range, L"") << "the whole object from the mirror";
            EXPECT_EQ(job.log.With(L"placed f0.bin from " + c.from).size(), 1u);
            EXPECT_FALSE(job.dir.Has(L"temp\\f0.bin.part"));
        } else {
            EXPECT_EQ(result.failed, 0u);
            EXPECT_EQ(job.dir.Read(L"f0.bin"), "installed");
        }
    }
}

// The connections spread over the sources that work; one source makes the requests it
// always made.
TEST(PoolSources, SpreadsOverWorkingSourcesAndOneSourceIsAsBefore) {
    Job two({{kA}, {kB}}, 8, 3000);
    ASSERT_TRUE(two.Fetch(2, {kA, kB}).Stored());
    EXPECT_EQ(two.At(kA).size(), 4u);
    EXPECT_EQ(two.At(kB).size(), 4u);
    EXPECT_EQ(two.log.With(L"placed ").size(), 8u);

    for (const std::vector<std::wstring>& bases :
         {std::vector<std::wstring>{}, std::vector<std::wstring>{kA},
          std::vector<std::wstring>{L"x/", kB}}) {
        Job one({{kA}, {kB}}, 4, 3000);
        one.dir.Write(L"temp\\f2.bin.part", one.net.bodies[L"objects/f2.bin"].substr(0, 1000));
        ASSERT_TRUE(one.Fetch(1, bases).Stored());
        const std::vector<Request> made = one.net.Requests();
        ASSERT_EQ(made.size(), 4u);
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(made[i].url, one.files[i].url);
            EXPECT_EQ(made[i].range, i == 2 ? L"Range: bytes=1000-\r\n" : L"");
        }
        EXPECT_TRUE(one.log.With(L"placed ").empty());
    }
}

// Per source, not per request: connections that share a modest link together are not stalled.
TEST(SourceHealth, StallsOnTheRateOfAllItsRequestsTogether) {
    struct Case {
        int requests;
        double bytesPerSecondEach;
        bool stalls;
    };
    const std::vector<Case> cases{
        {8, 5 * 1024, false}, {8, 3 * 1024, true}, {1, 40 * 1024, false}, {1, 30 * 1024, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requests * 1000 + static_cast<int>(c.bytesPerSecondEach));
        SourceList sources({kA, kB});
        for (int r = 0; r < c.requests; ++r) {
            sources.Began(0, 0);
        }
        double givenUpAt = -1;
        for (double t = 0.25; t <= 30 && givenUpAt < 0; t += 0.25) {
            for (int r = 0; r < c.requests; ++r) {
                sources.Arrived(0, static_cast<uint64_t>(c.bytesPerSecondEach / 4), t);
            }
            const SourceVerdict v = sources.Verdict(0, t);
            givenUpAt = v.givenUp ? t : -1;
            EXPECT_TRUE(v.givenUp || v.until > t);
        }
        EXPECT_EQ(givenUpAt, c.stalls ? kStallSeconds : -1);
        EXPECT_EQ(sources.Stalled(0), c.stalls);
        EXPECT_EQ(sources.Pick(kA + L"x"), c.stalls ? 1u : 0u);
    }
}

TEST(SourceHealth, ReRootsBelowTheFirstBaseOnly) {
    const SourceList sources({L"http://a:1/autopatch/", L"b/m/autopatch/"});
    const std::vector<std::pair<std::wstring, std::wstring>> cases{
        {L"http://a:1/autopatch/objects/ab/abcd", L"b/m/autopatch/objects/ab/abcd"},
        {L"http://a:1/other/x", L"http://a:1/other/x"},
        {L"a:1/autopatch/x", L"a:1/autopatch/x"},
    };
    for (const auto& [url, second] : cases) {
        EXPECT_EQ(sources.UrlAt(url, 0), url);
        EXPECT_EQ(sources.UrlAt(url, 1), second);
    }
    EXPECT_EQ(sources.Host(0), L"a:1");
    EXPECT_EQ(sources.Host(1), L"b");
    EXPECT_FALSE(SourceList({L"a/"}).Movable(L"a/x")) << "one source: nowhere to move";
}

}  // namespace
}  // namespace vt
