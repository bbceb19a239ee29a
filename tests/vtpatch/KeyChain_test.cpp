// Key lists followed to a trusted root, the key a profile must be signed by and the revocation
// of a leaked key's serial, with lists signed here at run time.
#include "format/KeyChain.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "format/Digest.h"
#include "patch/SignedProfile.h"
#include "tests/vtpatch/KeyListTesting.h"
#include "tests/vtpatch/VtpatchTesting.h"

namespace vt::vtpatch {
namespace {

using format::ChainVerdict;
using test::kNow;
constexpr int64_t kYear = 365 * 86400;

class KeyChain : public ::testing::Test {
  protected:
    test::ServedLists lists;
    // roots[0] is the key launchers are built with; each later one rotated from the one before.
    std::vector<PrivateKey> roots;
    PrivateKey p1 = PrivateKey::Generate(), p2 = PrivateKey::Generate(),
               p3 = PrivateKey::Generate();
    std::vector<Sha256Digest> rotations;  // rotations[i]: roots[i] to roots[i + 1]

    void SetUp() override {
        for (int i = 0; i < 18; ++i) {
            roots.push_back(PrivateKey::Generate());
        }
        std::optional<Sha256Digest> chain;
        for (int i = 0; i < 17; ++i) {
            rotations.push_back(lists.Rotation(roots[i], roots[i + 1], chain, 1));
            chain = rotations.back();
        }
    }
    // A list under roots[n] (after n rotations), holding p1 for a year and p2 lapsed.
    format::KeyList Under(int n, uint64_t serial = 5) const {
        format::KeyList list = test::ListBody(roots[n], serial, kNow + kYear);
        list.keys = {{p1.Public(), kNow + kYear}, {p2.Public(), kNow - 1}};
        if (n > 0) {
            list.chain = rotations[n - 1];
        }
        return list;
    }
    Sha256Digest Publish(int n, uint64_t serial = 5) {
        return lists.Add(Under(n, serial), roots[n]);
    }
};

TEST_F(KeyChain, WalksBackToTheTrustedRootOrSaysWhyNot) {
    const Sha256Digest direct = Publish(0);
    const Sha256Digest afterThree = Publish(3);
    const Sha256Digest after15 = Publish(15);
    const Sha256Digest after16 = Publish(16);
    format::KeyList lapsed = Under(0);
    lapsed.expires = kNow;
    const Sha256Digest expired = lists.Add(lapsed, roots[0]);
    // Signed by the new root alone: a rotation anyone holding it could claim.
    format::KeyList half = test::ListBody(roots[1], 1, kNow + kYear);
    half.rotatedFrom = roots[0].Public();
    const Sha256Digest oneSignature = lists.Add(half, roots[1]);
    format::KeyList afterHalf = Under(1);
    afterHalf.chain = oneSignature;
    const Sha256Digest onHalf = lists.Add(afterHalf, roots[1]);
    format::KeyList missingLink = Under(1);
    missingLink.chain = Sha256OfText("never served");
    const Sha256Digest gap = lists.Add(missingLink, roots[1]);
    format::KeyList wrongLink = Under(1);
    wrongLink.chain = direct;  // not the rotation that introduced roots[1]
    const Sha256Digest notIntroduced = lists.Add(wrongLink, roots[1]);
    const Sha256Digest tampered = Publish(0, 6);
    lists.served[tampered][200] ^= 1;
    const Sha256Digest foreign = lists.Add(test::ListBody(p3, 5, kNow + kYear), p3);

    const struct {
        const char* what;
        Sha256Digest named;
        int trusted;  // index into roots
        uint64_t keptSerial;
        ChainVerdict verdict;
        size_t checked;  // lists read and kept
        int root;        // the root from then on, when accepted
    } cases[] = {
        {"signed by the built-in root", direct, 0, 0, ChainVerdict::Accepted, 1, 0},
        {"the kept serial", direct, 0, 5, ChainVerdict::Accepted, 1, 0},
        {"a serial below the kept one", direct, 0, 6, ChainVerdict::Older, 1, 0},
        {"expired", expired, 0, 0, ChainVerdict::Expired, 1, 0},
        {"bytes not those its name hashes", tampered, 0, 0, ChainVerdict::HashMismatch, 0, 0},
        {"not served", Sha256OfText("x"), 0, 0, ChainVerdict::Missing, 0, 0},
        {"three rotations from the built-in root", afterThree, 0, 0, ChainVerdict::Accepted, 4, 3},
        {"from a root followed before", afterThree, 2, 0, ChainVerdict::Accepted, 2, 3},
        {"a rotation with one signature", onHalf, 0, 0, ChainVerdict::BadSignature, 1, 1},
        {"a gap", gap, 0, 0, ChainVerdict::Gap, 1, 1},
        {"a link that introduced no root", notIntroduced, 0, 0, ChainVerdict::Gap, 1, 1},
        {"16 lists", after15, 0, 0, ChainVerdict::Accepted, 16, 15},
        {"17 lists", after16, 0, 0, ChainVerdict::TooLong, 16, 16},
        {"the old root after a rotation", direct, 1, 0, ChainVerdict::Untrusted, 1, 0},
        {"an unknown root", foreign, 0, 0, ChainVerdict::Untrusted, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const format::ChainResult result = format::WalkKeyChain(
            {c.named, roots[c.trusted].Public(), kNow, c.keptSerial}, lists.Fetcher());
        EXPECT_EQ(result.verdict, c.verdict) << format::ChainReason(result.verdict);
        EXPECT_EQ(result.checked.size(), c.checked);
        if (!result.checked.empty()) {
            EXPECT_EQ(result.checked[0].hash, c.named);
            EXPECT_EQ(Sha256OfText(result.checked.back().bytes), result.checked.back().hash);
        }
        if (c.verdict == ChainVerdict::Accepted) {
            EXPECT_EQ(result.root, roots[c.root].Public());
        }
    }
}

// Lint walks without a root: forms, hashes and links only, however the lists are signed.
TEST_F(KeyChain, WithoutSignaturesOnlyFormsAndLinksCount) {
    format::KeyList half = test::ListBody(roots[1], 1, kNow + kYear);
    half.rotatedFrom = roots[0].Public();
    format::KeyList after = Under(1);
    after.chain = lists.Add(half, roots[1]);
    const Sha256Digest named = lists.Add(after, roots[1]);
    format::ChainQuery query{named, {}, kNow, 0, false};
    EXPECT_EQ(format::WalkKeyChain(query, lists.Fetcher()).verdict, ChainVerdict::Accepted);
    query.named = Publish(16);
    EXPECT_EQ(format::WalkKeyChain(query, lists.Fetcher()).verdict, ChainVerdict::TooLong);
    after.chain = Sha256OfText("never served");
    query.named = lists.Add(after, roots[1]);
    EXPECT_EQ(format::WalkKeyChain(query, lists.Fetcher()).verdict, ChainVerdict::Gap);
}

TEST_F(KeyChain, TheProfileIsSignedByTheRootOrAKeyTheListHolds) {
    const format::KeyList list = Under(0);
    const P256PublicKey root = roots[0].Public();
    const struct {
        const char* what;
        std::optional<P256PublicKey> signer;
        std::optional<P256PublicKey> verifier;
    } cases[] = {
        {"no signer", std::nullopt, root},
        {"the root as signer", root, root},
        {"a delegated key", p1.Public(), p1.Public()},
        {"a key the list does not hold", p3.Public(), std::nullopt},
        {"a key past its expiry", p2.Public(), std::nullopt},
        {"the old root after a rotation", root, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool rotated = std::string(c.what).find("rotation") != std::string::npos;
        const format::KeyList judged = rotated ? Under(1) : list;
        const P256PublicKey current = rotated ? roots[1].Public() : root;
        EXPECT_EQ(format::ProfileVerifier(judged, current, c.signer, kNow), c.verifier);
    }
}

// A leaked key signed a huge serial that an installation kept; the list that drops the key
// lowers it to min-serial, so the next genuine publish is taken and an older one still is not.
TEST_F(KeyChain, ADroppedKeysSerialIsLoweredToMinSerial) {
    format::KeyList list = Under(0);
    list.minSerial = 100;
    const P256PublicKey root = roots[0].Public();
    constexpr uint64_t kForged = uint64_t{1} << 40;
    const struct {
        const char* what;
        std::optional<P256PublicKey> keptSigner;
        uint64_t kept;
        uint64_t counted;
    } cases[] = {
        {"dropped key", p3.Public(), kForged, 100},
        {"dropped key below min-serial", p3.Public(), 40, 40},
        {"a held key", p1.Public(), kForged, kForged},
        {"a lapsed key is not revoked", p2.Public(), kForged, kForged},
        {"signed by the root", root, kForged, kForged},
        {"no signer kept", std::nullopt, kForged, kForged},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(format::RevokedSerial(list, root, c.kept, c.keptSigner), c.counted);
    }
    // The genuine publish after the leak, against the lowered serial and the forged one.
    const std::string profile = "[publish]\r\nserial=101\r\n";
    const Signature signature = p1.Sign(profile);
    const SignedProfile genuine{std::as_bytes(std::span(profile)),
                                std::as_bytes(std::span(signature)), std::nullopt, "101"};
    const uint64_t lowered = format::RevokedSerial(list, root, kForged, p3.Public());
    EXPECT_EQ(JudgeProfile(genuine, p1.Public(), kNow, {lowered, std::nullopt}),
              ProfileVerdict::Accepted);
    EXPECT_EQ(JudgeProfile(genuine, p1.Public(), kNow, {kForged, std::nullopt}),
              ProfileVerdict::Older);
    const SignedProfile older{genuine.bytes, genuine.signature, std::nullopt, "99"};
    EXPECT_EQ(JudgeProfile(older, p1.Public(), kNow, {lowered, std::nullopt}),
              ProfileVerdict::Older);
}

}  // namespace
}  // namespace vt::vtpatch
