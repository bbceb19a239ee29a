#pragma once
// What a publish adds for the two kinds of key: the key list a publish key relies on (served
// as autopatch/keys/<sha256>.signed, named in [keys]) and the launcher program it serves as an
// object with the root's statement in [launcher]. Without either, a publish is what it was.

#include <optional>
#include <vector>

#include "format/KeyList.h"
#include "vtpatch/Crypto.h"
#include "vtpatch/Format.h"
#include "vtpatch/KeyLists.h"
#include "vtpatch/Publish.h"

namespace vt::vtpatch {

struct PublishTrust {
    P256PublicKey signer{};             // the publishing key
    std::optional<ListFile> list;       // --key-list
    std::optional<FileFacts> launcher;  // --launcher
    std::optional<format::SignedStatement> statement;

    // Keys whose signature on the served profile makes its serial count: the publishing key,
    // and with a list its root and its keys.
    std::vector<P256PublicKey> Trusted() const;
};

// Reads and checks the list, the launcher and its statement (signing the statement when the
// key is the root and none is given). Throws Refused with every reason.
PublishTrust PrepareTrust(const PublishOptions& options, const PrivateKey& key);

// [keys] and [launcher], when there is anything to say, before [publish].
void TrustSections(const PublishTrust& trust, IniText& profile);

}  // namespace vt::vtpatch
