#include "ui/Form_win32.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "res/resource.h"

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

// The DPI of the screen as the process started: the stock fonts are made for it.
int SystemDpi() {
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : kDesignDpi;
}

// The entry points of later Windows versions, where the system has them (the program targets
// Windows 7, which has neither).
struct DpiFunctions {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    using AdjustForDpiFn = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
    GetDpiForWindowFn getDpiForWindow = nullptr;
    AdjustForDpiFn adjustWindowRectExForDpi = nullptr;
};

template <typename Fn>
Fn User32Function(const char* name) {
    FARPROC proc = GetProcAddress(GetModuleHandleW(L"user32.dll"), name);
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

const DpiFunctions& Dpi() {
    static const DpiFunctions functions{
        User32Function<DpiFunctions::GetDpiForWindowFn>("GetDpiForWindow"),
        User32Function<DpiFunctions::AdjustForDpiFn>("AdjustWindowRectExForDpi")};
    return functions;
}

RECT FrameFor(int clientWidth, int clientHeight, int dpi) {
    RECT r{0, 0, clientWidth, clientHeight};
    if (Dpi().adjustWindowRectExForDpi != nullptr) {
        Dpi().adjustWindowRectExForDpi(&r, kFormStyle, FALSE, 0, static_cast<UINT>(dpi));
    } else {
        AdjustWindowRectEx(&r, kFormStyle, FALSE, 0);
    }
    return r;
}

// The dialog font of the system, at dpi.
HFONT CreateUiFont(int dpi) {
    LOGFONTW font{};
    GetObjectW(DefaultFont(), sizeof(font), &font);
    font.lfHeight = MulDiv(font.lfHeight, dpi, SystemDpi());
    font.lfWidth = MulDiv(font.lfWidth, dpi, SystemDpi());
    return CreateFontIndirectW(&font);
}

HFONT CreateGulim(int dpi) {
    int height = -static_cast<int>(std::lround(8.25 * dpi / 72.0));
    return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, HANGUL_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, L"굴림");
}

// Source pixels covering each target pixel and their share of it: an area-average (box)
// filter, which keeps a downscaled picture sharp and never rings.
std::vector<std::vector<std::pair<int, double>>> CoverWeights(int from, int to) {
    std::vector<std::vector<std::pair<int, double>>> weights(static_cast<size_t>(to));
    double scale = static_cast<double>(from) / to;
    for (int d = 0; d < to; ++d) {
        double begin = d * scale;
        double end = (d + 1) * scale;
        for (int s = static_cast<int>(std::floor(begin)); s < from && s < end; ++s) {
            double overlap = std::min(end, s + 1.0) - std::max(begin, static_cast<double>(s));
            if (overlap > 0) {
                weights[static_cast<size_t>(d)].emplace_back(s, overlap / scale);
            }
        }
    }
    return weights;
}

// A 24-bit copy of `source` at width x height. 24 bits, so a static control shows this very
// bitmap (it copies one with alpha) and the form stays its only owner.
UniqueGdi<HBITMAP> Resample(HBITMAP source, int width, int height) {
    BITMAP info{};
    GetObjectW(source, sizeof(info), &info);
    int sw = info.bmWidth;
    int sh = info.bmHeight;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = sw;
    bi.bmiHeader.biHeight = -sh;  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    std::vector<RGBQUAD> pixels(static_cast<size_t>(sw) * static_cast<size_t>(sh));
    HDC screen = GetDC(nullptr);
    int rows =
        GetDIBits(screen, source, 0, static_cast<UINT>(sh), pixels.data(), &bi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    if (rows != sh) {
        return nullptr;
    }
    auto across = CoverWeights(sw, width);
    auto down = CoverWeights(sh, height);
    // Across first, into rows of the new width, then down.
    std::vector<double> wide(static_cast<size_t>(width) * static_cast<size_t>(sh) * 3, 0.0);
    for (int y = 0; y < sh; ++y) {
        for (int x = 0; x < width; ++x) {
            double* out = &wide[(static_cast<size_t>(y) * width + x) * 3];
            for (auto [s, w] : across[static_cast<size_t>(x)]) {
                const RGBQUAD& p = pixels[static_cast<size_t>(y) * sw + s];
                out[0] += w * p.rgbBlue;
                out[1] += w * p.rgbGreen;
                out[2] += w * p.rgbRed;
            }
        }
    }
    BITMAPINFO target{};
    target.bmiHeader = bi.bmiHeader;
    target.bmiHeader.biWidth = width;
    target.bmiHeader.biHeight = -height;
    target.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    UniqueGdi<HBITMAP> result(
        CreateDIBSection(nullptr, &target, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (result == nullptr) {
        return nullptr;
    }
    size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3);
    auto* dest = static_cast<BYTE*>(bits);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double sum[3] = {0, 0, 0};
            for (auto [s, w] : down[static_cast<size_t>(y)]) {
                const double* in = &wide[(static_cast<size_t>(s) * width + x) * 3];
                for (int c = 0; c < 3; ++c) {
                    sum[c] += w * in[c];
                }
            }
            for (int c = 0; c < 3; ++c) {
                dest[static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 3 +
                     static_cast<size_t>(c)] =
                    static_cast<BYTE>(std::clamp(std::lround(sum[c]), 0L, 255L));
            }
        }
    }
    GdiFlush();
    return result;
}

UniqueGdi<HBITMAP> LoadBitmapResource(int id) {
    return UniqueGdi<HBITMAP>(static_cast<HBITMAP>(
        LoadImageW(Instance(), MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR)));
}

SIZE BitmapSize(HBITMAP bitmap) {
    BITMAP info{};
    GetObjectW(bitmap, sizeof(info), &info);
    return SIZE{info.bmWidth, info.bmHeight};
}

// The picture for a width x height box: each picture is drawn for 96 DPI (id) and for 192
// (id + IDB_DOUBLE_SIZE_OFFSET). The smallest one at least as large is taken, so up to 200 % a
// picture is only ever reduced; at its own size it is shown as drawn, at any other resampled.
UniqueGdi<HBITMAP> PictureFor(int id, int width, int height) {
    UniqueGdi<HBITMAP> picture = LoadBitmapResource(id);
    if (picture == nullptr) {
        return nullptr;
    }
    SIZE size = BitmapSize(picture.get());
    if (size.cx < width || size.cy < height) {
        UniqueGdi<HBITMAP> twice = LoadBitmapResource(id + IDB_DOUBLE_SIZE_OFFSET);
        if (twice != nullptr) {
            picture = std::move(twice);
            size = BitmapSize(picture.get());
        }
    }
    if (size.cx == width && size.cy == height) {
        return picture;
    }
    UniqueGdi<HBITMAP> resampled = Resample(picture.get(), width, height);
    return resampled != nullptr ? std::move(resampled) : std::move(picture);
}

}  // namespace

int TwipsToPixels(int twips, int dpi) {
    return static_cast<int>(
        std::lround(static_cast<double>(twips) * dpi / (kTwipsPerPixel * kDesignDpi)));
}

int ScalePixels(double designPixels, int dpi) {
    return static_cast<int>(std::lround(designPixels * dpi / kDesignDpi));
}

int WindowDpi(HWND hwnd) {
    if (Dpi().getDpiForWindow != nullptr) {
        UINT dpi = Dpi().getDpiForWindow(hwnd);
        if (dpi != 0) {
            return static_cast<int>(dpi);
        }
    }
    return SystemDpi();
}

Form::Form(const FormLayout& layout, std::span<const ControlRow> controls) : layout_(layout) {
    RegisterClasses(&Form::WndProc);
    // Made at the size for the system's DPI, then sized again for the DPI of the monitor it
    // is on, which is known only once there is a window.
    dpi_ = SystemDpi();
    RECT r = FrameFor(Px(layout.clientWidth), Px(layout.clientHeight), dpi_);
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
    // A label goes right before the control it names (after any other label of that control).
    // Labels never take the focus, so the tab order stays as it was.
    std::vector<const ControlRow*> labels;
    std::erase_if(order, [&](const ControlRow* c) {
        bool isLabel = c->labelFor != nullptr;
        if (isLabel) {
            labels.push_back(c);
        }
        return isLabel;
    });
    for (const ControlRow* label : labels) {
        auto target = std::find_if(order.begin(), order.end(), [&](const ControlRow* c) {
            return std::wstring_view(c->name) == label->labelFor;
        });
        if (target == order.end()) {
            throw std::invalid_argument("a label names no control of the form");
        }
        order.insert(target, label);
    }

    uiFont_.reset(CreateUiFont(dpi_));
    gulim_.reset(CreateGulim(dpi_));
    ApplyDpi();  // the icons; each control takes its font and picture as it is made
    controls_.reserve(order.size());
    for (const ControlRow* c : order) {
        CreateControl(*c);
    }
}

void Form::PlaceWindow() {
    int clientWidth = Px(layout_.clientWidth);
    int clientHeight = Px(layout_.clientHeight);
    RECT r = FrameFor(clientWidth, clientHeight, dpi_);
    int width = r.right - r.left;
    int height = r.bottom - r.top;
    int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    SetWindowPos(Handle(), nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    // Whatever the frame turned out to be, the client area is exact.
    RECT client;
    GetClientRect(Handle(), &client);
    int dw = clientWidth - client.right;
    int dh = clientHeight - client.bottom;
    if (dw != 0 || dh != 0) {
        SetWindowPos(Handle(), nullptr, x - dw / 2, y - dh / 2, width + dw, height + dh,
                     SWP_NOZORDER | SWP_NOACTIVATE);
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
    control.layout = layout;
    control.text = layout.caption != nullptr ? layout.caption : L"";
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
    // The window text of a control that shows none is its name for a screen reader.
    control.hwnd = CreateWindowExW(exStyle, className, control.text.c_str(), style, Px(layout.left),
                                   Px(layout.top), Px(layout.width), Px(layout.height), parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)),
                                   Instance(), nullptr);
    if (control.hwnd == nullptr) {
        throw std::runtime_error("CreateWindowEx failed for a control");
    }
    SendMessageW(control.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(control)), FALSE);
    if (layout.kind == ControlKind::Panel && control.brush != nullptr) {
        SetWindowLongPtrW(control.hwnd, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(control.brush.get()));
    }
    byName_[control.name] = controls_.size();
    controls_.push_back(std::move(control));
    ShowPicture(controls_.back());
    if ((layout.flags & flag::AutoSize) != 0) {
        FitToText(controls_.back());
    }
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
        return;
    }
    SendMessageW(control.hwnd, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture.get()));
    control.bitmap = std::move(picture);  // the one shown before is no longer in use
    // Setting a picture sizes the control to it; the table decides.
    PlaceControl(control);
}

void Form::PlaceControl(ControlState& control) {
    const ControlRow& row = control.layout;
    int width = control.designWidth >= 0 ? ScalePixels(control.designWidth, dpi_) : Px(row.width);
    SetWindowPos(control.hwnd, nullptr, Px(row.left), Px(row.top), width, Px(row.height),
                 SWP_NOZORDER | SWP_NOACTIVATE);
    if ((row.flags & flag::AutoSize) != 0) {
        FitToText(control);
    }
}

void Form::ApplyDpi() {
    if (layout_.iconId != 0) {
        auto loadIcon = [&](int size) {
            int pixels = ScalePixels(size, dpi_);
            return UniqueIcon(static_cast<HICON>(LoadImageW(
                Instance(), MAKEINTRESOURCEW(layout_.iconId), IMAGE_ICON, pixels, pixels, 0)));
        };
        UniqueIcon big = loadIcon(32);
        UniqueIcon small = loadIcon(16);
        SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big.get()));
        SendMessageW(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small.get()));
        bigIcon_ = std::move(big);
        smallIcon_ = std::move(small);
    }
    for (auto& c : controls_) {
        SendMessageW(c.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(c)), FALSE);
        PlaceControl(c);
        ShowPicture(c);
    }
}

void Form::HandleDpiChanged(int dpi, const RECT& suggested) {
    dpi_ = dpi;
    SetWindowPos(Handle(), nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    // The suggestion scales the old client area; the table, rounded at the new DPI, may
    // differ from it by a pixel.
    RECT client;
    GetClientRect(Handle(), &client);
    int dw = Px(layout_.clientWidth) - client.right;
    int dh = Px(layout_.clientHeight) - client.bottom;
    if (dw != 0 || dh != 0) {
        SetWindowPos(Handle(), nullptr, 0, 0, suggested.right - suggested.left + dw,
                     suggested.bottom - suggested.top + dh,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    // New fonts first, the old ones go once no control uses them.
    UniqueGdi<HFONT> oldUi = std::exchange(uiFont_, UniqueGdi<HFONT>(CreateUiFont(dpi_)));
    UniqueGdi<HFONT> oldGulim = std::exchange(gulim_, UniqueGdi<HFONT>(CreateGulim(dpi_)));
    ApplyDpi();
    OnDpiChanged(dpi_);
    RedrawWindow(Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
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
    // The focus is always drawn, also before the first key: a window opened by the mouse
    // would otherwise hide it until Tab is pressed.
    SendMessageW(Handle(), WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
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
    if ((c.layout.flags & flag::AutoSize) != 0) {
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

void Form::SetWidth(const std::wstring& name, double designPixels) {
    auto it = byName_.find(name);
    if (it == byName_.end()) {
        throw std::invalid_argument("no such control");
    }
    ControlState& c = controls_[it->second];
    c.designWidth = designPixels;
    int pixels = ScalePixels(designPixels, dpi_);
    RECT r;
    GetWindowRect(c.hwnd, &r);
    if (r.right - r.left == pixels) {
        return;
    }
    SetWindowPos(c.hwnd, nullptr, 0, 0, pixels, r.bottom - r.top,
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
