// publish: the served tree it writes, versions that follow content only, the serial, and every
// refusal (after which nothing is written).
#include "vtpatch/Publish.h"

#include <gtest/gtest.h>

#include <functional>

#include "base/Cp949.h"
#include "format/Digest.h"
#include "tests/vtpatch/VtpatchTesting.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Format.h"
#include "vtpatch/Lint.h"
#include "vtpatch/Served.h"

namespace vt::vtpatch {
namespace {

using test::Get;
using test::Keys;
using test::SampleTree;
using test::Served;

std::string Manifest(const Served& served, const std::string& path) {
    return ToUtf8(FromCp949(Get(JoinPath(served.Path(), "autopatch/" + path))));
}

Findings LintFolder(const Served& served, const Keys& keys) {
    std::unique_ptr<ServedTree> tree = OpenServedTree(served.Path());
    return Lint(*tree, LintOptions{keys.Public(), test::kNow});
}

std::string VersionOf(const std::string& bytes) {
    return ContentVersion(Sha256OfText(bytes));
}

class PublishTest : public ::testing::Test {
  protected:
    Keys keys;
    SampleTree tree;
    Served served;
};

TEST_F(PublishTest, WritesTheServedTreeTheLauncherReads) {
    PublishResult result = served.Publish(tree, keys);
    EXPECT_EQ(result.serial, static_cast<uint64_t>(test::kNow));
    EXPECT_EQ(result.written, 9u);

    // Payloads under their code page 949 names, cards with their ".dat".
    EXPECT_EQ(Get(served.At("resource/sound/효과음.wav")), "sound effect");
    EXPECT_EQ(Get(served.At("resource/sound/bgm/배경 음악.wav")), "background music");
    EXPECT_EQ(Get(served.At("resource/data/ui/frame.bmp")), "frame");
    EXPECT_EQ(Get(served.At("resource/data/card1/카드 뒷면.dat")), "card back");
    EXPECT_EQ(Get(served.At("vt.exe")), "MZ client 1");
    // The installation's own files stay out.
    for (const char* own : {"vtlauncher.exe", "resource/data/SvrList.dat"}) {
        EXPECT_FALSE(Exists(served.At(own))) << own;
    }
    EXPECT_EQ(result.notes.size(), 3u);

    EXPECT_EQ(Manifest(served, "resource/sound/vtsound.ini"),
              "[sound]\r\ncount=3\r\n"
              "1=bgm/배경 음악.wav:" +
                  VersionOf("background music") +
                  "\r\n"
                  "2=click.wav:" +
                  VersionOf("click") +
                  "\r\n"
                  "3=효과음.wav:" +
                  VersionOf("sound effect") +
                  "\r\n"
                  "\r\n[sound.pins]\r\n"
                  "bgm/배경 음악.wav=16," +
                  LowerHex(Sha256OfText("background music")) +
                  "\r\n"
                  "click.wav=5," +
                  LowerHex(Sha256OfText("click")) +
                  "\r\n"
                  "효과음.wav=12," +
                  LowerHex(Sha256OfText("sound effect")) + "\r\n");
    std::string card1 = Manifest(served, "resource/data/card1/vtcard1.ini");
    EXPECT_NE(card1.find("\r\n1=ace:" + VersionOf("ace") + "\r\n"), std::string::npos) << card1;
    EXPECT_NE(card1.find("\r\n2=카드 뒷면:"), std::string::npos) << card1;
    std::string graphics = Manifest(served, "resource/data/graphics.ini");
    EXPECT_NE(graphics.find("count=2\r\n"), std::string::npos) << graphics;
    EXPECT_EQ(graphics.find("card"), std::string::npos) << graphics;

    // [game]: a version for each part present, none for the empty sets.
    EXPECT_EQ(served.Value("game", "game"), "1");
    EXPECT_EQ(served.Value("game", "vtgame"), VersionOf("MZ client 1"));
    EXPECT_EQ(served.Value("game", "sound"),
              VersionOf(Get(JoinPath(served.Path(), "autopatch/resource/sound/vtsound.ini"))));
    // An empty set: no key, no pin, but a manifest without entries.
    EXPECT_EQ(served.Value("game", "card2"), "");
    EXPECT_EQ(served.Value("publish", "resource/data/card2/vtcard2.ini"), "");
    EXPECT_EQ(Manifest(served, "resource/data/card2/vtcard2.ini"), "[card2]\r\ncount=0\r\n");
    EXPECT_EQ(served.Value("publish", "serial"), std::to_string(test::kNow));
    EXPECT_EQ(Get(JoinPath(served.Path(), "autopatch/vtgame.ini.sig")).size(), 64u);

    Findings findings = LintFolder(served, keys);
    EXPECT_EQ(findings.List().size(), 0u) << test::Describe(findings);
}

TEST_F(PublishTest, RepublishingTheSameContentChangesOnlyTheSerial) {
    served.Publish(tree, keys);
    const std::vector<TreeEntry> before = ListTree(JoinPath(served.Path(), "autopatch"));
    std::map<std::string, std::string> bytes;
    for (const TreeEntry& e : before) {
        bytes[e.relative] = Get(JoinPath(served.Path(), "autopatch/" + e.relative));
    }
    const std::string profile = served.Profile();

    PublishResult again = served.Publish(tree, keys);
    EXPECT_EQ(again.serial, test::kNow + 1u);
    EXPECT_EQ(again.written, 0u);
    EXPECT_EQ(again.unchanged, 9u);
    for (const auto& [relative, content] : bytes) {
        if (relative != "vtgame.ini" && relative != "vtgame.ini.sig" &&
            relative != "vtgame.signed") {
            EXPECT_EQ(Get(JoinPath(served.Path(), "autopatch/" + relative)), content) << relative;
        }
    }
    // The profile differs in its serial line only.
    std::string expected = profile;
    const std::string first = "serial=" + std::to_string(test::kNow);
    expected.replace(expected.find(first), first.size(),
                     "serial=" + std::to_string(test::kNow + 1));
    EXPECT_EQ(served.Profile(), expected);
    EXPECT_EQ(served.Publish(tree, keys).serial, test::kNow + 2u);
    EXPECT_EQ(LintFolder(served, keys).Problems(), 0u);
}

TEST_F(PublishTest, AChangedFileChangesItsVersionAndItsSetsOnly) {
    served.Publish(tree, keys);
    auto values = [this] {
        std::map<std::string, std::string> v;
        for (const char* key : {"vtgame", "sound", "graphics", "card1", "card3"}) {
            v[key] = served.Value("game", key);
        }
        return v;
    };
    const auto before = values();
    const std::string sound = Manifest(served, "resource/sound/vtsound.ini");
    const std::string graphics =
        Get(JoinPath(served.Path(), "autopatch/resource/data/graphics.ini"));

    tree.Set("resource/sound/click.wav", "click, louder");
    PublishResult result = served.Publish(tree, keys);
    EXPECT_EQ(result.written, 1u);
    const auto after = values();
    for (const auto& [key, value] : before) {
        if (key == "sound") {
            EXPECT_NE(after.at(key), value);
        } else {
            EXPECT_EQ(after.at(key), value) << key;
        }
    }
    std::string changed = sound;
    changed.replace(changed.find(VersionOf("click")), 16, VersionOf("click, louder"));
    changed.replace(changed.find("click.wav=5," + LowerHex(Sha256OfText("click"))), 12 + 64,
                    "click.wav=13," + LowerHex(Sha256OfText("click, louder")));
    EXPECT_EQ(Manifest(served, "resource/sound/vtsound.ini"), changed);
    EXPECT_EQ(Get(JoinPath(served.Path(), "autopatch/resource/data/graphics.ini")), graphics);
    EXPECT_EQ(Get(served.At("resource/sound/click.wav")), "click, louder");
    EXPECT_EQ(LintFolder(served, keys).Problems(), 0u);
}

TEST_F(PublishTest, AnEarlierProfileWithoutSerialCountsAsNone) {
    test::Put(JoinPath(served.Path(), "autopatch/vtgame.ini"), "[game]\r\ngame=1\r\nvtgame=2\r\n");
    EXPECT_EQ(served.Publish(tree, keys).serial, static_cast<uint64_t>(test::kNow));
    EXPECT_EQ(served.Publish(tree, keys).serial, test::kNow + 1u);
}

TEST_F(PublishTest, AFailedPublishKeepsTheEarlierProfileAndSignature) {
    served.Publish(tree, keys);
    const std::string profile = served.Profile();
    const std::string signature = Get(JoinPath(served.Path(), "autopatch/vtgame.ini.sig"));
    // A folder where a new payload has to go stops the publish half-way.
    tree.Set("resource/sound/zz-new.wav", "new");
    test::Put(served.At("resource/sound/zz-new.wav/blocker"), "x");
    EXPECT_THROW(served.Publish(tree, keys), Failure);
    EXPECT_EQ(served.Profile(), profile);
    EXPECT_EQ(Get(JoinPath(served.Path(), "autopatch/vtgame.ini.sig")), signature);
    for (const TreeEntry& e : ListTree(JoinPath(served.Path(), "autopatch"))) {
        EXPECT_FALSE(e.relative.ends_with(".tmp")) << e.relative;
    }
}

TEST_F(PublishTest, ExpiryIsWrittenAndMustLieAhead) {
    served.Publish(tree, keys, "2030-06-01T12:00:00Z");
    EXPECT_EQ(served.Value("publish", "expires"), "2030-06-01T12:00:00Z");
    try {
        served.Publish(tree, keys, "2029-12-31T23:59:59Z");
        ADD_FAILURE() << "a past expiry was taken";
    } catch (const Refused& e) {
        EXPECT_NE(e.Reasons().at(0).find("has passed"), std::string::npos);
    }
    for (const char* bad : {"2030-02-30T00:00:00Z", "2030-06-01 12:00:00Z", "2030-06-01T12:00:00",
                            "2030-6-01T12:00:00Z"}) {
        EXPECT_THROW(served.Publish(tree, keys, bad), Refused) << bad;
    }
}

TEST_F(PublishTest, RemovedContentIsPublishedAndEverySetKeepsAManifest) {
    served.Publish(tree, keys);
    ASSERT_EQ(::unlink(JoinPath(tree.Path(), "resource/data/card3/joker.dat").c_str()), 0);
    PublishResult result = served.Publish(tree, keys);
    EXPECT_EQ(served.Value("game", "card3"), "");
    EXPECT_EQ(served.Value("publish", "resource/data/card3/vtcard3.ini"), "");
    EXPECT_EQ(Manifest(served, "resource/data/card3/vtcard3.ini"), "[card3]\r\ncount=0\r\n");
    ASSERT_FALSE(result.notes.empty());
    EXPECT_NE(result.notes.back().find("set card3 dropped"), std::string::npos)
        << result.notes.back();
    EXPECT_EQ(LintFolder(served, keys).Problems(), 0u);

    // A fresh ROOT holds every set's manifest as well.
    Served fresh;
    fresh.Publish(tree, keys);
    for (const PatchSet& set : PatchSets()) {
        EXPECT_TRUE(IsRegularFile(JoinPath(fresh.Path(), "autopatch/" + set.ManifestPath())))
            << set.ManifestPath();
    }
}

// One bad file, or a bad argument, in an otherwise good tree: refused with a reason naming
// it, and nothing written. (Where the launcher's own name check and the tool's overlap, either
// may give the reason: only the file is expected then.)
struct Refusal {
    const char* what;
    std::function<void(SampleTree&, PublishOptions&)> spoil;
    const char* reason;
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
    *out << refusal.what;
}

class PublishRefusalTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(PublishRefusalTest, RefusesAndWritesNothing) {
    Keys keys;
    SampleTree tree;
    Served served;
    PublishOptions options{tree.Path(), served.Path(), keys.Pem(), "1", std::nullopt, test::kNow};
    GetParam().spoil(tree, options);
    try {
        Publish(options);
        ADD_FAILURE() << GetParam().what << ": published";
    } catch (const Refused& e) {
        std::string all;
        for (const std::string& r : e.Reasons()) {
            all += r + "\n";
        }
        EXPECT_NE(all.find(GetParam().reason), std::string::npos) << all;
    } catch (const Failure& e) {
        ADD_FAILURE() << GetParam().what << ": failed instead of refusing: " << e.what();
    }
    EXPECT_EQ(ListTree(served.Path()).size(), 0u) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    EveryRule, PublishRefusalTest,
    ::testing::Values(
        Refusal{
            "device name",
            [](SampleTree& sample, PublishOptions&) { sample.Set("resource/sound/CON.wav", "x"); },
            "resource/sound/CON.wav: the launcher refuses the name"},
        Refusal{"a set's record journal",
                [](SampleTree& sample, PublishOptions&) {
                    sample.Set("resource/sound/vtsound.ini.journal", "v 00000000 1:a1\n");
                },
                "resource/sound/vtsound.ini.journal: the launcher refuses the name"},
        Refusal{"the graphics set's record journal, in other letter case",
                [](SampleTree& sample, PublishOptions&) {
                    sample.Set("resource/data/Graphics.INI.Journal", "x");
                },
                "resource/data/Graphics.INI.Journal: the launcher refuses the name"},
        Refusal{
            "zero bytes",
            [](SampleTree& sample, PublishOptions&) { sample.Set("resource/data/empty.bmp", ""); },
            "resource/data/empty.bmp: zero bytes"},
        Refusal{
            "not in code page 949",
            [](SampleTree& sample, PublishOptions&) { sample.Set("resource/sound/ก.wav", "x"); },
            "cannot be written in code page 949"},
        Refusal{"decomposed Hangul",
                [](SampleTree& sample, PublishOptions&) {
                    sample.Set("resource/sound/\u1112\u1161.wav", "x");
                },
                "NFC"},
        Refusal{"not UTF-8",
                [](SampleTree& sample, PublishOptions&) {
                    sample.Set("resource/sound/\xB9\xE8.wav", "x");  // CP949 bytes on disk
                },
                "not UTF-8"},
        Refusal{"card file without .dat",
                [](SampleTree& sample, PublishOptions&) {
                    sample.Set("resource/data/card2/x.bmp", "x");
                },
                "card set 2 holds only files ending in .dat"},
        Refusal{"case alias",
                [](SampleTree& sample, PublishOptions&) {
                    sample.Set("resource/sound/CLICK.WAV", "x");
                },
                "the same file on Windows as"},
        Refusal{
            "trailing dot",
            [](SampleTree& sample, PublishOptions&) { sample.Set("resource/sound/click.", "x"); },
            "ending in '.' or a blank"},
        Refusal{"card folder under another case",
                [](SampleTree& sample, PublishOptions&) {
                    sample.Set("resource/data/Card1/x.dat", "x");
                },
                "resource/data/Card1/x.dat: "},
        Refusal{
            "leading blank",
            [](SampleTree& sample, PublishOptions&) { sample.Set("resource/sound/ x.wav", "x"); },
            "resource/sound/ x.wav: "},
        Refusal{
            "colon",
            [](SampleTree& sample, PublishOptions&) { sample.Set("resource/sound/a:b.wav", "x"); },
            "the launcher refuses the name"},
        Refusal{
            "backslash",
            [](SampleTree& sample, PublishOptions&) { sample.Set("resource/sound/a\\b.wav", "x"); },
            "a backslash"},
        Refusal{"launcher's temporary manifest",
                [](SampleTree& sample, PublishOptions&) {
                    sample.Set("resource/sound/vtsound.ini.12.3.tmp", "x");
                },
                "resource/sound/vtsound.ini.12.3.tmp: "},
        Refusal{"too long",
                [](SampleTree& sample, PublishOptions&) {
                    // 4 folders of 250 bytes and a 7-byte name: 1,007 bytes, one too many.
                    std::string name = "resource/sound/";
                    for (int i = 0; i < 4; ++i) {
                        name += std::string(249, 'a' + i) + "/";
                    }
                    sample.Set(name + "abc.wav", "x");
                },
                "too long"},
        Refusal{"empty client",
                [](SampleTree& sample, PublishOptions&) { sample.Set("vt.exe", ""); },
                "vt.exe: zero bytes"},
        Refusal{"empty game", [](SampleTree&, PublishOptions& options) { options.game = ""; },
                "--game is empty"},
        Refusal{"quoted game", [](SampleTree&, PublishOptions& options) { options.game = "'1'"; },
                "quotes"},
        Refusal{"game with a blank",
                [](SampleTree&, PublishOptions& options) { options.game = "1 "; }, "blank"}));

TEST(PublishLimits, TakesUpTo32766FilesInASetAndNoMore) {
    test::TempInMemory memory;
    Keys keys;
    SampleTree tree;
    Served served;
    for (int i = 0; i < kMaxEntries; ++i) {
        tree.Set("resource/data/card5/" + std::to_string(i) + ".dat", "c");
    }
    PublishResult result = served.Publish(tree, keys);
    ASSERT_EQ(result.sets.back().key, L"card5");
    EXPECT_EQ(result.sets.back().files, static_cast<size_t>(kMaxEntries));
    EXPECT_EQ(LintFolder(served, keys).Problems(), 0u);

    tree.Set("resource/data/card5/one-more.dat", "c");
    try {
        served.Publish(tree, keys);
        ADD_FAILURE() << "32,767 files were published";
    } catch (const Refused& e) {
        EXPECT_NE(e.Reasons().at(0).find("set card5 has 32767 files"), std::string::npos)
            << e.Reasons().at(0);
    }
    EXPECT_EQ(served.Value("publish", "serial"), std::to_string(test::kNow));
}

}  // namespace
}  // namespace vt::vtpatch
