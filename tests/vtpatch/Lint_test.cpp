// lint: each kind of damage to a served tree is found, from a folder and over HTTP.
#include "vtpatch/Lint.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "base/Cp949.h"
#include "format/Digest.h"
#include "tests/vtpatch/VtpatchTesting.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Format.h"

namespace vt::vtpatch {
namespace {

using test::FlipBit;
using test::Get;
using test::Put;

class LintTest : public ::testing::Test {
  protected:
    test::Keys keys;
    test::SampleTree tree;
    test::Served served;

    void SetUp() override { served.Publish(tree, keys, "2030-01-02T00:00:00Z"); }

    std::string Served(const std::string& relative) const {
        return JoinPath(served.Path(), "autopatch/" + relative);
    }
    Findings Check(std::optional<P256PublicKey> key, int64_t now = test::kNow) {
        std::unique_ptr<ServedTree> t = OpenServedTree(served.Path());
        return Lint(*t, LintOptions{key, now});
    }
    Findings Check() { return Check(keys.Public()); }

    // Replaces a set's manifest and keeps the profile and objects consistent with it
    // (re-signed), so only the manifest's own fault shows.
    void ServeManifest(const std::string& path, const std::string& utf8) {
        Put(Served(path), test::Utf8ToCp949(utf8));
        test::ServeObject(served, Get(Served(path)));
        std::string profile = served.Profile();
        const std::string digest = LowerHex(Sha256OfText(Get(Served(path))));
        std::string section = path.find("vtsound") != std::string::npos ? "sound" : "graphics";
        Replace(profile, section + "=", digest.substr(0, 16));
        Replace(profile, path + "=", std::to_string(Get(Served(path)).size()) + "," + digest);
        test::ServeProfile(served, keys, profile);
    }
    static void Replace(std::string& text, const std::string& keyEq, const std::string& value) {
        size_t at = text.find("\r\n" + keyEq);
        ASSERT_NE(at, std::string::npos) << keyEq;
        at += 2 + keyEq.size();
        text.replace(at, text.find("\r\n", at) - at, value);
    }
};

TEST_F(LintTest, AFreshPublishIsClean) {
    Findings findings = Check();
    EXPECT_EQ(findings.List().size(), 0u) << test::Describe(findings);
}

TEST_F(LintTest, EveryFlippedBitIsFound) {
    struct Case {
        const char* file;
        size_t byte;
        const char* reported;
    };
    // The profile's bit lands in a version value; the others anywhere.
    const Case cases[] = {
        {"vtgame.ini", served.Profile().find("sound=") + 7, "vtgame.ini.sig"},
        {"vtgame.ini.sig", 10, "vtgame.ini.sig"},
        {"resource/sound/vtsound.ini", 3, "resource/sound/vtsound.ini"},
        {"resource/data/ui/frame.bmp", 2, "resource/data/ui/frame.bmp"},
        {"vt.exe", 0, "vt.exe"},
    };
    for (const Case& c : cases) {
        const std::string before = Get(Served(c.file));
        FlipBit(Served(c.file), c.byte);
        Findings findings = Check();
        EXPECT_GE(test::ProblemsAt(findings, c.reported), 1u) << c.file << "\n"
                                                              << test::Describe(findings);
        Put(Served(c.file), before);
        EXPECT_EQ(Check().Problems(), 0u) << c.file;
    }
    // A flipped payload of a Korean name, found by its pin.
    FlipBit(served.At("resource/data/card1/카드 뒷면.dat"));
    Findings findings = Check();
    EXPECT_EQ(test::ProblemsAt(findings, "카드 뒷면.dat"), 2u) << test::Describe(findings);
}

TEST_F(LintTest, SignatureNeedsTheRightKeyAndIsOnlyNotedWithoutOne) {
    test::Keys other;
    EXPECT_EQ(test::ProblemsAt(Check(other.Public()), "vtgame.ini.sig"), 1u);
    Put(Served("vtgame.ini.sig"), "short");
    EXPECT_EQ(test::ProblemsAt(Check(), "vtgame.ini.sig"), 1u);

    ASSERT_TRUE(::unlink(Served("vtgame.ini.sig").c_str()) == 0);
    EXPECT_EQ(test::ProblemsAt(Check(), "vtgame.ini.sig"), 1u);
    Findings unchecked = Check(std::nullopt);
    EXPECT_EQ(unchecked.Problems(), 0u) << test::Describe(unchecked);
    ASSERT_EQ(unchecked.Notes(), 1u);
    EXPECT_NE(unchecked.List()[0].what.find("missing"), std::string::npos);
}

TEST_F(LintTest, AnExpiredProfileIsAProblem) {
    EXPECT_EQ(Check(keys.Public(), 1893542399).Problems(), 0u);  // a second before
    Findings late = Check(keys.Public(), 1893542400);
    EXPECT_EQ(late.Problems(), 1u) << test::Describe(late);
    EXPECT_NE(late.List()[0].what.find("expired"), std::string::npos);
}

TEST_F(LintTest, SerialsLaunchersRefuseAreProblems) {
    const struct {
        const char* serial;
        bool problem;
    } rows[] = {{"1", false},
                {"1893456000", false},
                {"9007199254740992", false},
                {"", true},
                {"9007199254740993", true},
                {"9223372036854775806", true},
                {"0", true},
                {"-1", true},
                {"12abc", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.serial);
        std::string profile = served.Profile();
        Replace(profile, "serial=", row.serial);
        test::ServeProfile(served, keys, profile);
        Findings findings = Check(std::nullopt);
        EXPECT_EQ(findings.Problems(), row.problem ? 1u : 0u) << test::Describe(findings);
    }
}

// A pool size or a mirror launchers would not take is noted (they use their default, or leave
// the mirror out), never a problem.
TEST_F(LintTest, ConnectionsAndMirrorsLaunchersWouldNotTakeAreNoted) {
    const struct {
        const char* section;  // appended to the served profile
        bool noted;
    } rows[] = {{"", false},
                {"[transfer]\r\nconnections=1\r\n", false},
                {"[transfer]\r\nconnections=16\r\n", false},
                {"[transfer]\r\nconnections=0\r\n", true},
                {"[transfer]\r\nconnections=17\r\n", true},
                {"[transfer]\r\nconnections=eight\r\n", true},
                {"[transfer]\r\nconnections=\r\n", false},
                // Mirrors launchers leave out are noted the same way.
                {"[mirrors]\r\n1=http://127.0.0.2:18081/\r\n8=http://m/p/\r\n", false},
                {"[mirrors]\r\n1=https://127.0.0.2/\r\n", true},
                {"[mirrors]\r\n2=http://127.0.0.2/a/../\r\n", true},
                {"[mirrors]\r\n9=ftp://beyond-the-eighth/\r\n", false}};
    const std::string published = served.Profile();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.section);
        test::ServeProfile(served, keys, published + row.section);
        Findings findings = Check(std::nullopt);
        EXPECT_EQ(findings.Problems(), 0u) << test::Describe(findings);
        ASSERT_EQ(findings.Notes(), row.noted ? 2u : 1u) << test::Describe(findings);
    }
}

// What a publish dropped is noted, never a problem: the launcher keeps those files. Sets that
// were always empty are not noted (a fresh publish is clean).
TEST(LintDrops, WhatAPublishDroppedIsNoted) {
    const std::vector<std::string> graphics = {"resource/data/승리.bmp",
                                               "resource/data/ui/frame.bmp"};
    const struct {
        const char* what;
        std::vector<std::string> neverPublished;  // removed before the first publish
        std::vector<std::string> dropped;         // removed before the second
        const char* noted;                        // nullptr: nothing
    } rows[] = {
        {"a card set emptied", {}, {"resource/data/card3/joker.dat"}, "resource/data/card3/"},
        {"the graphics set emptied, card sets kept", {}, graphics, "resource/data/"},
        {"the graphics set never published, card sets kept", graphics, {}, nullptr},
        {"the client", {}, {"vt.exe"}, "vt.exe"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        test::Keys keys;
        test::SampleTree tree;
        test::Served served;
        auto publishWithout = [&](const std::vector<std::string>& removed) {
            for (const std::string& rel : removed) {
                ASSERT_EQ(::unlink(JoinPath(tree.Path(), rel).c_str()), 0);
            }
            Publish({tree.Path(), served.Path(), keys.Pem(), "1", std::nullopt, test::kNow, true});
        };
        publishWithout(row.neverPublished);
        publishWithout(row.dropped);
        std::unique_ptr<ServedTree> t = OpenServedTree(served.Path());
        Findings findings = Lint(*t, LintOptions{keys.Public(), test::kNow});
        EXPECT_EQ(findings.Problems(), 0u) << test::Describe(findings);
        ASSERT_EQ(findings.Notes(), row.noted ? 1u : 0u) << test::Describe(findings);
        if (row.noted) {
            EXPECT_EQ(findings.List()[0].where, row.noted);
            EXPECT_NE(findings.List()[0].what.find("launchers keep"), std::string::npos);
        }
    }
}

TEST_F(LintTest, AManifestWithEntriesThatNoKeyListsIsNotedAsDropped) {
    std::string profile = served.Profile();
    const size_t at = profile.find("\r\ncard3=");
    ASSERT_NE(at, std::string::npos);
    profile.erase(at, profile.find("\r\n", at + 2) - at);
    test::ServeProfile(served, keys, profile);
    // Only the manifest speaks here, not files left in the folder.
    ASSERT_EQ(::unlink(served.At("resource/data/card3/joker.dat").c_str()), 0);
    Findings findings = Check();
    EXPECT_EQ(findings.Problems(), 0u) << test::Describe(findings);
    ASSERT_EQ(findings.Notes(), 1u) << test::Describe(findings);
    EXPECT_EQ(findings.List()[0].where, "resource/data/card3/vtcard3.ini");
}

TEST_F(LintTest, MissingAndEmptyFilesAreProblems) {
    ASSERT_EQ(::unlink(served.At("resource/sound/효과음.wav").c_str()), 0);
    Put(served.At("resource/data/승리.bmp"), "");
    ASSERT_EQ(::unlink(Served("resource/data/card1/vtcard1.ini").c_str()), 0);
    Findings findings = Check();
    EXPECT_EQ(findings.Problems(), 3u) << test::Describe(findings);
    EXPECT_EQ(test::ProblemsAt(findings, "효과음.wav"), 1u);
    EXPECT_EQ(test::ProblemsAt(findings, "승리.bmp"), 1u);
    EXPECT_EQ(test::ProblemsAt(findings, "vtcard1.ini"), 1u);
}

TEST_F(LintTest, CountsThatDoNotMatchTheirEntries) {
    const std::string v = ContentVersion(Sha256OfText("click"));
    const std::string pin = "5," + LowerHex(Sha256OfText("click"));
    // One listed beyond the count, never fetched; the launcher reads no further.
    ServeManifest("resource/sound/vtsound.ini",
                  "[sound]\r\ncount=1\r\n1=click.wav:" + v + "\r\n2=click.wav:" + v +
                      "\r\n[sound.pins]\r\nclick.wav=" + pin + "\r\n");
    Findings beyond = Check();
    EXPECT_EQ(beyond.Problems(), 1u) << test::Describe(beyond);
    EXPECT_EQ(test::ProblemsAt(beyond, "vtsound.ini entry 2"), 1u) << test::Describe(beyond);

    // A count above its entries: the launcher stops with an error at the gap.
    ServeManifest(
        "resource/sound/vtsound.ini",
        "[sound]\r\ncount=2\r\n1=click.wav:" + v + "\r\n[sound.pins]\r\nclick.wav=" + pin + "\r\n");
    Findings gap = Check();
    EXPECT_EQ(gap.Problems(), 1u) << test::Describe(gap);
    EXPECT_NE(gap.List()[0].what.find("missing below count=2"), std::string::npos);

    ServeManifest("resource/sound/vtsound.ini", "[sound]\r\ncount=many\r\n");
    EXPECT_EQ(Check().Problems(), 1u);
    ServeManifest("resource/sound/vtsound.ini", "[sound]\r\ncount=40000\r\n");
    EXPECT_EQ(Check().Problems(), 1u);
}

TEST_F(LintTest, NamesTheLauncherRefusesOrWouldInstallElsewhere) {
    const std::string v = ContentVersion(Sha256OfText("click"));
    const std::string pin = "5," + LowerHex(Sha256OfText("click"));
    // A file outside the tree that must never be read: the unsafe name is not fetched.
    Put(JoinPath(served.Path(), "secret.wav"), "click");
    ServeManifest("resource/sound/vtsound.ini",
                  "[sound]\r\ncount=5\r\n1=../../secret.wav:" + v + "\r\n2=click.wav:" + v +
                      "\r\n3=CLICK.wav:" + v + "\r\n4=click.wav.:" + v + "\r\n5=nul.wav:" + v +
                      "\r\n[sound.pins]\r\n../../secret.wav=" + pin + "\r\nclick.wav=" + pin +
                      "\r\nCLICK.wav=" + pin + "\r\nclick.wav.=" + pin + "\r\nnul.wav=" + pin +
                      "\r\n");
    Findings findings = Check();
    EXPECT_EQ(findings.Problems(), 4u) << test::Describe(findings);
    EXPECT_EQ(test::ProblemsAt(findings, "entry 1)"), 1u);
    EXPECT_EQ(test::ProblemsAt(findings, "entry 3)"), 1u);
    EXPECT_EQ(test::ProblemsAt(findings, "entry 4)"), 1u);
    EXPECT_EQ(test::ProblemsAt(findings, "entry 5)"), 1u);
}

TEST_F(LintTest, EntriesWithoutVersionOrPin) {
    ServeManifest("resource/sound/vtsound.ini",
                  "[sound]\r\ncount=2\r\n1=click.wav:\r\n2=효과음.wav:" +
                      ContentVersion(Sha256OfText("sound effect")) +
                      "\r\n[sound.pins]\r\nclick.wav=5," + LowerHex(Sha256OfText("click")) +
                      "\r\n");
    Findings findings = Check();
    EXPECT_EQ(findings.Problems(), 2u) << test::Describe(findings);
    EXPECT_EQ(test::ProblemsAt(findings, "entry 1)"), 1u);  // no version: never fetched
    EXPECT_EQ(test::ProblemsAt(findings, "entry 2)"), 1u);  // no pin
}

TEST_F(LintTest, AMissingProfileIsTheOneProblem) {
    ASSERT_EQ(::unlink(Served("vtgame.ini").c_str()), 0);
    Findings findings = Check();
    ASSERT_EQ(findings.Problems(), 1u) << test::Describe(findings);
    EXPECT_EQ(findings.List()[0].where, "vtgame.ini");
}

TEST_F(LintTest, OverHttpLikeTheLauncher) {
    test::FolderServer server(served.Path());
    std::unique_ptr<ServedTree> t = OpenServedTree(server.Url());
    Findings clean = Lint(*t, LintOptions{keys.Public(), test::kNow});
    EXPECT_EQ(clean.List().size(), 0u) << test::Describe(clean);
    // profile, signature, vtgame.signed, 4 manifests, vt.exe and 8 payloads on one kept-alive
    // connection, the manifests of the 3 sets [game] does not list (dropped or empty?), and
    // the objects of the 4 manifests, vt.exe and the 8 payloads.
    EXPECT_EQ(server.Requests(), 32);
    EXPECT_EQ(server.Connections(), 1);

    FlipBit(served.At("resource/sound/bgm/배경 음악.wav"));
    Findings flipped = Lint(*t, LintOptions{keys.Public(), test::kNow});
    EXPECT_EQ(test::ProblemsAt(flipped, "배경 음악.wav"), 2u) << test::Describe(flipped);

    // A URL naming the autopatch folder itself reaches the same tree. (The server answers one
    // connection at a time: the first client lets go of its own first.)
    t.reset();
    std::unique_ptr<ServedTree> direct = OpenServedTree(server.Url() + "autopatch");
    EXPECT_EQ(Lint(*direct, LintOptions{keys.Public(), test::kNow}).Problems(), 2u);
}

TEST_F(LintTest, AnswersWithoutLengthAreRefusedAsTheLauncherDoes) {
    test::FolderServer server(served.Path(), {.sendLength = false, .keepAlive = false});
    std::unique_ptr<ServedTree> t = OpenServedTree(server.Url());
    Findings findings = Lint(*t, LintOptions{keys.Public(), test::kNow});
    ASSERT_GE(findings.Problems(), 1u);
    EXPECT_NE(findings.List()[0].what.find("no Content-Length"), std::string::npos)
        << test::Describe(findings);
}

// A man in the middle announcing a gigabyte, or answering too slowly: each answer is refused
// as the launcher refuses it, without waiting for or holding the body, and the run goes on.
TEST_F(LintTest, AnswersPastTheLaunchersBoundsOrTooSlowAreProblemsOverHttp) {
    const SlowAnswerRule quick{1, 1, 1024};  // the launcher's rule, in seconds instead of 30
    const std::string gigabyte = "announced as 1073741824 bytes, more than the ";
    struct Case {
        const char* what;
        test::ServerOptions options;
        const char* where;
        std::string why;
        bool held;  // the server held an answer until the client let go of it
    };
    const std::vector<Case> cases{
        {"the signature", {.inflated = "vtgame.ini.sig"}, "vtgame.ini.sig", gigabyte + "64 ", true},
        {"a pinned manifest",
         {.inflated = "vtsound.ini"},
         "resource/sound/vtsound.ini",
         gigabyte + std::to_string(Get(Served("resource/sound/vtsound.ini")).size()) + " ",
         true},
        {"the profile",
         {.inflated = "autopatch/vtgame.ini"},
         "vtgame.ini",
         gigabyte + "1048576 ",
         true},
        {"no head for the profile",
         {.silent = "autopatch/vtgame.ini"},
         "vtgame.ini",
         "no answer within 1 s; the launcher abandons such an answer",
         true},
        {"a trickled payload",
         {.trickled = "vt.exe", .trickleGap = std::chrono::milliseconds(400)},
         "vt.exe",
         "fewer than 1024 bytes in 1 s; the launcher abandons such an answer",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::FolderServer server(served.Path(), c.options);
        std::unique_ptr<ServedTree> t = OpenServedTree(server.Url(), quick);
        Findings findings = Lint(*t, LintOptions{keys.Public(), test::kNow});
        bool found = false;
        for (const Finding& f : findings.List()) {
            found = found || (f.problem && f.where.find(c.where) != std::string::npos &&
                              f.what.find(c.why) != std::string::npos);
        }
        EXPECT_TRUE(found) << test::Describe(findings);
        t.reset();
        // The server notices the close at its next look at the connection.
        const int closes = c.held ? 1 : 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (server.ClosedByClient() < closes && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(server.ClosedByClient(), closes) << "let go, not waited out";
        // The inflated answers send the file's real bytes: nothing near the announced length.
        EXPECT_LT(server.HeldBytesSent(), 1 << 20);
    }
}

TEST_F(LintTest, FilesPastTheLaunchersBoundsAreProblemsInAFolderToo) {
    Put(Served("vtgame.ini.sig"), std::string(65, 's'));
    Findings findings = Check();
    EXPECT_EQ(test::ProblemsAt(findings, "vtgame.ini.sig"), 1u) << test::Describe(findings);
    EXPECT_NE(test::Describe(findings).find("65 bytes, more than the 64 it may have"),
              std::string::npos)
        << test::Describe(findings);

    Put(Served("vtgame.ini"), served.Profile() + std::string(1 << 20, ';'));
    findings = Check();
    EXPECT_NE(test::Describe(findings).find("more than the 1048576 it may have"), std::string::npos)
        << test::Describe(findings);
}

TEST(LintSource, NeitherFolderNorUrlIsAFailure) {
    TempDirectory empty;
    EXPECT_THROW(OpenServedTree(empty.Path()), Failure);
    EXPECT_THROW(OpenServedTree("https://127.0.0.1/"), Failure);
    EXPECT_THROW(OpenServedTree("http://127.0.0.1:99999/"), Failure);
}

}  // namespace
}  // namespace vt::vtpatch
