#pragma once
// The patch window's handlers, portable: they talk to the window only through ProgressView and
// to the shell through Shell, so the same code runs behind the real window and in tests.

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/Ui.h"
#include "patch/CheckVersions.h"
#include "patch/PatchHost.h"
#include "patch/PatchKey.h"
#include "selfupdate/Swap.h"
#include "transfer/Batch.h"
#include "transfer/Clock.h"
#include "transfer/ProgressView.h"
#include "transfer/Transfer.h"

namespace vt {

// The folders the load creates below the installation folder, parents before children: the
// sets' folders and TempDir.
const std::vector<std::wstring>& InstallationTree();

// What follows a finished patch run: the server window is loaded and shown, then the patch
// window is hidden for good.
class PatchHandOver {
  public:
    virtual ~PatchHandOver() = default;
    virtual void OpenServerWindow() = 0;
    virtual void HidePatchWindow() = 0;
};

class frmVtUpdate final : private PatchHost {
  public:
    // handOver may be null: the patch window then stays after its run. `patchKey`: the public
    // key of signed patches (PatchKeyFromText of the program's build constant); nothing for the
    // unsigned format.
    frmVtUpdate(ProgressView& view, Shell& shell, PatchHandOver* handOver = nullptr,
                std::optional<PatchPublicKey> patchKey = std::nullopt);

    // Makes the pool a run fetches its payloads over, with the connections the served profile
    // asks for (`[transfer] connections=`), from `sources` (autopatch/ folders, the built-in
    // host's first: the files' URLs lie below it).
    using MakeDownloader = std::function<std::unique_ptr<Downloader>(
        int connections, const std::vector<std::wstring>& sources)>;

    // The window's transfer object (InetDown) and the clock of its progress display. Without
    // them (tests of the window alone) the patch run fetches and stages nothing. Without
    // `makeDownloader` the payloads come over `inetDown`, one after the other.
    void UseTransfer(Transfer& inetDown, Clock& clock, MakeDownloader makeDownloader = {});

    // A keyed launcher updates itself: `launcherSerial` is this program's (VT_LAUNCHER_SERIAL),
    // `starter` starts the new launcher and hands over to it. Statements must be signed by the
    // root the accepted profile relies on.
    void UseSelfUpdate(uint64_t launcherSerial, selfupdate::ChildStarter& starter);
    // Runs at the first activation, before the patch run: a launcher started to take over
    // waits there, its window up, for the go of the one that started it.
    void UseStartGate(std::function<void()> gate) { startGate_ = std::move(gate); }

    // Event handlers; the window runs each inside the general error report.
    void Form_Load(const std::wstring& exeDirectory);  // the directory, without a backslash
    void Form_Activate();
    void cmdCancel_Click();
    void Image1_Click();

    bool PatchRunStarted() const { return patchRunStarted_; }

  private:
    void CreateDirectoryTree();
    void MakeStagingFolder();
    void RunPatch();
    // A signed patch's profile and signature into TempDir, from the first source that gives
    // them; `fresh`: asked past every cache, of the source that gave them.
    void FetchSignedProfile(bool fresh);
    DownloadResult FetchSignedProfileFrom(const std::wstring& base, bool fresh,
                                          std::wstring& failedPath, SizeBound& failedBound);
    // A key list's file by its hash, from the source that gave the profile, then the others
    // (an object: any source's copy with the right hash will do); nothing when every source
    // answers 404. Any other failure ends the run as a failed download.
    std::optional<std::string> FetchKeyList(const Sha256Digest& hash);
    void ClearTempDir();
    // What the version check and the set updates use of the window.
    void DownloadFile(const std::wstring& url, const std::wstring& directory,
                      const std::wstring& fileName, const std::wstring& userName,
                      const std::wstring& password, const SizeBound& bound) override;
    void FetchManifestObject(const BatchFile& file) override;
    void FetchPayloads(std::span<const BatchFile> files, BatchListener& listener) override;
    bool Keyed() const override { return patchKey_.has_value(); }
    void SetState(RunState state) override;
    [[noreturn]] void Fail(SetFault fault, const std::wstring& file) override;
    void ShowMessage(const std::wstring& text, const std::wstring& title,
                     MessageStyle style) override;
    void DoEvents() override;
    void BeforeChange() override;
    std::optional<P256PublicKey> StatementRoot() const override;
    uint64_t LauncherSerial() const override { return launcherSerial_; }
    bool UpdateLauncher(const format::LauncherStatement& statement) override;
    bool FetchLauncher(const format::LauncherStatement& statement, const std::wstring& staged);
    Downloader& Payloads();

    ProgressView& view_;
    Shell& shell_;
    PatchHandOver* handOver_;
    Transfer* inetDown_ = nullptr;
    Clock* clock_ = nullptr;
    MakeDownloader makeDownloader_;
    std::unique_ptr<Downloader> payloads_;  // made on first use, kept for the run's sets
    const std::optional<PatchPublicKey> patchKey_;
    // Where a signed patch's profile came from, and where its objects may come from.
    std::wstring profileSource_;
    std::vector<std::wstring> sources_;
    // The signed profile, accepted and not yet kept.
    std::optional<AcceptedProfile> accepted_;
    bool patchRunStarted_ = false;
    uint64_t launcherSerial_ = 0;
    selfupdate::ChildStarter* starter_ = nullptr;
    std::optional<P256PublicKey> statementRoot_;  // of the accepted profile
    std::function<void()> startGate_;
};

}  // namespace vt
