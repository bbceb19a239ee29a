#pragma once
// The decisions on a signed patch profile: its signature, its expiry and its serial against
// the last profile this installation accepted (kept as [publish] serial= and sha256= in the
// local vtgame.ini).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "format/Expiry.h"
#include "patch/PatchKey.h"

namespace vt {

using format::ParseExpiry;

enum class ProfileVerdict {
    Accepted,
    BadSignature,
    Expired,
    Older,
    BadSerial,  // past the largest serial a publisher may sign
    Replaced,   // the serial last accepted, with other bytes: an older publish replayed
};

// The profile this installation accepted last; serial 0 and no hash when none (or when what
// was kept could not be read).
struct LastAccepted {
    uint64_t serial = 0;
    std::optional<Sha256Digest> sha256;
};

struct SignedProfile {
    std::span<const std::byte> bytes;         // vtgame.ini exactly as received
    std::span<const std::byte> signature;     // vtgame.ini.sig
    std::optional<std::string_view> expires;  // nothing when the profile has no expires key
    std::string_view serial;  // absent or malformed counts as 0, a profile from before serials
};

// Signature first: nothing else of an unsigned profile is believed. Then expiry (a malformed
// one refuses, and a profile is expired from its expires second on), then the serial: a lower
// one is an older patch, an equal one the same publish again, unless its bytes differ from
// the profile accepted under it.
ProfileVerdict JudgeProfile(const SignedProfile& profile, const PatchPublicKey& key, int64_t nowUtc,
                            const LastAccepted& last);

// The serial a profile counts as: its number, 0 when absent or malformed.
uint64_t SerialOf(std::string_view text);

}  // namespace vt
