#include "vtpatch/KeyCommands.h"

#include <optional>
#include <ostream>

#include "base/Cp949.h"
#include "format/Serial.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Format.h"
#include "vtpatch/KeyLists.h"
#include "vtpatch/Publish.h"

namespace vt::vtpatch {

const char kDelegateHelp[] =
    "usage: vtpatch delegate --root ROOT.pem --keys PUB[=T],... --expires T --out FILE\n"
    "                        [--from LIST] [--min-serial N] [--served ROOT]\n"
    "\n"
    "Signs, with the root, a key list that lets the publish keys PUB (public key files, as\n"
    "'vtpatch keygen' writes them) sign profiles until their expiry T (YYYY-MM-DDTHH:MM:SSZ;\n"
    "without one, the list's). Writes FILE, never over a file, and prints its SHA-256:\n"
    "'vtpatch publish --key-list FILE' serves it as autopatch/keys/<sha256>.signed.\n"
    "\n"
    "  --from LIST     the current list: the new one takes its serial + 1 and carries its\n"
    "                  min-serial and chain; its root must be ROOT (else rotate-root). Without\n"
    "                  it the list is the first: serial 1, min-serial 0\n"
    "  --min-serial N  instead of the carried one (see 'vtpatch help revoke')\n"
    "  --served ROOT   the served tree: the list must go above the serial of the list its\n"
    "                  profile relies on, and must not drop the key that signed it without\n"
    "                  delegating a new one\n"
    "\n"
    "Refuses, writing nothing, an expiry that has passed (the list's or a key's), the root\n"
    "among the keys, a key twice, more than 16 keys, a LIST of another root.\n";

const char kRevokeHelp[] =
    "usage: vtpatch revoke --root ROOT.pem --from LIST --key PUB --out FILE\n"
    "                      [--min-serial N | --served ROOT] [--expires T]\n"
    "\n"
    "Signs a list like LIST without the publish key PUB (lost or leaked), serial + 1. Launchers\n"
    "that kept a profile of PUB above the list's min-serial lower what they kept to it, so a\n"
    "forged profile with a huge serial locks nobody out: give the serial of the last publish\n"
    "you know is genuine.\n"
    "\n"
    "  --min-serial N  that serial\n"
    "  --served ROOT   take it from the profile ROOT serves, when a key other than PUB (or the\n"
    "                  root) signed it; a profile PUB signed may be forged and is refused:\n"
    "                  give --min-serial then\n"
    "  --expires T     the list's expiry (default: LIST's)\n"
    "\n"
    "Keys of LIST that have expired are left out (noted). Refuses a PUB LIST does not hold, a\n"
    "list left without a key (delegate a new one instead), an expiry that has passed.\n";

const char kRotateRootHelp[] =
    "usage: vtpatch rotate-root --root OLD.pem --new-root NEW.pem --from LIST --out FILE\n"
    "                           [--expires T] [--served ROOT]\n"
    "\n"
    "Hands the root over: a list signed by both roots (rotated-from OLD, root NEW), serial + 1,\n"
    "LIST's keys and min-serial carried. Launchers that follow it trust NEW alone from then\n"
    "on. LIST's root must be OLD (else the chain launchers walk has a gap). Keep OLD until\n"
    "every launcher had the chance to follow; a chain is at most 16 lists long.\n"
    "\n"
    "  --expires T     the list's expiry (default: LIST's)\n"
    "  --served ROOT   the served tree: the list must go above the one its profile relies on\n";

const char kSignLauncherHelp[] =
    "usage: vtpatch sign-launcher FILE --root ROOT.pem --game G --serial N --out STATEMENT\n"
    "\n"
    "Signs, with the root, a statement that the launcher program FILE (its size and SHA-256) is\n"
    "the launcher of game G ([game] game of the profiles it goes with) with launcher serial N\n"
    "(its VT_LAUNCHER_SERIAL; launchers update only to a higher one). STATEMENT holds the\n"
    "profile's [launcher] section; 'vtpatch publish --launcher FILE --statement STATEMENT'\n"
    "serves it with a publish key. Never writes over a file.\n";

std::optional<uint64_t> SerialOption(const std::string& text, uint64_t least) {
    const format::SerialReading reading = format::ReadSerial(text);
    if (reading.form != format::SerialForm::Number || reading.value < least) {
        return std::nullopt;
    }
    return reading.value;
}

namespace {

int Usage(CliContext& io, const char* name, const std::string& why, const char* help) {
    io.err << "vtpatch " << name << ": " << why << "\n\n" << help;
    return kExitUsage;
}

// "PUB[=T],...": each public key file with its expiry, when given.
std::optional<std::vector<std::pair<std::string, std::optional<int64_t>>>> KeysOption(
    const std::string& text, std::string& why) {
    std::vector<std::pair<std::string, std::optional<int64_t>>> keys;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        std::string item = text.substr(start, comma - start);
        std::optional<int64_t> expiry;
        if (const std::size_t eq = item.rfind('='); eq != std::string::npos) {
            expiry = ParseUtcTime(item.substr(eq + 1));
            if (!expiry) {
                why = "--keys: '" + item.substr(eq + 1) + "' is not YYYY-MM-DDTHH:MM:SSZ";
                return std::nullopt;
            }
            item.resize(eq);
        }
        if (item.empty()) {
            why = "--keys: an empty key file name";
            return std::nullopt;
        }
        keys.emplace_back(item, expiry);
        start = comma + 1;
    }
    return keys;
}

// The options the list commands share; nothing (the reason in `why`) when one cannot be read.
std::optional<ListChange> ReadChange(const CommandLine& line, CliContext& io, std::string& why) {
    ListChange change;
    change.rootPem = line.values.at("--root");
    change.out = line.values.at("--out");
    change.now = io.now;
    auto value = [&](const char* name) -> std::optional<std::string> {
        const auto found = line.values.find(name);
        return found == line.values.end() ? std::nullopt : std::optional(found->second);
    };
    change.from = value("--from");
    change.served = value("--served");
    change.newRootPem = value("--new-root");
    change.revoked = value("--key");
    if (const auto expires = value("--expires")) {
        change.expires = ParseUtcTime(*expires);
        if (!change.expires) {
            why = "--expires '" + *expires + "' is not YYYY-MM-DDTHH:MM:SSZ";
            return std::nullopt;
        }
    }
    if (const auto minSerial = value("--min-serial")) {
        change.minSerial = SerialOption(*minSerial, 0);
        if (!change.minSerial) {
            why = "--min-serial takes a serial from 0 to 2^53, not '" + *minSerial + "'";
            return std::nullopt;
        }
    }
    if (const auto keys = value("--keys")) {
        std::optional<std::vector<std::pair<std::string, std::optional<int64_t>>>> read =
            KeysOption(*keys, why);
        if (!read) {
            return std::nullopt;
        }
        change.keys = std::move(*read);
    }
    return change;
}

int ListCommand(ListChangeKind kind, const char* name, const char* help, const CommandLine& line,
                CliContext& io) {
    std::string why;
    std::optional<ListChange> change = ReadChange(line, io, why);
    if (!change) {
        return Usage(io, name, why, help);
    }
    change->kind = kind;
    ListMade made;
    try {
        made = MakeKeyList(*change);
    } catch (const Refused& refused) {
        io.err << "vtpatch " << name << ": refused, nothing was written:\n";
        for (const std::string& reason : refused.Reasons()) {
            io.err << "  " << reason << "\n";
        }
        return kExitProblems;
    }
    for (const std::string& note : made.notes) {
        io.out << "note: " << note << "\n";
    }
    const format::KeyList& list = made.list;
    io.out << "wrote " << change->out << ": key list serial " << list.serial << ", expires "
           << FormatUtcTime(list.expires) << ", min-serial " << list.minSerial << ", "
           << list.keys.size() << (list.keys.size() == 1 ? " publish key" : " publish keys")
           << (list.rotatedFrom ? ", hands the root over" : "") << "\n"
           << "sha256 " << DigestHex(made.digest) << "\n"
           << "publish --key-list " << change->out << " serves it as autopatch/"
           << format::KeyListPath(made.digest) << "\n";
    return kExitOk;
}

}  // namespace

int DelegateCommand(const CommandLine& line, CliContext& io) {
    return ListCommand(ListChangeKind::Delegate, "delegate", kDelegateHelp, line, io);
}

int RevokeCommand(const CommandLine& line, CliContext& io) {
    return ListCommand(ListChangeKind::Revoke, "revoke", kRevokeHelp, line, io);
}

int RotateRootCommand(const CommandLine& line, CliContext& io) {
    return ListCommand(ListChangeKind::RotateRoot, "rotate-root", kRotateRootHelp, line, io);
}

int SignLauncherCommand(const CommandLine& line, CliContext& io) {
    const std::string& game = line.values.at("--game");
    const std::optional<uint64_t> serial = SerialOption(line.values.at("--serial"), 1);
    if (!serial) {
        return Usage(io, "sign-launcher", "--serial takes a launcher serial from 1 to 2^53",
                     kSignLauncherHelp);
    }
    if (std::optional<std::string> why = GameProblem(game)) {
        throw Refused({*why});
    }
    const PrivateKey root = PrivateKey::LoadPem(line.values.at("--root"));
    const std::string& file = line.positional[0];
    const format::SignedStatement statement =
        SignStatement(root, file, ToCp949(FromUtf8(game)), *serial);
    const std::string& out = line.values.at("--out");
    WriteNewFile(out, StatementFileText(statement));
    io.out << "wrote " << out << ": launcher " << file << " (" << statement.statement.size
           << " bytes, sha256 " << DigestHex(statement.statement.sha256) << "), game " << game
           << ", launcher serial " << *serial << "\n";
    return kExitOk;
}

}  // namespace vt::vtpatch
