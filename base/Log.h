#pragma once
// The run log for player support. Portable code records what happened with LogLine; where the
// lines go is the sink the program installs at start-up (Log_win32.h). Without a sink nothing
// is recorded. Logging never fails a run: a sink that cannot write drops the line.

#include <cstdint>
#include <string>
#include <string_view>

namespace vt {

class LogSink {
  public:
    virtual ~LogSink() = default;
    // One entry, without a line end. Must not throw.
    virtual void Write(std::wstring_view text) noexcept = 0;
};

// The sink that receives every line from now on; nullptr switches the log off. The sink must
// outlive its use.
void SetLogSink(LogSink* sink) noexcept;
void LogLine(std::wstring_view text) noexcept;

// The log is rotated once it has reached this size: the current file becomes the one older
// copy, replacing an earlier one.
inline constexpr int64_t kLogRotateBytes = 1024 * 1024;
bool ShouldRotate(int64_t currentSize, int64_t limit = kLogRotateBytes);
// vtlauncher.log -> vtlauncher.1.log; a name without an extension gets ".1".
std::wstring RotatedLogName(const std::wstring& fileName);

// A moment in UTC, as the sink reads it from the system clock.
struct LogTime {
    int year = 1970;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// One line of the file in UTF-8, ending in CR LF:
// "2026-12-08T02:41:25.123Z [1234] text". Line breaks and other control characters inside
// the text become spaces, so every entry stays one line.
std::string FormatLogLine(const LogTime& time, uint32_t processId, std::wstring_view text);

}  // namespace vt
