#include "ui/Form_win32.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

#include "res/resource.h"
#include "tests/support/Capture_win32.h"
#include "ui/MessageLoop_win32.h"

namespace vt::win32 {
namespace {

constexpr FormLayout kLayout{L"Form test", 4500, 2400, IDI_VTLAUNCHER};

// The rows of kRows, then one appended by a test, and a row no table has.
enum class R { cmdFirst, cmdSecond, lblName, picBox, lblInBox, Image1, lblLost, nowhere = 99 };

// Each thing the layer makes for a form: icons, the Gulim font, a brush for a coloured panel
// and for a coloured label inside it, a banner bitmap.
constexpr ControlRow kRows[] = {
    {R::cmdFirst, ControlKind::Button, L"첫째", 150, 1800, 1200, 375, 0},
    {R::cmdSecond, ControlKind::Button, L"둘째", 1500, 1800, 1200, 375, 1},
    {R::lblName, ControlKind::Label, L"이름", 2700, 150, 1500, 180, kNoTabIndex,
     flag::AutoSize | flag::FontGulim},
    {R::picBox, ControlKind::Panel, L"", 2700, 600, 1500, 300, 2, flag::Bordered, kNoControl,
     RGB(0, 0, 128)},
    {R::lblInBox, ControlKind::Label, L"", 0, 0, 600, 200, kNoTabIndex, 0, R::picBox,
     RGB(255, 255, 0)},
    {R::Image1, ControlKind::Image, L"", 90, 150, 2400, 1200, kNoTabIndex, 0, kNoControl,
     kDefaultColor, IDB_BANNER_PATCH},
};

// kRows and, created last, a coloured label whose container does not exist: the form fails
// after everything else was made, with the label's own brush already created.
std::vector<ControlRow> FailingRows() {
    std::vector<ControlRow> rows(std::begin(kRows), std::end(kRows));
    rows.push_back({R::lblLost, ControlKind::Label, L"", 0, 0, 600, 200, kNoTabIndex, 0, R::nowhere,
                    RGB(255, 0, 0)});
    return rows;
}

// Captions named by labels: two labels name one value, one names the list; the tab order
// (list, button) is that of the tab indexes.
enum class N { cmdGo, lstItems, lblItems, lblValue, lblValueCaption, lblValueHidden };
constexpr ControlRow kNamedRows[] = {
    {N::cmdGo, ControlKind::Button, L"가기", 150, 1800, 1200, 375, 1},
    {N::lstItems, ControlKind::ListView, L"항목 목록", 150, 600, 2000, 1000, 0},
    {N::lblItems, ControlKind::Label, L"항목", 150, 600, 0, 0, kNoTabIndex, 0, kNoControl,
     kDefaultColor, 0, N::lstItems},
    {N::lblValue, ControlKind::Label, L"42", 3000, 150, 600, 200, 3},
    {N::lblValueCaption, ControlKind::Label, L"값 :", 2400, 150, 600, 200, 2, 0, kNoControl,
     kDefaultColor, 0, N::lblValue},
    {N::lblValueHidden, ControlKind::Label, L"값", 2400, 450, 600, 200, 4, flag::Hidden, kNoControl,
     kDefaultColor, 0, N::lblValue},
};

// Wine answers 0 to GetGuiResources. There a GDI handle's low word is its slot in the handle
// table and names the object by itself, so the live objects are counted slot by slot.
int LiveGdiObjects() {
    DWORD reported = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (reported != 0) {
        return static_cast<int>(reported);
    }
    int live = 0;
    for (ULONG_PTR slot = 1; slot <= 0xFFFF; ++slot) {
        if (GetObjectType(reinterpret_cast<HGDIOBJ>(slot)) != 0) {
            ++live;
        }
    }
    return live;
}

int ThreadWindows() {
    int count = 0;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND, LPARAM counter) -> BOOL {
            ++*reinterpret_cast<int*>(counter);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&count));
    return count;
}

bool IsFormWindow(HWND hwnd) {
    wchar_t name[32] = {};
    GetClassNameW(hwnd, name, 32);
    return std::wstring(name) == L"VtForm";
}

// The show paints the form and its controls; what it posted (the first activation) is handled
// too before the test goes on.
void ShowAndPaint(Form& form) {
    form.Show();
    EXPECT_TRUE(test::PumpPosted());
}

// Looks at the form's window while CreateWindowEx is still running, through a hook that sees
// each message after the window procedure has handled it.
struct CreationProbe {
    bool closeAtCreate = false;    // asks the window to close right after WM_CREATE
    bool destroyAtCreate = false;  // destroys the window right after WM_CREATE
    bool sawNcCreate = false;
    bool sawCreate = false;
    Form* formAfterNcCreate = nullptr;
    Form* formAfterCreate = nullptr;
};
CreationProbe* activeProbe = nullptr;

LRESULT CALLBACK AfterMessage(int code, WPARAM wParam, LPARAM lParam) {
    const auto* sent = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && activeProbe != nullptr && IsFormWindow(sent->hwnd)) {
        if (sent->message == WM_NCCREATE) {
            activeProbe->sawNcCreate = true;
            activeProbe->formAfterNcCreate = Form::FromHandle(sent->hwnd);
        } else if (sent->message == WM_CREATE) {
            activeProbe->sawCreate = true;
            activeProbe->formAfterCreate = Form::FromHandle(sent->hwnd);
            if (activeProbe->closeAtCreate) {
                SendMessageW(sent->hwnd, WM_CLOSE, 0, 0);
            }
            if (activeProbe->destroyAtCreate) {
                DestroyWindow(sent->hwnd);
            }
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

struct Unhook {
    using pointer = HHOOK;
    void operator()(HHOOK hook) const noexcept { UnhookWindowsHookEx(hook); }
};

class ProbedCreation {
  public:
    explicit ProbedCreation(CreationProbe& probe)
        : hook_(SetWindowsHookExW(WH_CALLWNDPROCRET, AfterMessage, nullptr, GetCurrentThreadId())) {
        activeProbe = &probe;
    }
    ~ProbedCreation() { activeProbe = nullptr; }
    bool Hooked() const { return hook_ != nullptr; }

  private:
    std::unique_ptr<HHOOK__, Unhook> hook_;
};

class FormResources : public ::testing::Test {
  protected:
    void SetUp() override {
        // The first form fills the caches of the layer, the common controls and Wine.
        Form warmUp(kLayout, kRows);
        ShowAndPaint(warmUp);
    }
};

TEST_F(FormResources, ARowThatCannotBeCreatedLeavesNoWindowAndNoGdiObject) {
    int gdiBefore = LiveGdiObjects();
    int windowsBefore = ThreadWindows();
    {
        // The counts do see what a form holds.
        Form alive(kLayout, kRows);
        EXPECT_GT(LiveGdiObjects(), gdiBefore);
        EXPECT_GT(ThreadWindows(), windowsBefore);
    }
    ASSERT_EQ(LiveGdiObjects(), gdiBefore);

    std::vector<ControlRow> rows = FailingRows();
    auto build = [&] { Form form(kLayout, rows); };
    for (int i = 0; i < 3; ++i) {
        EXPECT_THROW(build(), std::invalid_argument);
    }
    EXPECT_EQ(LiveGdiObjects(), gdiBefore);
    EXPECT_EQ(ThreadWindows(), windowsBefore);
}

TEST_F(FormResources, BuildingAndDestroyingAFormManyTimesDoesNotGrow) {
    int gdiBefore = LiveGdiObjects();
    int windowsBefore = ThreadWindows();
    for (int i = 0; i < 20; ++i) {
        Form form(kLayout, kRows);
        form.SetText(R::lblName, L"이름 " + std::to_wstring(i));
        if (i % 10 == 0) {
            ShowAndPaint(form);  // a show takes Wine about two seconds
        }
    }
    EXPECT_TRUE(test::PumpPosted());
    EXPECT_EQ(LiveGdiObjects(), gdiBefore);
    EXPECT_EQ(ThreadWindows(), windowsBefore);
}

TEST_F(FormResources, AWindowEndedDuringCreationFailsTheFormAndLeavesNothing) {
    int gdiBefore = LiveGdiObjects();
    int windowsBefore = ThreadWindows();
    CreationProbe probe;
    probe.destroyAtCreate = true;
    {
        ProbedCreation hook(probe);
        ASSERT_TRUE(hook.Hooked());
        auto build = [] { Form form(kLayout, kRows); };
        EXPECT_THROW(build(), std::runtime_error);
    }
    EXPECT_TRUE(probe.sawCreate);
    EXPECT_EQ(LiveGdiObjects(), gdiBefore);
    EXPECT_EQ(ThreadWindows(), windowsBefore);
}

TEST_F(FormResources, ALabelForNoControlFailsTheFormAndLeavesNothing) {
    int gdiBefore = LiveGdiObjects();
    int windowsBefore = ThreadWindows();
    std::vector<ControlRow> rows(std::begin(kRows), std::end(kRows));
    rows.push_back({R::lblLost, ControlKind::Label, L"잃음", 0, 0, 600, 200, kNoTabIndex, 0,
                    kNoControl, kDefaultColor, 0, R::nowhere});
    auto build = [&] { Form form(kLayout, rows); };
    EXPECT_THROW(build(), std::invalid_argument);
    EXPECT_EQ(LiveGdiObjects(), gdiBefore);
    EXPECT_EQ(ThreadWindows(), windowsBefore);
}

// Sends what Windows sends when the window moves to a monitor of another DPI: the new DPI and
// the window rectangle it suggests, here the same place with the client area scaled, `off`
// pixels too wide (the suggestion is rounded its own way).
RECT ChangeDpi(Form& form, int dpi, int off = 0) {
    RECT window;
    RECT client;
    GetWindowRect(form.Handle(), &window);
    GetClientRect(form.Handle(), &client);
    int dw = MulDiv(client.right, dpi, form.Dpi()) - client.right + off;
    int dh = MulDiv(client.bottom, dpi, form.Dpi()) - client.bottom;
    RECT suggested{window.left + 7, window.top + 5, window.right + 7 + dw, window.bottom + 5 + dh};
    SendMessageW(form.Handle(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                 reinterpret_cast<LPARAM>(&suggested));
    return suggested;
}

LOGFONTW FontOf(HWND control) {
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof(font),
               &font);
    return font;
}

SIZE SizeOf(HBITMAP bitmap) {
    BITMAP info{};
    GetObjectW(bitmap, sizeof(info), &info);
    return SIZE{info.bmWidth, info.bmHeight};
}

std::vector<COLORREF> PixelsOf(HBITMAP bitmap) {
    SIZE size = SizeOf(bitmap);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = size.cx;
    bi.bmiHeader.biHeight = -size.cy;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    std::vector<RGBQUAD> pixels(static_cast<size_t>(size.cx) * static_cast<size_t>(size.cy));
    HDC screen = GetDC(nullptr);
    GetDIBits(screen, bitmap, 0, static_cast<UINT>(size.cy), pixels.data(), &bi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    std::vector<COLORREF> colours;
    for (const auto& p : pixels) {
        colours.push_back(RGB(p.rgbRed, p.rgbGreen, p.rgbBlue));
    }
    return colours;
}

HBITMAP Shown(HWND image) {
    return reinterpret_cast<HBITMAP>(SendMessageW(image, STM_GETIMAGE, IMAGE_BITMAP, 0));
}

void ExpectRect(HWND control, int left, int top, int width, int height) {
    RECT r = test::RectInParent(control);
    EXPECT_EQ(r.left, left);
    EXPECT_EQ(r.top, top);
    EXPECT_EQ(r.right - r.left, width);
    EXPECT_EQ(r.bottom - r.top, height);
}

TEST(FormDpi, TwipsAndDesignPixelsScaleWithTheDpi) {
    EXPECT_EQ(TwipsToPixels(6030, 96), 402);
    EXPECT_EQ(TwipsToPixels(6030, 192), 804);
    EXPECT_EQ(TwipsToPixels(1605, 144), 161);  // 160.5, rounded away from zero
    EXPECT_EQ(TwipsToPixels(-30, 144), -3);
    EXPECT_EQ(ScalePixels(100.6, 96), 101);
    EXPECT_EQ(ScalePixels(100.6, 192), 201);
    EXPECT_EQ(ScalePixels(70, 120), 88);  // 87.5
}

TEST(FormDpi, ANewDpiLaysOutFrameControlsFontsAndPicturesAgain) {
    Form form(kLayout, kRows);
    ASSERT_EQ(form.Dpi(), 96) << "the tests' Wine prefix runs at 96 DPI";
    LOGFONTW uiBefore = FontOf(form.Control(R::cmdFirst));
    form.SetWidth(R::picBox, 90.4);
    ExpectRect(form.Control(R::picBox), 180, 40, 90, 20);

    RECT suggested = ChangeDpi(form, 192, 1);
    EXPECT_EQ(form.Dpi(), 192);
    RECT window;
    RECT client;
    GetWindowRect(form.Handle(), &window);
    GetClientRect(form.Handle(), &client);
    EXPECT_EQ(window.left, suggested.left);  // taken where it was suggested
    EXPECT_EQ(window.top, suggested.top);
    EXPECT_EQ(client.right, 600);  // and the client area exact all the same
    EXPECT_EQ(client.bottom, 320);

    ExpectRect(form.Control(R::cmdFirst), 20, 240, 160, 50);
    ExpectRect(form.Control(R::cmdSecond), 200, 240, 160, 50);
    ExpectRect(form.Control(R::picBox), 360, 80, 181, 40);  // the width set stays, scaled
    ExpectRect(form.Control(R::lblInBox), 0, 0, 80, 27);
    ExpectRect(form.Control(R::Image1), 12, 20, 320, 160);

    LOGFONTW ui = FontOf(form.Control(R::cmdFirst));
    EXPECT_EQ(ui.lfHeight, 2 * uiBefore.lfHeight);
    EXPECT_EQ(std::wstring(ui.lfFaceName), uiBefore.lfFaceName);
    LOGFONTW gulim = FontOf(form.Control(R::lblName));
    EXPECT_EQ(gulim.lfHeight, -22);  // 8.25 pt at 192 DPI
    EXPECT_EQ(std::wstring(gulim.lfFaceName), L"굴림");

    // The self-sizing label fits its text in the new font.
    HWND name = form.Control(R::lblName);
    HDC dc = GetDC(name);
    SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(name, WM_GETFONT, 0, 0)));
    SIZE text;
    GetTextExtentPoint32W(dc, L"이름", 2, &text);
    ReleaseDC(name, dc);
    RECT r = test::RectInParent(name);
    EXPECT_EQ(r.right - r.left, text.cx);
    EXPECT_EQ(r.left, 360);

    // The banner is the picture drawn for 200 %, as drawn.
    HBITMAP banner = Shown(form.Control(R::Image1));
    ASSERT_NE(banner, nullptr);
    SIZE size = SizeOf(banner);
    EXPECT_EQ(size.cx, 320);
    EXPECT_EQ(size.cy, 160);
    UniqueGdi<HBITMAP> drawn(static_cast<HBITMAP>(LoadImageW(
        GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_BANNER_PATCH_2X), IMAGE_BITMAP, 0, 0, 0)));
    ASSERT_NE(drawn, nullptr);
    EXPECT_EQ(PixelsOf(banner), PixelsOf(drawn.get()));
}

TEST(FormDpi, BetweenTheDrawnSizesTheLargerPictureIsReduced) {
    Form form(kLayout, kRows);
    ChangeDpi(form, 144);
    HBITMAP banner = Shown(form.Control(R::Image1));
    ASSERT_NE(banner, nullptr);
    SIZE size = SizeOf(banner);
    EXPECT_EQ(size.cx, 240);
    EXPECT_EQ(size.cy, 120);
    ExpectRect(form.Control(R::Image1), 9, 15, 240, 120);
    // The gold frame of the large picture, two pixels wide, is one and a third pixels here:
    // the corner is pure gold, the pixel inside it a blend with the felt.
    UniqueGdi<HBITMAP> drawn(static_cast<HBITMAP>(LoadImageW(
        GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_BANNER_PATCH_2X), IMAGE_BITMAP, 0, 0, 0)));
    std::vector<COLORREF> large = PixelsOf(drawn.get());
    std::vector<COLORREF> shown = PixelsOf(banner);
    EXPECT_EQ(shown[0], large[0]);
    COLORREF inside = shown[240 + 1];
    COLORREF felt = large[3 * 320 + 3];
    EXPECT_GT(GetRValue(inside), GetRValue(felt));
    EXPECT_LT(GetRValue(inside), GetRValue(large[0]));
}

TEST_F(FormResources, ChangingTheDpiThereAndBackLeavesTheLayoutAndNoGdiObject) {
    Form form(kLayout, kRows);
    std::vector<RECT> before;
    for (R name : {R::cmdFirst, R::lblName, R::picBox, R::lblInBox, R::Image1}) {
        before.push_back(test::RectInParent(form.Control(name)));
    }
    int gdiBefore = LiveGdiObjects();
    ChangeDpi(form, 192);
    ChangeDpi(form, 144);
    ChangeDpi(form, 96);
    EXPECT_EQ(LiveGdiObjects(), gdiBefore);
    size_t i = 0;
    for (R name : {R::cmdFirst, R::lblName, R::picBox, R::lblInBox, R::Image1}) {
        RECT r = test::RectInParent(form.Control(name));
        EXPECT_TRUE(EqualRect(&r, &before[i++])) << "control " << i;
    }
    RECT client;
    GetClientRect(form.Handle(), &client);
    EXPECT_EQ(client.right, 300);
    EXPECT_EQ(client.bottom, 160);
}

TEST(FormAccessibility, LabelsComeRightBeforeWhatTheyNameWithoutChangingTheTabOrder) {
    Form form(kLayout, kNamedRows);
    std::vector<HWND> zOrder;
    for (HWND c = GetWindow(form.Handle(), GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
        zOrder.push_back(c);
    }
    std::vector<HWND> expected;
    for (N name :
         {N::lblItems, N::lstItems, N::cmdGo, N::lblValueCaption, N::lblValueHidden, N::lblValue}) {
        expected.push_back(form.Control(name));
    }
    EXPECT_EQ(zOrder, expected);
    HWND list = form.Control(N::lstItems);
    EXPECT_EQ(GetNextDlgTabItem(form.Handle(), list, FALSE), form.Control(N::cmdGo));
    EXPECT_EQ(GetNextDlgTabItem(form.Handle(), form.Control(N::cmdGo), FALSE), list);
    // A control that shows no text carries its name as its text.
    wchar_t text[32] = {};
    GetWindowTextW(list, text, 32);
    EXPECT_EQ(std::wstring(text), L"항목 목록");
}

// The keyboard-cue changes the forms are asked for, as their window procedures receive them.
std::vector<WPARAM> uiStateChanges;

LRESULT CALLBACK RecordUiState(int code, WPARAM wParam, LPARAM lParam) {
    const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && sent->message == WM_CHANGEUISTATE && IsFormWindow(sent->hwnd)) {
        uiStateChanges.push_back(sent->wParam);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST(FormAccessibility, ShowingTheFormShowsTheFocusRectangle) {
    Form form(kLayout, kRows);
    uiStateChanges.clear();
    {
        std::unique_ptr<HHOOK__, Unhook> hook(
            SetWindowsHookExW(WH_CALLWNDPROC, RecordUiState, nullptr, GetCurrentThreadId()));
        ASSERT_NE(hook, nullptr);
        form.Show();
    }
    bool cleared = false;
    for (WPARAM change : uiStateChanges) {
        cleared =
            cleared || (LOWORD(change) == UIS_CLEAR && (HIWORD(change) & UISF_HIDEFOCUS) != 0);
    }
    EXPECT_TRUE(cleared) << "the show asks for the focus to be drawn";
    // Wine keeps no keyboard-cue state (it answers 0); Windows does, and there this is where
    // a hidden focus rectangle would show.
    for (R button : {R::cmdFirst, R::cmdSecond}) {
        EXPECT_EQ(SendMessageW(form.Control(button), WM_QUERYUISTATE, 0, 0) & UISF_HIDEFOCUS, 0);
    }
}

TEST(FormMessages, MessagesDuringCreationAlreadyReachTheForm) {
    CreationProbe probe;
    probe.closeAtCreate = true;
    std::unique_ptr<Form> form;
    {
        ProbedCreation hook(probe);
        ASSERT_TRUE(hook.Hooked());
        // The form ignores a close request; the default handling would destroy the window
        // and the creation would fail.
        ASSERT_NO_THROW(form = std::make_unique<Form>(kLayout, kRows));
    }
    ASSERT_TRUE(probe.sawNcCreate);
    ASSERT_TRUE(probe.sawCreate);
    EXPECT_EQ(probe.formAfterNcCreate, form.get());
    EXPECT_EQ(probe.formAfterCreate, form.get());
    EXPECT_TRUE(IsWindow(form->Handle()));
    EXPECT_EQ(Form::FromHandle(form->Handle()), form.get());
    // A panel keeps its brush where a form keeps its pointer: only the class tells them apart.
    EXPECT_EQ(Form::FromHandle(form->Control(R::picBox)), nullptr);
}

TEST(FormMessages, AWindowDestroyedFromOutsideLetsGoOfItsForm) {
    Form form(kLayout, kRows);
    HWND hwnd = form.Handle();
    ASSERT_TRUE(DestroyWindow(hwnd));
    EXPECT_EQ(form.Handle(), nullptr);
    EXPECT_FALSE(IsWindow(hwnd));
}

// A form whose events go through a table: each control and event that has a route reaches
// its handler, once; everything else reaches none.
enum class D { cmdGo, lstItems, imgBanner, lblNote, picBox };
constexpr ControlRow kDispatchRows[] = {
    {D::cmdGo, ControlKind::Button, L"가기", 150, 1800, 1200, 375, 1},
    {D::lstItems, ControlKind::ListView, L"항목", 150, 600, 2000, 1000, 0},
    {D::imgBanner, ControlKind::Image, L"", 2400, 150, 1500, 300, kNoTabIndex, 0, kNoControl,
     kDefaultColor, IDB_BANNER_PATCH},
    {D::lblNote, ControlKind::Label, L"메모", 2400, 600, 600, 200, kNoTabIndex},
    {D::picBox, ControlKind::Panel, L"", 2400, 900, 600, 300, 2, flag::Bordered},
};

class DispatchForm : public FormOf<D> {
  public:
    DispatchForm() : FormOf(kLayout, kDispatchRows) {}
    void KeyDown(int keyCode, int shift) { Raise(D::lstItems, Event::KeyDown, {keyCode, shift}); }
};

void Click(HWND control) {
    SendMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    SendMessageW(control, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
}

void NotifyDoubleClick(HWND form, HWND from) {
    NMHDR header{from, static_cast<UINT_PTR>(GetDlgCtrlID(from)), static_cast<UINT>(NM_DBLCLK)};
    SendMessageW(form, WM_NOTIFY, header.idFrom, reinterpret_cast<LPARAM>(&header));
}

TEST(FormEvents, EachRoutedControlAndEventReachesItsHandlerAndNoOtherDoes) {
    DispatchForm form;
    std::vector<std::wstring> calls;
    auto record = [&](const wchar_t* what) {
        return [&calls, what](const EventArgs& args) {
            calls.push_back(what + std::to_wstring(args.keyCode) + L"/" +
                            std::to_wstring(args.shift));
        };
    };
    form.Load(DispatchForm::Events{
        [&] { calls.push_back(L"load"); },
        nullptr,
        {
            {D::cmdGo, Event::Click, record(L"go click ")},
            {D::cmdGo, Event::DblClick, record(L"go dblclick ")},
            {D::lstItems, Event::DblClick, record(L"list dblclick ")},
            {D::lstItems, Event::KeyDown, record(L"list key ")},
            {D::imgBanner, Event::Click, record(L"banner click ")},
        },
    });
    ASSERT_EQ(calls, std::vector<std::wstring>{L"load"});
    HWND other = CreateWindowExW(0, L"BUTTON", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(other, nullptr);
    struct Case {
        const char* what;
        std::function<void()> act;
        const wchar_t* expected;  // nullptr: no handler runs
    };
    const Case cases[] = {
        {"button", [&] { SendMessageW(form.Control(D::cmdGo), BM_CLICK, 0, 0); }, L"go click 0/0"},
        {"banner", [&] { Click(form.Control(D::imgBanner)); }, L"banner click 0/0"},
        {"list double click", [&] { NotifyDoubleClick(form.Handle(), form.Control(D::lstItems)); },
         L"list dblclick 0/0"},
        {"list key", [&] { form.KeyDown(VK_RETURN, 4); }, L"list key 13/4"},
        {"label, no route", [&] { Click(form.Control(D::lblNote)); }, nullptr},
        {"panel, no route", [&] { Click(form.Control(D::picBox)); }, nullptr},
        {"double click from a window of no form", [&] { NotifyDoubleClick(form.Handle(), other); },
         nullptr},
        {"command of an id no control has",
         [&] { SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(100 + 5, BN_CLICKED), 0); },
         nullptr},
        {"command below the controls' ids",
         [&] { SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); },
         nullptr},
    };
    for (const Case& c : cases) {
        calls.clear();
        c.act();
        EXPECT_TRUE(test::PumpPosted()) << c.what;
        std::vector<std::wstring> expected;
        if (c.expected != nullptr) {
            expected.push_back(c.expected);
        }
        EXPECT_EQ(calls, expected) << c.what;
    }
    DestroyWindow(other);
}

TEST(FormEvents, ARowOutOfItsPlaceFailsTheForm) {
    std::vector<ControlRow> rows(std::begin(kRows), std::end(kRows));
    std::swap(rows[0], rows[1]);
    auto build = [&] { Form form(kLayout, rows); };
    EXPECT_THROW(build(), std::invalid_argument);
    static_assert(RowsInOrder(kRows) && RowsInOrder(kNamedRows) && RowsInOrder(kDispatchRows));
}

TEST(MessageLoop, TabMovesTheFocusAlongTheFormsTabStops) {
    Form form(kLayout, kRows);
    form.Show();
    ASSERT_TRUE(test::PumpUntil([&] { return GetActiveWindow() == form.Handle(); }));
    ASSERT_TRUE(test::PumpUntil([&] { return GetFocus() == form.Control(R::cmdFirst); }));
    PostMessageW(form.Control(R::cmdFirst), WM_KEYDOWN, VK_TAB, 1);
    EXPECT_TRUE(test::PumpUntil([&] { return GetFocus() == form.Control(R::cmdSecond); }));
    PostMessageW(form.Control(R::cmdSecond), WM_KEYDOWN, VK_TAB, 1);
    EXPECT_TRUE(test::PumpUntil([&] { return GetFocus() == form.Control(R::picBox); }));
}

TEST(MessageLoop, APassOfDoEventsLeavesTheQuitToTheLoop) {
    PostQuitMessage(7);
    DoEvents();
    MSG pending;
    ASSERT_TRUE(PeekMessageW(&pending, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
    EXPECT_EQ(RunMessageLoop(), 7);
}

}  // namespace
}  // namespace vt::win32
