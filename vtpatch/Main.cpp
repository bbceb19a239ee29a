// vtpatch, the publisher's tool: the launcher's patch format from the launcher's own code.
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "base/EndProgram.h"
#include "vtpatch/Cli.h"

namespace vt {

// The set code linked in may end the launcher; the tool never runs that path, and if it did,
// the tool failed.
[[noreturn]] void EndProgram() {
    std::cerr << "vtpatch: ended by launcher code\n";
    std::exit(vt::vtpatch::kExitFailed);
}

}  // namespace vt

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return vt::vtpatch::RunCli(args, std::cout, std::cerr,
                               static_cast<int64_t>(std::time(nullptr)));
}
