#pragma once
// Ends the program at once: no window is unloaded, nothing more is written. The product
// ends the process (EndProgram_win32.cpp); test binaries link a version that throws
// ProgramEnded so that a test can observe the end.

namespace vt {

struct ProgramEnded {};

[[noreturn]] void EndProgram();

}  // namespace vt
