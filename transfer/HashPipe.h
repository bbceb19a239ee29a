#pragma once
// A SHA-256 fed by one thread and computed on another, so that hashing a download overlaps
// its network reads and its disk writes instead of adding to them. The other thread starts
// with the first full batch: a small file is hashed at Finish, without a thread's start and
// end (about 2 ms under Wine, more than its hashing).

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "base/Crypto.h"

namespace vt {

class HashPipe {
  public:
    // `hash` goes on from what it already holds (a resumed part's bytes, say); it belongs to
    // the pipe until Finish returns.
    explicit HashPipe(Sha256& hash);
    // Without Finish, what is still queued is dropped: the caller is giving up.
    ~HashPipe();
    HashPipe(const HashPipe&) = delete;
    HashPipe& operator=(const HashPipe&) = delete;

    // Copies the piece. Pieces are handed over kBatch bytes at a time (each hand-over costs
    // thread wake-ups, a system call each under Wine); waits only while kDepth batches are
    // still waiting to be hashed.
    void Update(std::span<const std::byte> piece);
    // Returns once every piece given is in the hash.
    void Finish();

    static constexpr size_t kDepth = 3;
    static constexpr size_t kBatch = 1024 * 1024;

  private:
    void Run();
    void HandOver();

    std::vector<std::byte> filling_;  // the producer's batch, not yet handed over

    Sha256& hash_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<std::byte>> queued_;
    std::vector<std::vector<std::byte>> spare_;  // buffers reused instead of allocated
    bool hashing_ = false;
    bool stop_ = false;
    std::thread worker_;  // started by the first hand-over
};

}  // namespace vt
