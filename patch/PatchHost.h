#pragma once
// What the version check needs from the patch window: everything a set update needs, since it
// runs them, and nothing more so far. frmVtUpdate provides it.

#include "sets/SetHost.h"

namespace vt {

class PatchHost : public SetHost {};

}  // namespace vt
