// Preloaded into each fuzz target by CI's fuzz step (scripts/common.sh, vt_check_fuzz), so that
// a run with a fixed seed repeats itself whatever the machine's load: the monotonic clock moves
// one microsecond a reading instead of with the machine (the profile cache asks the disk again
// once 100 ms have passed, a branch that would follow the load), and the process id, which the
// names of temporary files hold, is always the same. Wall-clock time stays real: libFuzzer
// times its units with it.
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace {

constexpr pid_t kProcessId = 4242;
std::atomic<unsigned long long> readings{0};

bool IsMonotonic(clockid_t id) {
    return id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_RAW || id == CLOCK_MONOTONIC_COARSE ||
           id == CLOCK_BOOTTIME;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int clock_gettime(clockid_t id,
                                                                    struct timespec* time) {
    if (!IsMonotonic(id)) {
        return static_cast<int>(syscall(SYS_clock_gettime, id, time));
    }
    const unsigned long long microseconds = ++readings;
    time->tv_sec = static_cast<time_t>(microseconds / 1000000);
    time->tv_nsec = static_cast<long>(microseconds % 1000000 * 1000);
    return 0;
}

extern "C" __attribute__((visibility("default"))) pid_t getpid() {
    return kProcessId;
}
