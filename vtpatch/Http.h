#pragma once
// A small HTTP/1.1 GET client over POSIX sockets, enough to read a served tree the way the
// launcher does: one connection kept open across requests, bodies measured by Content-Length,
// a body announced past the caller's bound not read at all, and the launcher's rule for slow
// answers (transfer/SlowAnswer.h) on every request.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "transfer/SlowAnswer.h"

namespace vt::vtpatch {

struct HttpUrl {
    std::string host;  // without brackets for an IPv6 literal
    std::string port = "80";
    std::string path = "/";  // starts with '/'
};
// "http://host[:port][/path]"; nothing for anything else (https included).
std::optional<HttpUrl> ParseHttpUrl(std::string_view url);

struct HttpResponse {
    int status = 0;
    std::optional<int64_t> contentLength;  // as announced; nothing when absent or not a number
    int64_t received = 0;                  // body bytes
    bool complete = false;                 // the whole announced body arrived
    bool beyondBound = false;              // announced past the bound: the body was not read
    SlowAnswer slow = SlowAnswer::None;    // abandoned under the rule for slow answers
};

class HttpClient {
  public:
    explicit HttpClient(HttpUrl server, SlowAnswerRule patience = {});
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // GET `target` (origin form, already percent-encoded). The body of a 200 answer goes to
    // `sink` in pieces, unless it is announced longer than `most` bytes. Throws Failure when the
    // server cannot be reached or answers no HTTP.
    HttpResponse Get(const std::string& target, const std::function<void(std::string_view)>& sink,
                     std::optional<uint64_t> most = std::nullopt);

  private:
    bool Connect();
    void Close();
    bool Send(std::string_view bytes);
    enum class Filled { More, Ended, TooSlow };
    // More bytes into buffer_, waiting no longer than the rule allows.
    Filled Fill(const AnswerWatch& watch);
    struct Head {
        int status = 0;
        std::optional<int64_t> contentLength;
        bool chunked = false;
        bool keepAlive = false;
    };
    std::string HostHeader() const;
    std::optional<size_t> ReadHead(const std::string& target, bool& anyAnswer, AnswerWatch& watch,
                                   HttpResponse& response);
    static Head ParseHead(std::string_view bytes, const std::string& target);
    bool ReadBody(int64_t length, const std::function<void(std::string_view)>& deliver,
                  AnswerWatch& watch, HttpResponse& response);
    struct Request {
        const std::string& target;
        const std::function<void(std::string_view)>& sink;
        std::optional<uint64_t> most;
    };
    bool Attempt(const Request& request, HttpResponse& response, bool& anyAnswer);

    HttpUrl server_;
    SlowAnswerRule patience_;
    int fd_ = -1;
    std::string buffer_;  // received and not yet used
};

}  // namespace vt::vtpatch
