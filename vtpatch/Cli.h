#pragma once
// The command line of vtpatch: one table row per command (name, help, arguments, handler); the
// table is the dispatcher. Exit status: 0 ok, 1 problems found or refused, 2 a command line
// that cannot be understood, 3 the tool failed.

#include <cstddef>
#include <cstdint>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace vt::vtpatch {

enum ExitStatus : int { kExitOk = 0, kExitProblems = 1, kExitUsage = 2, kExitFailed = 3 };

struct CommandLine {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    bool help = false;
};

struct CliContext {
    std::ostream& out;
    std::ostream& err;
    int64_t now;  // seconds since 1970 (expiry checks)
};

struct Command {
    const char* name;
    const char* help;  // begins with "usage: vtpatch <name> ..." on a line of its own
    size_t positional;
    std::set<std::string> values;    // options that take a value
    std::set<std::string> required;  // of those, the ones that must be given
    std::set<std::string> flags;     // options without a value
    int (*handler)(const CommandLine&, CliContext&);
};

// keygen, publish, lint, verify, gc, delegate, revoke, rotate-root, sign-launcher.
const std::vector<Command>& Commands();

// `args` without the program's name.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, int64_t now);
// The same over another table.
int RunCli(const std::vector<Command>& commands, const std::vector<std::string>& args,
           std::ostream& out, std::ostream& err, int64_t now);

}  // namespace vt::vtpatch
