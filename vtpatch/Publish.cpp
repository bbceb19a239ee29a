#include "vtpatch/Publish.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "base/Cp949.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "format/Digest.h"
#include "format/Manifest.h"
#include "format/Mirrors.h"
#include "format/Objects.h"
#include "format/Serial.h"
#include "vtpatch/Crypto.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Files.h"
#include "vtpatch/Format.h"
#include "vtpatch/Lock.h"
#include "vtpatch/Progress.h"
#include "vtpatch/PublishState.h"
#include "vtpatch/PublishTrust.h"

namespace vt::vtpatch {
namespace {

constexpr std::string_view kSoundFolder = "resource/sound/";
constexpr std::string_view kDataFolder = "resource/data/";
constexpr size_t kDryRunSerials = 5;  // the players a dry run counts downloads for

// One file of the publisher's tree and where it is served.
struct Source {
    std::string treePath;  // bytes, the whole path (for messages)
    std::string relative;  // below the tree
    std::string served;    // below autopatch/, code page 949
    std::wstring entry;    // the manifest's name (empty for vt.exe)
    FileFacts facts;
};

struct SetSources {
    const PatchSet* set = nullptr;
    std::vector<Source> files;
    std::map<std::wstring, std::string> aliases;  // AliasKey -> the tree path that has it
};

bool ValidUtf8(std::string_view bytes) {
    return ToUtf8(FromUtf8(bytes)) == bytes;
}

// A path below ROOT of what is served: autopatch/<served>.
std::string Below(std::string_view served) {
    return std::string(kServedFolder) + "/" + std::string(served);
}

bool IsPublishTemp(std::string_view relative) {
    std::string_view base = relative.substr(relative.rfind('/') + 1);
    return base.starts_with(".vtpatch-") && base.ends_with(".tmp");
}

// The served tree made ready: autopatch/ reached through no link, what a killed publish left
// removed (only ever ours, as the lock is held; a link by such a name itself, never what it
// points to), and every other link refused before anything is written, as a link would let
// the publish write or replace files outside ROOT. A dry run only looks: it makes no folder
// and removes nothing.
void PrepareServedTree(const std::string& root, bool write) {
    const std::string served = JoinPath(root, kServedFolder);
    try {
        if (OpenFolderBelow(root, kServedFolder, write).Get() < 0) {
            return;  // a dry run into a fresh ROOT
        }
    } catch (const SymbolicLink& link) {
        throw Refused({link.Path() + ": a symbolic link; publish writes through none"});
    }
    std::vector<std::string> refusals;
    for (const TreeEntry& e : ListTree(served)) {
        if (IsPublishTemp(e.relative)) {
            if (write) {
                RemoveBelow(root, Below(e.relative));
            }
        } else if (e.link) {
            refusals.push_back(JoinPath(served, e.relative) +
                               ": a symbolic link; publish writes through none, remove it");
        }
    }
    if (!refusals.empty()) {
        throw Refused(refusals);
    }
}

class Scanner {
  public:
    explicit Scanner(const std::string& tree) : tree_(tree) {
        for (const PatchSet& set : PatchSets()) {
            sets_.push_back({&set, {}, {}});
        }
    }

    void Scan(PublishResult& result) {
        if (!IsDirectory(tree_)) {
            throw Failure(tree_ + " is not a folder");
        }
        size_t ignored = 0;
        for (const TreeEntry& e : ListTree(tree_)) {
            std::string_view rel = e.relative;
            if (e.link) {
                // Whatever it points to, the key included, would go to every player.
                refusals_.push_back(e.relative +
                                    ": a symbolic link; publish takes regular files only");
            } else if (rel == kClientName) {
                AddClient(e);
            } else if (rel.starts_with(kSoundFolder)) {
                Add(Set(L"sound"), e, rel.substr(kSoundFolder.size()), result);
            } else if (rel.starts_with(kDataFolder)) {
                std::string_view inner = rel.substr(kDataFolder.size());
                SetSources* card = CardSet(inner);
                if (card != nullptr) {
                    inner.remove_prefix(inner.find('/') + 1);
                    Add(*card, e, inner, result);
                } else {
                    Add(Set(L"graphics"), e, inner, result);
                }
            } else {
                ++ignored;
            }
        }
        if (ignored > 0) {
            result.notes.push_back(std::to_string(ignored) + (ignored == 1 ? " file" : " files") +
                                   " outside vt.exe, resource/sound and resource/data left out "
                                   "(the installation's own files)");
        }
        for (const SetSources& s : sets_) {
            if (s.files.size() > static_cast<size_t>(kMaxEntries)) {
                refusals_.push_back(
                    "set " + ToUtf8(s.set->key) + " has " + std::to_string(s.files.size()) +
                    " files; the launcher takes at most " + std::to_string(kMaxEntries));
            }
        }
        if (!refusals_.empty()) {
            throw Refused(refusals_);
        }
    }

    const std::string& Tree() const { return tree_; }
    std::optional<Source>& Client() { return client_; }
    std::vector<SetSources>& Sets() { return sets_; }

  private:
    SetSources& Set(std::wstring_view key) {
        return *std::find_if(sets_.begin(), sets_.end(),
                             [key](const SetSources& s) { return s.set->key == key; });
    }

    // The card set whose folder `inner` (below resource/data/) lies in, exact name only.
    SetSources* CardSet(std::string_view inner) {
        size_t slash = inner.find('/');
        if (slash == std::string_view::npos) {
            return nullptr;
        }
        for (SetSources& s : sets_) {
            if (s.set->cardNumber != 0 &&
                std::string(kDataFolder).append(inner.substr(0, slash + 1)) == s.set->folder) {
                return &s;
            }
        }
        return nullptr;
    }

    bool Usable(const TreeEntry& e) {
        if (!e.regular) {
            refusals_.push_back(e.relative + ": not a regular file");
            return false;
        }
        if (e.size == 0) {
            refusals_.push_back(e.relative +
                                ": zero bytes; the launcher cannot receive an empty file");
            return false;
        }
        return true;
    }

    void AddClient(const TreeEntry& e) {
        if (Usable(e)) {
            client_ = Source{JoinPath(tree_, e.relative), e.relative, kClientName, L"", {}};
        }
    }

    void Add(SetSources& s, const TreeEntry& e, std::string_view inner, PublishResult& result) {
        const PatchSet& set = *s.set;
        const std::string where = e.relative;
        if (!ValidUtf8(inner)) {
            refusals_.push_back(where + ": the file name is not UTF-8");
            return;
        }
        std::wstring name = FromUtf8(inner);
        // The installation's own files among the content: its record of the set, the
        // player's server list.
        if (AliasKey(name) == AliasKey(set.manifestName)) {
            result.notes.push_back(where + " left out: the installation's record of set " +
                                   ToUtf8(set.key));
            return;
        }
        if (set.key == L"graphics" && AliasKey(name) == AliasKey(kServerListName)) {
            result.notes.push_back(where + " left out: the player's server list is not published");
            return;
        }
        if (!Usable(e)) {
            return;
        }
        if (name.find(L'\\') != std::wstring::npos) {
            refusals_.push_back(where + ": a backslash, which Windows takes for a folder");
            return;
        }
        if (!set.suffix.empty()) {
            if (!name.ends_with(set.suffix)) {
                refusals_.push_back(where + ": card set " + std::to_string(set.cardNumber) +
                                    " holds only files ending in " + ToUtf8(set.suffix));
                return;
            }
            name.resize(name.size() - set.suffix.size());
        }
        if (auto why = EntryNameProblem(set, name)) {
            refusals_.push_back(where + ": " + *why);
            return;
        }
        auto [it, added] = s.aliases.emplace(AliasKey(set.FileName(name)), where);
        if (!added) {
            refusals_.push_back(where + ": the same file on Windows as " + it->second);
            return;
        }
        s.files.push_back(Source{
            JoinPath(tree_, where), where, set.folder + ToCp949(set.FileName(name)), name, {}});
    }

    std::string tree_;
    std::optional<Source> client_;
    std::vector<SetSources> sets_;
    std::vector<std::string> refusals_;
};

size_t CountSources(Scanner& scanner) {
    size_t total = scanner.Client() ? 1 : 0;
    for (const SetSources& s : scanner.Sets()) {
        total += s.files.size();
    }
    return total;
}

// vt.exe, then every set's files in the set's order.
void ForEachSource(Scanner& scanner, const std::function<void(const Source&)>& visit) {
    if (scanner.Client()) {
        visit(*scanner.Client());
    }
    for (const SetSources& s : scanner.Sets()) {
        for (const Source& source : s.files) {
            visit(source);
        }
    }
}

void HashSources(Scanner& scanner) {
    Progress progress("hashing", CountSources(scanner));
    auto hash = [&progress, &scanner](Source& source) {
        std::optional<FileFacts> facts = HashFileBelow(scanner.Tree(), source.relative);
        if (!facts) {
            throw Failure("cannot read " + source.treePath);
        }
        if (facts->size == 0) {
            throw Refused({source.treePath + ": zero bytes (emptied during the publish)"});
        }
        source.facts = *facts;
        progress.Advance();
    };
    if (scanner.Client()) {
        hash(*scanner.Client());
    }
    for (SetSources& s : scanner.Sets()) {
        for (Source& source : s.files) {
            hash(source);
        }
        // A fixed order, so the same content gives the same manifest.
        std::sort(s.files.begin(), s.files.end(), [](const Source& a, const Source& b) {
            return ToCp949(a.entry) < ToCp949(b.entry);
        });
    }
}

// The bytes of `source` into `out`, which are the bytes that were hashed or nothing.
void CopySource(const std::string& tree, const Source& source, PendingFile& out) {
    std::optional<FileFacts> copied =
        HashFileBelow(tree, source.relative, [&out](std::string_view piece) { out.Write(piece); });
    if (!copied || *copied != source.facts) {
        throw Failure(source.treePath + " changed during the publish; publish again");
    }
}

// Puts `source` at autopatch/<source.served> unless the same bytes are there; true when
// copied. Every folder below ROOT is reached through no link.
bool ServePayload(const std::string& root, const std::string& tree, const Source& source) {
    const std::string relative = Below(source.served);
    const std::string target = JoinPath(root, relative);
    if (std::optional<FileFacts> there = HashFileBelow(root, relative);
        there && *there == source.facts) {
        return false;
    }
    OpenFolderBelow(root, relative.substr(0, relative.rfind('/')), true);
    if (IsDirectory(target)) {
        throw Failure("cannot serve " + source.treePath + ": a folder " + target +
                      " is in the way");
    }
    PendingFile out(root, relative);
    CopySource(tree, source, out);
    out.Commit();
    return true;
}

// Why the name of an object of `size` bytes is taken by something else: a file of another size
// or no file. An object is never rewritten (a cache may hold it for ever), so the publisher
// removes what is in the way. Another file of the right size is taken as the object: lint
// hashes what is served.
std::optional<std::string> ObjectInTheWay(const std::string& root, const std::string& relative,
                                          int64_t size) {
    const std::optional<TreeEntry> there = StatBelow(root, relative);
    if (!there || (there->regular && there->size == size)) {
        return std::nullopt;
    }
    return JoinPath(root, relative) + ": " +
           (there->regular ? std::to_string(there->size) + " bytes, not the " +
                                 std::to_string(size) + " of its content"
                           : std::string("not a file")) +
           "; objects are never rewritten: remove it and publish again";
}

// A file named by its content (an object, a key list) put at `relative` unless it is there,
// `fill` writing its bytes; true when written. Never replaces a file, and never leaves one
// under its name with other bytes.
bool ServeFileOnce(const std::string& root, const std::string& relative, const FileFacts& facts,
                   const std::function<void(PendingFile&)>& fill) {
    if (StatBelow(root, relative)) {
        if (std::optional<std::string> why = ObjectInTheWay(root, relative, facts.size)) {
            throw Failure(*why);
        }
        return false;
    }
    OpenFolderBelow(root, relative.substr(0, relative.rfind('/')), true);
    PendingFile out(root, relative);
    fill(out);
    if (out.CommitNew()) {
        return true;
    }
    if (std::optional<std::string> why = ObjectInTheWay(root, relative, facts.size)) {
        throw Failure(*why);
    }
    return false;
}

bool ServeObject(const std::string& root, const FileFacts& facts,
                 const std::function<void(PendingFile&)>& fill) {
    return ServeFileOnce(root, Below(format::ObjectPath(facts.sha256)), facts, fill);
}

bool SignedBy(const std::vector<P256PublicKey>& keys, const std::string& text,
              const std::string& sigBytes) {
    Signature signature{};
    if (sigBytes.size() != signature.size()) {
        return false;
    }
    std::copy(sigBytes.begin(), sigBytes.end(), signature.begin());
    return std::ranges::any_of(
        keys, [&](const P256PublicKey& key) { return VerifySignature(key, text, signature); });
}

// The served profile as this key signed it: what the publish before this one was.
struct PreviousPublish {
    format::SerialReading serial;
    bool client = false;             // it had vt.exe
    std::vector<std::wstring> sets;  // the sets it listed
};

// Nothing when no profile is served, or when its signature is not this key's (or, with a key
// list, its root's or a key's it holds): then whoever wrote it could have put any serial there.
std::optional<PreviousPublish> ReadPrevious(const std::string& root,
                                            const std::vector<P256PublicKey>& keys,
                                            PublishResult& result) {
    if (!Exists(JoinPath(root, Below(kProfileName)))) {
        return std::nullopt;
    }
    std::optional<std::string> text = ReadFileBelow(root, Below(kProfileName));
    std::optional<std::string> sig = ReadFileBelow(root, Below(kSignatureName));
    if (!text || !sig || !SignedBy(keys, *text, *sig)) {
        result.notes.push_back("the served " + std::string(kProfileName) +
                               " is not signed by this key (or changed since): its serial is "
                               "not counted and nothing is compared with it");
        return std::nullopt;
    }
    // Read as the launcher reads it, from the very bytes that were verified.
    TempDirectory staging;
    const std::string staged = JoinPath(staging.Path(), kProfileName);
    WriteFileAtomically(staged, *text);
    profile::ClearCache();
    const std::wstring file = FromUtf8(staged);
    PreviousPublish previous;
    previous.serial =
        format::ReadSerial(ToUtf8(ReadProfileValue(kPublishSection, L"serial", file)));
    previous.client = !ReadProfileValue(kGameSection, kClientKey, file).empty();
    for (const PatchSet& set : PatchSets()) {
        if (!ReadProfileValue(kGameSection, set.key, file).empty()) {
            previous.sets.push_back(set.key);
        }
    }
    return previous;
}

// The serial the previous publish counts for; a serial past the bound cannot be followed.
std::optional<uint64_t> ServedSerial(const std::optional<PreviousPublish>& previous) {
    if (!previous) {
        return std::nullopt;
    }
    if (previous->serial.form == format::SerialForm::TooLarge) {
        throw Refused({"the served " + std::string(kProfileName) +
                       ", signed by this key, has a serial above 2^53, which launchers refuse; "
                       "publishes with this key cannot follow it"});
    }
    if (previous->serial.form != format::SerialForm::Number) {
        return std::nullopt;  // a profile from before serials
    }
    return previous->serial.value;
}

// What this publish drops from the previous one: vt.exe only when asked to, since launchers
// keep the client they have and would never hear of another one; a set is noted.
void CheckDrops(const std::optional<PreviousPublish>& previous, Scanner& scanner,
                const PublishOptions& options, PublishResult& result) {
    if (!previous) {
        return;  // nothing signed by this key to compare with
    }
    const std::string earlier = "the served serial " + std::to_string(previous->serial.value);
    if (previous->client && !scanner.Client()) {
        if (!options.dropClient) {
            throw Refused({std::string(kClientName) + ": " + earlier +
                           " has the client and TREE holds none; launchers would keep the "
                           "vt.exe they have. Give --drop-client to publish without it"});
        }
        result.notes.push_back(std::string(kClientName) + " dropped (--drop-client): " + earlier +
                               " had it; launchers keep the one they have");
    }
    for (const SetSources& s : scanner.Sets()) {
        if (s.files.empty() &&
            std::ranges::find(previous->sets, s.set->key) != previous->sets.end()) {
            result.notes.push_back("set " + ToUtf8(s.set->key) + " dropped: " + earlier +
                                   " listed it; launchers keep its files and stop updating "
                                   "them");
        }
    }
}

// The arguments the launcher would refuse: a game it cannot compare, an expiry that is over.
void CheckArguments(const PublishOptions& options) {
    std::vector<std::string> refusals;
    if (auto why = GameProblem(options.game)) {
        refusals.push_back(*why);
    }
    if (options.expires) {
        std::optional<int64_t> expires = ParseUtcTime(*options.expires);
        if (!expires) {
            refusals.push_back("--expires " + *options.expires +
                               " is not a time of the form YYYY-MM-DDTHH:MM:SSZ");
        } else if (*expires <= options.now) {
            refusals.push_back("--expires " + *options.expires + " has passed already");
        }
    }
    if (!refusals.empty()) {
        throw Refused(refusals);
    }
}

Pin PinOf(const FileFacts& facts) {
    return Pin{static_cast<uint64_t>(facts.size), facts.sha256};
}

// A set's manifest as it will be served.
struct BuiltManifest {
    const PatchSet* set = nullptr;
    std::string bytes;
    FileFacts facts;
};

// Every set's manifest and the pins for [publish], from the hashed sources alone: nothing is
// written yet. Every set gets one, an empty set too: a launcher that still reads an earlier
// profile, or no signature, finds the set emptied rather than a missing file.
IniText BuildManifests(Scanner& scanner, std::vector<BuiltManifest>& manifests,
                       PublishResult& result) {
    IniText pins;
    if (scanner.Client()) {
        result.clientVersion = ContentVersion(scanner.Client()->facts.sha256);
        pins.Key(kClientName, PinText(PinOf(scanner.Client()->facts)));
    }
    for (const SetSources& s : scanner.Sets()) {
        Manifest manifest{s.set->key, {}};
        for (const Source& source : s.files) {
            manifest.entries.push_back(
                {source.entry, ContentVersion(source.facts.sha256), PinOf(source.facts)});
        }
        BuiltManifest built{s.set, WriteManifest(manifest), {}};
        built.facts = {static_cast<int64_t>(built.bytes.size()), Sha256OfText(built.bytes)};
        if (!s.files.empty()) {  // else no key in [game]: a launcher never opens the set
            result.sets.push_back({s.set->key, ContentVersion(built.facts.sha256), s.files.size()});
            pins.Key(s.set->ManifestPath(), PinText(Pin{built.bytes.size(), built.facts.sha256}));
        }
        manifests.push_back(std::move(built));
    }
    return pins;
}

// Refuses, before the first write, an object name that something else holds.
void CheckObjects(const std::string& root, Scanner& scanner,
                  const std::vector<BuiltManifest>& manifests) {
    std::set<std::string> refusals;
    auto check = [&](const FileFacts& facts) {
        const std::string relative = Below(format::ObjectPath(facts.sha256));
        if (std::optional<std::string> why = ObjectInTheWay(root, relative, facts.size)) {
            refusals.insert(*why);
        }
    };
    ForEachSource(scanner, [&check](const Source& source) { check(source.facts); });
    for (const BuiltManifest& m : manifests) {
        check(m.facts);
    }
    if (!refusals.empty()) {
        throw Refused({refusals.begin(), refusals.end()});
    }
}

// Every payload and manifest under its SHA-256, before the legacy tree and the profile that
// name them.
void ServeObjects(const std::string& root, Scanner& scanner,
                  const std::vector<BuiltManifest>& manifests, PublishResult& result) {
    Progress progress("objects", CountSources(scanner) + manifests.size());
    auto count = [&](bool written) {
        (written ? result.objectsWritten : result.objectsServed)++;
        progress.Advance();
    };
    ForEachSource(scanner, [&](const Source& source) {
        count(ServeObject(root, source.facts,
                          [&](PendingFile& out) { CopySource(scanner.Tree(), source, out); }));
    });
    for (const BuiltManifest& m : manifests) {
        count(ServeObject(root, m.facts, [&m](PendingFile& out) { out.Write(m.bytes); }));
    }
}

// The tree launchers in the field read, by name: payloads, then every set's manifest.
void ServeLegacyTree(const std::string& root, Scanner& scanner,
                     const std::vector<BuiltManifest>& manifests, PublishResult& result) {
    Progress progress("writing", CountSources(scanner));
    ForEachSource(scanner, [&](const Source& source) {
        (ServePayload(root, scanner.Tree(), source) ? result.written : result.unchanged)++;
        progress.Advance();
    });
    for (const BuiltManifest& m : manifests) {
        OpenFolderBelow(root, Below(m.set->folder), true);
        WriteFileAtomically(root, Below(m.set->ManifestPath()), m.bytes);
    }
}

// vtgame.ini: [game] with the launcher version and every set's version, [transfer] and
// [mirrors] when asked for, then [publish].
std::string ProfileText(const PublishOptions& options, const PublishResult& result,
                        const IniText& pins, const PublishTrust& trust) {
    IniText profile;
    profile.Section(ToCp949(kGameSection));
    profile.Key("game", ToCp949(FromUtf8(options.game)));
    if (!result.clientVersion.empty()) {
        profile.Key(ToCp949(kClientKey), result.clientVersion);
    }
    for (const PublishedSet& s : result.sets) {
        profile.Key(ToCp949(s.key), s.version);
    }
    if (options.connections) {
        profile.Section("transfer");
        profile.Key("connections", std::to_string(*options.connections));
    }
    if (!options.mirrors.empty()) {
        profile.Section(format::kMirrorsSection);
        for (std::size_t i = 0; i < options.mirrors.size(); ++i) {
            profile.Key(std::to_string(i + 1), options.mirrors[i]);
        }
    }
    TrustSections(trust, profile);
    profile.Section(ToCp949(kPublishSection));
    profile.Key("serial", std::to_string(result.serial));
    if (options.expires) {
        profile.Key("expires", *options.expires);
    }
    return profile.Bytes() + pins.Bytes();
}

// The launcher's object and the list's file, like every object: never where another file is.
void CheckTrustFiles(const std::string& root, const PublishTrust& trust) {
    std::vector<std::string> refusals;
    if (trust.launcher) {
        const std::string relative = Below(format::ObjectPath(trust.launcher->sha256));
        if (std::optional<std::string> why = ObjectInTheWay(root, relative, trust.launcher->size)) {
            refusals.push_back(*why);
        }
    }
    if (trust.list) {
        const std::string relative = Below(format::KeyListPath(trust.list->digest));
        const auto size = static_cast<int64_t>(trust.list->bytes.size());
        if (std::optional<std::string> why = ObjectInTheWay(root, relative, size)) {
            refusals.push_back(*why);
        }
    }
    if (!refusals.empty()) {
        throw Refused(refusals);
    }
}

// The launcher as an object and the list under keys/, both before the profile naming them.
void ServeTrust(const PublishOptions& options, const PublishTrust& trust, PublishResult& result) {
    const std::string& root = options.root;
    if (trust.launcher) {
        const FileFacts facts = *trust.launcher;
        const std::string& path = *options.launcher;
        auto copy = [&](PendingFile& out) {
            if (HashFile(path, [&out](std::string_view b) { out.Write(b); }) != facts) {
                throw Failure(path + " changed during the publish; publish again");
            }
        };
        (ServeObject(root, facts, copy) ? result.objectsWritten : result.objectsServed)++;
        result.launcherSerial = trust.statement->statement.serial;
    }
    if (trust.list) {
        const std::string relative = Below(format::KeyListPath(trust.list->digest));
        const FileFacts facts{static_cast<int64_t>(trust.list->bytes.size()), trust.list->digest};
        ServeFileOnce(root, relative, facts,
                      [&](PendingFile& out) { out.Write(trust.list->bytes); });
        result.keyList = trust.list->digest;
    }
}

// A serial whose profile is archived already (the state lost and the served profile restored
// from a backup older than profiles/) is passed over: an archived publish is never replaced.
uint64_t PastArchived(const std::string& root, uint64_t serial, PublishResult& result) {
    const uint64_t first = serial;
    while (Exists(JoinPath(root, Below(format::ArchivedProfilePath(serial))))) {
        std::optional<uint64_t> next = format::NextSerialAfter(serial);
        if (!next) {
            throw Refused({"every serial up to 2^53 is archived in " +
                           JoinPath(root, Below(format::kProfilesFolder))});
        }
        serial = *next;
    }
    if (serial != first) {
        result.notes.push_back("serial " + std::to_string(first) + " to " +
                               std::to_string(serial - 1) + " archived in " +
                               std::string(format::kProfilesFolder) +
                               "/ already (a served tree newer than the profile it served); "
                               "publishing as " +
                               std::to_string(serial));
    }
    return serial;
}

// Every file written and flushed under its temporary name, then one rename each, so each name
// is whole at every moment: the archive, vtgame.signed, then the legacy pair. vtgame.signed
// holds the new publish before the pair passes through the moment where its two files do not
// match (a launcher that checks refuses that, never takes a mix).
void WriteSignedProfile(const std::string& root, const PrivateKey& key, const std::string& text,
                        uint64_t serial) {
    const Signature signature = key.Sign(text);
    const std::string_view sig(reinterpret_cast<const char*>(signature.data()), signature.size());
    auto pending = [&root](const std::string& relative, std::string_view head,
                           std::string_view body) {
        auto file = std::make_unique<PendingFile>(root, Below(relative));
        file->Write(head);
        file->Write(body);
        file->Sync();
        return file;
    };
    OpenFolderBelow(root, Below(format::kProfilesFolder), true);
    const std::string archivedName = format::ArchivedProfilePath(serial);
    auto archived = pending(archivedName, sig, text);
    auto whole = pending(format::kSignedProfileName, sig, text);
    auto pair = std::array{pending(kSignatureName, sig, {}), pending(kProfileName, {}, text)};
    if (!archived->CommitNew()) {
        throw Failure(JoinPath(root, Below(archivedName)) + " appeared during the publish");
    }
    whole->Commit();
    pair[0]->Commit();
    pair[1]->Commit();
}

// A private key others on the machine can read is as good as theirs.
std::optional<std::string> KeyExposure(const std::string& keyPath) {
    struct stat st {};
    if (::stat(keyPath.c_str(), &st) != 0 || (st.st_mode & 077) == 0) {
        return std::nullopt;
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return keyPath + " can be read by group or others (mode " + mode +
           "); keep the private key 0600 (chmod 600)";
}

// The state goes with the key, and neither must ever be served.
void CheckKeyOutsideRoot(const std::string& keyPath, const std::string& root) {
    namespace fs = std::filesystem;
    std::error_code keyError;
    std::error_code rootError;
    const fs::path keyFolder = fs::canonical(fs::absolute(keyPath).parent_path(), keyError);
    const fs::path rootFolder = fs::canonical(root, rootError);
    if (keyError || rootError) {
        return;  // no ROOT yet: the key cannot lie in it
    }
    if ((keyFolder.generic_string() + "/").starts_with(rootFolder.generic_string() + "/")) {
        throw Refused({"the key " + keyPath + " lies inside ROOT " + root +
                       ", which is served; keep the key and its state off the patch server"});
    }
}

// What a publish and its dry run decide from the served tree before the first write: the
// serial, what is dropped, the manifests and pins; refused when an object's name is taken.
IniText Decide(const PublishOptions& options, const PublishTrust& trust,
               std::optional<uint64_t> state, Scanner& scanner,
               std::vector<BuiltManifest>& manifests, PublishResult& result) {
    PrepareServedTree(options.root, !options.dryRun);
    const std::optional<PreviousPublish> previous =
        ReadPrevious(options.root, trust.Trusted(), result);
    result.serial = NextSerial({options.now, state, ServedSerial(previous)});
    result.serial = PastArchived(options.root, result.serial, result);
    CheckDrops(previous, scanner, options, result);
    IniText pins = BuildManifests(scanner, manifests, result);
    CheckObjects(options.root, scanner, manifests);
    CheckTrustFiles(options.root, trust);
    return pins;
}

// Every file of this publish a launcher fetches (vt.exe, the manifests [game] lists, every
// payload) with its pin, by its path below autopatch/, as NamedFiles gives a kept profile's.
std::map<std::string, Pin> PublishedFiles(Scanner& scanner,
                                          const std::vector<BuiltManifest>& manifests) {
    std::map<std::string, Pin> files;
    ForEachSource(scanner, [&files](const Source& source) {
        files.emplace(source.served, PinOf(source.facts));
    });
    // One manifest a set, in the sets' order; only a set with files is listed and pinned.
    for (size_t i = 0; i < manifests.size(); ++i) {
        if (!scanner.Sets()[i].files.empty()) {
            files.emplace(manifests[i].set->ManifestPath(), PinOf(manifests[i].facts));
        }
    }
    return files;
}

// Everything a publish checks, through the serial it would take, with nothing written; then
// what players at the last archived serials would download of it.
PublishResult DryRun(const PublishOptions& options, const PublishTrust& trust,
                     PublishResult result) {
    const std::optional<uint64_t> state = ReadState(StatePath(options.keyPath));
    NextSerial({options.now, state, std::nullopt});
    Scanner scanner(options.tree);
    scanner.Scan(result);
    HashSources(scanner);
    std::vector<BuiltManifest> manifests;
    Decide(options, trust, state, scanner, manifests, result);
    result.downloads = DownloadsSince(options.root, PublishedFiles(scanner, manifests),
                                      kDryRunSerials, result.notes);
    return result;
}

}  // namespace

std::optional<std::string> GameProblem(const std::string& game) {
    if (game.empty()) {
        return "--game is empty";
    }
    if (!ValidUtf8(game)) {
        return "--game is not UTF-8";
    }
    std::wstring text = FromUtf8(game);
    if (FromCp949(ToCp949(text)) != text) {
        return "--game cannot be written in code page 949";
    }
    for (wchar_t c : text) {
        if (c < 0x20 || c == 0x7F) {
            return "--game holds a control character";
        }
    }
    if (text.front() == L' ' || text.back() == L' ') {
        return "--game begins or ends with a blank, which the profile would drop";
    }
    if (text.size() >= 2 && (text.front() == L'"' || text.front() == L'\'') &&
        text.back() == text.front()) {
        return "--game is enclosed in quotes, which the profile would drop";
    }
    if (ToCp949(text).size() > kMaxEntryBytes) {
        return "--game is longer than a profile value can be";
    }
    return std::nullopt;
}

PublishResult Publish(const PublishOptions& options) {
    CheckArguments(options);
    // The key first: a publish that cannot sign must not touch the served tree.
    PrivateKey key = PrivateKey::LoadPem(options.keyPath);

    PublishResult result;
    if (std::optional<std::string> exposed = KeyExposure(options.keyPath)) {
        result.warnings.push_back(*exposed);
    }
    const std::string statePath = StatePath(options.keyPath);
    CheckKeyOutsideRoot(options.keyPath, options.root);
    const PublishTrust trust = PrepareTrust(options, key);
    if (options.dryRun) {
        return DryRun(options, trust, std::move(result));
    }
    RunLock keyLock("publish", options.keyPath, O_RDONLY,
                    "another publish with the key " + options.keyPath + " is running");
    const std::optional<uint64_t> state = ReadState(statePath);
    NextSerial({options.now, state, std::nullopt});  // a state at its end refuses before ROOT
    Scanner scanner(options.tree);
    scanner.Scan(result);
    HashSources(scanner);

    const std::string served = JoinPath(options.root, kServedFolder);
    MakeDirectories(options.root);
    RunLock rootLock("publish", RootLockPath(options.root), O_RDWR | O_CREAT | O_NOFOLLOW,
                     "another publish or gc of " + served + " is running");
    std::vector<BuiltManifest> manifests;
    const IniText pins = Decide(options, trust, state, scanner, manifests, result);
    // Objects first, then the legacy tree, then the profiles: no profile ever names a file
    // that is not there yet.
    ServeObjects(options.root, scanner, manifests, result);
    ServeLegacyTree(options.root, scanner, manifests, result);
    ServeTrust(options, trust, result);
    SyncFileSystem(served);
    // Recorded before it is signed: a publish that fails after this skips a serial, never
    // repeats one.
    WriteState(statePath, result.serial);
    WriteSignedProfile(options.root, key, ProfileText(options, result, pins, trust), result.serial);
    SyncFileSystem(served);
    return result;
}

}  // namespace vt::vtpatch
