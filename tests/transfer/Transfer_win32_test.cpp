// Needs tests/transfer/scripted_server.py on the build's patch host, port 18081 (ctest starts
// it as a fixture).
#include "transfer/Transfer_win32.h"

#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/Cp949.h"
#include "base/Crypto.h"
#include "base/EndProgram.h"
#include "patch/Fetch.h"
#include "patch/Texts.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestDir.h"
#include "transfer/Download.h"

namespace vt {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

using test::Pattern;
using test::ServerUrl;

// Handles the thread's messages like the window's DoEvents and counts them. The counts are
// read by other threads too.
class CountingView final : public ProgressView {
  public:
    std::atomic<int> passes{0};
    std::atomic<int> emptyPasses{0};  // passes that found no message at all
    std::atomic<int> userMessages{0};
    std::function<void()> onPass;
    std::map<ProgressLabel, std::wstring> captions;
    std::vector<std::wstring> messages;

    void DoEvents() override {
        ++passes;
        bool any = false;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            any = true;
            if (msg.message == WM_USER) {
                ++userMessages;
            }
            DispatchMessageW(&msg);
        }
        if (!any) {
            ++emptyPasses;
        }
        if (onPass) {
            onPass();
        }
    }
    void SetCaption(ProgressLabel label, const std::wstring& text) override {
        captions[label] = text;
    }
    void SetProgressWidth(float) override {}
    void ShowMessage(const std::wstring& text, const std::wstring&, MessageStyle) override {
        messages.push_back(text);
    }
};

struct Fetched {
    std::wstring head;
    std::string body;
    int32_t codeAfterHead = -1;
    int32_t codeAfterBody = -1;
};

Fetched Fetch(InetTransfer& t, ProgressView& view, const std::wstring& path) {
    t.SetURL(ServerUrl(path));
    t.SetUserName(L"");
    t.SetPassword(L"");
    t.Execute(L"GET");
    while (t.StillExecuting()) {
        t.WaitForActivity(std::chrono::hours(1));
        view.DoEvents();
    }
    Fetched f;
    f.head = t.GetHeader();
    f.codeAfterHead = t.ResponseCode();
    std::vector<std::byte> buffer(100000);
    while (size_t n = t.GetChunk(buffer)) {
        f.body.append(reinterpret_cast<const char*>(buffer.data()), n);
    }
    f.codeAfterBody = t.ResponseCode();
    return f;
}

// A name no earlier run has used with this server (its gates and counters live as long as it).
std::wstring UniqueName(const wchar_t* stem) {
    static std::atomic<int> serial{0};
    return stem + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++serial);
}

// Polls `done` every millisecond until it holds or a deadline meant only for a faulty transfer
// has passed.
bool PollUntil(const std::function<bool()>& done) {
    const auto deadline = Steady::now() + 30s;
    while (!done()) {
        if (Steady::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A gate of the scripted server: requests to /hold/<Name()>... wait there until the test opens
// it, which it does at the latest when it goes out of scope. Usable from any one thread.
class Gate {
  public:
    Gate() : name_(UniqueName(L"gate")) {}
    ~Gate() {
        if (!opened_) {
            Open();
        }
    }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    const std::wstring& Name() const { return name_; }
    // Opens the gate; the number of requests that were held at it.
    std::string Open() {
        opened_ = true;
        return Ask(L"/open/");
    }
    // The number of requests held at the gate now.
    std::string Waiting() { return Ask(L"/waiting/"); }

  private:
    std::string Ask(const std::wstring& what) {
        CountingView pump;
        InetTransfer t(pump);
        return Fetch(t, pump, what + name_).body;
    }

    std::wstring name_;
    std::atomic<bool> opened_{false};
};

struct InetTransferTest : ::testing::Test {
    CountingView view;
    InetTransfer transfer{view};
    // Gives up after 1.5 s of silence: for the exchanges that stall until it does.
    InetTransfer hasty{view, InetSettings{1500ms}};
    test::TestDir dir;

    bool Download(const std::wstring& path) { return Download(transfer, path); }
    bool Download(InetTransfer& t, const std::wstring& path) {
        SystemClock clock;
        try {
            FetchFile(t, view, clock, ServerUrl(path), dir.Path(), L"vtgame.ini", L"", L"",
                      SizeBound::AtMost(format::kManifestMostBytes));
        } catch (const ProgramEnded&) {
            return false;
        }
        return true;
    }
};

TEST_F(InetTransferTest, ReadsHeadHeadersAndBodyOfAPlainAddress) {
    Fetched f = Fetch(transfer, view, L"/ok/2500");
    EXPECT_EQ(f.head.substr(0, 15), L"HTTP/1.1 200 OK");
    EXPECT_EQ(transfer.GetHeader(L"content-length"), L"2500");
    EXPECT_EQ(transfer.GetHeader(L"X-Absent"), L"");
    EXPECT_EQ(f.codeAfterHead, 0);
    EXPECT_EQ(f.codeAfterBody, 0);
    EXPECT_EQ(f.body, Pattern(2500));

    f = Fetch(transfer, view, L"/http10/100");
    EXPECT_EQ(f.head.substr(0, 12), L"HTTP/1.0 200");
    EXPECT_EQ(f.body, Pattern(100));

    f = Fetch(transfer, view, L"/chunked/5000");
    EXPECT_EQ(transfer.GetHeader(L"Content-Length"), L"");
    EXPECT_EQ(f.body, Pattern(5000));
    EXPECT_EQ(f.codeAfterBody, 0);
}

TEST_F(InetTransferTest, StoresCompleteBodiesByteIdenticalOverAnOlderLongerCopy) {
    dir.Write(L"vtgame.ini", std::string(10000, 'o'));
    ASSERT_TRUE(Download(L"/ok/2500"));
    EXPECT_EQ(dir.Read(L"vtgame.ini"), Pattern(2500));
    ASSERT_TRUE(Download(L"/http10/1"));
    EXPECT_EQ(dir.Read(L"vtgame.ini"), Pattern(1));
    EXPECT_TRUE(view.messages.empty());
}

// The two held exchanges end only through the transfer's time-out: their gates open after the
// download has given up, and a transfer that waited on would get a whole answer in the end.
TEST_F(InetTransferTest, EveryFailedExchangeEndsWithTheMessageAndLeavesNoFile) {
    Gate head;
    Gate body;
    for (const std::wstring& path :
         {std::wstring(L"/status/404"), std::wstring(L"/nolength/500"),
          std::wstring(L"/zerolength"), std::wstring(L"/chunked/3000"),
          std::wstring(L"/short/5120/3000"), std::wstring(L"/long/1000/3000"),
          L"/hold/" + head.Name(), L"/hold/" + body.Name() + L"/100000/3000"}) {
        SCOPED_TRACE(ToUtf8(path));
        dir.Write(L"vtgame.ini", "earlier copy");
        view.messages.clear();
        EXPECT_FALSE(Download(hasty, path));
        EXPECT_EQ(view.messages, std::vector<std::wstring>{kReconnectText});
        EXPECT_FALSE(dir.Has(L"vtgame.ini"));
    }
}

TEST_F(InetTransferTest, ReportsErrorsOfTheConnectionAndOfTheBody) {
    Gate head;
    Fetched f = Fetch(hasty, view, L"/hold/" + head.Name());
    EXPECT_EQ(f.head, L"");
    EXPECT_NE(f.codeAfterHead, 0);

    f = Fetch(transfer, view, L"/short/5120/3000");
    EXPECT_EQ(f.body, Pattern(3000));
    EXPECT_NE(f.codeAfterBody, 0);

    Gate body;
    f = Fetch(hasty, view, L"/hold/" + body.Name() + L"/100000/3000");
    EXPECT_EQ(f.body, Pattern(3000));
    EXPECT_NE(f.codeAfterBody, 0);

    InetTransfer refused(view, InetSettings{1500ms});
    refused.SetURL(L"127.0.0.3:18198/none");
    refused.Execute(L"GET");
    while (refused.StillExecuting()) {
        refused.WaitForActivity(std::chrono::hours(1));
    }
    EXPECT_EQ(refused.GetHeader(), L"");
    EXPECT_NE(refused.ResponseCode(), 0);
}

TEST_F(InetTransferTest, NeverAnswersFromTheCache) {
    const std::wstring counter = UniqueName(L"cache");  // counts from 1 in every run
    const std::string name = ToUtf8(counter);
    Fetched first = Fetch(transfer, view, L"/counter/" + counter);
    Fetched second = Fetch(transfer, view, L"/counter/" + counter);
    EXPECT_EQ(first.body, name + " 1");
    EXPECT_EQ(second.body, name + " 2");
    ASSERT_TRUE(Download(L"/counter/" + counter));
    EXPECT_EQ(dir.Read(L"vtgame.ini"), name + " 3");
}

// A patch server's cookie is neither kept nor sent back: the requests carry none.
TEST_F(InetTransferTest, SendsNoCookieAServerSet) {
    const Fetched set = Fetch(transfer, view, L"/setcookie");
    ASSERT_EQ(StatusCodeText(set.head), L"200");
    ASSERT_NE(HeaderValue(set.head, L"Set-Cookie"), L"") << "the server offered one";
    for (const wchar_t* path : {L"/echocookie", L"/echocookie/again"}) {
        EXPECT_EQ(Fetch(transfer, view, path).body, "cookie:") << path;
    }
}

// One session for every request: the connection carries request after request, and a server
// that closes it after an answer still gets the next request on a new one.
TEST_F(InetTransferTest, KeepsTheConnectionAliveAcrossRequestsAndReopensAClosedOne) {
    Fetched first = Fetch(transfer, view, L"/peer");
    Fetched second = Fetch(transfer, view, L"/peer");
    ASSERT_EQ(second.codeAfterBody, 0);
    EXPECT_FALSE(first.body.empty());
    EXPECT_EQ(second.body, first.body);

    Fetched closing = Fetch(transfer, view, L"/peer/close");
    EXPECT_EQ(closing.body, first.body);
    Fetched reopened = Fetch(transfer, view, L"/peer");
    EXPECT_EQ(reopened.codeAfterBody, 0);
    EXPECT_FALSE(reopened.body.empty());
    EXPECT_NE(reopened.body, first.body);
    ASSERT_TRUE(Download(L"/ok/1000"));
    EXPECT_EQ(dir.Read(L"vtgame.ini"), Pattern(1000));
}

std::set<DWORD> ThreadsOfThisProcess() {
    std::set<DWORD> ids;
    win32::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more;
         more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
            ids.insert(entry.th32ThreadID);
        }
    }
    return ids;
}

// Under Wine a thread costs about as much as a small file: every request of a run goes through
// the one worker, unless a request is given up while it blocks; that one keeps its worker and
// the next request gets a fresh one instead of waiting.
TEST_F(InetTransferTest, RequestsShareOneWorkerAndOneGivenUpDoesNotHoldUpTheNext) {
    ASSERT_EQ(Fetch(transfer, view, L"/ok/100").codeAfterBody, 0);
    const std::set<DWORD> first = ThreadsOfThisProcess();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(Fetch(transfer, view, L"/ok/100").codeAfterBody, 0) << i;
    }
    std::vector<DWORD> started;
    for (DWORD id : ThreadsOfThisProcess()) {
        if (!first.contains(id)) {
            started.push_back(id);
        }
    }
    EXPECT_TRUE(started.empty()) << started.size() << " threads started for 20 requests";

    // A request held at the server until this test opens the gate, given up once it is
    // there: the next one must end while it is still held (it would otherwise wait for the
    // held one's 60 s time-out, and the gate would have seen it go).
    Gate gate;
    transfer.SetURL(ServerUrl(L"/hold/" + gate.Name()));
    transfer.Execute(L"GET");
    ASSERT_TRUE(PollUntil([&] { return gate.Waiting() == "1"; }));
    Fetched next = Fetch(transfer, view, L"/ok/1000");
    EXPECT_EQ(next.codeAfterBody, 0);
    EXPECT_EQ(next.body, Pattern(1000));
    EXPECT_EQ(gate.Open(), "1") << "the given-up request was still held when the next ended";
}

// The body stops after its first kilobyte until every message, posted one at a time, has been
// handled: they can only have been handled while the transfer waited. Passes without any
// message are wakes for data, a few in all, however long the body is held; a wait that spun
// would make one per turn, so the gate stays closed a little longer with nothing to wake for.
TEST_F(InetTransferTest, HandlesWindowMessagesWhileWaitingWithoutSpinning) {
    const DWORD uiThread = GetCurrentThreadId();
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists from here
    constexpr int kMessages = 8;
    Gate gate;
    std::atomic<bool> allHandled{false};
    std::atomic<int> emptyWhileHeld{-1};
    std::jthread poster([&] {
        bool handled = true;
        for (int i = 1; i <= kMessages && handled; ++i) {
            PostThreadMessageW(uiThread, WM_USER, 0, 0);
            handled = PollUntil([&] { return view.userMessages >= i; });
        }
        // Nothing to wake for: a waiting transfer makes no pass here, however long this is.
        std::this_thread::sleep_for(500ms);
        emptyWhileHeld = view.emptyPasses.load();
        allHandled = handled;
        gate.Open();
    });
    Fetched f = Fetch(transfer, view, L"/hold/" + gate.Name() + L"/5000/1000");
    poster.join();
    EXPECT_TRUE(allHandled) << "each message handled while the body was held";
    EXPECT_EQ(f.body, Pattern(5000));
    EXPECT_EQ(view.userMessages, kMessages);
    EXPECT_LT(emptyWhileHeld, 20) << "woken by messages and data, not polling";
    EXPECT_LT(view.passes, 200);
}

TEST_F(InetTransferTest, LendsItsBlocksWhichStayIntactUntilTheNextCall) {
    // Small blocks and a short queue, so the worker refills while pieces are lent.
    InetTransfer t(view, InetSettings{InetSettings{}.timeout, 4096, 2});
    t.SetURL(ServerUrl(L"/ok/100000"));
    t.Execute(L"GET");
    while (t.StillExecuting()) {
        t.WaitForActivity(std::chrono::hours(1));
    }
    const std::string expected = Pattern(100000);
    std::vector<std::byte> scratch(3000);
    std::string body;
    int lent = 0;
    for (int call = 0;; ++call) {
        // Lent pieces of a whole block and of parts of one, and copies, in turn.
        std::span<std::byte> room = std::span(scratch).first(call % 3 == 0 ? 3000 : 2048);
        std::span<const std::byte> piece;
        if (call % 4 == 3) {
            piece = room.first(t.GetChunk(room));
        } else {
            piece = t.ReadChunk(room);
            lent += piece.data() < scratch.data() || piece.data() >= scratch.data() + 3000;
        }
        if (piece.empty()) {
            break;
        }
        ASSERT_LE(piece.size(), room.size());
        std::this_thread::sleep_for(2ms);  // the worker reads on meanwhile
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(piece.data()), piece.size()),
                  expected.substr(body.size(), piece.size()));
        body.append(reinterpret_cast<const char*>(piece.data()), piece.size());
    }
    EXPECT_EQ(body.size(), expected.size());
    EXPECT_EQ(t.ResponseCode(), 0);
    EXPECT_GT(lent, 10);
}

TEST_F(InetTransferTest, ProgressDownloadOfALargeFile) {
    SystemClock clock;
    InetTransfer t(view);
    ASSERT_NO_THROW(FetchFileWithProgress(t, view, clock, ServerUrl(L"/ok/3000000"), dir.Path(),
                                          L"big.dat", L"", L""));
    EXPECT_EQ(dir.Read(L"big.dat"), Pattern(3000000));
    EXPECT_EQ(view.captions[ProgressLabel::LblFilePecent], L"100%");
    EXPECT_EQ(view.captions[ProgressLabel::Lblname], L"big.dat");
}

TEST_F(InetTransferTest, SendsRequestHeadersUntilTheyAreSetAgain) {
    transfer.SetRequestHeaders(L"Range: bytes=1000-\r\n");
    Fetched f = Fetch(transfer, view, L"/range/5000");
    EXPECT_EQ(StatusCodeText(f.head), L"206");
    EXPECT_EQ(HeaderValue(f.head, L"Content-Range"), L"bytes 1000-4999/5000");
    EXPECT_EQ(f.body, Pattern(5000).substr(1000));
    f = Fetch(transfer, view, L"/range/5000");
    EXPECT_EQ(StatusCodeText(f.head), L"206") << "kept for the next request";
    transfer.SetRequestHeaders(L"");
    f = Fetch(transfer, view, L"/range/5000");
    EXPECT_EQ(StatusCodeText(f.head), L"200");
    EXPECT_EQ(f.body, Pattern(5000));
}

// A pinned part left by an earlier run is continued over WinINet with a range request; a
// server that continues elsewhere leaves the installed file as it was.
TEST_F(InetTransferTest, APinnedPartIsContinuedWithARangeRequest) {
    const std::string whole = Pattern(3000000);
    const Pin pin{whole.size(), Sha256Of(std::as_bytes(std::span(whole.data(), whole.size())))};
    SystemClock clock;
    dir.Write(L"big.dat", "installed");
    dir.Write(L"big.part", whole.substr(0, 1234567));
    ASSERT_NO_THROW(FetchFileWithProgress(transfer, view, clock, ServerUrl(L"/range/3000000"),
                                          dir.Path(), L"big.dat", L"", L"",
                                          {dir / L"big.part", pin, L"big.dat", {}}));
    EXPECT_EQ(dir.Read(L"big.dat"), whole);
    EXPECT_FALSE(dir.Has(L"big.part"));

    dir.Write(L"big.dat", "installed");
    dir.Write(L"big.part", whole.substr(0, 1234567));
    EXPECT_THROW(
        FetchFileWithProgress(transfer, view, clock, ServerUrl(L"/range/3000000/1"), dir.Path(),
                              L"big.dat", L"", L"", {dir / L"big.part", pin, L"big.dat", {}}),
        ProgramEnded);
    EXPECT_EQ(dir.Read(L"big.dat"), "installed");
    EXPECT_TRUE(view.messages.empty());
}

// WinINet follows a redirect by itself: the transfer tells where the answer came from, and the
// request's log line names it; an answer from the URL asked names nothing.
TEST_F(InetTransferTest, ARedirectIsNamedInTheRequestLine) {
    test::RecordingLog log;
    ASSERT_TRUE(Download(L"/redirect/700"));
    EXPECT_EQ(dir.Read(L"vtgame.ini"), Pattern(700));
    const std::wstring host =
        std::wstring(VT_PATCH_HOST).substr(0, std::wstring(VT_PATCH_HOST).find(L':'));
    const std::wstring to = L"http://" + host + L":18081/ok/700";
    EXPECT_EQ(transfer.FinalUrl(), to);
    EXPECT_EQ(log.With(L"/redirect/700 (redirected to " + to + L"): status 200").size(), 1u)
        << (log.lines.empty() ? L"" : log.lines.back());
    ASSERT_TRUE(Download(L"/ok/700"));
    EXPECT_EQ(transfer.FinalUrl(), L"");
    EXPECT_EQ(log.With(L"redirected").size(), 1u);
}

// The wait for a request ends at the time it is given, with the request still running: a
// silent server cannot hold the window's loop beyond what the rule for slow answers allows.
TEST_F(InetTransferTest, AWaitEndsAtItsTimeWhileAServerStaysSilent) {
    transfer.SetURL(ServerUrl(L"/stallhead/20"));
    transfer.SetUserName(L"");
    transfer.SetPassword(L"");
    transfer.Execute(L"GET");
    ASSERT_TRUE(transfer.StillExecuting());
    transfer.WaitForActivity(200ms);
    EXPECT_TRUE(transfer.StillExecuting()) << "returned for its time, not for an answer";
    transfer.Abandon();
    EXPECT_FALSE(transfer.StillExecuting());
}

// Over WinINet, whose own time-outs a trickle passes: the download abandons a silent or
// trickling answer under the rule, shows the player what a failed download shows and says in
// the log which limit tripped.
TEST_F(InetTransferTest, SilentOrTricklingAnswersAreAbandonedUnderTheRule) {
    struct Case {
        const wchar_t* path;
        const wchar_t* logged;
    };
    for (const Case& c : {Case{L"/stallhead/30", L"no answer within 1 s: "},
                          Case{L"/trickle/200/20", L"fewer than 1024 bytes in 1 s: "}}) {
        SCOPED_TRACE(c.path);
        test::RecordingLog log;
        InetTransfer quick(view, {}, SlowAnswerRule{1, 1, 1024});
        SystemClock clock;
        view.messages.clear();
        EXPECT_THROW(FetchFileWithProgress(quick, view, clock, ServerUrl(c.path), dir.Path(),
                                           L"slow.dat", L"", L""),
                     ProgramEnded);
        EXPECT_EQ(view.messages, std::vector<std::wstring>{kReconnectText});
        EXPECT_EQ(log.With(std::wstring(c.logged) + ServerUrl(c.path)).size(), 1u);
        EXPECT_FALSE(dir.Has(L"slow.dat"));
    }
}

TEST(InetTransferDeathTest, TheProcessEndsCleanlyWhileTheWorkerReads) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            CountingView view;
            InetTransfer t(view);
            int passes = 0;
            view.onPass = [&] {
                if (++passes == 3) {
                    ExitProcess(7);  // what cmdCancel does in the product
                }
            };
            Fetch(t, view, L"/trickle/100000/5");
        },
        ::testing::ExitedWithCode(7), "");
}

TEST(HeaderValue, FindsNamesWithoutRegardToCaseAndTrimsValues) {
    std::wstring head = L"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\ncontent-length:  42 \r\n";
    EXPECT_EQ(HeaderValue(head, L"Content-Length"), L"42");
    EXPECT_EQ(HeaderValue(head, L"CONTENT-TYPE"), L"text/plain");
    EXPECT_EQ(HeaderValue(head, L"Content"), L"");
    EXPECT_EQ(HeaderValue(L"HTTP/1.1 200 OK", L"HTTP/1.1 200 OK"), L"");
}

}  // namespace
}  // namespace vt
