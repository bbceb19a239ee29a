#include "format/Manifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <vector>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/ModGame.h"
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

const std::string kHash = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

// Manifests the launcher meets, well formed or not.
const std::vector<std::string> kManifestTexts = {
    "[sound]\r\ncount=2\r\n1=a.wav:1\r\n2=bgm/b.wav:2\r\n",
    "[SOUND]\r\n Count = \"3\" \r\n1= a.wav : v \r\n3=c:3\r\n2=b\r\n",
    "\xEF\xBB\xBF[sound]\ncount=1.5\n1=\xC8\xBF\xB0\xFA.wav:\xB0\xA1\n2=x:y\n",
    "[sound]\r\ncount=-1\r\n1=a:1\r\n",
    "[sound]\r\ncount=1\r\n[sound]\r\ncount=2\r\n1=a:1\r\n",
    "[sound]\r\ncount=1\r\n1=a:1\r\n[sound.pins]\r\nA=5," + kHash + "\r\n",
    "<html>not here</html>",
};

// The reading of bytes is the launcher's reading of the same file, line by line.
TEST(ReadManifest, ReadsBytesAsTheLauncherReadsTheFile) {
    test::TestDir dir;
    for (const std::string& text : kManifestTexts) {
        dir.Write(L"m.ini", text);
        profile::ClearCache();
        const std::wstring path = dir / L"m.ini";
        const ManifestReading reading = ReadManifest(text, L"sound");
        EXPECT_EQ(reading.countText, ReadProfileBytes(L"sound", L"count", path)) << text;
        ASSERT_EQ(reading.lines.size(),
                  static_cast<size_t>(std::max<int>(reading.count.value_or(0), 0)))
            << text;
        for (const ManifestLine& line : reading.lines) {
            const std::string bytes = ReadProfileBytes(L"sound", std::to_wstring(line.index), path);
            EXPECT_EQ(line.text, bytes) << text;
            EXPECT_EQ(line.entry.has_value(), bytes.find(':') != std::string::npos) << text;
            if (line.entry) {
                EXPECT_EQ(*line.entry, ParseManifestEntry(bytes)) << text;
                EXPECT_EQ(line.pinText, ReadProfileBytes(L"sound.pins", line.entry->name, path));
            }
        }
    }
    profile::ClearCache();
}

TEST(ParseManifest, WholeManifestsOnly) {
    const Pin pin{5, *ParseDigestHex(kHash)};
    using E = Manifest::Entry;
    const std::vector<std::pair<std::string, std::optional<std::vector<E>>>> cases = {
        {kManifestTexts[0], std::vector<E>{{L"a.wav", "1", {}}, {L"bgm/b.wav", "2", {}}}},
        {kManifestTexts[1], std::nullopt},  // entry 2 has no ':'
        {kManifestTexts[2], std::vector<E>{{L"효과.wav", "\xB0\xA1", {}}, {L"x", "y", {}}}},
        {kManifestTexts[3], std::vector<E>{}},  // a negative count counts nothing
        {kManifestTexts[4], std::nullopt},      // only the first section counts: entry 1 missing
        {kManifestTexts[5], std::vector<E>{{L"a", "1", pin}}},  // pins match without case
        {kManifestTexts[6], std::nullopt},
        {"[sound]\r\ncount=32767\r\n", std::nullopt},  // the launcher overflows
        {"[sound]\r\ncount=99999\r\n", std::nullopt},
    };
    for (const auto& [text, entries] : cases) {
        const std::optional<Manifest> m = ParseManifest(text, L"sound");
        ASSERT_EQ(m.has_value(), entries.has_value()) << text;
        if (m) {
            EXPECT_EQ(m->section, L"sound");
            EXPECT_EQ(m->entries, *entries) << text;
        }
    }
}

TEST(WriteManifest, WritesWhatReadsBackAndNothingElse) {
    const Pin pin{5, *ParseDigestHex(kHash)};
    const Manifest signed_{L"card1", {{L"카드 뒷면", "0123456789abcdef", pin}, {L"ace", "1", pin}}};
    EXPECT_EQ(WriteManifest(signed_),
              "[card1]\r\ncount=2\r\n1=\xC4\xAB\xB5\xE5 \xB5\xDE\xB8\xE9:0123456789abcdef\r\n"
              "2=ace:1\r\n\r\n[card1.pins]\r\n\xC4\xAB\xB5\xE5 \xB5\xDE\xB8\xE9=5," +
                  kHash + "\r\nace=5," + kHash + "\r\n");
    const std::vector<Manifest> fine = {
        signed_, {L"sound", {}}, {L"sound", {{L"a.wav", "1", {}}, {L"b/c.wav", "2", {}}}}};
    for (const Manifest& m : fine) {
        EXPECT_EQ(ParseManifest(WriteManifest(m), m.section), m);
    }
    const std::vector<Manifest> refused = {
        {L"sound", {{L" a.wav", "1", {}}}},            // the blank would be dropped
        {L"sound", {{L"a:b.wav", "1", {}}}},           // splits at the first ':'
        {L"sound", {{L"\u00E9\u0301.wav", "1", {}}}},  // no code page 949 form
        {L"sound", {{L"a.wav", "1\r\n2=x:y", {}}}},    // plants another entry
        {L"sound", {{L"a", "1", pin}, {L"A", "2", Pin{6, pin.sha256}}}},  // one pin key, two names
        {L"sound", {{L"a", "1", Pin{0, pin.sha256}}}},  // the launcher refuses empty files
    };
    for (const Manifest& m : refused) {
        EXPECT_THROW(WriteManifest(m), std::invalid_argument) << ToUtf8(m.entries[0].name);
    }
}

}  // namespace
}  // namespace vt
