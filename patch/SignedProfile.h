#pragma once
// The decisions on a signed patch profile: its signature, its expiry and its serial against
// the last one this installation accepted (kept as [publish] serial= in the local vtgame.ini).

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "patch/PatchKey.h"

namespace vt {

// "YYYY-MM-DDTHH:MM:SSZ" exactly, a real date and time of day (UTC), as seconds since
// 1970-01-01; nothing for any other text.
std::optional<int64_t> ParseExpiry(std::string_view text);
// Decimal digits that fit 64 bits; anything else (absent included) counts as serial 0.
uint64_t ParseSerial(std::string_view text);

enum class ProfileVerdict { Accepted, BadSignature, Expired, Older };

struct SignedProfile {
    std::span<const std::byte> bytes;         // vtgame.ini exactly as received
    std::span<const std::byte> signature;     // vtgame.ini.sig
    std::optional<std::string_view> expires;  // nothing when the profile has no expires key
    std::string_view serial;
};

// Signature first: nothing else of an unsigned profile is believed. Then expiry (a malformed
// one refuses, and a profile is expired from its expires second on), then the serial: an equal
// one is the same publish again, a lower one an older patch.
ProfileVerdict JudgeProfile(const SignedProfile& profile, const PatchPublicKey& key, int64_t nowUtc,
                            uint64_t lastSerial);

}  // namespace vt
