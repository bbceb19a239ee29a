// The table of sets is the launcher's: the set run's parameters, the folders the patch window
// creates and the records it folds all name the same places.
#include "format/Sets.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "base/Cp949.h"
#include "base/ModGame.h"
#include "sets/SetSync.h"

namespace vt::format {
namespace {

// The served and installed places are the wire format: older launchers and served trees rely on
// each of them as written here.
TEST(PatchSets, NameThePlacesOfTheFormatInUpdateOrder) {
    struct Row {
        const wchar_t* key;
        const char* folder;
        const wchar_t* manifest;
        const wchar_t* suffix;
        const wchar_t* localFolder;
        int card;
    };
    const Row rows[] = {
        {L"sound", "resource/sound/", L"vtsound.ini", L"", L"resource\\sound\\", 0},
        {L"graphics", "resource/data/", L"graphics.ini", L"", L"resource\\data\\", 0},
        {L"card1", "resource/data/card1/", L"vtcard1.ini", L".dat", L"resource\\data\\card1\\", 1},
        {L"card2", "resource/data/card2/", L"vtcard2.ini", L".dat", L"resource\\data\\card2\\", 2},
        {L"card3", "resource/data/card3/", L"vtcard3.ini", L".dat", L"resource\\data\\card3\\", 3},
        {L"card4", "resource/data/card4/", L"vtcard4.ini", L".dat", L"resource\\data\\card4\\", 4},
        {L"card5", "resource/data/card5/", L"vtcard5.ini", L".dat", L"resource\\data\\card5\\", 5},
    };
    ASSERT_EQ(PatchSets().size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        const PatchSet& set = PatchSets()[i];
        const Row& row = rows[i];
        EXPECT_EQ(set.key, row.key);
        EXPECT_EQ(set.folder, row.folder) << ToUtf8(set.key);
        EXPECT_EQ(set.manifestName, row.manifest);
        EXPECT_EQ(set.suffix, row.suffix);
        EXPECT_EQ(set.localFolder, row.localFolder);
        EXPECT_EQ(set.cardNumber, row.card);
        EXPECT_EQ(set.ManifestPath(), std::string(row.folder) + ToUtf8(row.manifest));
        EXPECT_EQ(set.PinsSection(), std::wstring(row.key) + L".pins");
        EXPECT_EQ(&PatchSetOf(row.key), &set);
    }
    EXPECT_THROW(PatchSetOf(L"card6"), std::out_of_range);
}

// The set run joins the path strings of the installation and the patch host with the table.
TEST(PatchSets, GiveTheSetRunsParameters) {
    SetPathStrings(L"C:\\vt");
    const SetParameters sound = SoundSetParameters();
    EXPECT_EQ(sound.section, L"sound");
    EXPECT_EQ(sound.served, L"resource/sound/");
    EXPECT_EQ(sound.installed, L"resource\\sound\\");
    EXPECT_EQ(sound.Url(L"a%20b.wav"),
              std::wstring(VT_PATCH_HOST) + L"/autopatch/resource/sound/a%20b.wav");
    EXPECT_EQ(sound.Folder(), L"C:\\vt\\resource\\sound\\");
    EXPECT_EQ(sound.Folder(), SoundDir);
    EXPECT_EQ(GraphicsSetParameters().Folder(), DataDir);
    const SetParameters card = CardSetParameters(3);
    EXPECT_EQ(card.Url(L""), std::wstring(VT_PATCH_HOST) + L"/autopatch/resource/data/card3/");
    EXPECT_EQ(card.Folder(), L"C:\\vt\\resource\\data\\card3\\");
    EXPECT_EQ(card.installed, L"resource\\data\\card3\\");
    EXPECT_EQ(card.manifestName, L"vtcard3.ini");
    EXPECT_EQ(card.entrySuffix, L".dat");
}

}  // namespace
}  // namespace vt::format
