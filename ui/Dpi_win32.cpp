#include "ui/Dpi_win32.h"

#include <cmath>

namespace vt::win32 {
namespace {

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
    // user32 is loaded in every process with a window; a missing entry point is a nullptr.
    FARPROC proc = GetProcAddress(GetModuleHandleW(L"user32.dll"), name);
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

const DpiFunctions& Functions() {
    static const DpiFunctions functions{
        User32Function<DpiFunctions::GetDpiForWindowFn>("GetDpiForWindow"),
        User32Function<DpiFunctions::AdjustForDpiFn>("AdjustWindowRectExForDpi")};
    return functions;
}

}  // namespace

int TwipsToPixels(int twips, int dpi) {
    return static_cast<int>(
        std::lround(static_cast<double>(twips) * dpi / (kTwipsPerPixel * kDesignDpi)));
}

int ScalePixels(double designPixels, int dpi) {
    return static_cast<int>(std::lround(designPixels * dpi / kDesignDpi));
}

int SystemDpi() {
    HDC screen = GetDC(nullptr);
    if (screen == nullptr) {
        return kDesignDpi;
    }
    int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);  // a screen DC: released or not, nothing is held
    return dpi > 0 ? dpi : kDesignDpi;
}

int WindowDpi(HWND hwnd) {
    if (Functions().getDpiForWindow != nullptr) {
        UINT dpi = Functions().getDpiForWindow(hwnd);
        if (dpi != 0) {
            return static_cast<int>(dpi);
        }
    }
    return SystemDpi();
}

RECT FrameFor(int clientWidth, int clientHeight, DWORD style, int dpi) {
    RECT r{0, 0, clientWidth, clientHeight};
    BOOL adjusted = FALSE;
    if (Functions().adjustWindowRectExForDpi != nullptr) {
        adjusted =
            Functions().adjustWindowRectExForDpi(&r, style, FALSE, 0, static_cast<UINT>(dpi));
    }
    if (!adjusted) {
        adjusted = AdjustWindowRectEx(&r, style, FALSE, 0);
    }
    if (!adjusted) {
        // The client size alone; the form corrects the frame from the client area it gets.
        r = RECT{0, 0, clientWidth, clientHeight};
    }
    return r;
}

HFONT CreateUiFont(int dpi) {
    LOGFONTW font{};
    if (GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof(font), &font) == 0) {
        return nullptr;
    }
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

}  // namespace vt::win32
