#include "ui/Bitmap_win32.h"

#include <cstddef>
#include <optional>
#include <utility>

#include "res/resource.h"
#include "ui/Resample.h"

namespace vt::win32 {
namespace {

UniqueGdi<HBITMAP> LoadBitmapResource(int id) {
    return UniqueGdi<HBITMAP>(static_cast<HBITMAP>(LoadImageW(
        GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR)));
}

std::optional<SIZE> BitmapSize(HBITMAP bitmap) {
    BITMAP info{};
    if (GetObjectW(bitmap, sizeof(info), &info) == 0) {
        return std::nullopt;
    }
    return SIZE{info.bmWidth, info.bmHeight};
}

BITMAPINFO TopDown(int width, int height, WORD bits) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = bits;
    bi.bmiHeader.biCompression = BI_RGB;
    return bi;
}

std::optional<Picture> ReadPixels(HBITMAP bitmap, SIZE size) {
    BITMAPINFO bi = TopDown(size.cx, size.cy, 32);
    std::vector<RGBQUAD> quads(static_cast<size_t>(size.cx) * static_cast<size_t>(size.cy));
    HDC screen = GetDC(nullptr);
    if (screen == nullptr) {
        return std::nullopt;
    }
    int rows =
        GetDIBits(screen, bitmap, 0, static_cast<UINT>(size.cy), quads.data(), &bi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);  // a screen DC: released or not, nothing is held
    if (rows != size.cy) {
        return std::nullopt;
    }
    Picture picture{size.cx, size.cy, {}};
    picture.pixels.reserve(quads.size());
    for (const RGBQUAD& q : quads) {
        picture.pixels.push_back(Pixel{q.rgbBlue, q.rgbGreen, q.rgbRed});
    }
    return picture;
}

// A 24-bit bitmap of the picture. 24 bits, so a static control shows this very bitmap (it
// copies one with alpha) and the form stays its only owner.
UniqueGdi<HBITMAP> MakeBitmap(const Picture& picture) {
    BITMAPINFO bi = TopDown(picture.width, picture.height, 24);
    void* bits = nullptr;
    UniqueGdi<HBITMAP> result(CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (result == nullptr) {
        return nullptr;
    }
    size_t stride = (static_cast<size_t>(picture.width) * 3 + 3) & ~static_cast<size_t>(3);
    auto* dest = static_cast<BYTE*>(bits);
    for (int y = 0; y < picture.height; ++y) {
        BYTE* row = dest + static_cast<size_t>(y) * stride;
        for (int x = 0; x < picture.width; ++x) {
            const Pixel& p =
                picture.pixels[static_cast<size_t>(y) * static_cast<size_t>(picture.width) +
                               static_cast<size_t>(x)];
            row[3 * x] = p.blue;
            row[3 * x + 1] = p.green;
            row[3 * x + 2] = p.red;
        }
    }
    GdiFlush();  // only batches drawing calls, of which there are none here
    return result;
}

}  // namespace

UniqueGdi<HBITMAP> PictureFor(int id, int width, int height) {
    UniqueGdi<HBITMAP> picture = LoadBitmapResource(id);
    std::optional<SIZE> size = picture != nullptr ? BitmapSize(picture.get()) : std::nullopt;
    if (!size) {
        return nullptr;
    }
    if (size->cx < width || size->cy < height) {
        UniqueGdi<HBITMAP> twice = LoadBitmapResource(id + IDB_DOUBLE_SIZE_OFFSET);
        std::optional<SIZE> twiceSize = twice != nullptr ? BitmapSize(twice.get()) : std::nullopt;
        if (twiceSize) {
            picture = std::move(twice);
            size = twiceSize;
        }
    }
    if (size->cx == width && size->cy == height) {
        return picture;
    }
    std::optional<Picture> pixels = ReadPixels(picture.get(), *size);
    UniqueGdi<HBITMAP> resampled =
        pixels ? MakeBitmap(Resample(*pixels, width, height)) : UniqueGdi<HBITMAP>();
    // A picture that cannot be resampled is shown as it is, clipped or with a margin.
    return resampled != nullptr ? std::move(resampled) : std::move(picture);
}

}  // namespace vt::win32
