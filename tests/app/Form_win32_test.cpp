#include "app/Form_win32.h"

#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/MessageLoop_win32.h"
#include "res/resource.h"
#include "tests/support/Capture_win32.h"

namespace vt::win32 {
namespace {

constexpr FormLayout kLayout{L"Form test", 4500, 2400, IDI_VTLAUNCHER};

// Each thing the layer makes for a form: icons, the Gulim font, a brush for a coloured panel
// and for a coloured label inside it, a banner bitmap.
constexpr ControlRow kRows[] = {
    {L"cmdFirst", ControlKind::Button, L"첫째", 150, 1800, 1200, 375, 0},
    {L"cmdSecond", ControlKind::Button, L"둘째", 1500, 1800, 1200, 375, 1},
    {L"lblName", ControlKind::Label, L"이름", 2700, 150, 1500, 180, kNoTabIndex,
     flag::AutoSize | flag::FontGulim},
    {L"picBox", ControlKind::Panel, L"", 2700, 600, 1500, 300, 2, flag::Bordered, nullptr,
     RGB(0, 0, 128)},
    {L"lblInBox", ControlKind::Label, L"", 0, 0, 600, 200, kNoTabIndex, 0, L"picBox",
     RGB(255, 255, 0)},
    {L"Image1", ControlKind::Image, L"", 90, 150, 2400, 1200, kNoTabIndex, 0, nullptr,
     kDefaultColor, IDB_BANNER_PATCH},
};

// kRows and, created last, a coloured label whose container does not exist: the form fails
// after everything else was made, with the label's own brush already created.
std::vector<ControlRow> FailingRows() {
    std::vector<ControlRow> rows(std::begin(kRows), std::end(kRows));
    rows.push_back({L"lblLost", ControlKind::Label, L"", 0, 0, 600, 200, kNoTabIndex, 0,
                    L"picNowhere", RGB(255, 0, 0)});
    return rows;
}

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

void ShowAndPaint(Form& form) {
    form.Show();
    test::PumpUntil([] { return false; }, 100);
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
        form.SetText(L"lblName", L"이름 " + std::to_wstring(i));
        if (i % 10 == 0) {
            ShowAndPaint(form);  // a show takes Wine about two seconds
        }
    }
    test::PumpUntil([] { return false; }, 100);
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
    EXPECT_EQ(Form::FromHandle(form->Control(L"picBox")), nullptr);
}

TEST(FormMessages, AWindowDestroyedFromOutsideLetsGoOfItsForm) {
    Form form(kLayout, kRows);
    HWND hwnd = form.Handle();
    ASSERT_TRUE(DestroyWindow(hwnd));
    EXPECT_EQ(form.Handle(), nullptr);
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST(MessageLoop, TabMovesTheFocusAlongTheFormsTabStops) {
    Form form(kLayout, kRows);
    form.Show();
    ASSERT_TRUE(test::PumpUntil([&] { return GetActiveWindow() == form.Handle(); }));
    ASSERT_TRUE(test::PumpUntil([&] { return GetFocus() == form.Control(L"cmdFirst"); }));
    PostMessageW(form.Control(L"cmdFirst"), WM_KEYDOWN, VK_TAB, 1);
    EXPECT_TRUE(test::PumpUntil([&] { return GetFocus() == form.Control(L"cmdSecond"); }));
    PostMessageW(form.Control(L"cmdSecond"), WM_KEYDOWN, VK_TAB, 1);
    EXPECT_TRUE(test::PumpUntil([&] { return GetFocus() == form.Control(L"picBox"); }));
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
