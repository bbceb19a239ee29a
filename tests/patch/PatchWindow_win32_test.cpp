#include "patch/PatchWindow_win32.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

#include <iostream>
#include <string>
#include <vector>

#include "base/Shell_win32.h"
#include "patch/frmVtUpdate.h"
#include "tests/support/Capture_win32.h"
#include "tests/support/Fakes.h"
#include "tests/support/TestDir.h"

namespace vt {
namespace {

using C = PatchControl;

// Counts the texts really sent to a control, to see that unchanged captions are skipped.
LRESULT CALLBACK CountSetText(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                              DWORD_PTR counter) {
    if (msg == WM_SETTEXT) {
        ++*reinterpret_cast<int*>(counter);
    }
    return DefSubclassProc(hwnd, msg, wParam, lParam);
}

class PatchWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        handOver.onHide = [this] { window.Hide(); };
        std::wstring exe = dir.Path().substr(0, dir.Path().size() - 1);
        window.Load(PatchWindow::EventsFor(form, exe));
    }
    HWND Ctl(PatchControl control) { return window.Control(control); }
    RECT Rect(PatchControl control) { return test::RectInParent(Ctl(control)); }

    test::TestDir dir;
    PatchWindow window;
    test::RecordingShell shell;
    test::RecordingHandOver handOver;
    frmVtUpdate form{window, shell, &handOver};
};

void ExpectRect(const RECT& r, int left, int top, int width, int height, const char* what) {
    EXPECT_EQ(r.left, left) << what;
    EXPECT_EQ(r.top, top) << what;
    EXPECT_EQ(r.right - r.left, width) << what;
    EXPECT_EQ(r.bottom - r.top, height) << what;
}

TEST_F(PatchWindowTest, HasTheDesignedFrameAndControls) {
    wchar_t caption[32] = {};
    GetWindowTextW(window.Handle(), caption, 32);
    EXPECT_EQ(std::wstring(caption), L"VT Auto Patch");
    RECT client;
    GetClientRect(window.Handle(), &client);
    EXPECT_EQ(client.right, 402);
    EXPECT_EQ(client.bottom, 107);
    EXPECT_EQ(GetWindowLongW(window.Handle(), GWL_STYLE) &
                  (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX),
              0);
    HMENU menu = GetSystemMenu(window.Handle(), FALSE);
    EXPECT_EQ(GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND), static_cast<UINT>(-1));
    EXPECT_NE(GetMenuState(menu, SC_MOVE, MF_BYCOMMAND), static_cast<UINT>(-1));
    EXPECT_NE(GetMenuState(menu, 5, MF_BYPOSITION) & MF_SEPARATOR, 0u);  // kept above Close

    ExpectRect(Rect(C::cmdCancel), 322, 78, 69, 23, "cmdCancel");
    ExpectRect(Rect(C::Picprog), 184, 32, 204, 18, "Picprog");
    ExpectRect(Rect(C::Image1), 6, 16, 160, 80, "Image1");
    ExpectRect(Rect(C::Lblname), 187, 14, 200, 12, "Lblname");
    ExpectRect(Rect(C::lblState), 136, 102, 139, 12, "lblState");
    ExpectRect(Rect(C::Label3), 400, 294, 63, 21, "Label3");
    ExpectRect(Rect(C::LblFileTime), 240, 296, 63, 21, "LblFileTime");
    // The bar lies inside the frame, out of sight at its left edge.
    EXPECT_EQ(GetParent(Ctl(C::Lblprog)), Ctl(C::Picprog));
    ExpectRect(Rect(C::Lblprog), -2, -2, 2, 19, "Lblprog");

    for (C hidden : {C::lblState, C::Label1, C::Label2, C::Label3, C::LblFileTime}) {
        EXPECT_EQ(GetWindowLongW(Ctl(hidden), GWL_STYLE) & WS_VISIBLE, 0);
    }
    EXPECT_EQ(GetWindowLongW(Ctl(C::Lblname), GWL_STYLE) & SS_TYPEMASK, SS_RIGHT);
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(Ctl(C::Lblname), WM_GETFONT, 0, 0)),
               sizeof(font), &font);
    EXPECT_EQ(std::wstring(font.lfFaceName), L"굴림");
    EXPECT_EQ(font.lfCharSet, HANGUL_CHARSET);
    EXPECT_EQ(font.lfWeight, FW_NORMAL);
    EXPECT_EQ(window.Text(C::LblFilebps), L"100KB/s");
    EXPECT_EQ(window.Text(C::LblFilePecent), L"100%");
}

TEST_F(PatchWindowTest, AutoSizeLabelsWidenToTheRightWithoutWrapping) {
    RECT before = Rect(C::LblFilebps);
    window.SetCaption(ProgressLabel::LblFilebps, L"1,234 KB/S");
    RECT after = Rect(C::LblFilebps);
    EXPECT_EQ(after.left, before.left);
    EXPECT_GT(after.right - after.left, 47);
    EXPECT_EQ(after.bottom - after.top, before.bottom - before.top);  // still one line
    HDC dc = GetDC(Ctl(C::LblFilebps));
    SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(Ctl(C::LblFilebps), WM_GETFONT, 0, 0)));
    SIZE size;
    GetTextExtentPoint32W(dc, L"1,234 KB/S", 10, &size);
    ReleaseDC(Ctl(C::LblFilebps), dc);
    EXPECT_EQ(after.right - after.left, size.cx);
    window.SetCaption(ProgressLabel::LblFilebps, L"1KB/s");
    EXPECT_LT(Rect(C::LblFilebps).right - Rect(C::LblFilebps).left, size.cx);
}

TEST_F(PatchWindowTest, UnchangedCaptionsAreNotSentAgain) {
    int sent = 0;
    SetWindowSubclass(Ctl(C::Lblname), CountSetText, 1, reinterpret_cast<DWORD_PTR>(&sent));
    window.SetCaption(ProgressLabel::Lblname, L"vt.exe");
    window.SetCaption(ProgressLabel::Lblname, L"vt.exe");
    window.SetCaption(ProgressLabel::Lblname, L"vt.exe");
    window.SetCaption(ProgressLabel::Lblname, L"card1.dat");
    RemoveWindowSubclass(Ctl(C::Lblname), CountSetText, 1);
    EXPECT_EQ(sent, 2);
    EXPECT_EQ(window.Text(C::Lblname), L"card1.dat");
    window.SetCaption(ProgressLabel::lblState, L"다운로드중...");
    EXPECT_EQ(window.Text(C::lblState), L"다운로드중...");
    EXPECT_EQ(GetWindowLongW(Ctl(C::lblState), GWL_STYLE) & WS_VISIBLE, 0);  // never shown
}

TEST_F(PatchWindowTest, BarWidthIsRoundedToWholePixelsAndDrawnNavy) {
    window.SetProgressWidth(100.6f);
    EXPECT_EQ(Rect(C::Lblprog).right - Rect(C::Lblprog).left, 101);
    window.SetProgressWidth(1.2f);
    EXPECT_EQ(Rect(C::Lblprog).right - Rect(C::Lblprog).left, 1);
    window.SetProgressWidth(201.0f);
    EXPECT_EQ(Rect(C::Lblprog).right - Rect(C::Lblprog).left, 201);
    handOver.onHide = nullptr;  // stay visible for the picture
    window.Show();
    // Painted on the screen some time after the show: looked at until it shows.
    RECT frame = Rect(C::Picprog);
    COLORREF shown = 0;
    EXPECT_TRUE(test::PumpUntil(
        [&] {
            shown = test::ClientPixel(window.Handle(), frame.left + 100, frame.top + 9);
            return shown == RGB(0, 0, 128);
        },
        10000))
        << "last seen: " << std::hex << shown;
    window.SetCaption(ProgressLabel::Lblname, L"resource\\data\\card1\\카드.dat");
    window.SetCaption(ProgressLabel::LblFilebps, L"1,234 KB/S");
    window.SetCaption(ProgressLabel::LblFilePecent, L"50%");
    RedrawWindow(window.Handle(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    EXPECT_TRUE(test::PumpPosted());
    std::wstring saved = test::SaveClientBitmap(window.Handle(), L"patch_window_progress.bmp");
    if (!saved.empty()) {
        std::wcout << L"screenshot: " << saved << std::endl;
    }
}

TEST_F(PatchWindowTest, ActivationStartsThePatchRunOnceAfterTheShow) {
    EXPECT_TRUE(handOver.steps.empty());  // loading does not start it
    EXPECT_TRUE(dir.Has(L"temp"));
    window.Show();
    ASSERT_TRUE(test::PumpUntil([&] { return !handOver.steps.empty(); }));
    EXPECT_EQ(handOver.steps, (std::vector<std::wstring>{L"open servers", L"hide patch"}));
    EXPECT_FALSE(IsWindowVisible(window.Handle()));
    // Shown and activated again: nothing more runs, also once what the activation posted has
    // been handled.
    window.Show();
    SetActiveWindow(window.Handle());
    ASSERT_TRUE(test::PumpUntil([&] { return GetActiveWindow() == window.Handle(); }));
    ASSERT_TRUE(test::PumpPosted());
    EXPECT_EQ(handOver.steps.size(), 2u);
}

std::wstring WindowText(HWND hwnd) {
    wchar_t text[64] = {};
    GetWindowTextW(hwnd, text, 64);
    return text;
}

TEST_F(PatchWindowTest, EachCaptionComesRightBeforeItsValueAndTheRestCarryNames) {
    // What a screen reader walks: the controls in z-order, each caption directly before the
    // value it names (a hidden older caption may come before the shown one).
    std::vector<C> order;
    for (HWND c = GetWindow(window.Handle(), GW_CHILD); c != nullptr;
         c = GetWindow(c, GW_HWNDNEXT)) {
        for (C control :
             {C::cmdCancel, C::Picprog, C::Label5, C::Label4, C::Image1, C::Lblname, C::lblState,
              C::Label3, C::LblFilePecent, C::Label2, C::LblFilebps, C::Label1, C::LblFileTime}) {
            if (Ctl(control) == c) {
                order.push_back(control);
            }
        }
    }
    std::vector<C> expected = {C::Picprog,       C::Label1,     C::LblFileTime, C::Label2,
                               C::Label4,        C::LblFilebps, C::Label3,      C::Label5,
                               C::LblFilePecent, C::lblState,   C::Lblname,     C::cmdCancel,
                               C::Image1};
    EXPECT_EQ(order, expected);
    EXPECT_EQ(WindowText(Ctl(C::Picprog)), L"진행 상황");
    EXPECT_EQ(WindowText(Ctl(C::Image1)), L"홈페이지");
    // The banner's name is text only: the picture still shows.
    EXPECT_NE(SendMessageW(Ctl(C::Image1), STM_GETIMAGE, IMAGE_BITMAP, 0), 0);
}

TEST_F(PatchWindowTest, AtTwiceTheDpiEverythingIsTwiceAsLargeTheBarIncluded) {
    window.SetProgressWidth(100.6f);
    RECT r;
    GetWindowRect(window.Handle(), &r);
    RECT suggested{r.left, r.top, r.right + 402, r.bottom + 107};
    SendMessageW(window.Handle(), WM_DPICHANGED, MAKEWPARAM(192, 192),
                 reinterpret_cast<LPARAM>(&suggested));
    RECT client;
    GetClientRect(window.Handle(), &client);
    EXPECT_EQ(client.right, 804);
    EXPECT_EQ(client.bottom, 214);
    ExpectRect(Rect(C::cmdCancel), 644, 156, 138, 46, "cmdCancel");
    ExpectRect(Rect(C::Picprog), 368, 64, 408, 36, "Picprog");
    ExpectRect(Rect(C::Image1), 12, 32, 320, 160, "Image1");
    ExpectRect(Rect(C::Lblprog), -4, -4, 201, 38, "Lblprog");  // 100.6 at 96 DPI, doubled
    window.SetProgressWidth(201.0f);
    EXPECT_EQ(Rect(C::Lblprog).right - Rect(C::Lblprog).left, 402);
    // The captions of one row still follow each other from left to right.
    EXPECT_LT(Rect(C::Label4).right, Rect(C::LblFilebps).left);
    EXPECT_LT(Rect(C::LblFilebps).right, Rect(C::Label5).left);
    EXPECT_LT(Rect(C::Label5).right, Rect(C::LblFilePecent).left);
    EXPECT_LE(Rect(C::LblFilePecent).right, client.right);
}

TEST_F(PatchWindowTest, TheFrameHoldsTheFocusWhenShown) {
    // The show's first activation starts the patch run, whose hand-over would hide the window
    // (and take its activation) whenever the pump gets to it: this one stays shown.
    handOver.onHide = nullptr;
    window.Show();
    ASSERT_TRUE(test::PumpUntil([&] { return GetActiveWindow() == window.Handle(); }));
    EXPECT_EQ(GetFocus(), Ctl(C::Picprog));
    HWND next = GetNextDlgTabItem(window.Handle(), Ctl(C::Picprog), FALSE);
    EXPECT_EQ(next, Ctl(C::cmdCancel));
}

// Stands in for frmVtUpdate: records which handler each event reached.
struct RecordingHandlers {
    std::vector<std::wstring> calls;
    void Form_Load(const std::wstring& directory) { calls.push_back(L"load " + directory); }
    void Form_Activate() { calls.push_back(L"activate"); }
    void cmdCancel_Click() { calls.push_back(L"cancel"); }
    void Image1_Click() { calls.push_back(L"image"); }
};

TEST(PatchWindowEvents, EachClickReachesTheHandlerOfItsControlAndNoOtherControlReachesAny) {
    PatchWindow window;
    RecordingHandlers handlers;
    window.Load(PatchWindow::EventsFor(handlers, L"C:\\Game"));
    ASSERT_EQ(handlers.calls, std::vector<std::wstring>{L"load C:\\Game"});
    // The first activation reaches its handler once the shown window is active.
    window.Show();
    ASSERT_TRUE(test::PumpUntil([&] { return handlers.calls.size() == 2; }, 10000));
    EXPECT_EQ(handlers.calls[1], L"activate");
    struct Case {
        C control;
        const wchar_t* expected;  // nullptr: no handler
    };
    const Case cases[] = {
        {C::cmdCancel, L"cancel"}, {C::Image1, L"image"},       {C::Picprog, nullptr},
        {C::Lblprog, nullptr},     {C::LblFilebps, nullptr},    {C::Label4, nullptr},
        {C::Lblname, nullptr},     {C::LblFilePecent, nullptr},
    };
    for (const Case& c : cases) {
        handlers.calls.clear();
        HWND control = window.Control(c.control);
        if (c.control == C::cmdCancel) {
            SendMessageW(control, BM_CLICK, 0, 0);
        } else {
            SendMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(1, 1));
            SendMessageW(control, WM_LBUTTONUP, 0, MAKELPARAM(1, 1));
        }
        ASSERT_TRUE(test::PumpPosted());
        std::vector<std::wstring> expected;
        if (c.expected != nullptr) {
            expected.push_back(c.expected);
        }
        EXPECT_EQ(handlers.calls, expected) << static_cast<int>(c.control);
    }
}

}  // namespace
}  // namespace vt
