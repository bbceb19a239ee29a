#include "format/KeyChain.h"

#include <algorithm>
#include <span>

#include "format/Digest.h"

namespace vt::format {
namespace {

// One list's file: its bytes must be those its name hashes, then of the form, then signed.
ChainVerdict ReadOne(const Sha256Digest& hash, const std::string& bytes, bool checkSignatures,
                     KeyList& list) {
    if (Sha256OfText(bytes) != hash) {
        return ChainVerdict::HashMismatch;
    }
    const std::optional<KeyListFile> file = SplitKeyList(std::as_bytes(std::span(bytes)));
    const std::optional<KeyList> body = file ? ReadKeyListBody(file->body) : std::nullopt;
    if (!body) {
        return ChainVerdict::Malformed;
    }
    if (checkSignatures && !KeyListSignaturesHold(*body, *file)) {
        return ChainVerdict::BadSignature;
    }
    list = *body;
    return ChainVerdict::Accepted;
}

bool Reached(const ChainQuery& query, const KeyList& list) {
    return list.root == query.trusted || (list.rotatedFrom && *list.rotatedFrom == query.trusted);
}

// From the named list back through `chain` to a list the trusted root signed.
ChainVerdict FollowChain(const ChainQuery& query, const FetchKeyList& fetch, ChainResult& result) {
    KeyList current = result.list;
    for (;;) {
        if (query.checkSignatures && Reached(query, current)) {
            return ChainVerdict::Accepted;
        }
        if (!current.chain) {
            return query.checkSignatures ? ChainVerdict::Untrusted : ChainVerdict::Accepted;
        }
        if (result.checked.size() >= static_cast<std::size_t>(kMostChainLists)) {
            result.at = query.named;
            return ChainVerdict::TooLong;
        }
        // The earlier list must be the rotation that introduced the root this one relies on.
        const P256PublicKey introduced = current.rotatedFrom ? *current.rotatedFrom : current.root;
        result.at = *current.chain;
        const std::optional<std::string> bytes = fetch(*current.chain);
        if (!bytes) {
            return ChainVerdict::Gap;
        }
        KeyList earlier;
        const ChainVerdict read = ReadOne(*current.chain, *bytes, query.checkSignatures, earlier);
        if (read != ChainVerdict::Accepted) {
            return read;
        }
        if (!earlier.rotatedFrom || earlier.root != introduced) {
            return ChainVerdict::Gap;
        }
        result.checked.push_back({*current.chain, *bytes});
        current = earlier;
    }
}

}  // namespace

std::string ChainReason(ChainVerdict verdict) {
    switch (verdict) {
        case ChainVerdict::Accepted:
            return "leads to a trusted root";
        case ChainVerdict::Missing:
            return "is served by no source";
        case ChainVerdict::HashMismatch:
            return "has other bytes than the SHA-256 it is named by";
        case ChainVerdict::Malformed:
            return "is not a key list";
        case ChainVerdict::BadSignature:
            return "does not verify (a rotation needs the signatures of both roots)";
        case ChainVerdict::Expired:
            return "has expired";
        case ChainVerdict::Older:
            return "has a serial below the one kept";
        case ChainVerdict::Gap:
            return "is missing or does not introduce the root of the list naming it: a gap in "
                   "the chain";
        case ChainVerdict::Untrusted:
            return "leads to no trusted root";
        case ChainVerdict::TooLong:
            return "has a chain of more than " + std::to_string(kMostChainLists) + " lists";
    }
    return "?";
}

ChainResult WalkKeyChain(const ChainQuery& query, const FetchKeyList& fetch) {
    ChainResult result;
    result.at = query.named;
    const std::optional<std::string> bytes = fetch(query.named);
    if (!bytes) {
        result.verdict = ChainVerdict::Missing;
        return result;
    }
    result.verdict = ReadOne(query.named, *bytes, query.checkSignatures, result.list);
    if (result.verdict != ChainVerdict::Accepted) {
        return result;
    }
    result.root = result.list.root;
    result.checked.push_back({query.named, *bytes});
    if (query.nowUtc >= result.list.expires) {
        result.verdict = ChainVerdict::Expired;
    } else if (result.list.serial < query.keptSerial) {
        result.verdict = ChainVerdict::Older;
    } else {
        result.verdict = FollowChain(query, fetch, result);
    }
    return result;
}

std::optional<P256PublicKey> ProfileVerifier(const KeyList& list, const P256PublicKey& root,
                                             const std::optional<P256PublicKey>& signer,
                                             int64_t nowUtc) {
    if (!signer || *signer == root) {
        return root;
    }
    if (list.Holds(*signer, nowUtc)) {
        return signer;
    }
    return std::nullopt;
}

uint64_t RevokedSerial(const KeyList& list, const P256PublicKey& root, uint64_t keptSerial,
                       const std::optional<P256PublicKey>& keptSigner) {
    // A key that lapsed is still named: only a key taken off the list is revoked.
    const bool named =
        !keptSigner || *keptSigner == root ||
        std::any_of(list.keys.begin(), list.keys.end(),
                    [&](const DelegatedKey& delegated) { return delegated.key == *keptSigner; });
    return named ? keptSerial : std::min(keptSerial, list.minSerial);
}

}  // namespace vt::format
