#pragma once
// The bounded queue that carries a body from the thread that reads it to the thread that
// stores it. The reader fills whole blocks and queues them; the consumer takes bytes in pieces
// of any size and may read a piece in place: the block it came from is lent out until the
// consumer's next call, then becomes a spare block for the reader. At most `capacity` blocks
// exist, so a reader ahead of its consumer waits for space instead of buffering the body.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace vt {

class BlockQueue {
  public:
    // `spares`: blocks of an earlier queue (TakeBlocks) to fill before new ones are made; a
    // fresh block of a megabyte costs about as much as a small file under Wine.
    BlockQueue(std::size_t blockSize, std::size_t capacity,
               std::vector<std::vector<std::byte>> spares = {});
    BlockQueue(const BlockQueue&) = delete;
    BlockQueue& operator=(const BlockQueue&) = delete;

    // Reader side.
    // A block of blockSize bytes to fill, once one is free; none after Finish or Cancel.
    std::optional<std::vector<std::byte>> TakeEmpty();
    // TakeEmpty without the wait: nothing while every block is in use.
    std::optional<std::vector<std::byte>> TryTakeEmpty();
    // Queues the first `size` bytes of `block` (an empty one goes back to the spares). False
    // (and the block is dropped) after Finish or Cancel.
    bool Push(std::vector<std::byte> block, std::size_t size);
    // No more blocks: the consumer gets what is queued, then the end.
    void Finish();

    // Consumer side.
    // The next up to `most` (> 0) bytes in the queue's memory, valid until the next call;
    // empty at the end or after Cancel. Waits while the queue is empty and not finished.
    // The piece lent by the previous call goes back to the reader in the same step as the
    // next piece is taken, so a reader never refills it in between.
    std::span<const std::byte> Next(std::size_t most);
    // Next without the wait: nothing while the queue is empty and not finished.
    std::optional<std::span<const std::byte>> TryNext(std::size_t most);
    // Ends the lending of the last piece early (after it has been copied, say).
    void ReturnLent();
    // The consumer has given up: the reader's waits end and whatever it pushes is dropped.
    void Cancel();

    // Every block the queue holds, for the next queue; only once the reader is done.
    std::vector<std::vector<std::byte>> TakeBlocks();

  private:
    struct Block {
        std::vector<std::byte> data;
        std::size_t size = 0;
    };

    // With mutex_ held: the next piece, or nothing while the queue is empty and not finished.
    std::optional<std::span<const std::byte>> TakePiece(std::size_t most);
    // With mutex_ held: the lent block becomes a spare; true when there was one (the caller
    // wakes the reader once the lock is released).
    bool Unlend();
    // With mutex_ held: whether a block is free to be filled (a spare or one not yet made).
    bool HasRoom() const { return !spare_.empty() || blocks_ < capacity_; }
    // With mutex_ held and HasRoom(): a spare block, else an empty vector counted as a new one.
    std::vector<std::byte> TakeRoom();
    bool Closed() const { return finished_ || cancelled_; }

    const std::size_t blockSize_;
    const std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable spaceFreed_;  // the reader waits for a spare block
    std::condition_variable changed_;     // the consumer waits for a block or the end
    std::deque<Block> filled_;
    std::size_t frontOffset_ = 0;  // bytes of filled_.front() already taken
    std::vector<std::vector<std::byte>> spare_;
    std::vector<std::byte> lent_;  // the block whose bytes the consumer may still be reading
    std::size_t blocks_ = 0;       // blocks made so far, at most capacity_
    bool finished_ = false;
    bool cancelled_ = false;
};

}  // namespace vt
