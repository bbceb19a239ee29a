// The launcher's side of key lists: a staged profile with [keys] accepted or refused, what it
// keeps once the profile is kept, a rotated root trusted alone, and a revoked key's serial.
// Native only: the lists are signed at run time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Cp949.h"
#include "base/EndProgram.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "format/Digest.h"
#include "patch/CheckVersions.h"
#include "patch/Texts.h"
#include "tests/support/FakePatchServer.h"
#include "tests/support/Installation.h"
#include "tests/support/RecordingLog.h"
#include "tests/vtpatch/KeyListTesting.h"
#include "tests/vtpatch/VtpatchTesting.h"

namespace vt::vtpatch {
namespace {

using test::kNow;
constexpr int64_t kYear = 365 * 86400;

std::wstring Hex(const P256PublicKey& key) {
    return FromUtf8(LowerHex(key));
}

class KeyedProfile : public ::testing::Test {
  protected:
    vt::test::Installation install;
    vt::test::FakePatchServer server;
    vt::test::RecordingLog log;
    test::ServedLists lists;
    PrivateKey r0 = PrivateKey::Generate(), r1 = PrivateKey::Generate();
    PrivateKey p1 = PrivateKey::Generate(), p3 = PrivateKey::Generate();
    const P256PublicKey builtIn = r0.Public();
    int fetched = 0;

    void SetUp() override {
        server.keyed = true;
        install.WriteText(L"vtgame.ini", L"[game]\r\ngame=1\r\n");
    }
    Sha256Digest List(const PrivateKey& root, uint64_t serial, std::vector<const PrivateKey*> keys,
                      std::optional<Sha256Digest> chain = std::nullopt, int64_t expires = 0) {
        format::KeyList list = test::ListBody(root, serial, expires ? expires : kNow + kYear);
        list.minSerial = 100;
        list.chain = chain;
        for (const PrivateKey* key : keys) {
            list.keys.push_back({key->Public(), kNow + kYear});
        }
        return lists.Add(list, root);
    }
    // Stages in temp\ a profile at `serial` naming `list` and `signer`, signed by `by`.
    void Stage(uint64_t serial, std::optional<Sha256Digest> list, const PrivateKey& by,
               bool namesSigner = true) {
        std::string text =
            "[game]\r\ngame=1\r\n[publish]\r\nserial=" + std::to_string(serial) + "\r\n";
        if (list) {
            text += "[keys]\r\nlist=" + DigestHex(*list) + "\r\n";
            if (namesSigner) {
                text += "signer=" + LowerHex(by.Public()) + "\r\n";
            }
        }
        const Signature signature = by.Sign(text);
        install.dir.Write(L"temp\\vtgame.ini", text);
        install.dir.Write(L"temp\\vtgame.ini.sig", std::string(signature.begin(), signature.end()));
        profile::ClearCache();
    }
    AcceptedProfile Accept(const std::function<void()>& again = {}) {
        return AcceptSignedProfile(server, builtIn, kNow, again, [&](const Sha256Digest& hash) {
            ++fetched;
            return lists.Fetcher()(hash);
        });
    }
    std::wstring Value(const wchar_t* section, const wchar_t* key) {
        profile::ClearCache();
        return install.Value(L"vtgame.ini", section, key);
    }
    bool Kept(const Sha256Digest& hash) {
        return install.Read(L"keys\\" + FromUtf8(DigestHex(hash)) + L".signed") ==
               lists.served[hash];
    }
};

TEST_F(KeyedProfile, ADelegatedKeyIsAcceptedAndItsListKeptOnlyWithTheProfile) {
    const Sha256Digest list = List(r0, 5, {&p1});
    Stage(7, list, p1);
    const std::string before = install.Read(L"vtgame.ini");
    const AcceptedProfile accepted = Accept();
    EXPECT_EQ(accepted.root, builtIn);
    EXPECT_EQ(install.Read(L"vtgame.ini"), before) << "accepting alone keeps nothing";
    EXPECT_FALSE(install.Has(L"keys\\" + FromUtf8(DigestHex(list)) + L".signed"));
    KeepAccepted(accepted);
    EXPECT_EQ(Value(L"publish", L"serial"), L"7");
    EXPECT_EQ(Value(L"publish", L"signer"), Hex(p1.Public()));
    EXPECT_EQ(Value(L"keys", L"serial"), L"5");
    EXPECT_EQ(Value(L"keys", L"root"), L"") << "no rotation, no root kept";
    EXPECT_TRUE(Kept(list));
    // The next run reads the kept list and asks no source.
    fetched = 0;
    Stage(8, list, p1);
    KeepAccepted(Accept());
    EXPECT_EQ(fetched, 0);
    EXPECT_EQ(Value(L"publish", L"serial"), L"8");
}

TEST_F(KeyedProfile, RefusalsNameTheReasonAndKeepNothing) {
    const Sha256Digest good = List(r0, 5, {&p1});
    const Sha256Digest lapsed = List(r0, 6, {&p1}, std::nullopt, kNow);
    const Sha256Digest foreign = List(p3, 5, {&p1});
    const struct {
        const char* what;
        std::optional<Sha256Digest> list;
        const PrivateKey* signer;
        const wchar_t* text;  // the box's first words
        std::wstring line;
    } cases[] = {
        {"a key the list does not hold", good, &p3, L"패치에 서명한 키가 서명 키 목록에 없거나",
         L"refused: signer not in the key list " + Hex(p3.Public())},
        {"a list no source serves", Sha256OfText("x"), &p1, L"패치 서명 키 목록을 받을 수 없습니다",
         L"refused: key list missing " + FromUtf8(DigestHex(Sha256OfText("x")))},
        {"an expired list", lapsed, &p1, L"패치 서명 키 목록의 유효 기간이 지났습니다",
         L"refused: key list expired " + FromUtf8(DigestHex(lapsed))},
        {"a list of another root", foreign, &p1, L"패치 서명 키 목록을 확인할 수 없습니다",
         L"refused: key list " + FromUtf8(DigestHex(foreign)) + L" leads to no trusted root"},
        {"a publish key without a list", std::nullopt, &p1,
         L"패치 정보의 서명을 확인할 수 없습니다", L"refused: signature"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        server.messages.clear();
        log.lines.clear();
        Stage(7, c.list, *c.signer);
        const std::string before = install.Read(L"vtgame.ini");
        EXPECT_THROW(Accept(), ProgramEnded);
        ASSERT_EQ(server.messages.size(), 1u);
        EXPECT_TRUE(
            server.messages[0].starts_with(std::wstring(kUpgradeFailedTitle) + L"|" + c.text))
            << server.messages[0];
        EXPECT_EQ(log.With(c.line).size(), 1u) << log.With(L"refused:").size();
        EXPECT_EQ(install.Read(L"vtgame.ini"), before);
        EXPECT_FALSE(install.Has(L"keys"));
    }
}

// A list below the kept list serial is refused: an older publish's list replayed.
TEST_F(KeyedProfile, AListBelowTheKeptSerialIsRefused) {
    install.WriteText(L"vtgame.ini", L"[game]\r\ngame=1\r\n[keys]\r\nserial=6\r\n");
    Stage(7, List(r0, 5, {&p1}), p1);
    EXPECT_THROW(Accept(), ProgramEnded);
    EXPECT_EQ(log.With(L"refused: older key list").size(), 1u);
}

TEST_F(KeyedProfile, AfterARotationTheNewRootAloneIsTrusted) {
    const Sha256Digest rotation = lists.Rotation(r0, r1, std::nullopt, 1);
    const Sha256Digest list = List(r1, 2, {&p1}, rotation);
    Stage(7, list, p1);
    const AcceptedProfile accepted = Accept();
    EXPECT_EQ(accepted.root, r1.Public()) << "what checks the new root's statements";
    EXPECT_EQ(TrustedRoot(builtIn), builtIn) << "kept only with the profile";
    KeepAccepted(accepted);
    EXPECT_EQ(Value(L"keys", L"root"), Hex(r1.Public()));
    EXPECT_EQ(TrustedRoot(builtIn), r1.Public());
    EXPECT_TRUE(Kept(list));
    EXPECT_TRUE(Kept(rotation));
    // A profile the old root signs directly, as in the single-key setup, no longer verifies.
    Stage(8, std::nullopt, r0);
    EXPECT_THROW(Accept(), ProgramEnded);
    EXPECT_EQ(log.With(L"refused: signature").size(), 1u);
    // The new root signs directly.
    Stage(8, std::nullopt, r1);
    KeepAccepted(Accept());
    EXPECT_EQ(Value(L"publish", L"serial"), L"8");
    EXPECT_EQ(Value(L"publish", L"signer"), L"") << "a root signed it";
}

// A leaked key signed serial 2^40 and the installation kept it; the list that drops the key
// lowers it to min-serial (100), so the genuine publish 101 is taken.
TEST_F(KeyedProfile, ARevokedKeysSerialIsLoweredBeforeTheSerialIsJudged) {
    install.WriteText(L"vtgame.ini",
                      L"[game]\r\ngame=1\r\n[publish]\r\nserial=1099511627776\r\n"
                      L"sha256=00\r\nsigner=" +
                          Hex(p3.Public()) + L"\r\n");
    Stage(101, List(r0, 5, {&p1}), p1);
    KeepAccepted(Accept());
    EXPECT_EQ(log.With(L"lowered the kept serial 1099511627776 to 100").size(), 1u);
    EXPECT_EQ(Value(L"publish", L"serial"), L"101");
    EXPECT_EQ(Value(L"publish", L"signer"), Hex(p1.Public()));
    // A held key's serial stands: 99 after 101 is an older patch.
    Stage(99, List(r0, 6, {&p1}), p1);
    EXPECT_THROW(Accept(), ProgramEnded);
    EXPECT_EQ(log.With(L"refused: older patch").size(), 1u);
}

// A cache's stale profile may name a list that lapsed since: asked once more past the caches.
TEST_F(KeyedProfile, AListRefusalOfAStaleProfileAsksOncePastTheCaches) {
    const Sha256Digest lapsed = List(r0, 4, {&p1}, std::nullopt, kNow);
    const Sha256Digest current = List(r0, 5, {&p1});
    Stage(6, lapsed, p1);
    int asked = 0;
    KeepAccepted(Accept([&] {
        ++asked;
        Stage(7, current, p1);
    }));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(log.With(L"names keys refused; asking once more past every cache").size(), 1u);
    EXPECT_EQ(Value(L"publish", L"serial"), L"7");
    EXPECT_FALSE(install.Has(L"keys\\" + FromUtf8(DigestHex(lapsed)) + L".signed"));
}

}  // namespace
}  // namespace vt::vtpatch
