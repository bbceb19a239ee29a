// Linked into vtlauncher.exe only; test binaries link tests/support/EndProgramForTests.cpp.
#include <windows.h>

#include "app/EndProgram.h"

namespace vt {

void EndProgram() {
    ExitProcess(0);
}

}  // namespace vt
