#include "ui/Form_win32.h"

#include <commctrl.h>

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/Log_win32.h"
#include "ui/Bitmap_win32.h"

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace vt::win32 {
namespace {

constexpr wchar_t kFormClass[] = L"VtForm";
constexpr wchar_t kPanelClass[] = L"VtPanel";
constexpr UINT kFirstActivateMessage = WM_APP + 1;
constexpr int kFirstControlId = 100;
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr size_t kNotCreated = static_cast<size_t>(-1);
constexpr UINT kMoveOnly = SWP_NOZORDER | SWP_NOACTIVATE;

ATOM formClass = 0;

HINSTANCE Instance() {
    return GetModuleHandleW(nullptr);
}

// A panel paints its own background and hands notifications of the controls it holds to the
// form, which owns every control's colours and events.
LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_ERASEBKGND: {
            RECT r;
            if (!GetClientRect(hwnd, &r)) {
                return 0;  // not erased: the next paint tries again
            }
            auto brush = reinterpret_cast<HBRUSH>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
            // A failed fill leaves the old pixels until the next paint; nothing to report.
            FillRect(reinterpret_cast<HDC>(wParam), &r,
                     brush != nullptr ? brush : GetSysColorBrush(COLOR_BTNFACE));
            return 1;
        }
        case WM_COMMAND:
        case WM_CTLCOLORSTATIC:
        case WM_NOTIFY:
            return SendMessageW(GetAncestor(hwnd, GA_ROOT), msg, wParam, lParam);
        case WM_LBUTTONUP:
            SendMessageW(GetAncestor(hwnd, GA_ROOT), WM_COMMAND,
                         MAKEWPARAM(GetDlgCtrlID(hwnd), STN_CLICKED),
                         reinterpret_cast<LPARAM>(hwnd));
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

ATOM RegisterClassOf(const wchar_t* name, WNDPROC proc, HBRUSH background) {
    WNDCLASSEXW c{};
    c.cbSize = sizeof(c);
    c.lpfnWndProc = proc;
    c.hInstance = Instance();
    c.hCursor = LoadCursorW(nullptr, IDC_ARROW);  // nullptr: the parent's cursor, no harm
    c.hbrBackground = background;
    c.lpszClassName = name;
    ATOM atom = RegisterClassExW(&c);
    if (atom == 0) {
        throw std::runtime_error("RegisterClassEx failed");
    }
    return atom;
}

void RegisterClasses(WNDPROC formProc) {
    if (formClass != 0) {
        return;
    }
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    // Not fatal here: a list view that then cannot be made fails its form's creation.
    Logged(InitCommonControlsEx(&icc), L"InitCommonControlsEx");
    // The panel class once, then the form's, which marks both as registered.
    [[maybe_unused]] static const ATOM panel = RegisterClassOf(kPanelClass, PanelProc, nullptr);
    formClass = RegisterClassOf(kFormClass, formProc, GetSysColorBrush(COLOR_BTNFACE));
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
    RegisterClasses(&Form::WndProc);
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

Form* Form::FromHandle(HWND hwnd) {
    if (hwnd == nullptr || formClass == 0 ||
        GetClassLongPtrW(hwnd, GCW_ATOM) != static_cast<ULONG_PTR>(formClass)) {
        return nullptr;
    }
    return reinterpret_cast<Form*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
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

Form::ControlState* Form::Find(HWND hwnd) {
    for (auto& c : controls_) {
        if (c.hwnd == hwnd) {
            return &c;
        }
    }
    return nullptr;
}

HWND Form::FirstTabStop() const {
    for (const auto& c : controls_) {
        LONG style = GetWindowLongW(c.hwnd, GWL_STYLE);
        if ((style & WS_TABSTOP) != 0 && IsWindowVisible(c.hwnd) && IsWindowEnabled(c.hwnd)) {
            return c.hwnd;
        }
    }
    return nullptr;
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

LRESULT CALLBACK Form::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* created =
            static_cast<Form*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        // Returns the old value (0); it cannot fail for the window being created.
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(created));
        created->window_.reset(hwnd);
    }
    // Nothing before WM_NCCREATE (WM_GETMINMAXINFO) and nothing after the form let go.
    auto* form = reinterpret_cast<Form*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (form == nullptr) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    if (msg == WM_NCDESTROY) {
        // Ended by someone other than window_ (a failed creation): the handle is dead now.
        // The window still exists during WM_NCDESTROY, so this cannot fail.
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        (void)form->window_.release();
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    return form->Dispatch(msg, wParam, lParam);
}

LRESULT Form::OnActivate(WPARAM wParam) {
    if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(Handle(), focus)) {
            lastFocus_ = focus;
        }
        return 0;
    }
    HWND target = lastFocus_ != nullptr ? lastFocus_ : FirstTabStop();
    if (target != nullptr) {
        SetFocus(target);  // a control gone since leaves the focus where Windows put it
    }
    if (!activated_ && PostMessageW(Handle(), kFirstActivateMessage, 0, 0)) {
        // Runs once the show has completed and the window is painted; a post that failed
        // (a full queue) is tried again at the next activation.
        activated_ = true;
    }
    return 0;
}

LRESULT Form::OnCommand(WPARAM wParam) {
    int id = LOWORD(wParam);
    int code = HIWORD(wParam);
    if (id >= kFirstControlId && (code == BN_CLICKED || code == STN_CLICKED)) {
        auto index = static_cast<size_t>(id - kFirstControlId);
        if (index < controls_.size()) {
            OnControlEvent(controls_[index].layout.id.index, Event::Click);
        }
    }
    return 0;  // IDOK and IDCANCEL from the dialog manager are ignored
}

LRESULT Form::OnNotify(WPARAM wParam, LPARAM lParam) {
    const auto* header = reinterpret_cast<const NMHDR*>(lParam);
    ControlState* from = Find(header->hwndFrom);
    if (from != nullptr && from->layout.kind == ControlKind::ListView &&
        header->code == NM_DBLCLK) {
        OnControlEvent(from->layout.id.index, Event::DblClick);
        return 0;
    }
    return DefWindowProcW(Handle(), WM_NOTIFY, wParam, lParam);
}

LRESULT Form::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (OnMessage(msg, wParam, lParam, result)) {
        return result;
    }
    switch (msg) {
        case WM_ACTIVATE:
            return OnActivate(wParam);
        case kFirstActivateMessage:
            OnFirstActivate();
            return 0;
        case WM_COMMAND:
            return OnCommand(wParam);
        case WM_NOTIFY:
            return OnNotify(wParam, lParam);
        case DM_GETDEFID: {
            // Enter presses a button only while that button has the focus.
            ControlState* focused = Find(GetFocus());
            if (focused != nullptr &&
                (SendMessageW(focused->hwnd, WM_GETDLGCODE, 0, 0) & DLGC_BUTTON) != 0) {
                return MAKELRESULT(focused->id, DC_HASDEFID);
            }
            return 0;
        }
        case WM_CTLCOLORSTATIC: {
            ControlState* c = Find(reinterpret_cast<HWND>(lParam));
            if (c != nullptr && c->brush != nullptr) {
                // Fails only for a bad DC, which Windows would not paint with anyway.
                SetBkColor(reinterpret_cast<HDC>(wParam), c->layout.background);
                return reinterpret_cast<LRESULT>(c->brush.get());
            }
            return DefWindowProcW(Handle(), msg, wParam, lParam);
        }
        case WM_DPICHANGED:
            HandleDpiChanged(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
            return 0;
        case WM_CLOSE:
            return 0;  // no close command: the form's buttons end the program
        default:
            return DefWindowProcW(Handle(), msg, wParam, lParam);
    }
}

}  // namespace vt::win32
