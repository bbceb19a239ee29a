#include "base/Crypto.h"

#include "base/NumberText.h"

namespace vt {
namespace {

template <size_t N>
std::optional<std::array<uint8_t, N>> ParseHexBytes(std::string_view text) {
    if (text.size() != N * 2) {
        return std::nullopt;
    }
    std::array<uint8_t, N> out{};
    for (size_t i = 0; i < N; ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return out;
}

}  // namespace

Sha256Digest Sha256Of(std::span<const std::byte> bytes) {
    Sha256 hash;
    hash.Update(bytes);
    return hash.Final();
}

std::string LowerHex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0xF]);
    }
    return out;
}

std::string DigestHex(const Sha256Digest& digest) {
    return LowerHex(digest);
}

std::optional<Sha256Digest> ParseDigestHex(std::string_view text) {
    return ParseHexBytes<32>(text);
}

std::optional<P256PublicKey> ParsePublicKeyHex(std::string_view text) {
    return ParseHexBytes<64>(text);
}

}  // namespace vt
