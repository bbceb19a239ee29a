#pragma once
// What a signed patch says a file must be: its exact size and SHA-256. Written by the publisher
// as "<size>,<sha256>" (decimal, then 64 hex digits).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/Crypto.h"

namespace vt {

struct Pin {
    uint64_t size = 0;
    Sha256Digest sha256{};
    bool operator==(const Pin&) const = default;
};

// Digits only (no sign, no blanks, not 0: the launcher refuses empty files), a comma, 64 hex
// digits. Anything else is no pin.
std::optional<Pin> ParsePin(std::string_view text);

// "<size>,<sha256 in lower case>". A pin ParsePin would refuse (size 0) is an invalid argument:
// nothing is written that the launcher refuses.
std::string PinText(const Pin& pin);

}  // namespace vt
