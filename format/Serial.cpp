#include "format/Serial.h"

namespace vt::format {

SerialReading ReadSerial(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    uint64_t value = 0;
    bool tooLarge = false;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return {SerialForm::Malformed, 0};
        }
        // Stops accumulating once past the bound, so any number of digits is safe.
        if (!tooLarge) {
            value = value * 10 + static_cast<uint64_t>(c - '0');
            tooLarge = value > kLargestSerial;
        }
    }
    return tooLarge ? SerialReading{SerialForm::TooLarge, 0}
                    : SerialReading{SerialForm::Number, value};
}

std::optional<uint64_t> NextSerialAfter(uint64_t serial) {
    if (serial >= kLargestSerial) {
        return std::nullopt;
    }
    return serial + 1;
}

}  // namespace vt::format
