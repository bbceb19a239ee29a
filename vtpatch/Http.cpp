#include "vtpatch/Http.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <memory>

#include "base/Cp949.h"
#include "transfer/HttpHead.h"
#include "vtpatch/Failure.h"

namespace vt::vtpatch {
namespace {

constexpr size_t kMaxHead = 64 * 1024;

// Seconds on the steady clock, for the rule for slow answers.
double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + 32);
        }
    }
    return out;
}

struct AddrInfoFree {
    void operator()(addrinfo* p) const { ::freeaddrinfo(p); }
};

}  // namespace

std::optional<HttpUrl> ParseHttpUrl(std::string_view url) {
    constexpr std::string_view kScheme = "http://";
    if (url.size() < kScheme.size() || Lower(url.substr(0, kScheme.size())) != kScheme) {
        return std::nullopt;
    }
    url.remove_prefix(kScheme.size());
    size_t slash = url.find('/');
    std::string_view authority = url.substr(0, slash);
    HttpUrl out;
    out.path = slash == std::string_view::npos ? "/" : std::string(url.substr(slash));
    if (authority.find('@') != std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view port;
    if (authority.starts_with('[')) {
        size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        out.host = std::string(authority.substr(1, close - 1));
        std::string_view rest = authority.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) {
            return std::nullopt;
        }
        port = rest.empty() ? rest : rest.substr(1);
    } else {
        size_t colon = authority.find(':');
        out.host = std::string(authority.substr(0, colon));
        port = colon == std::string_view::npos ? std::string_view() : authority.substr(colon + 1);
    }
    if (out.host.empty()) {
        return std::nullopt;
    }
    if (!port.empty()) {
        int number = 0;
        auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (ec != std::errc() || end != port.data() + port.size() || number < 1 || number > 65535) {
            return std::nullopt;
        }
        out.port = std::string(port);
    }
    return out;
}

HttpClient::HttpClient(HttpUrl server, SlowAnswerRule patience)
    : server_(std::move(server)), patience_(patience) {}

HttpClient::~HttpClient() {
    Close();
}

bool HttpClient::Connect() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(server_.host.c_str(), server_.port.c_str(), &hints, &found);
    if (rc != 0) {
        throw Failure("cannot resolve " + server_.host + ": " + ::gai_strerror(rc));
    }
    std::unique_ptr<addrinfo, AddrInfoFree> own(found);
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            continue;
        }
        // Connecting and sending get the time the rule gives a head; receiving is timed by it.
        const auto seconds = static_cast<time_t>(std::ceil(patience_.headSeconds));
        timeval timeout{seconds, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            fd_ = fd;
            buffer_.clear();
            return true;
        }
        ::close(fd);
    }
    return false;
}

void HttpClient::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    buffer_.clear();
}

bool HttpClient::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

HttpClient::Filled HttpClient::Fill(const AnswerWatch& watch) {
    char block[64 * 1024];
    for (;;) {
        const double now = Now();
        if (watch.Tripped(now) != SlowAnswer::None) {
            return Filled::TooSlow;
        }
        pollfd ready{fd_, POLLIN, 0};
        const double left = std::ceil((watch.Deadline() - now) * 1000);
        const int waited = ::poll(&ready, 1, static_cast<int>(std::clamp(left, 1.0, 3.6e6)));
        if (waited == 0 || (waited < 0 && errno == EINTR)) {
            continue;
        }
        ssize_t n = ::recv(fd_, block, sizeof block, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (n <= 0) {
            return Filled::Ended;
        }
        buffer_.append(block, static_cast<size_t>(n));
        return Filled::More;
    }
}

std::string HttpClient::HostHeader() const {
    std::string host =
        server_.host.find(':') != std::string::npos ? "[" + server_.host + "]" : server_.host;
    return server_.port == "80" ? host : host + ":" + server_.port;
}

// Waits for the end of the answer's head. Nothing when the connection ended before any byte
// of an answer; bytes and then an end are a broken answer.
std::optional<size_t> HttpClient::ReadHead(const std::string& target, bool& anyAnswer,
                                           AnswerWatch& watch, HttpResponse& response) {
    size_t headEnd;
    while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
        if (buffer_.size() > kMaxHead) {
            throw Failure("the server's answer to " + target + " has no end of its head");
        }
        const Filled filled = Fill(watch);
        if (filled == Filled::TooSlow) {
            response.slow = SlowAnswer::NoHead;
            anyAnswer = true;  // not a connection to try again: the server is there, and slow
            return std::nullopt;
        }
        if (filled == Filled::Ended) {
            if (buffer_.empty()) {
                return std::nullopt;
            }
            throw Failure("the server closed the connection in the middle of an answer to " +
                          target);
        }
        anyAnswer = true;
    }
    anyAnswer = true;
    watch.HeadArrived(Now());
    return headEnd;
}

// The head read by the launcher's rules (transfer/HttpHead.h): status, plain Content-Length,
// the headers that decide whether the body is measured and the connection kept.
HttpClient::Head HttpClient::ParseHead(std::string_view bytes, const std::string& target) {
    // Heads are ASCII; each byte stands for itself, as WinINet hands the launcher its text.
    const std::wstring head(bytes.begin(), bytes.end());
    Head out;
    const std::wstring_view code = StatusCodeText(head);
    if (!bytes.starts_with("HTTP/1.") || code.size() != 3 ||
        !std::all_of(code.begin(), code.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
        throw Failure("the server answered " + target + " with no HTTP status line");
    }
    out.status = (code[0] - L'0') * 100 + (code[1] - L'0') * 10 + (code[2] - L'0');
    if (const long long length = PlainContentLength(head); length >= 0) {
        out.contentLength = length;
    }
    const std::string encoding = Lower(ToUtf8(HeaderValue(head, L"Transfer-Encoding")));
    out.chunked = !encoding.empty() && encoding != "identity";
    const std::string connection = Lower(ToUtf8(HeaderValue(head, L"Connection")));
    out.keepAlive =
        connection == "keep-alive" || (bytes.starts_with("HTTP/1.1") && connection != "close");
    return out;
}

// The announced body to `deliver`; false when the connection ended before it was whole, or the
// body became too slow for the rule (`response.slow`).
bool HttpClient::ReadBody(int64_t length, const std::function<void(std::string_view)>& deliver,
                          AnswerWatch& watch, HttpResponse& response) {
    while (length > 0) {
        if (buffer_.empty()) {
            const Filled filled = Fill(watch);
            if (filled == Filled::TooSlow) {
                response.slow = SlowAnswer::TooFewBytes;
            }
            if (filled != Filled::More) {
                return false;
            }
        }
        size_t take = static_cast<size_t>(std::min<int64_t>(length, buffer_.size()));
        watch.Arrived(take, Now());
        deliver(std::string_view(buffer_.data(), take));
        buffer_.erase(0, take);
        length -= static_cast<int64_t>(take);
    }
    return true;
}

// One request on the open connection. False when the connection failed before any answer
// came (a kept-alive connection the server has closed meanwhile): the caller tries again.
bool HttpClient::Attempt(const Request& request, HttpResponse& response, bool& anyAnswer) {
    const std::string& target = request.target;
    AnswerWatch watch(patience_, Now());
    if (!Send("GET " + target + " HTTP/1.1\r\nHost: " + HostHeader() +
              "\r\nUser-Agent: vtpatch\r\nAccept: */*\r\n\r\n")) {
        return false;
    }
    const std::optional<size_t> headEnd = ReadHead(target, anyAnswer, watch, response);
    if (!headEnd) {
        return response.slow != SlowAnswer::None;
    }
    const Head head = ParseHead(std::string_view(buffer_.data(), *headEnd), target);
    buffer_.erase(0, *headEnd + 4);
    response.status = head.status;
    response.contentLength = head.contentLength;
    if (!head.contentLength || head.chunked) {
        // No usable length (the launcher refuses such an answer): the body is not measured and
        // the connection is not used again.
        response.contentLength.reset();
        Close();
        return true;
    }
    if (request.most && static_cast<uint64_t>(*head.contentLength) > *request.most) {
        response.beyondBound = true;  // not a byte of it read: the connection cannot go on
        Close();
        return true;
    }
    response.complete = ReadBody(
        *head.contentLength,
        [&](std::string_view piece) {
            response.received += static_cast<int64_t>(piece.size());
            if (response.status == 200 && request.sink) {
                request.sink(piece);
            }
        },
        watch, response);
    if (!response.complete || !head.keepAlive) {
        Close();  // a short body leaves the connection in an unknown state
    }
    return true;
}

HttpResponse HttpClient::Get(const std::string& target,
                             const std::function<void(std::string_view)>& sink,
                             std::optional<uint64_t> most) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool reused = fd_ >= 0;
        if (!reused && !Connect()) {
            throw Failure("cannot connect to " + server_.host + ":" + server_.port);
        }
        HttpResponse response;
        bool anyAnswer = false;
        if (Attempt({target, sink, most}, response, anyAnswer)) {
            if (response.slow != SlowAnswer::None) {
                Close();
            }
            return response;
        }
        Close();
        if (!reused || anyAnswer) {
            break;
        }
    }
    throw Failure("the connection to " + server_.host + ":" + server_.port +
                  " broke before an answer to " + target);
}

}  // namespace vt::vtpatch
