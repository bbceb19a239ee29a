#include "patch/frmVtUpdate.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/AppError.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "tests/support/Fakes.h"
#include "tests/support/PatchRun.h"
#include "tests/support/TestDir.h"

namespace vt {
namespace {

const std::vector<std::wstring> kTree = {
    L"resource",
    L"resource\\sound",
    L"resource\\data",
    L"resource\\data\\card1",
    L"resource\\data\\card2",
    L"resource\\data\\card3",
    L"resource\\data\\card4",
    L"resource\\data\\card5",
    L"temp",
};

// A bare folder: the load itself makes the tree.
class PatchWindowHandlers : public test::PatchRunTest {
  protected:
    PatchWindowHandlers() : PatchRunTest(test::Installation::Layout::Empty) {}
};

TEST_F(PatchWindowHandlers, LoadSetsThePathStringsAndCreatesTheTree) {
    form.Form_Load(ExeDirectory());
    EXPECT_EQ(AppDir, dir.Path());
    EXPECT_EQ(PatchBaseUrl, std::wstring(VT_PATCH_HOST) + L"/autopatch/");
    EXPECT_EQ(TempDir, dir.Path() + L"temp\\");
    EXPECT_EQ(SoundDir, dir.Path() + L"resource\\sound\\");
    EXPECT_EQ(DataDir, dir.Path() + L"resource\\data\\");
    for (const auto& d : kTree) {
        EXPECT_TRUE(fs::IsDirectory(dir / d)) << std::string(d.begin(), d.end());
    }
    EXPECT_TRUE(view.log.empty());  // loading shows nothing
}

TEST_F(PatchWindowHandlers, LoadCreatesAMissingApplicationDirectory) {
    std::wstring exeDirectory = dir.Path() + L"new app";
    form.Form_Load(exeDirectory);
    EXPECT_TRUE(fs::IsDirectory(exeDirectory));
    EXPECT_TRUE(fs::IsDirectory(exeDirectory + L"\\resource\\data\\card5"));
}

TEST_F(PatchWindowHandlers, LoadLeavesExistingDirectoriesAndTheirFilesAlone) {
    ASSERT_TRUE(fs::CreateDir(dir / L"resource"));
    ASSERT_TRUE(fs::CreateDir(dir / L"temp"));
    dir.Write(L"temp\\vtgame.ini", "[game]\r\ngame=1\r\n");
    dir.Write(L"resource\\keep.bin", "x");
    form.Form_Load(ExeDirectory());
    EXPECT_EQ(dir.Read(L"temp\\vtgame.ini"), "[game]\r\ngame=1\r\n");
    EXPECT_EQ(dir.Read(L"resource\\keep.bin"), "x");
    EXPECT_TRUE(fs::IsDirectory(dir / L"resource\\data\\card1"));
    // A second load (the next start) finds everything and changes nothing.
    form.Form_Load(ExeDirectory());
    EXPECT_EQ(dir.Read(L"temp\\vtgame.ini"), "[game]\r\ngame=1\r\n");
}

TEST_F(PatchWindowHandlers, AFileInPlaceOfADirectoryIsReportedAndStopsTheTreeInOrder) {
    ASSERT_TRUE(fs::CreateDir(dir / L"resource"));
    ASSERT_TRUE(fs::CreateDir(dir / L"resource\\data"));
    dir.Write(L"resource\\data\\card3", "not a directory");
    try {
        form.Form_Load(ExeDirectory());
        FAIL() << "no error raised";
    } catch (const AppError& e) {
        EXPECT_EQ(e.Code(), ErrorNumber::PathFileAccess);
        EXPECT_NE(e.Description().find(L"card3"), std::wstring::npos);
    }
    // The directories before it in the tree's order exist, those after it do not.
    EXPECT_TRUE(fs::IsDirectory(dir / L"resource\\sound"));
    EXPECT_TRUE(fs::IsDirectory(dir / L"resource\\data\\card2"));
    EXPECT_FALSE(fs::Exists(dir / L"resource\\data\\card4"));
    EXPECT_FALSE(fs::Exists(dir / L"resource\\data\\card5"));
    EXPECT_FALSE(fs::Exists(dir / L"temp"));
    EXPECT_EQ(dir.Read(L"resource\\data\\card3"), "not a directory");
}

TEST_F(PatchWindowHandlers, TheFifthCardSetComesAfterTheFourthAndBeforeTemp) {
    ASSERT_TRUE(fs::CreateDir(dir / L"resource"));
    ASSERT_TRUE(fs::CreateDir(dir / L"resource\\data"));
    dir.Write(L"resource\\data\\card5", "not a directory");
    EXPECT_THROW(form.Form_Load(ExeDirectory()), AppError);
    EXPECT_TRUE(fs::IsDirectory(dir / L"resource\\data\\card4"));
    EXPECT_FALSE(fs::Exists(dir / L"temp"));
}

TEST_F(PatchWindowHandlers, ADirectoryThatCannotBeCreatedIsReported) {
    // Its parent is a plain file, so the application directory itself cannot be made.
    dir.Write(L"plain", "x");
    try {
        form.Form_Load(dir.Path() + L"plain\\app");
        FAIL() << "no error raised";
    } catch (const AppError& e) {
        EXPECT_EQ(e.Code(), ErrorNumber::PathFileAccess);
        EXPECT_NE(e.Description().find(L"plain"), std::wstring::npos);
    }
}

TEST_F(PatchWindowHandlers, ActivateRunsThePatchRunOnceThenHandsOver) {
    form.Form_Load(ExeDirectory());
    EXPECT_FALSE(form.PatchRunStarted());
    form.Form_Activate();
    EXPECT_TRUE(form.PatchRunStarted());
    EXPECT_EQ(handOver.steps, (std::vector<std::wstring>{L"open servers", L"hide patch"}));
    form.Form_Activate();
    form.Form_Activate();
    EXPECT_EQ(handOver.steps.size(), 2u);
}

TEST_F(PatchWindowHandlers, CancelEndsTheProgramAtOnce) {
    form.Form_Load(ExeDirectory());
    EXPECT_THROW(form.cmdCancel_Click(), ProgramEnded);
    EXPECT_TRUE(view.log.empty());  // no question, no message
    EXPECT_TRUE(shell.calls.empty());
    EXPECT_TRUE(fs::IsDirectory(dir / L"temp"));  // nothing cleaned up
}

TEST_F(PatchWindowHandlers, BannerOpensTheHomepageAndTheRunGoesOn) {
    form.Form_Load(ExeDirectory());
    EXPECT_NO_THROW(form.Image1_Click());
    ASSERT_EQ(shell.calls.size(), 1u);
    EXPECT_EQ(shell.calls[0].file, VT_HOMEPAGE_URL);
    EXPECT_EQ(shell.calls[0].parameters, L"");
    EXPECT_EQ(shell.calls[0].directory, L"");
    EXPECT_TRUE(view.log.empty());
    form.Form_Activate();
    EXPECT_EQ(handOver.steps.size(), 2u);
}

TEST(PatchWindowWithoutHandOver, ActivateLeavesThePatchWindowUp) {
    test::RecordingProgressView view;
    test::RecordingShell shell;
    frmVtUpdate form(view, shell);
    EXPECT_NO_THROW(form.Form_Activate());
    EXPECT_TRUE(form.PatchRunStarted());
}

}  // namespace
}  // namespace vt
