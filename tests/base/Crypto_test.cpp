// SHA-256 and the P-256 signature check on both builds; natively also against signatures that
// OpenSSL makes here, with every bit of profile, signature and key flipped in turn.
#include "base/Crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestKeyVector.h"

#ifndef _WIN32
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#endif

namespace vt {
namespace {

std::span<const std::byte> Bytes(const std::string& s) {
    return std::as_bytes(std::span(s.data(), s.size()));
}

TEST(Sha256, KnownDigestsAndPiecesOfAnySizeGiveTheSameResult) {
    EXPECT_EQ(DigestHex(Sha256Of({})),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(DigestHex(Sha256Of(Bytes("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Two blocks' padding: 56 bytes.
    EXPECT_EQ(
        DigestHex(Sha256Of(Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"))),
        "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");

    std::string million(1'000'000, 'a');
    for (size_t piece : {1u, 63u, 64u, 65u, 4096u, 1'000'000u}) {
        SCOPED_TRACE(piece);
        Sha256 hash;
        for (size_t at = 0; at < million.size(); at += piece) {
            hash.Update(Bytes(million.substr(at, piece)));
        }
        EXPECT_EQ(DigestHex(hash.Final()),
                  "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    }
}

TEST(HexText, DigestsAndKeysAreExactlyTheirHexDigits) {
    const std::string digest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    ASSERT_TRUE(ParseDigestHex(digest));
    EXPECT_EQ(DigestHex(*ParseDigestHex(digest)), digest);
    std::string upper = digest;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(ParseDigestHex(upper), ParseDigestHex(digest));
    EXPECT_FALSE(ParseDigestHex(digest.substr(1)));
    EXPECT_FALSE(ParseDigestHex(digest + "0"));
    std::string blank = digest;
    blank[0] = ' ';
    EXPECT_FALSE(ParseDigestHex(blank));
    EXPECT_FALSE(ParseDigestHex(digest.substr(0, 63) + "g"));

    const std::string key(std::begin(kTestKeyText), std::begin(kTestKeyText) + 128);
    ASSERT_TRUE(ParsePublicKeyHex(key));
    EXPECT_FALSE(ParsePublicKeyHex(key.substr(0, 127)));
    EXPECT_FALSE(ParsePublicKeyHex(key + "\n")) << "the build constant has no line end";
    EXPECT_FALSE(ParsePublicKeyHex(key.substr(0, 126) + "x0"));
}

#ifndef _WIN32

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;

// A fresh key pair and signatures made by OpenSSL, converted to the launcher's forms.
struct OpenSslSigner {
    PKey key{EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "prime256v1")};

    P256PublicKey Public() const {
        unsigned char point[65];
        size_t length = 0;
        EXPECT_EQ(EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point,
                                                  sizeof point, &length),
                  1);
        EXPECT_EQ(length, 65u);
        P256PublicKey out{};
        std::copy(point + 1, point + 65, out.begin());
        return out;
    }

    std::vector<std::byte> Sign(const std::string& message) const {
        MdCtx ctx(EVP_MD_CTX_new());
        size_t length = 0;
        EXPECT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()), 1);
        EXPECT_EQ(
            EVP_DigestSign(ctx.get(), nullptr, &length,
                           reinterpret_cast<const unsigned char*>(message.data()), message.size()),
            1);
        std::vector<unsigned char> der(length);
        EXPECT_EQ(
            EVP_DigestSign(ctx.get(), der.data(), &length,
                           reinterpret_cast<const unsigned char*>(message.data()), message.size()),
            1);
        const unsigned char* p = der.data();
        EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(length)));
        std::vector<std::byte> raw(64);
        BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), reinterpret_cast<unsigned char*>(raw.data()), 32);
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), reinterpret_cast<unsigned char*>(raw.data()) + 32,
                     32);
        return raw;
    }
};

TEST(P256Signatures, OpenSslSignaturesVerifyAndEveryFlippedBitIsRefused) {
    OpenSslSigner signer;
    ASSERT_TRUE(signer.key);
    const std::string profile =
        "[game]\r\ngame=1\r\nvtgame=0123456789abcdef\r\n\r\n[publish]\r\nserial=7\r\n";
    const P256PublicKey key = signer.Public();
    const std::vector<std::byte> sig = signer.Sign(profile);
    ASSERT_TRUE(VerifyP256Signature(key, Bytes(profile), sig));

    int accepted = 0;
    for (size_t bit = 0; bit < profile.size() * 8; ++bit) {
        std::string changed = profile;
        changed[bit / 8] = static_cast<char>(changed[bit / 8] ^ (1 << (bit % 8)));
        accepted += VerifyP256Signature(key, Bytes(changed), sig) ? 1 : 0;
    }
    EXPECT_EQ(accepted, 0) << "profile bits";
    for (size_t bit = 0; bit < sig.size() * 8; ++bit) {
        std::vector<std::byte> changed = sig;
        changed[bit / 8] ^= std::byte(1 << (bit % 8));
        accepted += VerifyP256Signature(key, Bytes(profile), changed) ? 1 : 0;
    }
    EXPECT_EQ(accepted, 0) << "signature bits";
    for (size_t bit = 0; bit < key.size() * 8; ++bit) {
        P256PublicKey changed = key;
        changed[bit / 8] = static_cast<uint8_t>(changed[bit / 8] ^ (1 << (bit % 8)));
        accepted += VerifyP256Signature(changed, Bytes(profile), sig) ? 1 : 0;
    }
    EXPECT_EQ(accepted, 0) << "key bits";
}

TEST(P256Signatures, OnlyExactlySixtyFourBytesAreASignature) {
    OpenSslSigner signer;
    const std::string profile = "[game]\r\ngame=1\r\n";
    const P256PublicKey key = signer.Public();
    std::vector<std::byte> sig = signer.Sign(profile);
    ASSERT_TRUE(VerifyP256Signature(key, Bytes(profile), sig));
    // The same r and s with a byte more or less: a verifier reading only the first 64 bytes,
    // or padding a short one, would take them.
    std::vector<std::byte> longer = sig;
    longer.push_back(std::byte{0});
    EXPECT_FALSE(VerifyP256Signature(key, Bytes(profile), longer));
    EXPECT_FALSE(VerifyP256Signature(key, Bytes(profile), std::span(sig).first(63)));
    EXPECT_FALSE(VerifyP256Signature(key, Bytes(profile), {}));
    // Another key's signature of the same bytes.
    OpenSslSigner other;
    EXPECT_FALSE(VerifyP256Signature(key, Bytes(profile), other.Sign(profile)));
    // r or s of zero is never a signature.
    std::vector<std::byte> zero(64);
    EXPECT_FALSE(VerifyP256Signature(key, Bytes(profile), zero));
}

#endif

}  // namespace
}  // namespace vt
