#pragma once
// Pins of a signed patch: the profile's [publish] section pins vt.exe and each set's manifest
// by their path below autopatch/; each manifest's [<section>.pins] pins its entries.

#include <optional>
#include <string>

#include "format/Pin.h"

namespace vt {

// `key` of [publish] in the server's profile staged in TempDir ("vt.exe",
// "resource/sound/vtsound.ini"); nothing when absent or malformed.
std::optional<Pin> PublishedPin(const std::wstring& key);
// The bytes of the file at `path` when it has the pinned size and SHA-256 (a small file: read
// whole, and only once its size matches); nothing otherwise.
std::optional<std::string> ReadPinnedFile(const std::wstring& path, const Pin& pin);
// Where a keyed launcher fetches the pinned file: its object at the built-in host
// (PatchBaseUrl + "objects/<2 hex>/<sha256>"), a name no publish ever gives other bytes.
std::wstring ObjectUrl(const Pin& pin);

}  // namespace vt
