// Test binaries end "the program" by throwing, so a test can see that it ended.
#include "base/EndProgram.h"

namespace vt {

void EndProgram() {
    throw ProgramEnded{};
}

}  // namespace vt
