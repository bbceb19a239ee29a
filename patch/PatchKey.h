#pragma once
// The public key of signed patches. Its text is a build constant (VT_PATCH_PUBLIC_KEY): 128 hex
// digits, or empty for the unsigned format. It is defined by the program (launcher/PatchKey.cpp)
// alone, so another key rebuilds one file.

#include <optional>
#include <string_view>

#include "base/Crypto.h"

namespace vt {

using PatchPublicKey = P256PublicKey;

std::string_view PatchPublicKeyText();

// The key of `text`: nothing when it is empty (the unsigned format). Text that is not a key is
// an error, never an unsigned run: a launcher built to check signatures must not stop checking.
std::optional<PatchPublicKey> PatchKeyFromText(std::string_view text);

}  // namespace vt
