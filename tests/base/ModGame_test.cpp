#include "base/ModGame.h"

#include <gtest/gtest.h>

#include "base/AppError.h"
#include "base/Cp949.h"

namespace vt {
namespace {

const std::wstring kTwoSyllables = L"한글";

ErrorNumber ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const AppError& e) {
        return e.Code();
    }
    return ErrorNumber::InternalError;
}

TEST(Cp949, RoundTripsHangulAndCountsTwoBytesPerSyllable) {
    std::string bytes = ToCp949(kTwoSyllables);
    EXPECT_EQ(bytes, "\xC7\xD1\xB1\xDB");
    EXPECT_EQ(FromCp949(bytes), kTwoSyllables);
    EXPECT_EQ(FromUtf8(ToUtf8(L"서버 선택")), L"서버 선택");
}

TEST(AnsiHelpers, LengthCountsBytesNotCharacters) {
    EXPECT_EQ(AnsiLen(L"game"), 4);
    EXPECT_EQ(AnsiLen(kTwoSyllables), 4);
    EXPECT_EQ(AnsiLen(L""), 0);
}

TEST(AnsiHelpers, InStrGivesBytePositions) {
    EXPECT_EQ(AnsiInStr(kTwoSyllables + L":1", L":"), 5);
    EXPECT_EQ(AnsiInStr(L"novalue", L":"), 0);
    EXPECT_EQ(AnsiInStr(L"", L""), 0);
    EXPECT_EQ(AnsiInStr(L"abc", L""), 1);
    EXPECT_EQ(AnsiInStr(L"a:b:c", L":"), 2);
    EXPECT_EQ(AnsiInStr(L"ABC", L"b"), 0) << "comparison is by exact bytes";
}

TEST(AnsiHelpers, LeftAndMidCutAtBytes) {
    EXPECT_EQ(AnsiLeft(L"abc", 0), L"");
    EXPECT_EQ(AnsiLeft(L"abc", 100), L"abc");
    EXPECT_EQ(AnsiLeft(kTwoSyllables + L":1", 4), kTwoSyllables);
    const std::wstring sound = L"resource\\sound\\";
    EXPECT_EQ(AnsiMid(sound, 10, 5), L"sound");
    EXPECT_EQ(AnsiMid(sound, 16, 5), L"");
    EXPECT_EQ(AnsiMid(sound, 10, 100), L"sound\\");
    EXPECT_EQ(AnsiMid(kTwoSyllables + L":v:2", 6, 3), L"v:2");
}

TEST(AnsiHelpers, StrippingTrailingBackslashOfAHangulPath) {
    std::wstring path = L"C:\\게임\\temp\\";
    EXPECT_EQ(AnsiLeft(path, static_cast<int16_t>(AnsiLen(path) - 1)), L"C:\\게임\\temp");
}

TEST(AnsiHelpers, RejectInvalidArgumentsAndOverflow) {
    EXPECT_EQ(ErrorOf([] { AnsiLeft(L"abc", -1); }), ErrorNumber::InvalidArgument);
    EXPECT_EQ(ErrorOf([] { AnsiMid(L"abc", 0, 1); }), ErrorNumber::InvalidArgument);
    EXPECT_EQ(ErrorOf([] { AnsiMid(L"abc", 1, -1); }), ErrorNumber::InvalidArgument);
    std::wstring big(16384, L'가');  // 32768 bytes
    EXPECT_EQ(ErrorOf([&] { AnsiLen(big); }), ErrorNumber::Overflow);
    EXPECT_EQ(AnsiLen(big.substr(1) + L"x"), 32767);
    std::wstring hay = big + L":";
    EXPECT_EQ(ErrorOf([&] { AnsiInStr(hay, L":"); }), ErrorNumber::Overflow);
}

TEST(PathStrings, FollowTheExecutableDirectory) {
    SetPathStrings(L"C:\\Games\\VT");
    EXPECT_EQ(AppDir, L"C:\\Games\\VT\\");
    EXPECT_EQ(TempDir, L"C:\\Games\\VT\\temp\\");
    EXPECT_EQ(SoundDir, L"C:\\Games\\VT\\resource\\sound\\");
    EXPECT_EQ(DataDir, L"C:\\Games\\VT\\resource\\data\\");
    EXPECT_EQ(PatchBaseUrl, std::wstring(VT_PATCH_HOST) + L"/autopatch/");
}

}  // namespace
}  // namespace vt
