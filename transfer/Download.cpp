#include "transfer/Download.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>

#include "base/AppError.h"
#include "base/Crypto.h"
#include "base/FileSystem.h"
#include "base/Log.h"
#include "base/NumberText.h"
#include "transfer/EarlyFlush.h"
#include "transfer/HashPipe.h"
#include "transfer/HttpHead.h"
#include "transfer/RequestLog.h"
#include "transfer/SlowAnswer.h"

namespace vt {
namespace {

// Large reads keep the transfer fast; the display still counts 1024-byte chunks.
constexpr size_t kReadBlock = 1024 * 1024;
constexpr int64_t kChunkBytes = 1024;
constexpr double kRedrawInterval = 1.0 / 30;
// Room kept beyond the file itself: its last cluster, and the manifest rewritten beside it
// once the file has arrived.
constexpr uint64_t kSpaceMargin = 1024 * 1024;
// Bytes between the flushes made while a large body arrives (transfer/EarlyFlush.h).
constexpr uint64_t kFlushStep = 32 * 1024 * 1024;

DownloadResult Outcome(DownloadOutcome outcome) {
    return {outcome};
}

// A transfer error, told apart where the transfer says why.
DownloadResult TransferFailure(int32_t code, DownloadOutcome otherwise) {
    DownloadOutcome outcome = otherwise;
    if (code == kTransferTimedOut) {
        outcome = DownloadOutcome::Stalled;
    } else if (code == kTransferCancelled) {
        outcome = DownloadOutcome::Cancelled;
    }
    return {outcome, code};
}

// A body that cannot fit is refused before anything is written: a full disk would fail the
// next write of every program, not only ours.
std::optional<DownloadResult> NoRoomFor(const std::wstring& directory, double announced) {
    const std::optional<uint64_t> free = fs::FreeSpace(directory);
    const double needed = announced + static_cast<double>(kSpaceMargin);
    if (!free || needed <= static_cast<double>(*free)) {
        return std::nullopt;  // enough room, or a volume that cannot tell: the writes will say
    }
    return DownloadResult{DownloadOutcome::NoRoom, 0, needed, *free};
}

// The plain download's files are TempDir copies of the server's profiles and manifests; a
// payload is never deleted, only replaced (PlaceStaged).
void DeleteEarlierCopy(const std::wstring& target) {
    if (fs::IsOrdinaryFile(target) && !fs::DeleteFile(target)) {
        RaisePathFileAccess(target);
    }
}

// What a request waits with: the window's messages are handled and the rule for slow answers
// is timed by the clock.
struct Waiting {
    Transfer& transfer;
    ProgressView& view;
    Clock& clock;
    const std::wstring& url;
    AnswerWatch watch;
    JobSlot* job = nullptr;  // a pooled payload's: the job may give the request up

    Waiting(Transfer& t, ProgressView& v, Clock& c, const std::wstring& u)
        : transfer(t), view(v), clock(c), url(u), watch(t.Patience(), c.Seconds()) {}

    // Waits once for the transfer, up to the rule's deadline (or the job's). False once the
    // request has been abandoned: the rule tripped (the limit logged) or the job gave it up.
    bool Wait() {
        const double now = clock.Seconds();
        if (const SlowAnswer slow = watch.Tripped(now); slow != SlowAnswer::None) {
            transfer.Abandon();
            LogLine(DescribeSlowAnswer(slow, transfer.Patience()) + L": " + url);
            return false;
        }
        double until = watch.Deadline();
        if (job != nullptr) {
            const SourceVerdict verdict = job->Standing(now);
            if (verdict.givenUp) {
                transfer.Abandon();
                return false;
            }
            until = std::min(until, verdict.until);
        }
        const double left = std::ceil((until - now) * 1000);
        transfer.WaitForActivity(std::chrono::milliseconds(std::max(1LL, std::llround(left))));
        view.DoEvents();
        return true;
    }
};

// Starts the request and waits for the head; false when none came in time.
bool StartAndWait(Waiting& waiting, const std::wstring& userName, const std::wstring& password) {
    Transfer& transfer = waiting.transfer;
    transfer.SetURL(waiting.url);
    transfer.SetUserName(userName);
    transfer.SetPassword(password);
    transfer.Execute(L"GET");
    while (transfer.StillExecuting()) {
        if (!waiting.Wait()) {
            return false;
        }
    }
    waiting.watch.HeadArrived(waiting.clock.Seconds());
    return true;
}

// The next piece of the body (empty at its end); nothing when the answer became too slow.
std::optional<std::span<const std::byte>> NextPiece(Waiting& waiting,
                                                    std::span<std::byte> scratch) {
    for (;;) {
        if (std::optional<std::span<const std::byte>> piece =
                waiting.transfer.TryReadChunk(scratch)) {
            if (!piece->empty()) {
                waiting.watch.Arrived(piece->size(), waiting.clock.Seconds());
            }
            return piece;
        }
        if (!waiting.Wait()) {
            return std::nullopt;
        }
    }
}

// Called after every write with the bytes written so far, and once more when the body is
// complete (last = true).
using ProgressFn = std::function<void(int64_t bytes, bool last)>;

// Where a body goes: `path` (after the bytes it holds when `append`), `announced` bytes of it.
struct BodyFile {
    const std::wstring& path;
    bool append = false;
    double announced = 0;
    Sha256* hash = nullptr;  // fed with every byte written, when set
};

enum class Received { Whole, Incomplete, TooLong, TooSlow };

struct Copied {
    Received how = Received::Whole;  // Whole: the body ended, whatever its length
    int64_t written = 0;
};

// Copies the body into `file` until it ends, feeding `hashing` as it goes. It never writes past
// the announced length (the bytes beyond it are not the file the server described): TooLong
// when the body would run past it.
Copied CopyBody(Waiting& waiting, fs::OutputFile& file, const BodyFile& body, HashPipe* hashing,
                EarlyFlush& flushing, const ProgressFn& progress) {
    // Only used by transfers that cannot lend their own memory; left untouched otherwise.
    auto scratch = std::make_unique_for_overwrite<std::byte[]>(kReadBlock);
    int64_t written = 0;
    for (;;) {
        const std::optional<std::span<const std::byte>> next =
            NextPiece(waiting, {scratch.get(), kReadBlock});
        if (!next) {
            return {Received::TooSlow, written};
        }
        const std::span<const std::byte> piece = *next;
        if (piece.empty()) {
            return {Received::Whole, written};
        }
        if (static_cast<double>(piece.size()) > body.announced - static_cast<double>(written)) {
            return {Received::TooLong, written};
        }
        if (!file.Write(piece)) {
            RaisePathFileAccess(body.path);
        }
        if (hashing != nullptr) {
            hashing->Update(piece);
        }
        written += static_cast<int64_t>(piece.size());
        flushing.Written(static_cast<uint64_t>(written));
        if (progress) {
            progress(written, false);
        }
    }
}

// The one receive loop of both downloads: the body into its file, flushed once it is whole. A
// file error removes the file and is raised; otherwise the caller settles what is left.
Received ReceiveBody(Waiting& waiting, const BodyFile& body, const ProgressFn& progress) {
    Transfer& transfer = waiting.transfer;
    auto file = body.append ? fs::OpenForAppend(body.path) : fs::CreateOutputFile(body.path);
    if (!file) {
        RaisePathFileAccess(body.path);
    }
    std::optional<HashPipe> hashing;
    if (body.hash != nullptr) {
        hashing.emplace(*body.hash);
    }
    Copied copied;
    try {
        std::optional<EarlyFlush> flushing(std::in_place, *file, kFlushStep);
        copied = CopyBody(waiting, *file, body, hashing ? &*hashing : nullptr, *flushing, progress);
        flushing.reset();  // the last flush is the one that reports
        if (hashing) {
            hashing->Finish();
        }
        if (copied.how == Received::Whole && transfer.ResponseCode() == 0 &&
            static_cast<double>(copied.written) == body.announced && !file->Flush()) {
            RaisePathFileAccess(body.path);
        }
    } catch (const AppError&) {
        file.reset();
        fs::DeleteFile(body.path);
        throw;
    }
    file.reset();
    if (copied.how != Received::Whole) {
        return copied.how;
    }
    if (transfer.ResponseCode() != 0 || static_cast<double>(copied.written) != body.announced) {
        return Received::Incomplete;
    }
    if (progress) {
        progress(copied.written, true);
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
        RaisePathFileAccess(target);
    }
}

// The number format "0,0": halves away from zero, at least two digits, grouped by three.
std::wstring FormatZeroCommaZero(double value) {
    double rounded = std::round(value);
    std::wstring sign = rounded < 0 ? L"-" : L"";
    return sign + GroupedDigits(static_cast<uint64_t>(std::fabs(rounded)), 2);
}

// One payload download: what it was asked for and what it has learnt so far.
struct Payload {
    Transfer& transfer;
    ProgressView& view;
    Clock& clock;
    const std::wstring& directory;
    const std::wstring& fileName;
    const Staging& staging;
    std::wstring target;
    std::wstring part;
    int32_t start = 0;     // whole seconds at the start, for the elapsed time
    uint64_t have = 0;     // bytes of a pinned part an earlier run left
    bool resumed = false;  // the answer continues that part
    double announced = 0;  // bytes the answer carries
};

// A folder where the staging file goes (left by hand, or by a tool) would fail every run at
// the same name; it holds nothing of ours, so it goes, links inside removed as links.
void ClearFolderAtPart(const std::wstring& part) {
    if (!fs::IsDirectory(part)) {
        return;
    }
    if (!fs::RemoveTree(part)) {
        RaisePathFileAccess(part);
    }
    LogLine(L"removed a folder in place of the staging file " + part);
}

// Only a part staged for the same pinned content is worth continuing; without a pin the
// staging file is always written from its first byte. True when the part is the whole file
// and has been placed.
bool ContinueStagedPart(Payload& p) {
    const Pin& pin = *p.staging.pin;
    const int64_t staged = fs::GetStamp(p.part).size;
    if (staged > 0 && static_cast<uint64_t>(staged) <= pin.size) {
        p.have = static_cast<uint64_t>(staged);
    } else if (staged >= 0) {
        fs::DeleteFile(p.part);
    }
    if (p.have != pin.size) {
        return false;
    }
    // A run ended between the last byte and the rename: the hash decides.
    Sha256 hash;
    if (HashFile(p.part, hash) && hash.Final() == pin.sha256) {
        p.view.SetCaption(ProgressLabel::Lblname, p.fileName);
        PlaceStaged(p.part, p.target, p.staging);
        return true;
    }
    fs::DeleteFile(p.part);
    p.have = 0;
    return false;
}

// A request that failed before any head (a reset, a refused connection): the connection's
// failure, which a caller may try again, not a status the server gave.
std::optional<DownloadResult> FailedBeforeHead(Transfer& transfer, const std::wstring& head,
                                               RequestLog& request) {
    const int32_t code = head.empty() ? transfer.ResponseCode() : 0;
    if (code == 0) {
        return std::nullopt;
    }
    request.Done(L"failed: transfer error " + std::to_wstring(code));
    return TransferFailure(code, DownloadOutcome::TransferError);
}

// An answer that is neither 200 nor a usable 206, with what a caller that tries again needs.
DownloadResult Refused(Transfer& transfer, std::wstring_view status) {
    DownloadResult result = Outcome(DownloadOutcome::HttpStatus);
    result.httpStatus = static_cast<int32_t>(Val(std::wstring(status)));
    result.retryAfter = std::max(0.0, Val(transfer.GetHeader(L"Retry-After")));
    return result;
}

// Reads the answer's head: a 200, or a 206 that is exactly the rest of the staged part, with a
// length that the pin and the disk allow. Nothing when the body may be received.
std::optional<DownloadResult> CheckAnswer(Payload& p, RequestLog& request) {
    const std::optional<Pin>& pin = p.staging.pin;
    const std::wstring head = p.transfer.GetHeader();
    request.SawHead(head);
    if (std::optional<DownloadResult> failed = FailedBeforeHead(p.transfer, head, request)) {
        return failed;
    }
    const std::wstring_view status = StatusCodeText(head);
    p.resumed = p.have > 0 && status == L"206";
    if (p.resumed) {
        // Taken only as exactly the rest of the pinned file; a later run starts afresh.
        if (!ContinuesAt(p.transfer.GetHeader(L"Content-Range"), p.have, pin->size) ||
            Val(p.transfer.GetHeader(L"Content-Length")) !=
                static_cast<double>(pin->size - p.have)) {
            request.Done(L"refused: range does not continue the staged part");
            fs::DeleteFile(p.part);
            return Outcome(DownloadOutcome::BadRange);
        }
    } else if (status != L"200") {
        request.Done(L"refused: not 200");
        return Refused(p.transfer, status);
    }
    const std::wstring length = p.transfer.GetHeader(L"Content-Length");
    request.SawLength(length);
    p.announced = Val(length);
    if (p.announced == 0) {
        request.Done(L"refused: no length");
        return Outcome(DownloadOutcome::NoLength);
    }
    if (pin && !p.resumed && p.announced != static_cast<double>(pin->size)) {
        request.Done(L"refused: length differs from the pin");
        return Outcome(DownloadOutcome::Damaged);
    }
    const double others = p.staging.job != nullptr ? p.staging.job->OthersToWrite() : 0;
    if (std::optional<DownloadResult> full = NoRoomFor(p.directory, p.announced + others)) {
        request.Drop();
        return full;
    }
    return std::nullopt;
}

// The figures of a payload's progress on the patch window. Redraws are coalesced; the first
// and the final values are always shown.
class ProgressDisplay {
  public:
    ProgressDisplay(const Payload& p, uint64_t offset)
        : view_(p.view),
          clock_(p.clock),
          start_(p.start),
          offset_(static_cast<int64_t>(offset)),
          sizeKb_(SizeInKilobytes(p.announced + static_cast<double>(offset))) {}

    void operator()(int64_t bytes, bool last) {
        const double now = clock_.Seconds();
        if (drawn_ && !last && now - lastDraw_ < kRedrawInterval) {
            return;
        }
        drawn_ = true;
        lastDraw_ = now;
        const ProgressFigures f = ComputeProgress(ChunkCounter(bytes + offset_, sizeKb_), sizeKb_,
                                                  ToInt32Bankers(now) - start_);
        view_.SetCaption(ProgressLabel::LblFileTime, f.time);
        view_.SetCaption(ProgressLabel::LblFilebps, f.speed);
        view_.SetCaption(ProgressLabel::LblFilePecent, f.percent);
        view_.SetProgressWidth(f.barWidth);
    }

  private:
    ProgressView& view_;
    Clock& clock_;
    int32_t start_;
    int64_t offset_;
    int32_t sizeKb_;
    bool drawn_ = false;
    double lastDraw_ = 0;
};

// What is left once the body has been received: a whole body checked against its pin goes in
// place of the installed file; anything else leaves it as it was.
DownloadResult SettleReceived(Payload& p, RequestLog& request, Received got, Sha256& hash) {
    const std::optional<Pin>& pin = p.staging.pin;
    if (got == Received::Incomplete) {
        // A signed patch keeps the part for the next run to continue; an unsigned one cannot
        // tell a part worth continuing.
        if (!pin) {
            fs::DeleteFile(p.part);
        }
        const int32_t code = p.transfer.ResponseCode();
        request.Done(L"failed: body incomplete or transfer error " + std::to_wstring(code));
        return TransferFailure(code, DownloadOutcome::Incomplete);
    }
    if (got == Received::TooSlow) {
        if (!pin) {
            fs::DeleteFile(p.part);
        }
        request.Done(L"abandoned: too slow");
        return Outcome(DownloadOutcome::TooSlow);
    }
    if (got == Received::TooLong) {
        fs::DeleteFile(p.part);
        request.Done(L"failed: body longer than announced");
        return Outcome(DownloadOutcome::TooLarge);
    }
    if (pin && hash.Final() != pin->sha256) {
        fs::DeleteFile(p.part);  // the next run starts clean
        request.Done(L"refused: SHA-256 differs from the pin");
        return Outcome(DownloadOutcome::Damaged);
    }
    PlaceStaged(p.part, p.target, p.staging);
    request.Done(L"stored");
    return Outcome(DownloadOutcome::Stored);
}

DownloadResult ReceivePayload(Payload& p, Waiting& waiting, RequestLog& request) {
    const uint64_t offset = p.resumed ? p.have : 0;
    ProgressDisplay show(p, offset);
    p.view.SetCaption(ProgressLabel::Lblname, p.fileName);
    if (const int32_t code = p.transfer.ResponseCode(); code != 0) {
        request.Done(L"failed: transfer error " + std::to_wstring(code));
        return TransferFailure(code, DownloadOutcome::TransferError);
    }
    Sha256 hash;
    if (p.resumed && !HashFile(p.part, hash)) {
        RaisePathFileAccess(p.part);
    }
    const BodyFile body{p.part, p.resumed, p.announced, p.staging.pin ? &hash : nullptr};
    ProgressFn progress = std::ref(show);
    if (JobSlot* job = p.staging.job) {
        const double whole = p.announced + static_cast<double>(offset);
        job->Staged(offset, whole);
        progress = [job, offset, whole](int64_t bytes, bool) {
            job->Staged(offset + static_cast<uint64_t>(bytes), whole);
        };
    }
    const Received got = ReceiveBody(waiting, body, progress);
    return SettleReceived(p, request, got, hash);
}

// One request for the payload: the rest of a staged part, or the whole file.
DownloadResult RequestPayload(Payload& p, const std::wstring& url, const std::wstring& userName,
                              const std::wstring& password) {
    RequestLog request(url);
    p.transfer.SetRequestHeaders(p.have > 0 ? L"Range: bytes=" + std::to_wstring(p.have) + L"-\r\n"
                                            : std::wstring());
    Waiting waiting(p.transfer, p.view, p.clock, url);
    waiting.job = p.staging.job;
    if (!StartAndWait(waiting, userName, password)) {
        request.Done(L"abandoned: too slow");
        return Outcome(DownloadOutcome::TooSlow);
    }
    request.SawRedirect(p.transfer.FinalUrl());
    if (std::optional<DownloadResult> refused = CheckAnswer(p, request)) {
        p.transfer.Abandon();  // not a byte more of it is read
        return *refused;
    }
    return ReceivePayload(p, waiting, request);
}

// An announced length past what the file may have: refused before a byte of it is read.
std::optional<DownloadResult> BeyondBound(double announced, const SizeBound& bound,
                                          RequestLog& request) {
    const double most = static_cast<double>(bound.most);
    if (bound.pinned && announced != most) {
        request.Done(L"refused: length differs from the pin");
        return Outcome(DownloadOutcome::Damaged);
    }
    if (announced > most) {
        request.Done(L"refused: length beyond " + std::to_wstring(bound.most) + L" bytes");
        return Outcome(DownloadOutcome::OverBound);
    }
    return std::nullopt;
}

DownloadResult PlainFailure(Received got, int32_t code, RequestLog& request) {
    if (got == Received::TooSlow) {
        request.Done(L"abandoned: too slow");
        return Outcome(DownloadOutcome::TooSlow);
    }
    request.Done(L"failed: body incomplete or transfer error " + std::to_wstring(code));
    return got == Received::TooLong ? Outcome(DownloadOutcome::TooLarge)
                                    : TransferFailure(code, DownloadOutcome::Incomplete);
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

DownloadResult DownloadFile(Transfer& transfer, ProgressView& view, Clock& clock,
                            const std::wstring& url, const std::wstring& directory,
                            const std::wstring& fileName, const std::wstring& userName,
                            const std::wstring& password, const SizeBound& bound,
                            const std::wstring& headers) {
    const std::wstring target = directory + fileName;
    DeleteEarlierCopy(target);
    RequestLog request(url);
    transfer.SetRequestHeaders(headers);
    Waiting waiting(transfer, view, clock, url);
    if (!StartAndWait(waiting, userName, password)) {
        request.Done(L"abandoned: too slow");
        return Outcome(DownloadOutcome::TooSlow);
    }
    request.SawRedirect(transfer.FinalUrl());
    const std::wstring head = transfer.GetHeader();
    request.SawHead(head);
    if (std::optional<DownloadResult> failed = FailedBeforeHead(transfer, head, request)) {
        return *failed;
    }
    if (!HeadSaysOk(head)) {
        request.Done(L"refused: not 200");
        return Refused(transfer, StatusCodeText(head));
    }
    const std::wstring length = transfer.GetHeader(L"Content-Length");
    request.SawLength(length);
    const double announced = Val(length);
    if (const int32_t code = transfer.ResponseCode(); announced == 0 || code != 0) {
        request.Done(L"refused: no length or transfer error " + std::to_wstring(code));
        return code != 0 ? TransferFailure(code, DownloadOutcome::TransferError)
                         : Outcome(DownloadOutcome::NoLength);
    }
    if (std::optional<DownloadResult> beyond = BeyondBound(announced, bound, request)) {
        transfer.Abandon();  // not a byte more of it is read
        return *beyond;
    }
    if (std::optional<DownloadResult> full = NoRoomFor(directory, announced)) {
        request.Drop();
        return *full;
    }
    const Received got = ReceiveBody(waiting, {target, false, announced}, {});
    if (got != Received::Whole) {
        fs::DeleteFile(target);
        const int32_t code = transfer.ResponseCode();
        return PlainFailure(got, code, request);
    }
    request.Done(L"stored");
    return Outcome(DownloadOutcome::Stored);
}

DownloadResult DownloadFileWithProgress(Transfer& transfer, ProgressView& view, Clock& clock,
                                        const std::wstring& url, const std::wstring& directory,
                                        const std::wstring& fileName, const std::wstring& userName,
                                        const std::wstring& password, const Staging& staging) {
    Payload p{transfer, view, clock, directory, fileName, staging, directory + fileName, {}};
    p.part = staging.path.empty() ? fs::TempNameBeside(p.target) : staging.path;
    ClearFolderAtPart(p.part);
    p.start = ToInt32Bankers(clock.Seconds());
    if (staging.pin && ContinueStagedPart(p)) {
        LogLine(L"placed the staged " + (staging.shownName.empty() ? fileName : staging.shownName));
        return Outcome(DownloadOutcome::Stored);
    }
    DownloadResult result = RequestPayload(p, url, userName, password);
    if (result.outcome == DownloadOutcome::Damaged && p.resumed) {
        // The part may hold bytes that never were this file (another server's, say): only a
        // whole fresh copy that is wrong makes the file damaged.
        LogLine(L"the continued part of " +
                (staging.shownName.empty() ? fileName : staging.shownName) +
                L" is wrong; fetching it again from byte 0");
        p.have = 0;
        result = RequestPayload(p, url, userName, password);
    }
    return result;
}

}  // namespace vt
