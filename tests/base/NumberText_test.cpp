#include "base/NumberText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "base/AppError.h"

namespace vt {
namespace {

TEST(Val, ReadsTheLeadingNumberAndIgnoresBlanks) {
    EXPECT_EQ(Val(L"12"), 12);
    EXPECT_EQ(Val(L"  42abc"), 42);
    EXPECT_EQ(Val(L"1 2 3"), 123);
    EXPECT_EQ(Val(L"-7"), -7);
    EXPECT_EQ(Val(L"2.5"), 2.5);
    EXPECT_EQ(Val(L"1.2.3"), 1.2);
    EXPECT_EQ(Val(L"1e3"), 1000);
    EXPECT_EQ(Val(L"12e"), 12);
    EXPECT_EQ(Val(L"&H1F"), 31);
    EXPECT_EQ(Val(L"abc"), 0);
    EXPECT_EQ(Val(L""), 0);
    EXPECT_EQ(Val(L"-"), 0);
    EXPECT_EQ(Val(L".5"), 0.5);
    EXPECT_EQ(Val(L"."), 0);
}

// Header values such as Content-Length are read with the same rules.
TEST(Val, ReadsHeaderValuesUpToTheFirstForeignCharacter) {
    EXPECT_EQ(Val(L"  1536 bytes"), 1536);
    EXPECT_EQ(Val(L"1 500"), 1500);
    EXPECT_EQ(Val(L"1.5e3"), 1500);
    EXPECT_EQ(Val(L"7e"), 7);
}

TEST(Rounding, BankersForCountsAwayFromZeroForDisplay) {
    EXPECT_EQ(ToInt16Bankers(2.5), 2);
    EXPECT_EQ(ToInt16Bankers(3.5), 4);
    EXPECT_EQ(ToInt16Bankers(-2.5), -2);
    EXPECT_EQ(ToInt16Bankers(-32768), -32768);
    EXPECT_EQ(ToInt16Bankers(32767.4), 32767);
    EXPECT_THROW(ToInt16Bankers(32767.5), AppError);
    EXPECT_THROW(ToInt16Bankers(-32769), AppError);
    EXPECT_EQ(ToInt32Bankers(2560.0 / 1024), 2);
    EXPECT_EQ(RoundHalfAwayFromZero(2.5), 3);
    EXPECT_EQ(RoundHalfAwayFromZero(-2.5), -3);
}

// Found by fuzz/number_fuzz: the conversion of NaN, an infinity or a value beyond int64_t was
// undefined behaviour instead of the overflow error of the other roundings.
TEST(Rounding, AwayFromZeroOverflowsLikeTheOthers) {
    for (double value : {std::nan(""), HUGE_VAL, -HUGE_VAL, 9223372036854775808.0, -1e19}) {
        SCOPED_TRACE(value);
        try {
            RoundHalfAwayFromZero(value);
            ADD_FAILURE() << "no error";
        } catch (const AppError& e) {
            EXPECT_EQ(e.Code(), ErrorNumber::Overflow);
        }
    }
    EXPECT_EQ(RoundHalfAwayFromZero(-9223372036854775808.0), INT64_MIN);
    EXPECT_EQ(RoundHalfAwayFromZero(9223372036854774784.0), 9223372036854774784);
}

}  // namespace
}  // namespace vt
