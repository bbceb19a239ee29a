// What a set run fetches: an entry whose record differs from the served version, one whose
// installed file is missing, and in a signed patch one whose file has another size than its
// pin; nothing else. Installed files are matched without regard to case, as Windows opens them.
#include <gtest/gtest.h>

#include <set>

#include "base/Cp949.h"
#include "base/Crypto.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "patch/CheckVersions.h"
#include "sets/EntryName.h"
#include "sets/SetSync.h"
#include "tests/support/FakePatchServer.h"
#include "tests/support/Installation.h"
#include "tests/support/PatchRun.h"

namespace vt {
namespace {

std::wstring PinText(const std::string& bytes) {
    const Sha256Digest d = Sha256Of(std::as_bytes(std::span(bytes.data(), bytes.size())));
    return std::to_wstring(bytes.size()) + L"," + FromCp949(DigestHex(d));
}

enum class Installed { Same, Missing, OtherSize, OtherBytes, OtherCase, NoRecord };

struct PlanCase {
    const wchar_t* name;  // the entry, below the sound set's folder
    bool recordDiffers;
    Installed file;
    bool fetchedUnsigned;
    bool fetchedKeyed;
};

// Served bytes are "v2-<name>"; an installed file that is current holds them.
const PlanCase kCases[] = {
    {L"differs.wav", true, Installed::Same, true, true},
    {L"missing.wav", false, Installed::Missing, true, true},
    {L"sub/missing.wav", false, Installed::Missing, true, true},
    {L"longer.wav", false, Installed::OtherSize, false, true},
    {L"sub/longer.wav", false, Installed::OtherSize, false, true},
    {L"current.wav", false, Installed::Same, false, false},
    {L"sub/current.wav", false, Installed::Same, false, false},
    {L"samesize.wav", false, Installed::OtherBytes, false, false},  // sizes only, no hashing
    {L"Upper.wav", false, Installed::OtherCase, false, false},
    {L"sub/Upper.wav", false, Installed::OtherCase, false, false},
    {L"new.wav", true, Installed::NoRecord, true, true},
};

class SetPlan : public test::PatchRunTest {
  protected:
    const std::wstring soundUrl = PatchBaseUrl + L"resource/sound/";

    static std::string Served(const std::wstring& name) { return "v2-" + ToUtf8(name); }
    std::wstring FileOf(const std::wstring& name) const {
        return L"resource\\sound\\" + LocalRelativePath(name);
    }

    // Publishes every case (pinned when keyed) and lays the installation out as the case says.
    void Prepare(bool keyed) {
        server.keyed = keyed;
        std::wstring manifest = L"[sound]\r\ncount=" + std::to_wstring(std::size(kCases)) + L"\r\n";
        std::wstring pins = L"[sound.pins]\r\n";
        std::wstring local = L"[sound]\r\n";
        int i = 0;
        for (const PlanCase& c : kCases) {
            manifest += std::to_wstring(++i) + L"=" + c.name + L":2\r\n";
            pins += std::wstring(c.name) + L"=" + PinText(Served(c.name)) + L"\r\n";
            if (c.file != Installed::NoRecord) {
                local += std::wstring(c.name) + L"=" + (c.recordDiffers ? L"1" : L"2") + L"\r\n";
            }
            server.Put(soundUrl + c.name, Served(c.name));
            Install(c);
        }
        const std::string served = ToCp949(keyed ? manifest + pins : manifest);
        server.Put(soundUrl + L"vtsound.ini", served);
        install.WriteText(L"temp\\vtgame.ini",
                          L"[game]\r\nsound=2\r\n[publish]\r\nserial=3\r\n"
                          L"resource/sound/vtsound.ini=" +
                              PinText(served) + L"\r\n");
        install.WriteText(L"resource\\sound\\vtsound.ini", local);
        profile::ClearCache();
    }
    void Install(const PlanCase& c) {
        fs::CreateDir(AppDir + L"resource\\sound\\sub");
        const std::string bytes = Served(c.name);
        switch (c.file) {
            case Installed::Same:
                install.dir.Write(FileOf(c.name), bytes);
                break;
            case Installed::OtherSize:
                install.dir.Write(FileOf(c.name), bytes + "!");
                break;
            case Installed::OtherBytes:
                install.dir.Write(FileOf(c.name), std::string(bytes.size(), '?'));
                break;
            case Installed::OtherCase: {
                const std::wstring file = FileOf(c.name);
                const size_t last = file.rfind(L'\\') + 1;
                install.dir.Write(file.substr(0, last) + fs::FoldedName(file.substr(last)), bytes);
                break;
            }
            case Installed::Missing:
            case Installed::NoRecord:
                break;
        }
    }
    void Check(bool keyed) {
        const std::vector<std::wstring> urls = server.PayloadUrls();
        const std::set<std::wstring> fetched(urls.begin(), urls.end());
        std::set<std::wstring> staging;
        for (const auto& call : server.calls) {
            if (call.progress) {
                staging.insert(call.stagingPath);
            }
        }
        EXPECT_EQ(staging.size(), urls.size()) << "every part has a name of its own";
        EXPECT_EQ(fetched.size(), urls.size()) << "no file fetched twice";
        for (const PlanCase& c : kCases) {
            SCOPED_TRACE(ToUtf8(c.name) + (keyed ? " keyed" : " unsigned"));
            const bool expected = keyed ? c.fetchedKeyed : c.fetchedUnsigned;
            EXPECT_EQ(
                fetched.contains(keyed ? test::ObjectUrlOf(Served(c.name)) : soundUrl + c.name),
                expected);
            EXPECT_EQ(install.Value(L"resource\\sound\\vtsound.ini", L"sound", c.name), L"2");
            if (expected) {
                EXPECT_EQ(install.Read(FileOf(c.name)), Served(c.name));
            }
        }
    }
};

TEST_F(SetPlan, UnsignedFetchesWhatDiffersOrIsMissing) {
    Prepare(false);
    UpdateSoundSet(server);
    Check(false);
}

TEST_F(SetPlan, SignedFetchesWhatDiffersIsMissingOrHasAnotherSizeThanItsPin) {
    Prepare(true);
    UpdateSoundSet(server);
    Check(true);
    for (const auto& call : server.calls) {
        if (call.progress) {
            ASSERT_TRUE(call.pin);
            EXPECT_EQ(call.stagingPath, TempDir + FromUtf8(DigestHex(call.pin->sha256)) + L".part");
        }
    }
}

// A start whose profile says every set is current still opens a set when a file it records
// is gone, and fetches that file alone; the serial is kept before it is placed.
TEST_F(SetPlan, AFileDeletedFromACurrentInstallationComesBack) {
    for (const bool deleted : {false, true}) {
        SCOPED_TRACE(deleted ? "one file deleted" : "every file there");
        server.calls.clear();
        server.changes = 0;
        Prepare(false);
        install.WriteText(L"vtgame.ini", L"[game]\r\nsound=2\r\n");
        // Everything current: the files the table left missing or different are put right.
        for (const PlanCase& c : kCases) {
            install.dir.Write(FileOf(c.name), Served(c.name));
        }
        install.WriteText(L"resource\\sound\\vtsound.ini", [] {
            std::wstring local = L"[sound]\r\n";
            for (const PlanCase& c : kCases) {
                local += std::wstring(c.name) + L"=2\r\n";
            }
            return local;
        }());
        if (deleted) {
            ASSERT_TRUE(fs::DeleteFile(AppDir + FileOf(L"sub/current.wav")));
        }
        profile::ClearCache();

        CheckVersions(server);

        if (!deleted) {
            EXPECT_TRUE(server.calls.empty()) << "a current installation asks for nothing";
            EXPECT_EQ(server.changes, 0);
            continue;
        }
        EXPECT_EQ(server.PayloadUrls(), std::vector<std::wstring>{soundUrl + L"sub/current.wav"});
        EXPECT_EQ(install.Read(FileOf(L"sub/current.wav")), Served(L"sub/current.wav"));
        EXPECT_EQ(server.changesBeforePayload, std::vector<int>{1});
        EXPECT_EQ(install.Value(L"vtgame.ini", L"game", L"sound"), L"2");
    }
}

}  // namespace
}  // namespace vt
