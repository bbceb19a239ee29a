#pragma once
// Owners of Windows handles: one deleter per kind of handle, each a std::unique_ptr over the
// handle's own type, so a handle is closed exactly once on every path out of its scope.

// Order matters: winsock2 before windows, iphlpapi before icmpapi.
#include <winsock2.h>

#include <windows.h>

#include <iphlpapi.h>

#include <bcrypt.h>
#include <icmpapi.h>
#include <wininet.h>

#include <memory>
#include <string>
#include <type_traits>

namespace vt::win32 {

template <typename Handle, typename Close>
using UniqueOf = std::unique_ptr<std::remove_pointer_t<Handle>, Close>;

// Kernel objects: files, events, threads. CreateFileW fails with INVALID_HANDLE_VALUE.
struct KernelHandleCloser {
    using pointer = HANDLE;
    void operator()(HANDLE h) const noexcept {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
};
using UniqueHandle = UniqueOf<HANDLE, KernelHandleCloser>;

struct FindCloser {
    using pointer = HANDLE;
    void operator()(HANDLE h) const noexcept {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) {
            FindClose(h);
        }
    }
};
using UniqueFind = UniqueOf<HANDLE, FindCloser>;

struct InternetCloser {
    using pointer = HINTERNET;
    void operator()(HINTERNET h) const noexcept { InternetCloseHandle(h); }
};
using UniqueInternet = UniqueOf<HINTERNET, InternetCloser>;

struct IcmpCloser {
    using pointer = HANDLE;
    void operator()(HANDLE h) const noexcept {
        if (h != INVALID_HANDLE_VALUE) {
            IcmpCloseHandle(h);
        }
    }
};
using UniqueIcmp = UniqueOf<HANDLE, IcmpCloser>;

// Fonts, brushes and bitmaps.
struct GdiObjectDeleter {
    void operator()(HGDIOBJ h) const noexcept { DeleteObject(h); }
};
template <typename Gdi>
using UniqueGdi = std::unique_ptr<std::remove_pointer_t<Gdi>, GdiObjectDeleter>;

// Icons loaded without LR_SHARED.
struct IconDestroyer {
    using pointer = HICON;
    void operator()(HICON h) const noexcept { DestroyIcon(h); }
};
using UniqueIcon = UniqueOf<HICON, IconDestroyer>;

// A view of a file mapping.
struct ViewUnmapper {
    void operator()(void* view) const noexcept { UnmapViewOfFile(view); }
};
using UniqueView = std::unique_ptr<void, ViewUnmapper>;

// CNG: algorithm providers, hash objects and keys.
struct AlgorithmCloser {
    using pointer = BCRYPT_ALG_HANDLE;
    void operator()(BCRYPT_ALG_HANDLE h) const noexcept { BCryptCloseAlgorithmProvider(h, 0); }
};
using UniqueAlgorithm = UniqueOf<BCRYPT_ALG_HANDLE, AlgorithmCloser>;

struct HashDestroyer {
    using pointer = BCRYPT_HASH_HANDLE;
    void operator()(BCRYPT_HASH_HANDLE h) const noexcept { BCryptDestroyHash(h); }
};
using UniqueHash = UniqueOf<BCRYPT_HASH_HANDLE, HashDestroyer>;

struct KeyDestroyer {
    using pointer = BCRYPT_KEY_HANDLE;
    void operator()(BCRYPT_KEY_HANDLE h) const noexcept { BCryptDestroyKey(h); }
};
using UniqueKey = UniqueOf<BCRYPT_KEY_HANDLE, KeyDestroyer>;

// The path the system resolves the handle's file to; empty when it cannot tell.
inline std::wstring FinalPath(HANDLE handle) {
    std::wstring out(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetFinalPathNameByHandleW(handle, out.data(), static_cast<DWORD>(out.size()),
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) {
            return {};
        }
        if (n < out.size()) {
            out.resize(n);
            return out;
        }
        out.resize(n);  // n counts the terminator when the buffer is short
    }
}

}  // namespace vt::win32
