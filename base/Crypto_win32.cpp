// Hashes and signature checks with CNG, the system's own cryptography.
#include "base/Handles_win32.h"

#include <cstring>
#include <vector>

#include "base/AppError.h"
#include "base/Crypto.h"

namespace vt {
namespace {

using win32::UniqueAlgorithm;
using win32::UniqueHash;
using win32::UniqueKey;

constexpr NTSTATUS kSuccess = 0;

[[noreturn]] void HashFailed(NTSTATUS status) {
    throw AppError(ErrorNumber::InternalError,
                   L"SHA-256 계산에 실패했습니다. (" + std::to_wstring(status) + L")");
}

UniqueAlgorithm OpenAlgorithm(const wchar_t* name) {
    BCRYPT_ALG_HANDLE h = nullptr;
    if (BCryptOpenAlgorithmProvider(&h, name, nullptr, 0) != kSuccess) {
        return nullptr;
    }
    return UniqueAlgorithm(h);
}

}  // namespace

struct Sha256::Impl {
    UniqueAlgorithm algorithm;
    UniqueHash hash;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
    impl_->algorithm = OpenAlgorithm(BCRYPT_SHA256_ALGORITHM);
    if (!impl_->algorithm) {
        HashFailed(-1);
    }
    BCRYPT_HASH_HANDLE h = nullptr;
    // The system keeps the hash object's memory (Windows 7 and later).
    const NTSTATUS status = BCryptCreateHash(impl_->algorithm.get(), &h, nullptr, 0, nullptr, 0, 0);
    if (status != kSuccess) {
        HashFailed(status);
    }
    impl_->hash.reset(h);
}

Sha256::~Sha256() = default;

void Sha256::Update(std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const ULONG part =
            bytes.size() > 0x40000000 ? 0x40000000 : static_cast<ULONG>(bytes.size());
        // CNG takes a non-const pointer but only reads through it.
        auto* data = reinterpret_cast<PUCHAR>(const_cast<std::byte*>(bytes.data()));
        const NTSTATUS status = BCryptHashData(impl_->hash.get(), data, part, 0);
        if (status != kSuccess) {
            HashFailed(status);
        }
        bytes = bytes.subspan(part);
    }
}

Sha256Digest Sha256::Final() {
    Sha256Digest out{};
    const NTSTATUS status =
        BCryptFinishHash(impl_->hash.get(), out.data(), static_cast<ULONG>(out.size()), 0);
    if (status != kSuccess) {
        HashFailed(status);
    }
    return out;
}

bool VerifyP256Signature(const P256PublicKey& key, std::span<const std::byte> message,
                         std::span<const std::byte> signature) {
    // Wine's CNG accepts signatures of other lengths that Windows refuses.
    if (signature.size() != 64) {
        return false;
    }
    UniqueAlgorithm algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    if (!algorithm) {
        return false;
    }
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
    BCRYPT_ECCKEY_BLOB head{};
    head.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    head.cbKey = 32;
    std::memcpy(blob.data(), &head, sizeof head);
    std::memcpy(blob.data() + sizeof head, key.data(), key.size());
    BCRYPT_KEY_HANDLE rawKey = nullptr;
    if (BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &rawKey, blob.data(),
                            static_cast<ULONG>(blob.size()), 0) != kSuccess) {
        return false;
    }
    UniqueKey publicKey(rawKey);
    Sha256Digest digest = Sha256Of(message);
    std::array<UCHAR, 64> sig{};
    std::memcpy(sig.data(), signature.data(), sig.size());
    return BCryptVerifySignature(publicKey.get(), nullptr, digest.data(),
                                 static_cast<ULONG>(digest.size()), sig.data(),
                                 static_cast<ULONG>(sig.size()), 0) == kSuccess;
}

}  // namespace vt
