#pragma once
// The public key of signed patches. Its text is a build constant (VT_PATCH_PUBLIC_KEY): 128 hex
// digits, or empty for the unsigned format. It is defined by the program (launcher/PatchKey.cpp)
// alone, so another key rebuilds one file.

#include <string_view>

#include "base/Crypto.h"

namespace vt {

using PatchPublicKey = P256PublicKey;

std::string_view PatchPublicKeyText();

}  // namespace vt
