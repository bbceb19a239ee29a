// Serials: the one reading both the publisher and the launcher use.
#include "format/Serial.h"

#include <gtest/gtest.h>

#include <string>

namespace vt::format {
namespace {

TEST(Serials, ReadingsOfEveryForm) {
    const struct {
        std::string text;
        SerialForm form;
        uint64_t value;
    } cases[] = {
        {"", SerialForm::Absent, 0},
        {"0", SerialForm::Number, 0},
        {"1", SerialForm::Number, 1},
        {"0042", SerialForm::Number, 42},
        {"1765432100", SerialForm::Number, 1765432100},
        {"9007199254740992", SerialForm::Number, kLargestSerial},
        {"9007199254740993", SerialForm::TooLarge, 0},
        {"9223372036854775806", SerialForm::TooLarge, 0},
        {"18446744073709551616", SerialForm::TooLarge, 0},  // past 64 bits: no wrap to 0
        {std::string(400, '9'), SerialForm::TooLarge, 0},
        {"-1", SerialForm::Malformed, 0},
        {"+1", SerialForm::Malformed, 0},
        {" 1", SerialForm::Malformed, 0},
        {"1 ", SerialForm::Malformed, 0},
        {"1e3", SerialForm::Malformed, 0},
        {"0x10", SerialForm::Malformed, 0},
        {std::string(30, '9') + "x", SerialForm::Malformed, 0},
    };
    for (const auto& c : cases) {
        const SerialReading reading = ReadSerial(c.text);
        EXPECT_EQ(reading.form, c.form) << c.text;
        EXPECT_EQ(reading.value, c.value) << c.text;
    }
}

TEST(Serials, TheNextSerialStopsAtTheBound) {
    EXPECT_EQ(NextSerialAfter(0), 1u);
    EXPECT_EQ(NextSerialAfter(kLargestSerial - 1), kLargestSerial);
    EXPECT_FALSE(NextSerialAfter(kLargestSerial));
    EXPECT_FALSE(NextSerialAfter(UINT64_MAX));
    // Whatever is written reads back as the same number.
    for (uint64_t s : {uint64_t{1}, uint64_t{1765432100}, kLargestSerial}) {
        EXPECT_EQ(ReadSerial(std::to_string(s)).value, s);
    }
}

}  // namespace
}  // namespace vt::format
