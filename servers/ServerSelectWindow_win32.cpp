#include "servers/ServerSelectWindow_win32.h"

#include <commctrl.h>

#include <stdexcept>

#include "base/AppError.h"
#include "base/Log_win32.h"
#include "res/resource.h"
#include "ui/MessageLoop_win32.h"

namespace vt {
namespace {

using win32::ControlKind;
using win32::kNoTabIndex;
using C = ServerControl;

constexpr win32::FormLayout kForm{L"서버 선택", 4515, 4200, IDI_VTLAUNCHER};

// Twips, as designed. The list and the banner carry their names as their text; the list is
// also named by a label of no size right before it, which is where a screen reader looks.
constexpr win32::ControlRow kControls[] = {
    // id, kind, caption, left, top, width, height, tab index, flags, container, colour, bitmap,
    // names
    {C::cmdConnect, ControlKind::Button, L"접  속", 1552, 3645, 1215, 375, 3},
    {C::cmdCancel, ControlKind::Button, L"취  소", 2902, 3645, 1215, 375, 2},
    {C::cmdRefresh, ControlKind::Button, L"새로고침", 202, 3645, 1215, 375, 1},
    {C::lstvServer, ControlKind::ListView, L"서버 목록", 157, 1080, 4200, 2370, 0},
    {C::lblServer, ControlKind::Label, L"서버 목록", 157, 1080, 0, 0, kNoTabIndex, 0,
     win32::kNoControl, win32::kDefaultColor, 0, C::lstvServer},
    {C::Image1, ControlKind::Image, L"홈페이지", 157, 165, 4200, 825, kNoTabIndex, 0,
     win32::kNoControl, win32::kDefaultColor, IDB_BANNER_SERVERS},
};
static_assert(win32::RowsInOrder(kControls));

constexpr UINT_PTR kListSubclassId = 1;
constexpr int kEnter = VK_RETURN;

// Enter (with any modifier, Alt included) must reach the list instead of the dialog manager,
// and Alt+key arrives as WM_SYSKEYDOWN, which the list view never reports: so keys are taken
// here, one event per key that goes down.
LRESULT CALLBACK ListProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                          DWORD_PTR refData) {
    auto* window = reinterpret_cast<ServerSelectWindow*>(refData);
    switch (msg) {
        case WM_GETDLGCODE: {
            LRESULT code = DefSubclassProc(hwnd, msg, wParam, lParam);
            auto* pending = reinterpret_cast<const MSG*>(lParam);
            if (pending != nullptr && pending->wParam == kEnter &&
                (pending->message == WM_KEYDOWN || pending->message == WM_CHAR)) {
                code |= DLGC_WANTALLKEYS;
            }
            return code;
        }
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
            window->ListKeyDown(static_cast<int>(wParam));
            if (wParam == kEnter) {
                return 0;  // no beep, no default processing of Alt+Enter
            }
            break;
        case WM_SYSCHAR:
        case WM_CHAR:
            if (wParam == '\r') {
                return 0;
            }
            break;
        default:
            break;
    }
    return DefSubclassProc(hwnd, msg, wParam, lParam);
}

}  // namespace

ServerSelectWindow::ServerSelectWindow() : FormOf(kForm, kControls) {
    list_ = Control(C::lstvServer);
    if (!SetWindowSubclass(list_, ListProc, kListSubclassId, reinterpret_cast<DWORD_PTR>(this))) {
        throw std::runtime_error("SetWindowSubclass failed for the server list");
    }
}

ServerSelectWindow::~ServerSelectWindow() {
    // Fails only when the subclass is gone already, with the list.
    RemoveWindowSubclass(list_, ListProc, kListSubclassId);
}

void ServerSelectWindow::ConfigureList() {
    LONG_PTR style = GetWindowLongPtrW(list_, GWL_STYLE);
    style = (style & ~(LVS_TYPEMASK | LVS_EDITLABELS)) | LVS_REPORT;
    SetWindowLongPtrW(list_, GWL_STYLE, style);  // returns the old style: 0 is no failure
    DWORD off = LVS_EX_GRIDLINES | LVS_EX_HEADERDRAGDROP | LVS_EX_FLATSB;
    // Returns the previous extended style, not a failure.
    ListView_SetExtendedListViewStyleEx(list_, off | LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    // Colours only: a list in the system's colours still lists and connects.
    win32::Logged(ListView_SetTextColor(list_, RGB(0, 0, 128)), L"ListView_SetTextColor");
    win32::Logged(ListView_SetBkColor(list_, RGB(255, 255, 255)), L"ListView_SetBkColor");
    win32::Logged(ListView_SetTextBkColor(list_, RGB(255, 255, 255)), L"ListView_SetTextBkColor");
}

void ServerSelectWindow::AddColumn(const std::wstring& header, int width, ColumnAlign align) {
    std::wstring text = header;
    LVCOLUMNW column{};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.fmt = align == ColumnAlign::Center ? LVCFMT_CENTER : LVCFMT_LEFT;
    column.cx = win32::ScalePixels(width, Dpi());  // widths are given at 96 DPI
    column.pszText = text.data();
    column.iSubItem = columns_;
    if (ListView_InsertColumn(list_, columns_, &column) < 0) {
        throw AppError(ErrorNumber::InternalError, L"목록에 열을 추가할 수 없습니다.");
    }
    columnWidths_.push_back(width);
    ++columns_;
}

void ServerSelectWindow::AddRow(const std::wstring& /*key*/, const std::wstring& text) {
    std::wstring copy = text;
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = ListView_GetItemCount(list_);
    item.pszText = copy.data();
    if (ListView_InsertItem(list_, &item) < 0) {
        throw AppError(ErrorNumber::InternalError, L"목록에 행을 추가할 수 없습니다.");
    }
}

void ServerSelectWindow::SetSubItem(int32_t row, int subItem, const std::wstring& text) {
    if (row < 1 || row > ListView_GetItemCount(list_)) {
        throw AppError(ErrorNumber::SubscriptOutOfRange, L"첨자 사용이 잘못되었습니다.");
    }
    std::wstring copy = text;
    LVITEMW item{};
    item.iSubItem = subItem;
    item.pszText = copy.data();
    // A cell left as it was (the probe's figure or state) costs no server its row.
    win32::Logged(static_cast<BOOL>(SendMessageW(list_, LVM_SETITEMTEXTW, row - 1,
                                                 reinterpret_cast<LPARAM>(&item))),
                  L"LVM_SETITEMTEXT");
}

int32_t ServerSelectWindow::SelectedRow() {
    int index = ListView_GetNextItem(list_, -1, LVNI_SELECTED);
    return index < 0 ? 0 : index + 1;
}

void ServerSelectWindow::Pause(uint32_t milliseconds) {
    Sleep(milliseconds);  // returns nothing
}

void ServerSelectWindow::ShowMessage(const std::wstring& text, const std::wstring& title,
                                     MessageStyle style) {
    Form::ShowMessage(text, title, style);
}

void ServerSelectWindow::DoEvents() {
    win32::DoEvents();
}

int ServerSelectWindow::ShiftState() {
    int shift = 0;
    if (GetKeyState(VK_SHIFT) < 0) {
        shift |= 1;
    }
    if (GetKeyState(VK_CONTROL) < 0) {
        shift |= 2;
    }
    if (GetKeyState(VK_MENU) < 0) {
        shift |= 4;
    }
    return shift;
}

void ServerSelectWindow::ListKeyDown(int keyCode) {
    Raise(C::lstvServer, Event::KeyDown, EventArgs{keyCode, ShiftState()});
}

void ServerSelectWindow::OnDpiChanged(int dpi) {
    for (size_t i = 0; i < columnWidths_.size(); ++i) {
        // A column left at its width is still readable; the next change tries again.
        win32::Logged(ListView_SetColumnWidth(list_, static_cast<int>(i),
                                              win32::ScalePixels(columnWidths_[i], dpi)),
                      L"ListView_SetColumnWidth");
    }
}

}  // namespace vt
