#include "patch/CheckVersions.h"

#include <gtest/gtest.h>

#include "base/AppError.h"
#include "base/EndProgram.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "tests/support/FakePatchServer.h"
#include "tests/support/Installation.h"
#include "tests/support/PatchRun.h"

namespace vt {
namespace {

using test::FakePatchServer;
using test::Installation;
using test::Manifest;

class CheckVersionsTest : public test::PatchRunTest {
  protected:
    void Profiles(const std::wstring& serverKeys, const std::wstring& localKeys) {
        install.WriteText(L"temp\\vtgame.ini", L"[game]\r\n" + serverKeys);
        install.WriteText(L"vtgame.ini", L"[game]\r\n" + localKeys);
    }
    std::wstring Local(const std::wstring& key) {
        return install.Value(L"vtgame.ini", L"game", key);
    }
    // Publishes an empty manifest for every set so that any set update can run.
    void PublishEmptySets() {
        server.Put(PatchBaseUrl + L"resource/sound/vtsound.ini", Manifest(L"sound", L"0", {}));
        server.Put(PatchBaseUrl + L"resource/data/graphics.ini", Manifest(L"graphics", L"0", {}));
        for (int n = 1; n <= 5; ++n) {
            std::wstring s = std::to_wstring(n);
            server.Put(PatchBaseUrl + L"resource/data/card" + s + L"/vtcard" + s + L".ini",
                       Manifest(L"card" + s, L"0", {}));
        }
    }
    std::vector<std::wstring> ManifestsFetched() {
        std::vector<std::wstring> out;
        for (const auto& c : server.calls) {
            if (!c.progress) {
                out.push_back(c.fileName);
            }
        }
        return out;
    }
};

TEST_F(CheckVersionsTest, IdenticalProfilesFetchAndWriteNothing) {
    Profiles(L"game=1\r\nsound=3\r\ncard1=A\r\n", L"game=1\r\nsound=3\r\ncard1=A\r\n");
    std::string before = install.Read(L"vtgame.ini");
    CheckVersions(server);
    EXPECT_TRUE(server.calls.empty());
    EXPECT_EQ(install.Read(L"vtgame.ini"), before);
    EXPECT_EQ(server.states.front(), L"버전체크중...");
}

TEST_F(CheckVersionsTest, OnlyTheDifferingSetRunsAndIsRecorded) {
    PublishEmptySets();
    Profiles(L"game=1\r\nsound=4\r\ngraphics=2\r\n", L"game=1\r\nsound=3\r\ngraphics=2\r\n");
    CheckVersions(server);
    EXPECT_EQ(ManifestsFetched(), std::vector<std::wstring>{L"vtsound.ini"});
    EXPECT_EQ(Local(L"sound"), L"4");
    EXPECT_EQ(Local(L"graphics"), L"2");
}

TEST_F(CheckVersionsTest, UpdatesRunInTheFixedOrder) {
    PublishEmptySets();
    Profiles(L"game=1\r\ncard2=b\r\ngraphics=g\r\ncard5=e\r\nsound=s\r\n", L"game=1\r\n");
    CheckVersions(server);
    EXPECT_EQ(ManifestsFetched(), (std::vector<std::wstring>{L"vtsound.ini", L"graphics.ini",
                                                             L"vtcard2.ini", L"vtcard5.ini"}));
}

TEST_F(CheckVersionsTest, AnyDifferenceCountsOlderCaseOrAbsent) {
    PublishEmptySets();
    Profiles(L"game=1\r\nsound=1\r\ngraphics=abc\r\n",
             L"game=1\r\nsound=2\r\ngraphics=ABC\r\ncard3=x\r\n");
    CheckVersions(server);
    EXPECT_EQ(ManifestsFetched(),
              (std::vector<std::wstring>{L"vtsound.ini", L"graphics.ini", L"vtcard3.ini"}));
    EXPECT_EQ(Local(L"sound"), L"1") << "an older server value is recorded too";
    EXPECT_EQ(Local(L"graphics"), L"abc");
    EXPECT_EQ(Local(L"card3"), L"");
    server.calls.clear();
    CheckVersions(server);
    EXPECT_TRUE(server.calls.empty()) << "the second run finds both sides equal";
}

TEST_F(CheckVersionsTest, AnOutdatedLauncherIsRefusedBeforeAnythingElse) {
    PublishEmptySets();
    Profiles(L"game=2\r\nsound=9\r\n", L"game=1\r\n");
    EXPECT_THROW(CheckVersions(server), ProgramEnded);
    ASSERT_EQ(server.messages.size(), 1u);
    EXPECT_EQ(server.messages[0],
              L"업그레이드 실패|자동 패치 프로그램을 사용할 수 없습니다.\r\n"
              L"새로운 버전을 홈페이지에서 다운로드 받으신후 설치 해주십시오.|48");
    EXPECT_TRUE(server.calls.empty());
    EXPECT_EQ(Local(L"sound"), L"");
    EXPECT_TRUE(install.Has(L"temp\\vtgame.ini"));
}

TEST_F(CheckVersionsTest, TheClientIsReplacedInPlaceThenRecorded) {
    install.WriteText(L"vt.exe", L"old");
    server.Put(PatchBaseUrl + L"vt.exe", "new client");
    Profiles(L"game=1\r\nvtgame=2\r\n", L"game=1\r\nvtgame=1\r\n");
    CheckVersions(server);
    ASSERT_EQ(server.calls.size(), 1u);
    EXPECT_TRUE(server.calls[0].progress);
    EXPECT_EQ(server.calls[0].directory, AppDir);
    EXPECT_EQ(install.Read(L"vt.exe"), "new client");
    EXPECT_EQ(server.doEvents, 1);
    EXPECT_EQ(Local(L"vtgame"), L"2");
}

TEST_F(CheckVersionsTest, AKeyIsNotRecordedWhenItsUpdateDidNotFinish) {
    PublishEmptySets();
    server.Put(PatchBaseUrl + L"vt.exe", "client");
    Profiles(L"game=1\r\nvtgame=2\r\nsound=2\r\n", L"game=1\r\nvtgame=1\r\nsound=1\r\n");
    server.endAtPayload = 0;
    EXPECT_THROW(CheckVersions(server), ProgramEnded);
    EXPECT_EQ(Local(L"vtgame"), L"1");
    EXPECT_EQ(Local(L"sound"), L"1");
    EXPECT_FALSE(install.Has(L"vt.exe"));
}

// Values the profile rules would change on reading are recorded so that they read back as
// the server's: the next start finds every key equal and fetches nothing.
TEST_F(CheckVersionsTest, RecordedValuesReadBackAsTheServersBytes) {
    PublishEmptySets();
    server.Put(PatchBaseUrl + L"vt.exe", "client");
    Profiles(
        L"game=1\r\nvtgame='\"2\"'\r\nsound=\" 4\"\r\ngraphics=\"g \"\r\ncard1=\"\"c1\"\"\r\n"
        L"card2=7\r\n",
        L"game=1\r\ncard2=7\r\n");
    CheckVersions(server);
    EXPECT_EQ(ManifestsFetched(),
              (std::vector<std::wstring>{L"vtsound.ini", L"graphics.ini", L"vtcard1.ini"}));
    EXPECT_EQ(install.Read(L"vtgame.ini"),
              "[game]\r\ngame=1\r\ncard2=7\r\nvtgame=\"\"2\"\"\r\nsound=\" 4\"\r\n"
              "graphics=\"g \"\r\ncard1=\"\"c1\"\"\r\n");

    server.calls.clear();
    CheckVersions(server);
    EXPECT_TRUE(server.calls.empty());
}

// Two values that decode to the same text are still different values.
TEST_F(CheckVersionsTest, ValuesCompareAsBytes) {
    PublishEmptySets();
    install.dir.Write(L"temp\\vtgame.ini", "[game]\r\ngame=1\r\nsound=v\x82\r\n");
    install.dir.Write(L"vtgame.ini", "[game]\r\ngame=1\r\nsound=v\x81\r\n");
    CheckVersions(server);
    EXPECT_EQ(ManifestsFetched(), std::vector<std::wstring>{L"vtsound.ini"});
    EXPECT_EQ(install.Read(L"vtgame.ini"), "[game]\r\ngame=1\r\nsound=v\x82\r\n");

    install.dir.Write(L"temp\\vtgame.ini", "[game]\r\ngame=1\x82\r\n");
    install.dir.Write(L"vtgame.ini", "[game]\r\ngame=1\x81\r\n");
    profile::ClearCache();
    server.calls.clear();
    EXPECT_THROW(CheckVersions(server), ProgramEnded);
    ASSERT_EQ(server.messages.size(), 1u);
    EXPECT_TRUE(
        server.messages[0].starts_with(L"업그레이드 실패|자동 패치 프로그램을 사용할 수 없습니다."))
        << "another launcher version";
    EXPECT_TRUE(server.calls.empty());
}

// A set manifest that is no manifest (a proxy's page answered with "200") stops the run with
// the download failure's message; the set's key keeps its old value.
TEST_F(CheckVersionsTest, ASetWhoseManifestIsNoManifestIsNotRecorded) {
    PublishEmptySets();
    server.Put(PatchBaseUrl + L"resource/data/graphics.ini",
               "<html><body><h1>503 Service Unavailable</h1></body></html>");
    Profiles(L"game=1\r\nsound=2\r\ngraphics=2\r\ncard1=2\r\n",
             L"game=1\r\nsound=1\r\ngraphics=1\r\ncard1=1\r\n");
    EXPECT_THROW(CheckVersions(server), ProgramEnded);
    EXPECT_EQ(server.messages,
              std::vector<std::wstring>{L"업그레이드 실패|다시 접속하여 주십시오|0"});
    EXPECT_EQ(Local(L"sound"), L"2");
    EXPECT_EQ(Local(L"graphics"), L"1");
    EXPECT_EQ(Local(L"card1"), L"1");
    EXPECT_EQ(ManifestsFetched(), (std::vector<std::wstring>{L"vtsound.ini", L"graphics.ini"}));
}

// A server value no profile line can hand back is refused before its update runs, which would
// otherwise be repeated on every start.
TEST_F(CheckVersionsTest, AValueThatCannotBeRecordedIsRefusedBeforeItsUpdate) {
    PublishEmptySets();
    install.dir.Write(L"temp\\vtgame.ini",
                      "[game]\r\ngame=1\r\nsound=v" + std::string(1, '\0') + "\r\n");
    install.dir.Write(L"vtgame.ini", "[game]\r\ngame=1\r\nsound=1\r\n");
    try {
        CheckVersions(server);
        ADD_FAILURE() << "no error";
    } catch (const AppError& e) {
        EXPECT_EQ(e.Code(), ErrorNumber::InvalidArgument);
    }
    EXPECT_TRUE(server.calls.empty());
    EXPECT_EQ(Local(L"sound"), L"1");
}

}  // namespace
}  // namespace vt
