#pragma once
// The pointer, launcher\current.ini: which versioned launcher is in use (current), which one to
// put back when it fails (previous) and the serials that failed, never tried again. It is
// replaced whole in one rename, so a reader finds the old pointer or the new one.
//
//   [current]
//   serial=2
//   size=1310720
//   sha256=<64 hex>
//   game=<the profile's [game] game, bytes>
//   [previous]
//   serial=                       empty serial, size and sha256: the starter itself
//   size=
//   sha256=
//   game=1
//   [failed]
//   serials=3 4

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "selfupdate/SwapFs.h"

namespace vt::selfupdate {

// A launcher the pointer names. Size 0: the starter, vtlauncher.exe, which has no versioned file
// (read back with serial 0).
struct LauncherRef {
    uint64_t serial = 0;
    FileIdentity identity;
    std::string game;
    bool operator==(const LauncherRef&) const = default;
    bool IsStarter() const { return identity.size == 0; }
};

struct Pointer {
    LauncherRef current;
    LauncherRef previous;  // serial 0: none
    std::vector<uint64_t> failed;
    bool operator==(const Pointer&) const = default;
    bool Failed(uint64_t serial) const;
    bool HasPrevious() const { return previous.serial != 0; }
};

std::string PointerText(const Pointer& pointer);
// Nothing when a line is not of its form, a number does not read or a game holds a line break.
std::optional<Pointer> ReadPointer(std::string_view text);

}  // namespace vt::selfupdate
