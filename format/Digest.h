#pragma once
// The format's names for what base/Crypto computes: SHA-256 of bytes held as text and the
// content version a publisher gives a file.

#include <cstddef>
#include <string>
#include <string_view>

#include "base/Crypto.h"

namespace vt {

// A content version is the first 16 hex digits of the SHA-256 of the file's bytes.
inline constexpr size_t kContentVersionLength = 16;
std::string ContentVersion(const Sha256Digest& digest);

Sha256Digest Sha256OfText(std::string_view bytes);

}  // namespace vt
