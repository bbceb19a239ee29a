// Set synchronisation of a signed patch: the manifest must match the profile's pin before a
// byte of it is read, every fetched entry carries its pin, and a missing pin is damage.
#include <gtest/gtest.h>

#include "base/Crypto.h"
#include "base/EndProgram.h"
#include "base/ModGame.h"
#include "patch/Texts.h"
#include "sets/RecordJournal.h"
#include "sets/SetSync.h"
#include "tests/support/FakePatchServer.h"
#include "tests/support/Installation.h"
#include "tests/support/PatchRun.h"
#include "tests/support/RecordingLog.h"

namespace vt {
namespace {

using test::Manifest;

std::wstring PinText(const std::string& bytes) {
    const Sha256Digest d = Sha256Of(std::as_bytes(std::span(bytes.data(), bytes.size())));
    return std::to_wstring(bytes.size()) + L"," + FromCp949(DigestHex(d));
}

class SignedSets : public test::PatchRunTest {
  protected:
    test::RecordingLog log;
    const std::wstring soundUrl = PatchBaseUrl + L"resource/sound/";
    const std::string a = "AAAA";
    const std::string b = "BBBBBB";

    void SetUp() override { server.keyed = true; }
    // The served manifest, also under the name of the pinned one's object (as a cache or a
    // mirror holding other bytes would serve it), and the staged profile pinning `pinned`.
    void Publish(const std::string& served, const std::string& pinned) {
        server.Put(soundUrl + L"vtsound.ini", served);
        server.files[test::ObjectUrlOf(pinned)] = served;
        install.WriteText(L"temp\\vtgame.ini",
                          L"[game]\r\nsound=2\r\n[publish]\r\nserial=3\r\n"
                          L"resource/sound/vtsound.ini=" +
                              PinText(pinned) + L"\r\n");
    }
    std::string SoundManifest(bool pinB) const {
        std::string m = Manifest(L"sound", L"2", {L"a.wav:1", L"b.wav:1"});
        m += ToCp949(L"[sound.pins]\r\na.wav=" + PinText(a) + L"\r\n");
        if (pinB) {
            m += ToCp949(L"b.wav=" + PinText(b) + L"\r\n");
        }
        return m;
    }
    bool Refused(const std::wstring& name) const {
        return server.messages ==
                   std::vector<std::wstring>{std::wstring(kUpgradeFailedTitle) +
                                             L"|받은 파일이 손상되었습니다: " + name + L"|0"} &&
               log.With(L"refused: damaged file " + name).size() == 1;
    }
};

TEST_F(SignedSets, EachFetchedEntryCarriesItsPin) {
    const std::string manifest = SoundManifest(true);
    Publish(manifest, manifest);
    server.Put(soundUrl + L"a.wav", a);
    server.Put(soundUrl + L"b.wav", b);
    UpdateSoundSet(server);
    ASSERT_EQ(server.calls.size(), 3u);
    ASSERT_TRUE(server.calls[0].pin) << "the manifest is an object, checked as one";
    EXPECT_EQ(server.calls[0].url, test::ObjectUrlOf(manifest));
    ASSERT_TRUE(server.calls[1].pin);
    EXPECT_EQ(server.calls[1].pin->size, a.size());
    EXPECT_EQ(FromCp949(DigestHex(server.calls[1].pin->sha256)), PinText(a).substr(2));
    ASSERT_TRUE(server.calls[2].pin);
    EXPECT_EQ(server.calls[2].pin->size, b.size());
    EXPECT_EQ(install.Value(L"resource\\sound\\vtsound.ini", L"sound", L"b.wav"), L"1");
}

TEST_F(SignedSets, AManifestOtherThanThePinnedOneIsRefusedBeforeItIsRead) {
    const std::string pinned = SoundManifest(true);
    // A valid manifest that names another file: read, it would fetch evil.wav.
    std::string served = Manifest(L"sound", L"1", {L"evil.wav:1"});
    served += ToCp949(L"[sound.pins]\r\nevil.wav=" + PinText("x") + L"\r\n");
    Publish(served, pinned);
    server.Put(soundUrl + L"evil.wav", "x");
    install.WriteText(L"resource\\sound\\vtsound.ini", L"[sound]\r\na.wav=0\r\n");
    const std::string before = install.Read(L"resource\\sound\\vtsound.ini");
    EXPECT_THROW(UpdateSoundSet(server), ProgramEnded);
    EXPECT_TRUE(Refused(L"resource\\sound\\vtsound.ini"));
    EXPECT_TRUE(server.PayloadUrls().empty());
    EXPECT_EQ(install.Read(L"resource\\sound\\vtsound.ini"), before);

    // The pinned manifest with one byte more.
    server.calls.clear();
    server.messages.clear();
    log.lines.clear();
    Publish(pinned + "\n", pinned);
    EXPECT_THROW(UpdateSoundSet(server), ProgramEnded);
    EXPECT_TRUE(Refused(L"resource\\sound\\vtsound.ini"));
    EXPECT_TRUE(server.PayloadUrls().empty());
}

TEST_F(SignedSets, ASetWithoutAPinInTheProfileIsRefusedBeforeAnythingIsFetched) {
    const std::string manifest = SoundManifest(true);
    server.Put(soundUrl + L"vtsound.ini", manifest);
    install.WriteText(L"temp\\vtgame.ini",
                      L"[game]\r\nsound=2\r\n[publish]\r\nserial=3\r\n"
                      L"resource/data/graphics.ini=" +
                          PinText(manifest) + L"\r\n");
    EXPECT_THROW(UpdateSoundSet(server), ProgramEnded);
    EXPECT_TRUE(Refused(L"resource\\sound\\vtsound.ini"));
    EXPECT_TRUE(server.calls.empty());
}

TEST_F(SignedSets, AnEntryWithoutAPinIsRefusedAsDamagedAndNotRecorded) {
    const std::string manifest = SoundManifest(false);
    Publish(manifest, manifest);
    server.Put(soundUrl + L"a.wav", a);
    server.Put(soundUrl + L"b.wav", b);
    EXPECT_THROW(UpdateSoundSet(server), ProgramEnded);
    EXPECT_TRUE(Refused(L"resource\\sound\\b.wav"));
    EXPECT_EQ(server.PayloadUrls(), std::vector<std::wstring>{test::ObjectUrlOf(a)});
    // a.wav arrived before the refusal: its record is in the journal the next run folds.
    EXPECT_TRUE(FoldJournal(L"sound", SoundDir + L"vtsound.ini"));
    EXPECT_EQ(install.Value(L"resource\\sound\\vtsound.ini", L"sound", L"a.wav"), L"1");
    EXPECT_EQ(install.Value(L"resource\\sound\\vtsound.ini", L"sound", L"b.wav"), L"");
    EXPECT_FALSE(install.Has(L"resource\\sound\\b.wav"));
}

TEST_F(SignedSets, AnUnsignedPatchPassesNoPinsAndNeedsNoPublishSection) {
    server.keyed = false;
    server.Put(soundUrl + L"vtsound.ini", Manifest(L"sound", L"1", {L"a.wav:1"}));
    server.Put(soundUrl + L"a.wav", a);
    UpdateSoundSet(server);
    ASSERT_EQ(server.calls.size(), 2u);
    EXPECT_FALSE(server.calls[1].pin);
    EXPECT_EQ(install.Read(L"resource\\sound\\a.wav"), a);
}

}  // namespace
}  // namespace vt
