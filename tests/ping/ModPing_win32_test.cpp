#include "ping/ModPing_win32.h"

#include <winsock2.h>

#include <windows.h>

#include <iphlpapi.h>

#include <icmpapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "servers/frmServerSelect.h"
#include "tests/support/RecordingServerView.h"
#include "tests/support/TestDir.h"

namespace vt {
namespace {

using Clock = std::chrono::steady_clock;

// Echo requests go to loopback only. 127.0.0.49 is made silent by a filter rule that this
// suite adds on the host for the length of the suite and removes afterwards.
constexpr wchar_t kAnswering1[] = L"127.0.0.41";
constexpr wchar_t kSilent[] = L"127.0.0.49";

// The rule's table, named after the Wine prefix: a suite running at the same time in another
// prefix keeps a table of its own, so neither removes the other's rule while it is in use,
// and a run killed before its clean-up leaves the table for the next run here to replace.
std::string SilentTable() {
    wchar_t prefix[1024] = {};
    GetEnvironmentVariableW(L"WINEPREFIX", prefix, static_cast<DWORD>(std::size(prefix)));
    uint32_t hash = 2166136261u;  // FNV-1a
    for (const wchar_t* p = prefix; *p != 0; ++p) {
        hash = (hash ^ static_cast<uint32_t>(*p)) * 16777619u;
    }
    char hex[9] = {};
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(hash));
    return std::string("vt_silent_127_0_0_49_") + hex;
}

class RecordingSink final : public MessageSink {
  public:
    void ShowMessage(const std::wstring& text, const std::wstring& title,
                     MessageStyle style) override {
        texts.push_back(text);
        titles.push_back(title);
        styles.push_back(style);
    }
    std::vector<std::wstring> texts;
    std::vector<std::wstring> titles;
    std::vector<MessageStyle> styles;
};

const ICMP_ECHO_REPLY& Record(const EchoReplyBuffer& buffer) {
    return *reinterpret_cast<const ICMP_ECHO_REPLY*>(buffer.Data());
}

// Runs a shell command line on the Linux side. Wine starts Unix programs but hands back no
// process handle to wait on, so the command leaves its exit status in a file that we poll.
std::optional<int> RunOnHost(const std::string& command) {
    static int serial = 0;
    const std::string marker = "/tmp/vt-ping-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                               std::to_string(++serial);
    std::wstring windowsMarker = L"Z:" + std::wstring(marker.begin(), marker.end());
    for (auto& c : windowsMarker) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    const std::string script =
        command + " >/dev/null 2>&1; echo $? > " + marker + ".tmp; mv " + marker + ".tmp " + marker;
    std::wstring line = L"Z:\\bin\\sh -c \"" + std::wstring(script.begin(), script.end()) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        return std::nullopt;
    }
    // Wine hands back no usable handles for a Unix program; there is nothing to close.
    const auto end = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < end) {
        if (auto text = fs::ReadWholeFile(windowsMarker)) {
            ::DeleteFileW(windowsMarker.c_str());
            return std::atoi(text->c_str());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
}

std::string SilentRule(bool add) {
    const std::string table = "ip " + SilentTable();
    std::string cmd = "nft delete table " + table + " 2>/dev/null;";
    if (add) {
        // Drop the echo requests on their way in, so the send succeeds and no reply comes.
        cmd += " nft 'add table " + table + "; add chain " + table +
               " input { type filter hook input priority -150; policy accept; }; add rule " +
               table + " input ip daddr 127.0.0.49 icmp type echo-request drop'";
    } else {
        cmd += " true";
    }
    return cmd;
}

class EchoProbe : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::optional<int> rc = RunOnHost(SilentRule(true));
        silentReady_ = rc && *rc == 0;
        if (!silentReady_) {
            whyNotSilent_ = rc ? "nft could not add the rule (needs root and nftables)"
                               : "could not run /bin/sh from Wine";
        }
    }
    static void TearDownTestSuite() {
        if (silentReady_) {
            RunOnHost(SilentRule(false));
            silentReady_ = false;
        }
    }

    void SetUp() override { ASSERT_TRUE(pinger.SocketsInitialize()); }
    void TearDown() override { pinger.SocketsCleanup(); }

    static bool silentReady_;
    static std::string whyNotSilent_;
    RecordingSink sink;
    Win32Pinger pinger{sink};
};

bool EchoProbe::silentReady_ = false;
std::string EchoProbe::whyNotSilent_;

TEST_F(EchoProbe, ReplyBufferIsThePlatformRecordAndItsDataArea) {
    EXPECT_EQ(EchoReplyBuffer::kRecordSize, sizeof(ICMP_ECHO_REPLY));
    EXPECT_EQ(EchoReplyBuffer::Size(), sizeof(ICMP_ECHO_REPLY) + 250);
    EchoReplyBuffer buffer;
    buffer.SetReply(11010, 77);
    EXPECT_EQ(Record(buffer).Status, 11010u);
    EXPECT_EQ(Record(buffer).RoundTripTime, 77u);
}

TEST_F(EchoProbe, UnparsableAddressesGiveMinusOneAndSendNothing) {
    const std::wstring withZero(L"127.0.0.1\0junk", 14);
    for (const std::wstring& address :
         {std::wstring(), std::wstring(L"localhost"), std::wstring(L"game.example.com"),
          std::wstring(L"256.1.1.1"), std::wstring(L"255.255.255.255"), withZero}) {
        EchoReplyBuffer buffer;
        buffer.SetReply(4242, 99);
        EXPECT_EQ(pinger.PingHost(address, address, buffer), -1) << address.size();
        EXPECT_EQ(buffer.Status(), 4242u) << "the buffer is left as it was";
        EXPECT_EQ(buffer.RoundTripTime(), 99u);
    }
}

TEST_F(EchoProbe, LoopbackAnswersAndEchoesTheAddressText) {
    EchoReplyBuffer buffer;
    ASSERT_EQ(pinger.PingHost(kAnswering1, kAnswering1, buffer), 0);
    const ICMP_ECHO_REPLY& reply = Record(buffer);
    EXPECT_EQ(reply.Status, 0u);
    EXPECT_LT(reply.RoundTripTime, 500u);
    ASSERT_EQ(reply.DataSize, 10) << "the payload is the ten characters of the address";
    ASSERT_NE(reply.Data, nullptr);
    EXPECT_EQ(std::string(static_cast<const char*>(reply.Data), reply.DataSize), "127.0.0.41");
}

TEST_F(EchoProbe, CleanupFailureIsToldOnce) {
    pinger.SocketsCleanup();  // matches SetUp's start
    EXPECT_TRUE(sink.texts.empty());
    // Other parts of this process (WinINet) may still hold the library: release their
    // references too until a clean-up finds nothing left, then give them back.
    int released = 0;
    while (sink.texts.empty() && released < 64) {
        pinger.SocketsCleanup();
        ++released;
    }
    ASSERT_EQ(sink.texts.size(), 1u);
    EXPECT_EQ(sink.texts[0], L"윈도우 소켓의 CleanUp 실패");
    EXPECT_EQ(sink.titles[0], L"");
    EXPECT_EQ(sink.styles[0], MessageStyle::Exclamation);
    for (int i = 1; i < released; ++i) {
        ASSERT_TRUE(pinger.SocketsInitialize());
    }
    ASSERT_TRUE(pinger.SocketsInitialize());  // for TearDown
}

TEST_F(EchoProbe, SilentAddressFailsAfterTheTimeOutEvenAfterASuccess) {
    if (!silentReady_) {
        GTEST_SKIP() << "no silent address on this machine: " << whyNotSilent_;
    }
    EchoReplyBuffer buffer;
    ASSERT_EQ(pinger.PingHost(kAnswering1, kAnswering1, buffer), 0);

    const auto start = Clock::now();
    const int32_t result = pinger.PingHost(kSilent, kSilent, buffer);
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_NE(result, 0) << "a stale success in the reused buffer must not count";
    EXPECT_EQ(result, IP_REQ_TIMED_OUT) << "ended by the probe's own time-out";
    EXPECT_EQ(buffer.Status(), static_cast<uint32_t>(IP_REQ_TIMED_OUT));
    EXPECT_GE(elapsed.count(), 400) << "the full time-out is waited for";
}

TEST_F(EchoProbe, ServerWindowShowsEachProbeOutcome) {
    if (!silentReady_) {
        GTEST_SKIP() << "no silent address on this machine: " << whyNotSilent_;
    }
    test::TestDir dir;
    std::wstring root = dir.Path();
    root.pop_back();
    SetPathStrings(root);
    ASSERT_TRUE(fs::CreateDir(AppDir + L"resource"));
    ASSERT_TRUE(fs::CreateDir(AppDir + L"resource\\data"));
    dir.Write(L"resource\\data\\SvrList.dat",
              "127.0.0.41:one\r\n127.0.0.42:two\r\n127.0.0.49:silent\r\nlocalhost:named\r\n");

    test::RecordingServerView view;
    test::RecordingShell shell;
    RecordingSink windowSink;
    Win32Pinger windowPinger(windowSink);
    frmServerSelect form(view, windowPinger, shell);
    form.Form_Load();

    ASSERT_EQ(view.rows.size(), 4u);
    for (int i : {0, 1}) {
        EXPECT_EQ(view.rows[static_cast<size_t>(i)].state, L"정상") << i;
        const std::wstring& ping = view.rows[static_cast<size_t>(i)].ping;
        ASSERT_GT(ping.size(), 3u);
        EXPECT_EQ(ping.substr(ping.size() - 3), L" ms");
        EXPECT_EQ(ping.find_first_not_of(L"0123456789"), ping.size() - 3) << "digits, then ms";
    }
    for (int i : {2, 3}) {
        EXPECT_EQ(view.rows[static_cast<size_t>(i)].ping, L"0 ms") << i;
        EXPECT_EQ(view.rows[static_cast<size_t>(i)].state, L"오류") << i;
    }
    EXPECT_TRUE(windowSink.texts.empty());
    EXPECT_TRUE(view.messages.empty());
}

}  // namespace
}  // namespace vt
