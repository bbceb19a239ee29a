#include "sets/Manifest.h"

#include <gtest/gtest.h>

#include "base/AppError.h"
#include "base/Profile.h"
#include "tests/support/TestDir.h"

namespace vt {
namespace {

TEST(ParseManifestEntry, SplitsAtTheFirstColonByte) {
    EXPECT_EQ(ParseManifestEntry("a.wav:1").name, L"a.wav");
    EXPECT_EQ(ParseManifestEntry("a.wav:1").version, "1");
    EXPECT_EQ(ParseManifestEntry("x.wav:1:2").version, "1:2");
    EXPECT_EQ(ParseManifestEntry("y.wav : b ").name, L"y.wav ")
        << "blanks beside the colon are kept";
    EXPECT_EQ(ParseManifestEntry("y.wav : b ").version, " b ");
    EXPECT_EQ(ParseManifestEntry(":v").name, L"");
    EXPECT_EQ(ParseManifestEntry("a.wav:").version, "");
    EXPECT_EQ(ParseManifestEntry("\xC8\xBF\xB0\xFA.wav:\xB0\xA1").name, L"효과.wav");
    EXPECT_EQ(ParseManifestEntry("\xC8\xBF\xB0\xFA.wav:\xB0\xA1").version, "\xB0\xA1");
}

TEST(ParseManifestEntry, VersionsKeepBytesNoCodePageHolds) {
    // A lone lead byte before the colon does not hide it, and the version's bytes stay as
    // they are, whatever the conversion would make of them.
    EXPECT_EQ(ParseManifestEntry("a\x81:1").version, "1");
    EXPECT_EQ(ParseManifestEntry("a:v\x81").version, "v\x81");
    EXPECT_EQ(ParseManifestEntry("a:\x80\xFF\"").version, "\x80\xFF\"");
    EXPECT_EQ(ParseManifestEntry(std::string_view("a:v\0x", 5)).version, std::string("v\0x", 3));
}

TEST(ParseManifestEntry, NoColonIsAnInvalidArgument) {
    for (std::string_view entry : {"", "a.wav", "a.wav=1", "\xB0\xA1"}) {
        try {
            ParseManifestEntry(entry);
            ADD_FAILURE() << "accepted " << entry;
        } catch (const AppError& e) {
            EXPECT_EQ(e.Code(), ErrorNumber::InvalidArgument);
        }
    }
}

TEST(IsManifestCount, OnlyPlainDecimalNumbers) {
    for (std::string_view count : {"0", "12", "32767", "-5", "+3", "2.5", ".5", "5.", "007"}) {
        EXPECT_TRUE(IsManifestCount(count)) << count;
    }
    for (std::string_view count : {"", "many", "-", "+", ".", "1.2.3", "1 2", "&H10", "1e3",
                                   "12abc", "--1", "\xA3\xB1", "<html>"}) {
        EXPECT_FALSE(IsManifestCount(count)) << count;
    }
}

TEST(IsManifest, NeedsTheSectionWithANumericCount) {
    test::TestDir dir;
    profile::ClearCache();
    auto check = [&](const std::string& text) {
        dir.Write(L"m.ini", text);
        profile::ClearCache();
        return IsManifest(dir / L"m.ini", L"sound");
    };
    EXPECT_TRUE(check("[sound]\r\ncount=0\r\n"));
    EXPECT_TRUE(check("[SOUND]\r\n Count = \"2\" \r\n1=a:1\r\n2=b:1\r\n"));
    EXPECT_FALSE(check("<html><body>Not here</body></html>"));
    EXPECT_FALSE(check("[sound]\r\n1=a:1\r\n"));
    EXPECT_FALSE(check("[sound]\r\ncount=\r\n"));
    EXPECT_FALSE(check("[sound]\r\ncount\r\n"));
    EXPECT_FALSE(check("count=1\r\n[sound]\r\n"));
    EXPECT_FALSE(check("[graphics]\r\ncount=1\r\n"));
    EXPECT_FALSE(IsManifest(dir / L"missing.ini", L"sound"));
    profile::ClearCache();
}

}  // namespace
}  // namespace vt
