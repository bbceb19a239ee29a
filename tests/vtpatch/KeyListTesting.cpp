#include "tests/vtpatch/KeyListTesting.h"

#include "format/Digest.h"
#include "tests/vtpatch/VtpatchTesting.h"

namespace vt::vtpatch::test {

format::KeyList ListBody(const PrivateKey& root, uint64_t serial, int64_t expires) {
    format::KeyList list;
    list.serial = serial;
    list.expires = expires;
    list.minSerial = 1;
    list.root = root.Public();
    return list;
}

std::string SignedList(const format::KeyList& list, const PrivateKey& root,
                       const PrivateKey* previous) {
    format::KeyListFile file;
    file.body = format::KeyListBodyText(list);
    file.rootSignature = root.Sign(file.body);
    if (previous != nullptr) {
        file.previousSignature = previous->Sign(file.body);
    }
    return format::JoinKeyList(file);
}

Sha256Digest ServedLists::Add(const format::KeyList& list, const PrivateKey& root,
                              const PrivateKey* previous) {
    const std::string bytes = SignedList(list, root, previous);
    const Sha256Digest hash = Sha256OfText(bytes);
    served[hash] = bytes;
    return hash;
}

Sha256Digest ServedLists::Rotation(const PrivateKey& from, const PrivateKey& to,
                                   std::optional<Sha256Digest> chain, uint64_t serial) {
    format::KeyList list = ListBody(to, serial, kNow + 10 * 365 * 86400);
    list.rotatedFrom = from.Public();
    list.chain = chain;
    return Add(list, to, &from);
}

format::FetchKeyList ServedLists::Fetcher() const {
    return [this](const Sha256Digest& hash) -> std::optional<std::string> {
        const auto found = served.find(hash);
        if (found == served.end()) {
            return std::nullopt;
        }
        return found->second;
    };
}

}  // namespace vt::vtpatch::test
