#include "tests/support/Capture_win32.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "ui/MessageLoop_win32.h"

namespace vt::test {

bool PumpUntil(const std::function<bool()>& done, int milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
    // Never given up before one pass: a thread held up past the deadline still looks once.
    for (bool pumped = false;; pumped = true) {
        if (done()) {
            return true;
        }
        if (pumped && GetTickCount64() > deadline) {
            return false;
        }
        win32::DoEvents();
        // Back at once for a new message, else after a short while to ask again.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

bool PumpPosted(int milliseconds) {
    // Posted messages, to the thread or to its windows, come out of the queue in order.
    constexpr UINT kMarker = WM_APP + 0x3FF0;
    if (!PostThreadMessageW(GetCurrentThreadId(), kMarker, 0, 0)) {
        return false;
    }
    return PumpUntil(
        [] {
            MSG msg;
            return !PeekMessageW(&msg, nullptr, kMarker, kMarker, PM_NOREMOVE);
        },
        milliseconds);
}

RECT RectInParent(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

COLORREF ClientPixel(HWND hwnd, int x, int y) {
    // From the screen, so child controls are included.
    POINT p{x, y};
    ClientToScreen(hwnd, &p);
    HDC dc = GetDC(nullptr);
    COLORREF c = GetPixel(dc, p.x, p.y);
    ReleaseDC(nullptr, dc);
    return c;
}

COLORREF BitmapPixel(HBITMAP bitmap, int x, int y) {
    BITMAP info{};
    GetObjectW(bitmap, sizeof(info), &info);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = info.bmWidth;
    bi.bmiHeader.biHeight = -info.bmHeight;  // top-down: row y is scan line y
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    std::vector<RGBQUAD> pixels(static_cast<size_t>(info.bmWidth) *
                                static_cast<size_t>(info.bmHeight));
    HDC screen = GetDC(nullptr);
    GetDIBits(screen, bitmap, 0, static_cast<UINT>(info.bmHeight), pixels.data(), &bi,
              DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    const RGBQUAD& p = pixels.at(static_cast<size_t>(y) * static_cast<size_t>(info.bmWidth) +
                                 static_cast<size_t>(x));
    return RGB(p.rgbRed, p.rgbGreen, p.rgbBlue);
}

std::wstring SaveClientBitmap(HWND hwnd, const std::wstring& name) {
    const wchar_t* dir = _wgetenv(L"VT_ARTEFACTS");
    if (dir == nullptr || *dir == 0) {
        return {};
    }
    std::wstring path = dir;
    if (path[0] == L'/') {
        path = L"Z:" + path;  // a Linux path handed in by the test runner
    }
    path += L"\\" + name;
    RECT r;
    GetClientRect(hwnd, &r);
    int w = r.right;
    int h = r.bottom;
    POINT origin{0, 0};
    ClientToScreen(hwnd, &origin);
    HDC dc = GetDC(nullptr);  // the screen, so child controls are included
    HDC mem = CreateCompatibleDC(dc);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, h, dc, origin.x, origin.y, SRCCOPY);
    GdiFlush();
    uint32_t stride = (static_cast<uint32_t>(w) * 3 + 3) & ~3u;
    uint32_t size = stride * static_cast<uint32_t>(h);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info.bmiHeader);
    file.bfSize = file.bfOffBits + size;
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof(file));
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof(info.bmiHeader));
    out.write(static_cast<const char*>(bits), size);
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, dc);
    return out ? path : std::wstring{};
}

}  // namespace vt::test
