#pragma once
// gc: removes the objects no recent publish names. An object may be in any cache and any
// player's way for as long as a profile that names it is served or kept, so gc keeps every
// object named by the last N archived profiles, the served ones, and every profile published
// within the last D days; it removes nothing at all when one of those cannot be read to its
// objects.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vt::vtpatch {

struct GcOptions {
    std::string root;  // the publish ROOT
    size_t keep = 1;   // the last N archived profiles, by serial
    int64_t days = 7;  // and every profile published less than this many days ago
    int64_t now = 0;   // seconds since 1970
};

struct GcResult {
    std::vector<uint64_t> keptSerials;  // the archived profiles whose objects stay
    size_t kept = 0;                    // objects that stay
    size_t removed = 0;
    uint64_t removedBytes = 0;
    size_t folders = 0;              // objects/<xx>/ folders gc emptied and removed
    std::vector<std::string> notes;  // what was left alone, and why
};

// Throws Refused (nothing removed) when a kept profile cannot be read to its objects or
// objects/ is a link, Busy when a publish holds ROOT's lock, Failure for the rest.
GcResult CollectGarbage(const GcOptions& options);

// When the archived profile was published, in seconds since 1970: the later of its file's
// modification time and its serial (a serial is never below its publish time, and a copy that
// lost the file's time keeps the serial), so neither alone can make a profile look older.
int64_t PublishedAt(uint64_t serial, int64_t modified);

}  // namespace vt::vtpatch
