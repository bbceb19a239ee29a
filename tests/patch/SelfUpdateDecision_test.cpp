// The version check of a keyed launcher whose [game] game the profile does not take: the
// profile's [launcher] statement decides between a self-update, patching on without it, and
// the refusal of launchers of old.
#include <gtest/gtest.h>

#include "TestKeyVector.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "patch/CheckVersions.h"
#include "selfupdate/Pointer.h"
#include "tests/support/FakePatchServer.h"
#include "tests/support/PatchRun.h"

namespace vt {
namespace {

const PatchPublicKey kKey =
    *ParsePublicKeyHex(std::string(reinterpret_cast<const char*>(kTestKeyText), 128));
// The statement game=2, the 10 bytes "new launch", serial 2, signed with tests/keys/patch-key.pem
// (openssl dgst -sha256 -sign over format::StatementText).
const std::string kStatement =
    "[launcher]\r\ngame=2\r\nsize=10\r\n"
    "sha256=211dc0063181186eae34269b02115422607bbd6e506773bf2aaf7ee769efa847\r\nserial=2\r\n"
    "signature=58e2f583dd70a3ab78708bec3c60daf294995d8604623fcd6397f2ccca23451bb71e56e77ab9ecd5f"
    "09f45e1581166fdd92e131f5d85ecf563fd29362dba45d4\r\n";
const std::wstring kRefusal =
    L"업그레이드 실패|자동 패치 프로그램을 사용할 수 없습니다.\r\n"
    L"새로운 버전을 홈페이지에서 다운로드 받으신후 설치 해주십시오.|48";

class SelfUpdatingServer final : public test::FakePatchServer {
  public:
    std::optional<P256PublicKey> root;
    uint64_t serial = 1;
    bool updateGoesOn = true;  // the new launcher failed and was put back
    std::vector<uint64_t> updates;

    std::optional<P256PublicKey> StatementRoot() const override { return root; }
    uint64_t LauncherSerial() const override { return serial; }
    bool UpdateLauncher(const format::LauncherStatement& statement) override {
        updates.push_back(statement.serial);
        return updateGoesOn;
    }
};

class SelfUpdateDecisionTest : public test::PatchRunTest {
  protected:
    SelfUpdateDecisionTest() {
        LoadWindow();
        host.Put(PatchBaseUrl + L"vt.exe", "new client");
        install.WriteText(L"vt.exe", L"old client");
        install.WriteText(L"vtgame.ini", L"[game]\r\ngame=1\r\nvtgame=1\r\n");
    }
    void Serve(const std::string& statement) {
        const std::string profile = "[game]\r\ngame=2\r\nvtgame=2\r\n" + statement;
        install.WriteText(L"temp\\vtgame.ini", std::wstring(profile.begin(), profile.end()));
    }
    SelfUpdatingServer host;
};

TEST_F(SelfUpdateDecisionTest, TheStatementDecides) {
    std::string flipped = kStatement;
    flipped[flipped.size() - 3] = flipped[flipped.size() - 3] == '4' ? '5' : '4';
    selfupdate::Pointer failedTwo;
    failedTwo.current.serial = 1;
    failedTwo.current.game = "1";
    failedTwo.failed = {2};
    const std::string pointerFailedTwo = selfupdate::PointerText(failedTwo);
    const struct {
        const char* name;
        bool keyed;
        std::string statement;
        uint64_t ownSerial;
        std::string pointer;
        bool updateGoesOn;
        std::vector<uint64_t> updates;
        bool refused;
    } rows[] = {
        {"no key: refused as ever", false, kStatement, 1, "", true, {}, true},
        {"valid: updates, then patches on", true, kStatement, 1, "", true, {2}, false},
        {"valid, not put in place: refused", true, kStatement, 1, "", false, {2}, true},
        {"no statement", true, "", 1, "", true, {}, true},
        {"signature damaged", true, flipped, 1, "", true, {}, true},
        {"not newer than this launcher", true, kStatement, 2, "", true, {}, true},
        {"failed here before: patches on", true, kStatement, 1, pointerFailedTwo, true, {}, false},
        {"malformed", true, "[launcher]\r\ngame=2\r\nserial=2\r\n", 1, "", true, {}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        host = SelfUpdatingServer();
        host.Put(PatchBaseUrl + L"vt.exe", "new client");
        host.root = row.keyed ? std::optional(kKey) : std::nullopt;
        host.serial = row.ownSerial;
        host.updateGoesOn = row.updateGoesOn;
        Serve(row.statement);
        if (!row.pointer.empty()) {
            fs::CreateDir(AppDir + L"launcher");
            install.WriteText(L"launcher\\current.ini",
                              std::wstring(row.pointer.begin(), row.pointer.end()));
        }
        profile::ClearCache();  // the files were changed behind the engine's back
        const std::string before = install.Read(L"vtgame.ini");
        if (row.refused) {
            EXPECT_THROW(CheckVersions(host), ProgramEnded);
            EXPECT_EQ(host.messages, std::vector<std::wstring>{kRefusal});
            EXPECT_EQ(install.Read(L"vtgame.ini"), before);
            EXPECT_EQ(install.Read(L"vt.exe"), "old client");
        } else {
            CheckVersions(host);
            EXPECT_TRUE(host.messages.empty());
            EXPECT_EQ(install.Read(L"vt.exe"), "new client");
            EXPECT_EQ(install.Value(L"vtgame.ini", L"game", L"vtgame"), L"2");
            EXPECT_EQ(install.Value(L"vtgame.ini", L"game", L"game"), L"1");  // never recorded
        }
        EXPECT_EQ(host.updates, row.updates);
        install.WriteText(L"vt.exe", L"old client");
        install.WriteText(L"vtgame.ini", L"[game]\r\ngame=1\r\nvtgame=1\r\n");
    }
}

}  // namespace
}  // namespace vt
