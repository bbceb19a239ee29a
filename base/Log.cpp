#include "base/Log.h"

#include <atomic>
#include <cstdio>

#include "base/Cp949.h"

namespace vt {
namespace {

std::atomic<LogSink*> currentSink{nullptr};

}  // namespace

void SetLogSink(LogSink* sink) noexcept {
    currentSink.store(sink);
}

void LogLine(std::wstring_view text) noexcept {
    if (LogSink* sink = currentSink.load()) {
        sink->Write(text);
    }
}

bool ShouldRotate(int64_t currentSize, int64_t limit) {
    return currentSize >= limit;
}

std::wstring RotatedLogName(const std::wstring& fileName) {
    size_t dot = fileName.find_last_of(L'.');
    size_t separator = fileName.find_last_of(L"\\/");
    if (dot == std::wstring::npos || (separator != std::wstring::npos && dot < separator) ||
        dot == 0 || (separator != std::wstring::npos && dot == separator + 1)) {
        return fileName + L".1";
    }
    return fileName.substr(0, dot) + L".1" + fileName.substr(dot);
}

std::string FormatLogLine(const LogTime& time, uint32_t processId, std::wstring_view text) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ [%lu] ", time.year,
                  time.month, time.day, time.hour, time.minute, time.second, time.millisecond,
                  static_cast<unsigned long>(processId));
    std::wstring clean(text);
    for (wchar_t& c : clean) {
        if (c < 0x20 || c == 0x7F) {
            c = L' ';
        }
    }
    return stamp + ToUtf8(clean) + "\r\n";
}

}  // namespace vt
