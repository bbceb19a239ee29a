#pragma once
// What a cache, a CDN or a mirror may serve for ever: every payload and manifest once under the
// name of its SHA-256 (so a name never changes its bytes), and the profile in one signed file
// that no cache can split into a signature of one publish and a profile of another.

#include <cstdint>
#include <string>

#include "base/Crypto.h"

namespace vt::format {

// Below autopatch/.
inline constexpr char kObjectsFolder[] = "objects";
inline constexpr char kSignedProfileName[] = "vtgame.signed";  // signature, then the profile
inline constexpr char kProfilesFolder[] = "profiles";          // <serial>.signed, one a publish

// "objects/<first 2 hex digits>/<64 hex digits>", lower-case: plain ASCII, so every server and
// cache maps the request to the same file.
std::string ObjectPath(const Sha256Digest& digest);
// "profiles/<serial>.signed".
std::string ArchivedProfilePath(uint64_t serial);

}  // namespace vt::format
