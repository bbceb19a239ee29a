#include "base/AppError.h"

namespace vt {

AppError::AppError(ErrorNumber number, std::wstring description)
    : std::runtime_error("application error " + std::to_string(static_cast<int32_t>(number))),
      number_(number),
      description_(std::move(description)) {}

void RaiseInvalidArgument(const std::wstring& where) {
    throw AppError(ErrorNumber::InvalidArgument,
                   L"프로시저 호출 또는 인수가 잘못되었습니다. (" + where + L")");
}

void RaiseOverflow(const std::wstring& where) {
    throw AppError(ErrorNumber::Overflow, L"오버플로 (" + where + L")");
}

void RaisePathFileAccess(const std::wstring& path) {
    throw AppError(ErrorNumber::PathFileAccess, L"경로/파일 액세스 오류입니다. (" + path + L")");
}

}  // namespace vt
