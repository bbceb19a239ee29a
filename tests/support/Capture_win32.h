#pragma once
// Test helpers for real windows: pumping until a condition holds, client-relative rectangles,
// and a picture of a window's client area for review.

#include <windows.h>

#include <functional>
#include <string>

namespace vt::test {

// Pumps messages until `done` holds or `milliseconds` have passed; returns `done()`. `done`
// is asked before the first pass and after every pass, the last one included.
bool PumpUntil(const std::function<bool()>& done, int milliseconds = 3000);
// Handles every message posted to this thread before the call: a marker is posted behind them
// and messages are pumped until it has been taken. False if that did not happen in time.
bool PumpPosted(int milliseconds = 10000);
// A control's rectangle in its parent's client coordinates.
RECT RectInParent(HWND control);
// Writes the client area as a 24-bit BMP into $VT_ARTEFACTS (if set); returns the path or "".
std::wstring SaveClientBitmap(HWND hwnd, const std::wstring& name);
// Colour of one client pixel, as shown.
COLORREF ClientPixel(HWND hwnd, int x, int y);
// Colour of one pixel of a bitmap.
COLORREF BitmapPixel(HBITMAP bitmap, int x, int y);

}  // namespace vt::test
