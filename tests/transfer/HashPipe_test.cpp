#include "transfer/HashPipe.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace vt {
namespace {

std::vector<std::byte> RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::byte> out(n);
    for (auto& b : out) {
        b = static_cast<std::byte>(rng());
    }
    return out;
}

// Pieces of every size, more of them than the pipe holds, and a hash that already holds bytes
// (a resumed part): the digest is the one of all bytes in order.
TEST(HashPipe, GivesTheDigestOfEveryPieceInOrder) {
    const std::vector<std::byte> data = RandomBytes(3 * 1024 * 1024 + 17, 7);
    const std::span<const std::byte> all(data);
    std::mt19937 rng(11);
    for (size_t resumed : {size_t{0}, size_t{1}, size_t{65536}}) {
        SCOPED_TRACE(resumed);
        Sha256 hash;
        hash.Update(all.first(resumed));
        {
            HashPipe pipe(hash);
            size_t at = resumed;
            while (at < data.size()) {
                const size_t n = std::min<size_t>(rng() % 300000, data.size() - at);
                pipe.Update(all.subspan(at, n));  // empty pieces included
                at += n;
            }
            pipe.Finish();
        }
        EXPECT_EQ(hash.Final(), Sha256Of(all));
    }
}

// Around one batch, where the pipe starts hashing on its own thread: fed in pieces of a
// prime size, the digest is that of all bytes; a pipe given up ends, with or without its thread.
TEST(HashPipe, GivesTheDigestAroundOneBatch) {
    const size_t batch = HashPipe::kBatch;
    for (size_t n : {size_t{0}, size_t{1}, batch - 1, batch, batch + 1, 2 * batch}) {
        SCOPED_TRACE(n);
        const std::vector<std::byte> data = RandomBytes(n, static_cast<uint32_t>(n));
        const std::span<const std::byte> all(data);
        Sha256 hash;
        {
            HashPipe pipe(hash);
            for (size_t at = 0; at < n; at += 65521) {
                pipe.Update(all.subspan(at, std::min<size_t>(65521, n - at)));
            }
            pipe.Finish();
        }
        EXPECT_EQ(hash.Final(), Sha256Of(all));
        HashPipe dropped(hash);
        dropped.Update(all);
    }
}

// The caller's buffer is reused at once: the pipe must hash its own copy.
TEST(HashPipe, HashesACopyNotTheCallersBuffer) {
    const std::vector<std::byte> data = RandomBytes(8 * 4096, 3);
    std::vector<std::byte> buffer(4096);
    Sha256 hash;
    {
        HashPipe pipe(hash);
        for (size_t at = 0; at < data.size(); at += buffer.size()) {
            std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(at), buffer.size(),
                        buffer.begin());
            pipe.Update(buffer);
            std::fill(buffer.begin(), buffer.end(), std::byte{0xAA});
        }
        pipe.Finish();
    }
    EXPECT_EQ(hash.Final(), Sha256Of(data));
}

// A download given up mid-way ends its pipe without Finish; that must not wait for ever.
TEST(HashPipe, EndsWithoutFinishWhilePiecesAreQueued) {
    const std::vector<std::byte> data = RandomBytes(1024 * 1024, 5);
    Sha256 hash;
    {
        HashPipe pipe(hash);
        for (size_t i = 0; i < HashPipe::kDepth; ++i) {
            pipe.Update(data);
        }
    }
    EXPECT_EQ(hash.Final().size(), 32u) << "the hash is usable again";
}

}  // namespace
}  // namespace vt
