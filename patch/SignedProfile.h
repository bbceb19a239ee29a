#pragma once
// The decisions on a signed patch profile: its signature, its expiry and its serial against
// the last profile this installation accepted (kept as [publish] serial= and sha256= in the
// local vtgame.ini).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "format/Expiry.h"
#include "format/KeyChain.h"
#include "format/KeyList.h"
#include "patch/PatchKey.h"

namespace vt {

using format::ParseExpiry;

enum class ProfileVerdict {
    Accepted,
    BadSignature,
    Expired,
    Older,
    BadSerial,      // past the largest serial a publisher may sign
    Replaced,       // the serial last accepted, with other bytes: an older publish replayed
    KeysMalformed,  // [keys] values not of their form, or a signer without a list
    KeyList,        // the named list is refused (JudgedKeys::chain says why)
    SignerNotHeld,  // signed by neither the root nor a key the list holds
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

// What an installation kept of key lists: the serial of the last list accepted and the key that
// signed the kept profile (nothing: a root).
struct KeptKeys {
    uint64_t listSerial = 0;
    std::optional<P256PublicKey> signer;
};

struct JudgedKeys {
    ProfileVerdict verdict = ProfileVerdict::Accepted;
    bool named = false;  // the profile named a list; `chain` is its walk
    format::ChainResult chain;
    P256PublicKey root{};  // the root the profile relies on: `trusted`, or where its list led
    // The delegated key that signed it (SignerNotHeld: the one it names); nothing: the root.
    std::optional<P256PublicKey> signer;
    // A kept serial a revocation lowered: from, to.
    std::optional<std::pair<uint64_t, uint64_t>> lowered;
};

// A profile with [keys]: its list followed from `trusted` (format/KeyChain.h), then the key the
// list allows judges it as JudgeProfile does, against `last` with a revoked key's serial
// lowered. Without [keys] it is JudgeProfile under `trusted`, as a single key signs.
JudgedKeys JudgeKeyedProfile(const SignedProfile& profile, const format::ProfileKeys& keys,
                             const PatchPublicKey& trusted, const format::FetchKeyList& fetch,
                             int64_t nowUtc, LastAccepted last, const KeptKeys& kept);

// The serial a profile counts as: its number, 0 when absent or malformed.
uint64_t SerialOf(std::string_view text);

}  // namespace vt
