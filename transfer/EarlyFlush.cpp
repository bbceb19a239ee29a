#include "transfer/EarlyFlush.h"

#include <system_error>

namespace vt {

EarlyFlush::~EarlyFlush() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
}

void EarlyFlush::Written(uint64_t total) {
    if (total < nextAt_) {
        return;
    }
    nextAt_ = total + step_;
    {
        std::lock_guard lock(mutex_);
        wanted_ = true;
    }
    if (!worker_.joinable()) {
        try {
            worker_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            nextAt_ = UINT64_MAX;  // no thread to be had: the final flush does it all
        }
    } else {
        changed_.notify_all();
    }
}

void EarlyFlush::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || wanted_; });
        if (stop_) {
            return;
        }
        wanted_ = false;
        lock.unlock();
        // Its result is the final flush's to report: that one covers these bytes again.
        static_cast<void>(file_.Flush());
        lock.lock();
    }
}

}  // namespace vt
