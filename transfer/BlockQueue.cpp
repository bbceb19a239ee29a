#include "transfer/BlockQueue.h"

#include <algorithm>
#include <utility>

namespace vt {

// A queue of no blocks would never move.
BlockQueue::BlockQueue(std::size_t blockSize, std::size_t capacity,
                       std::vector<std::vector<std::byte>> spares)
    : blockSize_(blockSize), capacity_(std::max<std::size_t>(capacity, 1)) {
    for (std::vector<std::byte>& block : spares) {
        if (block.size() == blockSize_ && spare_.size() < capacity_) {
            spare_.push_back(std::move(block));
        }
    }
    blocks_ = spare_.size();
}

std::vector<std::vector<std::byte>> BlockQueue::TakeBlocks() {
    std::lock_guard lock(mutex_);
    std::vector<std::vector<std::byte>> out = std::move(spare_);
    spare_.clear();
    if (!lent_.empty()) {
        out.push_back(std::exchange(lent_, {}));
    }
    for (Block& block : filled_) {
        out.push_back(std::move(block.data));
    }
    filled_.clear();
    frontOffset_ = 0;
    blocks_ = 0;
    return out;
}

std::vector<std::byte> BlockQueue::TakeRoom() {
    if (spare_.empty()) {
        ++blocks_;
        return {};
    }
    std::vector<std::byte> block = std::move(spare_.back());
    spare_.pop_back();
    return block;
}

std::optional<std::vector<std::byte>> BlockQueue::TakeEmpty() {
    std::vector<std::byte> block;
    {
        std::unique_lock lock(mutex_);
        spaceFreed_.wait(lock, [&] { return Closed() || HasRoom(); });
        if (Closed()) {
            return std::nullopt;
        }
        block = TakeRoom();
    }
    // Outside the lock: a new block is allocated and zeroed here.
    block.resize(blockSize_);
    return block;
}

std::optional<std::vector<std::byte>> BlockQueue::TryTakeEmpty() {
    std::vector<std::byte> block;
    {
        std::lock_guard lock(mutex_);
        if (Closed() || !HasRoom()) {
            return std::nullopt;
        }
        block = TakeRoom();
    }
    block.resize(blockSize_);
    return block;
}

bool BlockQueue::Push(std::vector<std::byte> block, std::size_t size) {
    size = std::min(size, block.size());
    {
        std::lock_guard lock(mutex_);
        if (Closed()) {
            return false;
        }
        if (size == 0) {
            // An empty piece would read as the end.
            spare_.push_back(std::move(block));
        } else {
            filled_.push_back({std::move(block), size});
        }
    }
    if (size == 0) {
        spaceFreed_.notify_one();
    } else {
        changed_.notify_one();
    }
    return true;
}

void BlockQueue::Finish() {
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    changed_.notify_all();
    spaceFreed_.notify_all();
}

void BlockQueue::Cancel() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    changed_.notify_all();
    spaceFreed_.notify_all();
}

bool BlockQueue::Unlend() {
    if (lent_.empty()) {
        return false;
    }
    spare_.push_back(std::exchange(lent_, {}));
    return true;
}

void BlockQueue::ReturnLent() {
    bool freed = false;
    {
        std::lock_guard lock(mutex_);
        freed = Unlend();
    }
    if (freed) {
        spaceFreed_.notify_one();
    }
}

std::optional<std::span<const std::byte>> BlockQueue::TryNext(std::size_t most) {
    std::optional<std::span<const std::byte>> piece;
    bool freed = false;
    {
        std::lock_guard lock(mutex_);
        freed = Unlend();
        piece = TakePiece(most);
    }
    if (freed) {
        spaceFreed_.notify_one();
    }
    return piece;
}

std::span<const std::byte> BlockQueue::Next(std::size_t most) {
    std::unique_lock lock(mutex_);
    bool freed = Unlend();
    for (;;) {
        if (std::optional<std::span<const std::byte>> piece = TakePiece(most)) {
            lock.unlock();
            if (freed) {
                spaceFreed_.notify_one();
            }
            return *piece;
        }
        if (freed) {
            // The reader may be waiting for exactly this block before it can queue more.
            freed = false;
            spaceFreed_.notify_one();
        }
        changed_.wait(lock);
    }
}

// A block stays at the front while it is read in parts and is lent out with its last part, so
// a piece's bytes stay put until the consumer's next call.
std::optional<std::span<const std::byte>> BlockQueue::TakePiece(std::size_t most) {
    if (cancelled_) {
        return std::span<const std::byte>{};
    }
    if (filled_.empty()) {
        return finished_ ? std::optional(std::span<const std::byte>{}) : std::nullopt;
    }
    Block& front = filled_.front();
    std::size_t n = std::min(most, front.size - frontOffset_);
    std::span<const std::byte> piece(front.data.data() + frontOffset_, n);
    frontOffset_ += n;
    if (frontOffset_ == front.size) {
        lent_ = std::move(front.data);
        filled_.pop_front();
        frontOffset_ = 0;
    }
    return piece;
}

}  // namespace vt
