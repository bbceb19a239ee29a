#pragma once
// Reading numbers out of profile and header text the classic Windows way: leading blanks and
// blanks between digits are ignored, the number ends at the first character that cannot
// continue it, and text without a leading number is 0. Rounding to whole numbers sends halves
// to the even neighbour.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vt {

double Val(std::wstring_view text);
// Nearest integer, halves to even; outside the type's range is an overflow error.
int16_t ToInt16Bankers(double value);
int32_t ToInt32Bankers(double value);
// Nearest integer, halves away from zero (the rounding of formatted output); NaN and values
// outside the type's range are an overflow error.
int64_t RoundHalfAwayFromZero(double value);

// Decimal digits of `value`, zero-padded to `minDigits`, grouped by three with commas
// ("1,025").
std::wstring GroupedDigits(uint64_t value, size_t minDigits);

// 0 to 15 for a hexadecimal digit of either case, -1 for anything else.
int HexValue(char c);

}  // namespace vt
