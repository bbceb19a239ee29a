#include "vtpatch/PublishTrust.h"

#include "base/Cp949.h"
#include "vtpatch/Failure.h"

namespace vt::vtpatch {
namespace {

// The list must let launchers take a profile this key signs: unexpired, holding the key.
void CheckList(const PublishOptions& options, const PublishTrust& trust,
               std::vector<std::string>& refusals) {
    const format::KeyList& list = trust.list->list;
    if (list.expires <= options.now) {
        refusals.push_back(*options.keyList + " expired " + FormatUtcTime(list.expires) +
                           "; launchers refuse it: delegate a new list");
    }
    if (list.root != trust.signer && !list.Holds(trust.signer, options.now)) {
        refusals.push_back(*options.keyList + " does not hold the key " + options.keyPath +
                           " (or it has expired there); launchers would refuse the profile");
    }
}

// The statement given, checked against the launcher; or, with the root, made here.
void Statement(const PublishOptions& options, const P256PublicKey& root, const PrivateKey& key,
               PublishTrust& trust, std::vector<std::string>& refusals) {
    const std::string game = ToCp949(FromUtf8(options.game));
    if (options.statement) {
        trust.statement = ReadStatementFile(*options.statement);
        for (const std::string& problem :
             StatementProblems(*trust.statement, *trust.launcher, game, root)) {
            refusals.push_back(*options.statement + ": " + problem);
        }
    } else if (root != trust.signer) {
        refusals.push_back(
            "--launcher with a publish key takes --statement (made offline by "
            "vtpatch sign-launcher with the root)");
    } else if (!options.launcherSerial) {
        refusals.push_back("--launcher signed by the root takes --launcher-serial N");
    } else {
        trust.statement = SignStatement(key, *options.launcher, game, *options.launcherSerial);
    }
}

}  // namespace

std::vector<P256PublicKey> PublishTrust::Trusted() const {
    std::vector<P256PublicKey> keys = {signer};
    if (list) {
        keys.push_back(list->list.root);
        for (const format::DelegatedKey& d : list->list.keys) {
            keys.push_back(d.key);
        }
    }
    return keys;
}

PublishTrust PrepareTrust(const PublishOptions& options, const PrivateKey& key) {
    PublishTrust trust;
    trust.signer = key.Public();
    std::vector<std::string> refusals;
    P256PublicKey root = trust.signer;
    if (options.keyList) {
        trust.list = ReadListFile(*options.keyList);
        root = trust.list->list.root;
        CheckList(options, trust, refusals);
    }
    if (options.launcher) {
        trust.launcher = HashFile(*options.launcher);
        if (!trust.launcher) {
            throw Failure("cannot read the launcher " + *options.launcher);
        }
        if (trust.launcher->size == 0) {
            refusals.push_back(*options.launcher + ": zero bytes; no launcher");
        } else {
            Statement(options, root, key, trust, refusals);
        }
    }
    if (!refusals.empty()) {
        throw Refused(refusals);
    }
    return trust;
}

void TrustSections(const PublishTrust& trust, IniText& profile) {
    if (trust.list) {
        profile.Section(format::kKeysSection);
        profile.Key("list", DigestHex(trust.list->digest));
        profile.Key("signer", LowerHex(trust.signer));
    }
    if (trust.statement) {
        profile.Section(format::kLauncherSection);
        profile.Lines(format::StatementLines(*trust.statement));
    }
}

}  // namespace vt::vtpatch
