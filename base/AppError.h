#pragma once
// A run-time error with a number and a description. Handlers do not catch it: it travels to
// the general error report (ErrorReport.h), which shows both and ends the program.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vt {

// Error numbers the launcher raises; the values follow the classic Windows run-time numbering
// so that a player quoting one to support is understood.
enum class ErrorNumber : int32_t {
    InvalidArgument = 5,
    Overflow = 6,
    SubscriptOutOfRange = 9,
    InternalError = 51,
    FileNotFound = 53,
    BadFileName = 52,
    PathFileAccess = 75,
    PathNotFound = 76,
    NoObject = 91,
    KeyNotUnique = 35602,
};

class AppError : public std::runtime_error {
  public:
    AppError(ErrorNumber number, std::wstring description);

    int32_t Number() const { return static_cast<int32_t>(number_); }
    ErrorNumber Code() const { return number_; }
    const std::wstring& Description() const { return description_; }

  private:
    ErrorNumber number_;
    std::wstring description_;
};

// Shorthands for the two errors of the text helpers.
[[noreturn]] void RaiseInvalidArgument(const std::wstring& where);
[[noreturn]] void RaiseOverflow(const std::wstring& where);
// Error 75 for a file that could not be created, written, flushed or replaced.
[[noreturn]] void RaisePathFileAccess(const std::wstring& path);

}  // namespace vt
