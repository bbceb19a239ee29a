#include "vtpatch/KeyLists.h"

#include <algorithm>

#include "base/Cp949.h"

#include "format/Bounds.h"
#include "format/Digest.h"
#include "format/Objects.h"
#include "format/Serial.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Format.h"

namespace vt::vtpatch {
namespace {

std::span<const std::byte> Bytes(std::string_view text) {
    return std::as_bytes(std::span(text.data(), text.size()));
}

std::string Short(const P256PublicKey& key) {
    return LowerHex(key).substr(0, 16) + "…";
}

std::string Value(const std::vector<std::pair<std::string, std::string>>& keys,
                  const std::string& name) {
    for (const auto& [key, value] : keys) {
        if (key == name) {
            return value;
        }
    }
    return "";
}

// Whether the list names the key at all, expired or not.
bool Names(const format::KeyList& list, const P256PublicKey& key) {
    return std::ranges::any_of(list.keys,
                               [&](const format::DelegatedKey& d) { return d.key == key; });
}

// A list's file from its bytes; nothing when it is not one whose signatures hold.
std::optional<ListFile> ListFromBytes(std::string bytes) {
    std::optional<format::KeyListFile> parts = format::SplitKeyList(Bytes(bytes));
    if (!parts) {
        return std::nullopt;
    }
    std::optional<format::KeyList> list = format::ReadKeyListBody(parts->body);
    if (!list || !format::KeyListSignaturesHold(*list, *parts)) {
        return std::nullopt;
    }
    const Sha256Digest digest = Sha256OfText(bytes);
    return ListFile{std::move(bytes), digest, std::move(*parts), std::move(*list)};
}

// The list a new one follows: in a rotation list, the hash of the list that introduced the
// older root; otherwise the rotation list that introduced the root. Both are this.
std::optional<Sha256Digest> ChainAfter(const ListFile& from) {
    return from.list.rotatedFrom ? std::optional(from.digest) : from.list.chain;
}

struct Roots {
    PrivateKey signer;                 // the root that signs `root` in the list
    std::optional<PrivateKey> before;  // RotateRoot: the root handing over
};

Roots LoadRoots(const ListChange& change) {
    if (change.kind != ListChangeKind::RotateRoot) {
        return {PrivateKey::LoadPem(change.rootPem), std::nullopt};
    }
    return {PrivateKey::LoadPem(*change.newRootPem), PrivateKey::LoadPem(change.rootPem)};
}

// The current list must be the one the signing root made: a list of another root is a gap
// in the chain launchers walk.
void CheckFrom(const ListChange& change, const ListFile& from, const Roots& roots,
               std::vector<std::string>& refusals) {
    const P256PublicKey current = roots.before ? roots.before->Public() : roots.signer.Public();
    if (from.list.root != current) {
        refusals.push_back(*change.from + " is signed by the root " + Short(from.list.root) +
                           ", not " + (roots.before ? "the old root given (" : "the root given (") +
                           Short(current) + ")" +
                           (roots.before ? ": the new list would leave a gap in the chain"
                                         : ": sign with that root, or hand over with rotate-root"));
    }
    if (roots.before && roots.before->Public() == roots.signer.Public()) {
        refusals.push_back("--new-root is the old root itself");
    }
}

// Delegate: the keys given, each until its expiry or the list's.
void DelegatedKeys(const ListChange& change, format::KeyList& list,
                   std::vector<std::string>& refusals) {
    for (const auto& [path, expiry] : change.keys) {
        const P256PublicKey key = ReadPublicKeyFile(path);
        const int64_t until = expiry.value_or(list.expires);
        if (until <= change.now) {
            refusals.push_back(path + ": its expiry " + FormatUtcTime(until) + " has passed");
        }
        if (key == list.root) {
            refusals.push_back(path +
                               " is the root; the root signs profiles itself and is "
                               "never delegated");
        }
        if (Names(list, key)) {
            refusals.push_back(path + " is given twice");
        }
        list.keys.push_back({key, until});
    }
}

// Revoke and rotate-root: the current list's keys (less the revoked one); a key that has
// expired meanwhile is left out, with a note.
void CarriedKeys(const ListChange& change, const ListFile& from, format::KeyList& list,
                 std::vector<std::string>& refusals, ListMade& made) {
    std::optional<P256PublicKey> revoked;
    if (change.revoked) {
        revoked = ReadPublicKeyFile(*change.revoked);
        if (!Names(from.list, *revoked)) {
            refusals.push_back(*change.from + " does not hold " + *change.revoked +
                               ": nothing to revoke");
        }
    }
    for (const format::DelegatedKey& d : from.list.keys) {
        if (revoked && d.key == *revoked) {
            continue;
        }
        if (d.expires <= change.now) {
            made.notes.push_back("key " + Short(d.key) + " expired " + FormatUtcTime(d.expires) +
                                 "; left out");
            continue;
        }
        list.keys.push_back(d);
    }
}

void CheckKeys(const format::KeyList& list, std::vector<std::string>& refusals) {
    if (list.keys.empty()) {
        refusals.push_back(
            "the list would hold no publish key; delegate a new one (delegate "
            "--keys) with it");
    }
    if (list.keys.size() > static_cast<std::size_t>(format::kMostPublishKeys)) {
        refusals.push_back("the list would hold " + std::to_string(list.keys.size()) +
                           " keys; launchers take at most " +
                           std::to_string(format::kMostPublishKeys));
    }
}

// Revoke without --min-serial: the served profile's serial, when a key other than the one
// revoked signed it (else it may be the leaked key's forgery, and the operator says).
uint64_t RevokeMinSerial(const ListChange& change, const std::optional<ServedKeys>& served,
                         std::vector<std::string>& refusals) {
    if (!served) {
        refusals.push_back(
            "revoke needs --min-serial N (the serial of the last publish you "
            "know is genuine) or --served ROOT holding it");
        return 0;
    }
    if (served->signer && *served->signer == ReadPublicKeyFile(*change.revoked)) {
        refusals.push_back("the profile served in " + *change.served + " (serial " +
                           std::to_string(served->serial) +
                           ") is signed by the key being revoked, so it may not be genuine: "
                           "give --min-serial with the serial of the last publish you made");
    }
    return served->serial;
}

// What the served tree tells: the new list must go above the list it relies on, and must not
// drop the key that signed it without delegating another one.
void CheckServed(const ListChange& change, const ServedKeys& served, const ListFile* from,
                 const format::KeyList& list, std::vector<std::string>& refusals) {
    if (served.list && served.list->serial >= list.serial) {
        refusals.push_back("the profile served in " + *change.served +
                           " relies on a list of "
                           "serial " +
                           std::to_string(served.list->serial) +
                           "; launchers refuse a lower or equal one: make the list --from that "
                           "one (autopatch/keys/)");
    }
    if (!served.signer || change.kind != ListChangeKind::Delegate ||
        list.Holds(*served.signer, change.now)) {
        return;
    }
    const bool replaced = std::ranges::any_of(list.keys, [&](const format::DelegatedKey& d) {
        return from == nullptr || !Names(from->list, d.key);
    });
    if (!replaced) {
        refusals.push_back("the list drops the key " + Short(*served.signer) +
                           " that signed the served profile and delegates no new key to "
                           "publish with; add the replacement to --keys");
    }
}

// The new list's fields from the current one and the change; refusals collected.
format::KeyList Fields(const ListChange& change, const ListFile* from, const Roots& roots,
                       std::vector<std::string>& refusals) {
    format::KeyList list;
    list.root = roots.signer.Public();
    if (roots.before) {
        list.rotatedFrom = roots.before->Public();
    }
    list.serial = 1;
    if (from) {
        const std::optional<uint64_t> next = format::NextSerialAfter(from->list.serial);
        if (!next) {
            refusals.push_back(*change.from + " is at the largest serial; none goes above it");
        }
        list.serial = next.value_or(from->list.serial);
        list.minSerial = from->list.minSerial;
        list.chain = ChainAfter(*from);
    }
    list.expires = change.expires.value_or(from ? from->list.expires : 0);
    if (list.expires <= change.now) {
        refusals.push_back("the list's expiry " + FormatUtcTime(list.expires) +
                           " has passed; give --expires");
    }
    return list;
}

}  // namespace

ListFile ReadListFile(const std::string& path) {
    std::optional<std::string> bytes = ReadFile(path);
    if (!bytes) {
        throw Failure("cannot read the key list " + path);
    }
    std::optional<ListFile> file = ListFromBytes(std::move(*bytes));
    if (!file) {
        throw Refused({path + " is not a key list whose signatures hold"});
    }
    return std::move(*file);
}

P256PublicKey ReadPublicKeyFile(const std::string& path) {
    const std::optional<std::string> text = ReadFile(path);
    P256PublicKey key{};
    if (!text || !ParsePublicKey(*text, key)) {
        throw Failure(path + " holds no public key (128 hex digits of a P-256 point)");
    }
    return key;
}

void WriteNewFile(const std::string& path, std::string_view bytes, unsigned mode) {
    if (Exists(path)) {
        throw Refused({path + " exists already; it is never overwritten"});
    }
    PendingFile file(path, mode);
    file.Write(bytes);
    file.Sync();
    if (!file.CommitNew()) {
        throw Refused({path + " appeared meanwhile; it is never overwritten"});
    }
}

std::optional<ServedKeys> ReadServedKeys(const std::string& root,
                                         const std::vector<P256PublicKey>& roots) {
    const std::string served(kServedFolder);
    const std::optional<std::string> whole =
        ReadFileBelow(root, served + "/" + format::kSignedProfileName);
    if (!whole || whole->size() < format::kSignatureBytes) {
        return std::nullopt;
    }
    Signature signature{};
    std::copy_n(whole->begin(), signature.size(), signature.begin());
    const std::string profile = whole->substr(format::kSignatureBytes);
    const auto keys = SectionKeys(profile, format::kKeysSection);
    const format::ProfileKeys named =
        format::ReadProfileKeys([&](const std::string& k) { return Value(keys, k); });
    ServedKeys out;
    out.serial = format::ReadSerial(Value(SectionKeys(profile, "publish"), "serial")).value;
    out.signer = named.signer;
    const std::vector<P256PublicKey> candidates =
        named.signer ? std::vector<P256PublicKey>{*named.signer} : roots;
    if (named.malformed || std::ranges::none_of(candidates, [&](const P256PublicKey& key) {
            return VerifySignature(key, profile, signature);
        })) {
        throw Refused({JoinPath(root, served) + ": the served profile verifies with neither its "
                                                "[keys] signer nor the root given"});
    }
    if (named.list) {
        if (std::optional<std::string> bytes =
                ReadFileBelow(root, served + "/" + format::KeyListPath(*named.list))) {
            if (std::optional<ListFile> file = ListFromBytes(std::move(*bytes))) {
                out.list = file->list;
            }
        }
    }
    return out;
}

ListMade MakeKeyList(const ListChange& change) {
    const Roots roots = LoadRoots(change);
    const std::optional<ListFile> from =
        change.from ? std::optional(ReadListFile(*change.from)) : std::nullopt;
    std::vector<std::string> refusals;
    if (from) {
        CheckFrom(change, *from, roots, refusals);
    }
    ListMade made;
    made.list = Fields(change, from ? &*from : nullptr, roots, refusals);
    std::vector<P256PublicKey> known = {roots.signer.Public()};
    if (roots.before) {
        known.push_back(roots.before->Public());
    }
    const std::optional<ServedKeys> served =
        change.served ? ReadServedKeys(*change.served, known) : std::nullopt;
    if (change.kind == ListChangeKind::Delegate) {
        DelegatedKeys(change, made.list, refusals);
    } else {
        CarriedKeys(change, *from, made.list, refusals, made);
    }
    CheckKeys(made.list, refusals);
    if (change.minSerial) {
        made.list.minSerial = *change.minSerial;
    } else if (change.kind == ListChangeKind::Revoke) {
        made.list.minSerial = RevokeMinSerial(change, served, refusals);
    }
    if (served) {
        CheckServed(change, *served, from ? &*from : nullptr, made.list, refusals);
    }
    if (!refusals.empty()) {
        throw Refused(refusals);
    }
    format::KeyListFile file;
    file.body = format::KeyListBodyText(made.list);
    file.rootSignature = roots.signer.Sign(file.body);
    if (roots.before) {
        file.previousSignature = roots.before->Sign(file.body);
    }
    const std::string bytes = format::JoinKeyList(file);
    WriteNewFile(change.out, bytes);
    made.digest = Sha256OfText(bytes);
    return made;
}

format::SignedStatement SignStatement(const PrivateKey& root, const std::string& path,
                                      const std::string& gameCp949, uint64_t serial) {
    const std::optional<FileFacts> facts = HashFile(path);
    if (!facts) {
        throw Failure("cannot read the launcher " + path);
    }
    if (facts->size == 0) {
        throw Refused({path + ": zero bytes; no launcher"});
    }
    format::SignedStatement out;
    out.statement = {gameCp949, static_cast<uint64_t>(facts->size), facts->sha256, serial};
    out.signature = root.Sign(format::StatementText(out.statement));
    return out;
}

std::string StatementFileText(const format::SignedStatement& statement) {
    return "[" + std::string(format::kLauncherSection) + "]\r\n" +
           format::StatementLines(statement);
}

format::SignedStatement ReadStatementFile(const std::string& path) {
    const std::optional<std::string> text = ReadFile(path);
    if (!text) {
        throw Failure("cannot read the statement " + path);
    }
    const auto keys = SectionKeys(*text, format::kLauncherSection);
    const format::StatementReading reading =
        format::ReadStatement([&](const std::string& k) { return Value(keys, k); });
    if (reading.form != format::StatementForm::Present) {
        throw Refused({path + " is not a launcher statement (vtpatch sign-launcher writes one)"});
    }
    return reading.signedStatement;
}

std::vector<std::string> StatementProblems(const format::SignedStatement& statement,
                                           const FileFacts& facts, const std::string& gameCp949,
                                           const P256PublicKey& root) {
    std::vector<std::string> problems;
    const format::LauncherStatement& s = statement.statement;
    if (s.size != static_cast<uint64_t>(facts.size) || s.sha256 != facts.sha256) {
        problems.push_back("the statement names another launcher (" + std::to_string(s.size) +
                           " bytes, SHA-256 " + DigestHex(s.sha256).substr(0, 16) +
                           "…) than the one given");
    }
    if (s.game != gameCp949) {
        problems.push_back("the statement is for game " + ToUtf8(FromCp949(s.game)) +
                           ", not --game " + ToUtf8(FromCp949(gameCp949)));
    }
    if (!format::StatementSignedBy(statement, root)) {
        problems.push_back("the statement is not signed by the root (" + Short(root) +
                           "); launchers take only the root's");
    }
    return problems;
}

}  // namespace vt::vtpatch
