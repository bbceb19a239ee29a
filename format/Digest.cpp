#include "format/Digest.h"

#include <span>

namespace vt {

std::string ContentVersion(const Sha256Digest& digest) {
    return LowerHex(std::span(digest).first(kContentVersionLength / 2));
}

Sha256Digest Sha256OfText(std::string_view bytes) {
    return Sha256Of(std::as_bytes(std::span(bytes.data(), bytes.size())));
}

}  // namespace vt
