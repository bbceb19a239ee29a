#include "sets/SetSync.h"

#include <gtest/gtest.h>

#include "app/AppError.h"
#include "app/EndProgram.h"
#include "app/FileSystem.h"
#include "app/ModGame.h"
#include "app/Profile.h"
#include "tests/support/FakePatchServer.h"
#include "tests/support/Installation.h"

namespace vt {
namespace {

using test::FakePatchServer;
using test::Installation;
using test::Manifest;

class SetSyncTest : public ::testing::Test {
  protected:
    Installation install;
    FakePatchServer server;
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

    UpdateSoundSet(server);

    EXPECT_EQ(server.PayloadUrls(),
              (std::vector<std::wstring>{soundUrl + L"a.wav", soundUrl + L"c.wav"}));
    EXPECT_EQ(install.Read(L"resource\\sound\\a.wav"), "AAA");
    EXPECT_EQ(install.Read(L"resource\\sound\\c.wav"), "CCC");
    EXPECT_FALSE(install.Has(L"resource\\sound\\b.wav")) << "a current file is not fetched";
    EXPECT_EQ(Installed(L"a.wav"), L"2");
    EXPECT_EQ(Installed(L"c.wav"), L"7");
    EXPECT_EQ(server.doEvents, 2) << "one message pass after each fetched file";
    ASSERT_FALSE(server.states.empty());
    EXPECT_EQ(server.states.front(), L"버전체크중...");
    EXPECT_EQ(server.calls.front().url, soundUrl + L"vtsound.ini");
    EXPECT_EQ(server.calls.front().directory, TempDir);
}

TEST_F(SetSyncTest, CountsThatSelectNoEntryTouchNothing) {
    for (const wchar_t* count : {L"0", L"-5", L"-32768", L"many", L""}) {
        server.calls.clear();
        PublishSound(Manifest(L"sound", count, {L"a.wav:1"}));
        UpdateSoundSet(server);
        EXPECT_EQ(server.PayloadUrls().size(), 0u) << "count " << ToUtf8(count);
        EXPECT_FALSE(install.Has(L"resource\\sound\\vtsound.ini"));
    }
    PublishSound(ToCp949(L"[sound]\r\n1=a.wav:1\r\n"));  // no count key at all
    UpdateSoundSet(server);
    EXPECT_EQ(server.PayloadUrls().size(), 0u);
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
    PublishSound(Manifest(L"sound", L"3", {L"x.wav:1:2", L"y.wav : b ", L"empty.wav:"}));
    PutSound(L"x.wav", "x");
    PutSound(L"y.wav%20", "y");
    UpdateSoundSet(server);
    EXPECT_EQ(Installed(L"x.wav"), L"1:2");
    // Blanks beside the colon belong to name and version; the stored value loses the trailing
    // blank only because profile values are trimmed on reading.
    EXPECT_EQ(server.PayloadUrls(),
              (std::vector<std::wstring>{soundUrl + L"x.wav", soundUrl + L"y.wav%20"}));
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

TEST_F(SetSyncTest, VersionsDifferingOnlyInCaseDiffer) {
    install.WriteText(L"resource\\sound\\vtsound.ini", L"[SOUND]\r\nA.WAV=v1\r\n");
    PublishSound(Manifest(L"sound", L"1", {L"a.wav:V1"}));
    PutSound(L"a.wav", "A");
    UpdateSoundSet(server);
    EXPECT_EQ(server.PayloadUrls().size(), 1u) << "names match without case, versions with it";
    EXPECT_EQ(Installed(L"a.wav"), L"V1");
}

TEST_F(SetSyncTest, AGapEndsTheRunAfterTheEntriesBeforeIt) {
    install.WriteText(L"temp\\x", L"");
    PublishSound(ToCp949(L"[sound]\r\ncount=3\r\n1=a.wav:1\r\n3=c.wav:1\r\n"));
    PutSound(L"a.wav", "A");
    PutSound(L"c.wav", "C");
    EXPECT_EQ(RunExpectingError(), ErrorNumber::InvalidArgument);
    EXPECT_EQ(Installed(L"a.wav"), L"1");
    EXPECT_EQ(Installed(L"c.wav"), L"");
}

TEST_F(SetSyncTest, UnsafeNamesAreRefusedWithoutFetchingOrWriting) {
    for (const wchar_t* bad : {L"..\\..\\evil.dll", L"../x.wav", L"\\\\host\\s\\x", L"/etc/x",
                               L"CON", L"nul.txt", L"sub\\COM1.wav", L"a\x01.wav", L"a\\..\\..\\b",
                               L"vtsound.ini", L"a=b.wav", L"[x].wav"}) {
        install.WriteText(L"resource\\sound\\vtsound.ini", L"[sound]\r\nok.wav=1\r\n");
        profile::ClearCache();
        server.calls.clear();
        PublishSound(Manifest(L"sound", L"3", {L"ok.wav:1", std::wstring(bad) + L":1", L"z:1"}));
        SCOPED_TRACE(ToUtf8(bad));
        EXPECT_EQ(RunExpectingError(), ErrorNumber::BadFileName) << ToUtf8(bad);
        EXPECT_TRUE(server.PayloadUrls().empty()) << ToUtf8(bad);
        EXPECT_EQ(Installed(L"ok.wav"), L"1");
        EXPECT_EQ(Installed(bad), L"");
    }
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
    EXPECT_EQ(Installed(L"a"), L"1");
    EXPECT_EQ(Installed(L"b"), L"") << "the file being fetched keeps its old version";

    server.endAtPayload.reset();
    server.calls.clear();
    UpdateSoundSet(server);
    EXPECT_EQ(server.PayloadUrls(), (std::vector<std::wstring>{soundUrl + L"b", soundUrl + L"c"}));
    EXPECT_EQ(install.Read(L"resource\\sound\\b"), "B");
}

TEST(CardSets, UseTheirOwnManifestDirectoryAndDatSuffix) {
    Installation install;
    FakePatchServer server;
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

TEST(CardSets, AMissingSetDirectoryIsCreatedBeforeItsFirstFile) {
    Installation install;
    FakePatchServer server;
    const std::wstring url5 = PatchBaseUrl + L"resource/data/card5/";
    server.Put(url5 + L"vtcard5.ini", Manifest(L"card5", L"1", {L"joker:1"}));
    server.Put(url5 + L"joker.dat", "J");
    UpdateCardSet(server, 5);
    EXPECT_EQ(install.Read(L"resource\\data\\card5\\joker.dat"), "J");
    EXPECT_EQ(install.Value(L"resource\\data\\card5\\vtcard5.ini", L"card5", L"joker"), L"1");
}

TEST(GraphicsSet, LivesDirectlyInTheDataDirectory) {
    Installation install;
    FakePatchServer server;
    const std::wstring url = PatchBaseUrl + L"resource/data/";
    server.Put(url + L"graphics.ini", Manifest(L"graphics", L"1", {L"table.bmp:4"}));
    server.Put(url + L"table.bmp", "BMP");
    UpdateGraphicsSet(server);
    EXPECT_EQ(install.Read(L"resource\\data\\table.bmp"), "BMP");
    EXPECT_EQ(install.Value(L"resource\\data\\graphics.ini", L"graphics", L"table.bmp"), L"4");
}

}  // namespace
}  // namespace vt
