#include "transfer/Sources.h"

#include <algorithm>
#include <cmath>

#include "base/Log.h"

namespace vt {
namespace {

// A source idle for less than this (a worker between two files) stays busy for the stall.
constexpr double kIdleGap = 1;
// Arrivals are kept in buckets of this many seconds.
constexpr double kBucket = 0.1;

}  // namespace

std::wstring HostOfBase(const std::wstring& base) {
    const std::size_t scheme = base.find(L"://");
    const std::size_t from = scheme == std::wstring::npos ? 0 : scheme + 3;
    return base.substr(from, base.find(L'/', from) - from);
}

SourceList::SourceList(std::vector<std::wstring> bases) {
    if (bases.empty()) {
        bases.emplace_back();  // the files' URLs as they are
    }
    for (std::wstring& base : bases) {
        Source s;
        s.host = HostOfBase(base);
        s.base = std::move(base);
        sources_.push_back(std::move(s));
    }
}

bool SourceList::Movable(const std::wstring& url) const {
    return sources_.size() > 1 && url.starts_with(sources_[0].base);
}

std::wstring SourceList::UrlAt(const std::wstring& url, std::size_t source) const {
    if (source == 0 || !Movable(url)) {
        return url;
    }
    return sources_[source].base + url.substr(sources_[0].base.size());
}

std::size_t SourceList::Pick(const std::wstring& url, std::optional<std::size_t> after) {
    if (!Movable(url)) {
        return 0;
    }
    std::lock_guard lock(mutex_);
    std::vector<std::size_t> working;
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        if (sources_[i].state == State::Working) {
            working.push_back(i);
        }
    }
    if (!working.empty() && after) {
        const auto past =
            std::find_if(working.begin(), working.end(), [&](std::size_t i) { return i > *after; });
        return past == working.end() ? working.front() : *past;
    }
    if (!working.empty()) {
        return working[turn_++ % working.size()];
    }
    // The rest stalled (Drop keeps one that did not fail): the fastest of them it is.
    std::size_t best = 0;
    double bestRate = -1;
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        if (sources_[i].state == State::Stalled && sources_[i].rate > bestRate) {
            best = i;
            bestRate = sources_[i].rate;
        }
    }
    sources_[best].state = State::Working;
    settled_ = true;
    LogLine(L"every source tried; staying on " + sources_[best].host + L", the fastest");
    return best;
}

void SourceList::Began(std::size_t source, double now) {
    std::lock_guard lock(mutex_);
    Source& s = sources_[source];
    if (s.inFlight++ == 0 && now - s.idleSince > kIdleGap) {
        s.busySince = now;
    }
}

void SourceList::Ended(std::size_t source, double now) {
    std::lock_guard lock(mutex_);
    Source& s = sources_[source];
    if (--s.inFlight == 0) {
        s.idleSince = now;
    }
}

void SourceList::Arrived(std::size_t source, uint64_t bytes, double now) {
    if (sources_.size() <= 1) {
        return;  // nothing to compare with
    }
    std::lock_guard lock(mutex_);
    auto& arrivals = sources_[source].arrivals;
    while (!arrivals.empty() && arrivals.front().first <= now - kStallSeconds) {
        arrivals.pop_front();
    }
    if (!arrivals.empty() &&
        std::floor(arrivals.back().first / kBucket) == std::floor(now / kBucket)) {
        arrivals.back().first = now;
        arrivals.back().second += bytes;
    } else {
        arrivals.emplace_back(now, bytes);
    }
}

uint64_t SourceList::WindowBytes(Source& s, double now) {
    while (!s.arrivals.empty() && s.arrivals.front().first <= now - kStallSeconds) {
        s.arrivals.pop_front();
    }
    uint64_t bytes = 0;
    for (const auto& [at, n] : s.arrivals) {
        bytes += n;
    }
    return bytes;
}

double SourceList::WindowEnd(const Source& s) const {
    // The window holds kStallBytes until the arrival that completed them from the newest end
    // leaves it.
    uint64_t bytes = 0;
    for (auto it = s.arrivals.rbegin(); it != s.arrivals.rend(); ++it) {
        bytes += it->second;
        if (bytes >= kStallBytes) {
            return it->first + kStallSeconds;
        }
    }
    return s.busySince + kStallSeconds;
}

SourceVerdict SourceList::Verdict(std::size_t source, double now) {
    if (sources_.size() <= 1) {
        return {};
    }
    std::lock_guard lock(mutex_);
    Source& s = sources_[source];
    if (s.state == State::Stalled) {
        return {true, now};
    }
    if (s.state == State::Failed || settled_ || s.inFlight == 0) {
        return {};
    }
    if (now < s.busySince + kStallSeconds) {
        return {false, s.busySince + kStallSeconds};
    }
    const uint64_t bytes = WindowBytes(s, now);
    if (bytes >= kStallBytes) {
        return {false, WindowEnd(s)};
    }
    return Stall(source, static_cast<double>(bytes) / kStallSeconds);
}

SourceVerdict SourceList::Stall(std::size_t source, double rate) {
    Source& s = sources_[source];
    s.rate = rate;
    bool another = false;
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        another = another || (i != source && sources_[i].state == State::Working);
    }
    if (another) {
        s.state = State::Stalled;
        LogLine(L"source " + s.host +
                L" stalled (fewer than 32 KiB/s over 10 s); skipped for the rest of the run");
        return {true, 0};
    }
    settled_ = true;
    const std::size_t best = Fastest(source, rate);
    if (best == source) {
        LogLine(L"every source tried; staying on " + s.host + L", the fastest");
        return {};
    }
    s.state = State::Stalled;
    sources_[best].state = State::Working;
    LogLine(L"every source tried; going back to " + sources_[best].host + L", the fastest");
    return {true, 0};
}

std::size_t SourceList::Fastest(std::size_t current, double rate) const {
    std::size_t best = current;
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        if (sources_[i].state == State::Stalled && sources_[i].rate > rate) {
            best = i;
            rate = sources_[i].rate;
        }
    }
    return best;
}

bool SourceList::Stalled(std::size_t source) const {
    std::lock_guard lock(mutex_);
    return sources_[source].state == State::Stalled;
}

bool SourceList::Drop(std::size_t source, const std::wstring& why) {
    std::lock_guard lock(mutex_);
    bool other = false;
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        other = other || (i != source && sources_[i].state != State::Failed);
    }
    if (!other) {
        return false;
    }
    Source& s = sources_[source];
    if (s.state != State::Failed) {
        s.state = State::Failed;
        LogLine(L"source " + s.host + L" failed (" + why + L"); skipped for the rest of the run");
    }
    return true;
}

}  // namespace vt
