#include "vtpatch/Cli.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "base/Cp949.h"
#include "format/Mirrors.h"
#include "format/Sets.h"
#include "transfer/Pool.h"
#include "vtpatch/Crypto.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Files.h"
#include "vtpatch/Gc.h"
#include "vtpatch/KeyCommands.h"
#include "vtpatch/KeyLists.h"
#include "vtpatch/Lint.h"
#include "vtpatch/Publish.h"
#include "vtpatch/Verify.h"

namespace vt::vtpatch {
namespace {

constexpr char kAbout[] =
    "Publishes the launcher's signed patches and checks them. 'vtpatch help COMMAND' or\n"
    "'vtpatch COMMAND --help' tells more, 'vtpatch --version' names the tool's version and the\n"
    "format it writes; docs/patch-format.md describes the format. Exit status: 0 success,\n"
    "1 problems found or refused, 2 a command line that cannot be understood, 3 the tool\n"
    "failed.\n";

constexpr char kKeygenHelp[] =
    "usage: vtpatch keygen [--root] DIR\n"
    "\n"
    "Makes a new ECDSA P-256 key: DIR/patch-key.pem, the private key (PEM, PKCS#8, mode 0600;\n"
    "keep it off the patch server) and DIR/patch-key.pub, the public key as 128 hex digits\n"
    "(X then Y). Refuses when either file exists.\n"
    "\n"
    "  --root          make the root key instead: DIR/root-key.pem and DIR/root-key.pub.\n"
    "                  Keep root-key.pem offline; launchers are built with root-key.pub\n"
    "                  (VT_PATCH_PUBLIC_KEY). It signs key lists (delegate) and launcher\n"
    "                  statements; a patch-key is a publish key a list delegates to, or,\n"
    "                  without lists, the key launchers are built with\n";

constexpr char kPublishHelp[] =
    "usage: vtpatch publish TREE ROOT --key PEM --game G [--expires YYYY-MM-DDTHH:MM:SSZ]\n"
    "                       [--drop-client] [--connections N] [--mirrors URL,...] [--dry-run]\n"
    "                       [--key-list LIST] [--launcher FILE [--statement STATEMENT |\n"
    "                       --launcher-serial N]]\n"
    "\n"
    "Writes the complete served tree ROOT/autopatch/ from TREE, a folder laid out like an\n"
    "installation: vt.exe; resource/sound/... (sound set); resource/data/... except card1 to\n"
    "card5 (graphics set); resource/data/cardN/*.dat (card set N). The installation's own\n"
    "files (vtgame.ini, the set manifests, resource/data/SvrList.dat, anything else at the top)\n"
    "are left out. Versions are content hashes: unchanged files and sets keep their versions.\n"
    "Payloads and manifests are written first, once each under objects/ by SHA-256 (an\n"
    "object is never rewritten), then by name; the profile last: profiles/<serial>.signed,\n"
    "vtgame.signed (signature and profile in one file), vtgame.ini.sig, vtgame.ini.\n"
    "\n"
    "[publish] serial is the largest of the publish time (UTC seconds), the last serial the\n"
    "key signed + 1 (kept in patch-key.state beside the key: back it up with the key) and the\n"
    "served profile's + 1 when this key signed it; serials above 2^53 are refused. So a new\n"
    "ROOT, a lost state or a restored backup still counts upward, and a served tree written\n"
    "by others cannot move the serial.\n"
    "\n"
    "  --key PEM       the private key from 'vtpatch keygen'\n"
    "  --game G        the launcher version ([game] game); other launchers refuse the patch\n"
    "  --expires T     UTC time after which launchers refuse the profile\n"
    "  --drop-client   publish a TREE without vt.exe although the previous publish had one\n"
    "                  (launchers keep the client they have)\n"
    "  --connections N how many connections at once launchers fetch payloads over, 1 to 16\n"
    "                  ([transfer] connections; without it, launchers use 8)\n"
    "  --mirrors L     up to 8 other hosts holding a copy of ROOT, comma-separated, each\n"
    "                  http://host[:port]/path/ (the folder autopatch/ lies in); keyed\n"
    "                  launchers fetch objects and the profile from them too ([mirrors])\n"
    "  --key-list LIST publish with a publish key: LIST (from 'vtpatch delegate') must hold\n"
    "                  the key unexpired; it is served as autopatch/keys/<sha256>.signed\n"
    "                  (never rewritten) and named in [keys] with the key. Without it the\n"
    "                  key is the one launchers are built with (the root), as before\n"
    "  --launcher FILE serve the launcher program FILE as an object, with the root's\n"
    "                  statement in [launcher]: players of another game update to it\n"
    "  --statement S   that statement, made offline by 'vtpatch sign-launcher' for FILE and\n"
    "                  --game (required with a publish key)\n"
    "  --launcher-serial N  without --statement, --key must be the root: publish signs the\n"
    "                  statement itself, with launcher serial N\n"
    "  --dry-run       check everything and write nothing (no object, profile, key state or\n"
    "                  lock); list what players at each of the last 5 archived serials would\n"
    "                  download of this publish (files and bytes, manifests included)\n"
    "\n"
    "Every set's manifest is written, an empty set's with count=0; a set that becomes empty\n"
    "is noted as dropped (launchers keep its files). Refuses, writing nothing, names the\n"
    "launcher refuses or would install under another name, names code page 949 cannot hold,\n"
    "file names that are not UTF-8, empty files, sets of more than 32766 files, symbolic\n"
    "links in TREE or below ROOT (TREE and ROOT themselves may be links), and dropping\n"
    "vt.exe without --drop-client.\n";

constexpr char kLintHelp[] =
    "usage: vtpatch lint ROOT-or-URL [--pub FILE] [--root FILE]\n"
    "                    [--against PRIMARY]\n"
    "\n"
    "Reads a served tree the way the launcher does, from ROOT (or ROOT/autopatch) or over\n"
    "HTTP from http://HOST[:PORT]/ (the launcher's patch host; autopatch/ is added), and\n"
    "lists every problem: unsafe or aliasing names, counts that do not match their entries,\n"
    "missing files, sizes and hashes that differ from their pins, versions that are not\n"
    "content versions, empty files, a serial launchers refuse, an expired profile, files that\n"
    "are symbolic links, objects/ missing what a pin names or holding other bytes, a\n"
    "vtgame.signed that disagrees with vtgame.ini; and notes what a publish dropped (vt.exe\n"
    "or a set still served) and a tree published before objects/ and vtgame.signed.\n"
    "\n"
    "  --pub FILE      check vtgame.ini.sig with this public key (patch-key.pub); without it\n"
    "                  the signature is not checked\n"
    "  --root FILE     the root key launchers are built with (128 hex digits): the key lists\n"
    "                  the profile's [keys] names are followed from it and their signatures\n"
    "                  checked, with the profile's by the key they allow; without it only\n"
    "                  their hashes, forms, expiry and links are\n"
    "  --against PRIMARY  check ROOT-or-URL as a mirror of PRIMARY (a folder or URL): a serial\n"
    "                  older than the one PRIMARY serves is a problem. With --pub, PRIMARY's\n"
    "                  vtgame.signed must verify\n"
    "\n"
    "Over HTTP it holds each answer to the launcher's limits: vtgame.ini up to 1 MiB,\n"
    "vtgame.ini.sig up to 64 bytes, a pinned file up to its pin, another manifest up to\n"
    "134209536 bytes (a longer Content-Length is a problem, its body never read); payloads\n"
    "are streamed into their hash. An answer without a head within 30 s, or with fewer than\n"
    "1024 bytes in any 30 s, is abandoned and a problem. VTPATCH_SLOW_ANSWER_SECONDS=N in\n"
    "the environment puts N seconds in place of those 30 (for tests).\n"
    "\n"
    "Exit status 0 when the launcher would install everything, 1 otherwise.\n";

constexpr char kVerifyHelp[] =
    "usage: vtpatch verify INSTALLATION --against ROOT-or-URL [--repair]\n"
    "\n"
    "Lists the installed files that are missing or differ (size, SHA-256) from the served\n"
    "tree although the installation's records (vtgame.ini, resource/sound/vtsound.ini, ...)\n"
    "call them current, so the launcher would never fetch them again. A set or vt.exe the\n"
    "served profile no longer lists is noted: the launcher leaves those files alone.\n"
    "\n"
    "  --against T     the served tree: a folder or an http:// URL, as for lint\n"
    "  --repair        blank those records, so the next launcher run fetches the files again\n"
    "\n"
    "Exit status 0 when every installed file matches, 1 when something differs (also after\n"
    "--repair: the launcher completes the repair).\n";

constexpr char kGcHelp[] =
    "usage: vtpatch gc ROOT --keep N [--days D]\n"
    "\n"
    "Removes the objects under ROOT/autopatch/objects/ that no kept profile names: the last N\n"
    "archived profiles (profiles/<serial>.signed, by serial; N at least 1), every profile\n"
    "published less than D days ago (default 7; the later of the archive's modification time\n"
    "and its serial, which is never below its publish time), and the served vtgame.signed and\n"
    "vtgame.ini. A profile names the manifests it pins and every payload they pin. Takes\n"
    "ROOT's publish lock, so it never runs beside a publish. Touches nothing but objects/:\n"
    "profiles stay, symbolic links are neither followed nor removed, files not named as\n"
    "objects are left alone, and an objects/<xx>/ folder it empties is removed.\n"
    "\n"
    "Refuses, removing nothing, when a kept profile or a manifest it pins cannot be read and\n"
    "checked against its name and pin, or when a publish is running. Exit status 0 when done,\n"
    "1 when refused.\n";

// Options of the form "--name value" or "--name=value"; "--" ends them. An option given twice
// is refused: which of the two was meant cannot be known.
std::optional<CommandLine> Parse(const std::vector<std::string>& args, const Command& command,
                                 std::string& error) {
    CommandLine line;
    std::set<std::string> seen;
    bool optionsDone = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsDone || !a.starts_with("--")) {
            line.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsDone = true;
            continue;
        }
        size_t eq = a.find('=');
        std::string name = a.substr(0, eq);
        if (!seen.insert(name).second) {
            error = name + " is given more than once";
            return std::nullopt;
        }
        if (name == "--help" && eq == std::string::npos) {
            line.help = true;
        } else if (command.values.contains(name)) {
            if (eq != std::string::npos) {
                line.values[name] = a.substr(eq + 1);
            } else if (i + 1 < args.size()) {
                line.values[name] = args[++i];
            } else {
                error = name + " needs a value";
                return std::nullopt;
            }
        } else if (command.flags.contains(name) && eq == std::string::npos) {
            line.flags.insert(name);
        } else {
            error = "unknown option " + a;
            return std::nullopt;
        }
    }
    return line;
}

// What the command needs besides known options: its number of arguments, its required options.
bool Complete(const CommandLine& line, const Command& command, std::string& error) {
    if (line.positional.size() != command.positional) {
        error = "expects " + std::to_string(command.positional) + " arguments, got " +
                std::to_string(line.positional.size());
        return false;
    }
    for (const std::string& option : command.required) {
        if (!line.values.contains(option)) {
            error = option + " is required";
            return false;
        }
    }
    return true;
}

std::string Files(size_t n) {
    return std::to_string(n) + (n == 1 ? " file" : " files");
}

void PrintFindings(const Findings& findings, std::ostream& out) {
    for (const Finding& f : findings.List()) {
        out << (f.problem ? "problem: " : "note: ") << f.where << ": " << f.what << "\n";
    }
}

int Keygen(const CommandLine& line, CliContext& io) {
    std::ostream& out = io.out;
    const bool root = line.flags.contains("--root");
    const std::string name = root ? kRootKeyName : kPatchKeyName;
    WriteKeyPair(line.positional[0], name);
    out << "wrote " << JoinPath(line.positional[0], name + ".pem") << " (private, 0600) and "
        << JoinPath(line.positional[0], name + ".pub") << "\n";
    if (root) {
        out << "keep " << name << ".pem offline; build launchers with " << name
            << ".pub (VT_PATCH_PUBLIC_KEY)\n";
    }
    return kExitOk;
}

// One line a player: the serial he is at, then what he would download.
void PrintDryRun(const PublishResult& result, const std::string& served, std::ostream& out) {
    out << "dry run, nothing written: would publish serial " << result.serial << " into " << served
        << "\n";
    if (result.downloads.empty()) {
        out << "no archived serial to compare with: every player downloads everything\n";
        return;
    }
    out << "  player at serial      files            bytes\n";
    for (const PlayerDownload& d : result.downloads) {
        const std::string serial = std::to_string(d.serial);
        const std::string files = std::to_string(d.files);
        const std::string bytes = std::to_string(d.bytes);
        out << "  " << serial << std::string(serial.size() < 18 ? 18 - serial.size() : 1, ' ')
            << std::string(files.size() < 10 ? 10 - files.size() : 1, ' ') << files
            << std::string(bytes.size() < 17 ? 17 - bytes.size() : 1, ' ') << bytes << "\n";
    }
}

// "URL,URL,...": each a mirror folder, none twice, at most 8.
std::optional<std::vector<std::string>> ReadMirrorOption(const std::string& text,
                                                         std::ostream& err) {
    std::vector<std::string> mirrors;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string url = text.substr(start, comma - start);
        if (!format::MirrorBase(url)) {
            err << "vtpatch publish: --mirrors: '" << url
                << "' is not http://host[:port]/path/ (a folder, plain characters)\n";
            return std::nullopt;
        }
        if (std::find(mirrors.begin(), mirrors.end(), url) != mirrors.end()) {
            err << "vtpatch publish: --mirrors: '" << url << "' is given twice\n";
            return std::nullopt;
        }
        mirrors.push_back(url);
        start = comma + 1;
    }
    if (mirrors.size() > static_cast<std::size_t>(format::kMostMirrors)) {
        err << "vtpatch publish: --mirrors: at most " << format::kMostMirrors << " mirrors\n";
        return std::nullopt;
    }
    return mirrors;
}

// --key-list, --launcher, --statement, --launcher-serial; false (the reason told) when they do
// not go together.
bool ReadTrustOptions(const CommandLine& line, CliContext& io, PublishOptions& options) {
    auto value = [&](const char* name) -> std::optional<std::string> {
        const auto found = line.values.find(name);
        return found == line.values.end() ? std::nullopt : std::optional(found->second);
    };
    options.keyList = value("--key-list");
    options.launcher = value("--launcher");
    options.statement = value("--statement");
    const std::optional<std::string> serial = value("--launcher-serial");
    std::string why;
    if ((options.statement || serial) && !options.launcher) {
        why = "--statement and --launcher-serial go with --launcher";
    } else if (options.statement && serial) {
        why = "--launcher-serial is for a statement publish signs; --statement has its own";
    } else if (serial) {
        options.launcherSerial = SerialOption(*serial, 1);
        if (!options.launcherSerial) {
            why = "--launcher-serial takes a launcher serial from 1 to 2^53";
        }
    }
    if (!why.empty()) {
        io.err << "vtpatch publish: " << why << "\n";
        return false;
    }
    return true;
}

// The publish's options from its command line; nothing (the reason told) for a value that
// cannot be understood.
std::optional<PublishOptions> ReadPublishOptions(const CommandLine& line, CliContext& io) {
    std::ostream& err = io.err;
    PublishOptions options;
    options.tree = line.positional[0];
    options.root = line.positional[1];
    options.keyPath = line.values.at("--key");
    options.game = line.values.at("--game");
    if (line.values.contains("--expires")) {
        options.expires = line.values.at("--expires");
    }
    options.now = io.now;
    options.dropClient = line.flags.contains("--drop-client");
    if (line.values.contains("--connections")) {
        const std::string& text = line.values.at("--connections");
        const std::optional<int> n = ReadConnections(text);
        if (!n) {
            err << "vtpatch publish: --connections takes a number from 1 to " << kMostConnections
                << ", not '" << text << "'\n";
            return std::nullopt;
        }
        options.connections = *n;
    }
    if (line.values.contains("--mirrors")) {
        std::optional<std::vector<std::string>> mirrors =
            ReadMirrorOption(line.values.at("--mirrors"), err);
        if (!mirrors) {
            return std::nullopt;
        }
        options.mirrors = std::move(*mirrors);
    }
    options.dryRun = line.flags.contains("--dry-run");
    return ReadTrustOptions(line, io, options) ? std::optional(options) : std::nullopt;
}

int PublishCommand(const CommandLine& line, CliContext& io) {
    std::ostream& out = io.out;
    std::ostream& err = io.err;
    const std::optional<PublishOptions> read = ReadPublishOptions(line, io);
    if (!read) {
        return kExitUsage;
    }
    const PublishOptions& options = *read;
    PublishResult result;
    try {
        result = Publish(options);
    } catch (const Refused& refused) {
        err << "vtpatch publish: refused, nothing was written:\n";
        for (const std::string& reason : refused.Reasons()) {
            err << "  " << reason << "\n";
        }
        return kExitProblems;
    }
    for (const std::string& note : result.notes) {
        out << "note: " << note << "\n";
    }
    for (const std::string& warning : result.warnings) {
        err << "vtpatch publish: warning: " << warning << "\n";
    }
    if (options.dryRun) {
        PrintDryRun(result, JoinPath(options.root, kServedFolder), out);
        return kExitOk;
    }
    out << "published serial " << result.serial << " into " << JoinPath(options.root, kServedFolder)
        << "\n";
    if (!result.clientVersion.empty()) {
        out << "  vtgame    " << result.clientVersion << "  vt.exe\n";
    }
    for (const PublishedSet& s : result.sets) {
        std::string key = ToUtf8(s.key);
        out << "  " << key << std::string(key.size() < 10 ? 10 - key.size() : 1, ' ') << s.version
            << "  " << Files(s.files) << "\n";
    }
    out << Files(result.written) << " written, " << result.unchanged << " already served\n";
    out << result.objectsWritten << " objects written, " << result.objectsServed
        << " already there\n";
    if (result.keyList) {
        out << "key list served as " << format::KeyListPath(*result.keyList) << "\n";
    }
    if (result.launcherSerial) {
        out << "launcher serial " << *result.launcherSerial << " served with its statement\n";
    }
    return kExitOk;
}

// The launcher's rule for slow answers; VTPATCH_SLOW_ANSWER_SECONDS shortens it for tests.
SlowAnswerRule Patience() {
    SlowAnswerRule rule;
    const char* text = std::getenv("VTPATCH_SLOW_ANSWER_SECONDS");
    if (text == nullptr) {
        return rule;
    }
    const std::string_view value(text);
    double seconds = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (ec != std::errc() || end != value.data() + value.size() || !(seconds > 0)) {
        throw Failure("VTPATCH_SLOW_ANSWER_SECONDS=" + std::string(value) +
                      " is not a number of seconds");
    }
    rule.headSeconds = seconds;
    rule.windowSeconds = seconds;
    return rule;
}

int LintCommand(const CommandLine& line, CliContext& io) {
    std::ostream& out = io.out;
    LintOptions options;
    options.now = io.now;
    if (line.values.contains("--pub")) {
        const std::string& path = line.values.at("--pub");
        std::optional<std::string> text = ReadFile(path);
        P256PublicKey key{};
        if (!text || !ParsePublicKey(*text, key)) {
            throw Failure(path + " holds no public key (128 hex digits of a P-256 point)");
        }
        options.publicKey = key;
    }
    if (line.values.contains("--root")) {
        const std::string& path = line.values.at("--root");
        std::optional<std::string> text = ReadFile(path);
        P256PublicKey key{};
        if (!text || !ParsePublicKey(*text, key)) {
            throw Failure(path + " holds no root key (128 hex digits of a P-256 point)");
        }
        options.root = key;
    }
    if (line.values.contains("--against")) {
        std::unique_ptr<ServedTree> primary =
            OpenServedTree(line.values.at("--against"), Patience());
        options.primarySerial = PrimarySerial(*primary, options.publicKey);
    }
    std::unique_ptr<ServedTree> tree = OpenServedTree(line.positional[0], Patience());
    Findings findings = Lint(*tree, options);
    PrintFindings(findings, out);
    out << findings.Problems() << " problems, " << findings.Notes() << " notes\n";
    return findings.Problems() == 0 ? kExitOk : kExitProblems;
}

int VerifyCommand(const CommandLine& line, CliContext& io) {
    std::ostream& out = io.out;
    VerifyOptions options;
    options.installation = line.positional[0];
    options.repair = line.flags.contains("--repair");
    std::unique_ptr<ServedTree> tree = OpenServedTree(line.values.at("--against"), Patience());
    VerifyReport report = Verify(*tree, options);
    PrintFindings(report.findings, out);
    out << Files(report.checked) << " compared, " << report.findings.Problems() << " problems, "
        << Files(report.pending) << " pending";
    if (options.repair) {
        out << ", " << report.repaired << " records blanked";
    }
    out << "\n";
    return report.findings.Problems() == 0 ? kExitOk : kExitProblems;
}

// A whole number from `least` up, as the option's text gives it.
std::optional<int64_t> Count(const std::string& text, int64_t least) {
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < least ||
        value > 1'000'000'000) {
        return std::nullopt;
    }
    return value;
}

int GcCommand(const CommandLine& line, CliContext& io) {
    GcOptions options;
    options.root = line.positional[0];
    options.now = io.now;
    const std::optional<int64_t> keep = Count(line.values.at("--keep"), 1);
    const std::optional<int64_t> days =
        line.values.contains("--days") ? Count(line.values.at("--days"), 0) : 7;
    if (!keep || !days) {
        io.err << "vtpatch gc: "
               << (keep ? "--days takes a number of days, 0 or more"
                        : "--keep takes a number of profiles, 1 or more")
               << "\n\n"
               << kGcHelp;
        return kExitUsage;
    }
    options.keep = static_cast<size_t>(*keep);
    options.days = *days;
    GcResult result;
    try {
        result = CollectGarbage(options);
    } catch (const Refused& refused) {
        io.err << "vtpatch gc: refused, nothing was removed:\n";
        for (const std::string& reason : refused.Reasons()) {
            io.err << "  " << reason << "\n";
        }
        return kExitProblems;
    } catch (const Busy& busy) {
        io.err << "vtpatch gc: refused, nothing was removed: " << busy.what() << "\n";
        return kExitProblems;
    }
    for (const std::string& note : result.notes) {
        io.out << "note: " << note << "\n";
    }
    io.out << "kept the objects of " << result.keptSerials.size() << " archived profiles";
    if (!result.keptSerials.empty()) {
        io.out << " (serials " << result.keptSerials.front() << " to " << result.keptSerials.back()
               << ")";
    }
    io.out << " and the served ones: " << result.kept << " objects\n"
           << "removed " << result.removed << " objects, " << result.removedBytes << " bytes ("
           << result.folders << " emptied folders)\n";
    return kExitOk;
}

// "  vtpatch keygen DIR" for each command: the usage line of its help.
std::string UsageText(const std::vector<Command>& commands) {
    std::string text = "usage: vtpatch COMMAND ...\n\n";
    for (const Command& c : commands) {
        std::string_view first = c.help;
        first = first.substr(0, first.find('\n'));
        if (first.starts_with("usage: ")) {
            first.remove_prefix(7);
        }
        text.append("  ").append(first).append("\n");
    }
    text += "  vtpatch help [COMMAND]\n  vtpatch --version\n\n";
    return text + kAbout;
}

const Command* Find(const std::vector<Command>& commands, const std::string& name) {
    auto it = std::find_if(commands.begin(), commands.end(),
                           [&](const Command& c) { return name == c.name; });
    return it == commands.end() ? nullptr : &*it;
}

// The answers that need no command: the overview, help COMMAND, the version. Nothing when
// `args` names a command to run.
std::optional<int> Overview(const std::vector<Command>& commands,
                            const std::vector<std::string>& args, CliContext& io) {
    if (args.empty()) {
        io.err << UsageText(commands);
        return kExitUsage;
    }
    const std::string& first = args[0];
    if (first == "--help" || first == "-h" || (first == "help" && args.size() == 1)) {
        io.out << UsageText(commands);
        return kExitOk;
    }
    if (args.size() == 1 && first == "--version") {
        io.out << "vtpatch " << ToUtf8(VT_VERSION) << ", writes patch format "
               << format::kFormatVersion << "\n";
        return kExitOk;
    }
    if (first == "help" && args.size() == 2 && Find(commands, args[1]) != nullptr) {
        io.out << Find(commands, args[1])->help;
        return kExitOk;
    }
    if (first == "help" || first == "--version") {
        io.err << "vtpatch " << first << ": "
               << (args.size() == 2 && first == "help" ? "unknown command " + args[1]
                                                       : "expects no more arguments")
               << "\n\n"
               << UsageText(commands);
        return kExitUsage;
    }
    if (Find(commands, first) == nullptr) {
        io.err << "vtpatch: unknown command " << first << "\n\n" << UsageText(commands);
        return kExitUsage;
    }
    return std::nullopt;
}

// The boundary: what a command throws becomes a message naming it and an exit status.
int Run(const Command& command, const CommandLine& line, CliContext& io) {
    try {
        return command.handler(line, io);
    } catch (const Refused& refused) {
        io.err << "vtpatch " << command.name << ": " << refused.what() << "\n";
        return kExitProblems;
    } catch (const Failure& failure) {
        io.err << "vtpatch " << command.name << ": " << failure.what() << "\n";
    } catch (const std::exception& e) {
        io.err << "vtpatch " << command.name << ": unexpected error: " << e.what() << "\n";
    } catch (...) {
        io.err << "vtpatch " << command.name << ": unexpected error\n";
    }
    return kExitFailed;
}

}  // namespace

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"keygen", kKeygenHelp, 1, {}, {}, {"--root"}, Keygen},
        {"publish",
         kPublishHelp,
         2,
         {"--key", "--game", "--expires", "--connections", "--mirrors", "--key-list", "--launcher",
          "--statement", "--launcher-serial"},
         {"--key", "--game"},
         {"--drop-client", "--dry-run"},
         PublishCommand},
        {"lint", kLintHelp, 1, {"--pub", "--root", "--against"}, {}, {}, LintCommand},
        {"verify", kVerifyHelp, 1, {"--against"}, {"--against"}, {"--repair"}, VerifyCommand},
        {"gc", kGcHelp, 1, {"--keep", "--days"}, {"--keep"}, {}, GcCommand},
        {"delegate",
         kDelegateHelp,
         0,
         {"--root", "--keys", "--expires", "--out", "--from", "--min-serial", "--served"},
         {"--root", "--keys", "--expires", "--out"},
         {},
         DelegateCommand},
        {"revoke",
         kRevokeHelp,
         0,
         {"--root", "--from", "--key", "--out", "--min-serial", "--served", "--expires"},
         {"--root", "--from", "--key", "--out"},
         {},
         RevokeCommand},
        {"rotate-root",
         kRotateRootHelp,
         0,
         {"--root", "--new-root", "--from", "--out", "--expires", "--served"},
         {"--root", "--new-root", "--from", "--out"},
         {},
         RotateRootCommand},
        {"sign-launcher",
         kSignLauncherHelp,
         1,
         {"--root", "--game", "--serial", "--out"},
         {"--root", "--game", "--serial", "--out"},
         {},
         SignLauncherCommand},
    };
    return commands;
}

int RunCli(const std::vector<Command>& commands, const std::vector<std::string>& args,
           std::ostream& out, std::ostream& err, int64_t now) {
    CliContext io{out, err, now};
    if (std::optional<int> status = Overview(commands, args, io)) {
        return *status;
    }
    const Command& command = *Find(commands, args[0]);
    std::string error;
    std::optional<CommandLine> line = Parse(args, command, error);
    if (line && line->help) {
        out << command.help;
        return kExitOk;
    }
    if (!line || !Complete(*line, command, error)) {
        err << "vtpatch " << command.name << ": " << error << "\n\n" << command.help;
        return kExitUsage;
    }
    return Run(command, *line, io);
}

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           int64_t now) {
    return RunCli(Commands(), args, out, err, now);
}

}  // namespace vt::vtpatch
