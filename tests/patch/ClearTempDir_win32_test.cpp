// The end of the patch run against Windows file attributes: temp\ holding what Explorer and
// other programs leave behind still goes.
#include <gtest/gtest.h>

#include <string>

#include "base/FileSystem.h"
#include "base/Handles_win32.h"
#include "base/ModGame.h"
#include "patch/frmVtUpdate.h"
#include "tests/support/Fakes.h"
#include "tests/support/ScriptedTransfer.h"
#include "tests/support/TestDir.h"

namespace vt {
namespace {

class ClearTempDir : public ::testing::Test {
  protected:
    void SetUp() override {
        form.Form_Load(dir.Path().substr(0, dir.Path().size() - 1));
        form.UseTransfer(transfer, clock);
        transfer.Body("[version]\r\ngame=1\r\n", 1024);
    }
    void Mark(const std::wstring& relative, DWORD attributes) {
        ASSERT_TRUE(SetFileAttributesW((dir / relative).c_str(), attributes));
        ASSERT_EQ(GetFileAttributesW((dir / relative).c_str()) & attributes, attributes);
    }

    test::TestDir dir;
    test::ScriptedTransfer transfer;
    test::RecordingProgressView view;
    test::RecordingShell shell;
    test::RecordingHandOver handOver;
    test::ScriptedClock clock{10};
    frmVtUpdate form{view, shell, &handOver};
};

TEST_F(ClearTempDir, HiddenSystemAndReadOnlyEntriesGoWithTheFolder) {
    ASSERT_TRUE(fs::CreateDir(dir / L"temp\\hidden folder"));
    dir.Write(L"temp\\hidden folder\\Thumbs.db", "thumbnails");
    dir.Write(L"temp\\desktop.ini", "[.ShellClassInfo]");
    dir.Write(L"temp\\kept.ini", "read-only");
    Mark(L"temp\\hidden folder\\Thumbs.db", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    Mark(L"temp\\desktop.ini",
         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY);
    Mark(L"temp\\kept.ini", FILE_ATTRIBUTE_READONLY);
    Mark(L"temp\\hidden folder", FILE_ATTRIBUTE_HIDDEN);  // Wine keeps no read-only folders

    EXPECT_NO_THROW(form.Form_Activate());
    EXPECT_EQ(GetFileAttributesW((dir / L"temp").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(handOver.steps.size(), 2u);
}

}  // namespace
}  // namespace vt
