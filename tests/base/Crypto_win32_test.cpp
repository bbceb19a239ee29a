// The signature vtpatch made with the test key (tests/keys/vector/) verifies under CNG, and no
// flipped bit of profile, signature or key does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestKeyVector.h"
#include "base/Crypto.h"

namespace vt {
namespace {

class VtpatchVector : public ::testing::Test {
  protected:
    std::vector<std::byte> profile{
        reinterpret_cast<const std::byte*>(kSignedProfile),
        reinterpret_cast<const std::byte*>(kSignedProfile) + sizeof kSignedProfile};
    std::vector<std::byte> sig{
        reinterpret_cast<const std::byte*>(kSignedProfileSig),
        reinterpret_cast<const std::byte*>(kSignedProfileSig) + sizeof kSignedProfileSig};
    P256PublicKey key =
        *ParsePublicKeyHex(std::string(reinterpret_cast<const char*>(kTestKeyText), 128));
};

TEST_F(VtpatchVector, VerifiesUnderCng) {
    ASSERT_EQ(sig.size(), 64u);
    EXPECT_TRUE(VerifyP256Signature(key, profile, sig));
}

TEST_F(VtpatchVector, EveryFlippedBitIsRefused) {
    int accepted = 0;
    for (size_t bit = 0; bit < profile.size() * 8; ++bit) {
        std::vector<std::byte> changed = profile;
        changed[bit / 8] ^= std::byte(1 << (bit % 8));
        accepted += VerifyP256Signature(key, changed, sig) ? 1 : 0;
    }
    EXPECT_EQ(accepted, 0) << "profile bits";
    for (size_t bit = 0; bit < sig.size() * 8; ++bit) {
        std::vector<std::byte> changed = sig;
        changed[bit / 8] ^= std::byte(1 << (bit % 8));
        accepted += VerifyP256Signature(key, profile, changed) ? 1 : 0;
    }
    EXPECT_EQ(accepted, 0) << "signature bits";
    for (size_t bit = 0; bit < key.size() * 8; ++bit) {
        P256PublicKey changed = key;
        changed[bit / 8] = static_cast<uint8_t>(changed[bit / 8] ^ (1 << (bit % 8)));
        accepted += VerifyP256Signature(changed, profile, sig) ? 1 : 0;
    }
    EXPECT_EQ(accepted, 0) << "key bits";
}

// Wine's CNG takes signatures of other lengths; the check refuses them before it asks.
TEST_F(VtpatchVector, SignaturesOfSixtyThreeOrSixtyFiveBytesAreRefused) {
    std::vector<std::byte> longer = sig;
    longer.push_back(std::byte{0});
    EXPECT_FALSE(VerifyP256Signature(key, profile, longer));
    EXPECT_FALSE(VerifyP256Signature(key, profile, std::span(sig).first(63)));
    std::vector<std::byte> padded(1, std::byte{0});
    padded.insert(padded.end(), sig.begin(), sig.end());
    EXPECT_FALSE(VerifyP256Signature(key, profile, padded));
}

TEST(CngSha256, AgreesWithTheDigestVtpatchPinnedForItsProfile) {
    // vt.exe of the vector's tree: "stand-in client\n", pinned in its [publish] section.
    const std::string client = "stand-in client\n";
    EXPECT_EQ(DigestHex(Sha256Of(std::as_bytes(std::span(client.data(), client.size())))),
              "6dfe59f28209ed801d8c41fb86707f52116635d8172af151e016757cf7b6164b");
}

}  // namespace
}  // namespace vt
