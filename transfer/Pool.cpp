#include "transfer/Pool.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <deque>
#include <exception>
#include <optional>
#include <thread>

#include "base/FileSystem.h"
#include "base/Log.h"
#include "base/NumberText.h"

namespace vt {
namespace {

constexpr double kRedrawInterval = 1.0 / 30;
// How long the caller's thread sleeps while files are in flight: the progress is drawn as
// often, unless a worker rings first.
constexpr std::chrono::milliseconds kLook{33};

// Thrown inside a worker's download once the job is given up, to end it at its next wait.
struct Stopped {};
// Thrown inside a worker's download when the caller's BeforeFirstPlace failed: the file stays
// staged and is not placed.
struct Withdrawn {};

// How a worker's try of one file ended.
struct Ended {
    std::size_t index = 0;
    std::size_t source = 0;
    DownloadResult result;
    std::exception_ptr error;  // an error the download raised, for the caller's thread
    bool withdrawn = false;    // not placed because the caller's BeforeFirstPlace failed
};

// The caller's BeforeFirstPlace, as the workers see it.
enum class Placing { NotAsked, Asked, Go, Withdraw };

// What a file in flight has staged so far.
struct InFlight {
    std::size_t index = 0;
    uint64_t staged = 0;
    double whole = -1;      // its length once known (from the pin, then from the answer)
    bool counting = false;  // `staged` is this try's own, so growth is fetched bytes
    std::size_t source = 0;
};

uint64_t PinnedSize(const BatchFile& file) {
    return file.pin ? file.pin->size : 0;
}

const std::wstring& ShownName(const BatchFile& file) {
    return file.shownName.empty() ? file.fileName : file.shownName;
}

// A failure of this machine, not of the source: another source would meet it too.
bool LocalFailure(const DownloadResult& result) {
    return result.outcome == DownloadOutcome::NoRoom ||
           result.outcome == DownloadOutcome::Cancelled;
}

// Why a source failed, for the run log.
std::wstring FailureText(const DownloadResult& result) {
    switch (result.outcome) {
        case DownloadOutcome::HttpStatus:
            return L"status " + std::to_wstring(result.httpStatus);
        case DownloadOutcome::TransferError:
        case DownloadOutcome::Incomplete:
        case DownloadOutcome::Stalled:
            return L"transfer error " + std::to_wstring(result.transferError);
        case DownloadOutcome::Damaged:
            return L"wrong bytes";
        case DownloadOutcome::TooSlow:
            return L"too slow";
        case DownloadOutcome::BadRange:
            return L"range not the rest of the part";
        default:
            return L"outcome " + std::to_wstring(static_cast<int>(result.outcome));
    }
}

// "a", "a and b", "a, b and c".
std::wstring Hosts(const SourceList& sources, const std::vector<std::size_t>& from) {
    std::wstring text;
    for (std::size_t i = 0; i < from.size(); ++i) {
        text += (i == 0 ? L"" : i + 1 == from.size() ? L" and " : L", ") + sources.Host(from[i]);
    }
    return text;
}

}  // namespace

std::optional<int> ReadConnections(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || text.front() == '-' || error != std::errc() ||
        end != text.data() + text.size() || value < 1 || value > kMostConnections) {
        return std::nullopt;
    }
    return value;
}

int ConnectionsSetting(std::string_view text) {
    return ReadConnections(text).value_or(kDefaultConnections);
}

void PlainDoorbell::Ring() {
    {
        std::lock_guard lock(mutex_);
        ringing_ = true;
    }
    rung_.notify_one();
}

void PlainDoorbell::Wait(std::chrono::milliseconds most) {
    std::unique_lock lock(mutex_);
    rung_.wait_for(lock, most, [this] { return ringing_; });
    ringing_ = false;
}

ProgressFigures ComputeJobProgress(const JobTally& tally, int32_t elapsed) {
    const int32_t fetchedKb = ChunkCounter(static_cast<int64_t>(tally.fetched), INT32_MAX);
    ProgressFigures figures = ComputeProgress(fetchedKb, std::max(fetchedKb, 1), elapsed);
    ProgressFigures share;
    if (tally.totalBytes > 0) {
        const int32_t sizeKb = SizeInKilobytes(static_cast<double>(tally.totalBytes));
        share = ComputeProgress(ChunkCounter(static_cast<int64_t>(tally.doneBytes), sizeKb), sizeKb,
                                elapsed);
    } else {
        share = ComputeProgress(static_cast<int32_t>(tally.doneFiles),
                                std::max(static_cast<int32_t>(tally.totalFiles), 1), elapsed);
    }
    figures.percent = share.percent;
    figures.barWidth = share.barWidth;
    return figures;
}

bool WorthRetrying(const DownloadResult& result) {
    switch (result.outcome) {
        case DownloadOutcome::HttpStatus:
            return result.httpStatus == 429 || result.httpStatus == 503;
        case DownloadOutcome::TransferError:
        case DownloadOutcome::Incomplete:
        case DownloadOutcome::Stalled:
        case DownloadOutcome::TooSlow:
            return true;
        default:
            return false;
    }
}

struct PoolDownloader::Job {
    Job(std::span<const BatchFile> list, Doorbell& doorbell, Clock& jobClock, std::size_t workers,
        SourceList& sourceList)
        : files(list),
          bell(doorbell),
          clock(jobClock),
          sources(sourceList),
          from(list.size()),
          left(list.size()),
          next(workers),
          flight(workers),
          limit(workers) {
        for (std::size_t i = 0; i < list.size(); ++i) {
            pending.push_back(i);
        }
    }

    const std::span<const BatchFile> files;
    Doorbell& bell;
    Clock& clock;
    SourceList& sources;  // locked after `mutex`, never before

    std::mutex mutex;  // guards the members below
    // Per file: the sources its staged bytes came from, in order; the one it last left.
    std::vector<std::vector<std::size_t>> from;
    std::vector<std::optional<std::size_t>> left;
    std::condition_variable handedOut;
    bool quitting = false;
    std::vector<std::optional<std::size_t>> next;  // per worker: the file handed to it
    std::vector<std::optional<InFlight>> flight;   // per worker: the file it is on
    std::deque<Ended> ended;                       // in the order the tries ended
    uint64_t fetched = 0;
    // What the caller decided: files still to start, first in line first; files in flight at
    // most; nothing new starts before pauseUntil, nor once stopped.
    std::deque<std::size_t> pending;
    std::size_t limit;
    double pauseUntil = 0;
    bool stopped = false;
    // Tries that did not place their file and that the caller has not settled yet: until it
    // has (a retry first in line, fewer connections, a pause, a stop), nothing new starts.
    std::size_t unsettled = 0;
    std::optional<std::size_t> latest;  // the file handed out last, for the window
    // The caller's BeforeFirstPlace: asked by the first worker about to place a file.
    Placing placing = Placing::NotAsked;
    std::condition_variable answered;

    bool Quitting() {
        std::lock_guard lock(mutex);
        return quitting;
    }

    // With the mutex held: the next file for `worker`, which is on none, if one may start now.
    std::optional<std::size_t> TakeNext(std::size_t worker) {
        if (stopped || unsettled > 0 || pending.empty() || clock.Seconds() < pauseUntil) {
            return std::nullopt;
        }
        const auto busy = static_cast<std::size_t>(std::count_if(
            flight.begin(), flight.end(), [](const auto& f) { return f.has_value(); }));
        if (busy >= limit) {
            return std::nullopt;
        }
        const std::size_t index = pending.front();
        pending.pop_front();
        const BatchFile& file = files[index];
        flight[worker] = InFlight{index, 0, file.pin ? static_cast<double>(file.pin->size) : -1,
                                  false, sources.Pick(file.url, left[index])};
        latest = index;
        return index;
    }
};

namespace {

using Job = PoolDownloader::Job;

// A worker has no window: its waits only look whether the job is being given up.
class WorkerView final : public ProgressView {
  public:
    explicit WorkerView(Job& job) : job_(job) {}
    void DoEvents() override {
        if (job_.Quitting()) {
            throw Stopped{};
        }
    }
    void SetCaption(ProgressLabel, const std::wstring&) override {}
    void SetProgressWidth(float) override {}
    void ShowMessage(const std::wstring&, const std::wstring&, MessageStyle) override {}

  private:
    Job& job_;
};

// What a worker's download tells the job and asks of it.
class WorkerSlot final : public JobSlot {
  public:
    WorkerSlot(Job& job, std::size_t worker) : job_(job), worker_(worker) {}

    double OthersToWrite() override {
        std::lock_guard lock(job_.mutex);
        double others = 0;
        for (std::size_t w = 0; w < job_.flight.size(); ++w) {
            const std::optional<InFlight>& f = job_.flight[w];
            if (w != worker_ && f && f->whole > static_cast<double>(f->staged)) {
                others += f->whole - static_cast<double>(f->staged);
            }
        }
        return others;
    }

    void Staged(uint64_t bytes, double whole) override {
        std::lock_guard lock(job_.mutex);
        InFlight& f = *job_.flight[worker_];
        std::vector<std::size_t>& from = job_.from[f.index];
        if (bytes == 0) {
            from.clear();  // a body from its first byte
        }
        if (f.counting && bytes > f.staged) {
            job_.fetched += bytes - f.staged;
            job_.sources.Arrived(f.source, bytes - f.staged, job_.clock.Seconds());
            if (std::find(from.begin(), from.end(), f.source) == from.end()) {
                from.push_back(f.source);
            }
        }
        f.staged = bytes;
        f.whole = whole;
        f.counting = true;
    }

    SourceVerdict Standing(double now) override { return job_.sources.Verdict(source_, now); }

    void Use(std::size_t source) { source_ = source; }

  private:
    Job& job_;
    std::size_t worker_;
    std::size_t source_ = 0;  // of the try in flight
};

// A try's request at its source, for the source's rate.
class SourceUse {
  public:
    SourceUse(SourceList& sources, std::size_t source, Clock& clock)
        : sources_(sources), source_(source), clock_(clock) {
        sources_.Began(source_, clock_.Seconds());
    }
    ~SourceUse() { sources_.Ended(source_, clock_.Seconds()); }
    SourceUse(const SourceUse&) = delete;
    SourceUse& operator=(const SourceUse&) = delete;

  private:
    SourceList& sources_;
    std::size_t source_;
    Clock& clock_;
};

// Before a job's first file is placed, hands BeforeFirstPlace to the caller's thread, which
// owns the listener, and waits for its answer; every later file goes on at once.
void AskBeforeFirstPlace(Job& job) {
    std::unique_lock lock(job.mutex);
    if (job.placing == Placing::NotAsked) {
        job.placing = Placing::Asked;
        job.bell.Ring();
    }
    job.answered.wait(lock, [&] { return job.quitting || job.placing != Placing::Asked; });
    if (job.quitting) {
        throw Stopped{};
    }
    if (job.placing == Placing::Withdraw) {
        throw Withdrawn{};
    }
}

DownloadResult FetchOne(Transfer& transfer, ProgressView& view, Clock& clock, Job& job,
                        const BatchFile& file, WorkerSlot& slot, std::size_t source,
                        const PoolSettings& settings) {
    Staging staging = StagingOf(file);
    staging.beforePlace = [&job] { AskBeforeFirstPlace(job); };
    staging.job = &slot;
    slot.Use(source);
    const SourceUse use(job.sources, source, clock);
    return DownloadFileWithProgress(transfer, view, clock, job.sources.UrlAt(file.url, source),
                                    file.directory, file.fileName, settings.userName,
                                    settings.password, staging);
}

// One connection's thread: the files handed to it, one after the other, until the job quits.
// A file placed, it takes the next itself, so the connection does not wait for the caller.
void RunWorker(Job& job, std::size_t worker, Transfer& transfer, Clock& clock,
               const PoolSettings& settings) {
    WorkerView view(job);
    WorkerSlot slot(job, worker);
    std::optional<std::size_t> taken;
    for (;;) {
        Ended ended;
        if (taken) {
            ended.index = *taken;
        } else {
            std::unique_lock lock(job.mutex);
            job.handedOut.wait(lock, [&] { return job.quitting || job.next[worker]; });
            if (job.quitting) {
                return;
            }
            ended.index = *job.next[worker];
            job.next[worker].reset();
        }
        {
            std::lock_guard lock(job.mutex);
            ended.source = job.flight[worker]->source;
        }
        try {
            ended.result = FetchOne(transfer, view, clock, job, job.files[ended.index], slot,
                                    ended.source, settings);
        } catch (const Stopped&) {
            return;
        } catch (const Withdrawn&) {
            ended.withdrawn = true;
        } catch (...) {
            ended.error = std::current_exception();
        }
        {
            std::lock_guard lock(job.mutex);
            job.flight[worker].reset();
            const bool placed = !ended.withdrawn && !ended.error && ended.result.Stored();
            job.unsettled += placed ? 0 : 1;
            job.ended.push_back(std::move(ended));
            taken = placed ? job.TakeNext(worker) : std::nullopt;
        }
        job.bell.Ring();
    }
}

// The workers of one job, ended (and waited for) on every way out of it.
class Workers {
  public:
    Workers(Job& job, std::span<const std::unique_ptr<Transfer>> connections, Clock& clock,
            const PoolSettings& settings)
        : job_(job) {
        try {
            for (std::size_t w = 0; w < connections.size(); ++w) {
                threads_.emplace_back(RunWorker, std::ref(job), w, std::ref(*connections[w]),
                                      std::ref(clock), std::cref(settings));
            }
        } catch (...) {
            Stop();
            throw;
        }
    }
    ~Workers() { Stop(); }
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

  private:
    void Stop() {
        {
            std::lock_guard lock(job_.mutex);
            job_.quitting = true;
        }
        job_.handedOut.notify_all();
        job_.answered.notify_all();
        for (std::thread& t : threads_) {
            t.join();  // a worker in a download ends at its next wait
        }
        threads_.clear();
    }

    Job& job_;
    std::vector<std::thread> threads_;
};

}  // namespace

PoolDownloader::PoolDownloader(ProgressView& view, Clock& clock, Doorbell& bell, Connect connect,
                               PoolSettings settings)
    : view_(view),
      clock_(clock),
      bell_(bell),
      connect_(std::move(connect)),
      settings_(std::move(settings)),
      sources_(settings_.sources) {}

PoolDownloader::~PoolDownloader() = default;

namespace {

// The caller's side of a job: what an ended try means, which files go to idle workers, and
// the job's figures on the window.
class Schedule {
  public:
    Schedule(Job& job, ProgressView& view, Clock& clock, const PoolSettings& settings,
             BatchListener& listener)
        : job_(job),
          view_(view),
          clock_(clock),
          settings_(settings),
          listener_(listener),
          tries_(job.files.size(), 0),
          wrongBytes_(job.sources.Count(), false),
          failedWith_(job.sources.Count()),
          start_(ToInt32Bankers(clock.Seconds())) {
        tally_.totalFiles = job.files.size();
        for (const BatchFile& file : job.files) {
            tally_.totalBytes += PinnedSize(file);
            allPinned_ = allPinned_ && file.pin.has_value();
        }
        if (!allPinned_) {
            tally_.totalBytes = 0;
        }
    }

    BatchResult Run() {
        for (;;) {
            view_.DoEvents();
            AnswerPlacing();
            if (SettleEnded()) {
                break;
            }
            HandOut();
            Draw(false);
            job_.bell.Wait(WaitTime());
        }
        Draw(true);
        if (error_) {
            std::rethrow_exception(error_);
        }
        return failure_.value_or(BatchResult{});
    }

  private:
    // Settles the tries that ended, in the order they did; true once nothing is in flight and
    // nothing more will start.
    bool SettleEnded() {
        std::deque<Ended> ended;
        {
            std::lock_guard lock(job_.mutex);
            ended.swap(job_.ended);
        }
        for (Ended& e : ended) {
            Settle(e);
        }
        std::lock_guard lock(job_.mutex);
        const bool idle = std::none_of(job_.flight.begin(), job_.flight.end(),
                                       [](const auto& f) { return f.has_value(); });
        return idle && job_.ended.empty() && (job_.pending.empty() || job_.stopped);
    }

    // Runs BeforeFirstPlace once the first worker waits to place a file. Files in flight are
    // placed even after a failure stopped new requests; only a failed BeforeFirstPlace
    // withdraws them.
    void AnswerPlacing() {
        {
            std::lock_guard lock(job_.mutex);
            if (job_.placing != Placing::Asked) {
                return;
            }
        }
        if (!error_) {
            try {
                listener_.BeforeFirstPlace();
            } catch (...) {
                error_ = std::current_exception();
            }
        }
        {
            std::lock_guard lock(job_.mutex);
            job_.placing = error_ ? Placing::Withdraw : Placing::Go;
            job_.stopped = job_.stopped || error_;
        }
        job_.answered.notify_all();
    }

    void Settle(const Ended& e) {
        if (e.result.Stored() && !e.withdrawn && !e.error) {
            ++tally_.doneFiles;
            placedBytes_ += PinnedSize(job_.files[e.index]);
            LogSources(e.index);
            listener_.Placed(e.index);
            return;
        }
        std::lock_guard lock(job_.mutex);
        --job_.unsettled;
        if (e.withdrawn) {
            return;  // error_ holds why
        }
        if (e.error) {
            error_ = error_ ? error_ : e.error;
            job_.stopped = true;
            return;
        }
        if (MovesOn(e)) {
            return;
        }
        ++tries_[e.index];
        if (!job_.stopped && WorthRetrying(e.result) &&
            tries_[e.index] < std::max(settings_.tries, 1)) {
            TryAgain(e);
            return;
        }
        if (!failure_) {
            failure_ = BatchResult{e.result, e.index};
        }
        job_.stopped = true;
    }

    // With the job's mutex held: a file that may come from another source goes on from the
    // next one, first in line and no try counted, when its source stalled, failed or sent wrong
    // bytes. False where the rules for one source decide: at the last that did not fail.
    bool MovesOn(const Ended& e) {
        const BatchFile& file = job_.files[e.index];
        if (job_.stopped || !job_.sources.Movable(file.url) || LocalFailure(e.result)) {
            return false;
        }
        const bool damaged = e.result.outcome == DownloadOutcome::Damaged;
        if (damaged) {
            wrongBytes_[e.source] = true;
            if (!file.stagingPath.empty()) {
                fs::DeleteFile(file.stagingPath);  // the whole object comes from the next one
            }
        } else {
            failedWith_[e.source] = e.result;
        }
        if (damaged || !job_.sources.Stalled(e.source)) {
            if (!job_.sources.Drop(e.source, FailureText(e.result) + L" at " + ShownName(file))) {
                return damaged && EndWithFailure(e.index);
            }
        }
        job_.left[e.index] = e.source;
        job_.pending.push_front(e.index);
        return true;
    }

    // Wrong bytes at the last source: a source that merely failed is what the job reports,
    // Damaged only when every one sent wrong bytes.
    bool EndWithFailure(std::size_t index) {
        for (std::size_t s = 0; s < failedWith_.size(); ++s) {
            if (failedWith_[s] && !wrongBytes_[s]) {
                failure_ = failure_.value_or(BatchResult{*failedWith_[s], index});
                job_.stopped = true;
                return true;
            }
        }
        return false;
    }

    // Where a placed file's bytes came from, when there is a choice.
    void LogSources(std::size_t index) {
        if (!job_.sources.Movable(job_.files[index].url)) {
            return;
        }
        std::vector<std::size_t> from;
        {
            std::lock_guard lock(job_.mutex);
            from = job_.from[index];
        }
        if (!from.empty()) {
            LogLine(L"placed " + ShownName(job_.files[index]) + L" from " +
                    Hosts(job_.sources, from));
        }
    }

    // With the job's mutex held: fewer connections for the rest of the job, and the file first
    // in line again; a server that asked for time gets it before anything new starts.
    void TryAgain(const Ended& e) {
        job_.limit = std::max<std::size_t>(1, job_.limit / 2);
        job_.pending.push_front(e.index);
        std::wstring why = L"failed";
        if (e.result.outcome == DownloadOutcome::HttpStatus) {
            const double asked =
                e.result.retryAfter > 0 ? e.result.retryAfter : settings_.pauseWithoutTime;
            const double pause = std::min(asked, settings_.longestPause);
            job_.pauseUntil = std::max(job_.pauseUntil, clock_.Seconds() + pause);
            why = L"status " + std::to_wstring(e.result.httpStatus) + L", waiting " +
                  std::to_wstring(std::lround(pause)) + L" s";
        }
        LogLine(L"trying " + ShownName(job_.files[e.index]) + L" again (" + why + L"), " +
                std::to_wstring(job_.limit) + L" connection(s)");
    }

    // Hands the next files to idle workers, while fewer than the limit are in flight.
    void HandOut() {
        bool any = false;
        {
            std::lock_guard lock(job_.mutex);
            for (std::size_t w = 0; w < job_.flight.size(); ++w) {
                if (job_.flight[w] || job_.next[w]) {
                    continue;
                }
                const std::optional<std::size_t> index = job_.TakeNext(w);
                if (!index) {
                    break;
                }
                job_.next[w] = index;
                any = true;
            }
        }
        if (any) {
            job_.handedOut.notify_all();
        }
    }

    std::chrono::milliseconds WaitTime() {
        std::lock_guard lock(job_.mutex);
        const double pause = job_.pauseUntil - clock_.Seconds();
        const bool busy = std::any_of(job_.flight.begin(), job_.flight.end(),
                                      [](const auto& f) { return f.has_value(); });
        if (busy || pause <= 0 || job_.stopped) {
            return kLook;
        }
        return std::chrono::milliseconds(std::llround(std::ceil(pause * 1000)));
    }

    // Coalesced like a single download's figures; the first and the final are always drawn.
    void Draw(bool last) {
        const double now = clock_.Seconds();
        if (drawn_ && !last && now - lastDraw_ < kRedrawInterval) {
            return;
        }
        drawn_ = true;
        lastDraw_ = now;
        std::optional<std::size_t> latest;
        {
            std::lock_guard lock(job_.mutex);
            latest = job_.latest;
            tally_.fetched = job_.fetched;
            tally_.doneBytes = placedBytes_;
            for (const std::optional<InFlight>& f : job_.flight) {
                if (f && allPinned_) {
                    tally_.doneBytes += std::min(f->staged, PinnedSize(job_.files[f->index]));
                }
            }
        }
        if (latest && job_.files[*latest].fileName != shownName_) {
            shownName_ = job_.files[*latest].fileName;
            view_.SetCaption(ProgressLabel::Lblname, shownName_);
        }
        const ProgressFigures f = ComputeJobProgress(tally_, ToInt32Bankers(now) - start_);
        view_.SetCaption(ProgressLabel::LblFileTime, f.time);
        view_.SetCaption(ProgressLabel::LblFilebps, f.speed);
        view_.SetCaption(ProgressLabel::LblFilePecent, f.percent);
        view_.SetProgressWidth(f.barWidth);
    }

    Job& job_;
    ProgressView& view_;
    Clock& clock_;
    const PoolSettings& settings_;
    BatchListener& listener_;
    std::vector<int> tries_;  // failed tries per file
    // Per source: it sent wrong bytes; how it failed otherwise, last.
    std::vector<bool> wrongBytes_;
    std::vector<std::optional<DownloadResult>> failedWith_;
    std::optional<BatchResult> failure_;
    std::exception_ptr error_;
    JobTally tally_;
    bool allPinned_ = true;
    uint64_t placedBytes_ = 0;
    int32_t start_;
    std::wstring shownName_;
    bool drawn_ = false;
    double lastDraw_ = 0;
};

}  // namespace

BatchResult PoolDownloader::FetchAll(std::span<const BatchFile> files, BatchListener& listener) {
    if (files.empty()) {
        return {};
    }
    const auto workers = std::min<std::size_t>(
        files.size(),
        static_cast<std::size_t>(std::clamp(settings_.connections, 1, kMostConnections)));
    while (connections_.size() < workers) {
        connections_.push_back(connect_());
    }
    Job job(files, bell_, clock_, workers, sources_);
    Workers running(job, std::span(connections_).first(workers), clock_, settings_);
    return Schedule(job, view_, clock_, settings_, listener).Run();
}

}  // namespace vt
