#include "base/Log_win32.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/FileSystem.h"
#include "tests/support/TestDir.h"

namespace vt::win32 {
namespace {

std::vector<std::string> Lines(const std::wstring& path) {
    std::string bytes = fs::ReadWholeFile(path).value_or("");
    std::vector<std::string> out;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            out.push_back(bytes.substr(start));  // a torn line: shows up as a mismatch
            break;
        }
        out.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return out;
}

// The text after "<stamp> [<pid>] ".
std::string TextOf(const std::string& line) {
    size_t close = line.find("] ");
    return close == std::string::npos ? line : line.substr(close + 2);
}

std::vector<std::string> Texts(const std::wstring& path) {
    std::vector<std::string> out;
    for (const std::string& l : Lines(path)) {
        out.push_back(TextOf(l));
    }
    return out;
}

size_t EntriesIn(const std::wstring& folder) {
    size_t n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(folder)) {
        ++n;
    }
    return n;
}

struct LogFile : ::testing::Test {
    test::TestDir dir;
    std::wstring folder = dir / L"VT Launcher";
    std::wstring log = folder + L"\\vtlauncher.log";
    std::wstring older = folder + L"\\vtlauncher.1.log";
};

TEST_F(LogFile, CreatesItsFolderAndAppendsStampedUtf8LinesRunAfterRun) {
    {
        FileLogSink sink(folder, kLogFileName);
        ASSERT_TRUE(sink.IsOpen());
        EXPECT_EQ(sink.Path(), log);
        sink.Write(L"첫 실행");
    }
    {
        FileLogSink sink(folder, kLogFileName);
        sink.Write(L"second run");
    }
    std::vector<std::string> lines = Lines(log);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(TextOf(lines[0]), "\xEC\xB2\xAB \xEC\x8B\xA4\xED\x96\x89");
    EXPECT_EQ(TextOf(lines[1]), "second run");
    std::string pid = std::to_string(GetCurrentProcessId());
    pid.insert(pid.begin(), '[');
    pid.push_back(']');
    for (const std::string& l : lines) {
        ASSERT_GT(l.size(), 25u);
        EXPECT_TRUE(l[4] == '-' && l[10] == 'T' && l[19] == '.' && l[23] == 'Z' && l[24] == ' ')
            << l;
        EXPECT_NE(l.find(pid), std::string::npos) << l;
    }
}

TEST_F(LogFile, TwoWritersOpenAtOnceBothAppendWithoutOverwriting) {
    FileLogSink first(folder, kLogFileName);
    FileLogSink second(folder, kLogFileName);  // a second launcher while the first runs
    ASSERT_TRUE(first.IsOpen());
    ASSERT_TRUE(second.IsOpen());
    first.Write(L"a1");
    second.Write(L"b1");
    first.Write(L"a2 longer than the others");
    second.Write(L"b2");
    EXPECT_EQ(Texts(log),
              (std::vector<std::string>{"a1", "b1", "a2 longer than the others", "b2"}));
}

TEST_F(LogFile, AFullLogIsRotatedAtStartKeepingExactlyOneOlderFile) {
    ASSERT_TRUE(fs::CreateDir(folder));
    dir.Write(L"VT Launcher\\vtlauncher.1.log", "oldest\r\n");
    dir.Write(L"VT Launcher\\vtlauncher.log", std::string(kLogRotateBytes - 6, 'x') + "last\r\n");
    {
        FileLogSink sink(folder, kLogFileName);
        sink.Write(L"after rotation");
    }
    EXPECT_EQ(Texts(log), std::vector<std::string>{"after rotation"});
    EXPECT_EQ(fs::GetStamp(older).size, kLogRotateBytes);  // the full log, not the oldest
    EXPECT_EQ(EntriesIn(folder), 2u);

    // Just below the limit nothing moves at the start; the first line that reaches it rotates.
    dir.Write(L"VT Launcher\\vtlauncher.log", std::string(kLogRotateBytes - 1, 'y'));
    {
        FileLogSink sink(folder, kLogFileName);
        EXPECT_EQ(fs::GetStamp(log).size, kLogRotateBytes - 1);
        EXPECT_EQ(fs::GetStamp(older).size, kLogRotateBytes);
        sink.Write(L"crosses");
    }
    std::string kept = fs::ReadWholeFile(older).value_or("");
    EXPECT_EQ(kept.find_first_not_of('y'), static_cast<size_t>(kLogRotateBytes - 1));
    EXPECT_EQ(TextOf(kept.substr(kLogRotateBytes - 1)), "crosses\r\n");
    EXPECT_EQ(fs::GetStamp(log).size, 0);
    EXPECT_EQ(EntriesIn(folder), 2u);
}

TEST_F(LogFile, AWriteThatCrossesTheLimitRotatesWithoutLosingLines) {
    FileLogSink sink(folder, kLogFileName, 300);
    std::vector<std::string> written;
    for (int i = 0; i < 12; ++i) {
        std::string text = "line " + std::to_string(i);
        written.push_back(text);
        sink.Write(std::wstring(text.begin(), text.end()));
        ASSERT_LE(EntriesIn(folder), 2u);
    }
    std::vector<std::string> kept = Texts(older);
    std::vector<std::string> current = Texts(log);
    kept.insert(kept.end(), current.begin(), current.end());
    ASSERT_FALSE(kept.empty());
    // The newest lines, in order and without a gap, end with the last one written.
    std::vector<std::string> tail(written.end() - static_cast<long>(kept.size()), written.end());
    EXPECT_EQ(kept, tail);
    EXPECT_LT(fs::GetStamp(log).size, 300);
}

TEST_F(LogFile, PlacesThatCannotHoldALogAreHarmless) {
    // The folder would have to be made inside a file.
    dir.Write(L"plain.txt", "not a folder");
    FileLogSink inFile(dir / L"plain.txt\\VT Launcher", kLogFileName);
    EXPECT_FALSE(inFile.IsOpen());
    inFile.Write(L"dropped");
    SetLogSink(&inFile);
    LogLine(L"dropped too");
    SetLogSink(nullptr);
    EXPECT_EQ(fs::ReadWholeFile(dir / L"plain.txt").value_or(""), "not a folder");

    // The log's name is taken by a folder.
    ASSERT_TRUE(fs::CreateDir(folder));
    ASSERT_TRUE(fs::CreateDir(log));
    FileLogSink shadowed(folder, kLogFileName);
    EXPECT_FALSE(shadowed.IsOpen());
    shadowed.Write(L"dropped");
    EXPECT_TRUE(fs::IsDirectory(log));
}

TEST_F(LogFile, ARotationThatFailsLeavesTheLogAppending) {
    ASSERT_TRUE(fs::CreateDir(folder));
    ASSERT_TRUE(fs::CreateDir(older));  // the older copy's name is a folder that is not empty
    dir.Write(L"VT Launcher\\vtlauncher.1.log\\keep", "k");
    dir.Write(L"VT Launcher\\vtlauncher.log", std::string(kLogRotateBytes, 'z'));
    FileLogSink sink(folder, kLogFileName);
    ASSERT_TRUE(sink.IsOpen());
    sink.Write(L"still logged");
    std::string bytes = fs::ReadWholeFile(log).value_or("");
    ASSERT_GT(bytes.size(), static_cast<size_t>(kLogRotateBytes));
    EXPECT_EQ(bytes.find_first_not_of('z'), static_cast<size_t>(kLogRotateBytes));
    EXPECT_EQ(TextOf(bytes.substr(kLogRotateBytes)), "still logged\r\n");
    EXPECT_EQ(dir.Read(L"VT Launcher\\vtlauncher.1.log\\keep"), "k");
}

TEST(LogFolder, LocalAppDataIsAnExistingFolder) {
    std::wstring appData = LocalAppDataFolder();
    ASSERT_FALSE(appData.empty());
    EXPECT_NE(appData.back(), L'\\');
    EXPECT_TRUE(fs::IsDirectory(appData));
}

}  // namespace
}  // namespace vt::win32
