// Number text: Val never fails on any text, a run of decimal digits (blanks between them
// allowed) reads as its value, and the roundings return the nearest whole number in range or
// raise error 6, never anything undefined.
// Input: one mode byte, then text (UTF-8) or the bytes of a double.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/NumberText.h"
#include "fuzz/FuzzSupport.h"

namespace vt::fuzz {
namespace {

// Either a value within half of `value` (halves to the even one when `toEven`) in [lo, hi],
// or error 6 because there is none.
template <typename Round>
void CheckRounding(double value, Round round, double lo, double hi, bool toEven,
                   std::string_view name) {
    const std::string shown = std::string(name) + "(" + std::to_string(value) + ")";
    double got = 0;
    try {
        got = static_cast<double>(round(value));
    } catch (const AppError& e) {
        Check(e.Code() == ErrorNumber::Overflow, "a rounding raised an error other than 6", shown);
        const double nearest = toEven ? std::nearbyint(value) : std::round(value);
        Check(std::isnan(value) || nearest < lo || nearest > hi,
              "a rounding overflowed with a result in range", shown);
        return;
    }
    Check(!std::isnan(value), "a rounding of NaN returned a number", shown);
    Check(got >= lo && got <= hi, "a rounding returned a value out of range", shown);
    const double distance = std::fabs(got - value);
    Check(distance <= 0.5, "a rounding is not the nearest whole number", shown);
    if (distance == 0.5) {
        if (toEven) {
            Check(std::fmod(got, 2) == 0, "a half did not go to the even neighbour", shown);
        } else {
            Check(std::fabs(got) > std::fabs(value), "a half did not go away from zero", shown);
        }
    }
}

void Roundings(double value) {
    CheckRounding(value, ToInt16Bankers, -32768.0, 32767.0, true, "ToInt16Bankers");
    CheckRounding(value, ToInt32Bankers, -2147483648.0, 2147483647.0, true, "ToInt32Bankers");
    CheckRounding(value, RoundHalfAwayFromZero, -9223372036854775808.0,
                  std::nextafter(9223372036854775808.0, 0.0), false, "RoundHalfAwayFromZero");
}

// The digits of the input, with the blanks Val skips between some of them.
void Digits(std::string_view bytes) {
    std::wstring text = L" ";
    long double expected = 0;
    size_t digits = 0;
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (b % 16 == 15) {
            text.push_back(b < 0x80 ? L' ' : L'\t');
            continue;
        }
        const int digit = b % 10;
        text.push_back(static_cast<wchar_t>(L'0' + digit));
        expected = expected * 10 + digit;
        ++digits;
    }
    if (digits == 0) {
        return;
    }
    const double got = Val(text);
    if (digits <= 15) {
        // Exact in a double.
        Check(got == static_cast<double>(expected), "Val of digits is not their value",
              Shown(text));
    } else if (std::isfinite(static_cast<double>(expected))) {
        Check(std::fabs(got - static_cast<double>(expected)) <= 1e-14L * expected,
              "Val of many digits is off", Shown(text));
    } else {
        Check(std::isinf(got), "Val of too many digits is finite", Shown(text));
    }
    Check(Val(L"-" + text) == -got, "a minus sign does not negate", Shown(text));
}

}  // namespace
}  // namespace vt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vt::fuzz;
    if (size == 0) {
        return 0;
    }
    const std::string_view rest = AsBytes(data + 1, size - 1);
    switch (data[0] % 4) {
        case 0:
            Roundings(vt::Val(vt::FromUtf8(rest)));
            break;
        case 1:
            Roundings(vt::Val(Utf16Units(rest)));
            break;
        case 2:
            Digits(rest);
            break;
        default:
            for (size_t at = 0; at + sizeof(double) <= rest.size(); at += sizeof(double)) {
                double value = 0;
                std::memcpy(&value, rest.data() + at, sizeof value);
                Roundings(value);
            }
            break;
    }
    return 0;
}
