#include "sets/EntryName.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "sets/SetSync.h"
#include "tests/support/Installation.h"
#include "tests/support/TestDir.h"

namespace vt {
namespace {

using ::testing::HasSubstr;

const std::wstring kSoundFolder = L"resource\\sound\\";
const std::wstring kDataFolder = L"resource\\data\\";

std::optional<std::wstring> InSound(const std::wstring& name) {
    return UnsafeEntryName(name, L"vtsound.ini", kSoundFolder);
}
std::optional<std::wstring> InGraphics(const std::wstring& name) {
    return UnsafeEntryName(name, L"graphics.ini", kDataFolder);
}
std::optional<std::wstring> InCard(int n, const std::wstring& name) {
    const std::wstring s = std::to_wstring(n);
    return UnsafeEntryName(name, L"vtcard" + s + L".ini", kDataFolder + L"card" + s + L"\\");
}

// Every check of one set at once, for names that must pass or fail in all of them.
std::vector<std::optional<std::wstring>> InEverySet(const std::wstring& name) {
    std::vector<std::optional<std::wstring>> out = {InSound(name), InGraphics(name)};
    for (int n = 1; n <= 5; ++n) {
        out.push_back(InCard(n, name));
    }
    return out;
}

std::string Utf8(const std::optional<std::wstring>& why) {
    return why ? ToUtf8(*why) : "accepted";
}

// Win32 drops trailing dots and blanks from every component and compares names without case:
// these all open a set's manifest and would overwrite its records.
TEST(EntryNames, NamesWindowsResolvesToAManifestAreRefused) {
    for (const wchar_t* name :
         {L"vtsound.ini.", L"VTSOUND.INI", L"vtsound.ini. .", L"VtSound.Ini..", L"vtsound.ını"}) {
        SCOPED_TRACE(ToUtf8(name));
        auto why = InSound(name);
        ASSERT_TRUE(why);
        EXPECT_THAT(ToUtf8(*why), HasSubstr("목록 파일"));
    }
    for (const wchar_t* name :
         {L"graphics.ini.", L"GRAPHICS.INI", L"card1\\vtcard1.ini", L"CARD1 \\VTCARD1.INI.",
          L"card4/VtCard4.ini..", L"card5. .\\vtcard5.ini", L"graphıcs.ini"}) {
        SCOPED_TRACE(ToUtf8(name));
        auto why = InGraphics(name);
        ASSERT_TRUE(why);
        EXPECT_THAT(ToUtf8(*why), HasSubstr("세트의 목록 파일"));
    }
    // A card set's names get ".dat" appended, but the check goes by where the name lands.
    EXPECT_TRUE(InCard(2, L"VTCARD2.INI ."));
}

// A served file over a set's record journal would replace the records of a run in progress
// and be read back as records: refused for every set, in every spelling Windows resolves.
TEST(EntryNames, NamesOfEverySetsRecordJournalAreRefused) {
    test::Installation install;
    std::vector<SetParameters> sets = {SoundSetParameters(), GraphicsSetParameters()};
    for (int16_t n = 1; n <= 5; ++n) {
        sets.push_back(CardSetParameters(n));
    }
    for (const SetParameters& set : sets) {
        const std::wstring& folder = set.installed;
        const std::wstring journal = set.manifestName + L".journal";
        for (const std::wstring& name : {journal, journal + L". .", L"X\\..\\" + journal}) {
            SCOPED_TRACE(ToUtf8(set.section + L" " + name));
            EXPECT_TRUE(UnsafeEntryName(name, set.manifestName, folder));
        }
        std::wstring upper = journal;
        std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
        auto why = UnsafeEntryName(upper, set.manifestName, folder);
        ASSERT_TRUE(why) << ToUtf8(upper);
        EXPECT_THAT(ToUtf8(*why), HasSubstr("저널")) << ToUtf8(upper);
        // From any other set's place too, wherever the name lands in this set's folder.
        auto fromTop = UnsafeEntryName(folder + journal, L"x.ini", L"");
        ASSERT_TRUE(fromTop);
        EXPECT_THAT(ToUtf8(*fromTop), HasSubstr("저널"));
    }
    EXPECT_TRUE(InGraphics(L"graphics.ini.journal"));
    EXPECT_TRUE(InGraphics(L"card2\\vtcard2.ini.journal"));
    EXPECT_FALSE(InSound(L"vtsound.ini.journal.wav")) << "a longer name is another file";
    EXPECT_FALSE(InSound(L"graphics.ini.journal")) << "no set's journal lives in the sound folder";
    EXPECT_TRUE(UnsafeEntryName(L"VTSOUND.INI.JOURNAL", L"vtsound.ini"))
        << "the two-argument form refuses its own set's journal";
}

// What a short name opens depends on which long names the volume holds and in which order
// they were made, so every component of that shape is refused, not only aliases of ours.
TEST(EntryNames, ComponentsShapedLikeShortNamesAreRefused) {
    for (const wchar_t* name : {L"VTSOUN~1.INI", L"vtsoun~1.ini", L"VTSOUN~2.INI.", L"GRAPHI~1.INI",
                                L"card1\\VTCARD~1.INI", L"sub\\ABCDE~12\\x.wav", L"a~1",
                                L"VT1A2B~1.INI", L"효과~3.wav"}) {
        SCOPED_TRACE(ToUtf8(name));
        for (const auto& why : InEverySet(name)) {
            EXPECT_TRUE(why);
        }
        auto why = UnsafeEntryName(name, L"vtsound.ini");
        ASSERT_TRUE(why) << "the set-independent check refuses them too";
        EXPECT_THAT(ToUtf8(*why), HasSubstr("8.3"));
    }
    for (const wchar_t* name : {L"a~b.wav", L"~x.wav", L"long~1name.wav", L"song~1.wave",
                                L"verylongname~1.wav", L"a~.wav", L"x~1.y.z"}) {
        SCOPED_TRACE(ToUtf8(name));
        for (const auto& why : InEverySet(name)) {
            EXPECT_FALSE(why) << Utf8(why);
        }
    }
}

// A graphics entry must not take a card set's folder (a file "card5" blocks set 5 for good)
// nor write into it: that folder and its manifest belong to the card set.
TEST(EntryNames, GraphicsEntriesStayOutOfCardSetFolders) {
    for (const wchar_t* name : {L"card5", L"card5.", L"CARD5 .", L"Card3..", L"card1\\foo.bmp",
                                L"Card2/sub/x.bmp", L"card3..\\x.bmp", L"CARD4 \\y"}) {
        SCOPED_TRACE(ToUtf8(name));
        auto why = InGraphics(name);
        ASSERT_TRUE(why);
        EXPECT_THAT(ToUtf8(*why), HasSubstr("폴더"));
    }
    for (const wchar_t* name : {L"card6", L"card0\\x.bmp", L"cards\\x.bmp", L"card1x.bmp",
                                L"card1.bmp", L"card 1\\x.bmp", L"sub\\card1\\x.bmp"}) {
        SCOPED_TRACE(ToUtf8(name));
        EXPECT_FALSE(InGraphics(name)) << Utf8(InGraphics(name));
    }
    // Inside its own folder a card set writes freely, and other sets know no card folders.
    EXPECT_FALSE(InCard(1, L"foo.dat"));
    EXPECT_FALSE(InCard(1, L"sub\\foo.dat"));
    EXPECT_FALSE(InSound(L"card1\\x.wav"));
}

// From the installation directory itself the other things the launcher keeps are in reach;
// no set lives there today, but the check goes by resolved path so it stays right.
TEST(EntryNames, TheLaunchersOwnFilesAreRefusedWhereverASetLives) {
    for (const wchar_t* name :
         {L"vtgame.ini", L"VTGAME.INI.", L"temp", L"TEMP.", L"temp\\x", L"Temp .\\vtgame.ini",
          L"vtlauncher.exe", L"VTLAUNCHER.EXE..", L"resource", L"resource\\data",
          L"resource\\sound\\vtsound.ini", L"resource\\data\\card2", L"resource\\data\\x.bmp"}) {
        SCOPED_TRACE(ToUtf8(name));
        EXPECT_TRUE(UnsafeEntryName(name, L"x.ini", L""));
    }
    for (const wchar_t* name : {L"readme.txt", L"tempo\\x", L"vtgame.ini.bak", L"resources\\x"}) {
        SCOPED_TRACE(ToUtf8(name));
        EXPECT_FALSE(UnsafeEntryName(name, L"x.ini", L""));
    }
}

// The places the check protects are the places SyncSet and the load handler use.
TEST(EntryNames, ProtectedPlacesMatchTheSetParameterRows) {
    test::Installation install;
    auto relative = [](const std::wstring& path) {
        EXPECT_TRUE(path.starts_with(AppDir));
        return path.substr(AppDir.size());
    };
    std::vector<SetParameters> sets = {SoundSetParameters(), GraphicsSetParameters()};
    for (int16_t n = 1; n <= 5; ++n) {
        sets.push_back(CardSetParameters(n));
    }
    for (const SetParameters& set : sets) {
        SCOPED_TRACE(ToUtf8(set.section));
        auto why = UnsafeEntryName(relative(set.Folder()) + set.manifestName, L"x.ini", L"");
        ASSERT_TRUE(why);
        EXPECT_THAT(ToUtf8(*why), HasSubstr("세트의 목록 파일"));
        // And each set's own folder resolves the way SyncSet passes it.
        EXPECT_TRUE(
            UnsafeEntryName(set.manifestName + L".", set.manifestName, relative(set.Folder())));
        EXPECT_FALSE(
            UnsafeEntryName(L"plain" + set.entrySuffix, set.manifestName, relative(set.Folder())));
    }
    EXPECT_TRUE(UnsafeEntryName(relative(TempDir) + L"vtsound.ini", L"x.ini", L""));
}

// The profile engine deletes "<profile>.<...>.tmp" beside a profile before writing it: such a
// file would be fetched, recorded and then deleted by the next record.
TEST(EntryNames, NamesShapedLikeTheProfileEnginesTemporaryFilesAreRefused) {
    for (const wchar_t* name :
         {L"vtsound.ini.1.2.tmp", L"VTSOUND.INI.x.TMP.", L"graphics.ini.a b.tmp",
          L"vtcard3.ini.99.1.tmp", L"vtgame.ini.5.5.tmp", L"sub\\vtcard5.ini.1.1.tmp",
          L"VtCard1.Ini..tmp"}) {
        SCOPED_TRACE(ToUtf8(name));
        for (const auto& why : InEverySet(name)) {
            ASSERT_TRUE(why);
            EXPECT_THAT(ToUtf8(*why), HasSubstr("임시 파일"));
        }
    }
    for (const wchar_t* name :
         {L"vtsound.ini.bak", L"vtsound.tmp", L"x.vtsound.ini.1.tmp", L"vtsound.ini.1.2.tmp.wav"}) {
        SCOPED_TRACE(ToUtf8(name));
        EXPECT_FALSE(InSound(name)) << Utf8(InSound(name));
    }
}

// Only the exact shape TempNameBeside makes is cleared, so a file a manifest may name (all of
// these once passed the entry check) survives every write of the profile beside it.
TEST(EntryNames, TheProfileEngineClearsOnlyItsOwnTemporaryFiles) {
    test::TestDir dir;
    const std::wstring manifest = dir / L"vtsound.ini";
    const std::wstring ours = fs::TempNameBeside(manifest);
    const std::vector<std::wstring> stale = {ours, manifest + L".12.3.tmp",
                                             manifest + L".4294967295.1.tmp"};
    const std::vector<std::wstring> kept = {L"vtsound.ini.a.1.tmp",  L"vtsound.ini.1.tmp",
                                            L"vtsound.ini..tmp",     L"vtsound.ini.1.2.3.tmp",
                                            L"vtsound.ini.1 .2.tmp", L"vtsound.ini.x.tmp",
                                            L"vtsound.ini.1..tmp",   L"vtsound.ini.tmp",
                                            L"graphics.ini.1.2.tmp", L"vtsound.ini.1.2.tmp.wav"};
    for (const std::wstring& path : stale) {
        ASSERT_TRUE(path.starts_with(dir.Path()));
        dir.Write(path.substr(dir.Path().size()), "stale");
    }
    for (const std::wstring& name : kept) {
        dir.Write(name, "an installed file");
    }

    ASSERT_NO_THROW(WriteProfileValue(L"sound", L"a.wav", L"1", manifest));

    for (const std::wstring& path : stale) {
        EXPECT_FALSE(fs::Exists(path)) << ToUtf8(path);
    }
    for (const std::wstring& name : kept) {
        EXPECT_EQ(dir.Read(name), "an installed file") << ToUtf8(name);
    }
    EXPECT_EQ(ReadProfileValue(L"sound", L"a.wav", manifest), L"1");
    profile::ClearCache();
}

// COM and LPT followed by a superscript one, two or three are devices too.
TEST(EntryNames, DeviceNamesWithSuperscriptDigitsAreRefused) {
    for (const wchar_t* name : {L"COM¹", L"com²", L"LPT³", L"lpt¹", L"COM¹.wav", L"COM² .wav",
                                L"sub\\LPT¹.", L"COM³..", L"Lpt².txt.", L"CON", L"com9.txt"}) {
        SCOPED_TRACE(ToUtf8(name));
        auto why = UnsafeEntryName(name, L"vtsound.ini");
        ASSERT_TRUE(why);
        EXPECT_THAT(ToUtf8(*why), HasSubstr("장치"));
        EXPECT_TRUE(InSound(name));
    }
    for (const wchar_t* name : {L"COM¹0", L"COM", L"COMa.wav", L"xCOM¹", L"LPT¹x.txt", L"COM¹²"}) {
        SCOPED_TRACE(ToUtf8(name));
        EXPECT_FALSE(InSound(name)) << Utf8(InSound(name));
    }
}

// The local manifest trims keys and reads a line starting with '[' as a header: these names
// could not be recorded as keys of their own.
TEST(EntryNames, NamesTheManifestCannotKeepAsKeysAreRefused) {
    for (const wchar_t* name :
         {L" a.wav", L"a.wav ", L" [x].wav", L" ;x", L"[x", L";x", L"sub\\x.wav ", L" sub\\x",
          L"\t[x", L"a\t", L"a=b", L"a\u00FF.wav", L"a\nb"}) {
        SCOPED_TRACE(ToUtf8(name));
        auto why = UnrecordableEntryName(name);
        ASSERT_TRUE(why);
        EXPECT_THAT(ToUtf8(*why), HasSubstr("기록할 수 없는"));
    }
    // A card entry's key is its name without ".dat": "ace " and "ace" would share a key while
    // naming two files, "ace .dat" and "ace.dat".
    EXPECT_FALSE(InCard(1, L"ace .dat")) << "a fine file name";
    EXPECT_TRUE(UnrecordableEntryName(L"ace "));
}
// Names that are merely unusual keep working in every set.
TEST(EntryNames, UnusualButSafeNamesAreAccepted) {
    for (const wchar_t* name :
         {L"효과 음.wav", L"배경 음악\\승리.wav", L"music/a/b.ogg", L"voice\\hello.wav", L"a b c",
          L"x[1].wav", L"x;y.wav", L"a]b", L"sub dir\\a.wav", L"it's (1) & more!.wav",
          L"~tilde.wav", L"vtsound.ini.bak", L"a.b.c", L"#1 %20 @home", L"a\\b c\\d"}) {
        SCOPED_TRACE(ToUtf8(name));
        for (const auto& why : InEverySet(name)) {
            EXPECT_FALSE(why) << Utf8(why);
        }
        EXPECT_FALSE(UnrecordableEntryName(name)) << Utf8(UnrecordableEntryName(name));
    }
}

// Every name the check accepts, written as a key of a manifest, reads back with its own value
// and leaves the other keys alone. The value is the name as the manifest folds keys (ASCII
// letters only), so two names sharing a key are the same file and write the same value; any
// other sharing shows as a wrong value.
TEST(EntryNames, EveryAcceptedNameIsAKeyOfItsOwn) {
    const std::wstring alphabet =
        L"aZx09 .-_~!#$%&'(),;@[]^`{}+=\\/\"\t가힣효과음 배경¹²ıÿ\u30FB:*";
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(1, 9);

    test::TestDir dir;
    const std::wstring manifest = dir / L"vtsound.ini";
    const std::string before = "[sound]\r\ncount=3\r\nkeep=1\r\n[other]\r\nx=2\r\n";
    dir.Write(L"vtsound.ini", before);
    profile::ClearCache();

    auto keyValue = [](const std::wstring& name) {
        std::wstring folded = name;
        for (wchar_t& c : folded) {
            c = c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
        }
        static constexpr char kHex[] = "0123456789ABCDEF";
        std::wstring hex = L"v";
        for (unsigned char b : ToCp949(folded)) {
            hex.push_back(static_cast<wchar_t>(kHex[b >> 4]));
            hex.push_back(static_cast<wchar_t>(kHex[b & 0xF]));
        }
        return hex;
    };

    std::vector<std::wstring> accepted;
    int refused = 0;
    for (int i = 0; i < 1000 && accepted.size() < 500; ++i) {
        std::wstring base;
        for (int n = length(rng); n > 0; --n) {
            base.push_back(alphabet[pick(rng)]);
        }
        std::wstring upper = base;
        for (wchar_t& c : upper) {
            c = c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
        }
        // Each name with its near neighbours: what trimming, case or a header could merge.
        for (const std::wstring& name : {base, L" " + base, base + L" ", L"\t" + base, upper,
                                         L" [" + base + L"]", base + L".", L"sub\\" + base}) {
            if (InSound(name) || UnrecordableEntryName(name)) {  // what SyncSet checks
                ++refused;
                continue;
            }
            accepted.push_back(name);
            try {
                WriteProfileValue(L"sound", name, keyValue(name), manifest);
            } catch (const AppError& e) {
                ADD_FAILURE() << "accepted but not recordable: [" << ToUtf8(name) << "] "
                              << ToUtf8(e.Description());
            }
        }
    }
    EXPECT_GE(accepted.size(), 400u);
    EXPECT_GT(refused, 100);

    profile::ClearCache();  // read back from the file, not the parsed copy
    for (const std::wstring& name : accepted) {
        EXPECT_EQ(ReadProfileValue(L"sound", name, manifest), keyValue(name))
            << "[" << ToUtf8(name) << "]";
    }
    EXPECT_EQ(ReadProfileValue(L"sound", L"keep", manifest), L"1");
    EXPECT_EQ(ReadProfileValue(L"sound", L"count", manifest), L"3");
    EXPECT_EQ(ReadProfileValue(L"other", L"x", manifest), L"2");
    profile::ClearCache();
}

}  // namespace
}  // namespace vt
