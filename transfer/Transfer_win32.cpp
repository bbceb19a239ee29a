#include "transfer/Transfer_win32.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <condition_variable>
#include <cwctype>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace vt {
namespace {

struct InetCloser {
    void operator()(HINTERNET h) const { InternetCloseHandle(h); }
};
using InetHandle = std::unique_ptr<void, InetCloser>;

struct EventCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};

// A cached copy of a profile would hide every update, so nothing comes from or goes to the
// cache.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_UI;

std::wstring Trim(std::wstring_view text) {
    size_t b = text.find_first_not_of(L" \t");
    if (b == std::wstring_view::npos) {
        return {};
    }
    size_t e = text.find_last_not_of(L" \t\r");
    return std::wstring(text.substr(b, e - b + 1));
}

bool SameName(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](wchar_t x, wchar_t y) { return std::towlower(x) == std::towlower(y); });
}

// The announced length when it is a plain number, else -1.
long long PlainLength(const std::wstring& head) {
    std::wstring value = HeaderValue(head, L"Content-Length");
    if (value.empty() || value.size() > 18 ||
        !std::all_of(value.begin(), value.end(),
                     [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
        return -1;
    }
    return std::stoll(value);
}

}  // namespace

struct InetTransfer::Request {
    struct Block {
        std::vector<std::byte> data;
        size_t size = 0;
    };

    // Inputs, fixed before the worker starts.
    std::wstring url, userName, password, verb;
    InetSettings settings;
    // Set whenever the worker has something new for the UI thread (auto-reset).
    std::unique_ptr<void, EventCloser> event{CreateEventW(nullptr, FALSE, FALSE, nullptr)};

    std::mutex mutex;
    std::condition_variable spaceFreed;
    bool headReady = false;
    bool finished = false;
    bool cancelled = false;
    std::wstring head;
    int32_t error = 0;
    std::deque<Block> filled;
    size_t frontOffset = 0;
    std::vector<std::vector<std::byte>> spare;
    std::vector<std::byte> lent;  // the block whose bytes the consumer is still reading
    size_t blocks = 0;

    void Signal() { SetEvent(event.get()); }

    void Finish(DWORD code) {
        {
            std::lock_guard lock(mutex);
            error = static_cast<int32_t>(code);
            headReady = true;
            finished = true;
        }
        Signal();
    }
};

namespace {

using Request = InetTransfer::Request;
using Steady = std::chrono::steady_clock;

void SetTimeouts(HINTERNET h, DWORD ms) {
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                         INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_DATA_SEND_TIMEOUT,
                         INTERNET_OPTION_DATA_RECEIVE_TIMEOUT}) {
        InternetSetOptionW(h, option, &ms, sizeof ms);
    }
}

DWORD LastErrorOr(DWORD fallback) {
    DWORD e = GetLastError();
    return e != 0 ? e : fallback;
}

std::wstring RawHead(HINTERNET request) {
    DWORD bytes = 0;
    HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &bytes, nullptr);
    if (bytes == 0) {
        return {};
    }
    std::wstring head(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(head.size() * sizeof(wchar_t));
    if (!HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, head.data(), &bytes, nullptr)) {
        return {};
    }
    head.resize(bytes / sizeof(wchar_t));
    return head;
}

// Reads the body into the queue until it ends, fails or the request is abandoned.
DWORD ReadBody(Request& r, HINTERNET request) {
    const long long announced = PlainLength(r.head);
    long long total = 0;
    // The recent pace of the body in bytes per thirtieth of a second, measured over windows of
    // at least that long (a single read of bytes already buffered says nothing about the pace).
    constexpr auto kFrame = std::chrono::microseconds(33'333);
    size_t pace = 0;
    auto windowStart = Steady::now();
    long long windowBytes = 0;
    for (;;) {
        std::vector<std::byte> block;
        {
            std::unique_lock lock(r.mutex);
            r.spaceFreed.wait(lock, [&] {
                return r.cancelled || !r.spare.empty() || r.blocks < r.settings.queueBlocks;
            });
            if (r.cancelled) {
                return 0;
            }
            if (!r.spare.empty()) {
                block = std::move(r.spare.back());
                r.spare.pop_back();
            } else {
                ++r.blocks;
            }
        }
        block.resize(r.settings.blockSize);
        // Waits for the first bytes, then reads what has arrived or about a thirtieth of a
        // second of the body at its recent pace (up to a block): a slow body still moves the
        // display, a fast one goes in large reads. While a whole block arrives within a
        // thirtieth of a second the query (a system call under Wine) is left out; a whole-block
        // read that takes longer (a body slowing down after a server's first burst, say) goes
        // back to small reads at once.
        DWORD want = 0;
        if (pace >= block.size()) {
            want = static_cast<DWORD>(block.size());
        } else {
            DWORD available = 0;
            if (!InternetQueryDataAvailable(request, &available, 0, 0)) {
                return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
            }
            if (available > 0) {
                want =
                    static_cast<DWORD>(std::min(block.size(), std::max<size_t>(available, pace)));
            }
        }
        DWORD got = 0;
        const auto readStart = Steady::now();
        if (want > 0 && !InternetReadFile(request, block.data(), want, &got)) {
            return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
        }
        if (got == 0) {
            // WinINet reports an early close as a normal end; the length tells them apart.
            return announced >= 0 && total < announced ? ERROR_INTERNET_CONNECTION_ABORTED : 0;
        }
        total += got;
        windowBytes += got;
        const auto now = Steady::now();
        if (want == block.size() && now - readStart > kFrame) {
            pace = 0;
            windowStart = now;
            windowBytes = 0;
        } else if (now - windowStart >= kFrame) {
            const double seconds = std::chrono::duration<double>(now - windowStart).count();
            pace = static_cast<size_t>(static_cast<double>(windowBytes) / seconds / 30);
            windowStart = now;
            windowBytes = 0;
        }
        {
            std::lock_guard lock(r.mutex);
            if (r.cancelled) {
                return 0;
            }
            r.filled.push_back({std::move(block), got});
        }
        r.Signal();
    }
}

void RunRequest(std::shared_ptr<Request> r) {
    const DWORD timeout = static_cast<DWORD>(r->settings.timeout.count());
    InetHandle session(
        InternetOpenW(L"vtlauncher", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session) {
        return r->Finish(LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR));
    }
    SetTimeouts(session.get(), timeout);

    // Addresses without a scheme are plain HTTP (port 80 unless one is given).
    std::wstring full = r->url.find(L"://") == std::wstring::npos ? L"http://" + r->url : r->url;
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    parts.dwExtraInfoLength = 1;
    if (!InternetCrackUrlW(full.c_str(), 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTP) {
        return r->Finish(ERROR_INTERNET_INVALID_URL);
    }
    std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                        std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) {
        path = L"/";
    }

    InetHandle connection(InternetConnectW(session.get(), host.c_str(), parts.nPort,
                                           r->userName.empty() ? nullptr : r->userName.c_str(),
                                           r->password.empty() ? nullptr : r->password.c_str(),
                                           INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) {
        return r->Finish(LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR));
    }
    InetHandle request(HttpOpenRequestW(connection.get(), r->verb.c_str(), path.c_str(), nullptr,
                                        nullptr, nullptr, kRequestFlags, 0));
    if (!request) {
        return r->Finish(LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR));
    }
    SetTimeouts(request.get(), timeout);
    if (!HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0)) {
        return r->Finish(LastErrorOr(ERROR_INTERNET_CANNOT_CONNECT));
    }
    {
        std::lock_guard lock(r->mutex);
        r->head = RawHead(request.get());
        r->headReady = true;
    }
    r->Signal();
    DWORD code = ReadBody(*r, request.get());
    r->Finish(code);
}

}  // namespace

std::wstring HeaderValue(const std::wstring& head, const std::wstring& name) {
    size_t lineStart = head.find(L"\r\n");  // the status line is no header
    while (lineStart != std::wstring::npos) {
        lineStart += 2;
        size_t lineEnd = head.find(L"\r\n", lineStart);
        std::wstring_view line(head.data() + lineStart,
                               (lineEnd == std::wstring::npos ? head.size() : lineEnd) - lineStart);
        size_t colon = line.find(L':');
        if (colon != std::wstring_view::npos && SameName(Trim(line.substr(0, colon)), name)) {
            return Trim(line.substr(colon + 1));
        }
        lineStart = lineEnd;
    }
    return {};
}

InetTransfer::InetTransfer(MessagePump& pump, InetSettings settings)
    : pump_(pump), settings_(settings) {}

InetTransfer::~InetTransfer() {
    Abandon();
}

void InetTransfer::Abandon() {
    if (request_) {
        {
            std::lock_guard lock(request_->mutex);
            request_->cancelled = true;
        }
        request_->spaceFreed.notify_all();
    }
    if (worker_.joinable()) {
        bool done = false;
        {
            std::lock_guard lock(request_->mutex);
            done = request_->finished;
        }
        // A worker still blocked in WinINet ends on its own (at the latest at the time-out);
        // it holds the only other reference to its request.
        if (done) {
            worker_.join();
        } else {
            worker_.detach();
        }
    }
    request_.reset();
}

void InetTransfer::Execute(const std::wstring& operation) {
    Abandon();
    auto r = std::make_shared<Request>();
    r->url = url_;
    r->userName = userName_;
    r->password = password_;
    r->verb = operation;
    r->settings = settings_;
    request_ = r;
    worker_ = std::thread(RunRequest, std::move(r));
}

bool InetTransfer::StillExecuting() {
    if (!request_) {
        return false;
    }
    std::lock_guard lock(request_->mutex);
    return !request_->headReady;
}

void InetTransfer::WaitForActivity() {
    if (!request_) {
        return;
    }
    HANDLE event = request_->event.get();
    MsgWaitForMultipleObjectsEx(1, &event, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

std::wstring InetTransfer::GetHeader(const std::wstring& name) {
    if (!request_) {
        return {};
    }
    std::wstring head;
    {
        std::lock_guard lock(request_->mutex);
        head = request_->head;
    }
    return name.empty() ? head : HeaderValue(head, name);
}

int32_t InetTransfer::ResponseCode() {
    if (!request_) {
        return 0;
    }
    std::lock_guard lock(request_->mutex);
    return request_->error;
}

std::size_t InetTransfer::GetChunk(std::span<std::byte> buffer) {
    if (!request_ || buffer.empty()) {
        return 0;
    }
    std::span<const std::byte> piece = NextPiece(buffer.size());
    std::copy(piece.begin(), piece.end(), buffer.begin());
    ReturnLentBlock();
    return piece.size();
}

std::span<const std::byte> InetTransfer::ReadChunk(std::span<std::byte> scratch) {
    if (!request_ || scratch.empty()) {
        return {};
    }
    return NextPiece(scratch.size());
}

void InetTransfer::ReturnLentBlock() {
    Request& r = *request_;
    {
        std::lock_guard lock(r.mutex);
        if (r.lent.empty()) {
            return;
        }
        r.spare.push_back(std::exchange(r.lent, {}));
    }
    r.spaceFreed.notify_one();
}

// The next up to `most` bytes of the body, where the worker put them. A block stays in the
// queue while it is read in parts and is lent out with its last part, so the bytes stay put
// until the next call.
std::span<const std::byte> InetTransfer::NextPiece(std::size_t most) {
    ReturnLentBlock();
    Request& r = *request_;
    for (;;) {
        {
            std::lock_guard lock(r.mutex);
            if (!r.filled.empty()) {
                Request::Block& front = r.filled.front();
                size_t n = std::min(most, front.size - r.frontOffset);
                std::span<const std::byte> piece(front.data.data() + r.frontOffset, n);
                r.frontOffset += n;
                if (r.frontOffset == front.size) {
                    r.lent = std::move(front.data);
                    r.filled.pop_front();
                    r.frontOffset = 0;
                }
                return piece;
            }
            if (r.finished) {
                return {};
            }
        }
        pump_.DoEvents();
        HANDLE event = r.event.get();
        MsgWaitForMultipleObjectsEx(1, &event, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

}  // namespace vt
