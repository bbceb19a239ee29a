#include "base/Directories.h"

#include "base/AppError.h"
#include "base/FileSystem.h"

namespace vt {

void EnsureDirectory(const std::wstring& path) {
    if (fs::IsDirectory(path)) {
        return;
    }
    if (fs::Exists(path)) {
        throw AppError(ErrorNumber::PathFileAccess,
                       L"디렉터리 대신 같은 이름의 파일이 있습니다: " + path);
    }
    if (!fs::CreateDir(path)) {
        throw AppError(ErrorNumber::PathFileAccess, L"디렉터리를 만들 수 없습니다: " + path);
    }
}

void EnsureParentDirectories(const std::wstring& base, const std::wstring& relative) {
    for (size_t pos = relative.find(L'\\'); pos != std::wstring::npos;
         pos = relative.find(L'\\', pos + 1)) {
        EnsureDirectory(base + relative.substr(0, pos));
    }
}

}  // namespace vt
