// The profile-reading idiom on top of the engine.
#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/Log.h"
#include "base/ModGame.h"
#include "base/Profile.h"

namespace vt {

std::wstring ReadProfileValue(const std::wstring& section, const std::wstring& key,
                              const std::wstring& path) {
    std::string bytes;
    int32_t count =
        profile::GetString(ToCp949(section), ToCp949(key), "", bytes, kProfileBufferSize, path);
    return FromCp949(std::string_view(bytes).substr(0, static_cast<size_t>(count)));
}

void WriteProfileValue(const std::wstring& section, const std::wstring& key,
                       const std::wstring& value, const std::wstring& path) {
    // A lost record would make the launcher fetch the file again on every run without a word,
    // so a write that fails is an error the player sees.
    if (!profile::WriteString(ToCp949(section), ToCp949(key), ToCp949(value), path)) {
        throw AppError(ErrorNumber::PathFileAccess, L"파일에 쓸 수 없습니다: " + path);
    }
    LogLine(L"record " + path + L" [" + section + L"] " + key + L"=" + value);
}

std::string ReadProfileBytes(const std::wstring& section, const std::wstring& key,
                             const std::wstring& path) {
    std::string bytes;
    int32_t count =
        profile::GetString(ToCp949(section), ToCp949(key), "", bytes, kProfileBufferSize, path);
    bytes.resize(static_cast<size_t>(count));
    return bytes;
}

void WriteProfileBytes(const std::wstring& section, const std::wstring& key, std::string_view value,
                       const std::wstring& path) {
    std::optional<std::string> stored = profile::StoredForm(value, kProfileBufferSize);
    if (!stored || !profile::WriteString(ToCp949(section), ToCp949(key), *stored, path)) {
        throw AppError(ErrorNumber::PathFileAccess, L"파일에 쓸 수 없습니다: " + path);
    }
    LogLine(L"record " + path + L" [" + section + L"] " + key + L"=" + FromCp949(*stored));
}

bool ProfileCanRecord(std::string_view value) {
    return profile::StoredForm(value, kProfileBufferSize).has_value();
}

}  // namespace vt
