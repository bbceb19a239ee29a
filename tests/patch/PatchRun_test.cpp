// The patch run's own steps around the version check: fetch the server's profile into
// TempDir, then empty and remove TempDir.
#include <gtest/gtest.h>

#include <vector>

#include "app/AppError.h"
#include "app/EndProgram.h"
#include "app/FileSystem.h"
#include "app/ModGame.h"
#include "patch/frmVtUpdate.h"
#include "tests/support/ScriptedTransfer.h"
#include "tests/support/TestDir.h"
#include "transfer/Download.h"

namespace vt {
namespace {

struct QuietView final : PatchView {
    std::vector<std::wstring> messages;
    void SetCaption(PatchLabel, const std::wstring&) override {}
    void SetProgressWidth(float) override {}
    void ShowMessage(const std::wstring& text, const std::wstring& title, MessageStyle) override {
        messages.push_back(title + L": " + text);
    }
    void DoEvents() override {}
};

struct NoShell final : Shell {
    void Open(const std::wstring&, const std::wstring&, const std::wstring&) override {}
};

struct CountingHandOver final : PatchHandOver {
    int steps = 0;
    void OpenServerWindow() override { ++steps; }
    void HidePatchWindow() override { ++steps; }
};

struct FixedClock final : Clock {
    double Seconds() override { return 10; }
};

class PatchRun : public ::testing::Test {
  protected:
    void SetUp() override {
        form.Form_Load(dir.Path().substr(0, dir.Path().size() - 1));
        form.UseTransfer(transfer, clock);
        transfer.Body("[version]\r\ngame=1\r\n", 1024);
    }

    test::TestDir dir;
    test::ScriptedTransfer transfer;
    QuietView view;
    NoShell shell;
    CountingHandOver handOver;
    FixedClock clock;
    frmVtUpdate form{view, shell, &handOver};
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
    EXPECT_EQ(handOver.steps, 2);
    EXPECT_TRUE(view.messages.empty());
}

TEST_F(PatchRun, AFailedFetchTellsTheUserAndEndsBeforeTheHandOver) {
    transfer.head = L"HTTP/1.1 404 Not Found";
    EXPECT_THROW(form.Form_Activate(), ProgramEnded);
    EXPECT_EQ(view.messages, std::vector<std::wstring>{std::wstring(kDownloadFailedTitle) + L": " +
                                                       kDownloadFailedText});
    EXPECT_TRUE(fs::IsDirectory(dir / L"temp"));
    EXPECT_EQ(handOver.steps, 0);
}

TEST_F(PatchRun, ATempDirThatCannotBeRemovedIsARunTimeError) {
    ASSERT_TRUE(fs::CreateDir(dir / L"temp\\sub"));
    try {
        form.Form_Activate();
        ADD_FAILURE() << "no error";
    } catch (const AppError& e) {
        EXPECT_EQ(e.Code(), ErrorNumber::PathFileAccess);
    }
    EXPECT_EQ(handOver.steps, 0);
    EXPECT_FALSE(fs::Exists(dir / L"temp\\vtgame.ini"));  // the files went before the error
}

}  // namespace
}  // namespace vt
