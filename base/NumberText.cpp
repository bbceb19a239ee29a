#include "base/NumberText.h"

#include <cmath>
#include <limits>
#include <string>

#include "base/AppError.h"

namespace vt {
namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r';
}

// Digits of a radix-prefixed integer (&H1F, &O17); stops at the first other character.
double ValRadix(std::wstring_view text, size_t i, int radix) {
    double value = 0;
    for (; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (IsBlank(c)) {
            continue;
        }
        int digit = c >= L'0' && c <= L'9'   ? c - L'0'
                    : c >= L'a' && c <= L'f' ? c - L'a' + 10
                    : c >= L'A' && c <= L'F' ? c - L'A' + 10
                                             : 99;
        if (digit >= radix) {
            break;
        }
        value = value * radix + digit;
    }
    return value;
}

template <typename T>
T Bankers(double value) {
    if (std::isnan(value)) {
        RaiseOverflow(L"round");
    }
    double r = std::nearbyint(value);  // default rounding mode: to nearest, ties to even
    if (r < static_cast<double>(std::numeric_limits<T>::min()) ||
        r > static_cast<double>(std::numeric_limits<T>::max())) {
        RaiseOverflow(L"round");
    }
    return static_cast<T>(r);
}

}  // namespace

double Val(std::wstring_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    if (i + 1 < text.size() && text[i] == L'&') {
        wchar_t p = text[i + 1];
        if (p == L'H' || p == L'h') {
            return ValRadix(text, i + 2, 16);
        }
        if (p == L'O' || p == L'o') {
            return ValRadix(text, i + 2, 8);
        }
    }
    // Gather sign, digits, one point and an exponent, skipping blanks, into a plain literal.
    std::string literal;
    bool seenDigit = false, seenPoint = false, seenExp = false, expDigit = false;
    for (; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (IsBlank(c)) {
            continue;
        }
        if (c >= L'0' && c <= L'9') {
            literal.push_back(static_cast<char>(c));
            (seenExp ? expDigit : seenDigit) = true;
        } else if ((c == L'+' || c == L'-') &&
                   (literal.empty() || (seenExp && (literal.back() == 'e')))) {
            literal.push_back(static_cast<char>(c));
        } else if (c == L'.' && !seenPoint && !seenExp) {
            literal.push_back('.');
            seenPoint = true;
        } else if ((c == L'e' || c == L'E' || c == L'd' || c == L'D') && seenDigit && !seenExp) {
            literal.push_back('e');
            seenExp = true;
        } else {
            break;
        }
    }
    if (!seenDigit) {
        return 0;
    }
    if (seenExp && !expDigit) {
        // "12e" or "12e-": the exponent never started.
        while (!literal.empty() &&
               (literal.back() == 'e' || literal.back() == '+' || literal.back() == '-')) {
            literal.pop_back();
        }
    }
    return std::strtod(literal.c_str(), nullptr);
}

int16_t ToInt16Bankers(double value) {
    return Bankers<int16_t>(value);
}

int32_t ToInt32Bankers(double value) {
    return Bankers<int32_t>(value);
}

int64_t RoundHalfAwayFromZero(double value) {
    // 2^63 is a double, its predecessor as int64_t is not: compare against the bound itself.
    constexpr double kLimit = 9223372036854775808.0;
    const double r = std::round(value);
    if (std::isnan(r) || r < -kLimit || r >= kLimit) {
        RaiseOverflow(L"round");
    }
    return static_cast<int64_t>(r);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::wstring GroupedDigits(uint64_t value, size_t minDigits) {
    std::wstring digits = std::to_wstring(value);
    if (digits.size() < minDigits) {
        digits.insert(0, minDigits - digits.size(), L'0');
    }
    std::wstring out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            out += L',';
        }
        out += digits[i];
    }
    return out;
}

}  // namespace vt
