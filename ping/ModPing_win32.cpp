#include "ping/ModPing_win32.h"

// Order matters: winsock2 before windows, iphlpapi before icmpapi.
#include <winsock2.h>

#include <windows.h>

#include <iphlpapi.h>

#include <icmpapi.h>

#include <cstddef>
#include <memory>
#include <string>

#include "base/Cp949.h"
#include "base/Handles_win32.h"

namespace vt {
namespace {

static_assert(sizeof(ICMP_ECHO_REPLY) == EchoReplyBuffer::kRecordSize,
              "EchoReplyBuffer must start with the platform's reply record");
static_assert(offsetof(ICMP_ECHO_REPLY, Status) == EchoReplyBuffer::kStatusOffset);
static_assert(offsetof(ICMP_ECHO_REPLY, RoundTripTime) == EchoReplyBuffer::kRoundTripTimeOffset);

constexpr wchar_t kCleanupFailed[] = L"윈도우 소켓의 CleanUp 실패";

}  // namespace

bool Win32Pinger::SocketsInitialize() {
    WSADATA data{};
    return WSAStartup(0x0101, &data) == 0;
}

int32_t Win32Pinger::PingHost(const std::wstring& address, const std::wstring& data,
                              EchoReplyBuffer& reply) {
    // inet_addr stops at a zero byte; an address with one inside is not what the file says.
    if (address.find(L'\0') != std::wstring::npos) {
        return kPingUnparsable;
    }
    const std::string ansiAddress = ToCp949(address);
    const unsigned long destination = inet_addr(ansiAddress.c_str());
    if (destination == INADDR_NONE) {
        return kPingUnparsable;
    }

    win32::UniqueIcmp icmp(IcmpCreateFile());
    if (icmp.get() == INVALID_HANDLE_VALUE) {
        icmp.release();
        reply.SetReply(IP_GENERAL_FAILURE, 0);
        return IP_GENERAL_FAILURE;
    }

    std::string payload = ToCp949(data);
    if (payload.size() > 0xFFFF) {
        payload.resize(0xFFFF);
    }
    const DWORD replies = IcmpSendEcho(
        icmp.get(), destination, payload.data(), static_cast<WORD>(payload.size()), nullptr,
        reply.Data(), static_cast<DWORD>(EchoReplyBuffer::Size()), kTimeoutMilliseconds);
    if (replies == 0) {
        // A failed call need not store a reply record, and the buffer may still hold the
        // previous server's success: take the failure from the call.
        DWORD error = GetLastError();
        if (error == 0 || error > 0x7FFFFFFF) {
            error = IP_GENERAL_FAILURE;
        }
        reply.SetReply(error, 0);
        return static_cast<int32_t>(error);
    }
    return static_cast<int32_t>(reply.Status());
}

void Win32Pinger::SocketsCleanup() {
    if (WSACleanup() != 0) {
        messages_.ShowMessage(kCleanupFailed, L"", MessageStyle::Exclamation);
    }
}

}  // namespace vt
