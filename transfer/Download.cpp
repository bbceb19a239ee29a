#include "transfer/Download.h"

#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "base/AppError.h"
#include "base/Crypto.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "base/Log.h"
#include "base/NumberText.h"
#include "base/Refusal.h"
#include "base/Texts.h"
#include "transfer/HashPipe.h"
#include "transfer/HttpHead.h"
#include "transfer/RequestLog.h"

namespace vt {
namespace {

// Large reads keep the transfer fast; the display still counts 1024-byte chunks.
constexpr size_t kReadBlock = 1024 * 1024;
constexpr int64_t kChunkBytes = 1024;
constexpr double kRedrawInterval = 1.0 / 30;
// Room kept beyond the file itself: its last cluster, and the manifest rewritten beside it
// once the file has arrived.
constexpr uint64_t kSpaceMargin = 1024 * 1024;

[[noreturn]] void Fail(ProgressView& view, bool tellUser) {
    if (tellUser) {
        view.ShowMessage(kReconnectText, kUpgradeFailedTitle, MessageStyle::Plain);
    }
    EndProgram();
}

[[noreturn]] void RaiseFileAccess(const std::wstring& path) {
    throw AppError(ErrorNumber::PathFileAccess, L"경로/파일 액세스 오류입니다. (" + path + L")");
}

std::wstring Kilobytes(double bytes, bool roundUp);

// A body that cannot fit is refused before anything is written: a full disk would fail the
// next write of every program, not only ours. Told even by the silent download, since the
// player has to make room before a new run can succeed.
void RefuseWithoutRoom(ProgressView& view, const std::wstring& directory,
                       const std::wstring& fileName, double announced) {
    const std::optional<uint64_t> free = fs::FreeSpace(directory);
    const double needed = announced + static_cast<double>(kSpaceMargin);
    if (!free || needed <= static_cast<double>(*free)) {
        return;  // enough room, or a volume that cannot tell: the writes will say
    }
    view.ShowMessage(L"디스크 공간이 부족하여 파일을 받을 수 없습니다.\r\n\r\n파일: " + directory +
                         fileName + L"\r\n필요한 공간: " + Kilobytes(needed, true) +
                         L"\r\n남은 공간: " + Kilobytes(static_cast<double>(*free), false),
                     kUpgradeFailedTitle, MessageStyle::Plain);
    EndProgram();
}

// The plain download's files are TempDir copies of the server's profiles and manifests; a
// payload is never deleted, only replaced (PlaceStaged).
void DeleteEarlierCopy(const std::wstring& target) {
    if (fs::IsOrdinaryFile(target) && !fs::DeleteFile(target)) {
        RaiseFileAccess(target);
    }
}

void StartAndWait(Transfer& transfer, ProgressView& view, const std::wstring& url,
                  const std::wstring& userName, const std::wstring& password) {
    transfer.SetURL(url);
    transfer.SetUserName(userName);
    transfer.SetPassword(password);
    transfer.Execute(L"GET");
    while (transfer.StillExecuting()) {
        transfer.WaitForActivity();
        view.DoEvents();
    }
}

// Called after every write with the bytes written so far, and once more when the body is
// complete (last = true).
using ProgressFn = std::function<void(int64_t bytes, bool last)>;

// Stores the body at `target`. False when the transfer failed or the body's length differs
// from the announced one; the partial file is then gone.
bool ReceiveBody(Transfer& transfer, const std::wstring& target, double announced,
                 const ProgressFn& progress) {
    auto file = fs::CreateOutputFile(target);
    if (!file) {
        RaiseFileAccess(target);
    }
    // Only used by transfers that cannot lend their own memory; left untouched otherwise.
    auto scratch = std::make_unique_for_overwrite<std::byte[]>(kReadBlock);
    int64_t written = 0;
    bool tooLong = false;
    try {
        for (;;) {
            std::span<const std::byte> piece = transfer.ReadChunk({scratch.get(), kReadBlock});
            size_t n = piece.size();
            if (n == 0) {
                break;
            }
            if (!file->Write(piece)) {
                RaiseFileAccess(target);
            }
            written += static_cast<int64_t>(n);
            if (static_cast<double>(written) > announced) {
                // More than the server announced: not the file it described.
                tooLong = true;
                break;
            }
            if (progress) {
                progress(written, false);
            }
        }
    } catch (const AppError&) {
        file.reset();
        fs::DeleteFile(target);
        throw;
    }
    file.reset();
    if (tooLong || transfer.ResponseCode() != 0 || static_cast<double>(written) != announced) {
        fs::DeleteFile(target);
        return false;
    }
    if (progress) {
        progress(written, true);
    }
    return true;
}

enum class Received { Whole, Incomplete, TooLong };

// Writes the body to `part` (after its bytes when `append`), feeding `hash` as it goes, and
// never past the announced length: the bytes beyond it are not the file the server described.
Received ReceiveStaged(Transfer& transfer, const std::wstring& part, bool append, double announced,
                       Sha256* hash, const ProgressFn& progress) {
    auto file = append ? fs::OpenForAppend(part) : fs::CreateOutputFile(part);
    if (!file) {
        RaiseFileAccess(part);
    }
    auto scratch = std::make_unique_for_overwrite<std::byte[]>(kReadBlock);
    int64_t written = 0;
    bool tooLong = false;
    std::optional<HashPipe> hashing;
    if (hash != nullptr) {
        hashing.emplace(*hash);
    }
    try {
        for (;;) {
            std::span<const std::byte> piece = transfer.ReadChunk({scratch.get(), kReadBlock});
            if (piece.empty()) {
                break;
            }
            const double room = announced - static_cast<double>(written);
            if (static_cast<double>(piece.size()) > room) {
                tooLong = true;
                break;
            }
            if (!file->Write(piece)) {
                RaiseFileAccess(part);
            }
            if (hashing) {
                hashing->Update(piece);
            }
            written += static_cast<int64_t>(piece.size());
            if (progress) {
                progress(written, false);
            }
        }
        if (hashing) {
            hashing->Finish();
        }
        if (!tooLong && transfer.ResponseCode() == 0 && static_cast<double>(written) == announced &&
            !file->Flush()) {
            RaiseFileAccess(part);
        }
    } catch (const AppError&) {
        file.reset();
        fs::DeleteFile(part);
        throw;
    }
    file.reset();
    if (tooLong) {
        return Received::TooLong;
    }
    if (transfer.ResponseCode() != 0 || static_cast<double>(written) != announced) {
        return Received::Incomplete;
    }
    if (progress) {
        progress(written, true);
    }
    return Received::Whole;
}

bool HashFile(const std::wstring& path, Sha256& hash) {
    auto buffer = std::make_unique_for_overwrite<std::byte[]>(kReadBlock);
    return fs::ReadInBlocks(path, {buffer.get(), kReadBlock},
                            [&](std::span<const std::byte> piece) { hash.Update(piece); });
}

// The one step that changes the installed file: a rename over it, flushed.
void PlaceStaged(const std::wstring& part, const std::wstring& target, const Staging& staging) {
    if (staging.beforePlace) {
        staging.beforePlace();
    }
    if (!fs::ReplaceFile(part, target)) {
        RaiseFileAccess(target);
    }
}

std::wstring GroupedDigits(uint64_t value, size_t minDigits) {
    std::wstring digits = std::to_wstring(value);
    if (digits.size() < minDigits) {
        digits.insert(0, minDigits - digits.size(), L'0');
    }
    std::wstring out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            out += L',';
        }
        out += digits[i];
    }
    return out;
}

// The number format "0,0": halves away from zero, at least two digits, grouped by three.
std::wstring FormatZeroCommaZero(double value) {
    double rounded = std::round(value);
    std::wstring sign = rounded < 0 ? L"-" : L"";
    return sign + GroupedDigits(static_cast<uint64_t>(std::fabs(rounded)), 2);
}

// Whole kilobytes grouped by three, "1,025 KB"; the room needed is rounded up and the room
// free down, so the two never read the same when one is short.
std::wstring Kilobytes(double bytes, bool roundUp) {
    const double kb = roundUp ? std::ceil(bytes / 1024) : std::floor(bytes / 1024);
    constexpr double kLargest = 1e18;  // far past any disk; keeps the conversion defined
    return GroupedDigits(static_cast<uint64_t>(kb < kLargest ? kb : kLargest), 1) + L" KB";
}

}  // namespace

bool HeadSaysOk(const std::wstring& head) {
    return StatusCodeText(head) == L"200";
}

bool ContinuesAt(std::wstring_view contentRange, uint64_t have, uint64_t total) {
    return total > have && contentRange == L"bytes " + std::to_wstring(have) + L"-" +
                                               std::to_wstring(total - 1) + L"/" +
                                               std::to_wstring(total);
}

int32_t SizeInKilobytes(double contentLength) {
    int32_t size = ToInt32Bankers(contentLength / 1024);
    return size == 0 ? 1 : size;
}

int32_t ChunkCounter(int64_t bytes, int32_t sizeKb) {
    int64_t chunks = (bytes + kChunkBytes - 1) / kChunkBytes;
    return static_cast<int32_t>(chunks > sizeKb ? sizeKb : chunks);
}

ProgressFigures ComputeProgress(int32_t counter, int32_t sizeKb, int32_t elapsed) {
    ProgressFigures f;
    f.time = std::to_wstring(elapsed) + L" 초";
    f.speed = elapsed == 0 ? std::wstring(L"0 KB/S")
                           : FormatZeroCommaZero(static_cast<double>(counter) / elapsed) + L" KB/S";
    double fraction = static_cast<double>(counter) / sizeKb;
    f.percent = std::to_wstring(static_cast<long long>(std::round(fraction * 100))) + L"%";
    f.barWidth = static_cast<float>(fraction * 200 + 1);
    return f;
}

void DownloadFile(Transfer& transfer, ProgressView& view, const std::wstring& url,
                  const std::wstring& directory, const std::wstring& fileName,
                  const std::wstring& userName, const std::wstring& password) {
    const std::wstring target = directory + fileName;
    DeleteEarlierCopy(target);
    RequestLog request(url);
    transfer.SetRequestHeaders({});
    StartAndWait(transfer, view, url, userName, password);
    const std::wstring head = transfer.GetHeader();
    request.SawHead(head);
    if (!HeadSaysOk(head)) {
        request.Done(L"refused: not 200");
        Fail(view, true);
    }
    const std::wstring length = transfer.GetHeader(L"Content-Length");
    request.SawLength(length);
    double announced = Val(length);
    if (announced == 0 || transfer.ResponseCode() != 0) {
        request.Done(L"refused: no length or transfer error " +
                     std::to_wstring(transfer.ResponseCode()));
        Fail(view, true);
    }
    RefuseWithoutRoom(view, directory, fileName, announced);
    if (!ReceiveBody(transfer, target, announced, {})) {
        request.Done(L"failed: body incomplete or transfer error " +
                     std::to_wstring(transfer.ResponseCode()));
        Fail(view, true);
    }
    request.Done(L"stored");
}

void DownloadFileWithProgress(Transfer& transfer, ProgressView& view, Clock& clock,
                              const std::wstring& url, const std::wstring& directory,
                              const std::wstring& fileName, const std::wstring& userName,
                              const std::wstring& password, const Staging& staging) {
    const std::wstring target = directory + fileName;
    const std::wstring part = staging.path.empty() ? fs::TempNameBeside(target) : staging.path;
    const std::wstring shown = staging.shownName.empty() ? fileName : staging.shownName;
    const std::optional<Pin>& pin = staging.pin;
    view.SetCaption(ProgressLabel::lblState, kDownloadingState);
    const int32_t start = ToInt32Bankers(clock.Seconds());

    // Only a part staged for the same pinned content is worth continuing; without a pin the
    // staging file is always written from its first byte.
    uint64_t have = 0;
    if (pin) {
        const int64_t staged = fs::GetStamp(part).size;
        if (staged > 0 && static_cast<uint64_t>(staged) <= pin->size) {
            have = static_cast<uint64_t>(staged);
        } else if (staged >= 0) {
            fs::DeleteFile(part);
        }
        if (have == pin->size) {
            // A run ended between the last byte and the rename: the hash decides.
            Sha256 hash;
            if (HashFile(part, hash) && hash.Final() == pin->sha256) {
                view.SetCaption(ProgressLabel::Lblname, fileName);
                PlaceStaged(part, target, staging);
                LogLine(L"placed the staged " + shown);
                return;
            }
            fs::DeleteFile(part);
            have = 0;
        }
    }

    RequestLog request(url);
    transfer.SetRequestHeaders(have > 0 ? L"Range: bytes=" + std::to_wstring(have) + L"-\r\n"
                                        : std::wstring());
    StartAndWait(transfer, view, url, userName, password);
    const std::wstring head = transfer.GetHeader();
    request.SawHead(head);
    const std::wstring_view status = StatusCodeText(head);
    const bool resumed = have > 0 && status == L"206";
    if (resumed) {
        // Taken only as exactly the rest of the pinned file; a later run starts afresh.
        if (!ContinuesAt(transfer.GetHeader(L"Content-Range"), have, pin->size) ||
            Val(transfer.GetHeader(L"Content-Length")) != static_cast<double>(pin->size - have)) {
            request.Done(L"refused: range does not continue the staged part");
            fs::DeleteFile(part);
            Fail(view, false);
        }
    } else if (status != L"200") {
        request.Done(L"refused: not 200");
        Fail(view, false);
    }
    const std::wstring length = transfer.GetHeader(L"Content-Length");
    request.SawLength(length);
    double announced = Val(length);
    if (announced == 0) {
        request.Done(L"refused: no length");
        Fail(view, false);
    }
    if (pin && !resumed && announced != static_cast<double>(pin->size)) {
        request.Done(L"refused: length differs from the pin");
        Refuse(view, Refusal::DamagedFile, shown);
    }
    RefuseWithoutRoom(view, directory, fileName, announced);
    const uint64_t offset = resumed ? have : 0;
    const double whole = announced + static_cast<double>(offset);
    const int32_t sizeKb = SizeInKilobytes(whole);
    view.SetCaption(ProgressLabel::Lblname, fileName);
    if (transfer.ResponseCode() != 0) {
        request.Done(L"failed: transfer error " + std::to_wstring(transfer.ResponseCode()));
        Fail(view, false);
    }

    bool drawn = false;
    double lastDraw = 0;
    auto show = [&](int64_t bytes, bool last) {
        double now = clock.Seconds();
        // Redraws are coalesced; the first and the final values are always shown.
        if (drawn && !last && now - lastDraw < kRedrawInterval) {
            return;
        }
        drawn = true;
        lastDraw = now;
        ProgressFigures f =
            ComputeProgress(ChunkCounter(bytes + static_cast<int64_t>(offset), sizeKb), sizeKb,
                            ToInt32Bankers(now) - start);
        view.SetCaption(ProgressLabel::LblFileTime, f.time);
        view.SetCaption(ProgressLabel::LblFilebps, f.speed);
        view.SetCaption(ProgressLabel::LblFilePecent, f.percent);
        view.SetProgressWidth(f.barWidth);
    };

    Sha256 hash;
    if (resumed && !HashFile(part, hash)) {
        RaiseFileAccess(part);
    }
    const Received got =
        ReceiveStaged(transfer, part, resumed, announced, pin ? &hash : nullptr, show);
    if (got == Received::Incomplete) {
        // A signed patch keeps the part for the next run to continue; an unsigned one cannot
        // tell a part worth continuing.
        if (!pin) {
            fs::DeleteFile(part);
        }
        request.Done(L"failed: body incomplete or transfer error " +
                     std::to_wstring(transfer.ResponseCode()));
        Fail(view, false);
    }
    if (got == Received::TooLong) {
        fs::DeleteFile(part);
        request.Done(L"failed: body longer than announced");
        if (pin) {
            Refuse(view, Refusal::DamagedFile, shown);
        }
        Fail(view, false);
    }
    if (pin && hash.Final() != pin->sha256) {
        fs::DeleteFile(part);  // the next run starts clean
        request.Done(L"refused: SHA-256 differs from the pin");
        Refuse(view, Refusal::DamagedFile, shown);
    }
    PlaceStaged(part, target, staging);
    request.Done(L"stored");
}

}  // namespace vt
