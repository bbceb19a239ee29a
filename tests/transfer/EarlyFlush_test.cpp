// The flushes made while a large body is written: when they happen, that a flush under way
// makes the writer wait for nothing, and that the flusher never outlives a flush.
#include "transfer/EarlyFlush.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vt {
namespace {

using namespace std::chrono_literals;

// Counts flushes; with the gate closed each flush waits in it until the test opens it.
class FlushRecorder final : public fs::OutputFile {
  public:
    bool Write(std::span<const std::byte>) override { return true; }
    bool Flush() override {
        ++entered;
        std::unique_lock lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
        ++flushed;
        return false;  // a failing early flush changes nothing
    }
    void Close() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    void Open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }

    std::atomic<int> entered{0};
    std::atomic<int> flushed{0};

  private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = true;
};

// Polls `done` until it holds or a deadline meant only for a faulty flusher has passed.
bool PollUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(EarlyFlush, FlushesOnceAStepHasBeenWrittenSinceTheLastAsk) {
    struct Step {
        uint64_t total;
        int flushesAfter;  // each one finished before the next write
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"less than a step: no flush", {{3, 0}, {9, 0}}},
        {"exactly a step", {{10, 1}}},
        {"counted from the ask, not the step edge", {{4, 0}, {12, 1}, {15, 1}, {21, 1}, {22, 2}}},
        {"a write of several steps asks once", {{35, 1}, {44, 1}, {45, 2}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FlushRecorder file;
        {
            EarlyFlush flushing(file, 10);
            for (const Step& s : c.steps) {
                SCOPED_TRACE(s.total);
                flushing.Written(s.total);
                ASSERT_TRUE(PollUntil([&] { return file.flushed >= s.flushesAfter; }));
            }
        }
        EXPECT_EQ(file.flushed, c.steps.back().flushesAfter) << "no flush beyond those asked";
    }
}

// The writer goes on while the disk is busy: the steps passed meanwhile make one flush after.
TEST(EarlyFlush, StepsPassedDuringAFlushMakeOneMoreFlush) {
    FlushRecorder file;
    {
        EarlyFlush flushing(file, 10);
        file.Close();
        flushing.Written(10);
        ASSERT_TRUE(PollUntil([&] { return file.entered == 1; }));
        for (uint64_t total : {20, 30, 40, 50}) {
            flushing.Written(total);  // returns with the first flush still under way
        }
        EXPECT_EQ(file.flushed, 0);
        file.Open();
        ASSERT_TRUE(PollUntil([&] { return file.flushed == 2; }));
    }
    EXPECT_EQ(file.entered, 2);
}

// The file is closed right after the flusher ends: a flush under way must be over by then.
TEST(EarlyFlush, EndsOnlyOnceTheFlushUnderWayIsOver) {
    FlushRecorder file;
    auto flushing = std::make_unique<EarlyFlush>(file, 10);
    file.Close();
    flushing->Written(10);
    ASSERT_TRUE(PollUntil([&] { return file.entered == 1; }));
    std::atomic<int> flushedWhenEnded{-1};
    std::thread ending([&] {
        flushing.reset();
        flushedWhenEnded = file.flushed.load();
    });
    file.Open();
    ending.join();
    EXPECT_EQ(flushedWhenEnded, 1);
}

}  // namespace
}  // namespace vt
