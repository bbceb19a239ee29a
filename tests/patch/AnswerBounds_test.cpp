// A keyed patch run against a man in the middle who announces a gigabyte for the profile, the
// signature or a pinned manifest: each is refused before a byte of its body is read, the player
// sees what a failed or damaged download shows, and nothing of the answer is left in temp\.
// The bounds each download is given come from the format.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestKeyVector.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "format/Pins.h"
#include "patch/PatchKey.h"
#include "patch/Texts.h"
#include "sets/SetSync.h"
#include "tests/support/PatchRun.h"
#include "tests/support/RecordingLog.h"

namespace vt {
namespace {

const std::string kProfile(reinterpret_cast<const char*>(kSignedProfile), sizeof kSignedProfile);
const std::string kSig(reinterpret_cast<const char*>(kSignedProfileSig), sizeof kSignedProfileSig);

const std::optional<PatchPublicKey> kKey =
    ParsePublicKeyHex(std::string(reinterpret_cast<const char*>(kTestKeyText), 128));

class KeyedBounds : public test::PatchRunTest {
  protected:
    KeyedBounds() : PatchRunTest(test::Installation::Layout::Tree, kKey) {}
    test::RecordingLog log;
    std::wstring inflated;  // the request answered with a gigabyte's length
    size_t piecesOfInflated = 0;
    bool pairOnly = false;  // vtgame.signed answered 404: the profile and signature apart

    void SetUp() override {
        LoadWindow();
        // The sound set is out of date, so its pinned manifest is fetched.
        install.WriteText(L"vtgame.ini",
                          L"[game]\r\ngame=1\r\nvtgame=6dfe59f28209ed80\r\nsound=0\r\n");
        transfer.onExecute = [this] {
            const std::wstring& url = transfer.url;
            const bool whole = url.ends_with(L"vtgame.signed");
            transfer.head = whole && pairOnly ? L"HTTP/1.1 404 Not Found" : L"HTTP/1.1 200 OK";
            transfer.Body(whole                          ? std::string(kSig) + kProfile
                          : url.ends_with(L".sig")       ? kSig
                          : url.ends_with(L"vtgame.ini") ? kProfile
                                                         : "[sound]",
                          16);
            transfer.pollsUntilHead = 1;
            const bool hit = url.ends_with(inflated);
            if (hit) {
                transfer.contentLength = L"1073741824";
            }
            transfer.onPiece = [this, hit](size_t) { piecesOfInflated += hit ? 1 : 0; };
        };
    }
};

TEST_F(KeyedBounds, AGigabyteAnnouncedIsRefusedBeforeItsBodyAndLeavesNothingInTemp) {
    struct Case {
        const wchar_t* url;
        const wchar_t* staged;  // its name in the temporary folder
        const wchar_t* shown;   // the box
        const wchar_t* logged;
        bool pairOnly = false;
    };
    const std::vector<Case> cases{
        {L"vtgame.signed", L"vtgame.signed", kReconnectText,
         L"refused: length beyond 1048640 bytes"},
        {L"autopatch/vtgame.ini", L"vtgame.ini", kReconnectText,
         L"refused: length beyond 1048576 bytes", true},
        {L"vtgame.ini.sig", L"vtgame.ini.sig", kReconnectText, L"refused: length beyond 64 bytes",
         true},
        {L"vtsound.ini", L"vtsound.ini",
         L"받은 파일이 손상되었습니다: resource\\sound\\vtsound.ini",
         L"refused: length differs from the pin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        inflated = c.url;
        pairOnly = c.pairOnly;
        piecesOfInflated = 0;
        view.messages.clear();
        log.lines.clear();
        frmVtUpdate run(view, shell, &handOver, kKey);
        run.Form_Load(ExeDirectory());
        run.UseTransfer(transfer, clock);
        EXPECT_THROW(run.Form_Activate(), ProgramEnded);
        EXPECT_EQ(piecesOfInflated, 0u) << "not a byte of the body read";
        ASSERT_EQ(view.messages.size(), 1u);
        EXPECT_EQ(view.messages[0].text, c.shown);
        EXPECT_EQ(view.messages[0].title, kUpgradeFailedTitle);
        EXPECT_EQ(log.With(c.logged).size(), 1u);
        EXPECT_FALSE(fs::Exists(TempDir + c.staged));
        EXPECT_TRUE(handOver.steps.empty());
    }
}

// The bounds each fetch of a set's manifest is given: a pinned manifest its pin, as an object;
// an unsigned one the format's bound.
TEST_F(KeyedBounds, ASetsManifestIsBoundedByItsPinOrByTheFormat) {
    for (bool keyed : {true, false}) {
        SCOPED_TRACE(keyed);
        server.keyed = keyed;
        server.calls.clear();
        const std::string served = "[sound]\r\ncount=0\r\n";
        const Pin pin{18, {}};  // of other bytes: its hash is all zeros
        server.Put(PatchBaseUrl + L"resource/sound/vtsound.ini", served);
        server.files[ObjectUrl(pin)] = served;
        install.WriteText(L"temp\\vtgame.ini", L"[publish]\r\nresource/sound/vtsound.ini=18," +
                                                   std::wstring(64, L'0') + L"\r\n");
        try {
            UpdateSoundSet(server);
        } catch (const ProgramEnded&) {
            // The keyed run refuses the manifest, whose hash is not the pinned one.
        }
        ASSERT_FALSE(server.calls.empty());
        // Keyed, the manifest is an object: its pin bounds it, as a payload's does.
        EXPECT_EQ(server.calls[0].pin, keyed ? std::optional(pin) : std::nullopt);
        EXPECT_EQ(server.calls[0].url,
                  keyed ? ObjectUrl(pin) : PatchBaseUrl + L"resource/sound/vtsound.ini");
        ASSERT_EQ(server.calls[0].bound.has_value(), !keyed);
        if (!keyed) {
            EXPECT_EQ(server.calls[0].bound->most, 134'209'536u);
            EXPECT_FALSE(server.calls[0].bound->pinned);
        }
        EXPECT_EQ(fs::Exists(TempDir + L"vtsound.ini"), !keyed) << "a refused manifest goes";
    }
}

}  // namespace
}  // namespace vt
