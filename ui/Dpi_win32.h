#pragma once
// Design units and DPI: a layout is drawn in twips (15 per pixel at 96 DPI) and shown at the
// DPI of its window, with fonts and a frame made for that DPI.

#include <windows.h>

namespace vt::win32 {

inline constexpr int kTwipsPerPixel = 15;
inline constexpr int kDesignDpi = 96;  // the DPI at which a pixel is 15 twips

int TwipsToPixels(int twips, int dpi);
// Pixels at kDesignDpi to pixels at dpi, rounded.
int ScalePixels(double designPixels, int dpi);
// The DPI of the screen as the process started: the stock fonts are made for it.
int SystemDpi();
// The DPI a window is shown at: GetDpiForWindow where Windows has it, else the screen's.
int WindowDpi(HWND hwnd);
// The window rectangle (relative to the client's origin) of a client area at dpi.
RECT FrameFor(int clientWidth, int clientHeight, DWORD style, int dpi);

// The dialog font of the system, at dpi; nullptr when it cannot be made.
HFONT CreateUiFont(int dpi);
// "굴림" 8.25 pt, Hangul character set, at dpi; nullptr when it cannot be made.
HFONT CreateGulim(int dpi);

}  // namespace vt::win32
