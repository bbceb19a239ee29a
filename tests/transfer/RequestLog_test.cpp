#include "transfer/RequestLog.h"

#include <gtest/gtest.h>

#include "base/AppError.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "patch/Fetch.h"
#include "tests/support/Fakes.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/ScriptedTransfer.h"
#include "tests/support/TestDir.h"
#include "transfer/Download.h"

namespace vt {
namespace {

using test::RecordingLog;
using test::ScriptedTransfer;

TEST(RequestLine, NamesUrlStatusLengthTimeAndOutcome) {
    EXPECT_EQ(DescribeRequest(L"127.0.0.1/autopatch/vtgame.ini", L"200", L"1234", 15, L"stored"),
              L"GET 127.0.0.1/autopatch/vtgame.ini: status 200, length 1234, 15 ms, stored");
    EXPECT_EQ(DescribeRequest(L"h/x", L"", L"", 0, L"refused: not 200"),
              L"GET h/x: status -, length -, 0 ms, refused: not 200");
}

struct RequestLogs : ::testing::Test {
    test::TestDir dir;
    ScriptedTransfer transfer;
    test::RecordingProgressView view;
    RecordingLog log;

    bool Plain() {
        test::ScriptedClock clock(100, 100);
        try {
            FetchFile(transfer, view, clock, L"h/autopatch/vtgame.ini", dir.Path(), L"vtgame.ini",
                      L"", L"", SizeBound::AtMost(format::kProfileMostBytes));
        } catch (const ProgramEnded&) {
            return false;
        }
        return true;
    }
    bool WithProgress() {
        test::ScriptedClock clock(100, 100);
        try {
            FetchFileWithProgress(transfer, view, clock, L"h/autopatch/vt.exe", dir.Path(),
                                  L"vt.exe", L"", L"");
        } catch (const ProgramEnded&) {
            return false;
        }
        return true;
    }
    // The one line logged, with its time taken out.
    std::wstring OnlyLine() {
        EXPECT_EQ(log.lines.size(), 1u);
        if (log.lines.empty()) {
            return {};
        }
        std::wstring line = log.lines.back();
        size_t ms = line.find(L" ms,");
        size_t comma = line.rfind(L", ", ms);
        return ms == std::wstring::npos ? line : line.substr(0, comma) + line.substr(ms + 3);
    }
};

TEST_F(RequestLogs, EachDownloadLogsOneLineWhenStored) {
    transfer.Body(std::string(2500, 'a'), 1024);
    ASSERT_TRUE(Plain());
    EXPECT_EQ(OnlyLine(), L"GET h/autopatch/vtgame.ini: status 200, length 2500, stored");
    log.lines.clear();
    transfer = ScriptedTransfer();
    transfer.Body(std::string(70000, 'b'), 4096);
    ASSERT_TRUE(WithProgress());
    EXPECT_EQ(OnlyLine(), L"GET h/autopatch/vt.exe: status 200, length 70000, stored");
}

TEST_F(RequestLogs, RefusalsAndFailuresAreLoggedBeforeTheRunEnds) {
    transfer.Body("abc", 3);
    transfer.head = L"HTTP/1.1 404 Not Found";
    EXPECT_FALSE(Plain());
    EXPECT_EQ(OnlyLine(), L"GET h/autopatch/vtgame.ini: status 404, length -, refused: not 200");

    log.lines.clear();
    transfer = ScriptedTransfer();
    transfer.Body(std::string(3000, 'c'), 1024);
    transfer.contentLength = L"5120";  // the body ends early
    EXPECT_FALSE(WithProgress());
    EXPECT_EQ(OnlyLine(),
              L"GET h/autopatch/vt.exe: status 200, length 5120, failed: body "
              L"incomplete or transfer error 0");

    log.lines.clear();
    transfer = ScriptedTransfer();
    transfer.Body(std::string(3000, 'c'), 1024);
    transfer.contentLength.reset();
    EXPECT_FALSE(Plain());
    EXPECT_EQ(OnlyLine(),
              L"GET h/autopatch/vtgame.ini: status 200, length -, refused: no length or transfer "
              L"error 0");
}

TEST_F(RequestLogs, ARedirectedRequestNamesWhereItsAnswerCameFrom) {
    EXPECT_EQ(DescribeRequest(L"h/x", L"200", L"3", 5, L"stored", L"http://mirror/x"),
              L"GET h/x (redirected to http://mirror/x): status 200, length 3, 5 ms, stored");
    for (bool progress : {false, true}) {
        SCOPED_TRACE(progress);
        log.lines.clear();
        transfer = ScriptedTransfer();
        transfer.Body(std::string(2500, 'r'), 1024);
        transfer.finalUrl = L"http://127.0.0.9:8080/elsewhere";
        ASSERT_TRUE(progress ? WithProgress() : Plain());
        EXPECT_NE(OnlyLine().find(L" (redirected to http://127.0.0.9:8080/elsewhere): status 200, "
                                  L"length 2500, stored"),
                  std::wstring::npos);
    }
}

TEST_F(RequestLogs, ARequestCutShortByAnErrorIsStillLogged) {
    transfer.Body(std::string(3000, 'd'), 1024);
    // The target is a directory: the body cannot be stored and the error travels on.
    ASSERT_TRUE(fs::CreateDir(dir / L"vtgame.ini"));
    EXPECT_THROW(Plain(), AppError);
    EXPECT_EQ(OnlyLine(), L"GET h/autopatch/vtgame.ini: status 200, length 3000, interrupted");
}

}  // namespace
}  // namespace vt
