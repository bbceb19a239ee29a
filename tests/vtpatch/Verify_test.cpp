// verify: an installation made the way the launcher makes one (payloads copied, each recorded
// in its set's manifest, the set recorded in vtgame.ini) against its served tree, and the
// repair that makes the launcher fetch what differs.
#include "vtpatch/Verify.h"

#include <gtest/gtest.h>

#include "base/Cp949.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "format/Digest.h"
#include "selfupdate/Pointer.h"
#include "sets/RecordJournal.h"
#include "tests/vtpatch/VtpatchTesting.h"
#include "vtpatch/Format.h"
#include "vtpatch/Publish.h"

namespace vt::vtpatch {
namespace {

using test::Get;
using test::Put;

// "i=name:version" lines of the first section of a served manifest, read without the engine.
std::vector<std::pair<std::string, std::string>> Entries(const std::string& manifestUtf8) {
    std::vector<std::pair<std::string, std::string>> out;
    size_t pos = manifestUtf8.find("count=");
    size_t end = manifestUtf8.find("\r\n\r\n");
    while ((pos = manifestUtf8.find("\r\n", pos)) < end) {
        pos += 2;
        size_t eq = manifestUtf8.find('=', pos);
        size_t colon = manifestUtf8.find(':', eq);
        size_t lineEnd = manifestUtf8.find("\r\n", colon);
        out.emplace_back(manifestUtf8.substr(eq + 1, colon - eq - 1),
                         manifestUtf8.substr(colon + 1, lineEnd - colon - 1));
    }
    return out;
}

class VerifyTest : public ::testing::Test {
  protected:
    test::Keys keys;
    test::SampleTree tree;
    test::Served served;
    TempDirectory install;

    void SetUp() override {
        served.Publish(tree, keys);
        const std::string autopatch = JoinPath(served.Path(), "autopatch");
        Put(Local("vt.exe"), Get(JoinPath(autopatch, "vt.exe")));
        std::string profile = "[game]\r\n";
        for (const char* key : {"game", "vtgame"}) {
            profile += std::string(key) + "=" + served.Value("game", key) + "\r\n";
        }
        for (const PatchSet& set : PatchSets()) {
            const std::string version = served.Value("game", ToUtf8(set.key));
            if (version.empty()) {
                continue;
            }
            profile += ToUtf8(set.key) + "=" + version + "\r\n";
            const std::string manifest =
                ToUtf8(FromCp949(Get(JoinPath(autopatch, set.ManifestPath()))));
            std::string records = "[" + ToUtf8(set.key) + "]\r\n";
            for (const auto& [name, v] : Entries(manifest)) {
                const std::string file = set.folder + name + ToUtf8(set.suffix);
                Put(Local(file), Get(served.At(file)));
                records += name + "=" + v + "\r\n";
            }
            Put(Local(set.folder + ToUtf8(set.manifestName)), test::Utf8ToCp949(records));
        }
        Put(Local("vtgame.ini"), profile);
    }

    std::string Local(const std::string& relative) const {
        return JoinPath(install.Path(), relative);
    }
    std::string Record(const std::string& section, const std::string& key,
                       const std::string& file) const {
        profile::ClearCache();
        return ToUtf8(ReadProfileValue(FromUtf8(section), FromUtf8(key), FromUtf8(Local(file))));
    }
    VerifyReport Check(bool repair = false) {
        std::unique_ptr<ServedTree> t = OpenServedTree(served.Path());
        return Verify(*t, VerifyOptions{install.Path(), repair});
    }
};

// A launcher that updated itself records the served game and points at its program in
// launcher/current.ini: a matching game is no finding, a pointer to a missing or other file is.
TEST_F(VerifyTest, TheLauncherPointerMustNameTheFileItRecords) {
    const std::string program = "MZ launcher 7";
    selfupdate::Pointer named;
    named.current = {7, {program.size(), Sha256OfText(program)}, "1"};
    const std::string pointer = selfupdate::PointerText(named);
    const struct {
        const char* name;
        std::string pointer;
        std::optional<std::string> file;  // launcher/vtlauncher-7.exe
        size_t problems;
        const char* at;
    } rows[] = {
        {"no pointer", "", std::nullopt, 0, "vtlauncher-7.exe"},
        {"as recorded", pointer, program, 0, "vtlauncher-7.exe"},
        {"nothing current", selfupdate::PointerText({}), std::nullopt, 0, "vtlauncher-7.exe"},
        {"missing", pointer, std::nullopt, 1, "vtlauncher-7.exe"},
        {"other bytes", pointer, "MZ launcher 8", 1, "vtlauncher-7.exe"},
        {"other size", pointer, "MZ launcher 77", 1, "vtlauncher-7.exe"},
        {"not a pointer", "[current]\r\nserial=seven\r\n", program, 1, "current.ini"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ::unlink(Local("launcher/current.ini").c_str());
        ::unlink(Local("launcher/vtlauncher-7.exe").c_str());
        if (!row.pointer.empty()) {
            Put(Local("launcher/current.ini"), row.pointer);
        }
        if (row.file) {
            Put(Local("launcher/vtlauncher-7.exe"), *row.file);
        }
        const VerifyReport report = Check();
        EXPECT_EQ(report.findings.Problems(), row.problems) << test::Describe(report.findings);
        EXPECT_EQ(test::ProblemsAt(report.findings, row.at), row.problems);
        EXPECT_EQ(report.findings.Notes(), 0u) << test::Describe(report.findings);
    }
}

TEST_F(VerifyTest, AnotherGameIsANoteNamingTheServedLauncher) {
    Put(Local("vtgame.ini"), "[game]\r\ngame=0\r\n");
    const VerifyReport before = Check();
    EXPECT_NE(test::Describe(before.findings).find("refuses to patch"), std::string::npos)
        << test::Describe(before.findings);
    TempDirectory elsewhere;
    PublishOptions options;
    options.tree = tree.Path();
    options.root = served.Path();
    options.keyPath = keys.Pem();
    options.game = "1";
    options.now = test::kNow;
    options.launcher = JoinPath(elsewhere.Path(), "vtlauncher.exe");
    options.launcherSerial = 3;
    Put(*options.launcher, "MZ launcher 2");
    Publish(options);
    const VerifyReport after = Check();
    EXPECT_NE(
        test::Describe(after.findings).find("updates itself to the served launcher (serial 3)"),
        std::string::npos)
        << test::Describe(after.findings);
}

TEST_F(VerifyTest, AnInstallationAsPublishedVerifies) {
    VerifyReport report = Check();
    EXPECT_EQ(report.findings.List().size(), 0u) << test::Describe(report.findings);
    EXPECT_EQ(report.checked, 9u);
    EXPECT_EQ(report.pending, 0u);
}

TEST_F(VerifyTest, MissingAndChangedFilesAreListedAndRepairedByBlankingTheirRecords) {
    ASSERT_EQ(::unlink(Local("resource/sound/효과음.wav").c_str()), 0);
    Put(Local("resource/data/card1/카드 뒷면.dat"), "card bacK");  // same size, other bytes
    Put(Local("resource/data/ui/frame.bmp"), "frame!");

    VerifyReport found = Check();
    EXPECT_EQ(found.findings.Problems(), 3u) << test::Describe(found.findings);
    EXPECT_EQ(test::ProblemsAt(found.findings, "resource/sound/효과음.wav"), 1u);
    EXPECT_EQ(test::ProblemsAt(found.findings, "resource/data/card1/카드 뒷면.dat"), 1u);
    EXPECT_EQ(test::ProblemsAt(found.findings, "resource/data/ui/frame.bmp"), 1u);
    EXPECT_EQ(found.repaired, 0u);
    EXPECT_NE(Record("sound", "효과음.wav", "resource/sound/vtsound.ini"), "");

    const std::string untouched = Record("sound", "click.wav", "resource/sound/vtsound.ini");
    VerifyReport repaired = Check(true);
    EXPECT_EQ(repaired.findings.Problems(), 3u);
    EXPECT_EQ(repaired.repaired, 6u);  // three records and the keys of their three sets
    EXPECT_EQ(Record("sound", "효과음.wav", "resource/sound/vtsound.ini"), "");
    EXPECT_EQ(Record("card1", "카드 뒷면", "resource/data/card1/vtcard1.ini"), "");
    EXPECT_EQ(Record("graphics", "ui/frame.bmp", "resource/data/graphics.ini"), "");
    for (const char* set : {"sound", "graphics", "card1"}) {
        EXPECT_EQ(Record("game", set, "vtgame.ini"), "") << set;
    }
    // Everything else as it was.
    EXPECT_EQ(Record("sound", "click.wav", "resource/sound/vtsound.ini"), untouched);
    EXPECT_EQ(Record("game", "card3", "vtgame.ini"), served.Value("game", "card3"));
    EXPECT_EQ(Record("game", "vtgame", "vtgame.ini"), served.Value("game", "vtgame"));

    // Now the launcher would fetch the three files: pending, no longer a problem.
    VerifyReport after = Check();
    EXPECT_EQ(after.findings.Problems(), 0u) << test::Describe(after.findings);
    EXPECT_EQ(after.pending, 3u);
}

TEST_F(VerifyTest, AnOutdatedRecordInASetRecordedAsCurrentIsAProblem) {
    Put(Local("resource/data/card3/vtcard3.ini"), "[card3]\r\njoker=0000000000000000\r\n");
    VerifyReport found = Check();
    EXPECT_EQ(test::ProblemsAt(found.findings, "joker.dat"), 1u) << test::Describe(found.findings);

    Check(true);
    EXPECT_EQ(Record("game", "card3", "vtgame.ini"), "");
    VerifyReport after = Check();
    EXPECT_EQ(after.findings.Problems(), 0u) << test::Describe(after.findings);
    EXPECT_EQ(after.pending, 1u);
}

TEST_F(VerifyTest, AChangedClientIsRepairedThroughItsVersion) {
    Put(Local("vt.exe"), "MZ client 0");
    VerifyReport found = Check(true);
    EXPECT_EQ(test::ProblemsAt(found.findings, "vt.exe"), 1u) << test::Describe(found.findings);
    EXPECT_EQ(Record("game", "vtgame", "vtgame.ini"), "");
    EXPECT_EQ(Record("game", "game", "vtgame.ini"), "1");  // never touched: the launcher checks it
    EXPECT_EQ(Check().findings.Problems(), 0u);
}

// A killed launcher run leaves its last records in the set's journal; the next run counts
// them, and so does verify. A repair folds the journal first: folded later, it would bring a
// blanked record back.
TEST_F(VerifyTest, RecordsInAJournalCountAndARepairIsNotUndoneByIt) {
    const std::string manifest = Local("resource/sound/vtsound.ini");
    const std::string version = Record("sound", "효과음.wav", "resource/sound/vtsound.ini");
    ASSERT_NE(version, "");
    std::string records = Get(manifest);
    const std::string line = test::Utf8ToCp949("효과음.wav=" + version + "\r\n");
    ASSERT_NE(records.find(line), std::string::npos);
    records.erase(records.find(line), line.size());
    Put(manifest, records);
    const std::string journal =
        EncodeJournalRecord(test::Utf8ToCp949("효과음.wav"), "stale").value() +
        EncodeJournalRecord(test::Utf8ToCp949("효과음.wav"), version).value() + "v 0123";
    Put(manifest + ".journal", journal);

    VerifyReport found = Check();
    EXPECT_EQ(found.findings.List().size(), 0u) << test::Describe(found.findings);
    EXPECT_EQ(found.checked, 9u);
    EXPECT_EQ(Get(manifest + ".journal"), journal) << "verify alone changes nothing";

    Put(Local("resource/sound/효과음.wav"), "changed");
    VerifyReport repaired = Check(true);
    EXPECT_EQ(test::ProblemsAt(repaired.findings, "resource/sound/효과음.wav"), 1u)
        << test::Describe(repaired.findings);
    EXPECT_EQ(Get(manifest + ".journal"), "") << "folded, then deleted";
    EXPECT_EQ(Record("sound", "효과음.wav", "resource/sound/vtsound.ini"), "");
    // What the launcher does first on its next start: fold what is left. Nothing is.
    EXPECT_FALSE(FoldJournal(L"sound", FromUtf8(manifest)));
    VerifyReport after = Check();
    EXPECT_EQ(after.findings.Problems(), 0u) << test::Describe(after.findings);
    EXPECT_EQ(after.pending, 1u);
}

// The launcher blanks a dropped set's key and leaves its files alone: verify neither compares
// them nor counts them pending, and says why.
TEST_F(VerifyTest, WhatThePublisherDroppedIsNotedAndLeftAlone) {
    ASSERT_EQ(::unlink(JoinPath(tree.Path(), "resource/data/card3/joker.dat").c_str()), 0);
    Publish({tree.Path(), served.Path(), keys.Pem(), "1", std::nullopt, test::kNow, false});
    Put(Local("resource/data/card3/joker.dat"), "changed by the player");
    VerifyReport dropped = Check(true);
    EXPECT_EQ(dropped.findings.Problems(), 0u) << test::Describe(dropped.findings);
    ASSERT_EQ(dropped.findings.Notes(), 1u) << test::Describe(dropped.findings);
    EXPECT_EQ(dropped.findings.List()[0].where, "set card3");
    EXPECT_EQ(dropped.checked, 8u);
    EXPECT_EQ(dropped.pending, 0u);
    EXPECT_EQ(dropped.repaired, 0u);

    // As the launcher leaves it: the key blank, the record and the file in place.
    WriteProfileValue(L"game", L"card3", L"", FromUtf8(Local("vtgame.ini")));
    ASSERT_EQ(::unlink(JoinPath(tree.Path(), "vt.exe").c_str()), 0);
    Publish({tree.Path(), served.Path(), keys.Pem(), "1", std::nullopt, test::kNow, true});
    profile::ClearCache();
    VerifyReport both = Check();
    EXPECT_EQ(both.findings.Problems(), 0u) << test::Describe(both.findings);
    EXPECT_EQ(both.findings.Notes(), 2u) << test::Describe(both.findings);
    EXPECT_EQ(both.checked, 7u);
    EXPECT_EQ(both.pending, 0u);
}

TEST_F(VerifyTest, WorksOverHttp) {
    Put(Local("resource/data/승리.bmp"), "defeat");
    test::FolderServer server(served.Path());
    std::unique_ptr<ServedTree> t = OpenServedTree(server.Url());
    VerifyReport report = Verify(*t, VerifyOptions{install.Path(), false});
    EXPECT_EQ(report.findings.Problems(), 1u) << test::Describe(report.findings);
    EXPECT_EQ(test::ProblemsAt(report.findings, "승리.bmp"), 1u);
}

}  // namespace
}  // namespace vt::vtpatch
