// The patch run's own steps around the version check: fetch the server's profile into
// TempDir, then empty and remove TempDir.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "patch/Texts.h"
#include "patch/frmVtUpdate.h"
#include "sets/RecordJournal.h"
#include "tests/support/Fakes.h"
#include "tests/support/PatchRun.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/ScriptedTransfer.h"
#include "tests/support/TestDir.h"
#include "transfer/Download.h"

namespace vt {
namespace {

std::filesystem::path NativePath(const std::wstring& path) {
#ifdef _WIN32
    return std::filesystem::path(path);
#else
    std::string utf8 = ToUtf8(path);
    for (char& c : utf8) {
        if (c == '\\') {
            c = '/';
        }
    }
    return std::filesystem::path(utf8);
#endif
}

class PatchRun : public test::PatchRunTest {
  protected:
    void SetUp() override {
        LoadWindow();
        transfer.Body("[version]\r\ngame=1\r\n", 1024);
    }
};

TEST_F(PatchRun, FetchesTheServerProfileIntoTempDirThenRemovesTempDir) {
    dir.Write(L"temp\\vtsound.ini", "left by a cancelled run");
    bool stagedWhileWritten = false;
    transfer.onPiece = [&](size_t) { stagedWhileWritten = fs::Exists(TempDir + L"vtgame.ini"); };
    form.Form_Activate();
    EXPECT_EQ(transfer.url, PatchBaseUrl + L"vtgame.ini");
    EXPECT_EQ(transfer.userName, L"");
    EXPECT_EQ(transfer.password, L"");
    EXPECT_TRUE(stagedWhileWritten);
    EXPECT_FALSE(fs::Exists(dir / L"temp"));
    EXPECT_EQ(handOver.steps.size(), 2u);
    EXPECT_TRUE(view.messages.empty());
}

TEST_F(PatchRun, JournalsAKilledRunLeftAreFoldedBeforeAnyVersionIsFetched) {
    const std::string record = EncodeJournalRecord("a.wav", "2").value();
    dir.Write(L"resource\\sound\\vtsound.ini", "[sound]\r\na.wav=1\r\n");
    dir.Write(L"resource\\sound\\vtsound.ini.journal", record);
    dir.Write(L"resource\\data\\card3\\vtcard3.ini.journal", record);
    std::string soundWhileFetching;
    transfer.onPiece = [&](size_t) {
        soundWhileFetching = dir.Read(L"resource\\sound\\vtsound.ini");
    };
    form.Form_Activate();
    EXPECT_EQ(soundWhileFetching, "[sound]\r\na.wav=2\r\n");
    EXPECT_EQ(dir.Read(L"resource\\data\\card3\\vtcard3.ini"), "[card3]\r\na.wav=2\r\n");
    EXPECT_FALSE(dir.Has(L"resource\\sound\\vtsound.ini.journal"));
    EXPECT_FALSE(dir.Has(L"resource\\data\\card3\\vtcard3.ini.journal"));
}

TEST_F(PatchRun, AFailedFetchTellsTheUserAndEndsBeforeTheHandOver) {
    transfer.head = L"HTTP/1.1 404 Not Found";
    EXPECT_THROW(form.Form_Activate(), ProgramEnded);
    EXPECT_EQ(view.messages, (std::vector<test::RecordedMessage>{
                                 {kReconnectText, kUpgradeFailedTitle, MessageStyle::Plain}}));
    EXPECT_TRUE(fs::IsDirectory(dir / L"temp"));
    EXPECT_TRUE(handOver.steps.empty());
}

TEST_F(PatchRun, FoldersAndReadOnlyFilesInTempDirGoWithIt) {
    // What an earlier run, an older launcher or the player may have left in temp\.
    ASSERT_TRUE(fs::CreateDir(dir / L"temp\\sub"));
    ASSERT_TRUE(fs::CreateDir(dir / L"temp\\sub\\deeper"));
    ASSERT_TRUE(fs::CreateDir(dir / L"temp\\empty"));
    dir.Write(L"temp\\sub\\vtcard1.ini", "[card1]");
    dir.Write(L"temp\\sub\\deeper\\카드.dat", std::string(5000, 'c'));
    dir.Write(L"temp\\read-only.ini", "r");
    std::filesystem::permissions(NativePath(dir / L"temp\\read-only.ini"),
                                 std::filesystem::perms::owner_write |
                                     std::filesystem::perms::group_write |
                                     std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
    EXPECT_NO_THROW(form.Form_Activate());
    EXPECT_FALSE(fs::Exists(dir / L"temp"));
    EXPECT_EQ(handOver.steps.size(), 2u);
    EXPECT_TRUE(view.messages.empty());
}

#ifndef _WIN32
// Under Wine the same is checked end to end, with links made from the Linux side.
TEST_F(PatchRun, ALinkInTempDirIsRemovedWithoutTouchingWhatItPointsTo) {
    test::TestDir outside;
    ASSERT_TRUE(fs::CreateDir(outside / L"saves"));
    outside.Write(L"saves\\slot1.sav", "progress");
    outside.Write(L"notes.txt", "notes");
    std::filesystem::create_directory_symlink(NativePath(outside / L"saves"),
                                              NativePath(dir / L"temp\\saves"));
    std::filesystem::create_symlink(NativePath(outside / L"notes.txt"),
                                    NativePath(dir / L"temp\\notes.txt"));
    EXPECT_NO_THROW(form.Form_Activate());
    EXPECT_FALSE(
        std::filesystem::exists(std::filesystem::symlink_status(NativePath(dir / L"temp"))));
    EXPECT_EQ(outside.Read(L"saves\\slot1.sav"), "progress");
    EXPECT_EQ(outside.Read(L"notes.txt"), "notes");
    EXPECT_EQ(handOver.steps.size(), 2u);
}

// temp itself a link, to a folder or to nothing: what it points to is never written into or
// emptied, and the run stages in a folder beside it, removed after a good run.
TEST_F(PatchRun, ATempDirThatIsALinkIsLeftAloneAndStagingMovesBesideIt) {
    for (const bool dangling : {false, true}) {
        SCOPED_TRACE(dangling ? "to nothing" : "to a folder");
        test::TestDir outside;
        ASSERT_TRUE(fs::CreateDir(outside / L"saves"));
        outside.Write(L"saves\\slot1.sav", "progress");
        const std::filesystem::path temp = NativePath(dir / L"temp");
        std::filesystem::remove_all(temp);
        std::filesystem::create_directory_symlink(
            NativePath(outside / (dangling ? L"gone" : L"saves")), temp);
        test::RecordingLog log;
        frmVtUpdate run{view, shell, &handOver};  // a window runs once
        run.Form_Load(ExeDirectory());
        run.UseTransfer(transfer, clock);
        transfer.Body("[version]\r\ngame=1\r\n", 1024);
        bool stagedBeside = false;
        transfer.onPiece = [&](size_t) { stagedBeside = dir.Has(L"temp.1\\vtgame.ini"); };
        handOver.steps.clear();
        EXPECT_NO_THROW(run.Form_Activate());
        EXPECT_TRUE(stagedBeside);
        EXPECT_EQ(handOver.steps.size(), 2u);
        EXPECT_TRUE(std::filesystem::is_symlink(temp)) << "the link stays";
        EXPECT_EQ(outside.Read(L"saves\\slot1.sav"), "progress");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(NativePath(outside / L"saves")),
                                std::filesystem::directory_iterator()),
                  1);
        EXPECT_FALSE(dir.Has(L"temp.1")) << "the staging folder goes after a good run";
        EXPECT_EQ(log.With(L"is a link, left alone; staging in").size(), 1u);
        std::filesystem::remove(temp);
    }
}
#else
TEST_F(PatchRun, ATempDirThatCannotBeRemovedIsARunTimeError) {
    // A file another program holds open without sharing its deletion cannot go.
    dir.Write(L"temp\\held.txt", "held");
    std::ofstream held(NativePath(dir / L"temp\\held.txt"), std::ios::app);
    ASSERT_TRUE(held.is_open());
    try {
        form.Form_Activate();
        ADD_FAILURE() << "no error";
    } catch (const AppError& e) {
        EXPECT_EQ(e.Code(), ErrorNumber::PathFileAccess);
    }
    EXPECT_TRUE(handOver.steps.empty());
    EXPECT_EQ(dir.Read(L"temp\\held.txt"), "held");
    EXPECT_FALSE(fs::Exists(dir / L"temp\\vtgame.ini")) << "the rest went before the error";
}
#endif

// Paths never pass through code page 949: an installation folder may hold characters it lacks.
TEST(PatchRunPaths, AnInstallationFolderOutsideCodePage949PatchesAndRemovesTempDir) {
    test::TestDir dir;
    const std::wstring folder = dir.Path() + L"Caf\u00e9 \u00d8\u4e02";
    ASSERT_TRUE(fs::CreateDir(folder));
    test::ScriptedTransfer transfer;
    transfer.Body("[version]\r\ngame=1\r\n", 1024);
    test::RecordingProgressView view;
    test::RecordingShell shell;
    test::RecordingHandOver handOver;
    test::ScriptedClock clock{10};
    frmVtUpdate form{view, shell, &handOver};
    form.Form_Load(folder);
    form.UseTransfer(transfer, clock);
    form.Form_Activate();
    EXPECT_TRUE(fs::IsDirectory(folder + L"\\resource\\data"));
    EXPECT_FALSE(fs::Exists(folder + L"\\temp"));
    EXPECT_EQ(handOver.steps.size(), 2u);
}

}  // namespace
}  // namespace vt
