#include "format/Objects.h"

namespace vt::format {

std::string ObjectPath(const Sha256Digest& digest) {
    const std::string hex = DigestHex(digest);
    return std::string(kObjectsFolder) + "/" + hex.substr(0, 2) + "/" + hex;
}

std::string ArchivedProfilePath(uint64_t serial) {
    return std::string(kProfilesFolder) + "/" + std::to_string(serial) + ".signed";
}

}  // namespace vt::format
