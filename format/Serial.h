#pragma once
// A patch profile's [publish] serial: the publish's place in the order of publishes, which a
// keyed launcher never lets go backwards. Serials stay at or below 2^53 so that no sum of a
// serial and a publish time can overflow, and so that every tool reading them as a double
// (2^53 is the largest integer those hold exactly) reads the same number.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vt::format {

inline constexpr uint64_t kLargestSerial = uint64_t{1} << 53;

enum class SerialForm {
    Number,     // decimal digits, at most kLargestSerial
    Absent,     // empty: a profile from before serials
    Malformed,  // anything but digits: a sign, blanks, letters
    TooLarge,   // digits beyond kLargestSerial
};

struct SerialReading {
    SerialForm form = SerialForm::Absent;
    uint64_t value = 0;  // only for Number
};

// Leading zeros are allowed ("0042" is 42): older tools wrote none, but nothing forbade them.
SerialReading ReadSerial(std::string_view text);

// The serial after `serial`, never past kLargestSerial (nothing when `serial` is already there).
std::optional<uint64_t> NextSerialAfter(uint64_t serial);

}  // namespace vt::format
