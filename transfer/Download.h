#pragma once
// The two downloads of the patch window. Both fetch one file with an HTTP GET through the
// transfer object and store the body at directory + fileName, replacing any earlier copy.
// A failed transfer never returns: DownloadFile tells the user first, DownloadFileWithProgress
// ends silently. A body that does not match its announced length, or a transfer that reports
// an error, counts as failed, and the partial file is removed. An announced length the disk has
// no room for (with 1 MiB to spare) is refused before anything is written, by both downloads
// with a message naming the file, the room needed and the room free. A write that fails is
// error 75 for the general error report, the partial file removed.

#include <cstdint>
#include <string>

#include "transfer/Clock.h"
#include "transfer/ProgressView.h"
#include "transfer/Transfer.h"

namespace vt {

// For the small profiles and manifests: no display.
void DownloadFile(Transfer& transfer, ProgressView& view, const std::wstring& url,
                  const std::wstring& directory, const std::wstring& fileName,
                  const std::wstring& userName, const std::wstring& password);

// For the payload files: name, elapsed time, speed, percentage and bar on the patch window.
void DownloadFileWithProgress(Transfer& transfer, ProgressView& view, Clock& clock,
                              const std::wstring& url, const std::wstring& directory,
                              const std::wstring& fileName, const std::wstring& userName,
                              const std::wstring& password);

// The pieces below are what both downloads decide with; exposed for their tests.

// The status code of the response head (StatusCodeText, transfer/HttpHead.h) is 200.
bool HeadSaysOk(const std::wstring& head);
// Header numbers are read with Val and rounded with ToInt32Bankers (app/NumberText.h).
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
