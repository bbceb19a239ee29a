#pragma once
// What the version check needs from the patch window: everything a set update needs, since it
// runs them, and nothing more so far. frmVtUpdate provides it.

#include "sets/SetHost.h"

namespace vt {

class PatchHost : public SetHost {
  public:
    // Called before the run first changes the installation (a version recorded in
    // vtgame.ini); payloads call it through their staging. A signed patch's serial is kept
    // from then on, so a refused patch leaves every file as it was.
    virtual void BeforeChange() {}
};

}  // namespace vt
