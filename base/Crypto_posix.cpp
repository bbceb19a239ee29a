// The native build's hashes and signature checks, with OpenSSL 3.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include "base/AppError.h"
#include "base/Crypto.h"
#include "base/OpenSsl_posix.h"

namespace vt::openssl {

PKey PublicKeyOf(const P256PublicKey& key) {
    std::array<uint8_t, 65> point{};
    point[0] = 0x04;  // uncompressed
    std::copy(key.begin(), key.end(), point.begin() + 1);
    ParamBld bld(OSSL_PARAM_BLD_new());
    if (!bld ||
        OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) !=
            1 ||
        OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                         point.size()) != 1) {
        return nullptr;
    }
    Params params(OSSL_PARAM_BLD_to_param(bld.get()));
    PKeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return nullptr;
    }
    PKey pkey(raw);
    PKeyCtx check(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1) {
        return nullptr;
    }
    return pkey;
}

}  // namespace vt::openssl

namespace vt {
namespace {

using namespace vt::openssl;

[[noreturn]] void HashFailed() {
    ERR_clear_error();
    throw AppError(ErrorNumber::InternalError, L"SHA-256 계산에 실패했습니다.");
}

// r || s as the DER SEQUENCE OpenSSL verifies.
std::basic_string<unsigned char> DerSignature(std::span<const std::byte> signature) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(signature.data());
    BigNum r(BN_bin2bn(bytes, 32, nullptr));
    BigNum s(BN_bin2bn(bytes + 32, 32, nullptr));
    EcdsaSig sig(ECDSA_SIG_new());
    if (!r || !s || !sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) {
        return {};
    }
    r.release();  // owned by sig now
    s.release();
    unsigned char* der = nullptr;
    const int length = i2d_ECDSA_SIG(sig.get(), &der);
    if (length <= 0) {
        return {};
    }
    std::basic_string<unsigned char> out(der, static_cast<size_t>(length));
    OPENSSL_free(der);
    return out;
}

}  // namespace

struct Sha256::Impl {
    MdCtx ctx{EVP_MD_CTX_new()};
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
    if (!impl_->ctx || EVP_DigestInit_ex(impl_->ctx.get(), EVP_sha256(), nullptr) != 1) {
        HashFailed();
    }
}

Sha256::~Sha256() = default;

void Sha256::Update(std::span<const std::byte> bytes) {
    if (!bytes.empty() && EVP_DigestUpdate(impl_->ctx.get(), bytes.data(), bytes.size()) != 1) {
        HashFailed();
    }
}

Sha256Digest Sha256::Final() {
    Sha256Digest out{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(impl_->ctx.get(), out.data(), &length) != 1 || length != out.size()) {
        HashFailed();
    }
    return out;
}

bool VerifyP256Signature(const P256PublicKey& key, std::span<const std::byte> message,
                         std::span<const std::byte> signature) {
    if (signature.size() != 64) {
        return false;
    }
    const bool ok = [&] {
        PKey pkey = PublicKeyOf(key);
        const auto der = DerSignature(signature);
        MdCtx ctx(EVP_MD_CTX_new());
        if (!pkey || der.empty() || !ctx ||
            EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, pkey.get()) != 1) {
            return false;
        }
        return EVP_DigestVerify(ctx.get(), der.data(), der.size(),
                                reinterpret_cast<const unsigned char*>(message.data()),
                                message.size()) == 1;
    }();
    ERR_clear_error();
    return ok;
}

}  // namespace vt
