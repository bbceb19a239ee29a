#include "transfer/HashPipe.h"

#include <algorithm>

namespace vt {

HashPipe::HashPipe(Sha256& hash) : hash_(hash) {}

HashPipe::~HashPipe() {
    if (!worker_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        queued_.clear();
    }
    changed_.notify_all();
    worker_.join();
}

void HashPipe::Update(std::span<const std::byte> piece) {
    while (!piece.empty()) {
        const size_t n = std::min(piece.size(), kBatch - filling_.size());
        filling_.insert(filling_.end(), piece.begin(), piece.begin() + static_cast<ptrdiff_t>(n));
        piece = piece.subspan(n);
        if (filling_.size() == kBatch) {
            HandOver();
        }
    }
}

void HashPipe::HandOver() {
    if (!worker_.joinable()) {
        worker_ = std::thread([this] { Run(); });
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queued_.size() < kDepth; });
    queued_.push_back(std::move(filling_));
    filling_.clear();
    if (!spare_.empty()) {
        filling_ = std::move(spare_.back());
        spare_.pop_back();
        filling_.clear();
    }
    lock.unlock();
    changed_.notify_all();
}

void HashPipe::Finish() {
    if (!worker_.joinable()) {
        // Less than a batch in all: a thread would only hash it while this one waits.
        hash_.Update(filling_);
        filling_.clear();
        return;
    }
    if (!filling_.empty()) {
        HandOver();
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queued_.empty() && !hashing_; });
}

void HashPipe::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || !queued_.empty(); });
        if (stop_) {
            return;
        }
        std::vector<std::byte> piece = std::move(queued_.front());
        queued_.pop_front();
        hashing_ = true;
        lock.unlock();
        changed_.notify_all();  // room for the next piece
        hash_.Update(piece);
        lock.lock();
        hashing_ = false;
        spare_.push_back(std::move(piece));
        changed_.notify_all();
    }
}

}  // namespace vt
