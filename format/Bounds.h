#pragma once
// How many bytes each file the launcher fetches whole may have, known before a byte of it is
// read: an answer that announces more is refused before anything is written, so a server (or
// whoever stands between it and the launcher) cannot fill the disk or the memory with it.

#include <cstdint>
#include <string>
#include <utility>

#include "format/Sets.h"

namespace vt::format {

// r then s of ECDSA P-256, 32 bytes each.
inline constexpr uint64_t kSignatureBytes = 64;
// vtgame.ini: a few dozen lines; a megabyte is far beyond any publish.
inline constexpr uint64_t kProfileMostBytes = 1024 * 1024;
// A manifest without a pin (an unsigned patch). Its longest lines are a listing line
// ("32766=" and a value of kMaxEntryBytes, CR LF: 1,031 bytes) and a pin line (a name of 1,006
// bytes, "=", a size of up to 20 digits, ",", 64 hex digits, CR LF: 1,094 bytes). 4 KiB per entry
// is about twice their sum and leaves room for comments, blank lines and keys nobody reads:
// 134,209,536 bytes (128 MiB less 8 KiB).
inline constexpr uint64_t kManifestMostBytes = static_cast<uint64_t>(kMaxEntries) * 4096;

}  // namespace vt::format

namespace vt {

// What the plain download (profiles, signature, manifests) may receive.
struct SizeBound {
    uint64_t most = 0;  // bytes
    // `most` is a pin's size: any other length is not the published file.
    bool pinned = false;
    // The installation-relative name a pinned file is refused under.
    std::wstring shownName;

    static SizeBound AtMost(uint64_t bytes) { return {bytes, false, {}}; }
    static SizeBound Pinned(uint64_t size, std::wstring shown) {
        return {size, true, std::move(shown)};
    }
};

}  // namespace vt
