// The form's half that takes messages: the window classes, and the dispatch of what the
// form's window and its panels receive to the form and its controls' events.
#include "ui/Form_win32.h"

#include <commctrl.h>

#include <stdexcept>

#include "base/Log_win32.h"
#include "ui/FormClasses_win32.h"

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace vt::win32 {
namespace {

constexpr UINT kFirstActivateMessage = WM_APP + 1;

ATOM formClass = 0;

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
    c.hInstance = GetModuleHandleW(nullptr);
    c.hCursor = LoadCursorW(nullptr, IDC_ARROW);  // nullptr: the parent's cursor, no harm
    c.hbrBackground = background;
    c.lpszClassName = name;
    ATOM atom = RegisterClassExW(&c);
    if (atom == 0) {
        throw std::runtime_error("RegisterClassEx failed");
    }
    return atom;
}

}  // namespace

void RegisterFormClasses(WNDPROC formProc) {
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

ATOM FormClassAtom() {
    return formClass;
}

Form* Form::FromHandle(HWND hwnd) {
    if (hwnd == nullptr || formClass == 0 ||
        GetClassLongPtrW(hwnd, GCW_ATOM) != static_cast<ULONG_PTR>(formClass)) {
        return nullptr;
    }
    return reinterpret_cast<Form*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
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
