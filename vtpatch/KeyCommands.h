#pragma once
// The commands of the root key: delegate, revoke, rotate-root (key lists) and sign-launcher
// (launcher statements). Rows of the command table in Cli.cpp.

#include <cstdint>
#include <optional>
#include <string>

#include "vtpatch/Cli.h"

namespace vt::vtpatch {

extern const char kDelegateHelp[];
extern const char kRevokeHelp[];
extern const char kRotateRootHelp[];
extern const char kSignLauncherHelp[];

int DelegateCommand(const CommandLine& line, CliContext& io);
int RevokeCommand(const CommandLine& line, CliContext& io);
int RotateRootCommand(const CommandLine& line, CliContext& io);
int SignLauncherCommand(const CommandLine& line, CliContext& io);

// "--min-serial N", "--launcher-serial N": a serial launchers take (at most 2^53), at least
// `least`; nothing when the text is not one.
std::optional<uint64_t> SerialOption(const std::string& text, uint64_t least);

}  // namespace vt::vtpatch
