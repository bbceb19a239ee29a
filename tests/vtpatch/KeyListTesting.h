#pragma once
// Key lists made as the root's holder makes them, signed at run time, and a source serving
// them by hash.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "format/KeyChain.h"
#include "format/KeyList.h"
#include "vtpatch/Crypto.h"

namespace vt::vtpatch::test {

// A list signed by `root`, of the given serial and expiry, min-serial 1, holding no key.
format::KeyList ListBody(const PrivateKey& root, uint64_t serial, int64_t expires);

// The file of `list`, signed by `root` and, for a rotation, by `previous`.
std::string SignedList(const format::KeyList& list, const PrivateKey& root,
                       const PrivateKey* previous = nullptr);

struct ServedLists {
    std::map<Sha256Digest, std::string> served;  // by the SHA-256 of each file

    // Signs and serves `list`; its hash.
    Sha256Digest Add(const format::KeyList& list, const PrivateKey& root,
                     const PrivateKey* previous = nullptr);
    // A list handing over from `from` to `to`, signed by both.
    Sha256Digest Rotation(const PrivateKey& from, const PrivateKey& to,
                          std::optional<Sha256Digest> chain, uint64_t serial);
    format::FetchKeyList Fetcher() const;
};

}  // namespace vt::vtpatch::test
