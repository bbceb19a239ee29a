#include "base/FileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "base/Cp949.h"
#include "tests/support/TestDir.h"

namespace vt {
namespace {

bool WriteAll(fs::OutputFile& out, const std::string& bytes) {
    return out.Write(std::as_bytes(std::span(bytes.data(), bytes.size())));
}

TEST(OutputFile, CreatesNewFilesAndTruncatesExistingOnes) {
    test::TestDir dir;
    {
        auto out = fs::CreateOutputFile(dir / L"new.bin");
        ASSERT_NE(out, nullptr);
        ASSERT_TRUE(WriteAll(*out, "first"));
        ASSERT_TRUE(WriteAll(*out, " second"));
    }
    EXPECT_EQ(dir.Read(L"new.bin"), "first second");

    dir.Write(L"old.bin", std::string(5000, 'o'));
    {
        auto out = fs::CreateOutputFile(dir / L"old.bin");
        ASSERT_NE(out, nullptr);
        ASSERT_TRUE(WriteAll(*out, "short"));
    }
    EXPECT_EQ(dir.Read(L"old.bin"), "short");

    {
        auto out = fs::CreateOutputFile(dir / L"old.bin");  // emptied even when nothing is written
        ASSERT_NE(out, nullptr);
    }
    EXPECT_TRUE(dir.Has(L"old.bin"));
    EXPECT_EQ(dir.Read(L"old.bin"), "");

    EXPECT_EQ(fs::CreateOutputFile(dir / L"missing\\x.bin"), nullptr);
}

std::filesystem::path StdPath(const std::wstring& path) {
#ifdef _WIN32
    return std::filesystem::path(path);
#else
    std::string utf8 = ToUtf8(path);
    std::replace(utf8.begin(), utf8.end(), '\\', '/');
    return std::filesystem::path(utf8);
#endif
}

// Read-only attribute on Windows, no write permission on POSIX.
void MakeReadOnly(const std::wstring& path) {
    using std::filesystem::perms;
    std::filesystem::permissions(StdPath(path),
                                 perms::owner_write | perms::group_write | perms::others_write,
                                 std::filesystem::perm_options::remove);
}

TEST(RemoveTree, RemovesFoldersFilesAndReadOnlyEntriesAtAnyDepth) {
    test::TestDir dir;
    for (const wchar_t* folder :
         {L"temp", L"temp\\sub", L"temp\\sub\\deeper", L"temp\\empty", L"temp\\locked"}) {
        ASSERT_TRUE(fs::CreateDir(dir / folder));
    }
    dir.Write(L"temp\\vtgame.ini", "[game]");
    dir.Write(L"temp\\sub\\a.bin", std::string(70000, 'a'));
    dir.Write(L"temp\\sub\\deeper\\효과음.wav", "k");
    dir.Write(L"temp\\read-only.txt", "r");
    dir.Write(L"temp\\locked\\inside.txt", "i");
    MakeReadOnly(dir / L"temp\\read-only.txt");
    MakeReadOnly(dir / L"temp\\locked");
    dir.Write(L"beside.txt", "stays");

    EXPECT_TRUE(fs::RemoveTree(dir / L"temp"));
    EXPECT_FALSE(fs::Exists(dir / L"temp"));
    EXPECT_EQ(dir.Read(L"beside.txt"), "stays");

    EXPECT_FALSE(fs::RemoveTree(dir / L"temp")) << "nothing there to remove";
    dir.Write(L"plain", "x");
    EXPECT_TRUE(fs::RemoveTree(dir / L"plain")) << "a file alone is a tree of one";
    EXPECT_FALSE(fs::Exists(dir / L"plain"));
}

#ifndef _WIN32
// Wine cannot make links from the Windows side (CreateSymbolicLinkW does nothing there); the
// end-to-end test of the patch run puts Linux links into temp\ for the launcher under Wine.
TEST(RemoveTree, LinksAreRemovedAsLinksAndWhatTheyPointToSurvives) {
    test::TestDir dir;
    test::TestDir outside;
    ASSERT_TRUE(fs::CreateDir(outside / L"folder"));
    outside.Write(L"folder\\precious.txt", "keep me");
    outside.Write(L"file.txt", "keep me too");
    ASSERT_TRUE(fs::CreateDir(outside / L"empty"));

    ASSERT_TRUE(fs::CreateDir(dir / L"temp"));
    ASSERT_TRUE(fs::CreateDir(dir / L"temp\\sub"));
    namespace stdfs = std::filesystem;
    stdfs::create_directory_symlink(StdPath(outside / L"folder"),
                                    StdPath(dir / L"temp\\to-folder"));
    stdfs::create_directory_symlink(StdPath(outside / L"empty"),
                                    StdPath(dir / L"temp\\sub\\to-empty"));
    stdfs::create_symlink(StdPath(outside / L"file.txt"), StdPath(dir / L"temp\\to-file"));
    stdfs::create_symlink(StdPath(outside / L"gone"), StdPath(dir / L"temp\\dangling"));

    EXPECT_TRUE(fs::RemoveTree(dir / L"temp"));
    EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(StdPath(dir / L"temp"))));
    EXPECT_EQ(outside.Read(L"folder\\precious.txt"), "keep me");
    EXPECT_EQ(outside.Read(L"file.txt"), "keep me too");
    EXPECT_TRUE(fs::IsDirectory(outside / L"empty")) << "an empty target is no less kept";

    // A tree that is itself a link: the link goes, the folder it names stays whole.
    stdfs::create_directory_symlink(StdPath(outside / L"folder"), StdPath(dir / L"temp"));
    EXPECT_TRUE(fs::RemoveTree(dir / L"temp"));
    EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(StdPath(dir / L"temp"))));
    EXPECT_EQ(outside.Read(L"folder\\precious.txt"), "keep me");
}
#endif

std::optional<uint64_t> TwelveThousandBytes(const std::wstring&) {
    return 12345;
}

// One listing per folder entered: the files with their sizes, subfolders only where the
// caller asks, never below a folder it declined.
TEST(ListFiles, ListsFilesWithSizesAndEntersOnlyTheFoldersAskedFor) {
    test::TestDir dir;
    for (const wchar_t* folder : {L"Sub", L"Sub\\deep", L"skip", L"empty"}) {
        ASSERT_TRUE(fs::CreateDir(dir / folder));
    }
    dir.Write(L"a.wav", "AAA");
    dir.Write(L"Sub\\b.wav", "BBBBB");
    dir.Write(L"Sub\\deep\\효과.wav", "C");
    dir.Write(L"skip\\d.wav", "DD");
    std::vector<std::wstring> asked;
    auto listed = fs::ListFiles(dir.Path(), [&asked](const std::wstring& folder) {
        asked.push_back(folder);
        return folder != L"skip";
    });
    std::sort(listed.begin(), listed.end(),
              [](const fs::ListedFile& x, const fs::ListedFile& y) { return x.name < y.name; });
    EXPECT_EQ(listed, (std::vector<fs::ListedFile>{
                          {L"Sub\\b.wav", 5}, {L"Sub\\deep\\효과.wav", 1}, {L"a.wav", 3}}));
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, (std::vector<std::wstring>{L"Sub", L"Sub\\deep", L"empty", L"skip"}));

    EXPECT_TRUE(fs::ListFiles(dir / L"absent\\", [](const std::wstring&) { return true; }).empty());
}

TEST(FoldedName, NamesThatOpenOneFileFoldAlike) {
    const struct {
        const wchar_t* a;
        const wchar_t* b;
        bool same;
    } rows[] = {
        {L"a.WAV", L"A.wav", true},
        {L"sub\\Voice.ogg", L"SUB\\voice.OGG", true},
        {L"효과 음.wav", L"효과 음.WAV", true},
        {L"a.wav", L"b.wav", false},
        {L"a.wav", L"a.wav ", false},
        {L"효과.wav", L"효과음.wav", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(ToUtf8(std::wstring(row.a) + L" | " + row.b));
        EXPECT_EQ(fs::FoldedName(row.a) == fs::FoldedName(row.b), row.same);
    }
}

TEST(FreeSpace, AnswersForAFolderAndTestsCanReplaceTheQuery) {
    test::TestDir dir;
    const std::optional<uint64_t> free = fs::FreeSpace(dir.Path());
    ASSERT_TRUE(free.has_value());
    EXPECT_GT(*free, 0u) << "the test's own folder has room";

    EXPECT_EQ(fs::SetFreeSpaceQuery(&TwelveThousandBytes), nullptr);
    EXPECT_EQ(fs::FreeSpace(dir.Path()), 12345u);
    EXPECT_EQ(fs::SetFreeSpaceQuery(nullptr), &TwelveThousandBytes);
    const std::optional<uint64_t> again = fs::FreeSpace(dir.Path());
    EXPECT_TRUE(again.has_value() && *again != 12345u) << "the system answers again";
}

}  // namespace
}  // namespace vt
