#pragma once
// The patch window's two downloads, with what the player sees when one fails: they return
// once the file is stored and otherwise end the run. A profile or manifest that fails (an
// answer longer than its bound included) tells the player to connect again; a payload that
// fails ends without a word, but a damaged file of a signed patch (another length or hash, or
// a body longer than its pin; a pinned manifest of another length too) is refused by name. An
// answer abandoned as too slow tells the player to connect again, for a payload too.
// A disk without room for the announced length is told by both, naming the file, the room
// needed and the room free.

#include <string>

#include "base/Ui.h"
#include "sets/SetHost.h"
#include "transfer/Batch.h"
#include "transfer/Download.h"

namespace vt {

// `headers`: extra request header lines, each ended by CR LF.
void FetchFile(Transfer& transfer, ProgressView& view, Clock& clock, const std::wstring& url,
               const std::wstring& directory, const std::wstring& fileName,
               const std::wstring& userName, const std::wstring& password, const SizeBound& bound,
               const std::wstring& headers = {});

// The end of a run whose profile or manifest failed with `result` (anything but Stored);
// `path` is where it was to be stored.
[[noreturn]] void EndFailedFetch(ProgressView& view, const DownloadResult& result,
                                 const std::wstring& path, const SizeBound& bound);

// FetchFile, except that a server without the file (404) returns false instead of ending.
bool FetchIfServed(Transfer& transfer, ProgressView& view, Clock& clock, const std::wstring& url,
                   const std::wstring& directory, const std::wstring& fileName,
                   const SizeBound& bound, const std::wstring& headers = {});

// One payload, as a job of one file fetches it. Shows "downloading" on the state label first.
void FetchFileWithProgress(Transfer& transfer, ProgressView& view, Clock& clock,
                           const std::wstring& url, const std::wstring& directory,
                           const std::wstring& fileName, const std::wstring& userName,
                           const std::wstring& password, const Staging& staging = {});

// The end of a run whose payload `file` failed with `result` (anything but Stored).
[[noreturn]] void EndFailedPayload(MessageSink& sink, const BatchFile& file,
                                   const DownloadResult& result);

// The end of a set run that cannot go on (SetHost::Fail): a damaged file is refused by name,
// anything else that is not a manifest tells the player to connect again.
[[noreturn]] void EndSetRun(MessageSink& sink, SetFault fault, const std::wstring& file);

}  // namespace vt
