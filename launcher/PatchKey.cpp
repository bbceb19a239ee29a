#include "patch/PatchKey.h"

namespace vt {

std::string_view PatchPublicKeyText() {
    return VT_PATCH_PUBLIC_KEY;
}

}  // namespace vt
