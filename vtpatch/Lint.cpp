#include "vtpatch/Lint.h"

#include <algorithm>
#include <map>
#include <span>
#include <utility>

#include "base/Cp949.h"
#include "base/ModGame.h"
#include "format/Bounds.h"
#include "format/Digest.h"
#include "format/KeyChain.h"
#include "format/KeyList.h"
#include "format/Manifest.h"
#include "format/Mirrors.h"
#include "format/Objects.h"
#include "format/Serial.h"
#include "transfer/Pool.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Files.h"
#include "vtpatch/History.h"
#include "vtpatch/Progress.h"

namespace vt::vtpatch {
namespace {

void CheckSignature(ServedTree& tree, const ServedPatch& patch, const LintOptions& options,
                    Findings& findings) {
    Fetched fetched;
    std::optional<std::string> bytes =
        tree.FetchWhole(kSignatureName, fetched, format::kSignatureBytes);
    if (!options.publicKey) {
        findings.Note(kSignatureName,
                      bytes ? "not checked (no --pub)"
                      : fetched.outcome == Fetched::Outcome::Missing
                          ? "missing; launchers that check signatures refuse this tree"
                          : fetched.why + "; launchers that check signatures fail on it");
        return;
    }
    if (!bytes) {
        findings.Problem(kSignatureName,
                         fetched.outcome == Fetched::Outcome::Missing ? "missing" : fetched.why);
        return;
    }
    if (bytes->size() != std::tuple_size_v<Signature>) {
        findings.Problem(kSignatureName, std::to_string(bytes->size()) +
                                             " bytes; a signature is r and s, 64 bytes");
        return;
    }
    Signature signature{};
    std::copy(bytes->begin(), bytes->end(), signature.begin());
    if (!VerifySignature(*options.publicKey, patch.profile, signature)) {
        findings.Problem(kSignatureName,
                         "does not verify: vtgame.ini was not signed by this key "
                         "or changed after signing");
    }
}

void CheckPublishSection(const std::string& staging, const LintOptions& options,
                         Findings& findings) {
    const std::wstring staged = FromUtf8(JoinPath(staging, kProfileName));
    const std::string serial = ToUtf8(ReadProfileValue(kPublishSection, L"serial", staged));
    const format::SerialReading reading = format::ReadSerial(serial);
    switch (reading.form) {
        case format::SerialForm::Absent:
            findings.Problem(kProfileName, "[publish] serial is missing");
            break;
        case format::SerialForm::Malformed:
            findings.Problem(kProfileName, "[publish] serial=" + serial + " is not a number");
            break;
        case format::SerialForm::TooLarge:
            findings.Problem(kProfileName,
                             "[publish] serial=" + serial + " is above 2^53; launchers refuse it");
            break;
        case format::SerialForm::Number:
            if (reading.value == 0) {
                findings.Problem(kProfileName, "[publish] serial=" + serial +
                                                   " is below every publish's (1 or more)");
            } else if (options.primarySerial && reading.value < *options.primarySerial) {
                findings.Problem(kProfileName, "[publish] serial=" + serial +
                                                   " is older than the primary's " +
                                                   std::to_string(*options.primarySerial) +
                                                   ": the mirror serves an earlier publish");
            }
            break;
    }
    const std::string expires = ToUtf8(ReadProfileValue(kPublishSection, L"expires", staged));
    if (expires.empty()) {
        return;
    }
    std::optional<int64_t> when = ParseUtcTime(expires);
    if (!when) {
        findings.Problem(kProfileName, "[publish] expires=" + expires +
                                           " is not of the form YYYY-MM-DDTHH:MM:SSZ");
    } else if (*when <= options.now) {
        findings.Problem(kProfileName, "expired at " + expires);
    }
}

// Launchers take any other value for their default; the operator likely meant something else.
void CheckTransferSection(const std::string& staging, Findings& findings) {
    const std::string text = ToUtf8(
        ReadProfileValue(L"transfer", L"connections", FromUtf8(JoinPath(staging, kProfileName))));
    if (!text.empty() && !ReadConnections(text)) {
        findings.Note(kProfileName, "[transfer] connections=" + text + " is not 1 to " +
                                        std::to_string(kMostConnections) + "; launchers use " +
                                        std::to_string(kDefaultConnections));
    }
}

// Launchers leave out a value that is no mirror URL.
void CheckMirrorsSection(const std::string& staging, Findings& findings) {
    const std::wstring profile = FromUtf8(JoinPath(staging, kProfileName));
    const format::MirrorList list = format::ReadMirrors([&](const std::string& key) {
        return ToUtf8(ReadProfileValue(FromUtf8(format::kMirrorsSection), FromUtf8(key), profile));
    });
    if (list.unusable > 0) {
        findings.Note(kProfileName, "[mirrors] has " + std::to_string(list.unusable) +
                                        " value(s) that are not http://host[:port]/path/; "
                                        "launchers leave them out");
    }
}

// One payload against its pin and its version; false when it is missing.
bool CheckPayload(ServedTree& tree, const std::string& request, const std::string& where,
                  const std::string& version, const std::optional<Pin>& pin, Findings& findings) {
    Sha256 hash;
    // Streamed into the hash, never held; a pinned file is not read past its pin.
    Fetched fetched = tree.Fetch(
        request,
        [&hash](std::string_view piece) {
            hash.Update(std::as_bytes(std::span(piece.data(), piece.size())));
        },
        pin ? std::optional<uint64_t>(pin->size) : std::nullopt);
    if (fetched.outcome == Fetched::Outcome::Missing) {
        findings.Problem(where, "missing");
        return false;
    }
    if (fetched.outcome == Fetched::Outcome::Refused) {
        findings.Problem(where, fetched.why);
        return true;
    }
    const Sha256Digest digest = hash.Final();
    if (fetched.size == 0) {
        findings.Problem(where, "zero bytes; the launcher cannot receive an empty file");
        return true;
    }
    if (pin && pin->size != static_cast<uint64_t>(fetched.size)) {
        findings.Problem(where, "size " + std::to_string(fetched.size) + " differs from its pin " +
                                    std::to_string(pin->size));
    } else if (pin && pin->sha256 != digest) {
        findings.Problem(where, "SHA-256 differs from its pin");
    }
    if (!version.empty() && version != ContentVersion(digest)) {
        findings.Problem(
            where, "version " + version + " is not its content version " + ContentVersion(digest));
    }
    return true;
}

// vtgame.signed: signature and profile in one answer, so that no cache can serve the signature
// of one publish with the profile of another. It must carry vtgame.ini's very bytes. False when
// it is not served (a tree published before it).
bool CheckSignedProfile(ServedTree& tree, const ServedPatch& patch, const LintOptions& options,
                        Findings& findings) {
    Fetched fetched;
    const std::optional<std::string> bytes = tree.FetchWhole(
        format::kSignedProfileName, fetched, format::kSignatureBytes + format::kProfileMostBytes);
    if (!bytes && fetched.outcome == Fetched::Outcome::Missing) {
        findings.Note(format::kSignedProfileName,
                      "missing, as in a tree published by an older vtpatch; launchers that fetch "
                      "by hash need it: publish again");
        return false;
    }
    if (!bytes || bytes->size() < format::kSignatureBytes) {
        findings.Problem(
            format::kSignedProfileName,
            bytes ? std::to_string(bytes->size()) + " bytes; it begins with a signature of 64 bytes"
                  : fetched.why);
        return true;
    }
    const std::string_view carried = std::string_view(*bytes).substr(format::kSignatureBytes);
    if (carried != patch.profile) {
        findings.Problem(format::kSignedProfileName,
                         "carries other profile bytes than vtgame.ini; launchers would take "
                         "different publishes from the two");
    }
    Signature signature{};
    std::copy_n(bytes->begin(), signature.size(), signature.begin());
    if (options.publicKey && !VerifySignature(*options.publicKey, carried, signature)) {
        findings.Problem(format::kSignedProfileName,
                         "does not verify: its profile was not signed by this key or changed "
                         "after signing");
    }
    return true;
}

// What a launcher fetches by hash, each once: the object of every pin the profile names and
// of every pin in the manifests it names, with what names it (for messages).
std::map<std::string, std::pair<Pin, std::string>> PinnedObjects(const ServedPatch& patch) {
    std::map<std::string, std::pair<Pin, std::string>> objects;
    auto add = [&objects](const std::optional<Pin>& pin, const std::string& what) {
        if (pin) {
            objects.try_emplace(format::ObjectPath(pin->sha256), *pin, what);
        }
    };
    if (!patch.clientVersion.empty()) {
        add(patch.clientPin, kClientName);
    }
    for (const ServedSetListing& listing : patch.sets) {
        if (listing.version.empty()) {
            continue;
        }
        add(listing.pin, listing.set->ManifestPath());
        for (const ServedEntry& entry : listing.entries) {
            if (entry.usable) {
                add(entry.pin, entry.Where(*listing.set));
            }
        }
    }
    return objects;
}

// Each object present with its pin's size and SHA-256. A tree with neither vtgame.signed nor
// any object was published before objects/: that is one note, as launchers in the field read
// neither.
void CheckObjects(ServedTree& tree,
                  const std::map<std::string, std::pair<Pin, std::string>>& objects,
                  bool signedServed, Progress& progress, Findings& findings) {
    Findings found;
    size_t arrived = 0;
    for (const auto& [path, named] : objects) {
        if (CheckPayload(tree, path, path + " (" + named.second + ")", "", named.first, found)) {
            ++arrived;
        }
        progress.Advance();
    }
    if (!signedServed && arrived == 0 && !objects.empty()) {
        findings.Note(std::string(format::kObjectsFolder) + "/",
                      "none of the " + std::to_string(objects.size()) +
                          " objects the pins name is served, as in a tree published by an "
                          "older vtpatch; launchers that fetch by hash need them: publish again");
        return;
    }
    for (const Finding& f : found.List()) {
        findings.Problem(f.where, f.what);
    }
}

// Files below a set's folder that are not manifests (for graphics, not in a card set's
// folder either): what earlier publishes left there.
size_t LeftFiles(const PatchSet& set, const std::vector<std::string>& files) {
    return static_cast<size_t>(std::ranges::count_if(files, [&set](const std::string& rel) {
        if (rel == ToCp949(set.manifestName)) {
            return false;
        }
        for (const PatchSet& other : PatchSets()) {
            if (&other != &set && other.folder.starts_with(set.folder) &&
                rel.starts_with(other.folder.substr(set.folder.size()))) {
                return false;
            }
        }
        return true;
    }));
}

// What a publish dropped, as far as the served tree shows it: a client, or a set's entries or
// files, still served while [game] lists them no more. Launchers keep those files.
void NoteDropped(ServedTree& tree, const ServedPatch& patch, Findings& findings) {
    if (patch.clientVersion.empty() &&
        tree.Fetch(kClientName, [](std::string_view) {}).outcome == Fetched::Outcome::Ok) {
        findings.Note(kClientName,
                      "served, but [game] lists no vtgame: a publish dropped the "
                      "client; launchers keep the vt.exe they have");
    }
    for (const ServedSetListing& listing : patch.sets) {
        const PatchSet& set = *listing.set;
        if (!listing.version.empty()) {
            continue;
        }
        const std::string dropped =
            "[game] lists no " + ToUtf8(set.key) + ": the set is dropped; launchers keep its files";
        Fetched fetched;
        std::optional<std::string> bytes =
            tree.FetchWhole(set.ManifestPath(), fetched, format::kManifestMostBytes);
        const std::optional<int16_t> count =
            bytes ? ReadManifest(*bytes, set.key).count : std::nullopt;
        if (count && *count > 0) {
            findings.Note(set.ManifestPath(),
                          "count=" + std::to_string(*count) + ", but " + dropped);
        } else if (std::optional<std::vector<std::string>> files = tree.ListFolder(set.folder);
                   files && LeftFiles(set, *files) > 0) {
            findings.Note(set.folder, std::to_string(LeftFiles(set, *files)) +
                                          " files of an earlier publish, but " + dropped);
        }
    }
}

// With a root: the profile's own signature by the key the list allows.
void CheckKeyedSignature(ServedTree& tree, const ServedPatch& patch, const P256PublicKey& key,
                         Findings& findings) {
    Fetched fetched;
    const std::optional<std::string> bytes =
        tree.FetchWhole(kSignatureName, fetched, format::kSignatureBytes);
    Signature signature{};
    if (bytes && bytes->size() == signature.size()) {
        std::copy(bytes->begin(), bytes->end(), signature.begin());
        if (!VerifySignature(key, patch.profile, signature)) {
            findings.Problem(kSignatureName,
                             "does not verify with the key [keys] names; launchers refuse it");
        }
    }
}

// The key lists [keys] names, followed back as a launcher does: from the root given, or, without
// one, as far as their hashes, forms and links go.
void CheckKeyLists(ServedTree& tree, const ServedPatch& patch, const std::string& staging,
                   const LintOptions& options, Findings& findings) {
    const std::wstring staged = FromUtf8(JoinPath(staging, kProfileName));
    const format::ProfileKeys keys = format::ReadProfileKeys([&](const std::string& key) {
        return ToUtf8(ReadProfileValue(FromUtf8(format::kKeysSection), FromUtf8(key), staged));
    });
    if (keys.malformed) {
        findings.Problem(kProfileName, "[keys] list= or signer= is not of its form");
        return;
    }
    if (!keys.list) {
        if (keys.signer && keys.signer != options.root) {
            findings.Problem(kProfileName, "[keys] names a signer but no list that holds it");
        }
        return;
    }
    const format::ChainResult chain = format::WalkKeyChain(
        {*keys.list, options.root.value_or(P256PublicKey{}), options.now, 0,
         options.root.has_value()},
        [&tree](const Sha256Digest& hash) {
            Fetched fetched;
            return tree.FetchWhole(format::KeyListPath(hash), fetched, format::kKeyListMostBytes);
        });
    const std::string named = format::KeyListPath(*keys.list);
    if (chain.verdict != format::ChainVerdict::Accepted) {
        findings.Problem(format::KeyListPath(chain.at),
                         format::ChainReason(chain.verdict) + "; launchers refuse the profile");
        return;
    }
    const P256PublicKey root = chain.root;
    const std::optional<P256PublicKey> verifier =
        format::ProfileVerifier(chain.list, root, keys.signer, options.now);
    if (!verifier) {
        findings.Problem(named, "does not hold the profile's signer (or it has expired)");
    } else if (options.root) {
        CheckKeyedSignature(tree, patch, *verifier, findings);
    } else {
        findings.Note(named, "signatures not checked (no --root); " +
                                 std::to_string(chain.checked.size()) + " list(s) read");
    }
}

}  // namespace

Findings Lint(ServedTree& tree, const LintOptions& options) {
    Findings findings;
    TempDirectory staging;
    ServedPatch patch;
    try {
        patch = ReadServedPatch(tree, staging.Path(), findings);
    } catch (const Failure& e) {
        findings.Problem(kProfileName, e.what());
        return findings;
    }
    CheckSignature(tree, patch, options, findings);
    const bool signedServed = CheckSignedProfile(tree, patch, options, findings);
    CheckPublishSection(staging.Path(), options, findings);
    CheckTransferSection(staging.Path(), findings);
    CheckMirrorsSection(staging.Path(), findings);
    CheckKeyLists(tree, patch, staging.Path(), options, findings);
    NoteDropped(tree, patch, findings);

    const auto objects = PinnedObjects(patch);
    size_t total = objects.size() + (patch.clientVersion.empty() ? 0 : 1);
    for (const ServedSetListing& listing : patch.sets) {
        total += listing.entries.size();
    }
    Progress progress("checking", total);
    if (!patch.clientVersion.empty()) {
        CheckPayload(tree, kClientName, kClientName, patch.clientVersion, patch.clientPin,
                     findings);
        progress.Advance();
    }
    for (const ServedSetListing& listing : patch.sets) {
        for (const ServedEntry& entry : listing.entries) {
            // The launcher refuses an unsafe name before it asks for the file.
            if (entry.usable) {
                CheckPayload(tree, EntryRequest(*listing.set, entry.name),
                             entry.Where(*listing.set), entry.version, entry.pin, findings);
            }
            progress.Advance();
        }
    }
    CheckObjects(tree, objects, signedServed, progress, findings);
    return findings;
}

uint64_t PrimarySerial(ServedTree& primary, const std::optional<P256PublicKey>& key) {
    Fetched fetched;
    std::optional<std::string> profile;
    if (std::optional<std::string> whole =
            primary.FetchWhole(format::kSignedProfileName, fetched,
                               format::kSignatureBytes + format::kProfileMostBytes)) {
        profile = CarriedProfile(*whole, primary.Where(format::kSignedProfileName));
        Signature signature{};
        std::copy_n(whole->begin(), signature.size(), signature.begin());
        if (key && !VerifySignature(*key, *profile, signature)) {
            throw Failure(primary.Where(format::kSignedProfileName) +
                          " does not verify with --pub; its serial says nothing");
        }
    } else if (fetched.outcome == Fetched::Outcome::Missing && !key) {
        profile = primary.FetchWhole(kProfileName, fetched, format::kProfileMostBytes);
    }
    if (!profile) {
        throw Failure(
            "the primary's profile cannot be had: " + primary.Where(format::kSignedProfileName) +
            ": " + (fetched.outcome == Fetched::Outcome::Missing ? "missing" : fetched.why));
    }
    const format::SerialReading serial =
        format::ReadSerial(StagedProfile(*profile).Value(kPublishSection, L"serial"));
    if (serial.form != format::SerialForm::Number) {
        throw Failure("the primary's profile has no serial to compare with");
    }
    return serial.value;
}

}  // namespace vt::vtpatch
