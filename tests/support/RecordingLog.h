#pragma once
// Installs itself as the run log's sink for its lifetime and keeps every line, from any thread.

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "base/Log.h"

namespace vt::test {

class RecordingLog final : public LogSink {
  public:
    RecordingLog() { SetLogSink(this); }
    ~RecordingLog() override { SetLogSink(nullptr); }
    RecordingLog(const RecordingLog&) = delete;
    RecordingLog& operator=(const RecordingLog&) = delete;

    void Write(std::wstring_view text) noexcept override {
        std::lock_guard lock(mutex_);
        try {
            lines.emplace_back(text);
        } catch (...) {
        }
    }
    // The lines that contain `part`.
    std::vector<std::wstring> With(const std::wstring& part) const {
        std::lock_guard lock(mutex_);
        std::vector<std::wstring> out;
        std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
                     [&](const std::wstring& l) { return l.find(part) != std::wstring::npos; });
        return out;
    }

    std::vector<std::wstring> lines;  // read directly only once no thread writes

  private:
    mutable std::mutex mutex_;
};

}  // namespace vt::test
