#include "sets/SetSync.h"

#include <gtest/gtest.h>

#include <utility>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "sets/EntryName.h"
#include "sets/RecordJournal.h"
#include "tests/support/FakePatchServer.h"
#include "tests/support/Installation.h"
#include "tests/support/PatchRun.h"

namespace vt {
namespace {

using test::FakePatchServer;
using test::Installation;
using test::Manifest;

class SetSyncTest : public test::PatchRunTest {
  protected:
    std::wstring soundUrl = PatchBaseUrl + L"resource/sound/";

    void PublishSound(const std::string& manifest) {
        server.Put(soundUrl + L"vtsound.ini", manifest);
    }
    void PutSound(const std::wstring& name, const std::string& bytes) {
        server.Put(soundUrl + name, bytes);
    }
    std::wstring Installed(const std::wstring& name) {
        return install.Value(L"resource\\sound\\vtsound.ini", L"sound", name);
    }
    // What the manifest and a journal beside it record together, as the next run counts it.
    std::wstring Recorded(const std::wstring& name) {
        return FromCp949(
            RecordedVersions(L"sound", AppDir + L"resource\\sound\\vtsound.ini").Get(name));
    }
    bool HasJournal() { return install.Has(L"resource\\sound\\vtsound.ini.journal"); }
    ErrorNumber RunExpectingError() {
        try {
            UpdateSoundSet(server);
        } catch (const AppError& e) {
            return e.Code();
        } catch (const ProgramEnded&) {
            ADD_FAILURE() << "the program ended instead of reporting an error";
            return ErrorNumber::InternalError;
        }
        ADD_FAILURE() << "no error";
        return ErrorNumber::InternalError;
    }
};

TEST_F(SetSyncTest, FetchesOutdatedFilesAndRecordsEachOne) {
    PublishSound(Manifest(L"sound", L"3", {L"a.wav:2", L"b.wav:1", L"c.wav:7"}));
    PutSound(L"a.wav", "AAA");
    PutSound(L"b.wav", "BBB");
    PutSound(L"c.wav", "CCC");
    install.WriteText(L"resource\\sound\\vtsound.ini", L"[sound]\r\nb.wav=1\r\na.wav=1\r\n");
    install.dir.Write(L"resource\\sound\\b.wav", "old B");

    UpdateSoundSet(server);

    EXPECT_EQ(server.PayloadUrls(),
              (std::vector<std::wstring>{soundUrl + L"a.wav", soundUrl + L"c.wav"}));
    EXPECT_EQ(install.Read(L"resource\\sound\\a.wav"), "AAA");
    EXPECT_EQ(install.Read(L"resource\\sound\\c.wav"), "CCC");
    EXPECT_EQ(install.Read(L"resource\\sound\\b.wav"), "old B") << "a current file is not fetched";
    EXPECT_EQ(Installed(L"a.wav"), L"2");
    EXPECT_EQ(Installed(L"c.wav"), L"7");
    EXPECT_FALSE(HasJournal()) << "folded at the end of the set";
    EXPECT_EQ(server.doEvents, 2) << "one message pass after each fetched file";
    ASSERT_FALSE(server.states.empty());
    EXPECT_EQ(server.states.front(), L"버전체크중...");
    EXPECT_EQ(server.calls.front().url, soundUrl + L"vtsound.ini");
    EXPECT_EQ(server.calls.front().directory, TempDir);
}

TEST_F(SetSyncTest, CountsThatSelectNoEntryTouchNothing) {
    for (const wchar_t* count : {L"0", L"-5", L"-32768", L"0.4", L"\"0\""}) {
        server.calls.clear();
        PublishSound(Manifest(L"sound", count, {L"a.wav:1"}));
        UpdateSoundSet(server);
        EXPECT_EQ(server.PayloadUrls().size(), 0u) << "count " << ToUtf8(count);
        EXPECT_FALSE(install.Has(L"resource\\sound\\vtsound.ini"));
    }
}

// A "200" whose body is no manifest (a proxy's error page, a wrong file) ends the run like a
// failed download; counted as an empty set it would let the caller record the set as current.
TEST_F(SetSyncTest, AnAnswerThatIsNoManifestFailsLikeADownload) {
    const std::string bodies[] = {
        "<html><head><title>502 Bad Gateway</title></head><body>[sound]</body></html>\r\n",
        "",
        "[sound]\r\n1=a.wav:1\r\n",
        "[sound]\r\ncount=many\r\n1=a.wav:1\r\n",
        "[sound]\r\ncount=\r\n",
        "[sound]\r\ncount=1 1\r\n1=a.wav:1\r\n",
        "count=1\r\n[sound]\r\n1=a.wav:1\r\n",
        "[graphics]\r\ncount=1\r\n1=a.wav:1\r\n",
    };
    PutSound(L"a.wav", "A");
    const std::string localBefore = "[sound]\r\nb.wav=1\r\n";
    for (const std::string& body : bodies) {
        SCOPED_TRACE(body);
        install.dir.Write(L"resource\\sound\\vtsound.ini", localBefore);
        profile::ClearCache();
        server.calls.clear();
        server.messages.clear();
        PublishSound(body);
        EXPECT_THROW(UpdateSoundSet(server), ProgramEnded);
        EXPECT_EQ(server.messages,
                  std::vector<std::wstring>{L"업그레이드 실패|다시 접속하여 주십시오|0"});
        EXPECT_TRUE(server.PayloadUrls().empty());
        EXPECT_EQ(install.Read(L"resource\\sound\\vtsound.ini"), localBefore);
    }
}

TEST_F(SetSyncTest, FractionalCountsRoundHalfToEven) {
    PutSound(L"a", "1");
    PutSound(L"b", "2");
    PutSound(L"c", "3");
    PutSound(L"d", "4");
    PublishSound(Manifest(L"sound", L"2.5", {L"a:1", L"b:1", L"c:1", L"d:1"}));
    UpdateSoundSet(server);
    EXPECT_EQ(server.PayloadUrls().size(), 2u);
    server.calls.clear();
    PublishSound(Manifest(L"sound", L"3.5", {L"a:2", L"b:2", L"c:2", L"d:2"}));
    UpdateSoundSet(server);
    EXPECT_EQ(server.PayloadUrls().size(), 4u);
}

TEST_F(SetSyncTest, CountsBeyondSixteenBitsOverflow) {
    PublishSound(Manifest(L"sound", L"32768", {}));
    EXPECT_EQ(RunExpectingError(), ErrorNumber::Overflow);
}

TEST_F(SetSyncTest, SplitsAtTheFirstColonAndKeepsBlanks) {
    PublishSound(Manifest(L"sound", L"3", {L"x.wav:1:2", L"y .wav: b ", L"empty.wav:"}));
    PutSound(L"x.wav", "x");
    PutSound(L"y%20.wav", "y");
    UpdateSoundSet(server);
    EXPECT_EQ(Installed(L"x.wav"), L"1:2");
    // Blanks inside the name and beside the colon are kept (a name ending in a blank is
    // refused: the manifest could not keep it as a key of its own); the version loses its
    // trailing blank only because the profile read trims the manifest's line.
    EXPECT_EQ(Installed(L"y .wav"), L" b");
    EXPECT_EQ(server.PayloadUrls(),
              (std::vector<std::wstring>{soundUrl + L"x.wav", soundUrl + L"y%20.wav"}));
    EXPECT_EQ(install.Read(L"resource\\sound\\vtsound.ini").find("empty.wav"), std::string::npos)
        << "an empty version equals the empty default and is never fetched";
}

TEST_F(SetSyncTest, LaterEntriesSeeWhatEarlierOnesWrote) {
    PublishSound(Manifest(L"sound", L"3", {L"a.wav:1", L"a.wav:2", L"a.wav:2"}));
    PutSound(L"a.wav", "A");
    UpdateSoundSet(server);
    EXPECT_EQ(server.PayloadUrls().size(), 2u) << "the third entry finds version 2 recorded";
    EXPECT_EQ(Installed(L"a.wav"), L"2");
}

// Two names of one file (a publisher's mistake vtpatch lint reports) are each fetched and
// recorded; the file holds the body of the later one.
TEST_F(SetSyncTest, TwoNamesOfOneFileLeaveTheLaterBody) {
    PublishSound(Manifest(L"sound", L"2", {L"ui/a.wav:1", L"ui\\a.wav:2"}));
    PutSound(L"ui/a.wav", "A");
    PutSound(L"ui%5Ca.wav", "B");
    UpdateSoundSet(server);
    EXPECT_EQ(install.Read(L"resource\\sound\\ui\\a.wav"), "B");
    EXPECT_EQ(Installed(L"ui/a.wav"), L"1");
    EXPECT_EQ(Installed(L"ui\\a.wav"), L"2");
}

TEST_F(SetSyncTest, VersionsDifferingOnlyInCaseDiffer) {
    install.WriteText(L"resource\\sound\\vtsound.ini", L"[SOUND]\r\nA.WAV=v1\r\n");
    PublishSound(Manifest(L"sound", L"1", {L"a.wav:V1"}));
    PutSound(L"a.wav", "A");
    UpdateSoundSet(server);
    EXPECT_EQ(server.PayloadUrls().size(), 1u) << "names match without case, versions with it";
    EXPECT_EQ(Installed(L"a.wav"), L"V1");
}

// Versions the profile rules would change on reading (blanks, enclosing quotes) are recorded
// so that they read back as the server sent them: the second run fetches nothing. Plain
// versions, as older launchers recorded them, are left as they are.
TEST_F(SetSyncTest, VersionsReadBackAsTheServerSentThem) {
    PublishSound(Manifest(L"sound", L"6",
                          {L"a.wav: v1", L"\"b.wav:v1 \"", L"c.wav:\"v1\"", L"d.wav:'v1'",
                           L"e.wav:1.0", L"f.wav:2"}));
    for (const wchar_t* name : {L"a.wav", L"b.wav", L"c.wav", L"d.wav", L"e.wav", L"f.wav"}) {
        PutSound(name, "x");
    }
    install.WriteText(L"resource\\sound\\vtsound.ini", L"[sound]\r\ne.wav=1.0\r\n");
    install.dir.Write(L"resource\\sound\\e.wav", "x");
    UpdateSoundSet(server);
    EXPECT_EQ(
        server.PayloadUrls(),
        (std::vector<std::wstring>{soundUrl + L"a.wav", soundUrl + L"b.wav", soundUrl + L"c.wav",
                                   soundUrl + L"d.wav", soundUrl + L"f.wav"}));
    EXPECT_EQ(install.Read(L"resource\\sound\\vtsound.ini"),
              "[sound]\r\ne.wav=1.0\r\na.wav=\" v1\"\r\nb.wav=\"v1 \"\r\nc.wav=\"\"v1\"\"\r\n"
              "d.wav=\"'v1'\"\r\nf.wav=2\r\n");

    server.calls.clear();
    profile::ClearCache();
    UpdateSoundSet(server);
    EXPECT_TRUE(server.PayloadUrls().empty());
}

// Versions are the server's bytes: two that decode to the same text ('?' or a replacement
// character for bytes that are no code page 949) are still two versions.
TEST_F(SetSyncTest, VersionsCompareAsTheServersBytes) {
    const std::pair<std::string, std::string> pairs[] = {{"v\x81", "v\x82"}, {"\x81 x", "\x82 x"}};
    for (const auto& [installed, published] : pairs) {
        ASSERT_EQ(FromCp949(installed), FromCp949(published));
        install.dir.Write(L"resource\\sound\\vtsound.ini",
                          "[sound]\r\na.wav=" + installed + "\r\n");
        profile::ClearCache();
        server.calls.clear();
        PublishSound("[sound]\r\ncount=1\r\n1=a.wav:" + published + "\r\n");
        PutSound(L"a.wav", "A");
        UpdateSoundSet(server);
        EXPECT_EQ(server.PayloadUrls(), std::vector<std::wstring>{soundUrl + L"a.wav"});
        EXPECT_EQ(install.Read(L"resource\\sound\\vtsound.ini"),
                  "[sound]\r\na.wav=" + published + "\r\n");

        server.calls.clear();
        UpdateSoundSet(server);
        EXPECT_TRUE(server.PayloadUrls().empty());
    }
}

// A version no profile line can hand back (a NUL, or a leading blank before a lone lead byte,
// which would take the closing quote) is refused before its file is fetched.
TEST_F(SetSyncTest, VersionsThatCannotBeRecordedAreRefusedBeforeFetching) {
    const std::string versions[] = {std::string("v\0x", 3), " \x81"};
    for (const std::string& version : versions) {
        install.dir.Write(L"resource\\sound\\vtsound.ini", "[sound]\r\nok.wav=1\r\n");
        fs::DeleteFile(AppDir + L"resource\\sound\\vtsound.ini.journal");
        profile::ClearCache();
        server.calls.clear();
        PublishSound("[sound]\r\ncount=2\r\n1=ok.wav:2\r\n2=a.wav:" + version + "\r\n");
        PutSound(L"ok.wav", "OK");
        PutSound(L"a.wav", "A");
        EXPECT_EQ(RunExpectingError(), ErrorNumber::InvalidArgument);
        EXPECT_EQ(server.PayloadUrls(), std::vector<std::wstring>{soundUrl + L"ok.wav"});
        EXPECT_EQ(Recorded(L"ok.wav"), L"2");
        EXPECT_EQ(Recorded(L"a.wav"), L"");
    }
}

TEST_F(SetSyncTest, AGapEndsTheRunAfterTheEntriesBeforeIt) {
    install.WriteText(L"temp\\x", L"");
    PublishSound(ToCp949(L"[sound]\r\ncount=3\r\n1=a.wav:1\r\n3=c.wav:1\r\n"));
    PutSound(L"a.wav", "A");
    PutSound(L"c.wav", "C");
    EXPECT_EQ(RunExpectingError(), ErrorNumber::InvalidArgument);
    EXPECT_EQ(Recorded(L"a.wav"), L"1");
    EXPECT_EQ(Recorded(L"c.wav"), L"");
}

TEST_F(SetSyncTest, UnsafeNamesAreRefusedWithoutFetchingOrWriting) {
    auto refused = [this](const std::wstring& bad) {
        install.WriteText(L"resource\\sound\\vtsound.ini", L"[sound]\r\nok.wav=1\r\n");
        profile::ClearCache();
        server.calls.clear();
        PublishSound(Manifest(L"sound", L"3", {L"ok.wav:1", bad + L":1", L"z:1"}));
        SCOPED_TRACE(ToUtf8(bad));
        EXPECT_EQ(RunExpectingError(), ErrorNumber::BadFileName) << ToUtf8(bad);
        EXPECT_TRUE(server.PayloadUrls().empty()) << ToUtf8(bad);
        EXPECT_EQ(Installed(L"ok.wav"), L"1");
        EXPECT_EQ(Installed(bad), L"");
    };
    for (const wchar_t* bad : {L"..\\..\\evil.dll", L"../x.wav", L"\\\\host\\s\\x", L"/etc/x",
                               L"CON", L"nul.txt", L"sub\\COM1.wav", L"a\x01.wav", L"a\\..\\..\\b",
                               L"vtsound.ini", L"a=b.wav", L"[x].wav"}) {
        refused(bad);
    }
    // What Windows resolves to the manifest or its temporary files, superscript ports, and a
    // name the manifest would record under another's key.
    for (const wchar_t* bad : {L"vtsound.ini.", L"VTSOUND.INI . ", L"VTSOUN~1.INI",
                               L"vtsound.ini.1.2.tmp", L"COM¹.wav", L"lpt³", L"a.wav "}) {
        refused(bad);
    }
}

// The whole manifest is checked before its first file is fetched: a name Windows resolves to
// the launcher's own state stops the set with nothing fetched and nothing recorded, even when
// files before it are out of date.
TEST_F(SetSyncTest, ANameReachingTheLaunchersStateRefusesTheWholeSet) {
    const std::string localBefore = "[sound]\r\nok.wav=1\r\n";
    for (const wchar_t* bad : {L"vtsound.ini.", L"VtSound.Ini", L"vtsound.ini.9.9.tmp"}) {
        SCOPED_TRACE(ToUtf8(bad));
        install.dir.Write(L"resource\\sound\\vtsound.ini", localBefore);
        profile::ClearCache();
        server.calls.clear();
        PublishSound(
            Manifest(L"sound", L"3", {L"ok.wav:2", L"new.wav:1", std::wstring(bad) + L":1"}));
        PutSound(L"ok.wav", "OK");
        PutSound(L"new.wav", "NEW");
        PutSound(EncodeForUrl(bad), "[sound]\r\n");
        EXPECT_EQ(RunExpectingError(), ErrorNumber::BadFileName);
        EXPECT_TRUE(server.PayloadUrls().empty());
        EXPECT_EQ(install.Read(L"resource\\sound\\vtsound.ini"), localBefore);
        EXPECT_FALSE(install.Has(L"resource\\sound\\new.wav"));
    }
}

class GraphicsNamesTest : public test::PatchRunTest {
  protected:
    std::wstring url = PatchBaseUrl + L"resource/data/";
    const std::string graphicsBefore = "[graphics]\r\ntable.bmp=1\r\n";
    const std::string card1Before = "[card1]\r\nace=1\r\n";

    void SetUp() override {
        install.dir.Write(L"resource\\data\\graphics.ini", graphicsBefore);
        install.dir.Write(L"resource\\data\\card1\\vtcard1.ini", card1Before);
        server.Put(url + L"table.bmp", "BMP");
    }
    // Publishes "table.bmp" (out of date) followed by `bad` and runs the graphics set.
    ErrorNumber Run(const std::wstring& bad) {
        server.Put(url + L"graphics.ini",
                   Manifest(L"graphics", L"2", {L"table.bmp:2", bad + L":1"}));
        server.Put(url + EncodeForUrl(bad), "[card1]\r\n");
        try {
            UpdateGraphicsSet(server);
        } catch (const AppError& e) {
            EXPECT_NE(e.Description().find(bad), std::wstring::npos) << ToUtf8(e.Description());
            return e.Code();
        }
        return ErrorNumber::InternalError;
    }
};

// Graphics entries reach resource\data\, where the card sets keep their folders and manifests.
TEST_F(GraphicsNamesTest, EntriesReachingACardSetAreRefusedBeforeAnyFetch) {
    for (const wchar_t* bad :
         {L"card1\\vtcard1.ini", L"CARD1 \\VTCARD1.INI.", L"card1/vtcard1.ini.",
          L"card1\\VTCARD~1.INI", L"card5", L"Card5.", L"card1\\foo.bmp", L"graphics.ini.",
          L"graphics.ini.3.4.tmp", L"card2/vtcard2.ini.1.1.tmp"}) {
        SCOPED_TRACE(ToUtf8(bad));
        EXPECT_EQ(Run(bad), ErrorNumber::BadFileName);
        EXPECT_TRUE(server.PayloadUrls().empty());
        EXPECT_EQ(install.Read(L"resource\\data\\graphics.ini"), graphicsBefore);
        EXPECT_EQ(install.Read(L"resource\\data\\card1\\vtcard1.ini"), card1Before);
        EXPECT_FALSE(install.Has(L"resource\\data\\table.bmp"));
        // The card5 set's folder stays as the installation has it: a folder, empty.
        EXPECT_TRUE(fs::IsDirectory(AppDir + L"resource\\data\\card5"));
        EXPECT_TRUE(install.dir.Names(L"resource\\data\\card5").empty());
        server.calls.clear();
    }
}

// A manifest line keeps leading blanks only inside quotes; such a name would be fetched and
// then fail to be recorded (a key " [x]" reads as a header) on every run.
TEST_F(SetSyncTest, NamesWithLeadingBlanksAreRefusedBeforeFetching) {
    for (const char* entry : {"\" [x].wav:1\"", "\" a.wav:1\"", "\"\tb.wav:1\""}) {
        SCOPED_TRACE(entry);
        server.calls.clear();
        PublishSound(std::string("[sound]\r\ncount=2\r\n1=ok.wav:1\r\n2=") + entry + "\r\n");
        PutSound(L"ok.wav", "OK");
        PutSound(L"%20%5Bx%5D.wav", "X");
        PutSound(L"%20a.wav", "A");
        EXPECT_EQ(RunExpectingError(), ErrorNumber::BadFileName);
        EXPECT_TRUE(server.PayloadUrls().empty());
        EXPECT_FALSE(install.Has(L"resource\\sound\\vtsound.ini"));
    }
}

// A gap still ends the run where it is, after the entries before it; the names after it are
// checked up front all the same.
TEST_F(SetSyncTest, TheNamesAfterAGapAreCheckedBeforeTheFirstFetch) {
    PublishSound(ToCp949(L"[sound]\r\ncount=3\r\n1=a.wav:1\r\n3=vtsound.ini.:1\r\n"));
    PutSound(L"a.wav", "A");
    EXPECT_EQ(RunExpectingError(), ErrorNumber::BadFileName);
    EXPECT_TRUE(server.PayloadUrls().empty());
}

TEST_F(SetSyncTest, SubfoldersInsideTheSetAreAllowed) {
    PublishSound(Manifest(L"sound", L"2", {L"voice\\hello.wav:1", L"music/a/b.ogg:2"}));
    PutSound(L"voice%5Chello.wav", "H");
    PutSound(L"music/a/b.ogg", "B");
    UpdateSoundSet(server);
    EXPECT_EQ(install.Read(L"resource\\sound\\voice\\hello.wav"), "H");
    EXPECT_EQ(install.Read(L"resource\\sound\\music\\a\\b.ogg"), "B");
    EXPECT_EQ(Installed(L"music/a/b.ogg"), L"2");
}

TEST_F(SetSyncTest, KoreanNamesArePercentEncodedOnTheWireAndUnicodeOnDisk) {
    PublishSound(Manifest(L"sound", L"1", {L"효과 음.wav:1"}));
    PutSound(L"%C8%BF%B0%FA%20%C0%BD.wav", "K");
    UpdateSoundSet(server);
    EXPECT_EQ(install.Read(L"resource\\sound\\효과 음.wav"), "K");
    EXPECT_EQ(Installed(L"효과 음.wav"), L"1");
}

TEST_F(SetSyncTest, AnInterruptedSetResumesWithTheFilesNotYetRecorded) {
    PublishSound(Manifest(L"sound", L"3", {L"a:1", L"b:1", L"c:1"}));
    PutSound(L"a", "A");
    PutSound(L"b", "B");
    PutSound(L"c", "C");
    server.endAtPayload = 1;
    EXPECT_THROW(UpdateSoundSet(server), ProgramEnded);
    EXPECT_EQ(Recorded(L"a"), L"1");
    EXPECT_EQ(Recorded(L"b"), L"") << "the file being fetched keeps its old version";
    // Killed before the set's end: the record is in the journal; a launcher that reads the
    // manifest alone fetches that file again, and nothing else.
    EXPECT_TRUE(HasJournal());
    EXPECT_EQ(Installed(L"a"), L"");

    server.endAtPayload.reset();
    server.calls.clear();
    UpdateSoundSet(server);
    EXPECT_EQ(server.PayloadUrls(), (std::vector<std::wstring>{soundUrl + L"b", soundUrl + L"c"}));
    EXPECT_EQ(install.Read(L"resource\\sound\\b"), "B");
    EXPECT_FALSE(HasJournal());
    EXPECT_EQ(install.Read(L"resource\\sound\\vtsound.ini"), "[sound]\r\na=1\r\nb=1\r\nc=1\r\n");
}

class CardSets : public test::PatchRunTest {};
class GraphicsSet : public test::PatchRunTest {};

TEST_F(CardSets, UseTheirOwnManifestDirectoryAndDatSuffix) {
    const std::wstring url2 = PatchBaseUrl + L"resource/data/card2/";
    server.Put(url2 + L"vtcard2.ini", Manifest(L"card2", L"2", {L"ace:1", L"king.dat:3"}));
    server.Put(url2 + L"ace.dat", "ACE");
    server.Put(url2 + L"king.dat.dat", "KING");
    UpdateCardSet(server, 2);

    EXPECT_EQ(server.calls.front().fileName, L"vtcard2.ini");
    EXPECT_EQ(install.Read(L"resource\\data\\card2\\ace.dat"), "ACE");
    EXPECT_EQ(install.Read(L"resource\\data\\card2\\king.dat.dat"), "KING");
    EXPECT_EQ(install.Value(L"resource\\data\\card2\\vtcard2.ini", L"card2", L"ace"), L"1");
    EXPECT_EQ(install.Value(L"resource\\data\\card2\\vtcard2.ini", L"card2", L"king.dat"), L"3");
    EXPECT_FALSE(install.Has(L"resource\\data\\card1\\vtcard2.ini"));
    EXPECT_FALSE(install.Has(L"resource\\data\\vtcard2.ini"));
}

// The key of a card entry is its name without ".dat": "ace " would be recorded as "ace",
// another file's key, so the set is refused before anything is fetched.
TEST_F(CardSets, ANameEndingInABlankIsRefusedThoughItsFileNameIsFine) {
    const std::wstring url1 = PatchBaseUrl + L"resource/data/card1/";
    server.Put(url1 + L"vtcard1.ini", Manifest(L"card1", L"2", {L"ace:1", L"ace :2"}));
    server.Put(url1 + L"ace.dat", "ACE");
    server.Put(url1 + L"ace%20.dat", "OTHER ACE");
    try {
        UpdateCardSet(server, 1);
        ADD_FAILURE() << "no error";
    } catch (const AppError& e) {
        EXPECT_EQ(e.Code(), ErrorNumber::BadFileName);
    }
    EXPECT_TRUE(server.PayloadUrls().empty());
    EXPECT_FALSE(install.Has(L"resource\\data\\card1\\vtcard1.ini"));
}

TEST_F(CardSets, AMissingSetDirectoryIsCreatedBeforeItsFirstFile) {
    ASSERT_TRUE(fs::RemoveTree(AppDir + L"resource\\data\\card5"));
    const std::wstring url5 = PatchBaseUrl + L"resource/data/card5/";
    server.Put(url5 + L"vtcard5.ini", Manifest(L"card5", L"1", {L"joker:1"}));
    server.Put(url5 + L"joker.dat", "J");
    UpdateCardSet(server, 5);
    EXPECT_EQ(install.Read(L"resource\\data\\card5\\joker.dat"), "J");
    EXPECT_EQ(install.Value(L"resource\\data\\card5\\vtcard5.ini", L"card5", L"joker"), L"1");
}

TEST_F(GraphicsSet, LivesDirectlyInTheDataDirectory) {
    const std::wstring url = PatchBaseUrl + L"resource/data/";
    server.Put(url + L"graphics.ini", Manifest(L"graphics", L"1", {L"table.bmp:4"}));
    server.Put(url + L"table.bmp", "BMP");
    UpdateGraphicsSet(server);
    EXPECT_EQ(install.Read(L"resource\\data\\table.bmp"), "BMP");
    EXPECT_EQ(install.Value(L"resource\\data\\graphics.ini", L"graphics", L"table.bmp"), L"4");
}

}  // namespace
}  // namespace vt
