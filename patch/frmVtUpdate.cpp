#include "patch/frmVtUpdate.h"

#include <chrono>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/Crypto.h"
#include "base/Directories.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "base/Log.h"
#include "base/ModGame.h"
#include "format/Digest.h"
#include "format/KeyList.h"
#include "format/Objects.h"
#include "format/Pins.h"
#include "format/Sets.h"
#include "patch/CheckVersions.h"
#include "patch/Fetch.h"
#include "patch/Mirrors.h"
#include "patch/Texts.h"
#include "sets/RecordJournal.h"
#include "transfer/Pool.h"

namespace vt {
namespace {

constexpr wchar_t kTempFolder[] = L"temp";

// Below AppDir, parents before children (the table lists each set's parent first); AppDir
// itself comes first.
std::vector<std::wstring> BuildTree() {
    std::vector<std::wstring> tree = {L"resource"};
    for (const format::PatchSet& set : format::PatchSets()) {
        tree.push_back(set.localFolder.substr(0, set.localFolder.size() - 1));
    }
    tree.push_back(kTempFolder);
    return tree;
}

}  // namespace

const std::vector<std::wstring>& InstallationTree() {
    static const std::vector<std::wstring> tree = BuildTree();
    return tree;
}

frmVtUpdate::frmVtUpdate(ProgressView& view, Shell& shell, PatchHandOver* handOver,
                         std::optional<PatchPublicKey> patchKey)
    : view_(view), shell_(shell), handOver_(handOver), patchKey_(patchKey) {}

void frmVtUpdate::Form_Load(const std::wstring& exeDirectory) {
    SetPathStrings(exeDirectory);
    CreateDirectoryTree();
}

void frmVtUpdate::CreateDirectoryTree() {
    EnsureDirectory(AppDir.substr(0, AppDir.size() - 1));
    for (const std::wstring& relative : InstallationTree()) {
        if (relative == kTempFolder) {
            MakeStagingFolder();
        } else {
            EnsureDirectory(AppDir + relative);
        }
    }
}

void frmVtUpdate::MakeStagingFolder() {
    // A temp that is a link (made by the player or a tool) is neither written into nor removed:
    // the end of a good run would empty whatever it points to. Staging moves beside it.
    // A link to nothing cannot be seen under Wine, only fail to be made.
    auto usable = [](const std::wstring& path) {
        return !fs::LeadsElsewhere(path) && (fs::Exists(path) || fs::CreateDir(path));
    };
    const std::wstring temp = AppDir + kTempFolder;
    if (usable(temp)) {
        EnsureDirectory(temp);  // a file in the way is reported, never replaced
        return;
    }
    constexpr int kTries = 100;
    for (int n = 1; n <= kTries; ++n) {
        const std::wstring beside = temp + L"." + std::to_wstring(n);
        if (usable(beside) && fs::IsDirectory(beside)) {
            TempDir = beside + L"\\";
            LogLine(temp + L" is a link, left alone; staging in " + beside);
            return;
        }
    }
    RaisePathFileAccess(temp);
}

void frmVtUpdate::Form_Activate() {
    // The window is activated again whenever the player returns to it; the run happens once.
    if (patchRunStarted_) {
        return;
    }
    patchRunStarted_ = true;
    if (startGate_) {
        startGate_();
    }
    RunPatch();
}

void frmVtUpdate::UseTransfer(Transfer& inetDown, Clock& clock, MakeDownloader makeDownloader) {
    inetDown_ = &inetDown;
    clock_ = &clock;
    makeDownloader_ = std::move(makeDownloader);
}

void frmVtUpdate::UseSelfUpdate(uint64_t launcherSerial, selfupdate::ChildStarter& starter) {
    launcherSerial_ = launcherSerial;
    starter_ = &starter;
}

void frmVtUpdate::DownloadFile(const std::wstring& url, const std::wstring& directory,
                               const std::wstring& fileName, const std::wstring& userName,
                               const std::wstring& password, const SizeBound& bound) {
    FetchFile(*inetDown_, view_, *clock_, url, directory, fileName, userName, password, bound);
}

namespace {

// A manifest in TempDir changes nothing of the installation.
class NothingToRecord final : public BatchListener {
  public:
    void Placed(std::size_t) override {}
};

}  // namespace

void frmVtUpdate::FetchManifestObject(const BatchFile& file) {
    NothingToRecord none;
    const BatchResult batch = Payloads().FetchAll(std::span(&file, 1), none);
    if (!batch.Stored()) {
        EndFailedFetch(view_, batch.result, file.directory + file.fileName,
                       SizeBound::Pinned(file.pin ? file.pin->size : 0, file.shownName));
    }
}

void frmVtUpdate::FetchPayloads(std::span<const BatchFile> files, BatchListener& listener) {
    // Staged in TempDir (the installation's volume, never an entry's place, removed after a
    // good run).
    view_.SetCaption(ProgressLabel::lblState, kDownloadingState);
    const BatchResult batch = Payloads().FetchAll(files, listener);
    if (!batch.Stored()) {
        EndFailedPayload(view_, files[batch.failed], batch.result);
    }
}

Downloader& frmVtUpdate::Payloads() {
    if (payloads_) {
        return *payloads_;
    }
    if (makeDownloader_) {
        // Older launchers ignore the section; a value out of range means the default.
        const int connections = ConnectionsSetting(
            ReadProfileBytes(L"transfer", L"connections", TempDir + L"vtgame.ini"));
        LogLine(L"payloads over " + std::to_wstring(connections) + L" connection(s)");
        payloads_ =
            makeDownloader_(connections, sources_.empty() ? std::vector{PatchBaseUrl} : sources_);
    } else {
        payloads_ = std::make_unique<InOrderDownloader>(*inetDown_, view_, *clock_);
    }
    return *payloads_;
}

void frmVtUpdate::SetState(RunState state) {
    view_.SetCaption(ProgressLabel::lblState, StateText(state));
}

void frmVtUpdate::Fail(SetFault fault, const std::wstring& file) {
    EndSetRun(view_, fault, file);
}

void frmVtUpdate::ShowMessage(const std::wstring& text, const std::wstring& title,
                              MessageStyle style) {
    view_.ShowMessage(text, title, style);
}

void frmVtUpdate::DoEvents() {
    view_.DoEvents();
}

void frmVtUpdate::BeforeChange() {
    if (accepted_) {
        KeepAccepted(*accepted_);
        accepted_.reset();
    }
}

std::optional<P256PublicKey> frmVtUpdate::StatementRoot() const {
    // The root the accepted profile relies on (the kept or rotated one, else the built-in key).
    return starter_ != nullptr ? statementRoot_ : std::nullopt;
}

bool frmVtUpdate::FetchLauncher(const format::LauncherStatement& statement,
                                const std::wstring& staged) {
    const Pin pin{statement.size, statement.sha256};
    const std::wstring name = staged.substr(staged.find_last_of(L'\\') + 1);
    const BatchFile file{ObjectUrl(pin),       TempDir,           name,
                         L"launcher\\" + name, staged + L".part", pin};
    NothingToRecord none;
    const BatchResult batch = Payloads().FetchAll(std::span(&file, 1), none);
    if (!batch.Stored()) {
        LogLine(L"the new launcher could not be fetched");
    }
    return batch.Stored();
}

bool frmVtUpdate::UpdateLauncher(const format::LauncherStatement& statement) {
    if (starter_ == nullptr) {
        return false;
    }
    selfupdate::DiskSwapFs disk;
    selfupdate::Swap swap(disk, AppDir, TempDir, launcherSerial_);
    const selfupdate::LauncherRef next{
        statement.serial, {statement.size, statement.sha256}, statement.game};
    BeforeChange();
    const selfupdate::SwapStep step = swap.Install(
        next, [&](const std::wstring& staged) { return FetchLauncher(statement, staged); });
    std::wstring why;
    const std::optional<selfupdate::Choice> choice =
        step == selfupdate::SwapStep::Done ? swap.Choose(why) : std::nullopt;
    if (!choice) {
        LogLine(L"the new launcher is not in place" + (why.empty() ? L"" : L": " + why));
        return false;
    }
    if (selfupdate::HandOver(swap, *starter_, *choice)) {
        EndProgram();  // the new launcher goes on; this one is done
    }
    return true;
}

void frmVtUpdate::ClearTempDir() {
    // Everything goes, folders and read-only files included, but a link inside is removed as
    // a link: what it points to lies outside the installation. A path, not profile text: it
    // must not pass through code page 949, which cannot hold every character an installation
    // folder may have.
    const std::wstring withoutBackslash = TempDir.substr(0, TempDir.size() - 1);
    if (!fs::RemoveTree(withoutBackslash)) {
        throw AppError(ErrorNumber::PathFileAccess,
                       L"임시 디렉터리를 지울 수 없습니다: " + withoutBackslash);
    }
}

DownloadResult frmVtUpdate::FetchSignedProfileFrom(const std::wstring& base, bool fresh,
                                                   std::wstring& failedPath,
                                                   SizeBound& failedBound) {
    // Past every cache: a query no cache has seen (ours changes with each try), and the header
    // for caches that honour it.
    const std::wstring query =
        fresh ? L"?fresh=" + std::to_wstring(std::chrono::system_clock::now().time_since_epoch() /
                                             std::chrono::milliseconds(1))
              : L"";
    const std::wstring headers = fresh ? L"Cache-Control: no-cache\r\n" : L"";
    const std::wstring name = FromUtf8(format::kSignedProfileName);
    // Longer is refused before it is read; shorter, the signature check refuses.
    const struct {
        std::wstring name;
        SizeBound bound;
    } files[] = {
        {name, SizeBound::AtMost(format::kSignatureBytes + format::kProfileMostBytes)},
        {L"vtgame.ini", SizeBound::AtMost(format::kProfileMostBytes)},
        {L"vtgame.ini.sig", SizeBound::AtMost(format::kSignatureBytes)},
    };
    for (const auto& file : files) {
        const DownloadResult result =
            vt::DownloadFile(*inetDown_, view_, *clock_, base + file.name + query, TempDir,
                             file.name, L"", L"", file.bound, headers);
        if (file.name == name && result.Stored()) {
            StageSignedProfile();
            return result;
        }
        if (file.name == name && result.NotFound()) {
            // Published before the single file: the pair, which a cache may hand out from two
            // publishes.
            LogLine(L"no vtgame.signed at " + base + L"; fetching vtgame.ini and vtgame.ini.sig");
            continue;
        }
        if (!result.Stored()) {
            failedPath = TempDir + file.name;
            failedBound = file.bound;
            return result;
        }
    }
    return {};
}

void frmVtUpdate::FetchSignedProfile(bool fresh) {
    const std::vector<std::wstring> sources =
        fresh ? std::vector<std::wstring>{profileSource_} : KeptSources();
    DownloadResult failed;
    std::wstring failedPath;
    SizeBound failedBound;
    for (const std::wstring& base : sources) {
        if (!failed.Stored()) {
            LogLine(L"asking the mirror " + base + L" for the signed profile");
        }
        failed = FetchSignedProfileFrom(base, fresh, failedPath, failedBound);
        if (failed.Stored()) {
            profileSource_ = base;
            return;
        }
    }
    EndFailedFetch(view_, failed, failedPath, failedBound);
}

std::optional<std::string> frmVtUpdate::FetchKeyList(const Sha256Digest& hash) {
    std::vector<std::wstring> sources{profileSource_};
    for (const std::wstring& base : ServedSources()) {
        if (base != profileSource_) {
            sources.push_back(base);
        }
    }
    const std::wstring name = FromUtf8(format::KeyListPath(hash));
    const std::wstring staged = FromUtf8(DigestHex(hash)) + L".list";
    const SizeBound bound = SizeBound::AtMost(format::kKeyListMostBytes);
    std::optional<std::string> wrong;
    DownloadResult failed;
    failed.outcome = DownloadOutcome::HttpStatus;
    failed.httpStatus = 404;
    for (const std::wstring& base : sources) {
        const DownloadResult result = vt::DownloadFile(*inetDown_, view_, *clock_, base + name,
                                                       TempDir, staged, L"", L"", bound, L"");
        if (!result.Stored()) {
            if (!result.NotFound()) {
                failed = result;
            }
            continue;
        }
        std::optional<std::string> bytes = fs::ReadWholeFile(TempDir + staged);
        fs::DeleteFile(TempDir + staged);
        if (bytes && Sha256OfText(*bytes) == hash) {
            return bytes;
        }
        LogLine(L"the key list " + base + name + L" has other bytes than its name; trying on");
        wrong = bytes;
    }
    if (wrong) {
        return wrong;  // for the check to refuse, naming why
    }
    if (!failed.NotFound()) {
        EndFailedFetch(view_, failed, TempDir + staged, bound);
    }
    return std::nullopt;
}

void frmVtUpdate::RunPatch() {
    if (inetDown_ != nullptr) {
        // Records a killed run left in a journal count before any version is compared.
        FoldLeftoverJournals();
        if (patchKey_) {
            FetchSignedProfile(false);
            const auto now = std::chrono::system_clock::now().time_since_epoch();
            accepted_ = AcceptSignedProfile(
                *this, *patchKey_, std::chrono::duration_cast<std::chrono::seconds>(now).count(),
                [this] { FetchSignedProfile(true); },
                [this](const Sha256Digest& hash) { return FetchKeyList(hash); });
            statementRoot_ = accepted_->root;
            sources_ = ServedSources();
        } else {
            DownloadFile(PatchBaseUrl + L"vtgame.ini", TempDir, L"vtgame.ini", L"", L"",
                         SizeBound::AtMost(format::kProfileMostBytes));
        }
        CheckVersions(*this);
        BeforeChange();  // a publish that changed nothing still raises the serial
        ClearTempDir();
    }
    if (handOver_ != nullptr) {
        handOver_->OpenServerWindow();
        handOver_->HidePatchWindow();
    }
}

void frmVtUpdate::cmdCancel_Click() {
    LogLine(L"cancelled by the player");
    EndProgram();
}

void frmVtUpdate::Image1_Click() {
    shell_.Open(VT_HOMEPAGE_URL, L"", L"");
}

}  // namespace vt
