#include "format/Pins.h"

#include "base/Cp949.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "format/Objects.h"

namespace vt {

std::optional<Pin> PublishedPin(const std::wstring& key) {
    return ParsePin(ReadProfileBytes(L"publish", key, TempDir + L"vtgame.ini"));
}

std::optional<std::string> ReadPinnedFile(const std::wstring& path, const Pin& pin) {
    if (fs::GetStamp(path).size != static_cast<int64_t>(pin.size)) {
        return std::nullopt;  // before reading: a huge answer is not read into memory
    }
    std::optional<std::string> bytes = fs::ReadWholeFile(path);
    if (!bytes || bytes->size() != pin.size ||
        Sha256Of(std::as_bytes(std::span(bytes->data(), bytes->size()))) != pin.sha256) {
        return std::nullopt;
    }
    return bytes;
}

std::wstring ObjectUrl(const Pin& pin) {
    return PatchBaseUrl + FromUtf8(format::ObjectPath(pin.sha256));
}

}  // namespace vt
