#include "transfer/RequestLog.h"

#include "base/Log.h"
#include "transfer/HttpHead.h"

namespace vt {

std::wstring DescribeRequest(const std::wstring& url, std::wstring_view status,
                             std::wstring_view length, int64_t milliseconds,
                             std::wstring_view outcome, std::wstring_view redirectedTo) {
    auto orDash = [](std::wstring_view text) {
        return text.empty() ? std::wstring(L"-") : std::wstring(text);
    };
    const std::wstring redirect = redirectedTo.empty()
                                      ? std::wstring()
                                      : L" (redirected to " + std::wstring(redirectedTo) + L")";
    return L"GET " + url + redirect + L": status " + orDash(status) + L", length " +
           orDash(length) + L", " + std::to_wstring(milliseconds) + L" ms, " +
           std::wstring(outcome);
}

RequestLog::RequestLog(std::wstring url)
    : url_(std::move(url)), start_(std::chrono::steady_clock::now()) {}

void RequestLog::SawHead(const std::wstring& head) {
    status_ = StatusCodeText(head);
}

RequestLog::~RequestLog() {
    if (!done_) {
        Done(L"interrupted");
    }
}

void RequestLog::Done(std::wstring_view outcome) noexcept {
    done_ = true;
    try {
        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start_);
        LogLine(DescribeRequest(url_, status_, length_, elapsed.count(), outcome, redirectedTo_));
    } catch (...) {
        // The log never stops a download.
    }
}

}  // namespace vt
