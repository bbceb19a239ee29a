// publish: serials only the key moves. The publish time, the key's own state and the served
// profile (only when the key signed it) each count; whoever writes the served tree moves
// nothing, and no serial passes 2^53.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "format/Serial.h"
#include "tests/vtpatch/VtpatchTesting.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Publish.h"
#include "vtpatch/PublishState.h"

namespace vt::vtpatch {
namespace {

using format::kLargestSerial;
using test::Get;
using test::Put;

constexpr uint64_t kNow = test::kNow;

TEST(NextSerial, TheLargestOfTimeStateAndServedUpTo2To53) {
    const struct {
        int64_t now;
        std::optional<uint64_t> state;
        std::optional<uint64_t> served;
        std::optional<uint64_t> next;  // nothing: refused
    } rows[] = {
        {test::kNow, {}, {}, kNow},
        {test::kNow, kNow + 5, {}, kNow + 6},
        {test::kNow, kNow + 9, kNow + 5, kNow + 10},
        {test::kNow, kNow, kNow, kNow + 1},  // a second publish within the same second
        {0, 3, 7, 8},
        {-5, {}, {}, 0},
        {test::kNow, kLargestSerial - 1, {}, kLargestSerial},
        {test::kNow, kLargestSerial, {}, std::nullopt},
        {test::kNow, {}, kLargestSerial, std::nullopt},
        {static_cast<int64_t>(kLargestSerial) + 1, {}, {}, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message()
                     << row.now << " " << row.state.value_or(0) << " " << row.served.value_or(0));
        if (row.next) {
            EXPECT_EQ(NextSerial({row.now, row.state, row.served}), *row.next);
        } else {
            EXPECT_THROW(NextSerial({row.now, row.state, row.served}), Refused);
        }
    }
}

class PublishSerialTest : public ::testing::Test {
  protected:
    test::Keys keys;
    test::SampleTree tree;
    test::Served served;

    std::string Served(const std::string& relative) const {
        return JoinPath(served.Path(), "autopatch/" + relative);
    }
    std::string State() const { return Get(StatePath(keys.Pem())); }
    uint64_t ServedSerial() const { return std::stoull(served.Value("publish", "serial")); }

    // The served profile with another serial line, signed by `signer` (nothing: the old
    // signature stays, which no longer matches).
    void PlantSerial(const std::string& serial, const test::Keys* signer) {
        std::string profile = served.Profile();
        const size_t at = profile.find("serial=") + 7;
        profile.replace(at, profile.find("\r\n", at) - at, serial);
        Put(Served("vtgame.ini"), profile);
        if (signer != nullptr) {
            Signature sig = PrivateKey::LoadPem(signer->Pem()).Sign(profile);
            Put(Served("vtgame.ini.sig"), std::string(sig.begin(), sig.end()));
        }
    }
};

// Rows in order, each planting over what the row before published.
TEST_F(PublishSerialTest, AServedSerialCountsOnlyWhenTheKeySignedIt) {
    enum Outcome { Ignored, Counted, Refused };
    test::Keys other;
    const struct {
        std::string planted;
        const test::Keys* signer;  // nullptr: the old signature stays
        Outcome outcome;
    } rows[] = {
        {"1", nullptr, Ignored},
        {"9223372036854775806", nullptr, Ignored},
        {"9007199254740992", &other, Ignored},
        {"-3", nullptr, Ignored},
        {std::to_string(kNow + 1000), &keys, Counted},
        {"5", &keys, Ignored},  // behind the state
        {"9007199254740992", &keys, Refused},
        {"9223372036854775806", &keys, Refused},
    };
    served.Publish(tree, keys);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.planted);
        const uint64_t last = ServedSerial();
        PlantSerial(row.planted, row.signer);
        if (row.outcome == Refused) {
            EXPECT_THROW(served.Publish(tree, keys), vtpatch::Refused);
            EXPECT_EQ(served.Value("publish", "serial"), row.planted);
            continue;
        }
        PublishResult result = served.Publish(tree, keys);
        const uint64_t expected = row.outcome == Counted ? std::stoull(row.planted) + 1 : last + 1;
        EXPECT_EQ(result.serial, expected);
        EXPECT_EQ(ServedSerial(), expected);
        EXPECT_EQ(State(), "serial=" + std::to_string(expected) + "\n");
        EXPECT_EQ(result.notes.back().find("not signed by this key") != std::string::npos,
                  row.signer != &keys);
    }
}

TEST_F(PublishSerialTest, AFreshRootALostStateAndARestoredBackupStillCountUpward) {
    served.Publish(tree, keys);
    const std::string firstProfile = served.Profile();
    const std::string firstSignature = Get(Served("vtgame.ini.sig"));
    EXPECT_EQ(served.Publish(tree, keys).serial, kNow + 1);

    // The state lives beside the key, for the key's eyes only, and nowhere in ROOT.
    struct stat st {};
    ASSERT_EQ(::stat(StatePath(keys.Pem()).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(StatePath(keys.Pem()), JoinPath(keys.dir.Path(), "patch-key.state"));
    for (const TreeEntry& e : ListTree(served.Path())) {
        EXPECT_EQ(e.relative.find("state"), std::string::npos) << e.relative;
    }

    test::Served fresh;
    EXPECT_EQ(fresh.Publish(tree, keys).serial, kNow + 2);

    Put(Served("vtgame.ini"), firstProfile);  // a backup of the first publish, restored
    Put(Served("vtgame.ini.sig"), firstSignature);
    EXPECT_EQ(served.Publish(tree, keys).serial, kNow + 3);

    ASSERT_EQ(::unlink(StatePath(keys.Pem()).c_str()), 0);
    EXPECT_EQ(served.Publish(tree, keys).serial, kNow + 4) << "the signed served profile counts";
    EXPECT_EQ(State(), "serial=" + std::to_string(kNow + 4) + "\n");
}

TEST_F(PublishSerialTest, AStateThatCannotBeFollowedIsRefusedAndNothingIsWritten) {
    const struct {
        const char* state;
        const char* reason;
    } rows[] = {{"", "not a publish state"},
                {"garbage\n", "not a publish state"},
                {"serial=-1\n", "not a publish state"},
                {"serial=12 \n", "not a publish state"},
                {"serial=9007199254740993\n", "not a publish state"},
                {"serial=9007199254740992\n", "2^53"}};
    served.Publish(tree, keys);
    const std::string profile = served.Profile();
    const std::string signature = Get(Served("vtgame.ini.sig"));
    tree.Set("resource/sound/new.wav", "new");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.state);
        Put(StatePath(keys.Pem()), row.state);
        try {
            served.Publish(tree, keys);
            ADD_FAILURE() << "published";
        } catch (const Refused& e) {
            EXPECT_NE(e.Reasons().at(0).find(row.reason), std::string::npos) << e.what();
        }
        EXPECT_EQ(served.Profile(), profile);
        EXPECT_EQ(Get(Served("vtgame.ini.sig")), signature);
        EXPECT_FALSE(Exists(served.At("resource/sound/new.wav")));
        EXPECT_EQ(State(), row.state);
        test::Served fresh;  // refused before anything is made in ROOT
        EXPECT_THROW(fresh.Publish(tree, keys), Refused);
        EXPECT_FALSE(Exists(JoinPath(fresh.Path(), "autopatch")));
    }
}

TEST(PublishKeyPlace, AKeyInsideRootIsRefused) {
    test::SampleTree tree;
    test::Served served;
    const std::string folder = JoinPath(served.Path(), "keys");
    std::filesystem::create_directories(folder);
    WriteKeyPair(folder);
    PublishOptions options{tree.Path(), served.Path(), JoinPath(folder, "patch-key.pem"),
                           "1",         std::nullopt,  test::kNow};
    EXPECT_THROW(Publish(options), Refused);
    EXPECT_FALSE(Exists(JoinPath(served.Path(), "autopatch")));
    EXPECT_FALSE(Exists(JoinPath(folder, "patch-key.state")));
}

}  // namespace
}  // namespace vt::vtpatch
