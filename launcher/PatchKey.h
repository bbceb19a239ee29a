#pragma once
// The public key of signed patches, a build constant (VT_PATCH_PUBLIC_KEY): 128 hex digits, or
// empty for the unsigned format. Defined in PatchKey.cpp alone, so another key rebuilds one
// file.

#include <string_view>

namespace vt {

std::string_view PatchPublicKeyText();

}  // namespace vt
