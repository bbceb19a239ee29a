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

// The deleter of a kind of handle: Close on every handle that names an object (CreateFileW and
// a few others fail with INVALID_HANDLE_VALUE instead of nullptr). A deleter cannot report: a
// close that fails has nothing left to release, so its result is dropped on purpose.
template <typename Handle, auto Close>
struct Closer {
    using pointer = Handle;
    void operator()(Handle h) const noexcept {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) {
            Close(h);
        }
    }
};

inline NTSTATUS CloseAlgorithm(BCRYPT_ALG_HANDLE h) {
    return BCryptCloseAlgorithmProvider(h, 0);
}

// Kernel objects: files, events, threads.
using UniqueHandle = UniqueOf<HANDLE, Closer<HANDLE, &CloseHandle>>;
using UniqueFind = UniqueOf<HANDLE, Closer<HANDLE, &FindClose>>;
using UniqueInternet = UniqueOf<HINTERNET, Closer<HINTERNET, &InternetCloseHandle>>;
using UniqueIcmp = UniqueOf<HANDLE, Closer<HANDLE, &IcmpCloseHandle>>;
// Fonts, brushes and bitmaps.
template <typename Gdi>
using UniqueGdi = UniqueOf<Gdi, Closer<Gdi, &DeleteObject>>;
// Icons loaded without LR_SHARED.
using UniqueIcon = UniqueOf<HICON, Closer<HICON, &DestroyIcon>>;
// A view of a file mapping.
using UniqueView = UniqueOf<void*, Closer<void*, &UnmapViewOfFile>>;
// CNG: algorithm providers, hash objects and keys.
using UniqueAlgorithm = UniqueOf<BCRYPT_ALG_HANDLE, Closer<BCRYPT_ALG_HANDLE, &CloseAlgorithm>>;
using UniqueHash = UniqueOf<BCRYPT_HASH_HANDLE, Closer<BCRYPT_HASH_HANDLE, &BCryptDestroyHash>>;
using UniqueKey = UniqueOf<BCRYPT_KEY_HANDLE, Closer<BCRYPT_KEY_HANDLE, &BCryptDestroyKey>>;

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
