#include "base/Cp949.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace vt {
namespace {

// How bytes of code page 949 read, as MultiByteToWideChar(949, 0, …) reads them under Wine; the
// native build must read them the same way. A lead byte 81-FE takes the byte after it, whatever
// it is but NUL, so a broken pair swallows a ':' or a line break of SvrList.dat or a profile.
struct Reading {
    const char* what;
    unsigned char firstFrom, firstTo;  // every first byte of this range is tried
    std::vector<std::string> after;    // with each of these after it
    std::wstring reads;
    bool writesBack;  // ToCp949 gives the bytes back
};

// Bytes no lead byte takes as a trail byte: ASCII but letters and NUL, 80, FF.
std::vector<std::string> NoTrailByteThenX() {
    std::vector<std::string> out;
    for (int b = 0x01; b <= 0xFF; ++b) {
        const bool letter = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
        if ((b < 0x80 && !letter) || b == 0x80 || b == 0xFF) {
            out.push_back(std::string(1, static_cast<char>(b)) + "x");
        }
    }
    return out;
}

// Bytes that trail only the leads 81-C6 (letters and 81-A0, the extension's trail bytes).
std::vector<std::string> ExtensionTrailThenX() {
    std::vector<std::string> out;
    for (int b = 0x41; b <= 0xA0; ++b) {
        if ((b <= 0x5A) || (b >= 0x61 && b <= 0x7A) || b >= 0x81) {
            out.push_back(std::string(1, static_cast<char>(b)) + "x");
        }
    }
    return out;
}

const std::vector<Reading>& Readings() {
    static const std::vector<Reading> rows = {
        {"a lead byte takes ':'", 0x81, 0xFE, {":x"}, L"?x", false},
        {"a lead byte takes CR", 0x81, 0xFE, {"\rx"}, L"?x", false},
        {"a lead byte takes LF", 0x81, 0xFE, {"\nx"}, L"?x", false},
        {"a lead byte takes the CR of CR LF", 0x81, 0xFE, {"\r\nx"}, L"?\nx", false},
        {"a lead byte at the end", 0x81, 0xFE, {""}, L"?", false},
        {"a lead byte before NUL, which stays",
         0x81,
         0xFE,
         {std::string("\0x", 2)},
         std::wstring(L"?\0x", 3),
         false},
        {"a lead byte takes any byte that is no trail byte", 0x81, 0xFE, NoTrailByteThenX(), L"?x",
         false},
        {"leads C7-FE take the extension's trail bytes", 0xC7, 0xFE, ExtensionTrailThenX(), L"?x",
         false},
        {"an unassigned pair before CR", 0xA2, 0xA2, {"\xE8\r"}, L"?\r", false},
        {"a pair of KS X 1001", 0xB0, 0xB0, {"\xA1x"}, L"\uAC00x", true},
        {"a pair of the extension", 0x81, 0x81, {"Ax"}, L"\uAC02x", true},
        {"the user-defined area's first", 0xC9, 0xC9, {"\xA1x"}, L"\uE000x", true},
        {"the user-defined area's last", 0xFE, 0xFE, {"\xFEx"}, L"\uE0BBx", true},
        {"80 alone", 0x80, 0x80, {":"}, L"\u0080:", true},
        {"FF alone", 0xFF, 0xFF, {":"}, L"\uF8F7:", true},
        {"ASCII", 0x01, 0x7F, {":\r\n"}, L"", true},  // reads as itself, checked below
    };
    return rows;
}

std::string Hex(std::string_view bytes) {
    std::string out;
    for (unsigned char b : bytes) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X ", b);
        out += two;
    }
    return out;
}

std::string Units(std::wstring_view text) {
    std::string out;
    for (wchar_t c : text) {
        char unit[8];
        std::snprintf(unit, sizeof unit, "%04X ", static_cast<unsigned>(c));
        out += unit;
    }
    return out;
}

TEST(Cp949Reading, EveryClassOfPairReadsAsOnWindows) {
    for (const Reading& row : Readings()) {
        size_t tried = 0;
        size_t wrong = 0;
        std::string firstWrong;
        for (unsigned first = row.firstFrom; first <= row.firstTo; ++first) {
            for (const std::string& after : row.after) {
                const std::string bytes = std::string(1, static_cast<char>(first)) + after;
                std::wstring expected = row.reads;
                if (expected.empty()) {
                    expected.assign(bytes.begin(), bytes.end());
                }
                const std::wstring text = FromCp949(bytes);
                const bool ok = text == expected && FromCp949(ToCp949(text)) == text &&
                                (!row.writesBack || ToCp949(text) == bytes);
                ++tried;
                if (!ok && wrong++ == 0) {
                    firstWrong = Hex(bytes) + "reads as " + Units(text) + "and writes " +
                                 Hex(ToCp949(text)) + "; expected " + Units(expected);
                }
            }
        }
        EXPECT_EQ(wrong, 0u) << row.what << ": " << wrong << " of " << tried << " wrong, the first "
                             << firstWrong;
    }
}

}  // namespace
}  // namespace vt
