#include "transfer/Download.h"
#include "patch/Fetch.h"

#include <gtest/gtest.h>

#include "base/NumberText.h"
#include "patch/Texts.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#endif

#include "base/AppError.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "tests/support/Fakes.h"
#include "tests/support/ScriptedTransfer.h"
#include "tests/support/TestDir.h"

namespace vt {
namespace {

using test::ScriptedTransfer;

using test::RecordingProgressView;
using test::ScriptedClock;

std::string Pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>((i * 131 + i / 256) & 0xff);
    }
    return s;
}

const test::RecordedMessage kFailed{kReconnectText, kUpgradeFailedTitle, MessageStyle::Plain};

struct Downloads : ::testing::Test {
    test::TestDir dir;
    ScriptedTransfer transfer;
    RecordingProgressView view;

    bool Plain() {
        ScriptedClock clock(10);
        try {
            FetchFile(transfer, view, clock, L"host/autopatch/vtgame.ini", dir.Path(),
                      L"vtgame.ini", L"", L"", SizeBound::AtMost(format::kProfileMostBytes));
        } catch (const ProgramEnded&) {
            return false;
        }
        return true;
    }
    bool WithProgress(Clock& clock, const std::wstring& name = L"vt.exe") {
        try {
            FetchFileWithProgress(transfer, view, clock, L"host/autopatch/" + name, dir.Path(),
                                  name, L"", L"");
        } catch (const ProgramEnded&) {
            return false;
        }
        return true;
    }
    bool WithProgress() {
        ScriptedClock clock(100, 100);
        return WithProgress(clock);
    }
};

TEST(DownloadFigures, StatusIsCharactersTenToTwelveOfTheHead) {
    EXPECT_TRUE(HeadSaysOk(L"HTTP/1.1 200 OK\r\nServer: x"));
    EXPECT_TRUE(HeadSaysOk(L"HTTP/1.0 200"));
    EXPECT_FALSE(HeadSaysOk(L"HTTP/1.1 404 Not Found"));
    EXPECT_FALSE(HeadSaysOk(L"HTTP/1.1 20"));
    EXPECT_FALSE(HeadSaysOk(L""));
    EXPECT_FALSE(HeadSaysOk(L"HTTP/2 200 OK"));
}

TEST(DownloadFigures, SizeInKilobytesRoundsHalvesToEvenAndIsAtLeastOne) {
    EXPECT_EQ(SizeInKilobytes(300), 1);
    EXPECT_EQ(SizeInKilobytes(1536), 2);
    EXPECT_EQ(SizeInKilobytes(2560), 2);
    EXPECT_EQ(SizeInKilobytes(3584), 4);
    EXPECT_EQ(SizeInKilobytes(1500), 1);
    EXPECT_EQ(SizeInKilobytes(5120), 5);
    EXPECT_EQ(ToInt32Bankers(0.5), 0);
    EXPECT_EQ(ToInt32Bankers(1.5), 2);
    EXPECT_EQ(ToInt32Bankers(86399.5), 86400);
    EXPECT_THROW(SizeInKilobytes(1e20), AppError);
}

TEST(DownloadFigures, CounterCountsChunksBegunAndIsCapped) {
    EXPECT_EQ(ChunkCounter(1024, 5), 1);
    EXPECT_EQ(ChunkCounter(1025, 5), 2);
    EXPECT_EQ(ChunkCounter(262144, 1000), 256);
    EXPECT_EQ(ChunkCounter(1500, 1), 1);
    EXPECT_EQ(ChunkCounter(int64_t{1} << 40, 7), 7);
}

TEST(DownloadFigures, SpeedPercentAndBar) {
    ProgressFigures f = ComputeProgress(10, 10, 4);
    EXPECT_EQ(f.time, L"4 초");
    EXPECT_EQ(f.speed, L"03 KB/S");
    EXPECT_EQ(f.percent, L"100%");
    EXPECT_FLOAT_EQ(f.barWidth, 201);

    f = ComputeProgress(1500, 2000, 1);
    EXPECT_EQ(f.speed, L"1,500 KB/S");
    EXPECT_EQ(f.percent, L"75%");
    EXPECT_FLOAT_EQ(f.barWidth, 151);

    EXPECT_EQ(ComputeProgress(1, 3, 0).speed, L"0 KB/S");
    EXPECT_EQ(ComputeProgress(1, 3, 0).percent, L"33%");
    EXPECT_FLOAT_EQ(ComputeProgress(1, 3, 0).barWidth, 1.0f / 3 * 200 + 1);
    EXPECT_EQ(ComputeProgress(1, 8, 1).percent, L"13%");  // 12.5 away from zero
    EXPECT_EQ(ComputeProgress(0, 8, 1).speed, L"00 KB/S");
    EXPECT_EQ(ComputeProgress(32767, 32767, 3).speed, L"10,922 KB/S");
    EXPECT_EQ(ComputeProgress(2000000, 2000000, 1).speed, L"2,000,000 KB/S");
}

TEST_F(Downloads, StoresTheBodyByteIdenticalAndDrivesTheTransferInOrder) {
    std::string body = Pattern(2500);
    transfer.Body(body, 1024);
    dir.Write(L"vtgame.ini", std::string(9000, 'x'));  // an older, longer copy
    bool earlierGoneAtRequest = false;
    transfer.onExecute = [&] { earlierGoneAtRequest = !dir.Has(L"vtgame.ini"); };

    ASSERT_TRUE(Plain());
    EXPECT_TRUE(earlierGoneAtRequest);
    EXPECT_EQ(dir.Read(L"vtgame.ini"), body);
    EXPECT_EQ(transfer.url, L"host/autopatch/vtgame.ini");
    std::vector<std::wstring> expected{L"URL",         L"UserName",   L"Password",
                                       L"Execute GET", L"GetHeader ", L"GetHeader Content-Length"};
    EXPECT_EQ(transfer.calls, expected);
    EXPECT_GE(view.doEvents, 2);  // messages handled while the request ran
    EXPECT_TRUE(view.messages.empty());
    EXPECT_TRUE(view.captions.empty());  // the plain download shows nothing
    EXPECT_GT(transfer.bufferSize, 1024u);
}

TEST_F(Downloads, BytesLentByTheTransferAreWrittenBeforeTheyAreReused) {
    transfer.lend = true;
    transfer.Body(Pattern(300 * 1024 + 7), 64 * 1024);
    ScriptedClock clock(7, 8);
    ASSERT_TRUE(WithProgress(clock));
    EXPECT_EQ(dir.Read(L"vt.exe"), Pattern(300 * 1024 + 7));
    EXPECT_EQ(view.captions[ProgressLabel::LblFilePecent], L"100%");

    transfer.Body(Pattern(2500), 1000);  // the plain download lends too
    ASSERT_TRUE(Plain());
    EXPECT_EQ(dir.Read(L"vtgame.ini"), Pattern(2500));
}

TEST_F(Downloads, PlainFailuresTellTheUserThenEnd) {
    struct Case {
        const wchar_t* what;
        std::function<void(ScriptedTransfer&)> set;
    };
    std::vector<Case> cases{
        {L"404", [](ScriptedTransfer& t) { t.head = L"HTTP/1.1 404 Not Found"; }},
        {L"no response", [](ScriptedTransfer& t) { t.head = L""; }},
        {L"missing length", [](ScriptedTransfer& t) { t.contentLength.reset(); }},
        {L"zero length", [](ScriptedTransfer& t) { t.contentLength = L"0"; }},
        {L"non-numeric length", [](ScriptedTransfer& t) { t.contentLength = L"many"; }},
        {L"error after 200", [](ScriptedTransfer& t) { t.codeBeforeBody = 12002; }},
        {L"error during the body", [](ScriptedTransfer& t) { t.codeAfterBody = 12030; }},
        {L"short body", [](ScriptedTransfer& t) { t.contentLength = L"5120"; }},
        {L"long body", [](ScriptedTransfer& t) { t.contentLength = L"2000"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.what, c.what + wcslen(c.what)));
        test::TestDir d;
        ScriptedTransfer t;
        t.Body(Pattern(3000), 1024);
        c.set(t);
        d.Write(L"vtgame.ini", "old");
        RecordingProgressView v;
        ScriptedClock clock(10);
        EXPECT_THROW(FetchFile(t, v, clock, L"host/autopatch/vtgame.ini", d.Path(), L"vtgame.ini",
                               L"", L"", SizeBound::AtMost(format::kProfileMostBytes)),
                     ProgramEnded);
        EXPECT_EQ(v.messages, std::vector<test::RecordedMessage>{kFailed});
        EXPECT_FALSE(d.Has(L"vtgame.ini"));  // neither the old copy nor a partial one
    }
}

TEST_F(Downloads, HttpOneZeroAndALengthWithTrailingTextAreAccepted) {
    transfer.head = L"HTTP/1.0 200 OK\r\nContent-Length: 3\r\n";
    transfer.pieces = {"abc"};
    transfer.contentLength = L" 3 ";
    ASSERT_TRUE(Plain());
    EXPECT_EQ(dir.Read(L"vtgame.ini"), "abc");
}

TEST_F(Downloads, ProgressFailuresEndWithoutAMessage) {
    for (int c = 0; c < 5; ++c) {
        SCOPED_TRACE(c);
        test::TestDir d;
        ScriptedTransfer t;
        t.Body(Pattern(5120).substr(0, 3000), 1024);
        t.contentLength = L"3000";
        if (c == 0)
            t.head = L"HTTP/1.1 404 Not Found";
        if (c == 1)
            t.contentLength = L"";
        if (c == 2)
            t.codeBeforeBody = 12152;
        if (c == 3)
            t.contentLength = L"5120";  // 3000 of 5120 bytes arrive
        if (c == 4)
            t.codeAfterBody = 12002;
        d.Write(L"vt.exe", "old");
        RecordingProgressView v;
        ScriptedClock clock(10, 10);
        EXPECT_THROW(FetchFileWithProgress(t, v, clock, L"h/vt.exe", d.Path(), L"vt.exe", L"", L""),
                     ProgramEnded);
        EXPECT_TRUE(v.messages.empty());
        // The installed file is replaced only by a whole new one; no staged part stays.
        EXPECT_EQ(d.Read(L"vt.exe"), "old");
        EXPECT_EQ(d.Names(), std::vector<std::wstring>{L"vt.exe"});
        EXPECT_EQ(v.captions[ProgressLabel::lblState], kDownloadingState);
        EXPECT_EQ(v.captions.count(ProgressLabel::Lblname), c >= 2 ? 1u : 0u);
    }
}

TEST_F(Downloads, SmallFileShowsAFullBarAfterItsOnlyChunk) {
    transfer.Body(Pattern(300), 1024);
    ASSERT_TRUE(WithProgress());
    EXPECT_EQ(dir.Read(L"vt.exe"), Pattern(300));
    EXPECT_EQ(view.captions[ProgressLabel::Lblname], L"vt.exe");
    EXPECT_EQ(view.captions[ProgressLabel::LblFilePecent], L"100%");
    EXPECT_EQ(view.captions[ProgressLabel::LblFileTime], L"0 초");
    EXPECT_EQ(view.captions[ProgressLabel::LblFilebps], L"0 KB/S");
    EXPECT_FLOAT_EQ(*view.width, 201);
}

TEST_F(Downloads, CounterIsCappedAtTheSizeInKilobytes) {
    transfer.Body(Pattern(1500), 1024);
    std::vector<std::wstring> percentAfterPiece;
    transfer.onPiece = [&](size_t) {
        percentAfterPiece.push_back(view.captions[ProgressLabel::LblFilePecent]);
    };
    ScriptedClock clock(5, 5);
    ASSERT_TRUE(WithProgress(clock));
    // Shown before the second piece is fetched: already 100% after the first 1024 bytes.
    ASSERT_EQ(percentAfterPiece.size(), 2u);
    EXPECT_EQ(percentAfterPiece[1], L"100%");
    EXPECT_EQ(view.captions[ProgressLabel::LblFilePecent], L"100%");
    EXPECT_FLOAT_EQ(*view.width, 201);

    for (auto [length, pieces] : {std::pair{1536, 2}, {2560, 3}, {3584, 4}}) {
        ScriptedTransfer t;
        t.Body(Pattern(static_cast<size_t>(length)), 1024);
        RecordingProgressView v;
        ScriptedClock c(5, 5);
        ASSERT_NO_THROW(FetchFileWithProgress(t, v, c, L"h/f", dir.Path(), L"f", L"", L""));
        EXPECT_EQ(v.captions[ProgressLabel::LblFilePecent], L"100%") << length;
        EXPECT_FLOAT_EQ(*v.width, 201) << length;
        EXPECT_EQ(dir.Read(L"f").size(), static_cast<size_t>(length));
        EXPECT_EQ(t.pieces.size(), static_cast<size_t>(pieces));
    }
}

TEST_F(Downloads, SpeedOfTenChunksAfterFourSeconds) {
    transfer.Body(Pattern(10 * 1024), 1024);
    ScriptedClock clock(100.2, 104.4);
    ASSERT_TRUE(WithProgress(clock));
    EXPECT_EQ(view.captions[ProgressLabel::LblFileTime], L"4 초");
    EXPECT_EQ(view.captions[ProgressLabel::LblFilebps], L"03 KB/S");
    EXPECT_EQ(view.captions[ProgressLabel::LblFilePecent], L"100%");
}

TEST_F(Downloads, SpeedOfFifteenHundredChunksAfterOneSecondInLargeReads) {
    transfer.Body(Pattern(1500 * 1024), 256 * 1024);
    ScriptedClock clock(7, 8);
    ASSERT_TRUE(WithProgress(clock));
    EXPECT_EQ(view.captions[ProgressLabel::LblFilebps], L"1,500 KB/S");
    EXPECT_EQ(dir.Read(L"vt.exe"), Pattern(1500 * 1024));
}

TEST_F(Downloads, ElapsedTimeRoundsHalvesToEvenAndGoesOnPastMidnight) {
    transfer.Body(Pattern(4096), 1024);
    ScriptedClock halves(1.5, 4.5);  // 2 and 4: two seconds, not three
    ASSERT_TRUE(WithProgress(halves));
    EXPECT_EQ(view.captions[ProgressLabel::LblFileTime], L"2 초");
    EXPECT_EQ(view.captions[ProgressLabel::LblFilebps], L"02 KB/S");

    ScriptedTransfer t;
    t.Body(Pattern(4096), 1024);
    RecordingProgressView v;
    ScriptedClock midnight(86398, 86402);  // the clock counts on past 86400
    ASSERT_NO_THROW(FetchFileWithProgress(t, v, midnight, L"h/f", dir.Path(), L"f", L"", L""));
    EXPECT_EQ(v.captions[ProgressLabel::LblFileTime], L"4 초");
    EXPECT_EQ(v.captions[ProgressLabel::LblFilebps], L"01 KB/S");
}

TEST_F(Downloads, RedrawsAreCoalescedButTheFinalValuesAreExact) {
    transfer.Body(Pattern(64 * 1024), 1024);
    ScriptedClock clock(50, 50);
    ASSERT_TRUE(WithProgress(clock));
    size_t percentWrites = 0;
    for (auto& [label, text] : view.history) {
        percentWrites += label == ProgressLabel::LblFilePecent;
    }
    EXPECT_LT(percentWrites, 64u);
    EXPECT_EQ(view.captions[ProgressLabel::LblFilePecent], L"100%");
    EXPECT_FLOAT_EQ(*view.width, 201);
}

// The room the test's disk reports, in place of the real query while a FreeSpaceOverride lives.
std::optional<uint64_t> fakeFree;
std::vector<std::wstring> freeSpaceAsked;

std::optional<uint64_t> FakeFreeSpace(const std::wstring& directory) {
    freeSpaceAsked.push_back(directory);
    return fakeFree;
}

class FreeSpaceOverride {
  public:
    explicit FreeSpaceOverride(std::optional<uint64_t> free)
        : previous_(fs::SetFreeSpaceQuery(&FakeFreeSpace)) {
        fakeFree = free;
        freeSpaceAsked.clear();
    }
    ~FreeSpaceOverride() { fs::SetFreeSpaceQuery(previous_); }
    FreeSpaceOverride(const FreeSpaceOverride&) = delete;
    FreeSpaceOverride& operator=(const FreeSpaceOverride&) = delete;

  private:
    fs::FreeSpaceQuery previous_;
};

constexpr uint64_t kMargin = 1024 * 1024;

// One download of a 3000-byte body into a fresh directory, with or without progress.
struct SpaceRun {
    test::TestDir d;
    ScriptedTransfer t;
    RecordingProgressView v;
    bool bodyRead = false;

    explicit SpaceRun(std::optional<std::wstring> length = std::nullopt) {
        t.Body(Pattern(3000), 1024);
        if (length) {
            t.contentLength = *length;
        }
        t.onPiece = [this](size_t) { bodyRead = true; };
    }
    // True when the download finished, false when it ended the program.
    bool Run(bool progress) {
        ScriptedClock clock(10, 10);
        try {
            if (progress) {
                FetchFileWithProgress(t, v, clock, L"h/f.dat", d.Path(), L"f.dat", L"", L"");
            } else {
                // Bounded far beyond any length here: the disk decides.
                FetchFile(t, v, clock, L"h/f.dat", d.Path(), L"f.dat", L"", L"",
                          SizeBound::AtMost(std::numeric_limits<uint64_t>::max()));
            }
        } catch (const ProgramEnded&) {
            return false;
        }
        return true;
    }
};

TEST_F(Downloads, ALengthTheDiskHasNoRoomForIsRefusedBeforeAnythingIsWritten) {
    for (bool progress : {false, true}) {
        SCOPED_TRACE(progress ? "with progress" : "plain");
        FreeSpaceOverride full(3000 + kMargin - 1);
        SpaceRun run;
        run.d.Write(L"f.dat", "old");
        EXPECT_FALSE(run.Run(progress));
        EXPECT_FALSE(run.bodyRead) << "not a byte of the body was fetched";
        // A payload stays installed; the plain download's files are TempDir copies.
        EXPECT_EQ(run.d.Has(L"f.dat"), progress);
        EXPECT_EQ(freeSpaceAsked, std::vector<std::wstring>{run.d.Path()});
        // Shown by the silent download too: the player has to make room.
        ASSERT_EQ(run.v.messages.size(), 1u);
        const test::RecordedMessage& m = run.v.messages[0];
        EXPECT_EQ(m.title, kUpgradeFailedTitle);
        EXPECT_EQ(m.style, MessageStyle::Plain);
        EXPECT_NE(m.text.find(L"디스크 공간이 부족"), std::wstring::npos);
        EXPECT_NE(m.text.find(run.d.Path() + L"f.dat"), std::wstring::npos) << "names the file";
        // 1,051,576 bytes needed, 1,051,575 free.
        EXPECT_NE(m.text.find(L"필요한 공간: 1,027 KB"), std::wstring::npos);
        EXPECT_NE(m.text.find(L"남은 공간: 1,026 KB"), std::wstring::npos);
    }
}

TEST_F(Downloads, ALengthThatFitsWithItsMarginOrAVolumeThatCannotTellDownloads) {
    for (bool progress : {false, true}) {
        SCOPED_TRACE(progress ? "with progress" : "plain");
        for (std::optional<uint64_t> free :
             {std::optional<uint64_t>(3000 + kMargin), std::optional<uint64_t>()}) {
            FreeSpaceOverride room(free);
            SpaceRun run;
            EXPECT_TRUE(run.Run(progress));
            EXPECT_EQ(run.d.Read(L"f.dat"), Pattern(3000));
            EXPECT_TRUE(run.v.messages.empty());
        }
    }
}

TEST_F(Downloads, ALengthNoRealDiskHoldsIsRefusedWithItsSize) {
    // The real query: no test machine has a petabyte free.
    for (bool progress : {false, true}) {
        SCOPED_TRACE(progress ? "with progress" : "plain");
        SpaceRun run(L"1000000000000000");
        EXPECT_FALSE(run.Run(progress));
        EXPECT_FALSE(run.bodyRead);
        EXPECT_FALSE(run.d.Has(L"f.dat"));
        ASSERT_EQ(run.v.messages.size(), 1u);
        EXPECT_NE(run.v.messages[0].text.find(L"필요한 공간: 976,562,501,024 KB"),
                  std::wstring::npos);
    }
}

#ifndef _WIN32
// Writes beyond a file-size limit fail (EFBIG) as they would on a disk that filled up.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &previous_);
        previousSignal_ = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        signal(SIGXFSZ, previousSignal_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit previous_{};
    void (*previousSignal_)(int) = nullptr;
};

TEST_F(Downloads, AWriteThatFailsEndsTheDownloadAndRemovesThePartialFile) {
    for (bool progress : {false, true}) {
        SCOPED_TRACE(progress ? "with progress" : "plain");
        test::TestDir d;
        ScriptedTransfer t;
        t.Body(Pattern(6 * 1024 * 1024), 256 * 1024);
        size_t piecesRead = 0;
        t.onPiece = [&](size_t) { ++piecesRead; };
        RecordingProgressView v;
        ScriptedClock clock(10, 10);
        std::optional<ErrorNumber> error;
        {
            FileSizeLimit limit(4 * 1024 * 1024);
            try {
                if (progress) {
                    FetchFileWithProgress(t, v, clock, L"h/f", d.Path(), L"f", L"", L"");
                } else {
                    FetchFile(t, v, clock, L"h/f", d.Path(), L"f", L"", L"",
                              SizeBound::AtMost(format::kManifestMostBytes));
                }
            } catch (const AppError& e) {
                error = e.Code();
            } catch (const ProgramEnded&) {
                ADD_FAILURE() << "ended as a transfer failure, not as a file error";
            }
        }
        // Error 75 goes to the general error report, which tells the player and ends.
        EXPECT_EQ(error, ErrorNumber::PathFileAccess);
        EXPECT_FALSE(d.Has(L"f")) << "the partial file is removed";
        EXPECT_EQ(piecesRead, 17u) << "16 pieces fill the limit; the 17th fails, no more read";
        EXPECT_TRUE(v.messages.empty());
    }
}
#endif

TEST(SystemClock, ReadsTheTimeOfDayAndNeverGoesBack) {
    const auto before = std::chrono::steady_clock::now();
    SystemClock clock;
    double a = clock.Seconds();
    double b = clock.Seconds();
    const double taken =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
    EXPECT_GE(a, 0);
    EXPECT_LT(a, 86400 + taken) << "past midnight by no more than the time taken since";
    EXPECT_GE(b, a);
}

}  // namespace
}  // namespace vt
