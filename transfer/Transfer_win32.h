#pragma once
// The transfer object over WinINet. Requests run one after the other on a worker thread (one
// for the whole run) that does the blocking WinINet calls and reads the body in large blocks
// into a small bounded queue; the UI thread only waits for that queue
// (MsgWaitForMultipleObjects) and handles window messages meanwhile, so the window stays live
// during the head and the body alike.

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "base/Handles_win32.h"
#include "base/Ui.h"
#include "transfer/HttpHead.h"  // GetHeader answers with HeaderValue
#include "transfer/Transfer.h"

namespace vt {

struct InetSettings {
    // WinINet's own time-outs (connect, send and receive): a backstop behind the rule for
    // slow answers, which the downloads apply.
    std::chrono::milliseconds timeout{60000};
    std::size_t blockSize = 1024 * 1024;  // one read of the body
    std::size_t queueBlocks = 4;          // blocks read ahead of the consumer
};

class InetTransfer final : public Transfer {
  public:
    // `pump` handles window messages while GetChunk waits for the network; `patience` is what
    // the downloads hold each answer to.
    explicit InetTransfer(MessagePump& pump, InetSettings settings = {},
                          SlowAnswerRule patience = {});
    ~InetTransfer() override;
    InetTransfer(const InetTransfer&) = delete;
    InetTransfer& operator=(const InetTransfer&) = delete;

    void SetURL(const std::wstring& url) override { url_ = url; }
    void SetUserName(const std::wstring& userName) override { userName_ = userName; }
    void SetPassword(const std::wstring& password) override { password_ = password; }
    void SetRequestHeaders(const std::wstring& headers) override { headers_ = headers; }
    void Execute(const std::wstring& operation) override;
    bool StillExecuting() override;
    void WaitForActivity(std::chrono::milliseconds most) override;
    void Abandon() override;
    std::wstring FinalUrl() override;
    SlowAnswerRule Patience() const override { return patience_; }
    std::wstring GetHeader(const std::wstring& name = {}) override;
    int32_t ResponseCode() override;
    std::size_t GetChunk(std::span<std::byte> buffer) override;
    std::span<const std::byte> ReadChunk(std::span<std::byte> scratch) override;
    std::optional<std::span<const std::byte>> TryReadChunk(std::span<std::byte> scratch) override;

    struct Request;  // shared by the UI thread and the worker
    struct Worker;

  private:
    std::span<const std::byte> NextPiece(std::size_t most);

    MessagePump& pump_;
    InetSettings settings_;
    SlowAnswerRule patience_;
    std::wstring url_;
    std::wstring userName_;
    std::wstring password_;
    std::wstring headers_;
    std::shared_ptr<win32::UniqueInternet> session_;  // opened by the first request
    std::shared_ptr<Request> request_;
    std::vector<std::vector<std::byte>> spareBlocks_;  // the last finished request's
    std::shared_ptr<Worker> worker_;                   // started by the first request
    std::thread workerThread_;
};

}  // namespace vt
