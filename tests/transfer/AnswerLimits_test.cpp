// What a download does at the limits of an answer: a length past its bound is refused before a
// byte of the body is read, and an answer too slow for the rule is abandoned at the rule's
// deadline, never later, with the limit named in the log. Nothing of a refused answer stays.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "base/Crypto.h"
#include "base/FileSystem.h"
#include "tests/support/Fakes.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/ScriptedTransfer.h"
#include "tests/support/TestDir.h"
#include "transfer/Download.h"

namespace vt {
namespace {

using test::ScriptedTransfer;
using namespace std::chrono_literals;

constexpr double kStart = 100;
const std::string kBody(5000, 'v');

enum class Kind { Plain, Payload, Pinned };

struct Limits : ::testing::Test {
    test::TestDir dir;
    test::RecordingProgressView view;
    test::RecordingLog log;
    test::ManualClock clock{kStart};
    ScriptedTransfer t;
    size_t piecesRead = 0;

    void SetUp() override {
        t.clock = &clock;
        t.Body(kBody, 500);
        t.onPiece = [this](size_t) { ++piecesRead; };
        dir.Write(L"f.bin", "installed");
    }
    DownloadResult Run(Kind kind, const SizeBound& bound = SizeBound::AtMost(1 << 20)) {
        if (kind == Kind::Plain) {
            return DownloadFile(t, view, clock, L"h/f.bin", dir.Path(), L"f.bin", L"", L"", bound);
        }
        Staging staging{dir / L"f.part", std::nullopt, L"f.bin", {}};
        if (kind == Kind::Pinned) {
            staging.pin = Pin{kBody.size(), Sha256Of(std::as_bytes(std::span(kBody)))};
        }
        return DownloadFileWithProgress(t, view, clock, L"h/f.bin", dir.Path(), L"f.bin", L"", L"",
                                        staging);
    }
    // Pieces of `size` bytes, the first at the head, then one every `gap` seconds.
    void Pace(size_t size, double gap) {
        t.Body(kBody, size);
        for (size_t i = 0; i < t.pieces.size(); ++i) {
            t.pieceAt.push_back(kStart + gap * static_cast<double>(i));
        }
    }
};

TEST_F(Limits, ALengthPastTheBoundIsRefusedBeforeTheBodyAndNothingIsWritten) {
    struct Case {
        const char* what;
        const wchar_t* length;
        SizeBound bound;
        DownloadOutcome outcome;
        const wchar_t* logged;
    };
    const std::vector<Case> cases{
        {"a gigabyte for a 64-byte file", L"1073741824", SizeBound::AtMost(64),
         DownloadOutcome::OverBound, L"refused: length beyond 64 bytes"},
        {"one byte past the bound", L"5000", SizeBound::AtMost(4999), DownloadOutcome::OverBound,
         L"refused: length beyond 4999 bytes"},
        {"a gigabyte for a pinned file", L"1073741824", SizeBound::Pinned(5000, L"m.ini"),
         DownloadOutcome::Damaged, L"refused: length differs from the pin"},
        {"shorter than the pin", L"4999", SizeBound::Pinned(5000, L"m.ini"),
         DownloadOutcome::Damaged, L"refused: length differs from the pin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        piecesRead = 0;
        log.lines.clear();
        t.contentLength = c.length;
        EXPECT_EQ(Run(Kind::Plain, c.bound).outcome, c.outcome);
        EXPECT_EQ(piecesRead, 0u) << "not a byte of the body read";
        EXPECT_FALSE(dir.Has(L"f.bin")) << "neither the earlier copy nor any of the answer";
        EXPECT_EQ(log.With(c.logged).size(), 1u);
    }
    // At the bound, and exactly a pinned bound: stored.
    for (const SizeBound& bound : {SizeBound::AtMost(5000), SizeBound::Pinned(5000, L"m.ini")}) {
        SetUp();
        EXPECT_EQ(Run(Kind::Plain, bound).outcome, DownloadOutcome::Stored);
        EXPECT_EQ(dir.Read(L"f.bin"), kBody);
    }
}

TEST_F(Limits, AnAnswerTooSlowIsAbandonedAtTheDeadlineWithTheLimitLogged) {
    struct Case {
        const char* what;
        double headAt;
        size_t pieceSize;
        double gap;
        double endsAt;  // when the download returns
        const wchar_t* logged;
    };
    const std::vector<Case> cases{
        {"no head", kStart + 1000, 500, 0, kStart + 30, L"no answer within 30 s: h/f.bin"},
        {"a byte every 50 s", kStart, 1, 50, kStart + 30,
         L"fewer than 1024 bytes in 30 s: h/f.bin"},
        {"100 bytes every 4 s", kStart, 100, 4, kStart + 30,
         L"fewer than 1024 bytes in 30 s: h/f.bin"},
        {"a burst, then silence", kStart + 10, 2500, 1000, kStart + 40,
         L"fewer than 1024 bytes in 30 s: h/f.bin"},
    };
    for (Kind kind : {Kind::Plain, Kind::Payload, Kind::Pinned}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << c.what << ", kind " << static_cast<int>(kind));
            t = ScriptedTransfer();
            clock.now = kStart;
            log.lines.clear();
            SetUp();
            Pace(c.pieceSize, c.gap);
            for (double& at : t.pieceAt) {
                at += c.headAt - kStart;
            }
            t.headAt = c.headAt;
            fs::DeleteFile(dir / L"f.part");
            EXPECT_EQ(Run(kind).outcome, DownloadOutcome::TooSlow);
            EXPECT_TRUE(t.abandoned);
            EXPECT_EQ(clock.now, c.endsAt);
            EXPECT_LE(t.longestWait, 30000ms) << "no wait goes past the deadline";
            EXPECT_EQ(log.With(c.logged).size(), 1u);
            EXPECT_EQ(log.With(L"abandoned: too slow").size(), 1u);
            if (kind == Kind::Plain) {
                EXPECT_FALSE(dir.Has(L"f.bin")) << "nothing of it stays";
            } else {
                EXPECT_EQ(dir.Read(L"f.bin"), "installed");
            }
            // Only a pinned part is kept to be continued: its hash decides later.
            EXPECT_EQ(dir.Has(L"f.part"), kind == Kind::Pinned && c.headAt < c.endsAt);
        }
    }
}

TEST_F(Limits, ASlowAnswerWithinTheRuleIsWaitedFor) {
    struct Case {
        const char* what;
        double headAt;
        size_t pieceSize;
        double gap;
    };
    const std::vector<Case> cases{
        {"the head just before the deadline", kStart + 29.999, 5000, 0},
        {"1250 bytes every 29 s", kStart, 1250, 29},
        {"a byte a millisecond", kStart, 1, 0.001},
    };
    for (Kind kind : {Kind::Plain, Kind::Payload, Kind::Pinned}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << c.what << ", kind " << static_cast<int>(kind));
            t = ScriptedTransfer();
            clock.now = kStart;
            SetUp();
            Pace(c.pieceSize, c.gap);
            for (double& at : t.pieceAt) {
                at += c.headAt - kStart;
            }
            t.headAt = c.headAt;
            EXPECT_EQ(Run(kind).outcome, DownloadOutcome::Stored);
            EXPECT_FALSE(t.abandoned);
            EXPECT_EQ(dir.Read(L"f.bin"), kBody);
        }
    }
}

}  // namespace
}  // namespace vt
