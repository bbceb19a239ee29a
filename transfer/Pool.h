#pragma once
// A job's payloads fetched over up to N connections at once. Each connection has a worker
// thread that runs the single staged download (DownloadFileWithProgress) file after file, so
// every byte is treated as one download treats it. The files start in their given order: a
// worker that placed its file takes the next itself, so a connection never waits for the
// caller's thread between files; that thread decides what a failed try means, hands files to
// idle workers, pumps the window's messages, draws the job's progress and reports each file in
// the order they finish. With one connection the requests are exactly those of the single
// downloads, one after the other.
//
// A 429 or 503 (the pool then starts nothing before its Retry-After, at most 30 s), a
// transfer that fails or ends early, or an answer too slow for the rule halves the
// connections in use (never below one) and the file is tried again, up to 3 more times. Any
// other failure, or the last try failing, starts no new request: the files in flight end
// (those that finish are placed and reported) and FetchAll returns the failure.
//
// With several sources (PoolSettings::sources), a file below the first goes on from the next
// source when its own stalled, failed in any way or sent wrong bytes (the part dropped then),
// and that try does not count; a pinned part continues there with a range. The rules above
// apply at the last source that has not failed. Wrong bytes end the job as Damaged only when
// no source merely failed; else that failure ends it.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/Batch.h"
#include "transfer/Clock.h"
#include "transfer/Download.h"
#include "transfer/ProgressView.h"
#include "transfer/Sources.h"
#include "transfer/Transfer.h"

namespace vt {

inline constexpr int kDefaultConnections = 8;
inline constexpr int kMostConnections = 16;

// The operator's `[transfer] connections=` value, blanks around it ignored: 1 to 16, else
// nothing.
std::optional<int> ReadConnections(std::string_view text);
// ReadConnections, where anything else, absent included, means kDefaultConnections.
int ConnectionsSetting(std::string_view text);

// Where the caller's thread sleeps between looks at the workers: Ring (from any thread) or a
// window message wakes it, else it returns after `most`.
class Doorbell {
  public:
    virtual ~Doorbell() = default;
    virtual void Ring() = 0;
    virtual void Wait(std::chrono::milliseconds most) = 0;
};

// A doorbell without window messages.
class PlainDoorbell final : public Doorbell {
  public:
    void Ring() override;
    void Wait(std::chrono::milliseconds most) override;

  private:
    std::mutex mutex_;
    std::condition_variable rung_;
    bool ringing_ = false;
};

struct PoolSettings {
    int connections = kDefaultConnections;
    int tries = 4;                // of one file: the first and 3 more
    double longestPause = 30;     // seconds a Retry-After may hold the pool
    double pauseWithoutTime = 1;  // a 429 or 503 that names no time
    std::wstring userName;
    std::wstring password;
    // The bases files may come from (SourceList); the first is the one their URLs start with.
    // Empty or one: every file from its URL.
    std::vector<std::wstring> sources;
};

// A new connection of the pool: a transfer of its own, used by one worker thread at a time.
using Connect = std::function<std::unique_ptr<Transfer>()>;

// Job-wide figures for the patch window's labels.
struct JobTally {
    uint64_t fetched = 0;     // body bytes received by this job, for the rate
    uint64_t doneBytes = 0;   // of the pinned sizes: placed files, and parts staged so far
    uint64_t totalBytes = 0;  // every file's pinned size; 0 when some file has no pin
    std::size_t doneFiles = 0;
    std::size_t totalFiles = 0;
};
// Time and rate as one file shows them; percentage and bar of the job's bytes when pins give
// every size, else of its files.
ProgressFigures ComputeJobProgress(const JobTally& tally, int32_t elapsed);

// Whether a failed try is worth another: the server asked to come back later, the connection
// failed or the answer was too slow.
bool WorthRetrying(const DownloadResult& result);

class PoolDownloader final : public Downloader {
  public:
    // `view`, `clock` and `bell` are used by the caller's thread; `clock` also by the workers.
    PoolDownloader(ProgressView& view, Clock& clock, Doorbell& bell, Connect connect,
                   PoolSettings settings);
    ~PoolDownloader() override;
    PoolDownloader(const PoolDownloader&) = delete;
    PoolDownloader& operator=(const PoolDownloader&) = delete;

    BatchResult FetchAll(std::span<const BatchFile> files, BatchListener& listener) override;

    struct Job;  // one FetchAll: shared by the caller's thread and the workers

  private:
    ProgressView& view_;
    Clock& clock_;
    Doorbell& bell_;
    Connect connect_;
    PoolSettings settings_;
    SourceList sources_;  // their health holds for the run
    // Kept between jobs, so their connections stay alive; made as workers first need them.
    std::vector<std::unique_ptr<Transfer>> connections_;
};

}  // namespace vt
