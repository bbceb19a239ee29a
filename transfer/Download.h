#pragma once
// The two downloads of the patch window. Both fetch one file with an HTTP GET through the
// transfer object and store the body at directory + fileName, replacing any earlier copy.
// DownloadFileWithProgress (the payloads) writes the body to a staging file first and replaces
// the installed file with it in one rename once it is whole: a failed or refused download
// leaves the installed file as it was. With a pin (a signed patch) the body must have the
// pinned size and SHA-256, else it is damaged; a part left by an earlier run
// for the same pin is continued with a range request.
// Neither download tells the player anything or ends the program: each returns how it went and
// its caller decides. A body that does not match its announced length, or a transfer that
// reports an error, is not stored, and a partial file is removed (a pinned part that may be
// continued stays staged). An announced length the disk has no room for (with 1 MiB to spare)
// is refused before anything is written. A write that fails is error 75 for the general error
// report, the partial file removed.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "format/Bounds.h"
#include "format/Pin.h"
#include "transfer/Clock.h"
#include "transfer/ProgressView.h"
#include "transfer/Sources.h"
#include "transfer/Transfer.h"

namespace vt {

// How a download ended. Every way but Stored leaves the target as it was (the plain download's
// earlier copy is gone either way).
enum class DownloadOutcome {
    Stored,         // whole, and in place
    HttpStatus,     // the server answered neither 200 nor a usable 206
    NoLength,       // no Content-Length, or zero
    TransferError,  // the transfer failed before the body
    Incomplete,     // the body ended early, or the transfer failed during it
    Stalled,        // the transfer timed out, before or during the body
    Cancelled,      // the transfer was cancelled
    TooLarge,       // the body went on past its announced length
    Damaged,        // not the pinned file: another length or SHA-256
    BadRange,       // a 206 that is not exactly the rest of the staged part
    NoRoom,         // the disk has no room for the announced length
    OverBound,      // the announced length is more than the file may have (SizeBound)
    TooSlow,        // abandoned under the rule for slow answers
};

struct [[nodiscard]] DownloadResult {
    DownloadOutcome outcome = DownloadOutcome::Stored;
    int32_t transferError = 0;  // the transfer's error code when it reported one
    // NoRoom: bytes needed (the announced length and a margin) and bytes free.
    double roomNeeded = 0;
    uint64_t roomFree = 0;
    // HttpStatus: the status code, and the seconds its Retry-After asked for (0: none).
    int32_t httpStatus = 0;
    double retryAfter = 0;

    bool Stored() const { return outcome == DownloadOutcome::Stored; }
    // The server has no such file (404): a layout that lacks it, not a failed transfer.
    bool NotFound() const { return outcome == DownloadOutcome::HttpStatus && httpStatus == 404; }
};

// For the small profiles and manifests: no display. An announced length past `bound` is
// refused before anything is written; with a pinned bound, any other length is Damaged.
// `headers`: extra request header lines, each ended by CR LF.
DownloadResult DownloadFile(Transfer& transfer, ProgressView& view, Clock& clock,
                            const std::wstring& url, const std::wstring& directory,
                            const std::wstring& fileName, const std::wstring& userName,
                            const std::wstring& password, const SizeBound& bound,
                            const std::wstring& headers = {});

// What a payload fetched as one of several at once shares with the others (transfer/Pool.h).
// Called on the thread of the download.
class JobSlot {
  public:
    virtual ~JobSlot() = default;
    // Bytes the other downloads in flight still have to write: the room check counts them.
    virtual double OthersToWrite() = 0;
    // Bytes of this file staged so far (a continued part's included) out of `whole`; the job
    // draws the progress instead of the download.
    virtual void Staged(uint64_t bytes, double whole) = 0;
    // Asked while the download waits (`now` on its clock): whether the job gave the request up
    // because its source stalled (it then ends as TooSlow, a pinned part kept for the next
    // source), else until when that holds.
    virtual SourceVerdict Standing(double /*now*/) { return {}; }
};

// Where a payload is received before it replaces the installed file.
struct Staging {
    // The staging file, on the installed file's volume; empty: a temporary name beside it.
    std::wstring path;
    // A signed patch's pin: the body must match it. A part at `path` is then continued.
    std::optional<Pin> pin;
    // The file's name in the run log and in its caller's refusals (installation-relative);
    // empty: fileName.
    std::wstring shownName;
    // Runs right before the installed file is replaced, once the staged file is checked.
    std::function<void()> beforePlace;
    // Set when the payload is one of a job's (transfer/Pool.h); not owned.
    JobSlot* job = nullptr;
};

// For the payload files: name, elapsed time, speed, percentage and bar on the patch window.
DownloadResult DownloadFileWithProgress(Transfer& transfer, ProgressView& view, Clock& clock,
                                        const std::wstring& url, const std::wstring& directory,
                                        const std::wstring& fileName, const std::wstring& userName,
                                        const std::wstring& password, const Staging& staging = {});

// The pieces below are what both downloads decide with; exposed for their tests.

// The status code of the response head (StatusCodeText, transfer/HttpHead.h) is 200.
bool HeadSaysOk(const std::wstring& head);
// A Content-Range value "bytes <have>-<total - 1>/<total>", exactly: the rest of the file from
// the first byte not yet staged.
bool ContinuesAt(std::wstring_view contentRange, uint64_t have, uint64_t total);
// Header numbers are read with Val and rounded with ToInt32Bankers (base/NumberText.h).
// Kilobytes of an announced length, at least 1.
int32_t SizeInKilobytes(double contentLength);

struct ProgressFigures {
    std::wstring time;     // LblFileTime
    std::wstring speed;    // LblFilebps
    std::wstring percent;  // LblFilePecent
    float barWidth = 1;    // Lblprog, 1 to 201 pixels
};
// `counter` is already capped at `sizeKb`; `elapsed` is in whole seconds.
ProgressFigures ComputeProgress(int32_t counter, int32_t sizeKb, int32_t elapsed);
// The chunk counter for `bytes` written: 1024-byte chunks begun, capped at `sizeKb`.
int32_t ChunkCounter(int64_t bytes, int32_t sizeKb);

}  // namespace vt
