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
    ExitProcess(0);  // not reached; tells the compiler the function does not return
}

}  // namespace vt
