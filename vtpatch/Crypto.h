#pragma once
// SHA-256, content versions and the patch key: ECDSA P-256, signatures as raw r || s (64 bytes),
// public keys as 128 hex digits (X then Y). OpenSSL does the arithmetic.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/Crypto.h"

namespace vt::vtpatch {

using Digest = std::array<uint8_t, 32>;
using Signature = std::array<uint8_t, 64>;
using PublicKey = std::array<uint8_t, 64>;  // X then Y, big-endian

// Feeds bytes in pieces; Finish() may be called once.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(std::string_view bytes);
    Digest Finish();

  private:
    vt::Sha256 hash_;  // the launcher's: OpenSSL in native builds
};

Digest Sha256Of(std::string_view bytes);
std::string Hex(const uint8_t* data, size_t size);  // lowercase
template <size_t N>
std::string Hex(const std::array<uint8_t, N>& bytes) {
    return Hex(bytes.data(), N);
}
// The content version of a file: the first 16 hex digits of its SHA-256.
std::string ContentVersion(const Digest& digest);

// A private key loaded from PEM (PKCS#8 or SEC1), P-256 only.
class PrivateKey {
  public:
    ~PrivateKey();
    PrivateKey(PrivateKey&&) noexcept;
    PrivateKey& operator=(PrivateKey&&) noexcept;

    static PrivateKey Generate();
    // Throws Failure for an unreadable file, an encrypted key or another curve.
    static PrivateKey LoadPem(const std::string& path);

    std::string Pem() const;  // PKCS#8
    PublicKey Public() const;
    // ECDSA over SHA-256 of `message`.
    Signature Sign(std::string_view message) const;

  private:
    struct Impl;
    explicit PrivateKey(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// 128 hex digits, blanks and a line end around them allowed. False when malformed or not a
// point of the curve.
bool ParsePublicKey(std::string_view text, PublicKey& out);
std::string PublicKeyText(const PublicKey& key);  // 128 hex digits and "\n"

// Whether `signature` is the key's signature of `message`.
bool VerifySignature(const PublicKey& key, std::string_view message, const Signature& signature);

// keygen: DIR/patch-key.pem (mode 0600 from its creation) and DIR/patch-key.pub. Refuses when
// either exists; leaves neither behind when it fails.
void WriteKeyPair(const std::string& directory);

}  // namespace vt::vtpatch
