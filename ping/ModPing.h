#pragma once
// One ICMP echo request to an IPv4 address, and the start and clean-up of the socket library
// around a run of them. The server window talks to Pinger; ModPing_win32 implements it with
// the platform's ICMP library, tests with fakes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace vt {

// The reply buffer of one echo request: the platform's reply record followed by a data area
// for the echoed payload. The caller owns it, zero-filled, and reuses it for every probe of a
// run; a probe writes it and never clears it.
class EchoReplyBuffer {
  public:
    // The platform's ICMP_ECHO_REPLY: 28 bytes on 32-bit Windows, 40 on x64 (pointer fields).
    // ModPing_win32 checks this against the real record.
    static constexpr size_t kRecordSize = sizeof(void*) == 8 ? 40 : 28;
    static constexpr size_t kDataAreaSize = 250;
    static constexpr size_t kSize = kRecordSize + kDataAreaSize;
    // Field offsets in the record; the same on both platforms.
    static constexpr size_t kStatusOffset = 4;
    static constexpr size_t kRoundTripTimeOffset = 8;

    std::byte* Data() { return bytes_.data(); }
    const std::byte* Data() const { return bytes_.data(); }
    static constexpr size_t Size() { return kSize; }

    // IP status of the last reply stored: 0 when an echo reply came back.
    uint32_t Status() const { return Field(kStatusOffset); }
    // Round-trip time of that reply in milliseconds.
    uint32_t RoundTripTime() const { return Field(kRoundTripTimeOffset); }
    // Stores a reply's outcome, as the platform does (fakes and the Windows part use it).
    void SetReply(uint32_t status, uint32_t roundTripTime) {
        std::memcpy(bytes_.data() + kStatusOffset, &status, sizeof status);
        std::memcpy(bytes_.data() + kRoundTripTimeOffset, &roundTripTime, sizeof roundTripTime);
    }

  private:
    uint32_t Field(size_t offset) const {
        uint32_t v = 0;
        std::memcpy(&v, bytes_.data() + offset, sizeof v);
        return v;
    }

    alignas(8) std::array<std::byte, kSize> bytes_{};
};

// Result of PingHost for an address that cannot be parsed (nothing is sent).
inline constexpr int32_t kPingUnparsable = -1;

class Pinger {
  public:
    virtual ~Pinger() = default;
    // Starts the socket library (version 1.1). False when it cannot be started; shows nothing.
    virtual bool SocketsInitialize() = 0;
    // One echo request to `address` (IPv4, dotted decimal) with `data` as its payload and a
    // 500 ms time-out. Returns -1 when the address cannot be parsed (nothing is sent and `reply`
    // is left as it was), otherwise the reply's IP status: 0 means an echo reply arrived and
    // reply.RoundTripTime() holds its round-trip time.
    virtual int32_t PingHost(const std::wstring& address, const std::wstring& data,
                             EchoReplyBuffer& reply) = 0;
    // Cleans up the socket library; when that fails, tells the user and returns as usual.
    virtual void SocketsCleanup() = 0;
};

}  // namespace vt
