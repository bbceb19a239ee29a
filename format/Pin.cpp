#include "format/Pin.h"

#include <stdexcept>

namespace vt {

std::optional<Pin> ParsePin(std::string_view text) {
    const size_t comma = text.find(',');
    if (comma == std::string_view::npos || comma == 0 || comma > 18) {
        return std::nullopt;  // 18 digits cannot overflow 64 bits
    }
    Pin pin;
    for (char c : text.substr(0, comma)) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        pin.size = pin.size * 10 + static_cast<uint64_t>(c - '0');
    }
    std::optional<Sha256Digest> digest = ParseDigestHex(text.substr(comma + 1));
    if (pin.size == 0 || !digest) {
        return std::nullopt;
    }
    pin.sha256 = *digest;
    return pin;
}

}  // namespace vt

namespace vt {

std::string PinText(const Pin& pin) {
    std::string text = std::to_string(pin.size) + "," + DigestHex(pin.sha256);
    if (!ParsePin(text)) {
        throw std::invalid_argument("a pin the launcher refuses: " + text);
    }
    return text;
}

}  // namespace vt
