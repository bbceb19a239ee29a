#include "servers/ServerSelectWindow_win32.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <oleacc.h>

#include <iostream>
#include <string>
#include <vector>

#include "base/AppError.h"
#include "tests/support/Capture_win32.h"

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace vt {
namespace {

using C = ServerControl;

// Stands in for frmServerSelect: records the events and loads the list as the real one does.
struct RecordingHandlers {
    ServerSelectWindow& view;
    std::vector<std::wstring> calls;

    void Form_Load() {
        calls.push_back(L"load");
        view.ConfigureList();
        view.AddColumn(L"서버이름", 120, ColumnAlign::Left);
        view.AddColumn(L"Ping", 70, ColumnAlign::Center);
        view.AddColumn(L"상태", 70, ColumnAlign::Center);
        const wchar_t* names[] = {L"알파", L"Beta", L"감마:3"};
        for (int i = 0; i < 3; ++i) {
            view.AddRow(std::wstring(L"K") + names[i], names[i]);
            view.SetSubItem(i + 1, 1, std::to_wstring(i * 7 + 1) + L" ms");
            view.SetSubItem(i + 1, 2, i == 1 ? L"오류" : L"정상");
        }
    }
    void cmdRefresh_Click() { calls.push_back(L"refresh"); }
    void cmdConnect_Click() { calls.push_back(L"connect"); }
    void cmdCancel_Click() { calls.push_back(L"cancel"); }
    void Image1_Click() { calls.push_back(L"image"); }
    void lstvServer_DblClick() { calls.push_back(L"dblclick"); }
    void lstvServer_KeyDown(int keyCode, int shift) {
        calls.push_back(L"key " + std::to_wstring(keyCode) + L" " + std::to_wstring(shift));
    }
};

class ServerWindow : public ::testing::Test {
  protected:
    void SetUp() override { window.Load(ServerSelectWindow::EventsFor(handlers)); }
    HWND List() const { return window.Control(C::lstvServer); }
    std::wstring Cell(int row, int sub) const {
        wchar_t buffer[64] = {};
        ListView_GetItemText(List(), row, sub, buffer, 64);
        return buffer;
    }

    ServerSelectWindow window;
    RecordingHandlers handlers{window, {}};
};

void ExpectRect(HWND control, int left, int top, int width, int height, const char* what) {
    RECT r = test::RectInParent(control);
    EXPECT_EQ(r.left, left) << what;
    EXPECT_EQ(r.top, top) << what;
    EXPECT_EQ(r.right - r.left, width) << what;
    EXPECT_EQ(r.bottom - r.top, height) << what;
}

TEST_F(ServerWindow, HasTheDesignedFrameLayoutAndTabOrder) {
    HWND form = window.Handle();
    wchar_t caption[32] = {};
    GetWindowTextW(form, caption, 32);
    EXPECT_EQ(std::wstring(caption), L"서버 선택");
    RECT client;
    GetClientRect(form, &client);
    EXPECT_EQ(client.right, 301);
    EXPECT_EQ(client.bottom, 280);
    LONG style = GetWindowLongW(form, GWL_STYLE);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
    HMENU menu = GetSystemMenu(form, FALSE);
    EXPECT_EQ(GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND), static_cast<UINT>(-1));

    ExpectRect(window.Control(C::cmdRefresh), 13, 243, 81, 25, "cmdRefresh");
    ExpectRect(window.Control(C::cmdConnect), 103, 243, 81, 25, "cmdConnect");
    ExpectRect(window.Control(C::cmdCancel), 193, 243, 81, 25, "cmdCancel");
    ExpectRect(List(), 10, 72, 280, 158, "lstvServer");
    ExpectRect(window.Control(C::Image1), 10, 11, 280, 55, "Image1");
    wchar_t text[16] = {};
    GetWindowTextW(window.Control(C::cmdConnect), text, 16);
    EXPECT_EQ(std::wstring(text), L"접  속");

    HWND next = GetNextDlgTabItem(form, List(), FALSE);
    EXPECT_EQ(next, window.Control(C::cmdRefresh));
    next = GetNextDlgTabItem(form, next, FALSE);
    EXPECT_EQ(next, window.Control(C::cmdCancel));
    next = GetNextDlgTabItem(form, next, FALSE);
    EXPECT_EQ(next, window.Control(C::cmdConnect));
    EXPECT_EQ(GetNextDlgTabItem(form, next, FALSE), List());
}

TEST_F(ServerWindow, ListIsConfiguredWithItsThreeColumns) {
    ASSERT_EQ(handlers.calls, std::vector<std::wstring>{L"load"});
    LONG style = GetWindowLongW(List(), GWL_STYLE);
    EXPECT_EQ(style & LVS_TYPEMASK, LVS_REPORT);
    EXPECT_EQ(style & LVS_EDITLABELS, 0);
    DWORD ex = ListView_GetExtendedListViewStyle(List());
    EXPECT_NE(ex & LVS_EX_FULLROWSELECT, 0u);
    EXPECT_EQ(ex & (LVS_EX_GRIDLINES | LVS_EX_HEADERDRAGDROP | LVS_EX_FLATSB), 0u);
    EXPECT_EQ(ListView_GetTextColor(List()), RGB(0, 0, 128));
    EXPECT_EQ(ListView_GetBkColor(List()), RGB(255, 255, 255));
    const wchar_t* headers[] = {L"서버이름", L"Ping", L"상태"};
    const int widths[] = {120, 70, 70};
    const int formats[] = {LVCFMT_LEFT, LVCFMT_CENTER, LVCFMT_CENTER};
    for (int i = 0; i < 3; ++i) {
        wchar_t text[32] = {};
        LVCOLUMNW c{};
        c.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        c.pszText = text;
        c.cchTextMax = 32;
        ASSERT_TRUE(ListView_GetColumn(List(), i, &c));
        EXPECT_EQ(std::wstring(text), headers[i]);
        EXPECT_EQ(c.cx, widths[i]);
        EXPECT_EQ(c.fmt & LVCFMT_JUSTIFYMASK, formats[i]);
    }
    EXPECT_EQ(Cell(0, 0), L"알파");
    EXPECT_EQ(Cell(2, 0), L"감마:3");
    EXPECT_EQ(Cell(1, 1), L"8 ms");
    EXPECT_EQ(Cell(1, 2), L"오류");
}

TEST_F(ServerWindow, RowsKeepTheirOrder) {
    EXPECT_EQ(ListView_GetItemCount(List()), 3);
    window.AddRow(L"Kbeta", L"beta");  // keys differ in case: a different key
    window.AddRow(L"K", L"");
    EXPECT_EQ(ListView_GetItemCount(List()), 5);
    EXPECT_EQ(Cell(4, 0), L"");
    EXPECT_THROW(window.SetSubItem(6, 1, L"x"), AppError);
    EXPECT_THROW(window.SetSubItem(0, 1, L"x"), AppError);
}

TEST_F(ServerWindow, SelectedRowCountsFromOneAndIsZeroWithoutSelection) {
    EXPECT_EQ(window.SelectedRow(), 0);
    ListView_SetItemState(List(), 1, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    EXPECT_EQ(window.SelectedRow(), 2);
    ListView_SetItemState(List(), 2, LVIS_SELECTED, LVIS_SELECTED);  // single selection
    EXPECT_EQ(window.SelectedRow(), 3);
}

TEST_F(ServerWindow, ButtonsBannerAndDoubleClickReachTheirHandlers) {
    window.Show();
    ASSERT_TRUE(test::PumpUntil([&] { return GetActiveWindow() == window.Handle(); }));
    ASSERT_TRUE(test::PumpPosted());
    SendMessageW(window.Control(C::cmdRefresh), BM_CLICK, 0, 0);
    SendMessageW(window.Control(C::cmdConnect), BM_CLICK, 0, 0);
    SendMessageW(window.Control(C::cmdCancel), BM_CLICK, 0, 0);
    HWND image = window.Control(C::Image1);
    SendMessageW(image, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(20, 20));
    SendMessageW(image, WM_LBUTTONUP, 0, MAKELPARAM(20, 20));
    RECT row{LVIR_BOUNDS, 0, 0, 0};
    ListView_GetItemRect(List(), 0, &row, LVIR_BOUNDS);
    LPARAM at = MAKELPARAM(row.left + 10, (row.top + row.bottom) / 2);
    SendMessageW(List(), WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageW(List(), WM_LBUTTONUP, 0, at);
    SendMessageW(List(), WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    SendMessageW(List(), WM_LBUTTONUP, 0, at);
    ASSERT_TRUE(test::PumpPosted());
    std::vector<std::wstring> expected = {L"load",   L"refresh", L"connect",
                                          L"cancel", L"image",   L"dblclick"};
    EXPECT_EQ(handlers.calls, expected);
    EXPECT_EQ(window.SelectedRow(), 1);
}

TEST_F(ServerWindow, EnterInTheListIsReportedWithEveryShiftState) {
    window.Show();
    ASSERT_TRUE(test::PumpUntil([&] { return GetActiveWindow() == window.Handle(); }));
    EXPECT_EQ(GetFocus(), List());  // tab index 0 holds the focus
    struct Case {
        BYTE modifier;  // 0: none
        int shift;
    };
    const Case cases[] = {{0, 0}, {VK_SHIFT, 1}, {VK_CONTROL, 2}, {VK_MENU, 4}};
    for (const Case& c : cases) {
        BYTE keys[256] = {};
        if (c.modifier != 0) {
            keys[c.modifier] = 0x80;
        }
        SetKeyboardState(keys);
        bool alt = c.modifier == VK_MENU;
        LPARAM lParam = 1 | (alt ? (1 << 29) : 0);
        PostMessageW(List(), alt ? WM_SYSKEYDOWN : WM_KEYDOWN, VK_RETURN, lParam);
        // Handled before the next case changes the keyboard state it is read with.
        ASSERT_TRUE(test::PumpPosted()) << c.shift;
    }
    BYTE none[256] = {};
    SetKeyboardState(none);
    PostMessageW(List(), WM_KEYDOWN, 'A', 1);
    ASSERT_TRUE(test::PumpPosted());
    std::vector<std::wstring> expected = {L"load",     L"key 13 0", L"key 13 1",
                                          L"key 13 2", L"key 13 4", L"key 65 0"};
    EXPECT_EQ(handlers.calls, expected);
}

// The name an accessibility client (a screen reader) gets for the control, through oleacc.
std::wstring AccessibleName(HWND control) {
    using FromWindowFn = HRESULT(WINAPI*)(HWND, DWORD, REFIID, void**);
    using FreeStringFn = void(WINAPI*)(BSTR);
    HMODULE oleacc = LoadLibraryW(L"oleacc.dll");
    HMODULE oleaut = LoadLibraryW(L"oleaut32.dll");
    auto fromWindow = reinterpret_cast<FromWindowFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(oleacc, "AccessibleObjectFromWindow")));
    auto freeString = reinterpret_cast<FreeStringFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(oleaut, "SysFreeString")));
    if (fromWindow == nullptr || freeString == nullptr) {
        return L"<no oleacc>";
    }
    IAccessible* object = nullptr;
    if (FAILED(fromWindow(control, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
                          reinterpret_cast<void**>(&object)))) {
        return L"<no object>";
    }
    VARIANT self{};
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR name = nullptr;
    std::wstring result = L"<no name>";
    if (object->get_accName(self, &name) == S_OK && name != nullptr) {
        result = name;
        freeString(name);
    }
    object->Release();
    return result;
}

TEST_F(ServerWindow, TheListAndTheBannerHaveNamesAndTheListItsLabelBeforeIt) {
    EXPECT_EQ(AccessibleName(List()), L"서버 목록");
    EXPECT_EQ(AccessibleName(window.Control(C::Image1)), L"홈페이지");
    EXPECT_EQ(AccessibleName(window.Control(C::cmdRefresh)), L"새로고침");
    HWND label = window.Control(C::lblServer);
    EXPECT_EQ(GetWindow(List(), GW_HWNDPREV), label);
    EXPECT_EQ(AccessibleName(label), L"서버 목록");
    RECT r = test::RectInParent(label);
    EXPECT_TRUE(IsRectEmpty(&r));  // names, shows nothing
    EXPECT_EQ(GetWindowLongW(label, GWL_STYLE) & WS_TABSTOP, 0);
    // The column headers a reader announces are the header control's own items.
    HWND header = ListView_GetHeader(List());
    ASSERT_EQ(Header_GetItemCount(header), 3);
    const wchar_t* headers[] = {L"서버이름", L"Ping", L"상태"};
    for (int i = 0; i < 3; ++i) {
        wchar_t text[32] = {};
        HDITEMW item{};
        item.mask = HDI_TEXT;
        item.pszText = text;
        item.cchTextMax = 32;
        ASSERT_TRUE(Header_GetItem(header, i, &item));
        EXPECT_EQ(std::wstring(text), headers[i]);
    }
}

TEST_F(ServerWindow, AtTwiceTheDpiTheColumnsAndRowsGrowWithTheWindow) {
    RECT row96;
    ListView_GetItemRect(List(), 0, &row96, LVIR_BOUNDS);
    RECT r;
    GetWindowRect(window.Handle(), &r);
    RECT suggested{r.left, r.top, r.right + 301, r.bottom + 280};
    SendMessageW(window.Handle(), WM_DPICHANGED, MAKEWPARAM(192, 192),
                 reinterpret_cast<LPARAM>(&suggested));
    RECT client;
    GetClientRect(window.Handle(), &client);
    EXPECT_EQ(client.right, 602);
    EXPECT_EQ(client.bottom, 560);
    ExpectRect(window.Control(C::cmdRefresh), 27, 486, 162, 50, "cmdRefresh");
    ExpectRect(List(), 21, 144, 560, 316, "lstvServer");
    ExpectRect(window.Control(C::Image1), 21, 22, 560, 110, "Image1");
    const int widths[] = {240, 140, 140};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ListView_GetColumnWidth(List(), i), widths[i]);
    }
    // Rows follow the font, which doubled.
    RECT row192;
    ListView_GetItemRect(List(), 0, &row192, LVIR_BOUNDS);
    EXPECT_GE(row192.bottom - row192.top, 2 * (row96.bottom - row96.top) - 2);
    // A column added now is scaled for the window's DPI.
    window.AddColumn(L"추가", 50, ColumnAlign::Left);
    EXPECT_EQ(ListView_GetColumnWidth(List(), 3), 100);
}

TEST_F(ServerWindow, ShowsBannerAndDarkBlueRows) {
    window.Show();
    // The banner's gold frame and felt are drawn, not the button face: the screen shows the
    // banner's own pixel once the window has been painted there.
    auto banner = reinterpret_cast<HBITMAP>(
        SendMessageW(window.Control(C::Image1), STM_GETIMAGE, IMAGE_BITMAP, 0));
    ASSERT_NE(banner, nullptr);
    const COLORREF drawn = test::BitmapPixel(banner, 140, 2);
    EXPECT_NE(drawn, GetSysColor(COLOR_BTNFACE));
    COLORREF shown = 0;
    EXPECT_TRUE(test::PumpUntil(
        [&] {
            shown = test::ClientPixel(window.Handle(), 10 + 140, 11 + 2);
            return shown == drawn;
        },
        10000))
        << std::hex << "drawn " << drawn << ", last seen " << shown;
    std::wstring saved = test::SaveClientBitmap(window.Handle(), L"server_window.bmp");
    if (!saved.empty()) {
        std::wcout << L"screenshot: " << saved << std::endl;
    }
}

}  // namespace
}  // namespace vt
