// Test binaries end "the program" by throwing, so a test can see that it ended.
#include "app/EndProgram.h"

namespace vt {

void EndProgram() {
    throw ProgramEnded{};
}

}  // namespace vt
