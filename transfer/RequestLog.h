#pragma once
// One run-log line per HTTP request: the URL, the status and length the server answered, the
// time it took and how it ended.

#include <chrono>
#include <string>
#include <string_view>

namespace vt {

// "GET <url>: status 200, length 1234, 15 ms, stored". An absent status or length shows "-".
// A redirected request names where its answer came from: "GET <url> (redirected to <final>): …".
std::wstring DescribeRequest(const std::wstring& url, std::wstring_view status,
                             std::wstring_view length, int64_t milliseconds,
                             std::wstring_view outcome, std::wstring_view redirectedTo = {});

// Times one request from construction; Done logs its line with what the download saw of the
// answer. A request left without Done (an error raised on the way, the program ended) is
// logged as interrupted.
class RequestLog {
  public:
    explicit RequestLog(std::wstring url);
    ~RequestLog();
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;

    void SawHead(const std::wstring& head);
    void SawLength(const std::wstring& length) { length_ = length; }
    // The URL the answer came from after a redirect; empty: none.
    void SawRedirect(const std::wstring& finalUrl) { redirectedTo_ = finalUrl; }
    void Done(std::wstring_view outcome) noexcept;
    // Leaves no line: the run ends right after, with the player told why.
    void Drop() noexcept { done_ = true; }

  private:
    std::wstring url_;
    std::wstring status_;
    std::wstring length_;
    std::wstring redirectedTo_;
    std::chrono::steady_clock::time_point start_;
    bool done_ = false;
};

}  // namespace vt
