#include "transfer/Clock.h"

#include <ctime>

namespace vt {
namespace {

double LocalTimeOfDay() {
    auto now = std::chrono::system_clock::now();
    std::time_t whole = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &whole);
#else
    localtime_r(&whole, &local);
#endif
    auto fraction = now - std::chrono::system_clock::from_time_t(whole);
    return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec +
           std::chrono::duration<double>(fraction).count();
}

}  // namespace

SystemClock::SystemClock()
    : startTimeOfDay_(LocalTimeOfDay()), startTick_(std::chrono::steady_clock::now()) {}

double SystemClock::Seconds() {
    auto since = std::chrono::steady_clock::now() - startTick_;
    return startTimeOfDay_ + std::chrono::duration<double>(since).count();
}

}  // namespace vt
