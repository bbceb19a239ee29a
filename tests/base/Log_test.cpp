#include "base/Log.h"

#include <gtest/gtest.h>

#include "base/AppError.h"
#include "base/EndProgram.h"
#include "base/ErrorReport.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "tests/support/Fakes.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/TestDir.h"

namespace vt {
namespace {

TEST(LogFormat, StampIsUtcIsoWithZeroPaddedFieldsThenProcessId) {
    LogTime t{2026, 3, 7, 4, 5, 9, 42};
    EXPECT_EQ(FormatLogLine(t, 4321, L"start"), "2026-03-07T04:05:09.042Z [4321] start\r\n");
    LogTime late{2026, 12, 31, 23, 59, 59, 999};
    EXPECT_EQ(FormatLogLine(late, 4000000000u, L""), "2026-12-31T23:59:59.999Z [4000000000] \r\n");
}

TEST(LogFormat, TextIsUtf8AndLineBreaksInsideItCannotSplitTheEntry) {
    LogTime t{};
    EXPECT_EQ(
        FormatLogLine(t, 1, L"오류 75: 경로"),
        "1970-01-01T00:00:00.000Z [1] \xEC\x98\xA4\xEB\xA5\x98 75: \xEA\xB2\xBD\xEB\xA1\x9C\r\n");
    std::string line = FormatLogLine(t, 1,
                                     L"a\r\nb\tc\x7f"
                                     L"d\n");
    EXPECT_EQ(line, "1970-01-01T00:00:00.000Z [1] a  b c d \r\n");
    EXPECT_EQ(line.find('\n'), line.size() - 1);
}

TEST(LogRotation, RotatesFromOneMebibyteOn) {
    EXPECT_FALSE(ShouldRotate(-1));  // no file yet
    EXPECT_FALSE(ShouldRotate(0));
    EXPECT_FALSE(ShouldRotate(1024 * 1024 - 1));
    EXPECT_TRUE(ShouldRotate(1024 * 1024));
    EXPECT_TRUE(ShouldRotate(5LL * 1024 * 1024 * 1024));
    EXPECT_TRUE(ShouldRotate(100, 100));
    EXPECT_FALSE(ShouldRotate(99, 100));
}

TEST(LogRotation, OlderCopyIsNamedBeforeTheExtension) {
    EXPECT_EQ(RotatedLogName(L"vtlauncher.log"), L"vtlauncher.1.log");
    EXPECT_EQ(RotatedLogName(L"C:\\Users\\a.b\\VT Launcher\\vt.launcher.log"),
              L"C:\\Users\\a.b\\VT Launcher\\vt.launcher.1.log");
    EXPECT_EQ(RotatedLogName(L"C:\\a.b\\vtlauncher"), L"C:\\a.b\\vtlauncher.1");
    EXPECT_EQ(RotatedLogName(L".log"), L".log.1");
}

TEST(LogLines, GoToTheInstalledSinkAndNowhereWithout) {
    LogLine(L"before any sink");  // must simply do nothing
    {
        test::RecordingLog log;
        LogLine(L"one");
        LogLine(L"two");
        EXPECT_EQ(log.lines, (std::vector<std::wstring>{L"one", L"two"}));
    }
    LogLine(L"after the sink is gone");
}

TEST(LogLines, TheGeneralErrorReportRecordsNumberAndDescription) {
    test::RecordingLog log;
    test::RecordingProgressView sink;
    EXPECT_THROW(RunHandler(sink,
                            [] {
                                throw AppError(ErrorNumber::PathFileAccess,
                                               L"경로/파일 액세스 오류입니다. (x)");
                            }),
                 ProgramEnded);
    EXPECT_EQ(log.lines,
              (std::vector<std::wstring>{L"error 75: 경로/파일 액세스 오류입니다. (x)"}));
}

TEST(LogLines, EveryRecordWrittenIsLoggedAndAFailedOneIsNot) {
    test::TestDir dir;
    test::RecordingLog log;
    WriteProfileValue(L"sound", L"bgm.wav", L"3", dir / L"sound.ini");
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find(L"sound.ini [sound] bgm.wav=3"), std::wstring::npos);
    // A directory where the file should be: the write fails and is reported, not logged.
    ASSERT_TRUE(fs::CreateDir(dir / L"blocked.ini"));
    EXPECT_THROW(WriteProfileValue(L"game", L"card1", L"2", dir / L"blocked.ini"), AppError);
    EXPECT_EQ(log.lines.size(), 1u);
}

}  // namespace
}  // namespace vt
