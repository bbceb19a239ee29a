// Linked into vtlauncher.exe only; test binaries link tests/support/EndProgramForTests.cpp.
#include <windows.h>

#include "base/EndProgram.h"
#include "base/Log.h"

namespace vt {

void EndProgram() {
    LogLine(L"end of run");
    // TerminateProcess rather than ExitProcess: no DLL detach code runs, so a transfer worker
    // that holds a lock inside WinINet cannot stall the end.
    TerminateProcess(GetCurrentProcess(), 0);
    // Reached only if the termination failed: the process ends all the same, detach code and
    // all. It also tells the compiler that the function does not return.
    ExitProcess(0);
}

}  // namespace vt
