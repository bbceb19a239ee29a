#include "patch/frmVtUpdate.h"

#include <array>

#include "app/AppError.h"
#include "app/EndProgram.h"
#include "app/FileSystem.h"
#include "app/ModGame.h"
#include "patch/CheckVersions.h"
#include "transfer/Download.h"

namespace vt {
namespace {

// Below AppDir, parents before children; AppDir itself comes first.
constexpr std::array<const wchar_t*, 8> kTree = {
    L"resource",
    L"resource\\sound",
    L"resource\\data",
    L"resource\\data\\card1",
    L"resource\\data\\card2",
    L"resource\\data\\card3",
    L"resource\\data\\card4",
    L"temp",
};

void EnsureDirectory(const std::wstring& path) {
    if (fs::IsDirectory(path)) {
        return;
    }
    if (fs::Exists(path)) {
        // A file in the way would make every later write below it fail far from the cause;
        // it may be the player's, so it is reported, not replaced.
        throw AppError(ErrorNumber::PathFileAccess,
                       L"디렉터리 대신 같은 이름의 파일이 있습니다: " + path);
    }
    if (!fs::CreateDir(path)) {
        throw AppError(ErrorNumber::PathFileAccess, L"디렉터리를 만들 수 없습니다: " + path);
    }
}

}  // namespace

frmVtUpdate::frmVtUpdate(PatchView& view, Shell& shell, PatchHandOver* handOver)
    : view_(view), shell_(shell), handOver_(handOver) {}

void frmVtUpdate::Form_Load(const std::wstring& exeDirectory) {
    SetPathStrings(exeDirectory);
    CreateDirectoryTree();
}

void frmVtUpdate::CreateDirectoryTree() {
    EnsureDirectory(AppDir.substr(0, AppDir.size() - 1));
    for (const wchar_t* relative : kTree) {
        EnsureDirectory(AppDir + relative);
    }
}

void frmVtUpdate::Form_Activate() {
    // The window is activated again whenever the player returns to it; the run happens once.
    if (patchRunStarted_) {
        return;
    }
    patchRunStarted_ = true;
    RunPatch();
}

void frmVtUpdate::UseTransfer(Transfer& inetDown, Clock& clock) {
    inetDown_ = &inetDown;
    clock_ = &clock;
}

void frmVtUpdate::DownloadFile(const std::wstring& url, const std::wstring& directory,
                               const std::wstring& fileName, const std::wstring& userName,
                               const std::wstring& password) {
    vt::DownloadFile(*inetDown_, view_, url, directory, fileName, userName, password);
}

void frmVtUpdate::DownloadFileWithProgress(const std::wstring& url, const std::wstring& directory,
                                           const std::wstring& fileName,
                                           const std::wstring& userName,
                                           const std::wstring& password) {
    vt::DownloadFileWithProgress(*inetDown_, view_, *clock_, url, directory, fileName, userName,
                                 password);
}

void frmVtUpdate::SetState(const std::wstring& text) {
    view_.SetCaption(PatchLabel::lblState, text);
}

void frmVtUpdate::ShowMessage(const std::wstring& text, const std::wstring& title,
                              MessageStyle style) {
    view_.ShowMessage(text, title, style);
}

void frmVtUpdate::DoEvents() {
    view_.DoEvents();
}

void frmVtUpdate::ClearTempDir() {
    if (!fs::DeleteFilesIn(TempDir)) {
        throw AppError(ErrorNumber::PathFileAccess,
                       L"임시 파일을 지울 수 없습니다: " + TempDir + L"*.*");
    }
    std::wstring withoutBackslash = AnsiLeft(TempDir, static_cast<int16_t>(AnsiLen(TempDir) - 1));
    if (!fs::RemoveDir(withoutBackslash)) {
        throw AppError(ErrorNumber::PathFileAccess,
                       L"임시 디렉터리를 지울 수 없습니다: " + withoutBackslash);
    }
}

void frmVtUpdate::RunPatch() {
    if (inetDown_ != nullptr) {
        DownloadFile(PatchBaseUrl + L"vtgame.ini", TempDir, L"vtgame.ini", L"", L"");
        CheckVersions(*this);
        ClearTempDir();
    }
    if (handOver_ != nullptr) {
        handOver_->OpenServerWindow();
        handOver_->HidePatchWindow();
    }
}

void frmVtUpdate::cmdCancel_Click() {
    EndProgram();
}

void frmVtUpdate::Image1_Click() {
    shell_.Open(VT_HOMEPAGE_URL, L"", L"");
}

}  // namespace vt
