#include "format/Pins.h"

#include "base/FileSystem.h"
#include "base/ModGame.h"

namespace vt {

std::optional<Pin> PublishedPin(const std::wstring& key) {
    return ParsePin(ReadProfileBytes(L"publish", key, TempDir + L"vtgame.ini"));
}

bool FileMatchesPin(const std::wstring& path, const Pin& pin) {
    if (fs::GetStamp(path).size != static_cast<int64_t>(pin.size)) {
        return false;  // before reading: a huge answer is not read into memory
    }
    const std::optional<std::string> bytes = fs::ReadWholeFile(path);
    return bytes && bytes->size() == pin.size &&
           Sha256Of(std::as_bytes(std::span(bytes->data(), bytes->size()))) == pin.sha256;
}

}  // namespace vt
