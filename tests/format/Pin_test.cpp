// Pins and content versions: what the launcher accepts is what the publisher writes.
#include "format/Pin.h"

#include <gtest/gtest.h>

#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "format/Digest.h"

namespace vt {
namespace {

TEST(Pins, SizeCommaAndSixtyFourHexDigitsOnly) {
    const std::string hash = "6dfe59f28209ed801d8c41fb86707f52116635d8172af151e016757cf7b6164b";
    std::optional<Pin> pin = ParsePin("16," + hash);
    ASSERT_TRUE(pin);
    EXPECT_EQ(pin->size, 16u);
    EXPECT_EQ(DigestHex(pin->sha256), hash);
    EXPECT_EQ(ParsePin("999999999999999999," + hash)->size, 999999999999999999u);
    for (const std::string& bad :
         {"0," + hash, "-1," + hash, "+16," + hash, " 16," + hash, "16 ," + hash, "16, " + hash,
          "16," + hash.substr(1), "16," + hash + "0", "," + hash, std::string("16"),
          "1000000000000000000," + hash, "16;" + hash, "0x10," + hash}) {
        EXPECT_FALSE(ParsePin(bad)) << bad;
    }
}

TEST(Pins, WrittenPinsReadBackAndAnEmptyFileHasNone) {
    const Sha256Digest digest = Sha256OfText("abc");
    for (uint64_t size : {1ull, 16ull, 999999999999999999ull}) {
        const Pin pin{size, digest};
        EXPECT_EQ(ParsePin(PinText(pin)), pin) << size;
    }
    EXPECT_EQ(PinText({3, digest}),
              "3,ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // What the launcher refuses is never written: an empty file, a size it cannot read.
    EXPECT_THROW(PinText({0, digest}), std::invalid_argument);
    EXPECT_THROW(PinText({1000000000000000000ull, digest}), std::invalid_argument);
}

TEST(ContentVersions, SixteenLowerCaseDigitsOfTheHash) {
    // The standard test vector of SHA-256.
    EXPECT_EQ(DigestHex(Sha256OfText("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(ContentVersion(Sha256OfText("abc")), "ba7816bf8f01cfea");
    Sha256 pieces;
    for (std::string_view piece : {"a", "", "bc"}) {
        pieces.Update(std::as_bytes(std::span(piece.data(), piece.size())));
    }
    EXPECT_EQ(pieces.Final(), Sha256OfText("abc"));
    EXPECT_EQ(ContentVersion(Sha256OfText("")), "e3b0c44298fc1c14");
    EXPECT_EQ(ContentVersion(Sha256OfText("abc")).size(), kContentVersionLength);
}

}  // namespace
}  // namespace vt
