// The signed profile: signature, expiry and serial decisions, the serial kept in the local
// vtgame.ini, vt.exe's pin, and the patch run that fetches the signature beside the profile.
#include "patch/SignedProfile.h"
#include "patch/PatchKey.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestKeyVector.h"
#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/Crypto.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "format/Digest.h"
#include "patch/CheckVersions.h"
#include "patch/PatchKey.h"
#include "patch/Texts.h"
#include "patch/frmVtUpdate.h"
#include "tests/support/FakePatchServer.h"
#include "tests/support/Fakes.h"
#include "tests/support/Installation.h"
#include "tests/support/PatchRun.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/ScriptedTransfer.h"

namespace vt {
namespace {

// The vector vtpatch signed with tests/keys/patch-key.pem: serial 1, expires
// 2099-12-31T23:59:59Z, vt.exe pinned as "stand-in client\n".
const std::string kProfile(reinterpret_cast<const char*>(kSignedProfile), sizeof kSignedProfile);
const std::string kSig(reinterpret_cast<const char*>(kSignedProfileSig), sizeof kSignedProfileSig);
const PatchPublicKey kKey =
    *ParsePublicKeyHex(std::string(reinterpret_cast<const char*>(kTestKeyText), 128));
constexpr int64_t kExpires = 4102444799;  // 2099-12-31T23:59:59Z
constexpr int64_t kNow = 1796000000;      // 2026-12

std::span<const std::byte> Bytes(const std::string& s) {
    return std::as_bytes(std::span(s.data(), s.size()));
}

TEST(Expiry, OnlyTheExactUtcFormOfARealMoment) {
    EXPECT_EQ(ParseExpiry("1970-01-01T00:00:00Z"), 0);
    EXPECT_EQ(ParseExpiry("2099-12-31T23:59:59Z"), kExpires);
    EXPECT_EQ(ParseExpiry("2000-02-29T12:00:00Z"), 951825600);
    EXPECT_EQ(ParseExpiry("2031-01-01T00:00:00Z"), 1924992000);
    for (const char* bad : {"",
                            "2031-01-01",
                            "2031-01-01T00:00:00",
                            "2031-01-01T00:00:00+00:00",
                            "2031-01-01 00:00:00Z",
                            "2031-01-01T00:00:00z",
                            "2031-1-01T00:00:00Z",
                            " 2031-01-01T00:00:00Z",
                            "2031-01-01T00:00:00Z ",
                            "2031-13-01T00:00:00Z",
                            "2031-00-01T00:00:00Z",
                            "2031-04-31T00:00:00Z",
                            "2100-02-29T00:00:00Z",
                            "2031-02-29T00:00:00Z",
                            "2031-01-00T00:00:00Z",
                            "2031-01-01T24:00:00Z",
                            "2031-01-01T00:60:00Z",
                            "2031-01-01T00:00:60Z",
                            "2031-01-01T0a:00:00Z",
                            "+031-01-01T00:00:00Z"}) {
        EXPECT_FALSE(ParseExpiry(bad)) << bad;
    }
}

// The serial step alone: the profile's bytes and signature stay the vector's (serial 1), the
// serial text is what the caller read from it.
TEST(JudgeProfile, TheSerialAgainstTheProfileAcceptedLast) {
    const Sha256Digest same = Sha256Of(Bytes(kProfile));
    const Sha256Digest other = Sha256Of(Bytes(std::string("another profile")));
    const struct {
        std::string_view serial;
        uint64_t lastSerial;
        std::optional<Sha256Digest> lastHash;
        ProfileVerdict verdict;
    } cases[] = {
        {"1", 0, std::nullopt, ProfileVerdict::Accepted},
        {"1", 1, std::nullopt, ProfileVerdict::Accepted},  // kept by a launcher before hashes
        {"1", 1, same, ProfileVerdict::Accepted},
        {"1", 1, other, ProfileVerdict::Replaced},
        {"2", 1, other, ProfileVerdict::Accepted},
        {"1", 2, same, ProfileVerdict::Older},
        {"", 0, other, ProfileVerdict::Accepted},  // serial 0 names no publish
        {"x1", 0, other, ProfileVerdict::Accepted},
        {"", 1, std::nullopt, ProfileVerdict::Older},
        {"-5", 1, std::nullopt, ProfileVerdict::Older},
        {"9007199254740992", 5, std::nullopt, ProfileVerdict::Accepted},
        {"9007199254740993", 0, std::nullopt, ProfileVerdict::BadSerial},
        {"9223372036854775806", 0, std::nullopt, ProfileVerdict::BadSerial},
        {"18446744073709551617", 0, std::nullopt, ProfileVerdict::BadSerial},  // wraps to 1
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.serial) + " after " + std::to_string(c.lastSerial));
        const SignedProfile profile{Bytes(kProfile), Bytes(kSig), std::nullopt, c.serial};
        EXPECT_EQ(JudgeProfile(profile, kKey, kNow, {c.lastSerial, c.lastHash}), c.verdict);
    }
    // Nothing of an unverified profile counts, a huge serial included.
    const std::string changed = kProfile + " ";
    const SignedProfile forged{Bytes(changed), Bytes(kSig), std::nullopt, "9007199254740993"};
    EXPECT_EQ(JudgeProfile(forged, kKey, kNow, {}), ProfileVerdict::BadSignature);
}

TEST(JudgeProfile, SignatureThenExpiryThenSerial) {
    auto judge = [](const std::string& bytes, const std::string& sig,
                    std::optional<std::string_view> expires, int64_t now, uint64_t last) {
        return JudgeProfile({Bytes(bytes), Bytes(sig), expires, "1"}, kKey, now, {last, {}});
    };
    const std::string_view expires = "2099-12-31T23:59:59Z";
    EXPECT_EQ(judge(kProfile, kSig, expires, kNow, 0), ProfileVerdict::Accepted);
    EXPECT_EQ(judge(kProfile, kSig, expires, kNow, 1), ProfileVerdict::Accepted) << "same serial";
    EXPECT_EQ(judge(kProfile, kSig, expires, kNow, 2), ProfileVerdict::Older);
    EXPECT_EQ(judge(kProfile, kSig, expires, kExpires - 1, 0), ProfileVerdict::Accepted);
    EXPECT_EQ(judge(kProfile, kSig, expires, kExpires, 0), ProfileVerdict::Expired);
    EXPECT_EQ(judge(kProfile, kSig, "2099-12-31T23:59:59", kNow, 0), ProfileVerdict::Expired)
        << "a malformed expiry refuses";
    EXPECT_EQ(judge(kProfile, kSig, "", kNow, 0), ProfileVerdict::Expired);
    EXPECT_EQ(judge(kProfile, kSig, std::nullopt, kNow, 0), ProfileVerdict::Accepted);
    // Nothing of a profile whose signature fails is believed, its serial and expiry included.
    std::string changed = kProfile;
    changed[changed.find("serial=1") + 7] = '9';
    EXPECT_EQ(judge(changed, kSig, expires, kNow, 0), ProfileVerdict::BadSignature);
    EXPECT_EQ(judge(kProfile, kSig.substr(0, 63), expires, kExpires, 5),
              ProfileVerdict::BadSignature);
    EXPECT_EQ(judge(kProfile, "", expires, kNow, 0), ProfileVerdict::BadSignature);
}

class SignedCheck : public test::PatchRunTest {
  protected:
    test::RecordingLog log;

    void SetUp() override {
        server.keyed = true;
        install.dir.Write(L"temp\\vtgame.ini", kProfile);
        install.dir.Write(L"temp\\vtgame.ini.sig", kSig);
    }
    std::wstring Serial() { return install.Value(L"vtgame.ini", L"publish", L"serial"); }
    // A refused profile is not kept in temp\: it may be an attacker's bytes.
    bool StagedProfileGone() {
        return !install.dir.Has(L"temp\\vtgame.ini") && !install.dir.Has(L"temp\\vtgame.ini.sig");
    }
    bool Refused(const std::wstring& text, const std::wstring& line) {
        return server.messages == std::vector<std::wstring>{std::wstring(kUpgradeFailedTitle) +
                                                            L"|" + text + L"|0"} &&
               log.With(line).size() == 1 && log.With(L"refused:").size() == 1;
    }
};

TEST_F(SignedCheck, AnAcceptedProfileRecordsItsSerialOnlyWhenKeptBesideTheGameKeys) {
    install.WriteText(L"vtgame.ini", L"[game]\r\ngame=1\r\nsound=0\r\n");
    const std::string before = install.Read(L"vtgame.ini");
    const AcceptedProfile accepted = AcceptSignedProfile(server, kKey, kNow);
    EXPECT_EQ(accepted.serial, "1");
    EXPECT_EQ(install.Read(L"vtgame.ini"), before) << "accepting alone changes nothing";
    KeepAccepted(accepted);
    EXPECT_EQ(Serial(), L"1");
    EXPECT_EQ(install.Value(L"vtgame.ini", L"publish", L"sha256"),
              FromUtf8(DigestHex(Sha256Of(Bytes(kProfile)))));
    EXPECT_EQ(install.Value(L"vtgame.ini", L"game", L"sound"), L"0") << "the rest stays";
    EXPECT_TRUE(server.messages.empty());
    // The same publish again.
    KeepAccepted(AcceptSignedProfile(server, kKey, kNow));
    EXPECT_EQ(Serial(), L"1");
}

// A serial kept by another tool or an older launcher that cannot be compared is forgotten and
// logged: a patch signed later must still be taken, never refused for good.
TEST_F(SignedCheck, AKeptSerialThatCannotBeReadIsForgottenAndLogged) {
    for (const wchar_t* kept :
         {L"-1", L"9223372036854775807", L"99999999999999999999", L"abc", L"9007199254740993"}) {
        SCOPED_TRACE(kept);
        install.WriteText(L"vtgame.ini", std::wstring(L"[game]\r\ngame=1\r\n[publish]\r\nserial=") +
                                             kept + L"\r\nsha256=" +
                                             FromUtf8(DigestHex(Sha256OfText("other"))) + L"\r\n");
        profile::ClearCache();
        log.lines.clear();
        KeepAccepted(AcceptSignedProfile(server, kKey, kNow));
        EXPECT_TRUE(server.messages.empty());
        EXPECT_EQ(log.With(L"forgot the kept serial " + std::wstring(kept)).size(), 1u);
        EXPECT_EQ(Serial(), L"1");
    }
}

// Two profiles signed under one serial (an older publish replayed, or a publisher who went
// back): the installed one stands.
TEST_F(SignedCheck, AnotherProfileUnderTheKeptSerialIsRefused) {
    const std::wstring kept = L"[game]\r\ngame=1\r\n[publish]\r\nserial=1\r\nsha256=";
    install.WriteText(L"vtgame.ini", kept + FromUtf8(DigestHex(Sha256OfText("other"))) + L"\r\n");
    const std::string before = install.Read(L"vtgame.ini");
    EXPECT_THROW(AcceptSignedProfile(server, kKey, kNow), ProgramEnded);
    EXPECT_TRUE(Refused(L"설치된 패치보다 오래된 패치입니다. 다시 접속하여 주십시오.",
                        L"refused: same serial, other profile"));
    EXPECT_TRUE(StagedProfileGone());
    EXPECT_EQ(install.Read(L"vtgame.ini"), before);
    install.dir.Write(L"temp\\vtgame.ini", kProfile);
    install.dir.Write(L"temp\\vtgame.ini.sig", kSig);

    install.WriteText(L"vtgame.ini",
                      kept + FromUtf8(DigestHex(Sha256Of(Bytes(kProfile)))) + L"\r\n");
    profile::ClearCache();
    EXPECT_EQ(AcceptSignedProfile(server, kKey, kNow).serial, "1") << "the same bytes again";
}

TEST_F(SignedCheck, AnOlderSerialIsRefusedAndRecordsNothing) {
    install.WriteText(L"vtgame.ini", L"[game]\r\ngame=1\r\n[publish]\r\nserial=2\r\n");
    const std::string before = install.Read(L"vtgame.ini");
    EXPECT_THROW(AcceptSignedProfile(server, kKey, kNow), ProgramEnded);
    EXPECT_TRUE(Refused(L"설치된 패치보다 오래된 패치입니다. 다시 접속하여 주십시오.",
                        L"refused: older patch"));
    EXPECT_TRUE(StagedProfileGone());
    EXPECT_EQ(install.Read(L"vtgame.ini"), before);
}

TEST_F(SignedCheck, AnExpiredProfileIsRefused) {
    install.WriteText(L"vtgame.ini", L"[game]\r\ngame=1\r\n");
    EXPECT_THROW(AcceptSignedProfile(server, kKey, kExpires + 1), ProgramEnded);
    EXPECT_TRUE(Refused(L"패치 정보의 유효 기간이 지났습니다.", L"refused: expired"));
    EXPECT_EQ(Serial(), L"");
}

TEST_F(SignedCheck, ABadSignatureIsRefusedWhateverElseTheProfileSays) {
    const std::wstring text =
        L"패치 정보의 서명을 확인할 수 없습니다.\r\n패치 서버의 파일이 변조되었을 수 있습니다.";
    install.WriteText(L"vtgame.ini", L"[game]\r\ngame=1\r\n");
    for (size_t at : {size_t{0}, kProfile.size() / 2, kProfile.size() - 1}) {
        SCOPED_TRACE(at);
        std::string changed = kProfile;
        changed[at] = static_cast<char>(changed[at] ^ 0x20);
        install.dir.Write(L"temp\\vtgame.ini", changed);
        install.dir.Write(L"temp\\vtgame.ini.sig", kSig);  // the last refusal removed both
        profile::ClearCache();  // written behind the profile engine's back
        server.messages.clear();
        log.lines.clear();
        EXPECT_THROW(AcceptSignedProfile(server, kKey, kNow), ProgramEnded);
        EXPECT_TRUE(Refused(text, L"refused: signature"));
    }
    install.dir.Write(L"temp\\vtgame.ini", kProfile);
    install.dir.Write(L"temp\\vtgame.ini.sig", kSig + "x");
    profile::ClearCache();
    server.messages.clear();
    log.lines.clear();
    EXPECT_THROW(AcceptSignedProfile(server, kKey, kNow), ProgramEnded);
    EXPECT_TRUE(Refused(text, L"refused: signature"));
    EXPECT_TRUE(StagedProfileGone());
    EXPECT_EQ(Serial(), L"");
}

TEST_F(SignedCheck, TheClientIsFetchedWithItsPinAndRefusedWithout) {
    install.WriteText(L"vtgame.ini", L"[game]\r\ngame=1\r\nvtgame=0\r\nsound=47a836cfae17b662\r\n");
    server.Put(PatchBaseUrl + L"vt.exe", "stand-in client\n");
    CheckVersions(server);
    ASSERT_EQ(server.calls.size(), 1u);
    ASSERT_TRUE(server.calls[0].pin);
    EXPECT_EQ(server.calls[0].pin->size, 16u);
    EXPECT_EQ(DigestHex(server.calls[0].pin->sha256),
              "6dfe59f28209ed801d8c41fb86707f52116635d8172af151e016757cf7b6164b");

    server.calls.clear();
    install.WriteText(L"temp\\vtgame.ini", L"[game]\r\ngame=1\r\nvtgame=7\r\n[publish]\r\n");
    profile::ClearCache();  // written behind the profile engine's back
    EXPECT_THROW(CheckVersions(server), ProgramEnded);
    EXPECT_TRUE(Refused(L"받은 파일이 손상되었습니다: vt.exe", L"refused: damaged file vt.exe"));
    EXPECT_TRUE(server.calls.empty());
    EXPECT_EQ(install.Value(L"vtgame.ini", L"game", L"vtgame"), L"6dfe59f28209ed80");
}

// The patch window fetches the signed profile only when it has a key.
class SignedPatchRun : public test::PatchRunTest {
  protected:
    explicit SignedPatchRun(std::optional<PatchPublicKey> key = std::nullopt)
        : PatchRunTest(test::Installation::Layout::Tree, key) {}

    test::RecordingLog log;
    std::vector<std::wstring> urls;
    std::vector<std::wstring> headersSent;
    std::string servedSig = kSig;
    std::string servedClient = "stand-in client\n";  // what the vector's vt.exe pin names
    // The answers to vtgame.signed in turn, the last one repeated; nothing: 404.
    std::vector<std::optional<std::string>> signedAnswers;
    size_t signedAsked = 0;

    std::optional<std::string> SignedAnswer() {
        if (signedAnswers.empty()) {
            return servedSig + kProfile;
        }
        return signedAnswers[std::min(signedAsked++, signedAnswers.size() - 1)];
    }

    void SetUp() override {
        LoadWindow();
        // Up to date with the vector: nothing to fetch after the profile.
        install.WriteText(L"vtgame.ini",
                          L"[game]\r\ngame=1\r\nvtgame=6dfe59f28209ed80\r\n"
                          L"sound=47a836cfae17b662\r\n");
        transfer.onExecute = [this] {
            urls.push_back(transfer.url);
            headersSent.push_back(transfer.requestHeaders);
            const std::wstring path = transfer.url.substr(0, transfer.url.find(L'?'));
            const bool sig = path.ends_with(L".sig");
            // The only object these runs fetch is the client the vector pins.
            const bool client = path.find(L"/objects/") != std::wstring::npos;
            transfer.head = L"HTTP/1.1 200 OK";
            if (path.ends_with(L"vtgame.signed")) {
                const std::optional<std::string> answer = SignedAnswer();
                transfer.head = answer ? L"HTTP/1.1 200 OK" : L"HTTP/1.1 404 Not Found";
                transfer.Body(answer.value_or("not here"), 1024);
            } else {
                transfer.Body(client ? servedClient : sig ? servedSig : kProfile, 1024);
            }
            transfer.pollsUntilHead = 1;
        };
    }
};

// The patch window made with the program's key, as a keyed build makes it.
class KeyedPatchRun : public SignedPatchRun {
  protected:
    KeyedPatchRun() : SignedPatchRun(kKey) {}
};

// The program's key text: empty is the unsigned format; anything that is not 128 hex digits
// stops the program rather than letting it run unsigned.
TEST(PatchKeyFromText, EmptyIsUnsignedAndAnythingButAKeyIsAnError) {
    EXPECT_EQ(PatchKeyFromText(""), std::nullopt);
    const std::string key(reinterpret_cast<const char*>(kTestKeyText), 128);
    EXPECT_EQ(PatchKeyFromText(key), kKey);
    for (const std::string& bad :
         {key.substr(1), key + "0", "x" + key.substr(1), std::string(" "), key.substr(0, 64)}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(PatchKeyFromText(bad), AppError);
    }
}

TEST_F(KeyedPatchRun, WithAKeyTheSignatureIsFetchedCheckedAndTheSerialKept) {
    form.Form_Activate();
    EXPECT_EQ(urls, (std::vector<std::wstring>{PatchBaseUrl + L"vtgame.signed"}));
    EXPECT_EQ(install.Value(L"vtgame.ini", L"publish", L"serial"), L"1");
    EXPECT_FALSE(fs::Exists(TempDir + L"vtgame.ini.sig")) << "temp\\ goes after a good run";
    EXPECT_EQ(handOver.steps.size(), 2u);
    EXPECT_TRUE(view.messages.empty());
}

// The serial is kept once the installation changes, not when the profile is accepted: a
// damaged file refused afterwards leaves vtgame.ini byte-identical too.
TEST_F(KeyedPatchRun, TheSerialIsKeptBeforeTheFirstFileIsReplacedAndNotAfterARefusal) {
    install.WriteText(L"vtgame.ini", L"[game]\r\ngame=1\r\nvtgame=0\r\nsound=47a836cfae17b662\r\n");
    install.WriteText(L"vt.exe", L"old client");
    const std::string before = install.Read(L"vtgame.ini");
    servedClient = "stand-in client!";  // the pinned size, another hash
    EXPECT_THROW(form.Form_Activate(), ProgramEnded);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, L"받은 파일이 손상되었습니다: vt.exe");
    EXPECT_EQ(install.Read(L"vtgame.ini"), before);
    EXPECT_EQ(install.Read(L"vt.exe"), "old client");

    frmVtUpdate again{view, shell, &handOver, kKey};
    again.Form_Load(AppDir.substr(0, AppDir.size() - 1));
    again.UseTransfer(transfer, clock);
    servedClient = "stand-in client\n";
    view.messages.clear();
    again.Form_Activate();
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(install.Read(L"vt.exe"), "stand-in client\n");
    EXPECT_EQ(install.Value(L"vtgame.ini", L"publish", L"serial"), L"1");
    EXPECT_EQ(install.Value(L"vtgame.ini", L"game", L"vtgame"), L"6dfe59f28209ed80");
}

TEST_F(KeyedPatchRun, AForeignSignatureEndsTheRunBeforeTheHandOver) {
    servedSig = std::string(64, '\x11');
    EXPECT_THROW(form.Form_Activate(), ProgramEnded);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].title, kUpgradeFailedTitle);
    EXPECT_TRUE(view.messages[0].text.starts_with(L"패치 정보의 서명을 확인할 수 없습니다."));
    EXPECT_TRUE(handOver.steps.empty());
    EXPECT_EQ(install.Value(L"vtgame.ini", L"publish", L"serial"), L"");
}

// The vector lists vtgame and sound only: the sets it leaves out were dropped by its publisher.
TEST_F(KeyedPatchRun, SetsTheProfileNoLongerListsAreRecordedEmptyAndTheirFilesStay) {
    install.WriteText(L"vtgame.ini",
                      L"[game]\r\ngame=1\r\nvtgame=6dfe59f28209ed80\r\n"
                      L"sound=47a836cfae17b662\r\ngraphics=1234\r\ncard3=77\r\n");
    install.WriteText(L"resource\\data\\card3\\c.dat", L"a card");
    install.WriteText(L"resource\\data\\card3\\vtcard3.ini", L"[card3]\r\ncount=1\r\n1=c:77\r\n");
    form.Form_Activate();
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(handOver.steps.size(), 2u) << "the server window follows";
    EXPECT_EQ(urls.size(), 1u) << "no manifest is asked for";
    for (const wchar_t* key : {L"graphics", L"card3"}) {
        EXPECT_EQ(install.Value(L"vtgame.ini", L"game", key), L"") << key;
        EXPECT_EQ(log.With(L"set dropped: " + std::wstring(key)).size(), 1u) << key;
    }
    EXPECT_EQ(install.Read(L"resource\\data\\card3\\c.dat"), "a card");
    EXPECT_EQ(install.Value(L"resource\\data\\card3\\vtcard3.ini", L"card3", L"1"), L"c:77");
    EXPECT_EQ(install.Value(L"vtgame.ini", L"publish", L"serial"), L"1");
}

// vtgame.signed is one file no cache can split; a server without it serves the pair. A copy
// that does not verify, or is older than the kept serial, may be a cache's: it is asked for once
// more past every cache, and only that answer is refused.
TEST_F(KeyedPatchRun, TheSignedProfileAndOneFreshTryPastTheCaches) {
    const std::string good = kSig + std::string(kProfile);
    const std::string forged = std::string(64, '\x11') + kProfile;
    const std::wstring signedUrl = PatchBaseUrl + L"vtgame.signed";
    struct Case {
        const char* what;
        std::vector<std::optional<std::string>> answers;
        const wchar_t* keptSerial;        // in the installation before the run
        std::vector<std::wstring> asked;  // the paths, queries left out
        bool fresh;                       // the second vtgame.signed went past the caches
        const wchar_t* refusal;           // the box's first words; nullptr: accepted
    };
    const std::vector<Case> cases{
        {"the signed file", {good}, L"", {L"vtgame.signed"}, false, nullptr},
        {"a server with the pair only",
         {std::nullopt},
         L"",
         {L"vtgame.signed", L"vtgame.ini", L"vtgame.ini.sig"},
         false,
         nullptr},
        {"a stale copy, then the right one",
         {forged, good},
         L"",
         {L"vtgame.signed", L"vtgame.signed"},
         true,
         nullptr},
        {"shorter than a signature, then the right one",
         {std::string("[game]"), good},
         L"",
         {L"vtgame.signed", L"vtgame.signed"},
         true,
         nullptr},
        {"a forged one twice",
         {forged},
         L"",
         {L"vtgame.signed", L"vtgame.signed"},
         true,
         L"패치 정보의 서명을 확인할 수 없습니다."},
        {"older than the kept serial twice",
         {good},
         L"2",
         {L"vtgame.signed", L"vtgame.signed"},
         true,
         L"설치된 패치보다 오래된 패치입니다."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        install.WriteText(L"vtgame.ini",
                          L"[game]\r\ngame=1\r\nvtgame=6dfe59f28209ed80\r\n"
                          L"sound=47a836cfae17b662\r\n[publish]\r\nserial=" +
                              std::wstring(c.keptSerial) + L"\r\n");
        profile::ClearCache();
        signedAnswers = c.answers;
        signedAsked = 0;
        urls.clear();
        headersSent.clear();
        view.messages.clear();
        log.lines.clear();
        frmVtUpdate run{view, shell, nullptr, kKey};
        run.Form_Load(ExeDirectory());
        run.UseTransfer(transfer, clock);
        if (c.refusal) {
            EXPECT_THROW(run.Form_Activate(), ProgramEnded);
            ASSERT_EQ(view.messages.size(), 1u);
            EXPECT_TRUE(view.messages[0].text.starts_with(c.refusal)) << view.messages[0].text;
        } else {
            run.Form_Activate();
            EXPECT_TRUE(view.messages.empty());
            EXPECT_EQ(install.Value(L"vtgame.ini", L"publish", L"serial"), L"1");
        }
        std::vector<std::wstring> asked;
        for (const std::wstring& url : urls) {
            const std::wstring path = url.substr(0, url.find(L'?'));
            asked.push_back(path.substr(PatchBaseUrl.size()));
        }
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(urls[0], signedUrl) << "a first try as any launcher asks";
        EXPECT_EQ(headersSent[0], L"");
        if (c.fresh) {
            ASSERT_EQ(urls.size(), 2u);
            EXPECT_TRUE(urls[1].starts_with(signedUrl + L"?fresh=")) << urls[1];
            EXPECT_EQ(headersSent[1], L"Cache-Control: no-cache\r\n");
            EXPECT_EQ(log.With(L"asking once more past every cache").size(), 1u);
        }
    }
}

// A profile naming a key list is judged by the list first: asked of the source that gave the
// profile (no key needed to refuse, so these run where no list can be signed), once more past
// the caches after a refusal, then refused with the installation as it was.
TEST_F(KeyedPatchRun, AKeyListNoSourceServesRightRefusesTheProfile) {
    const std::string hash(64, 'a');
    const std::string named = kSig + kProfile + "[keys]\r\nlist=" + hash + "\r\n";
    const std::wstring listPath = L"keys/" + std::wstring(hash.begin(), hash.end()) + L".signed";
    const struct {
        const char* what;
        const wchar_t* head;  // the answer to the list
        const wchar_t* text;  // the box's first words
        const wchar_t* line;  // the log's refusal
    } cases[] = {
        {"not served", L"HTTP/1.1 404 Not Found", L"패치 서명 키 목록을 받을 수 없습니다",
         L"refused: key list missing aaaa"},
        {"other bytes", L"HTTP/1.1 200 OK", L"패치 서명 키 목록을 확인할 수 없습니다",
         L"has other bytes than the SHA-256 it is named by"},
        {"a failed download", L"HTTP/1.1 503 Service Unavailable", kReconnectText, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string before = install.Read(L"vtgame.ini");
        std::vector<std::wstring> asked;
        transfer.onExecute = [&] {
            const std::wstring path = transfer.url.substr(0, transfer.url.find(L'?'));
            asked.push_back(path.substr(PatchBaseUrl.size()));
            const bool list = path.ends_with(listPath);
            transfer.head = list ? c.head : L"HTTP/1.1 200 OK";
            transfer.Body(list ? std::string("not a key list") : named, 1024);
            transfer.pollsUntilHead = 1;
        };
        view.messages.clear();
        log.lines.clear();
        frmVtUpdate run{view, shell, nullptr, kKey};
        run.Form_Load(ExeDirectory());
        run.UseTransfer(transfer, clock);
        EXPECT_THROW(run.Form_Activate(), ProgramEnded);
        ASSERT_EQ(view.messages.size(), 1u);
        EXPECT_TRUE(view.messages[0].text.starts_with(c.text)) << view.messages[0].text;
        if (c.line) {
            EXPECT_EQ(log.With(c.line).size(), 1u);
            EXPECT_EQ(asked, (std::vector<std::wstring>{L"vtgame.signed", listPath,
                                                        L"vtgame.signed", listPath}));
        } else {
            EXPECT_EQ(asked, (std::vector<std::wstring>{L"vtgame.signed", listPath}));
        }
        EXPECT_EQ(install.Read(L"vtgame.ini"), before);
        EXPECT_FALSE(install.Has(L"keys"));
    }
}

// The vector at serial 2, listing http://127.0.0.9:1/first/ and http://127.0.0.9:2/ as mirrors
// (and an ftp:// value that is none).
const std::string kMirrored(reinterpret_cast<const char*>(kMirrorsProfile), sizeof kMirrorsProfile);
const std::string kMirroredSig(reinterpret_cast<const char*>(kMirrorsProfileSig),
                               sizeof kMirrorsProfileSig);

// A keyed launcher keeps the mirrors of the profile it accepted, and asks them in order for the
// next profile when the patch server does not give it. A damaged kept list, or a launcher
// without a key, means the patch server alone.
TEST_F(SignedPatchRun, TheKeptMirrorsAreAskedForTheProfileWhenThePatchServerFails) {
    const std::wstring first = L"http://127.0.0.9:1/first/autopatch/";
    const std::wstring second = L"http://127.0.0.9:2/autopatch/";
    const std::wstring kept = L"1=http://127.0.0.9:1/first/\r\n2=http://127.0.0.9:2/\r\n";
    struct Case {
        const char* what;
        bool keyed;
        std::wstring keptMirrors;             // the installation's [mirrors] lines
        std::vector<std::wstring> answering;  // the sources that serve the profile
        std::vector<std::wstring> asked;      // the vtgame.signed URLs, in order
        bool accepted;
    };
    const std::vector<Case> cases{
        {"the patch server gives it", true, L"", {PatchBaseUrl}, {PatchBaseUrl}, true},
        {"the first mirror is down too", true, kept, {second}, {PatchBaseUrl, first, second}, true},
        {"every source is down", true, kept, {}, {PatchBaseUrl, first, second}, false},
        {"a damaged kept list",
         true,
         L"1=http://127.0.0.9:1/first/\r\n2=ftp://127.0.0.9/\r\n",
         {second},
         {PatchBaseUrl},
         false},
        {"no key", false, kept, {second}, {PatchBaseUrl}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        install.WriteText(L"vtgame.ini",
                          L"[game]\r\ngame=1\r\nvtgame=6dfe59f28209ed80\r\n"
                          L"sound=47a836cfae17b662\r\n[mirrors]\r\n" +
                              c.keptMirrors);
        profile::ClearCache();
        std::vector<std::wstring> asked;
        transfer.onExecute = [&] {
            const std::wstring& url = transfer.url;
            const bool profileFile = url.ends_with(L"vtgame.signed") || url.ends_with(L".ini");
            if (profileFile) {
                asked.push_back(url.substr(0, url.rfind(L'/') + 1));
            }
            bool serves = false;
            for (const std::wstring& base : c.answering) {
                serves = serves || url.starts_with(base);
            }
            transfer.head = serves ? L"HTTP/1.1 200 OK" : L"HTTP/1.1 503 Service Unavailable";
            transfer.Body(serves ? kMirroredSig + kMirrored : std::string(), 1024);
            if (url.ends_with(L".ini")) {
                transfer.Body(kMirrored, 1024);  // the launcher without a key
            }
            transfer.pollsUntilHead = 1;
        };
        view.messages.clear();
        frmVtUpdate run{view, shell, nullptr, c.keyed ? std::optional(kKey) : std::nullopt};
        run.Form_Load(ExeDirectory());
        run.UseTransfer(transfer, clock);
        if (c.accepted) {
            run.Form_Activate();
            EXPECT_TRUE(view.messages.empty());
            EXPECT_EQ(install.Value(L"vtgame.ini", L"publish", L"serial"), L"2");
            EXPECT_EQ(install.Value(L"vtgame.ini", L"mirrors", L"1"), L"http://127.0.0.9:1/first/");
            EXPECT_EQ(install.Value(L"vtgame.ini", L"mirrors", L"2"), L"http://127.0.0.9:2/");
            EXPECT_EQ(install.Value(L"vtgame.ini", L"mirrors", L"3"), L"") << "no mirror";
        } else {
            EXPECT_THROW(run.Form_Activate(), ProgramEnded);
            ASSERT_EQ(view.messages.size(), 1u);
            EXPECT_EQ(view.messages[0].text, kReconnectText);
        }
        EXPECT_EQ(asked, c.asked);
    }
}

TEST_F(SignedPatchRun, WithoutAKeyNoSignatureIsAskedFor) {
    form.Form_Activate();
    EXPECT_EQ(urls, std::vector<std::wstring>{PatchBaseUrl + L"vtgame.ini"});
    EXPECT_EQ(install.Value(L"vtgame.ini", L"publish", L"serial"), L"");
    EXPECT_EQ(handOver.steps.size(), 2u);
}

}  // namespace
}  // namespace vt
