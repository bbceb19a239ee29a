#pragma once
// Flushes a file being written on a thread of its own each time another `step` bytes have
// been written, so that the disk takes a large body while it arrives and the flush that makes
// it durable before it is placed only has the last part left (under Wine every flush is an
// fsync, and 256 MiB took about 0.1 s of a 0.4 s download on loopback). A file smaller than
// one step starts no thread. The early flushes decide nothing: a failing one is left to the
// final flush, which the caller still makes. (Windows serialises calls on a handle opened for
// synchronous I/O, so there a write may wait for an early flush.)

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "base/FileSystem.h"

namespace vt {

class EarlyFlush {
  public:
    // `file` must outlive this object.
    EarlyFlush(fs::OutputFile& file, uint64_t step) : file_(file), step_(step), nextAt_(step) {}
    // Waits for a flush under way; one only asked for is dropped.
    ~EarlyFlush();
    EarlyFlush(const EarlyFlush&) = delete;
    EarlyFlush& operator=(const EarlyFlush&) = delete;

    // `total` bytes are written so far. Never waits for the disk: while a flush is under way,
    // the steps passed meanwhile make one more flush after it.
    void Written(uint64_t total);

  private:
    void Run();

    fs::OutputFile& file_;
    const uint64_t step_;
    uint64_t nextAt_;  // the writer's: the total at which to ask again
    std::mutex mutex_;
    std::condition_variable changed_;
    bool wanted_ = false;
    bool stop_ = false;
    std::thread worker_;  // started by the first step
};

}  // namespace vt
