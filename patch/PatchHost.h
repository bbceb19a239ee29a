#pragma once
// What the version check needs from the patch window: everything a set update needs, since it
// runs them, and, for a keyed launcher whose launcher version the profile does not take, the
// self-update. frmVtUpdate provides it.

#include <cstdint>
#include <optional>

#include "base/Crypto.h"
#include "format/KeyList.h"
#include "sets/SetHost.h"

namespace vt {

class PatchHost : public SetHost {
  public:
    // The key launcher statements must be signed by; nothing for a launcher that never updates
    // itself (built without a key).
    virtual std::optional<P256PublicKey> StatementRoot() const { return std::nullopt; }
    // This program's launcher serial (VT_LAUNCHER_SERIAL).
    virtual uint64_t LauncherSerial() const { return 0; }
    // Fetches the stated launcher, moves it in, points at it and hands over to it; the process
    // ends when the new launcher takes over. True: it failed after it was started and was put
    // back, so this launcher goes on. False: it could not be put in place.
    virtual bool UpdateLauncher(const format::LauncherStatement&) { return false; }
};

}  // namespace vt
