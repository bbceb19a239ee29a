#pragma once
// verify: an installation against a served tree. A file whose record in the installation's
// manifest says it is current must be there with the served pin's size and SHA-256; what the
// records and the served tree say is pending the launcher fetches by itself. --repair blanks
// the records of what differs (and the set's key in the installation's vtgame.ini), so the
// next launcher run fetches those files again.

#include <cstddef>
#include <string>

#include "vtpatch/Listing.h"
#include "vtpatch/Served.h"

namespace vt::vtpatch {

// Where a launcher that updated itself points at the launcher it runs ([current] serial=,
// size=, sha256=; the program is launcher/vtlauncher-<serial>.exe beside it).
inline constexpr char kLauncherPointer[] = "launcher/current.ini";

struct VerifyOptions {
    std::string installation;  // the folder of vtlauncher.exe (UTF-8 names, as Wine keeps them)
    bool repair = false;
};

struct VerifyReport {
    Findings findings;    // problems: files missing or different, records that hide them
    size_t checked = 0;   // installed files compared
    size_t pending = 0;   // files the next launcher run fetches anyway
    size_t repaired = 0;  // records blanked
};

VerifyReport Verify(ServedTree& tree, const VerifyOptions& options);

}  // namespace vt::vtpatch
