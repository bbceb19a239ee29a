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

TEST(PatchSets, AreTheSetRunsParametersInUpdateOrder) {
    SetPathStrings(L"C:\\vt");
    std::vector<SetParameters> runs = {SoundSetParameters(), GraphicsSetParameters()};
    for (int16_t n = 1; n <= 5; ++n) {
        runs.push_back(CardSetParameters(n));
    }
    ASSERT_EQ(PatchSets().size(), runs.size());
    for (size_t i = 0; i < runs.size(); ++i) {
        const PatchSet& set = PatchSets()[i];
        const SetParameters& run = runs[i];
        EXPECT_EQ(set.key, run.section);
        EXPECT_EQ(PatchBaseUrl + FromUtf8(set.folder), run.remoteDir) << run.section;
        EXPECT_EQ(AppDir + set.localFolder, run.localDir) << run.section;
        EXPECT_EQ(set.manifestName, run.manifestName);
        EXPECT_EQ(set.suffix, run.entrySuffix);
        EXPECT_EQ(set.cardNumber, set.key.starts_with(L"card") ? set.key.back() - L'0' : 0);
        EXPECT_EQ(set.ManifestPath(), set.folder + ToUtf8(set.manifestName));
        EXPECT_EQ(set.PinsSection(), set.key + L".pins");
        EXPECT_EQ(&PatchSetOf(set.key), &set);
    }
    EXPECT_THROW(PatchSetOf(L"card6"), std::out_of_range);
}

}  // namespace
}  // namespace vt::format
