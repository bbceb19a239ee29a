#include "transfer/BlockQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace vt {
namespace {

using namespace std::chrono_literals;

// A thread that must wake: only a queue that never wakes it runs into this.
constexpr auto kWakes = 10s;

std::string Text(std::span<const std::byte> piece) {
    return std::string(reinterpret_cast<const char*>(piece.data()), piece.size());
}

// The test's own thread never waits on the queue, so a faulty queue fails a check instead of
// hanging the test: this is what the consumer gets right now, empty at the end. Whether a
// waiting thread could go on is asked the same way (TryNext, TryTakeEmpty), never by giving
// it time.
std::string Now(BlockQueue& queue, size_t most) {
    std::optional<std::span<const std::byte>> piece = queue.TryNext(most);
    return piece ? Text(*piece) : "(nothing yet)";
}

// Fills one block with `text` (at most a block) and queues it.
bool PushText(BlockQueue& queue, const std::string& text) {
    std::optional<std::vector<std::byte>> block = queue.TakeEmpty();
    if (!block) {
        return false;
    }
    std::memcpy(block->data(), text.data(), text.size());
    return queue.Push(std::move(*block), text.size());
}

// Runs `fn` on a thread of its own. Leaving the test cancels and ends the queue first, so a
// thread still waiting after a failed check returns instead of hanging the test.
template <typename Result>
class OnThread {
  public:
    OnThread(BlockQueue& queue, std::function<Result()> fn)
        : queue_(queue), result_(std::async(std::launch::async, std::move(fn))) {}
    ~OnThread() {
        queue_.Cancel();
        queue_.Finish();
    }
    OnThread(const OnThread&) = delete;
    OnThread& operator=(const OnThread&) = delete;

    bool ReadyWithin(std::chrono::milliseconds within) {
        return result_.wait_for(within) == std::future_status::ready;
    }
    Result Get() { return result_.get(); }

  private:
    BlockQueue& queue_;
    std::future<Result> result_;
};

TEST(BlockQueue, KeepsTheOrderOfBytesAcrossBlocksAndPieceSizes) {
    BlockQueue queue(7, 100);
    std::string sent;
    for (int i = 0; i < 60; ++i) {
        std::string text(1 + i % 7, static_cast<char>('A' + i % 26));
        text.back() = static_cast<char>('0' + i % 10);
        ASSERT_TRUE(PushText(queue, text));
        sent += text;
    }
    queue.Finish();
    std::string got;
    for (size_t most = 1;; most = most % 9 + 1) {
        std::optional<std::span<const std::byte>> piece = queue.TryNext(most);
        ASSERT_TRUE(piece);
        if (piece->empty()) {
            break;
        }
        ASSERT_LE(piece->size(), most);
        got += Text(*piece);
    }
    EXPECT_EQ(got, sent);
    EXPECT_EQ(Now(queue, 5), "");  // the end stays the end
}

TEST(BlockQueue, ABlockIsReadInPartsAndOnlyTheEmptyPieceIsTheEnd) {
    BlockQueue queue(8, 2);
    ASSERT_TRUE(PushText(queue, "abcdefg"));
    EXPECT_EQ(Now(queue, 3), "abc");
    EXPECT_EQ(Now(queue, 3), "def");
    EXPECT_EQ(Now(queue, 3), "g");  // never runs into the next block
    EXPECT_EQ(Now(queue, 3), "(nothing yet)");

    // A read of nothing goes back to the spares instead of ending the body.
    std::optional<std::vector<std::byte>> block = queue.TakeEmpty();
    ASSERT_TRUE(block);
    EXPECT_EQ(block->size(), 8u);
    ASSERT_TRUE(queue.Push(std::move(*block), 0));
    EXPECT_EQ(Now(queue, 3), "(nothing yet)");
    ASSERT_TRUE(PushText(queue, "h"));
    EXPECT_EQ(Now(queue, 3), "h");

    queue.Finish();
    EXPECT_EQ(Now(queue, 3), "");
}

// The next request's queue fills the blocks of the last one: same memory, no new block.
TEST(BlockQueue, BlocksGoOnToTheNextQueue) {
    BlockQueue first(4, 3);
    ASSERT_TRUE(PushText(first, "AAAA"));
    ASSERT_TRUE(PushText(first, "BB"));
    first.Finish();
    EXPECT_EQ(Now(first, 4), "AAAA");  // lent, not yet returned
    std::vector<std::vector<std::byte>> blocks = first.TakeBlocks();
    ASSERT_EQ(blocks.size(), 2u) << "the lent block and the queued one";
    std::vector<const std::byte*> memory;
    for (const auto& b : blocks) {
        memory.push_back(b.data());
    }
    blocks.push_back(std::vector<std::byte>(7));  // another size is not taken
    BlockQueue next(4, 2, std::move(blocks));
    for (int i = 0; i < 2; ++i) {
        std::optional<std::vector<std::byte>> block = next.TakeEmpty();
        ASSERT_TRUE(block);
        EXPECT_EQ(block->size(), 4u);
        EXPECT_NE(std::find(memory.begin(), memory.end(), block->data()), memory.end()) << i;
        ASSERT_TRUE(next.Push(std::move(*block), 4));
    }
    EXPECT_FALSE(next.TryTakeEmpty()) << "the two blocks count against capacity";
    OnThread<bool> refill(next, [&] { return next.TakeEmpty().has_value(); });
    next.Cancel();
    ASSERT_TRUE(refill.ReadyWithin(kWakes));
    EXPECT_FALSE(refill.Get());
}

TEST(BlockQueue, ALentPieceStaysIntactUntilTheNextCall) {
    BlockQueue queue(4, 1);  // one block: the producer can only refill the lent one
    ASSERT_TRUE(PushText(queue, "AAAA"));
    std::span<const std::byte> lent = queue.TryNext(4).value_or(std::span<const std::byte>{});
    OnThread<bool> refill(queue, [&] { return PushText(queue, "BBBB"); });
    EXPECT_FALSE(queue.TryTakeEmpty()) << "the only block is lent";
    EXPECT_EQ(Text(lent), "AAAA");

    // The next call hands the block back and finds the queue empty in one step, whenever the
    // producer runs; then the producer refills that very block and the bytes are new.
    EXPECT_EQ(Now(queue, 4), "(nothing yet)");
    ASSERT_TRUE(refill.ReadyWithin(kWakes));
    EXPECT_TRUE(refill.Get());
    std::optional<std::span<const std::byte>> refilled = queue.TryNext(4);
    ASSERT_TRUE(refilled);
    EXPECT_EQ(Text(*refilled), "BBBB");
    EXPECT_EQ(refilled->data(), lent.data());
}

TEST(BlockQueue, TheProducerWaitsWhileEveryBlockIsInUse) {
    BlockQueue queue(16, 3);
    for (const char* text : {"one", "two", "three"}) {
        ASSERT_TRUE(PushText(queue, text));
    }
    OnThread<std::optional<std::vector<std::byte>>> fourth(queue,
                                                           [&] { return queue.TakeEmpty(); });
    EXPECT_FALSE(queue.TryTakeEmpty());

    // Reading a block lends it, which frees nothing yet.
    EXPECT_EQ(Now(queue, 16), "one");
    EXPECT_FALSE(queue.TryTakeEmpty());

    // Handing it back early, as a copying reader does, frees it for the waiting producer,
    // whether it is waiting already or not yet.
    queue.ReturnLent();
    ASSERT_TRUE(fourth.ReadyWithin(kWakes));
    std::optional<std::vector<std::byte>> block = fourth.Get();
    ASSERT_TRUE(block);
    EXPECT_EQ(block->size(), 16u);
}

TEST(BlockQueue, CancelWakesAWaitingProducerAndAWaitingConsumer) {
    BlockQueue queue(4, 1);
    OnThread<size_t> consumer(queue, [&] { return queue.Next(4).size(); });
    EXPECT_EQ(Now(queue, 4), "(nothing yet)");
    std::optional<std::vector<std::byte>> held = queue.TakeEmpty();
    ASSERT_TRUE(held);
    OnThread<bool> producer(queue, [&] { return queue.TakeEmpty().has_value(); });
    EXPECT_FALSE(queue.TryTakeEmpty());

    // Waiting or not yet, both end with nothing.
    queue.Cancel();
    ASSERT_TRUE(consumer.ReadyWithin(kWakes));
    ASSERT_TRUE(producer.ReadyWithin(kWakes));
    EXPECT_EQ(consumer.Get(), 0u);
    EXPECT_FALSE(producer.Get());
    // What is read after the cancel goes nowhere.
    EXPECT_FALSE(queue.Push(std::move(*held), 4));
    EXPECT_EQ(Now(queue, 4), "");
}

TEST(BlockQueue, FinishDeliversWhatIsQueuedFirst) {
    BlockQueue queue(4, 2);
    ASSERT_TRUE(PushText(queue, "last"));
    queue.Finish();
    EXPECT_EQ(Now(queue, 4), "last");
    EXPECT_EQ(Now(queue, 4), "");

    // A consumer waiting on an empty queue wakes for the next block.
    BlockQueue waiting(4, 1);
    OnThread<std::string> consumer(waiting, [&] { return Text(waiting.Next(4)); });
    EXPECT_EQ(Now(waiting, 4), "(nothing yet)");
    ASSERT_TRUE(PushText(waiting, "data"));
    ASSERT_TRUE(consumer.ReadyWithin(kWakes));
    EXPECT_EQ(consumer.Get(), "data");
}

TEST(BlockQueue, FinishWakesAWaitingProducerAndAWaitingConsumer) {
    BlockQueue queue(4, 1);
    std::optional<std::vector<std::byte>> held = queue.TakeEmpty();  // the only block
    ASSERT_TRUE(held);
    OnThread<bool> producer(queue, [&] { return queue.TakeEmpty().has_value(); });
    OnThread<size_t> consumer(queue, [&] { return queue.Next(4).size(); });
    EXPECT_FALSE(queue.TryTakeEmpty());
    EXPECT_EQ(Now(queue, 4), "(nothing yet)");

    queue.Finish();
    ASSERT_TRUE(producer.ReadyWithin(kWakes));
    ASSERT_TRUE(consumer.ReadyWithin(kWakes));
    EXPECT_FALSE(producer.Get());
    EXPECT_EQ(consumer.Get(), 0u);
    EXPECT_FALSE(queue.Push(std::move(*held), 4));
}

std::byte PatternByte(size_t i) {
    return static_cast<std::byte>((i * 131 + i / 256) & 0xff);
}

// A producer filling blocks to varying lengths against a consumer reading pieces of varying
// sizes, in place and waiting or polling: every byte arrives once and in order, a lent piece is
// never overwritten while held, and no more than `capacity` blocks ever exist.
TEST(BlockQueue, ProducerAndConsumerThreadsMoveEveryByteInOrder) {
    constexpr size_t kBlockSize = 97;
    constexpr size_t kCapacity = 3;
    constexpr size_t kTotal = 3'000'000;
    BlockQueue queue(kBlockSize, kCapacity);
    std::set<const std::byte*> blocks;  // producer's thread only

    auto produce = [&] {
        size_t sent = 0;
        for (size_t round = 0; sent < kTotal; ++round) {
            std::optional<std::vector<std::byte>> block = queue.TakeEmpty();
            ASSERT_TRUE(block);
            ASSERT_EQ(block->size(), kBlockSize);
            blocks.insert(block->data());
            size_t n = std::min(kTotal - sent, 1 + (round * 37) % kBlockSize);
            for (size_t i = 0; i < n; ++i) {
                (*block)[i] = PatternByte(sent + i);
            }
            ASSERT_TRUE(queue.Push(std::move(*block), n));
            sent += n;
        }
    };
    std::thread producer([&] {
        produce();
        queue.Finish();  // also after a failed check, so the consumer ends
    });
    // A queue that stalls is stopped, failing the run instead of hanging it.
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    bool done = false;
    bool stalled = false;
    std::thread watchdog([&] {
        std::unique_lock lock(doneMutex);
        if (!doneChanged.wait_for(lock, 120s, [&] { return done; })) {
            stalled = true;
            queue.Cancel();
            queue.Finish();
        }
    });

    size_t received = 0;
    size_t mismatches = 0;
    size_t oversized = 0;
    for (size_t call = 0;; ++call) {
        const size_t most = 1 + (call * 53) % 150;
        std::span<const std::byte> piece;
        if (call % 3 == 0) {
            std::optional<std::span<const std::byte>> tried = queue.TryNext(most);
            if (!tried) {
                std::this_thread::yield();
                continue;
            }
            piece = *tried;
        } else {
            piece = queue.Next(most);
        }
        if (piece.empty()) {
            break;
        }
        oversized += piece.size() > most;
        if (call % 5 == 0) {
            std::this_thread::yield();  // let the producer run while the piece is held
        }
        for (size_t i = 0; i < piece.size(); ++i) {
            mismatches += piece[i] != PatternByte(received + i);
        }
        received += piece.size();
        if (call % 4 == 1) {
            queue.ReturnLent();
        }
    }
    producer.join();
    {
        std::lock_guard lock(doneMutex);
        done = true;
    }
    doneChanged.notify_one();
    watchdog.join();
    EXPECT_FALSE(stalled);
    EXPECT_EQ(received, kTotal);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(oversized, 0u);
    EXPECT_LE(blocks.size(), kCapacity);
}

}  // namespace
}  // namespace vt
