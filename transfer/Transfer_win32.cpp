#include "transfer/Transfer_win32.h"

#include "base/Handles_win32.h"
#include "base/Log_win32.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "transfer/BlockQueue.h"
#include "transfer/HttpHead.h"

namespace vt {
namespace {

static_assert(kTransferTimedOut == ERROR_INTERNET_TIMEOUT);
static_assert(kTransferCancelled == ERROR_INTERNET_OPERATION_CANCELLED);

// A cached copy of a profile would hide every update, so nothing comes from or goes to the
// cache. Cookies are no part of a patch server's answers; left on, WinINet under Wine looks
// through every address asked for so far on each request, which makes a fresh install of a
// 32,766-file set slow down to tens of milliseconds per file.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_UI |
                                INTERNET_FLAG_NO_COOKIES;

}  // namespace

struct InetTransfer::Request {
    Request(std::shared_ptr<win32::UniqueInternet> inet, const std::wstring& address,
            const std::wstring& user, const std::wstring& secret, const std::wstring& extra,
            const std::wstring& operation, const InetSettings& options,
            std::vector<std::vector<std::byte>> blocks)
        : session(std::move(inet)),
          url(address),
          userName(user),
          password(secret),
          headers(extra),
          verb(operation),
          settings(options),
          body(options.blockSize, options.queueBlocks, std::move(blocks)) {}

    // Inputs, fixed before the worker starts. The session is shared by every request of the
    // transfer (so WinINet keeps the connection alive between them) and held here too, so a
    // detached worker never outlives it.
    const std::shared_ptr<win32::UniqueInternet> session;
    const std::wstring url, userName, password, headers, verb;
    const InetSettings settings;
    // Set whenever the worker has something new for the UI thread (auto-reset).
    win32::UniqueHandle event{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    BlockQueue body;

    std::mutex mutex;  // guards the members below
    bool headReady = false;
    bool finished = false;
    std::wstring head;
    std::wstring finalUrl;  // where the answer came from, when WinINet followed a redirect
    int32_t error = 0;

    // Fails only without an event, when the UI thread polls instead (WaitForSignalOrMessage).
    void Signal() { SetEvent(event.get()); }

    // The error is in place before the queue ends, so a consumer that has read to the end
    // sees it.
    void Finish(DWORD code) {
        {
            std::lock_guard lock(mutex);
            error = static_cast<int32_t>(code);
            headReady = true;
            finished = true;
        }
        body.Finish();
        Signal();
    }

    // Sleeps until the worker signals, a window message arrives or `ms` have passed.
    void WaitForSignalOrMessage(DWORD ms = INFINITE) {
        HANDLE h = event.get();
        if (MsgWaitForMultipleObjectsEx(1, &h, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
            WAIT_FAILED) {
            Sleep(1);  // no event to wait for (it could not be made): poll, without spinning
        }
    }
};

namespace {

using Request = InetTransfer::Request;
using Steady = std::chrono::steady_clock;

void SetTimeouts(HINTERNET h, DWORD ms) {
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                         INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_DATA_SEND_TIMEOUT,
                         INTERNET_OPTION_DATA_RECEIVE_TIMEOUT}) {
        // WinINet's own time-out stays in force: the request still ends, later.
        win32::Logged(InternetSetOptionW(h, option, &ms, sizeof ms), L"InternetSetOption");
    }
}

DWORD LastErrorOr(DWORD fallback) {
    DWORD e = GetLastError();
    return e != 0 ? e : fallback;
}

std::wstring RawHead(HINTERNET request) {
    DWORD bytes = 0;
    // Fails by design (ERROR_INSUFFICIENT_BUFFER), giving the size in bytes.
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

// The URL the request ended at (INTERNET_OPTION_URL): another than `asked` when WinINet
// followed a redirect; empty when it is the same or cannot be read.
std::wstring RedirectedTo(HINTERNET request, const std::wstring& asked) {
    DWORD bytes = 0;
    // Fails by design (ERROR_INSUFFICIENT_BUFFER), giving the size in bytes.
    InternetQueryOptionW(request, INTERNET_OPTION_URL, nullptr, &bytes);
    if (bytes == 0) {
        return {};
    }
    std::wstring url(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(url.size() * sizeof(wchar_t));
    if (!InternetQueryOptionW(request, INTERNET_OPTION_URL, url.data(), &bytes)) {
        return {};
    }
    url.resize(wcsnlen(url.c_str(), url.size()));
    return url == asked ? std::wstring() : url;
}

// The recent pace of the body in bytes per thirtieth of a second, measured over windows of at
// least that long (a single read of bytes already buffered says nothing about the pace).
class BodyPace {
  public:
    size_t Bytes() const { return pace_; }

    // After a read of `got` bytes that started at `readStart`; `wholeBlock`: it asked for a
    // whole block without querying first.
    void Count(DWORD got, bool wholeBlock, Steady::time_point readStart) {
        windowBytes_ += got;
        const auto now = Steady::now();
        if (wholeBlock && now - readStart > kFrame) {
            pace_ = 0;
            windowStart_ = now;
            windowBytes_ = 0;
        } else if (now - windowStart_ >= kFrame) {
            const double seconds = std::chrono::duration<double>(now - windowStart_).count();
            pace_ = static_cast<size_t>(static_cast<double>(windowBytes_) / seconds / 30);
            windowStart_ = now;
            windowBytes_ = 0;
        }
    }

  private:
    static constexpr auto kFrame = std::chrono::microseconds(33'333);
    size_t pace_ = 0;
    Steady::time_point windowStart_ = Steady::now();
    long long windowBytes_ = 0;
};

// How much to read next into a block: after the first bytes, what has arrived or about a
// thirtieth of a second of the body at its recent pace (up to a block), so a slow body still
// moves the display and a fast one goes in large reads. While a whole block arrives within a
// thirtieth of a second the query (a system call under Wine) is left out; a whole-block read
// that takes longer (a body slowing down after a server's first burst, say) goes back to small
// reads at once. 0 waits for the first bytes; nothing when the query fails.
std::optional<DWORD> NextReadSize(HINTERNET request, size_t blockSize, size_t pace) {
    if (pace >= blockSize) {
        return static_cast<DWORD>(blockSize);
    }
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0)) {
        return std::nullopt;
    }
    if (available == 0) {
        return DWORD{0};
    }
    return static_cast<DWORD>(std::min(blockSize, std::max<size_t>(available, pace)));
}

// Reads the body into the queue until it ends, fails or the request is abandoned.
DWORD ReadBody(Request& r, HINTERNET request) {
    const long long announced = PlainContentLength(r.head);
    long long total = 0;
    BodyPace pace;
    for (;;) {
        std::optional<std::vector<std::byte>> taken = r.body.TakeEmpty();
        if (!taken) {
            return 0;  // abandoned
        }
        std::vector<std::byte>& block = *taken;
        const std::optional<DWORD> want = NextReadSize(request, block.size(), pace.Bytes());
        if (!want) {
            return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
        }
        DWORD got = 0;
        const auto readStart = Steady::now();
        if (*want > 0 && !InternetReadFile(request, block.data(), *want, &got)) {
            return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
        }
        if (got == 0) {
            // WinINet reports an early close as a normal end; the length tells them apart.
            return announced >= 0 && total < announced ? ERROR_INTERNET_CONNECTION_ABORTED : 0;
        }
        total += got;
        pace.Count(got, *want == block.size(), readStart);
        if (!r.body.Push(std::move(block), got)) {
            return 0;  // abandoned
        }
        r.Signal();
    }
}

void RunRequest(std::shared_ptr<Request> r) {
    const DWORD timeout = static_cast<DWORD>(r->settings.timeout.count());
    if (!r->session || !*r->session) {
        return r->Finish(ERROR_INTERNET_INTERNAL_ERROR);
    }
    HINTERNET session = r->session->get();

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

    win32::UniqueInternet connection(InternetConnectW(
        session, host.c_str(), parts.nPort, r->userName.empty() ? nullptr : r->userName.c_str(),
        r->password.empty() ? nullptr : r->password.c_str(), INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) {
        return r->Finish(LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR));
    }
    win32::UniqueInternet request(HttpOpenRequestW(connection.get(), r->verb.c_str(), path.c_str(),
                                                   nullptr, nullptr, nullptr, kRequestFlags, 0));
    if (!request) {
        return r->Finish(LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR));
    }
    SetTimeouts(request.get(), timeout);
    const wchar_t* extra = r->headers.empty() ? nullptr : r->headers.c_str();
    const DWORD extraLength = r->headers.empty() ? 0 : static_cast<DWORD>(r->headers.size());
    if (!HttpSendRequestW(request.get(), extra, extraLength, nullptr, 0)) {
        return r->Finish(LastErrorOr(ERROR_INTERNET_CANNOT_CONNECT));
    }
    std::wstring head = RawHead(request.get());
    std::wstring finalUrl = RedirectedTo(request.get(), full);
    {
        std::lock_guard lock(r->mutex);
        r->head = std::move(head);
        r->finalUrl = std::move(finalUrl);
        r->headReady = true;
    }
    r->Signal();
    DWORD code = ReadBody(*r, request.get());
    r->Finish(code);
}

}  // namespace

// The thread that runs the requests one after the other: one thread for the whole run, since
// under Wine starting a thread per request costs about a millisecond, as much as a small file.
struct InetTransfer::Worker {
    std::mutex mutex;
    std::condition_variable wake;
    std::shared_ptr<Request> next;  // handed over by Execute
    bool stop = false;

    static void Run(std::shared_ptr<Worker> w) {
        for (;;) {
            std::shared_ptr<Request> r;
            {
                std::unique_lock lock(w->mutex);
                w->wake.wait(lock, [&] { return w->stop || w->next != nullptr; });
                if (w->next == nullptr) {
                    return;
                }
                r = std::move(w->next);
            }
            RunRequest(std::move(r));
        }
    }

    void Stop() {
        {
            std::lock_guard lock(mutex);
            stop = true;
        }
        wake.notify_one();
    }
};

InetTransfer::InetTransfer(MessagePump& pump, InetSettings settings, SlowAnswerRule patience)
    : pump_(pump), settings_(settings), patience_(patience) {}

InetTransfer::~InetTransfer() {
    Abandon();
    if (worker_) {
        worker_->Stop();
        workerThread_.join();  // idle, or about to be
    }
}

void InetTransfer::Abandon() {
    if (!request_) {
        return;
    }
    request_->body.Cancel();
    bool done = false;
    {
        std::lock_guard lock(request_->mutex);
        done = request_->finished;
    }
    // A worker still blocked in WinINet ends on its own (at the latest at the time-out), then
    // stops; the next request gets a worker of its own. The worker holds the only other
    // references to its request and to itself.
    if (!done && worker_) {
        worker_->Stop();
        workerThread_.detach();
        worker_.reset();
    }
    if (done) {
        spareBlocks_ = request_->body.TakeBlocks();  // the worker is done with them
    }
    request_.reset();
}

void InetTransfer::Execute(const std::wstring& operation) {
    Abandon();
    if (!session_ || !*session_) {
        // Opened once: a session per request would open a new connection every time.
        session_ = std::make_shared<win32::UniqueInternet>(
            InternetOpenW(L"vtlauncher", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        if (*session_) {
            SetTimeouts(session_->get(), static_cast<DWORD>(settings_.timeout.count()));
        }
    }
    auto r = std::make_shared<Request>(session_, url_, userName_, password_, headers_, operation,
                                       settings_, std::move(spareBlocks_));
    spareBlocks_.clear();
    request_ = r;
    if (!worker_) {
        worker_ = std::make_shared<Worker>();
        workerThread_ = std::thread(Worker::Run, worker_);
    }
    {
        std::lock_guard lock(worker_->mutex);
        worker_->next = std::move(r);
    }
    worker_->wake.notify_one();
}

bool InetTransfer::StillExecuting() {
    if (!request_) {
        return false;
    }
    std::lock_guard lock(request_->mutex);
    return !request_->headReady;
}

void InetTransfer::WaitForActivity(std::chrono::milliseconds most) {
    if (request_) {
        const auto ms = std::clamp<long long>(most.count(), 0, INFINITE - 1);
        request_->WaitForSignalOrMessage(static_cast<DWORD>(ms));
    }
}

std::wstring InetTransfer::FinalUrl() {
    if (!request_) {
        return {};
    }
    std::lock_guard lock(request_->mutex);
    return request_->finalUrl;
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
    request_->body.ReturnLent();
    return piece.size();
}

std::span<const std::byte> InetTransfer::ReadChunk(std::span<std::byte> scratch) {
    if (!request_ || scratch.empty()) {
        return {};
    }
    return NextPiece(scratch.size());
}

std::optional<std::span<const std::byte>> InetTransfer::TryReadChunk(std::span<std::byte> scratch) {
    if (!request_ || scratch.empty()) {
        return std::span<const std::byte>();
    }
    return request_->body.TryNext(scratch.size());
}

// The next up to `most` bytes of the body, lent from the queue until the next call. Window
// messages are handled while the worker has nothing new.
std::span<const std::byte> InetTransfer::NextPiece(std::size_t most) {
    Request& r = *request_;
    for (;;) {
        if (std::optional<std::span<const std::byte>> piece = r.body.TryNext(most)) {
            return *piece;
        }
        pump_.DoEvents();
        r.WaitForSignalOrMessage();
    }
}

}  // namespace vt
