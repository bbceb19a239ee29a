#pragma once
// SHA-256 and the ECDSA P-256 check of signed patch profiles. Windows does the arithmetic with
// CNG (Crypto_win32.cpp); the native build uses OpenSSL 3 (Crypto_posix.cpp), so the portable
// code and its tests are the same on both.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vt {

using Sha256Digest = std::array<uint8_t, 32>;
using P256PublicKey = std::array<uint8_t, 64>;  // X then Y, big-endian

// Streaming SHA-256: Update with the bytes in any pieces, then Final once.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(std::span<const std::byte> bytes);
    Sha256Digest Final();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

Sha256Digest Sha256Of(std::span<const std::byte> bytes);

// Whether `signature` (r then s, 32 bytes each) is the key's ECDSA signature of SHA-256 of
// `message`. Any length other than 64 is refused before the system sees it; so is a key that
// is not a point of the curve.
bool VerifyP256Signature(const P256PublicKey& key, std::span<const std::byte> message,
                         std::span<const std::byte> signature);

// Lowercase hex digits, two per byte.
std::string LowerHex(std::span<const uint8_t> bytes);
// Lowercase hex digits of a digest.
std::string DigestHex(const Sha256Digest& digest);
// Exactly 64 hex digits (either case); nothing else.
std::optional<Sha256Digest> ParseDigestHex(std::string_view text);
// Exactly 128 hex digits (either case); nothing else. Whether it is a point of the curve is
// left to VerifyP256Signature.
std::optional<P256PublicKey> ParsePublicKeyHex(std::string_view text);

}  // namespace vt
