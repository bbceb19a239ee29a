#pragma once
// One rule for answers too slow to wait for, the same for every request: no response head
// within headSeconds of the request, or fewer than windowBytes body bytes in any windowSeconds
// after the head, and the request is abandoned. Time-outs of the network layer do not do this:
// a trickle of a byte just within each of them keeps a request alive for ever.

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

namespace vt {

struct SlowAnswerRule {
    double headSeconds = 30;
    double windowSeconds = 30;
    uint64_t windowBytes = 1024;
};

enum class SlowAnswer {
    None,
    NoHead,       // no response head within headSeconds
    TooFewBytes,  // fewer than windowBytes in windowSeconds
};

// For the run log: "no answer within 30 s", "fewer than 1024 bytes in 30 s".
std::wstring DescribeSlowAnswer(SlowAnswer slow, const SlowAnswerRule& rule);

// Watches one request against the rule, in the seconds of a clock the caller reads.
class AnswerWatch {
  public:
    AnswerWatch(const SlowAnswerRule& rule, double sent) : rule_(rule), sentAt_(sent) {}

    void HeadArrived(double now);
    void Arrived(uint64_t bytes, double now);
    // When the rule trips unless more arrives.
    double Deadline() const;
    // Which limit has tripped by `now`; None before the deadline.
    SlowAnswer Tripped(double now) const;

  private:
    SlowAnswerRule rule_;
    double sentAt_;
    bool head_ = false;
    double headAt_ = 0;
    uint64_t total_ = 0;
    // (time, total after it) of the latest arrivals: those still needed to tell when the
    // window holding the last windowBytes bytes began.
    std::deque<std::pair<double, uint64_t>> arrivals_;
};

}  // namespace vt
