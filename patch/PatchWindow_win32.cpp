#include "patch/PatchWindow_win32.h"

#include <utility>

#include "res/resource.h"
#include "ui/MessageLoop_win32.h"

namespace vt {
namespace {

using win32::ControlKind;
using win32::ControlRow;
using win32::kNoControl;
using win32::kNoTabIndex;
namespace flag = win32::flag;
using C = PatchControl;

constexpr win32::FormLayout kForm{L"VT Auto Patch", 6030, 1605, IDI_VTLAUNCHER};

constexpr COLORREF kNavy = RGB(0, 0, 128);

// Twips, as designed; several labels are hidden or lie outside the client area on purpose.
// Each caption names the value it stands before (last column): a screen reader reads the
// pair together, and the frame and the banner carry their names as their text.
constexpr ControlRow kControls[] = {
    // id, kind, caption, left, top, width, height, tab index, flags, container, colour, bitmap,
    // names
    {C::cmdCancel, ControlKind::Button, L"취  소", 4830, 1170, 1035, 345, 10},
    {C::Picprog, ControlKind::Panel, L"진행 상황", 2760, 480, 3060, 270, 0, flag::Bordered},
    {C::Lblprog, ControlKind::Panel, L"", -30, -30, 30, 285, 1, 0, C::Picprog, kNavy},
    {C::Label5, ControlKind::Label, L"진행율 :", 4680, 870, 660, 180, 12, flag::AutoSize,
     kNoControl, win32::kDefaultColor, 0, C::LblFilePecent},
    {C::Label4, ControlKind::Label, L"속도 :", 2820, 870, 480, 180, 11, flag::AutoSize, kNoControl,
     win32::kDefaultColor, 0, C::LblFilebps},
    {C::Image1, ControlKind::Image, L"홈페이지", 90, 240, 2400, 1200, kNoTabIndex, 0, kNoControl,
     win32::kDefaultColor, IDB_BANNER_PATCH},
    {C::Lblname, ControlKind::Label, L"", 2805, 210, 3000, 180, 9,
     flag::AlignRight | flag::FontGulim},
    {C::lblState, ControlKind::Label, L"", 2040, 1530, 2085, 180, 8, flag::Hidden},
    {C::Label3, ControlKind::Label, L"진행율", 6000, 4410, 945, 315, 7,
     flag::Hidden | flag::AlignCenter, kNoControl, win32::kDefaultColor, 0, C::LblFilePecent},
    {C::LblFilePecent, ControlKind::Label, L"100%", 5430, 870, 420, 180, 6, flag::AutoSize},
    {C::Label2, ControlKind::Label, L"전송속도", 4710, 4410, 945, 315, 5,
     flag::Hidden | flag::AlignCenter, kNoControl, win32::kDefaultColor, 0, C::LblFilebps},
    {C::LblFilebps, ControlKind::Label, L"100KB/s", 3330, 870, 705, 180, 4, flag::AutoSize},
    {C::Label1, ControlKind::Label, L"진행시간", 3600, 3960, 945, 315, 3,
     flag::Hidden | flag::AlignCenter, kNoControl, win32::kDefaultColor, 0, C::LblFileTime},
    {C::LblFileTime, ControlKind::Label, L"999", 3600, 4440, 945, 315, 2,
     flag::Hidden | flag::AlignCenter},
};
static_assert(win32::RowsInOrder(kControls));

// The control behind each label a download writes.
constexpr std::pair<ProgressLabel, PatchControl> kProgressLabels[] = {
    {ProgressLabel::lblState, C::lblState},           {ProgressLabel::Lblname, C::Lblname},
    {ProgressLabel::LblFileTime, C::LblFileTime},     {ProgressLabel::LblFilebps, C::LblFilebps},
    {ProgressLabel::LblFilePecent, C::LblFilePecent},
};

}  // namespace

PatchWindow::PatchWindow() : FormOf(kForm, kControls) {}

void PatchWindow::SetCaption(ProgressLabel label, const std::wstring& text) {
    for (auto [progressLabel, control] : kProgressLabels) {
        if (progressLabel == label) {
            SetText(control, text);
        }
    }
}

void PatchWindow::SetProgressWidth(float pixels) {
    SetWidth(C::Lblprog, pixels);  // pixels at 96 DPI, as the frame was designed
}

void PatchWindow::ShowMessage(const std::wstring& text, const std::wstring& title,
                              MessageStyle style) {
    Form::ShowMessage(text, title, style);
}

void PatchWindow::DoEvents() {
    win32::DoEvents();
}

}  // namespace vt
