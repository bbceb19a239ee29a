#pragma once
// The command line of vtpatch: keygen, publish, lint, verify. Exit status 0 for success, 1 for
// problems found, a refusal or a failure, 2 for a command line that cannot be understood.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace vt::vtpatch {

// `args` without the program's name; `now` in seconds since 1970 (expiry checks).
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, int64_t now);

}  // namespace vt::vtpatch
