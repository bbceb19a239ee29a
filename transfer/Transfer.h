#pragma once
// The transfer object: one HTTP GET at a time, driven in the order URL, UserName, Password,
// RequestHeaders, Execute("GET"), StillExecuting (waiting with WaitForActivity), GetHeader,
// ResponseCode, GetChunk. The product implements it over WinINet (Transfer_win32); tests script it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "transfer/SlowAnswer.h"

namespace vt {

// Error codes a transfer reports (ResponseCode) that its callers tell apart; the values are
// WinINet's.
inline constexpr int32_t kTransferTimedOut = 12002;
inline constexpr int32_t kTransferCancelled = 12017;

class Transfer {
  public:
    virtual ~Transfer() = default;

    virtual void SetURL(const std::wstring& url) = 0;  // scheme-less means http://, port 80
    virtual void SetUserName(const std::wstring& userName) = 0;
    virtual void SetPassword(const std::wstring& password) = 0;
    // Extra header lines of the next requests, each ended by CR LF ("Range: bytes=10-\r\n");
    // empty for none. Kept until set again.
    virtual void SetRequestHeaders(const std::wstring& headers) = 0;
    // Starts the request and returns at once.
    virtual void Execute(const std::wstring& operation) = 0;
    // True until the response head has arrived or the request has failed.
    virtual bool StillExecuting() = 0;
    // Blocks until the request makes progress, a window message is waiting or `most` has
    // passed, never spinning.
    virtual void WaitForActivity(std::chrono::milliseconds most) = 0;
    // Gives up the request in flight: nothing more of it is read.
    virtual void Abandon() = 0;
    // The URL the answer came from when the request was redirected; empty otherwise.
    virtual std::wstring FinalUrl() { return {}; }
    // The rule for answers too slow to wait for, which the downloads apply to every request.
    virtual SlowAnswerRule Patience() const { return {}; }
    // The whole response head (status line first) for an empty name, else one header's value;
    // empty when absent or when there is no response.
    virtual std::wstring GetHeader(const std::wstring& name = {}) = 0;
    // 0 while the transfer has had no error, else its error code. After the body is read it
    // also tells whether the body ended early.
    virtual int32_t ResponseCode() = 0;
    // Copies up to buffer.size() bytes of the body; 0 once the body is exhausted (or failed:
    // check ResponseCode). Window messages are handled while it waits for the network.
    virtual std::size_t GetChunk(std::span<std::byte> buffer) = 0;
    // GetChunk without the copy where the transfer already holds the bytes: up to
    // scratch.size() bytes, either in `scratch` or lent from the transfer's own memory; valid
    // until the next call on this object. Empty once the body is exhausted (or failed).
    virtual std::span<const std::byte> ReadChunk(std::span<std::byte> scratch) {
        return scratch.first(GetChunk(scratch));
    }
    // ReadChunk without the wait: nothing while no new bytes are there and the body goes on.
    virtual std::optional<std::span<const std::byte>> TryReadChunk(std::span<std::byte> scratch) {
        return ReadChunk(scratch);
    }
};

}  // namespace vt
