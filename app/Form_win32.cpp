#include "app/Form_win32.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace vt::win32 {
namespace {

constexpr wchar_t kFormClass[] = L"VtForm";
constexpr wchar_t kPanelClass[] = L"VtPanel";
constexpr UINT kFirstActivateMessage = WM_APP + 1;
constexpr int kFirstControlId = 100;
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;

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
            GetClientRect(hwnd, &r);
            auto brush = reinterpret_cast<HBRUSH>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
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

void RegisterClasses(WNDPROC formProc) {
    if (formClass != 0) {
        return;
    }
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);

    WNDCLASSEXW form{};
    form.cbSize = sizeof(form);
    form.lpfnWndProc = formProc;
    form.hInstance = Instance();
    form.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    form.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    form.lpszClassName = kFormClass;
    ATOM atom = RegisterClassExW(&form);

    WNDCLASSEXW panel{};
    panel.cbSize = sizeof(panel);
    panel.lpfnWndProc = PanelProc;
    panel.hInstance = Instance();
    panel.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    panel.lpszClassName = kPanelClass;
    RegisterClassExW(&panel);
    formClass = atom;
}

HFONT DefaultFont() {
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

HFONT CreateGulim() {
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    int height = -static_cast<int>(std::lround(8.25 * dpi / 72.0));
    return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, HANGUL_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, L"굴림");
}

}  // namespace

int TwipsToPixels(int twips) {
    return static_cast<int>(std::lround(static_cast<double>(twips) / kTwipsPerPixel));
}

Form::Form(const FormLayout& layout, std::span<const ControlRow> controls) {
    RegisterClasses(&Form::WndProc);
    RECT r{0, 0, TwipsToPixels(layout.clientWidth), TwipsToPixels(layout.clientHeight)};
    AdjustWindowRectEx(&r, kFormStyle, FALSE, 0);
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

    if (layout.iconId != 0) {
        auto loadIcon = [&](int size) {
            return UniqueIcon(static_cast<HICON>(LoadImageW(
                Instance(), MAKEINTRESOURCEW(layout.iconId), IMAGE_ICON, size, size, 0)));
        };
        bigIcon_ = loadIcon(32);
        smallIcon_ = loadIcon(16);
        SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_.get()));
        SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_.get()));
    }
    HMENU systemMenu = GetSystemMenu(hwnd, FALSE);
    RemoveMenu(systemMenu, 6, MF_BYPOSITION);
    // A shorter system menu has Close elsewhere; it must go all the same.
    RemoveMenu(systemMenu, SC_CLOSE, MF_BYCOMMAND);

    // Creation order is the tab order; a control's container is created before it.
    std::vector<const ControlRow*> order;
    for (const auto& c : controls) {
        order.push_back(&c);
    }
    std::stable_sort(order.begin(), order.end(), [](const ControlRow* a, const ControlRow* b) {
        bool aContained = a->container != nullptr;
        bool bContained = b->container != nullptr;
        if (aContained != bContained) {
            return !aContained;
        }
        unsigned ta = static_cast<unsigned>(a->tabIndex);  // kNoTabIndex sorts last
        unsigned tb = static_cast<unsigned>(b->tabIndex);
        return ta < tb;
    });
    controls_.reserve(order.size());
    for (const ControlRow* c : order) {
        CreateControl(*c);
    }
}

// The members release everything: the window first, then what it used.
Form::~Form() = default;

void Form::WindowCloser::operator()(HWND hwnd) const noexcept {
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
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
    control.name = layout.name;
    control.flags = layout.flags;
    control.text = layout.caption != nullptr ? layout.caption : L"";
    control.background = layout.background;
    control.id = kFirstControlId + static_cast<int>(controls_.size());
    if (layout.background != kDefaultColor) {
        control.brush.reset(CreateSolidBrush(layout.background));
    }

    HWND parent = Handle();
    if (layout.container != nullptr) {
        parent = Control(layout.container);
    }
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
    DWORD exStyle = 0;
    if ((layout.flags & flag::Hidden) == 0) {
        style |= WS_VISIBLE;
    }
    if ((layout.flags & flag::Bordered) != 0) {
        exStyle |= WS_EX_CLIENTEDGE;
    }
    bool focusable = layout.tabIndex != kNoTabIndex && layout.container == nullptr;
    const wchar_t* className = L"STATIC";
    switch (layout.kind) {
        case ControlKind::Button:
            className = L"BUTTON";
            style |= BS_PUSHBUTTON | (focusable ? WS_TABSTOP : 0);
            break;
        case ControlKind::Label:
            style |= SS_NOTIFY | SS_NOPREFIX;
            if ((layout.flags & flag::AlignRight) != 0) {
                style |= SS_RIGHT;
            } else if ((layout.flags & flag::AlignCenter) != 0) {
                style |= SS_CENTER;
            } else if ((layout.flags & flag::AutoSize) != 0) {
                style |= SS_LEFTNOWORDWRAP;
            } else {
                style |= SS_LEFT;
            }
            break;
        case ControlKind::Panel:
            className = kPanelClass;
            style |= WS_CLIPCHILDREN | (focusable ? WS_TABSTOP : 0);
            break;
        case ControlKind::Image:
            style |= SS_BITMAP | SS_NOTIFY;
            break;
        case ControlKind::ListView:
            className = WC_LISTVIEWW;
            style |= LVS_REPORT | LVS_SINGLESEL | (focusable ? WS_TABSTOP : 0);
            exStyle |= WS_EX_CLIENTEDGE;
            break;
    }
    bool isText = layout.kind == ControlKind::Button || layout.kind == ControlKind::Label;
    control.hwnd = CreateWindowExW(
        exStyle, className, isText ? control.text.c_str() : L"", style, TwipsToPixels(layout.left),
        TwipsToPixels(layout.top), TwipsToPixels(layout.width), TwipsToPixels(layout.height),
        parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)), Instance(), nullptr);
    if (control.hwnd == nullptr) {
        throw std::runtime_error("CreateWindowEx failed for a control");
    }
    HFONT font = DefaultFont();
    if ((layout.flags & flag::FontGulim) != 0) {
        if (gulim_ == nullptr) {
            gulim_.reset(CreateGulim());
        }
        font = gulim_.get();
    }
    SendMessageW(control.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (layout.kind == ControlKind::Panel && control.brush != nullptr) {
        SetWindowLongPtrW(control.hwnd, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(control.brush.get()));
    }
    if (layout.kind == ControlKind::Image && layout.bitmapId != 0) {
        UniqueGdi<HBITMAP> bitmap(static_cast<HBITMAP>(LoadImageW(
            Instance(), MAKEINTRESOURCEW(layout.bitmapId), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR)));
        if (bitmap != nullptr) {
            HBITMAP shown = bitmap.get();
            bitmaps_.push_back(std::move(bitmap));
            SendMessageW(control.hwnd, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(shown));
        }
    }
    byName_[control.name] = controls_.size();
    controls_.push_back(std::move(control));
    if ((layout.flags & flag::AutoSize) != 0) {
        FitToText(controls_.back());
    }
}

HWND Form::Control(const std::wstring& name) const {
    auto it = byName_.find(name);
    if (it == byName_.end()) {
        throw std::invalid_argument("no such control");
    }
    return controls_[it->second].hwnd;
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
    ShowWindow(Handle(), SW_SHOWNORMAL);
    UpdateWindow(Handle());
}

void Form::Hide() {
    ShowWindow(Handle(), SW_HIDE);
}

void Form::FitToText(ControlState& control) {
    HDC dc = GetDC(control.hwnd);
    auto font = reinterpret_cast<HFONT>(SendMessageW(control.hwnd, WM_GETFONT, 0, 0));
    HGDIOBJ old = SelectObject(dc, font != nullptr ? font : DefaultFont());
    SIZE size{0, 0};
    GetTextExtentPoint32W(dc, control.text.c_str(), static_cast<int>(control.text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(control.hwnd, dc);
    RECT r;
    GetWindowRect(control.hwnd, &r);
    int height = std::max<int>(r.bottom - r.top, size.cy);
    SetWindowPos(control.hwnd, nullptr, 0, 0, size.cx, height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Form::SetText(const std::wstring& name, const std::wstring& text) {
    auto it = byName_.find(name);
    if (it == byName_.end()) {
        throw std::invalid_argument("no such control");
    }
    ControlState& c = controls_[it->second];
    if (c.text == text) {
        return;  // captions are set for every chunk of a download
    }
    c.text = text;
    if ((c.flags & flag::AutoSize) != 0) {
        // Resize first so the new text never shows clipped or wrapped for a moment.
        FitToText(c);
    }
    SetWindowTextW(c.hwnd, text.c_str());
}

std::wstring Form::Text(const std::wstring& name) const {
    auto it = byName_.find(name);
    if (it == byName_.end()) {
        throw std::invalid_argument("no such control");
    }
    return controls_[it->second].text;
}

void Form::SetWidth(const std::wstring& name, int pixels) {
    HWND control = Control(name);
    RECT r;
    GetWindowRect(control, &r);
    if (r.right - r.left == pixels) {
        return;
    }
    SetWindowPos(control, nullptr, 0, 0, pixels, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Form::ShowMessage(const std::wstring& text, const std::wstring& title, MessageStyle style) {
    HWND owner = IsWindowVisible(Handle()) ? Handle() : nullptr;
    MessageBoxW(owner, text.c_str(), title.empty() ? kAppTitle : title.c_str(),
                MB_OK | static_cast<UINT>(style));
}

LRESULT CALLBACK Form::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* created =
            static_cast<Form*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
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
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        (void)form->window_.release();
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    return form->Dispatch(msg, wParam, lParam);
}

LRESULT Form::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (OnMessage(msg, wParam, lParam, result)) {
        return result;
    }
    switch (msg) {
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_INACTIVE) {
                HWND focus = GetFocus();
                if (focus != nullptr && IsChild(Handle(), focus)) {
                    lastFocus_ = focus;
                }
            } else {
                HWND target = lastFocus_ != nullptr ? lastFocus_ : FirstTabStop();
                if (target != nullptr) {
                    SetFocus(target);
                }
                if (!activated_) {
                    activated_ = true;
                    // Runs once the show has completed and the window is painted.
                    PostMessageW(Handle(), kFirstActivateMessage, 0, 0);
                }
            }
            return 0;
        case kFirstActivateMessage:
            OnFirstActivate();
            return 0;
        case WM_COMMAND: {
            int id = LOWORD(wParam);
            int code = HIWORD(wParam);
            if (id >= kFirstControlId && (code == BN_CLICKED || code == STN_CLICKED)) {
                size_t index = static_cast<size_t>(id - kFirstControlId);
                if (index < controls_.size()) {
                    OnClick(controls_[index].name);
                }
            }
            return 0;  // IDOK and IDCANCEL from the dialog manager are ignored
        }
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
                SetBkColor(reinterpret_cast<HDC>(wParam), c->background);
                return reinterpret_cast<LRESULT>(c->brush.get());
            }
            return DefWindowProcW(Handle(), msg, wParam, lParam);
        }
        case WM_CLOSE:
            return 0;  // no close command: the form's buttons end the program
        default:
            return DefWindowProcW(Handle(), msg, wParam, lParam);
    }
}

}  // namespace vt::win32
