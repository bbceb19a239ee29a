#pragma once
// A set's payloads fetched as one job. Each file is staged and put in place as a single staged
// download puts it (DownloadFileWithProgress), in whatever order the files finish, and is
// reported on the caller's thread right after it is in place, so the caller records it then.
// A downloader may fetch several files at once; one that fetches them one after the other, in
// the given order, makes exactly the requests of the single downloads.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "format/Pin.h"
#include "transfer/Download.h"

namespace vt {

struct BatchFile {
    std::wstring url;        // percent-encoded
    std::wstring directory;  // the installed file's folder, ends in a backslash
    std::wstring fileName;   // below `directory`, backslashes between folders
    std::wstring shownName;  // installation-relative, for the log and for refusals
    std::wstring stagingPath;
    std::optional<Pin> pin;  // a signed patch: the body must match it
};

// How `file` is staged by the single staged download; the caller adds what runs before it is
// placed and the job it belongs to.
Staging StagingOf(const BatchFile& file);

class BatchListener {
  public:
    virtual ~BatchListener() = default;
    // On the caller's thread, once per job: when the first file is whole and checked and before
    // it replaces the installed file. No file of the job is placed before this returned; when
    // it throws, none is. The caller keeps what must be kept before the installation first
    // changes (a signed patch's serial).
    virtual void BeforeFirstPlace() {}
    // On the caller's thread, right after files[index] replaced the installed file.
    virtual void Placed(std::size_t index) = 0;
};

struct [[nodiscard]] BatchResult {
    DownloadResult result;   // Stored once every file is in place
    std::size_t failed = 0;  // the file whose download ended the job, unless Stored

    bool Stored() const { return result.Stored(); }
};

class Downloader {
  public:
    virtual ~Downloader() = default;
    // Returns once every file is in place, or once a file failed for good and the files still
    // in flight have ended (those that finished are placed and reported).
    virtual BatchResult FetchAll(std::span<const BatchFile> files, BatchListener& listener) = 0;
};

// The files one after the other, in the given order, on the caller's thread and one transfer;
// ends at the first that fails.
class InOrderDownloader final : public Downloader {
  public:
    InOrderDownloader(Transfer& transfer, ProgressView& view, Clock& clock)
        : transfer_(transfer), view_(view), clock_(clock) {}
    BatchResult FetchAll(std::span<const BatchFile> files, BatchListener& listener) override;

  private:
    Transfer& transfer_;
    ProgressView& view_;
    Clock& clock_;
};

}  // namespace vt
