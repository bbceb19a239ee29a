#include "transfer/SlowAnswer.h"

#include <cmath>

namespace vt {
namespace {

std::wstring Seconds(double seconds) {
    return std::to_wstring(static_cast<long long>(std::ceil(seconds))) + L" s";
}

}  // namespace

std::wstring DescribeSlowAnswer(SlowAnswer slow, const SlowAnswerRule& rule) {
    if (slow == SlowAnswer::NoHead) {
        return L"no answer within " + Seconds(rule.headSeconds);
    }
    return L"fewer than " + std::to_wstring(rule.windowBytes) + L" bytes in " +
           Seconds(rule.windowSeconds);
}

void AnswerWatch::HeadArrived(double now) {
    head_ = true;
    headAt_ = now;
}

void AnswerWatch::Arrived(uint64_t bytes, double now) {
    if (bytes == 0) {
        return;
    }
    total_ += bytes;
    arrivals_.emplace_back(now, total_);
    // An arrival whose total is within the last windowBytes of the body can still begin the
    // window; the ones before it never again.
    while (total_ >= rule_.windowBytes && arrivals_.front().second <= total_ - rule_.windowBytes) {
        arrivals_.pop_front();
    }
}

double AnswerWatch::Deadline() const {
    if (!head_) {
        return sentAt_ + rule_.headSeconds;
    }
    // The window must still hold windowBytes: it runs out windowSeconds after the arrival
    // that took the total past the last windowBytes of it (from the head while fewer came).
    const double from = total_ < rule_.windowBytes ? headAt_ : arrivals_.front().first;
    return from + rule_.windowSeconds;
}

SlowAnswer AnswerWatch::Tripped(double now) const {
    if (now < Deadline()) {
        return SlowAnswer::None;
    }
    return head_ ? SlowAnswer::TooFewBytes : SlowAnswer::NoHead;
}

}  // namespace vt
