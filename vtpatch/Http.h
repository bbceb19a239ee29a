#pragma once
// A small HTTP/1.1 GET client over POSIX sockets, enough to read a served tree the way the
// launcher does: one connection kept open across requests, bodies measured by Content-Length.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

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
};

class HttpClient {
  public:
    explicit HttpClient(HttpUrl server);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // GET `target` (origin form, already percent-encoded). The body of a 200 answer goes to
    // `sink` in pieces. Throws Failure when the server cannot be reached or answers no HTTP.
    HttpResponse Get(const std::string& target, const std::function<void(std::string_view)>& sink);

  private:
    bool Connect();
    void Close();
    bool Send(std::string_view bytes);
    bool Fill();  // more bytes into buffer_; false at the end of the stream or on an error
    struct Head {
        int status = 0;
        std::optional<int64_t> contentLength;
        bool chunked = false;
        bool keepAlive = false;
    };
    std::string HostHeader() const;
    std::optional<size_t> ReadHead(const std::string& target, bool& anyAnswer);
    static Head ParseHead(std::string_view bytes, const std::string& target);
    bool ReadBody(int64_t length, const std::function<void(std::string_view)>& deliver);
    bool Attempt(const std::string& target, const std::function<void(std::string_view)>& sink,
                 HttpResponse& response, bool& anyAnswer);

    HttpUrl server_;
    int fd_ = -1;
    std::string buffer_;  // received and not yet used
};

}  // namespace vt::vtpatch
