#pragma once
// The version check: compares the server's vtgame.ini (staged in TempDir) with the local one
// key by key, refuses an outdated launcher, brings every differing part up to date and records
// each key only after its update returned.

#include "patch/PatchHost.h"

namespace vt {

void CheckVersions(PatchHost& host);

}  // namespace vt
