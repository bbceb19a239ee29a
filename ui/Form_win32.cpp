// The form's half that makes it from its table and lays it out: window, controls, fonts,
// icons and pictures, at the window's DPI. FormMessages_win32.cpp takes its messages.
#include "ui/Form_win32.h"

#include <commctrl.h>

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/Log_win32.h"
#include "ui/Bitmap_win32.h"
#include "ui/FormClasses_win32.h"

namespace vt::win32 {
namespace {

constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr size_t kNotCreated = static_cast<size_t>(-1);
constexpr UINT kMoveOnly = SWP_NOZORDER | SWP_NOACTIVATE;

HINSTANCE Instance() {
    return GetModuleHandleW(nullptr);
}

HFONT DefaultFont() {
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

// Creation order is the tab order; a control's container is created before it. A label goes
// right before the control it names (after any other label of that control). Labels never
// take the focus, so the tab order stays as it was.
std::vector<const ControlRow*> CreationOrder(std::span<const ControlRow> controls) {
    std::vector<const ControlRow*> order;
    for (const auto& c : controls) {
        order.push_back(&c);
    }
    std::stable_sort(order.begin(), order.end(), [](const ControlRow* a, const ControlRow* b) {
        bool aContained = a->container.index >= 0;
        bool bContained = b->container.index >= 0;
        if (aContained != bContained) {
            return !aContained;
        }
        unsigned ta = static_cast<unsigned>(a->tabIndex);  // kNoTabIndex sorts last
        unsigned tb = static_cast<unsigned>(b->tabIndex);
        return ta < tb;
    });
    std::vector<const ControlRow*> labels;
    std::erase_if(order, [&](const ControlRow* c) {
        bool isLabel = c->labelFor.index >= 0;
        if (isLabel) {
            labels.push_back(c);
        }
        return isLabel;
    });
    for (const ControlRow* label : labels) {
        auto target = std::find_if(order.begin(), order.end(), [&](const ControlRow* c) {
            return c->id.index == label->labelFor.index;
        });
        if (target == order.end()) {
            throw std::invalid_argument("a label names no control of the form");
        }
        order.insert(target, label);
    }
    return order;
}

struct ControlClass {
    const wchar_t* name;
    DWORD style;
    DWORD exStyle;
};

DWORD LabelStyle(unsigned flags) {
    DWORD style = SS_NOTIFY | SS_NOPREFIX;
    if ((flags & flag::AlignRight) != 0) {
        return style | SS_RIGHT;
    }
    if ((flags & flag::AlignCenter) != 0) {
        return style | SS_CENTER;
    }
    return style | ((flags & flag::AutoSize) != 0 ? SS_LEFTNOWORDWRAP : SS_LEFT);
}

// The window class and styles of a row's control.
ControlClass ClassOf(const ControlRow& row) {
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS | ((row.flags & flag::Hidden) == 0 ? WS_VISIBLE : 0);
    DWORD exStyle = (row.flags & flag::Bordered) != 0 ? WS_EX_CLIENTEDGE : 0;
    bool focusable = row.tabIndex != kNoTabIndex && row.container.index < 0;
    DWORD tabStop = focusable ? WS_TABSTOP : 0;
    switch (row.kind) {
        case ControlKind::Button:
            return {L"BUTTON", style | BS_PUSHBUTTON | tabStop, exStyle};
        case ControlKind::Label:
            return {L"STATIC", style | LabelStyle(row.flags), exStyle};
        case ControlKind::Panel:
            return {kPanelClass, style | WS_CLIPCHILDREN | tabStop, exStyle};
        case ControlKind::Image:
            return {L"STATIC", style | SS_BITMAP | SS_NOTIFY, exStyle};
        case ControlKind::ListView:
            return {WC_LISTVIEWW, style | LVS_REPORT | LVS_SINGLESEL | tabStop,
                    exStyle | WS_EX_CLIENTEDGE};
    }
    return {L"STATIC", style, exStyle};
}

}  // namespace

Form::Form(const FormLayout& layout, std::span<const ControlRow> controls) : layout_(layout) {
    if (!RowsInOrder(controls)) {
        throw std::invalid_argument("a row of the table is out of its place");
    }
    RegisterFormClasses(&Form::WndProc);
    std::vector<const ControlRow*> order = CreationOrder(controls);
    CreateWindowFor(layout);
    uiFont_.reset(CreateUiFont(dpi_));  // nullptr: the controls keep the system font
    gulim_.reset(CreateGulim(dpi_));
    ApplyDpi();  // the icons; each control takes its font and picture as it is made
    controls_.reserve(order.size());
    byRow_.assign(controls.size(), kNotCreated);
    for (const ControlRow* c : order) {
        CreateControl(*c);
    }
}

void Form::CreateWindowFor(const FormLayout& layout) {
    // Made at the size for the system's DPI, then sized again for the DPI of the monitor it
    // is on, which is known only once there is a window.
    dpi_ = SystemDpi();
    RECT r = FrameFor(Px(layout.clientWidth), Px(layout.clientHeight), kFormStyle, dpi_);
    int width = r.right - r.left;
    int height = r.bottom - r.top;
    int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    // WM_NCCREATE hands the window to window_; a window that ends during creation has been
    // given back by WM_NCDESTROY.
    HWND hwnd = CreateWindowExW(0, kFormClass, layout.caption, kFormStyle, x, y, width, height,
                                nullptr, nullptr, Instance(), this);
    if (hwnd == nullptr || hwnd != Handle()) {
        throw std::runtime_error("CreateWindowEx failed");
    }
    dpi_ = WindowDpi(hwnd);
    PlaceWindow();

    HMENU systemMenu = GetSystemMenu(hwnd, FALSE);
    if (systemMenu != nullptr) {
        // Either removal may find nothing (a shorter menu); a Close left behind would do
        // nothing, since the form ignores WM_CLOSE.
        RemoveMenu(systemMenu, 6, MF_BYPOSITION);
        // A shorter system menu has Close elsewhere; it must go all the same.
        RemoveMenu(systemMenu, SC_CLOSE, MF_BYCOMMAND);
    }
}

void Form::PlaceWindow() {
    int clientWidth = Px(layout_.clientWidth);
    int clientHeight = Px(layout_.clientHeight);
    RECT r = FrameFor(clientWidth, clientHeight, kFormStyle, dpi_);
    int width = r.right - r.left;
    int height = r.bottom - r.top;
    int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    Logged(SetWindowPos(Handle(), nullptr, x, y, width, height, kMoveOnly), L"SetWindowPos");
    // Whatever the frame turned out to be, the client area is exact.
    RECT client;
    if (!Logged(GetClientRect(Handle(), &client), L"GetClientRect")) {
        return;
    }
    int dw = clientWidth - client.right;
    int dh = clientHeight - client.bottom;
    if (dw != 0 || dh != 0) {
        Logged(SetWindowPos(Handle(), nullptr, x - dw / 2, y - dh / 2, width + dw, height + dh,
                            kMoveOnly),
               L"SetWindowPos");
    }
}

// The members release everything: the window first, then what it used.
Form::~Form() = default;

void Form::WindowCloser::operator()(HWND hwnd) const noexcept {
    // Returns the old value; it cannot fail for a window of this thread, which hwnd is.
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    // Fails only for a window already gone, which is what was wanted.
    DestroyWindow(hwnd);
}

void Form::CreateControl(const ControlRow& layout) {
    ControlState control;
    control.layout = layout;
    control.text = layout.caption != nullptr ? layout.caption : L"";
    control.id = kFirstControlId + static_cast<int>(controls_.size());
    if (layout.background != kDefaultColor) {
        // nullptr: the control shows the default colour.
        control.brush.reset(CreateSolidBrush(layout.background));
    }
    control.hwnd = CreateControlWindow(control);
    SendMessageW(control.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(control)), FALSE);
    if (layout.kind == ControlKind::Panel && control.brush != nullptr) {
        // Returns the old value (0); it cannot fail for a control just made.
        SetWindowLongPtrW(control.hwnd, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(control.brush.get()));
    }
    byRow_[static_cast<size_t>(layout.id.index)] = controls_.size();
    controls_.push_back(std::move(control));
    ShowPicture(controls_.back());
    if ((layout.flags & flag::AutoSize) != 0) {
        FitToText(controls_.back());
    }
}

HWND Form::CreateControlWindow(const ControlState& control) {
    const ControlRow& layout = control.layout;
    HWND parent = layout.container.index >= 0 ? Control(layout.container) : Handle();
    ControlClass c = ClassOf(layout);
    // The window text of a control that shows none is its name for a screen reader.
    HWND hwnd = CreateWindowExW(c.exStyle, c.name, control.text.c_str(), c.style, Px(layout.left),
                                Px(layout.top), Px(layout.width), Px(layout.height), parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)),
                                Instance(), nullptr);
    if (hwnd == nullptr) {
        throw std::runtime_error("CreateWindowEx failed for a control");
    }
    return hwnd;
}

HFONT Form::FontFor(const ControlState& control) const {
    return (control.layout.flags & flag::FontGulim) != 0 ? gulim_.get() : uiFont_.get();
}

void Form::ShowPicture(ControlState& control) {
    if (control.layout.kind != ControlKind::Image || control.layout.bitmapId == 0) {
        return;
    }
    UniqueGdi<HBITMAP> picture =
        PictureFor(control.layout.bitmapId, Px(control.layout.width), Px(control.layout.height));
    if (picture == nullptr) {
        LogFailure(L"LoadImage (banner)");
        return;  // the control keeps the picture it has, if any
    }
    SendMessageW(control.hwnd, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture.get()));
    control.bitmap = std::move(picture);  // the one shown before is no longer in use
    // Setting a picture sizes the control to it; the table decides.
    PlaceControl(control);
}

void Form::PlaceControl(ControlState& control) {
    const ControlRow& row = control.layout;
    int width = control.designWidth >= 0 ? ScalePixels(control.designWidth, dpi_) : Px(row.width);
    Logged(SetWindowPos(control.hwnd, nullptr, Px(row.left), Px(row.top), width, Px(row.height),
                        kMoveOnly),
           L"SetWindowPos");
    if ((row.flags & flag::AutoSize) != 0) {
        FitToText(control);
    }
}

void Form::LoadIcons() {
    auto loadIcon = [&](int size) {
        int pixels = ScalePixels(size, dpi_);
        return UniqueIcon(static_cast<HICON>(LoadImageW(
            Instance(), MAKEINTRESOURCEW(layout_.iconId), IMAGE_ICON, pixels, pixels, 0)));
    };
    UniqueIcon big = loadIcon(32);
    UniqueIcon small = loadIcon(16);
    if (big == nullptr || small == nullptr) {
        LogFailure(L"LoadImage (icon)");  // the window keeps the icons it has
        return;
    }
    SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big.get()));
    SendMessageW(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small.get()));
    bigIcon_ = std::move(big);
    smallIcon_ = std::move(small);
}

void Form::ApplyDpi() {
    if (layout_.iconId != 0) {
        LoadIcons();
    }
    for (auto& c : controls_) {
        SendMessageW(c.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(c)), FALSE);
        PlaceControl(c);
        ShowPicture(c);
    }
}

void Form::HandleDpiChanged(int dpi, const RECT& suggested) {
    dpi_ = dpi;
    Logged(
        SetWindowPos(Handle(), nullptr, suggested.left, suggested.top,
                     suggested.right - suggested.left, suggested.bottom - suggested.top, kMoveOnly),
        L"SetWindowPos");
    // The suggestion scales the old client area; the table, rounded at the new DPI, may
    // differ from it by a pixel.
    RECT client;
    if (Logged(GetClientRect(Handle(), &client), L"GetClientRect")) {
        int dw = Px(layout_.clientWidth) - client.right;
        int dh = Px(layout_.clientHeight) - client.bottom;
        if (dw != 0 || dh != 0) {
            Logged(SetWindowPos(Handle(), nullptr, 0, 0, suggested.right - suggested.left + dw,
                                suggested.bottom - suggested.top + dh, SWP_NOMOVE | kMoveOnly),
                   L"SetWindowPos");
        }
    }
    // New fonts first, the old ones go once no control uses them.
    UniqueGdi<HFONT> oldUi = std::exchange(uiFont_, UniqueGdi<HFONT>(CreateUiFont(dpi_)));
    UniqueGdi<HFONT> oldGulim = std::exchange(gulim_, UniqueGdi<HFONT>(CreateGulim(dpi_)));
    ApplyDpi();
    OnDpiChanged(dpi_);
    // A redraw that fails leaves the window to its next paint.
    RedrawWindow(Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

Form::ControlState& Form::At(ControlRef control) {
    return const_cast<ControlState&>(std::as_const(*this).At(control));
}

const Form::ControlState& Form::At(ControlRef control) const {
    auto row = static_cast<size_t>(control.index);
    if (control.index < 0 || row >= byRow_.size() || byRow_[row] == kNotCreated) {
        throw std::invalid_argument("no such control");
    }
    return controls_[byRow_[row]];
}

HWND Form::Control(ControlRef control) const {
    return At(control).hwnd;
}

void Form::Show() {
    // Returns the earlier visibility, not a failure.
    ShowWindow(Handle(), SW_SHOWNORMAL);
    // The focus is always drawn, also before the first key: a window opened by the mouse
    // would otherwise hide it until Tab is pressed.
    SendMessageW(Handle(), WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
    // A paint that fails now comes with the next WM_PAINT.
    UpdateWindow(Handle());
}

void Form::Hide() {
    ShowWindow(Handle(), SW_HIDE);  // returns the earlier visibility, not a failure
}

void Form::FitToText(ControlState& control) {
    HDC dc = GetDC(control.hwnd);
    if (dc == nullptr) {
        LogFailure(L"GetDC");
        return;  // the label keeps its size
    }
    auto font = reinterpret_cast<HFONT>(SendMessageW(control.hwnd, WM_GETFONT, 0, 0));
    // Not selected (nullptr): the text is measured in the DC's own font.
    HGDIOBJ old = SelectObject(dc, font != nullptr ? font : DefaultFont());
    SIZE size{0, 0};
    BOOL measured = GetTextExtentPoint32W(dc, control.text.c_str(),
                                          static_cast<int>(control.text.size()), &size);
    if (old != nullptr) {
        SelectObject(dc, old);
    }
    ReleaseDC(control.hwnd, dc);  // a window's common DC: released or not, nothing is held
    RECT r;
    if (!Logged(measured, L"GetTextExtentPoint32") ||
        !Logged(GetWindowRect(control.hwnd, &r), L"GetWindowRect")) {
        return;
    }
    int height = std::max<int>(r.bottom - r.top, size.cy);
    Logged(SetWindowPos(control.hwnd, nullptr, 0, 0, size.cx, height, SWP_NOMOVE | kMoveOnly),
           L"SetWindowPos");
}

void Form::SetText(ControlRef control, const std::wstring& text) {
    ControlState& c = At(control);
    if (c.text == text) {
        return;  // captions are set for every chunk of a download
    }
    c.text = text;
    if ((c.layout.flags & flag::AutoSize) != 0) {
        // Resize first so the new text never shows clipped or wrapped for a moment.
        FitToText(c);
    }
    Logged(SetWindowTextW(c.hwnd, text.c_str()), L"SetWindowText");
}

std::wstring Form::Text(ControlRef control) const {
    return At(control).text;
}

void Form::SetWidth(ControlRef control, double designPixels) {
    ControlState& c = At(control);
    c.designWidth = designPixels;
    int pixels = ScalePixels(designPixels, dpi_);
    RECT r;
    if (!Logged(GetWindowRect(c.hwnd, &r), L"GetWindowRect") || r.right - r.left == pixels) {
        return;
    }
    Logged(SetWindowPos(c.hwnd, nullptr, 0, 0, pixels, r.bottom - r.top, SWP_NOMOVE | kMoveOnly),
           L"SetWindowPos");
}

void Form::ShowMessage(const std::wstring& text, const std::wstring& title, MessageStyle style) {
    HWND owner = IsWindowVisible(Handle()) ? Handle() : nullptr;
    if (MessageBoxW(owner, text.c_str(), title.empty() ? kAppTitle : title.c_str(),
                    MB_OK | static_cast<UINT>(style)) == 0) {
        // No box could be shown: the text is kept for support all the same.
        LogFailure(L"MessageBox");
        LogLine(L"message not shown: " + text);
    }
}

}  // namespace vt::win32
