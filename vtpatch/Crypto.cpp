#include "vtpatch/Crypto.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cctype>
#include <vector>

#include "base/Crypto.h"
#include "base/OpenSsl_posix.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Files.h"

namespace vt::vtpatch {
namespace {

constexpr char kGroup[] = "prime256v1";

using namespace vt::openssl;

// The library's own words for the last error, for a message that says why.
std::string OpenSslError() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "unknown OpenSSL error";
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

[[noreturn]] void Fail(const std::string& what) {
    throw Failure(what + " (" + OpenSslError() + ")");
}

bool IsP256(EVP_PKEY* key) {
    char group[64] = {};
    size_t length = 0;
    return EVP_PKEY_is_a(key, "EC") &&
           EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                          &length) == 1 &&
           std::string_view(group, length) == kGroup;
}

int NoPassphrase(char*, int, int, void*) {
    return -1;
}

std::span<const std::byte> Bytes(std::string_view text) {
    return std::as_bytes(std::span(text.data(), text.size()));
}

}  // namespace

struct PrivateKey::Impl {
    PKey key;
};

PrivateKey::PrivateKey(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PrivateKey::~PrivateKey() = default;
PrivateKey::PrivateKey(PrivateKey&&) noexcept = default;
PrivateKey& PrivateKey::operator=(PrivateKey&&) noexcept = default;

PrivateKey PrivateKey::Generate() {
    PKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", kGroup));
    if (!key) {
        Fail("cannot generate a P-256 key");
    }
    return PrivateKey(std::make_unique<Impl>(Impl{std::move(key)}));
}

PrivateKey PrivateKey::LoadPem(const std::string& path) {
    std::optional<std::string> text = ReadFile(path);
    if (!text) {
        throw Failure("cannot read the key " + path);
    }
    Bio bio(BIO_new_mem_buf(text->data(), static_cast<int>(text->size())));
    PKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr) : nullptr);
    if (!key) {
        Fail(path + " holds no private key in PEM form that can be read without a passphrase");
    }
    if (!IsP256(key.get())) {
        throw Failure(path + " is not an ECDSA P-256 (prime256v1) key");
    }
    return PrivateKey(std::make_unique<Impl>(Impl{std::move(key)}));
}

std::string PrivateKey::Pem() const {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), impl_->key.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1) {
        Fail("cannot write the private key");
    }
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

P256PublicKey PrivateKey::Public() const {
    P256PublicKey out{};
    BIGNUM* x = nullptr;
    BIGNUM* y = nullptr;
    bool ok = EVP_PKEY_get_bn_param(impl_->key.get(), OSSL_PKEY_PARAM_EC_PUB_X, &x) == 1 &&
              EVP_PKEY_get_bn_param(impl_->key.get(), OSSL_PKEY_PARAM_EC_PUB_Y, &y) == 1;
    BigNum ownX(x);
    BigNum ownY(y);
    if (!ok || BN_bn2binpad(x, out.data(), 32) != 32 ||
        BN_bn2binpad(y, out.data() + 32, 32) != 32) {
        Fail("cannot read the public key");
    }
    return out;
}

Signature PrivateKey::Sign(std::string_view message) const {
    MdCtx ctx(EVP_MD_CTX_new());
    size_t length = 0;
    if (!ctx ||
        EVP_DigestSignInit_ex(ctx.get(), nullptr, "SHA256", nullptr, nullptr, impl_->key.get(),
                              nullptr) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        Fail("cannot sign");
    }
    std::vector<unsigned char> der(length);
    if (EVP_DigestSign(ctx.get(), der.data(), &length,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        Fail("cannot sign");
    }
    // OpenSSL hands out DER; the format stores r and s as two 32-byte numbers.
    const unsigned char* p = der.data();
    EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(length)));
    if (!sig) {
        Fail("cannot decode the signature");
    }
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(sig.get(), &r, &s);
    Signature out{};
    if (BN_bn2binpad(r, out.data(), 32) != 32 || BN_bn2binpad(s, out.data() + 32, 32) != 32) {
        Fail("cannot encode the signature");
    }
    return out;
}

bool ParsePublicKey(std::string_view text, P256PublicKey& out) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    const std::optional<P256PublicKey> parsed = ParsePublicKeyHex(text);
    if (!parsed) {
        return false;
    }
    if (!openssl::PublicKeyOf(*parsed)) {
        ERR_clear_error();
        return false;  // not a point of the curve
    }
    out = *parsed;
    return true;
}

std::string PublicKeyText(const P256PublicKey& key) {
    return LowerHex(key) + "\n";
}

// The launcher's own check, so the tool and the launcher never judge a signature apart.
bool VerifySignature(const P256PublicKey& key, std::string_view message,
                     const Signature& signature) {
    return VerifyP256Signature(key, Bytes(message),
                               std::as_bytes(std::span(signature.data(), signature.size())));
}

void WriteKeyPair(const std::string& directory, const std::string& name) {
    if (!IsDirectory(directory)) {
        throw Failure(directory + " is not a folder");
    }
    const std::string pemPath = JoinPath(directory, name + ".pem");
    const std::string pubPath = JoinPath(directory, name + ".pub");
    for (const std::string& path : {pemPath, pubPath}) {
        if (Exists(path)) {
            throw Refused({path + " exists already; a key is never overwritten"});
        }
    }
    PrivateKey key = PrivateKey::Generate();
    PendingFile pem(pemPath, 0600);
    pem.Write(key.Pem());
    pem.Sync();
    PendingFile pub(pubPath, 0644);
    pub.Write(PublicKeyText(key.Public()));
    pub.Sync();
    if (!pem.CommitNew()) {
        throw Refused({pemPath + " appeared meanwhile; a key is never overwritten"});
    }
    if (!pub.CommitNew()) {
        ::unlink(pemPath.c_str());
        throw Refused({pubPath + " appeared meanwhile; a key is never overwritten"});
    }
}

}  // namespace vt::vtpatch
