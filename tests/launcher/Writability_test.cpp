#include "launcher/Writability.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <map>

namespace vt {
namespace {

// Folders and how a probe of each one ends; anything not listed is missing.
class FakeFolders final : public FolderProbe {
  public:
    std::map<std::wstring, ProbeResult> folders;
    std::vector<std::wstring> probed;

    ProbeResult Probe(const std::wstring& folder) override {
        probed.push_back(folder);
        auto it = folders.find(folder);
        return it == folders.end() ? ProbeResult::Unknown : it->second;
    }
};

const std::wstring kInstall = L"C:\\Program Files\\VT";

TEST(Writability, AWritableInstallationProceedsWhateverTheRights) {
    FakeFolders fs;
    fs.folders[kInstall] = ProbeResult::Writable;
    fs.folders[kInstall + L"\\resource"] = ProbeResult::Writable;
    for (bool elevated : {false, true}) {
        Writability w = DecideWritability(fs, FoldersToProbe(kInstall), elevated);
        EXPECT_EQ(w.decision, WriteDecision::Proceed);
        EXPECT_EQ(w.folder, L"");
    }
}

// Each folder the run writes into, the card sets' too, is probed: a denied one is named.
TEST(Writability, EveryFolderTheRunWritesIsProbed) {
    for (const wchar_t* relative :
         {L"resource", L"resource\\sound", L"resource\\data", L"resource\\data\\card1",
          L"resource\\data\\card3", L"resource\\data\\card5", L"temp"}) {
        SCOPED_TRACE(std::string(relative, relative + std::wcslen(relative)));
        FakeFolders fs;
        fs.folders[kInstall] = ProbeResult::Writable;
        fs.folders[kInstall + L"\\" + relative] = ProbeResult::Denied;
        Writability w = DecideWritability(fs, FoldersToProbe(kInstall), false);
        EXPECT_EQ(w.decision, WriteDecision::AskElevation);
        EXPECT_EQ(w.folder, kInstall + L"\\" + relative);
    }
}

TEST(Writability, ADeniedFolderAsksForElevationOnceThenExplains) {
    FakeFolders fs;
    fs.folders[kInstall] = ProbeResult::Denied;
    Writability first = DecideWritability(fs, FoldersToProbe(kInstall), false);
    EXPECT_EQ(first.decision, WriteDecision::AskElevation);
    EXPECT_EQ(first.folder, kInstall);
    // The started instance (marked, or elevated) must not ask again: that would loop.
    Writability second = DecideWritability(fs, FoldersToProbe(kInstall), true);
    EXPECT_EQ(second.decision, WriteDecision::Explain);
    EXPECT_EQ(second.folder, kInstall);
}

TEST(Writability, AWritableRootWithADeniedSubfolderNamesTheSubfolderAndStopsThere) {
    FakeFolders fs;
    fs.folders[kInstall] = ProbeResult::Writable;
    fs.folders[kInstall + L"\\resource"] = ProbeResult::Writable;
    fs.folders[kInstall + L"\\resource\\data"] = ProbeResult::Denied;
    fs.folders[kInstall + L"\\temp"] = ProbeResult::Denied;
    Writability w = DecideWritability(fs, FoldersToProbe(kInstall), false);
    EXPECT_EQ(w.decision, WriteDecision::AskElevation);
    EXPECT_EQ(w.folder, kInstall + L"\\resource\\data");
    EXPECT_EQ(fs.probed.back(), kInstall + L"\\resource\\data");
}

TEST(Writability, MissingOrUnclearFoldersAreLeftToThePatchRun) {
    FakeFolders fs;  // a fresh installation: nothing below the folder yet
    fs.folders[kInstall] = ProbeResult::Writable;
    EXPECT_EQ(DecideWritability(fs, FoldersToProbe(kInstall), false).decision,
              WriteDecision::Proceed);
    EXPECT_EQ(fs.probed, FoldersToProbe(kInstall));  // every folder the run writes was probed
    FakeFolders odd;
    odd.folders[kInstall] = ProbeResult::Unknown;
    EXPECT_EQ(DecideWritability(odd, FoldersToProbe(kInstall), false).decision,
              WriteDecision::Proceed);
}

TEST(Writability, TheElevatedMarkerIsAnArgumentNotPartOfThePath) {
    EXPECT_TRUE(HasElevatedMarker(L"\"C:\\Program Files\\VT\\vtlauncher.exe\" --elevated"));
    EXPECT_TRUE(HasElevatedMarker(L"vtlauncher.exe  --elevated"));
    EXPECT_TRUE(HasElevatedMarker(L"vtlauncher.exe x\t--elevated"));
    EXPECT_FALSE(HasElevatedMarker(L"\"C:\\games --elevated\\vtlauncher.exe\""));
    EXPECT_FALSE(HasElevatedMarker(L"C:\\vt\\--elevated"));
    EXPECT_FALSE(HasElevatedMarker(L"vtlauncher.exe --elevated-not"));
    EXPECT_FALSE(HasElevatedMarker(L"vtlauncher.exe"));
    EXPECT_FALSE(HasElevatedMarker(L""));
}

TEST(Writability, TheExplanationNamesTheFolderTheCauseAndTheWaysOut) {
    const std::wstring folder = L"C:\\Program Files\\VT";
    std::wstring declined = UnwritableFolderText(folder, UnwritableReason::ElevationDeclined);
    std::wstring still = UnwritableFolderText(folder, UnwritableReason::StillDenied);
    for (const std::wstring& text : {declined, still}) {
        EXPECT_NE(text.find(L"\r\n" + folder + L"\r\n"), std::wstring::npos);
        EXPECT_NE(text.find(L"관리자 권한으로 실행"), std::wstring::npos);
        EXPECT_NE(text.find(L"문서"), std::wstring::npos);
        EXPECT_EQ(text.find(L"75"), std::wstring::npos);  // never the bare error number
    }
    EXPECT_NE(declined.find(L"취소"), std::wstring::npos);
    EXPECT_NE(declined, still);
    EXPECT_NE(UnwritableFolderText(folder, UnwritableReason::ElevationFailed), declined);
}

}  // namespace
}  // namespace vt
