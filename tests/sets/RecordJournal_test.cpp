#include "sets/RecordJournal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "tests/support/Installation.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/TestDir.h"

namespace vt {
namespace {

using test::Installation;
using test::TestDir;

const std::string kHan = "\xC7\xD1\xB1\xDB";  // two Hangul syllables in code page 949

std::string Journal(const std::vector<JournalRecord>& records) {
    std::string out;
    for (const JournalRecord& r : records) {
        out += EncodeJournalRecord(r.key, r.version).value();
    }
    return out;
}

TEST(JournalRecords, EveryKeyAndVersionComesBackAsWritten) {
    const std::vector<JournalRecord> records = {
        {"a.wav", "1"},  {kHan + ".wav", "2.0 beta"},
        {"12:3", "x:y"},  // digits and colons in the key do not confuse its length
        {"k", ""},       {"sub\\dir/q.wav", " \"quoted\" = 'v' "},
        {"", "v"},       {"x", std::string(1023, 'z')},
    };
    const std::string bytes = Journal(records);
    EXPECT_EQ(DecodeJournal(bytes), records);
    EXPECT_EQ(EncodeJournalRecord("a.wav", "1").value(), "v 8e03d28e 5:a.wav1\n")
        << "the documented layout; the checksum is the CRC-32 of \"5:a.wav1\"";
    EXPECT_FALSE(EncodeJournalRecord("a\nb", "1"));
    EXPECT_FALSE(EncodeJournalRecord("a", "1\r"));
}

// A kill can stop the writer after any byte: every prefix reads as the whole records in it.
TEST(JournalRecords, ATornLastRecordReadsAsNothing) {
    const std::vector<JournalRecord> records = {{"a.wav", "1"}, {kHan, "22"}, {"c", "3.3"}};
    const std::string bytes = Journal(records);
    size_t whole = 0;
    for (size_t cut = 0; cut <= bytes.size(); ++cut) {
        if (cut > 0 && bytes[cut - 1] == '\n') {
            ++whole;
        }
        const std::vector<JournalRecord> expected(records.begin(),
                                                  records.begin() + static_cast<long>(whole));
        EXPECT_EQ(DecodeJournal(bytes.substr(0, cut)), expected) << "cut after " << cut;
    }
    EXPECT_EQ(whole, records.size());
}

TEST(JournalRecords, DamagedLinesAreLeftOutAndTheRestKept) {
    const std::string a = EncodeJournalRecord("a", "1").value();
    const std::string b = EncodeJournalRecord("b", "2").value();
    const std::string c = EncodeJournalRecord("c", "3").value();
    std::string flipped = b;
    flipped[flipped.size() - 2] = '9';  // the version, under an unchanged checksum
    std::string shortKey = b;
    shortKey.replace(shortKey.find("1:"), 2, "9:");
    const std::vector<JournalRecord> ac = {{"a", "1"}, {"c", "3"}};
    EXPECT_EQ(DecodeJournal(a + flipped + c), ac);
    EXPECT_EQ(DecodeJournal(a + shortKey + c), ac);
    EXPECT_EQ(DecodeJournal(a + std::string(40, '\0') + "\n" + c), ac) << "zeros after a crash";
    EXPECT_EQ(DecodeJournal(a + "garbage\n" + c), ac);
    EXPECT_EQ(DecodeJournal(a + "v zzzzzzzz 1:b2\n" + c), ac);
}

class JournalTest : public ::testing::Test {
  protected:
    void SetUp() override { profile::ClearCache(); }
    void TearDown() override { profile::ClearCache(); }

    TestDir dir;
    std::wstring manifest = dir / L"vtsound.ini";
    std::wstring journal = dir / L"vtsound.ini.journal";

    std::string Manifest() const { return dir.Read(L"vtsound.ini"); }
    void PutJournal(const std::vector<JournalRecord>& records) const {
        dir.Write(L"vtsound.ini.journal", Journal(records));
    }
};

TEST_F(JournalTest, FoldingKeepsEveryOtherByteAndTheLastRecordOfAKeyWins) {
    const std::string before =
        "; made by hand\r\n[sound]\r\n  old.wav = 1  \r\nbare.wav\r\nKEEP.wav=\"q\"\r\n"
        "\r\n[other]\r\nold.wav=x\r\n[sound]\r\nshadowed=1\r\n";
    dir.Write(L"vtsound.ini", before);
    PutJournal({{"old.wav", "2"},
                {"new.wav", "1"},
                {"OLD.WAV", "3"},
                {"bare.wav", "4"},
                {kHan, " blank "},
                {"new.wav", "5"}});
    EXPECT_TRUE(FoldJournal(L"sound", manifest));
    EXPECT_EQ(Manifest(),
              "; made by hand\r\n[sound]\r\n  old.wav = 3  \r\nbare.wav=4\r\n"
              "KEEP.wav=\"q\"\r\nnew.wav=5\r\n" +
                  kHan +
                  "=\" blank \"\r\n"
                  "\r\n[other]\r\nold.wav=x\r\n[sound]\r\nshadowed=1\r\n");
    EXPECT_FALSE(dir.Has(L"vtsound.ini.journal"));
    EXPECT_EQ(ReadProfileBytes(L"sound", FromCp949(kHan), manifest), " blank ");
    EXPECT_FALSE(FoldJournal(L"sound", manifest)) << "nothing left to fold";
}

TEST_F(JournalTest, AManifestThatIsNotThereYetIsMadeByTheFold) {
    PutJournal({{"a.wav", "1"}});
    dir.Write(L"vtsound.ini.journal",
              dir.Read(L"vtsound.ini.journal") + "v 0000");  // and a torn one
    EXPECT_TRUE(FoldJournal(L"sound", manifest));
    EXPECT_EQ(Manifest(), "[sound]\r\na.wav=1\r\n");
}

// A kill between the rewrite of the manifest and the deletion of the journal leaves both: the
// next fold writes the same records again and ends in the same bytes.
TEST_F(JournalTest, FoldingTwiceEndsAsFoldingOnce) {
    dir.Write(L"vtsound.ini", "[sound]\r\na.wav=0\r\nz.wav=9\r\n");
    const std::vector<JournalRecord> records = {{"a.wav", "1"}, {"b.wav", "2"}, {"a.wav", "3"}};
    PutJournal(records);
    ASSERT_TRUE(FoldJournal(L"sound", manifest));
    const std::string once = Manifest();
    PutJournal(records);
    ASSERT_TRUE(FoldJournal(L"sound", manifest));
    EXPECT_EQ(Manifest(), once);
    EXPECT_EQ(once, "[sound]\r\na.wav=3\r\nz.wav=9\r\nb.wav=2\r\n");
}

TEST_F(JournalTest, AManifestThatCannotBeWrittenKeepsTheJournal) {
    fs::CreateDir(manifest);  // a folder where the manifest should be
    PutJournal({{"a.wav", "1"}});
    EXPECT_THROW(FoldJournal(L"sound", manifest), AppError);
    EXPECT_TRUE(dir.Has(L"vtsound.ini.journal"));
}

// A record whose key the manifest cannot keep (with '=', read as a header or a comment,
// blanks around it) is dropped and logged; the others
// are folded and the journal goes, so no run stops at the fold again.
TEST_F(JournalTest, RecordsThatCannotBeWrittenAreDroppedAndTheRestFolded) {
    const std::vector<JournalRecord> bad = {
        {"x=y", "1"}, {"[sound]", "1"}, {";c", "1"}, {" a.wav", "1"}, {"b.wav\t", "1"}};
    for (const JournalRecord& record : bad) {
        SCOPED_TRACE(record.key);
        test::RecordingLog log;
        dir.Write(L"vtsound.ini", "[sound]\r\nold.wav=1\r\n");
        profile::ClearCache();
        PutJournal({{"a.wav", "2"}, record, {"c.wav", "3"}});
        EXPECT_TRUE(FoldJournal(L"sound", manifest));
        EXPECT_EQ(Manifest(), "[sound]\r\nold.wav=1\r\na.wav=2\r\nc.wav=3\r\n");
        EXPECT_FALSE(dir.Has(L"vtsound.ini.journal"));
        EXPECT_EQ(log.With(L"dropped a record that cannot be written").size(), 1u);
    }
}

TEST_F(JournalTest, RecordsCountAtOnceButReachTheManifestOnlyWithTheFold) {
    dir.Write(L"vtsound.ini", "[sound]\r\na.wav=1\r\nb.wav=1\r\n");
    RecordJournal run(L"sound", manifest);
    EXPECT_EQ(run.Recorded(L"a.wav"), "1");
    run.Record(L"a.wav", "2");
    run.Record(L"c.wav", "\"3\"");
    EXPECT_EQ(run.Recorded(L"A.WAV"), "2") << "looked up as the engine looks keys up";
    EXPECT_EQ(run.Recorded(L"c.wav"), "\"3\"");
    EXPECT_EQ(run.Recorded(L"b.wav"), "1");
    EXPECT_EQ(Manifest(), "[sound]\r\na.wav=1\r\nb.wav=1\r\n") << "one append per record only";
    EXPECT_EQ(DecodeJournal(dir.Read(L"vtsound.ini.journal")),
              (std::vector<JournalRecord>{{"a.wav", "2"}, {"c.wav", "\"3\""}}));
    EXPECT_EQ(RecordedVersions(L"sound", manifest).Get(L"c.wav"), "\"3\"")
        << "a reader beside the run sees the journal too";

    run.Fold();
    EXPECT_FALSE(dir.Has(L"vtsound.ini.journal"));
    EXPECT_EQ(ReadProfileBytes(L"sound", L"a.wav", manifest), "2");
    EXPECT_EQ(ReadProfileBytes(L"sound", L"c.wav", manifest), "\"3\"");
    EXPECT_EQ(run.Recorded(L"c.wav"), "\"3\"");
}

// A journal a killed run left, torn record and all, is folded before a new run appends, so no
// new record is ever glued to a torn one.
TEST_F(JournalTest, ARunStartsByFoldingWhatAKilledRunLeft) {
    dir.Write(L"vtsound.ini", "[sound]\r\na.wav=1\r\n");
    dir.Write(L"vtsound.ini.journal", Journal({{"a.wav", "2"}}) + "v 1234abcd 5:b.w");
    RecordJournal run(L"sound", manifest);
    EXPECT_FALSE(dir.Has(L"vtsound.ini.journal"));
    EXPECT_EQ(Manifest(), "[sound]\r\na.wav=2\r\n");
    run.Record(L"b.wav", "1");
    EXPECT_EQ(DecodeJournal(dir.Read(L"vtsound.ini.journal")),
              (std::vector<JournalRecord>{{"b.wav", "1"}}));
}

TEST(Journals, EverySetsLeftoverIsFoldedAtStartUp) {
    Installation install;
    install.WriteText(L"resource\\sound\\vtsound.ini", L"[sound]\r\na.wav=1\r\n");
    install.dir.Write(L"resource\\sound\\vtsound.ini.journal", Journal({{"a.wav", "2"}}));
    install.dir.Write(L"resource\\data\\graphics.ini.journal", Journal({{"g.bmp", "1"}}));
    install.dir.Write(L"resource\\data\\card4\\vtcard4.ini.journal", Journal({{"k", "7"}}));
    FoldLeftoverJournals();
    EXPECT_EQ(install.Value(L"resource\\sound\\vtsound.ini", L"sound", L"a.wav"), L"2");
    EXPECT_EQ(install.Value(L"resource\\data\\graphics.ini", L"graphics", L"g.bmp"), L"1");
    EXPECT_EQ(install.Value(L"resource\\data\\card4\\vtcard4.ini", L"card4", L"k"), L"7");
    for (const wchar_t* left :
         {L"resource\\sound\\vtsound.ini.journal", L"resource\\data\\graphics.ini.journal",
          L"resource\\data\\card4\\vtcard4.ini.journal"}) {
        EXPECT_FALSE(install.Has(left)) << ToUtf8(left);
    }
    EXPECT_FALSE(install.Has(L"resource\\data\\card1\\vtcard1.ini")) << "no journal, no write";
}

// A fresh install of a full set records its last file into a manifest of 32,766 entries.
TEST_F(JournalTest, AFullSetFoldsIntoAFullManifestInOneRewrite) {
    std::string before = "[sound]\r\n";
    std::string after = before;
    for (int i = 0; i < 30000; ++i) {
        before += "old" + std::to_string(i) + ".wav=1\r\n";
        after += "old" + std::to_string(i) + ".wav=" + (i % 1000 == 0 ? "2" : "1") + "\r\n";
    }
    dir.Write(L"vtsound.ini", before);
    std::vector<JournalRecord> records;
    for (int i = 0; i < 2766; ++i) {
        records.push_back({"new" + std::to_string(i) + ".wav", std::to_string(i % 10)});
        after += "new" + std::to_string(i) + ".wav=" + std::to_string(i % 10) + "\r\n";
    }
    for (int i = 0; i < 30000; i += 1000) {
        records.push_back({"old" + std::to_string(i) + ".wav", "2"});
    }
    PutJournal(records);
    ASSERT_TRUE(FoldJournal(L"sound", manifest));
    EXPECT_TRUE(Manifest() == after) << "sizes " << Manifest().size() << " " << after.size();
    profile::ClearCache();
    EXPECT_EQ(ReadProfileBytes(L"sound", L"new2765.wav", manifest), "5");
    EXPECT_EQ(ReadProfileBytes(L"sound", L"old29000.wav", manifest), "2");
}

}  // namespace
}  // namespace vt
