#pragma once
// Time for the pool's tests: seconds that pass only when the pool or a connection waits.

#include <algorithm>
#include <atomic>
#include <chrono>

#include "transfer/Clock.h"
#include "transfer/Pool.h"

namespace vt::test {

// Seconds that pass only when the pool or a connection waits for them; read from any thread.
class VirtualClock final : public Clock {
  public:
    double Seconds() override { return now.load(); }
    void Advance(double seconds) { now.fetch_add(seconds); }
    std::atomic<double> now{100};
};

// A wait that nobody rings passes its whole time on the virtual clock (after a short real
// wait for a worker to ring).
class VirtualDoorbell final : public Doorbell {
  public:
    explicit VirtualDoorbell(VirtualClock& clock) : clock_(clock) {}
    void Ring() override { bell_.Ring(); }
    void Wait(std::chrono::milliseconds most) override {
        const auto start = std::chrono::steady_clock::now();
        bell_.Wait(std::min(most, std::chrono::milliseconds(2)));
        if (std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(2)) {
            clock_.Advance(static_cast<double>(most.count()) / 1000);
        }
    }

  private:
    VirtualClock& clock_;
    PlainDoorbell bell_;
};

}  // namespace vt::test
