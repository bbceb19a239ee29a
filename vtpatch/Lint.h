#pragma once
// lint: reads a served tree as the launcher would and lists every problem: names it refuses
// or would install under another name, counts and entries it stops on or never reaches,
// missing files, sizes and hashes that differ from their pins, versions that are not content
// versions, empty files, (with a public key) a bad or expired signature, objects/ missing or
// holding other bytes than a pin names, a vtgame.signed that disagrees with vtgame.ini, and
// for a mirror a serial behind its primary's; the key lists [keys] names, followed as a
// launcher follows them (format/KeyChain.h).

#include <cstdint>
#include <optional>

#include "vtpatch/Crypto.h"
#include "vtpatch/Listing.h"
#include "vtpatch/Served.h"

namespace vt::vtpatch {

struct LintOptions {
    std::optional<P256PublicKey> publicKey;  // without it the signature is not checked
    int64_t now = 0;                         // seconds since 1970, for the expiry
    // A mirror's: the serial its primary serves; a lower one is a mirror behind.
    std::optional<uint64_t> primarySerial = std::nullopt;
    // The root launchers are built with: key lists' signatures are checked from it. Without it
    // only their hashes, forms and links are.
    std::optional<P256PublicKey> root = std::nullopt;
};

// The serial a primary serves, from vtgame.signed (vtgame.ini when it has none). With `key`,
// only a profile whose signature verifies counts. Throws Failure when there is none to count.
uint64_t PrimarySerial(ServedTree& primary, const std::optional<P256PublicKey>& key);

// Problems mean the launcher would not install everything as published.
Findings Lint(ServedTree& tree, const LintOptions& options);

}  // namespace vt::vtpatch
