#pragma once
// The publisher's own record of the serials its key signed, kept beside the key and never in
// the served tree, and the rule for the next serial: only the key, not whoever writes the
// served tree, moves the order of publishes.

#include <cstdint>
#include <optional>
#include <string>

namespace vt::vtpatch {

// DIR/patch-key.state for DIR/patch-key.pem (a key named otherwise: its name with ".state").
std::string StatePath(const std::string& keyPath);

// The last serial recorded in the state file; nothing when there is none. Throws Refused
// naming the file when it holds anything but "serial=<n>" with n at most 2^53, Failure when
// it cannot be read.
std::optional<uint64_t> ReadState(const std::string& path);
// Atomically, mode 0600.
void WriteState(const std::string& path, uint64_t serial);

struct SerialSources {
    int64_t now = 0;                 // the publish time, seconds since 1970 (UTC)
    std::optional<uint64_t> state;   // the last serial the key signed
    std::optional<uint64_t> served;  // the served profile's, when signed by this key
};
// The largest of the publish time, state + 1 and served + 1. Throws Refused when that would
// pass 2^53, the largest serial a launcher takes.
uint64_t NextSerial(const SerialSources& sources);

}  // namespace vt::vtpatch
