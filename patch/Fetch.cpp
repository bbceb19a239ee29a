#include "patch/Fetch.h"

#include <cmath>

#include "base/EndProgram.h"
#include "base/NumberText.h"
#include "patch/Refusal.h"
#include "patch/Texts.h"

namespace vt {
namespace {

// Whole kilobytes grouped by three, "1,025 KB"; the room needed is rounded up and the room
// free down, so the two never read the same when one is short.
std::wstring Kilobytes(double bytes, bool roundUp) {
    const double kb = roundUp ? std::ceil(bytes / 1024) : std::floor(bytes / 1024);
    constexpr double kLargest = 1e18;  // far past any disk; keeps the conversion defined
    return GroupedDigits(static_cast<uint64_t>(kb < kLargest ? kb : kLargest), 1) + L" KB";
}

// Told even for a payload, whose failures are otherwise silent: the player has to make room
// before a new run can succeed.
[[noreturn]] void EndWithoutRoom(MessageSink& sink, const DownloadResult& result,
                                 const std::wstring& path) {
    sink.ShowMessage(L"디스크 공간이 부족하여 파일을 받을 수 없습니다.\r\n\r\n파일: " + path +
                         L"\r\n필요한 공간: " + Kilobytes(result.roomNeeded, true) +
                         L"\r\n남은 공간: " +
                         Kilobytes(static_cast<double>(result.roomFree), false),
                     kUpgradeFailedTitle, MessageStyle::Plain);
    EndProgram();
}

}  // namespace

void EndFailedFetch(ProgressView& view, const DownloadResult& result, const std::wstring& path,
                    const SizeBound& bound) {
    if (result.outcome == DownloadOutcome::NoRoom) {
        EndWithoutRoom(view, result, path);
    }
    // Another length than a pinned bound's, or a body running past it: not the published file.
    if (result.outcome == DownloadOutcome::Damaged ||
        (bound.pinned && result.outcome == DownloadOutcome::TooLarge)) {
        Refuse(view, Refusal::DamagedFile, bound.shownName);
    }
    view.ShowMessage(kReconnectText, kUpgradeFailedTitle, MessageStyle::Plain);
    EndProgram();
}

void FetchFile(Transfer& transfer, ProgressView& view, Clock& clock, const std::wstring& url,
               const std::wstring& directory, const std::wstring& fileName,
               const std::wstring& userName, const std::wstring& password, const SizeBound& bound,
               const std::wstring& headers) {
    const DownloadResult result = DownloadFile(transfer, view, clock, url, directory, fileName,
                                               userName, password, bound, headers);
    if (!result.Stored()) {
        EndFailedFetch(view, result, directory + fileName, bound);
    }
}

bool FetchIfServed(Transfer& transfer, ProgressView& view, Clock& clock, const std::wstring& url,
                   const std::wstring& directory, const std::wstring& fileName,
                   const SizeBound& bound, const std::wstring& headers) {
    const DownloadResult result =
        DownloadFile(transfer, view, clock, url, directory, fileName, L"", L"", bound, headers);
    if (result.NotFound()) {
        return false;
    }
    if (!result.Stored()) {
        EndFailedFetch(view, result, directory + fileName, bound);
    }
    return true;
}

void FetchFileWithProgress(Transfer& transfer, ProgressView& view, Clock& clock,
                           const std::wstring& url, const std::wstring& directory,
                           const std::wstring& fileName, const std::wstring& userName,
                           const std::wstring& password, const Staging& staging) {
    view.SetCaption(ProgressLabel::lblState, kDownloadingState);
    const DownloadResult result = DownloadFileWithProgress(transfer, view, clock, url, directory,
                                                           fileName, userName, password, staging);
    if (!result.Stored()) {
        EndFailedPayload(view, {url, directory, fileName, staging.shownName, {}, staging.pin},
                         result);
    }
}

void EndFailedPayload(MessageSink& sink, const BatchFile& file, const DownloadResult& result) {
    const std::wstring& shown = file.shownName.empty() ? file.fileName : file.shownName;
    switch (result.outcome) {
        case DownloadOutcome::NoRoom:
            EndWithoutRoom(sink, result, file.directory + file.fileName);
        case DownloadOutcome::Damaged:
            Refuse(sink, Refusal::DamagedFile, shown);
        case DownloadOutcome::TooLarge:
            // Longer than its pin is not the published file; unsigned, it is only a failure.
            if (file.pin) {
                Refuse(sink, Refusal::DamagedFile, shown);
            }
            EndProgram();
        case DownloadOutcome::TooSlow:
            // Unlike the payload's other failures: the player can try again, or another time.
            sink.ShowMessage(kReconnectText, kUpgradeFailedTitle, MessageStyle::Plain);
            EndProgram();
        default:
            EndProgram();
    }
}

void EndSetRun(MessageSink& sink, SetFault fault, const std::wstring& file) {
    if (fault == SetFault::DamagedFile) {
        Refuse(sink, Refusal::DamagedFile, file);
    }
    sink.ShowMessage(kReconnectText, kUpgradeFailedTitle, MessageStyle::Plain);
    EndProgram();
}

}  // namespace vt
