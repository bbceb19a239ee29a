#include "vtpatch/Cli.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "base/Cp949.h"
#include "vtpatch/Crypto.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Files.h"
#include "vtpatch/Lint.h"
#include "vtpatch/Publish.h"
#include "vtpatch/Verify.h"

namespace vt::vtpatch {
namespace {

constexpr int kOk = 0;
constexpr int kProblems = 1;
constexpr int kUsage = 2;

constexpr char kUsageText[] =
    "usage: vtpatch COMMAND ...\n"
    "\n"
    "  vtpatch keygen DIR\n"
    "  vtpatch publish TREE ROOT --key PEM --game G [--expires YYYY-MM-DDTHH:MM:SSZ]\n"
    "  vtpatch lint ROOT-or-URL [--pub FILE]\n"
    "  vtpatch verify INSTALLATION --against ROOT-or-URL [--repair]\n"
    "\n"
    "Publishes the launcher's signed patches and checks them. 'vtpatch COMMAND --help' tells\n"
    "more; docs/patch-format.md describes the format. Exit status: 0 success, 1 problems found,\n"
    "refused or failed, 2 a command line that cannot be understood.\n";

constexpr char kKeygenHelp[] =
    "usage: vtpatch keygen DIR\n"
    "\n"
    "Makes a new ECDSA P-256 patch key: DIR/patch-key.pem, the private key (PEM, PKCS#8,\n"
    "mode 0600; keep it off the patch server) and DIR/patch-key.pub, the public key as 128 hex\n"
    "digits (X then Y) that launchers are built with. Refuses when either file exists.\n";

constexpr char kPublishHelp[] =
    "usage: vtpatch publish TREE ROOT --key PEM --game G [--expires YYYY-MM-DDTHH:MM:SSZ]\n"
    "\n"
    "Writes the complete served tree ROOT/autopatch/ from TREE, a folder laid out like an\n"
    "installation: vt.exe; resource/sound/... (sound set); resource/data/... except card1 to\n"
    "card5 (graphics set); resource/data/cardN/*.dat (card set N). The installation's own\n"
    "files (vtgame.ini, the set manifests, resource/data/SvrList.dat, anything else at the top)\n"
    "are left out. Versions are content hashes: unchanged files and sets keep their versions.\n"
    "Payloads and manifests are written first, vtgame.ini and vtgame.ini.sig last; each publish\n"
    "into the same ROOT raises [publish] serial by one.\n"
    "\n"
    "  --key PEM       the private key from 'vtpatch keygen'\n"
    "  --game G        the launcher version ([game] game); other launchers refuse the patch\n"
    "  --expires T     UTC time after which launchers refuse the profile\n"
    "\n"
    "Refuses, writing nothing, names the launcher refuses or would install under another\n"
    "name, names code page 949 cannot hold, file names that are not UTF-8, empty files, and\n"
    "sets of more than 32766 files.\n";

constexpr char kLintHelp[] =
    "usage: vtpatch lint ROOT-or-URL [--pub FILE]\n"
    "\n"
    "Reads a served tree the way the launcher does, from ROOT (or ROOT/autopatch) or over\n"
    "HTTP from http://HOST[:PORT]/ (the launcher's patch host; autopatch/ is added), and\n"
    "lists every problem: unsafe or aliasing names, counts that do not match their entries,\n"
    "missing files, sizes and hashes that differ from their pins, versions that are not\n"
    "content versions, empty files, an expired profile.\n"
    "\n"
    "  --pub FILE      check vtgame.ini.sig with this public key (patch-key.pub); without it\n"
    "                  the signature is not checked\n"
    "\n"
    "Exit status 0 when the launcher would install everything, 1 otherwise.\n";

constexpr char kVerifyHelp[] =
    "usage: vtpatch verify INSTALLATION --against ROOT-or-URL [--repair]\n"
    "\n"
    "Lists the installed files that are missing or differ (size, SHA-256) from the served\n"
    "tree although the installation's records (vtgame.ini, resource/sound/vtsound.ini, ...)\n"
    "call them current, so the launcher would never fetch them again.\n"
    "\n"
    "  --against T     the served tree: a folder or an http:// URL, as for lint\n"
    "  --repair        blank those records, so the next launcher run fetches the files again\n"
    "\n"
    "Exit status 0 when every installed file matches, 1 when something differs (also after\n"
    "--repair: the launcher completes the repair).\n";

struct CommandLine {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    bool help = false;
};

// Options of the form "--name value" or "--name=value"; "--" ends them.
std::optional<CommandLine> Parse(const std::vector<std::string>& args,
                                 const std::set<std::string>& valueOptions,
                                 const std::set<std::string>& flagOptions, std::string& error) {
    CommandLine line;
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
        if (a == "--help") {
            line.help = true;
            continue;
        }
        size_t eq = a.find('=');
        std::string name = a.substr(0, eq);
        if (valueOptions.contains(name)) {
            if (eq != std::string::npos) {
                line.values[name] = a.substr(eq + 1);
            } else if (i + 1 < args.size()) {
                line.values[name] = args[++i];
            } else {
                error = name + " needs a value";
                return std::nullopt;
            }
        } else if (flagOptions.contains(name) && eq == std::string::npos) {
            line.flags.insert(name);
        } else {
            error = "unknown option " + a;
            return std::nullopt;
        }
    }
    return line;
}

std::string Files(size_t n) {
    return std::to_string(n) + (n == 1 ? " file" : " files");
}

void PrintFindings(const Findings& findings, std::ostream& out) {
    for (const Finding& f : findings.List()) {
        out << (f.problem ? "problem: " : "note: ") << f.where << ": " << f.what << "\n";
    }
}

int Keygen(const CommandLine& line, std::ostream& out) {
    WriteKeyPair(line.positional[0]);
    out << "wrote " << JoinPath(line.positional[0], "patch-key.pem") << " (private, 0600) and "
        << JoinPath(line.positional[0], "patch-key.pub") << "\n";
    return kOk;
}

int PublishCommand(const CommandLine& line, std::ostream& out, std::ostream& err, int64_t now) {
    PublishOptions options;
    options.tree = line.positional[0];
    options.root = line.positional[1];
    options.keyPath = line.values.at("--key");
    options.game = line.values.at("--game");
    if (line.values.contains("--expires")) {
        options.expires = line.values.at("--expires");
    }
    options.now = now;
    PublishResult result;
    try {
        result = Publish(options);
    } catch (const Refused& refused) {
        err << "vtpatch publish: refused, nothing was written:\n";
        for (const std::string& reason : refused.Reasons()) {
            err << "  " << reason << "\n";
        }
        return kProblems;
    }
    for (const std::string& note : result.notes) {
        out << "note: " << note << "\n";
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
    return kOk;
}

int LintCommand(const CommandLine& line, std::ostream& out, int64_t now) {
    LintOptions options;
    options.now = now;
    if (line.values.contains("--pub")) {
        const std::string& path = line.values.at("--pub");
        std::optional<std::string> text = ReadFile(path);
        PublicKey key{};
        if (!text || !ParsePublicKey(*text, key)) {
            throw Failure(path + " holds no public key (128 hex digits of a P-256 point)");
        }
        options.publicKey = key;
    }
    std::unique_ptr<ServedTree> tree = OpenServedTree(line.positional[0]);
    Findings findings = Lint(*tree, options);
    PrintFindings(findings, out);
    out << findings.Problems() << " problems, " << findings.Notes() << " notes\n";
    return findings.Problems() == 0 ? kOk : kProblems;
}

int VerifyCommand(const CommandLine& line, std::ostream& out) {
    VerifyOptions options;
    options.installation = line.positional[0];
    options.repair = line.flags.contains("--repair");
    std::unique_ptr<ServedTree> tree = OpenServedTree(line.values.at("--against"));
    VerifyReport report = Verify(*tree, options);
    PrintFindings(report.findings, out);
    out << Files(report.checked) << " compared, " << report.findings.Problems() << " problems, "
        << Files(report.pending) << " pending";
    if (options.repair) {
        out << ", " << report.repaired << " records blanked";
    }
    out << "\n";
    return report.findings.Problems() == 0 ? kOk : kProblems;
}

struct Command {
    const char* name;
    const char* help;
    size_t positional;
    std::set<std::string> values;
    std::set<std::string> required;
    std::set<std::string> flags;
};

}  // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           int64_t now) {
    static const std::vector<Command> commands = {
        {"keygen", kKeygenHelp, 1, {}, {}, {}},
        {"publish", kPublishHelp, 2, {"--key", "--game", "--expires"}, {"--key", "--game"}, {}},
        {"lint", kLintHelp, 1, {"--pub"}, {}, {}},
        {"verify", kVerifyHelp, 1, {"--against"}, {"--against"}, {"--repair"}},
    };
    if (args.empty()) {
        err << kUsageText;
        return kUsage;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        out << kUsageText;
        return kOk;
    }
    auto command = std::find_if(commands.begin(), commands.end(),
                                [&](const Command& c) { return args[0] == c.name; });
    if (command == commands.end()) {
        err << "vtpatch: unknown command " << args[0] << "\n\n" << kUsageText;
        return kUsage;
    }
    std::string error;
    std::optional<CommandLine> line = Parse(args, command->values, command->flags, error);
    if (line && line->help) {
        out << command->help;
        return kOk;
    }
    if (line && line->positional.size() != command->positional) {
        error = "expects " + std::to_string(command->positional) + " arguments, got " +
                std::to_string(line->positional.size());
        line.reset();
    }
    for (const std::string& option : command->required) {
        if (line && !line->values.contains(option)) {
            error = option + " is required";
            line.reset();
        }
    }
    if (!line) {
        err << "vtpatch " << command->name << ": " << error << "\n\n" << command->help;
        return kUsage;
    }
    try {
        std::string name = command->name;
        if (name == "keygen") {
            return Keygen(*line, out);
        }
        if (name == "publish") {
            return PublishCommand(*line, out, err, now);
        }
        if (name == "lint") {
            return LintCommand(*line, out, now);
        }
        return VerifyCommand(*line, out);
    } catch (const Failure& failure) {
        err << "vtpatch " << command->name << ": " << failure.what() << "\n";
        return kProblems;
    }
}

}  // namespace vt::vtpatch
