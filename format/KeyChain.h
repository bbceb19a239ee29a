#pragma once
// Following a profile's [keys] to a root the launcher trusts, as the launcher and lint both do.
//
// The profile names a list by the SHA-256 of its file. That list is checked whole (hash, form,
// signatures, expiry, a serial not below the one kept), then its `chain` is followed back, one
// list at a time, until a list whose root or rotated-from is the trusted root: each link must
// be the list that introduced the root the later list relies on, with every signature holding
// (a rotation's both). Only the named list's expiry and serial count: the older lists of a
// chain record hand-overs, which stay true after their lists lapse.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/Crypto.h"
#include "format/KeyList.h"

namespace vt::format {

// The most lists one walk reads, the named one included: a launcher that missed this many
// rotations is reinstalled rather than made to fetch an unbounded chain.
inline constexpr int kMostChainLists = 16;

enum class ChainVerdict {
    Accepted,
    Missing,       // the named list cannot be had
    HashMismatch,  // a file whose bytes are not those its name hashes
    Malformed,     // a file or body not of the list's form
    BadSignature,  // a signature that does not hold (a rotation needs both)
    Expired,       // the named list's expires has passed
    Older,         // the named list's serial is below the one kept
    Gap,           // a list a chain names cannot be had, or does not introduce that root
    Untrusted,     // the chain ends at a root the launcher does not trust
    TooLong,       // more than kMostChainLists lists
};

// English, for logs and lint: "does not verify", "has expired", ...
std::string ChainReason(ChainVerdict verdict);

// A list's file as read: to keep it by its hash.
struct CheckedList {
    Sha256Digest hash{};
    std::string bytes;
};

struct ChainResult {
    ChainVerdict verdict = ChainVerdict::Missing;
    Sha256Digest at{};  // the list the verdict is about (a gap: the list named, not had)
    KeyList list;       // the named list (read, whatever the verdict, when its form is right)
    // The root the named list is signed by: the trusted root from now on when accepted.
    P256PublicKey root{};
    std::vector<CheckedList> checked;  // the named list first
};

// A list's file by its hash, or nothing when no source has it.
using FetchKeyList = std::function<std::optional<std::string>(const Sha256Digest& hash)>;

struct ChainQuery {
    Sha256Digest named{};
    P256PublicKey trusted{};
    int64_t nowUtc = 0;
    uint64_t keptSerial = 0;
    // Lint: walk forms and links only, trusting no root and checking no signature.
    bool checkSignatures = true;
};

ChainResult WalkKeyChain(const ChainQuery& query, const FetchKeyList& fetch);

// The key that must have signed the profile: the root for no signer or the root as signer,
// else the signer when the list holds it (unexpired); nothing when it does not.
std::optional<P256PublicKey> ProfileVerifier(const KeyList& list, const P256PublicKey& root,
                                             const std::optional<P256PublicKey>& signer,
                                             int64_t nowUtc);

// Revocation: the serial a kept profile counts as under an accepted list. A kept serial signed
// by a key the list no longer names (nor the root) counts as at most the list's min-serial,
// so a huge serial a leaked key signed cannot lock out the genuine publishes after it.
// `keptSigner` nothing: the kept profile was signed by a root.
uint64_t RevokedSerial(const KeyList& list, const P256PublicKey& root, uint64_t keptSerial,
                       const std::optional<P256PublicKey>& keptSigner);

}  // namespace vt::format
