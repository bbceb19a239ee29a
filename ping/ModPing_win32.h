#pragma once
// The echo probe on Windows: icmp (IcmpCreateFile, IcmpSendEcho, IcmpCloseHandle) and the
// socket library (WSAStartup, WSACleanup, inet_addr).

#include <cstdint>

#include "base/Ui.h"
#include "ping/ModPing.h"

namespace vt {

class Win32Pinger final : public Pinger {
  public:
    // `messages` shows the clean-up failure ("윈도우 소켓의 CleanUp 실패").
    explicit Win32Pinger(MessageSink& messages) : messages_(messages) {}

    bool SocketsInitialize() override;
    int32_t PingHost(const std::wstring& address, const std::wstring& data,
                     EchoReplyBuffer& reply) override;
    void SocketsCleanup() override;

    static constexpr uint32_t kTimeoutMilliseconds = 500;

  private:
    MessageSink& messages_;
};

}  // namespace vt
