#pragma once
// The clock of the progress display: seconds since local midnight, with fractions.

#include <chrono>

namespace vt {

class Clock {
  public:
    virtual ~Clock() = default;
    virtual double Seconds() = 0;
};

// Reads the time of day once, then advances it with the steady clock. It therefore keeps
// counting past midnight (86400 and up) and ignores later changes of the system time, so an
// elapsed time taken from two readings is never negative.
class SystemClock final : public Clock {
  public:
    SystemClock();
    double Seconds() override;

  private:
    double startTimeOfDay_;
    std::chrono::steady_clock::time_point startTick_;
};

}  // namespace vt
