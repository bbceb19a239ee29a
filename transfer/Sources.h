#pragma once
// The places a job's objects come from: the built-in host and the mirrors a signed profile
// lists, each a base URL under which the same paths lie. Objects come from the sources in list
// order, spread over those that work, and a source that failed or stalled is skipped for the
// rest of the run. With one source every file comes from it, as it always did.
//
// A source stalls when, busy for kStallSeconds, it delivered fewer than kStallBytes in the last
// kStallSeconds, all its requests together, while another source is left to try. Once the last
// one left would stall too, every source has been tried: the run stays on the fastest of them
// (the rate each had when it stalled) and only the rule for slow answers applies from then on.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vt {

inline constexpr double kStallSeconds = 10;
inline constexpr uint64_t kStallBytes = 32 * 1024 * 10;  // 32 KiB/s over kStallSeconds

// "127.0.0.1:18080" of "http://127.0.0.1:18080/autopatch/" (the scheme is optional).
std::wstring HostOfBase(const std::wstring& base);

// What a source's health says of a request in flight there.
struct SourceVerdict {
    bool givenUp = false;  // the source stalled: the request is abandoned, its file goes on
    double until = std::numeric_limits<double>::infinity();  // unchanged until then
};

// Thread-safe: the workers tell it what arrives and ask it, the caller's thread picks and drops.
class SourceList {
  public:
    // `bases[0]` is the base the files' URLs start with; empty means one source, the URLs as
    // they are.
    explicit SourceList(std::vector<std::wstring> bases = {});

    std::size_t Count() const { return sources_.size(); }
    // Whether `url` may come from any source: there are several and it lies below the first.
    bool Movable(const std::wstring& url) const;
    // The same path below the base of `source`; `url` itself when it is not movable.
    std::wstring UrlAt(const std::wstring& url, std::size_t source) const;
    const std::wstring& Host(std::size_t source) const { return sources_[source].host; }

    // Where the next try of `url` goes: the sources that work, each in turn; after a try at
    // `after`, the first that works past it in list order.
    std::size_t Pick(const std::wstring& url, std::optional<std::size_t> after = std::nullopt);
    // A request to `source` started or ended; `bytes` of a body arrived from it.
    void Began(std::size_t source, double now);
    void Ended(std::size_t source, double now);
    void Arrived(std::size_t source, uint64_t bytes, double now);
    // Whether a request at `source` goes on; it may mark the source stalled.
    SourceVerdict Verdict(std::size_t source, double now);
    bool Stalled(std::size_t source) const;
    // Skips `source` for the rest of the run (`why` for the log), unless it is the last one that
    // did not fail: false then, and the file stays with it.
    bool Drop(std::size_t source, const std::wstring& why);

  private:
    enum class State { Working, Stalled, Failed };
    struct Source {
        std::wstring base;
        std::wstring host;
        State state = State::Working;
        int inFlight = 0;
        double busySince = 0;
        double idleSince = -std::numeric_limits<double>::infinity();
        // Bytes that arrived, one entry per tenth of a second: (latest arrival, bytes).
        std::deque<std::pair<double, uint64_t>> arrivals;
        double rate = 0;  // bytes per second over the window when it stalled
    };

    uint64_t WindowBytes(Source& s, double now);
    double WindowEnd(const Source& s) const;
    SourceVerdict Stall(std::size_t source, double rate);
    std::size_t Fastest(std::size_t current, double rate) const;

    std::vector<Source> sources_;
    mutable std::mutex mutex_;  // guards the health below and in sources_
    std::size_t turn_ = 0;
    bool settled_ = false;  // every source tried: no more stalls
};

}  // namespace vt
