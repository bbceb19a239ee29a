// The real server window driven by the real handler class and echo probe: loading lists the
// servers of SvrList.dat and probes them before the window is shown.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "base/Ui.h"
#include "ping/ModPing_win32.h"
#include "servers/ServerSelectWindow_win32.h"
#include "servers/frmServerSelect.h"
#include "tests/support/Capture_win32.h"
#include "tests/support/Fakes.h"
#include "tests/support/TestDir.h"

namespace vt {
namespace {

std::wstring Cell(HWND list, int row, int sub) {
    wchar_t buffer[64] = {};
    ListView_GetItemText(list, row, sub, buffer, 64);
    return buffer;
}

TEST(ServerWindowWithHandlers, LoadListsAndProbesTheServersBeforeTheShow) {
    test::TestDir dir;
    SetPathStrings(dir.Path().substr(0, dir.Path().size() - 1));
    ASSERT_TRUE(fs::CreateDir(dir / L"resource"));
    ASSERT_TRUE(fs::CreateDir(dir / L"resource\\data"));
    // Loopback only: both names answer; "알파" is CP949 in the file.
    dir.Write(L"resource\\data\\SvrList.dat", "127.0.0.2:\xBE\xCB\xC6\xC4\r\n127.0.0.2:Beta\r\n");

    ServerSelectWindow window;
    Win32Pinger pinger(window);
    test::RecordingShell shell;
    frmServerSelect form(window, pinger, shell);
    window.Load(ServerSelectWindow::EventsFor(form));

    EXPECT_FALSE(IsWindowVisible(window.Handle()));
    HWND list = window.Control(ServerControl::lstvServer);
    ASSERT_EQ(ListView_GetItemCount(list), 2);
    EXPECT_EQ(form.ServerCount(), 2);
    EXPECT_EQ(Cell(list, 0, 0), L"알파");
    EXPECT_EQ(Cell(list, 1, 0), L"Beta");
    for (int row = 0; row < 2; ++row) {
        EXPECT_EQ(Cell(list, row, 2), L"정상") << row;
        std::wstring ping = Cell(list, row, 1);
        EXPECT_TRUE(ping.ends_with(L" ms")) << row;
    }

    window.Show();
    ASSERT_TRUE(test::PumpPosted());
    SendMessageW(window.Control(ServerControl::Image1), WM_LBUTTONDOWN, MK_LBUTTON,
                 MAKELPARAM(5, 5));
    SendMessageW(window.Control(ServerControl::Image1), WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    EXPECT_EQ(shell.calls.size(), 1u);  // the homepage; the window stays
    EXPECT_TRUE(IsWindowVisible(window.Handle()));
    std::wstring saved = test::SaveClientBitmap(window.Handle(), L"server_window_probed.bmp");
    if (!saved.empty()) {
        std::wcout << L"screenshot: " << saved << std::endl;
    }
}

}  // namespace
}  // namespace vt
