#include "patch/frmVtUpdate_win32.h"

#include "base/ErrorReport.h"
#include "patch/frmVtUpdate.h"
#include "res/resource.h"
#include "ui/MessageLoop_win32.h"

namespace vt {
namespace {

using win32::ControlKind;
using win32::ControlRow;
using win32::kNoTabIndex;
namespace flag = win32::flag;

constexpr win32::FormLayout kForm{L"VT Auto Patch", 6030, 1605, IDI_VTLAUNCHER};

constexpr COLORREF kNavy = RGB(0, 0, 128);

// Twips, as designed; several labels are hidden or lie outside the client area on purpose.
// Each caption names the value it stands before (last column): a screen reader reads the
// pair together, and the frame and the banner carry their names as their text.
constexpr ControlRow kControls[] = {
    // name, kind, caption, left, top, width, height, tab index, flags, container, colour, bitmap,
    // names
    {L"cmdCancel", ControlKind::Button, L"취  소", 4830, 1170, 1035, 345, 10},
    {L"Picprog", ControlKind::Panel, L"진행 상황", 2760, 480, 3060, 270, 0, flag::Bordered},
    {L"Lblprog", ControlKind::Panel, L"", -30, -30, 30, 285, 1, 0, L"Picprog", kNavy},
    {L"Label5", ControlKind::Label, L"진행율 :", 4680, 870, 660, 180, 12, flag::AutoSize, nullptr,
     win32::kDefaultColor, 0, L"LblFilePecent"},
    {L"Label4", ControlKind::Label, L"속도 :", 2820, 870, 480, 180, 11, flag::AutoSize, nullptr,
     win32::kDefaultColor, 0, L"LblFilebps"},
    {L"Image1", ControlKind::Image, L"홈페이지", 90, 240, 2400, 1200, kNoTabIndex, 0, nullptr,
     win32::kDefaultColor, IDB_BANNER_PATCH},
    {L"Lblname", ControlKind::Label, L"", 2805, 210, 3000, 180, 9,
     flag::AlignRight | flag::FontGulim},
    {L"lblState", ControlKind::Label, L"", 2040, 1530, 2085, 180, 8, flag::Hidden},
    {L"Label3", ControlKind::Label, L"진행율", 6000, 4410, 945, 315, 7,
     flag::Hidden | flag::AlignCenter, nullptr, win32::kDefaultColor, 0, L"LblFilePecent"},
    {L"LblFilePecent", ControlKind::Label, L"100%", 5430, 870, 420, 180, 6, flag::AutoSize},
    {L"Label2", ControlKind::Label, L"전송속도", 4710, 4410, 945, 315, 5,
     flag::Hidden | flag::AlignCenter, nullptr, win32::kDefaultColor, 0, L"LblFilebps"},
    {L"LblFilebps", ControlKind::Label, L"100KB/s", 3330, 870, 705, 180, 4, flag::AutoSize},
    {L"Label1", ControlKind::Label, L"진행시간", 3600, 3960, 945, 315, 3,
     flag::Hidden | flag::AlignCenter, nullptr, win32::kDefaultColor, 0, L"LblFileTime"},
    {L"LblFileTime", ControlKind::Label, L"999", 3600, 4440, 945, 315, 2,
     flag::Hidden | flag::AlignCenter},
};

const wchar_t* LabelName(ProgressLabel label) {
    switch (label) {
        case ProgressLabel::lblState:
            return L"lblState";
        case ProgressLabel::Lblname:
            return L"Lblname";
        case ProgressLabel::LblFileTime:
            return L"LblFileTime";
        case ProgressLabel::LblFilebps:
            return L"LblFilebps";
        case ProgressLabel::LblFilePecent:
            return L"LblFilePecent";
    }
    return L"lblState";
}

}  // namespace

PatchWindow::PatchWindow() : Form(kForm, kControls) {}

void PatchWindow::Load(frmVtUpdate& handlers, const std::wstring& exeDirectory) {
    handlers_ = &handlers;
    RunHandler(*this, [&] { handlers.Form_Load(exeDirectory); });
}

void PatchWindow::SetCaption(ProgressLabel label, const std::wstring& text) {
    SetText(LabelName(label), text);
}

void PatchWindow::SetProgressWidth(float pixels) {
    SetWidth(L"Lblprog", pixels);  // pixels at 96 DPI, as the frame was designed
}

void PatchWindow::ShowMessage(const std::wstring& text, const std::wstring& title,
                              MessageStyle style) {
    Form::ShowMessage(text, title, style);
}

void PatchWindow::DoEvents() {
    win32::DoEvents();
}

void PatchWindow::OnClick(const std::wstring& control) {
    if (handlers_ == nullptr) {
        return;
    }
    if (control == L"cmdCancel") {
        RunHandler(*this, [this] { handlers_->cmdCancel_Click(); });
    } else if (control == L"Image1") {
        RunHandler(*this, [this] { handlers_->Image1_Click(); });
    }
}

void PatchWindow::OnFirstActivate() {
    if (handlers_ != nullptr) {
        RunHandler(*this, [this] { handlers_->Form_Activate(); });
    }
}

}  // namespace vt
