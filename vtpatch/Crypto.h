#pragma once
// The patch key: ECDSA P-256, signatures as raw r || s (64 bytes), public keys as 128 hex
// digits (X then Y). OpenSSL does the arithmetic; hashes and the check of a signature are the
// launcher's own (base/Crypto.h).

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/Crypto.h"

namespace vt::vtpatch {

using Signature = std::array<uint8_t, 64>;

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
    P256PublicKey Public() const;
    // ECDSA over SHA-256 of `message`.
    Signature Sign(std::string_view message) const;

  private:
    struct Impl;
    explicit PrivateKey(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// 128 hex digits, blanks and a line end around them allowed. False when malformed or not a
// point of the curve.
bool ParsePublicKey(std::string_view text, P256PublicKey& out);
std::string PublicKeyText(const P256PublicKey& key);  // 128 hex digits and "\n"

// Whether `signature` is the key's signature of `message`.
bool VerifySignature(const P256PublicKey& key, std::string_view message,
                     const Signature& signature);

inline constexpr char kPatchKeyName[] = "patch-key";

// keygen: DIR/<name>.pem (mode 0600 from its creation) and DIR/<name>.pub. Refuses when either
// exists; leaves neither behind when it fails.
void WriteKeyPair(const std::string& directory, const std::string& name = kPatchKeyName);

}  // namespace vt::vtpatch
