#include "patch/frmVtUpdate.h"

#include <array>

#include "app/AppError.h"
#include "app/EndProgram.h"
#include "app/FileSystem.h"
#include "app/ModGame.h"

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

void frmVtUpdate::RunPatch() {
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
