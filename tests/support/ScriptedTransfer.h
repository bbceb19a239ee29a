#pragma once
// A transfer object that plays one scripted HTTP exchange and records how it was driven.

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "transfer/Clock.h"
#include "transfer/Transfer.h"

namespace vt::test {

// A clock that stands still until moved: by the test, or by a ScriptedTransfer's waits.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(double start = 0) : now(start) {}
    double Seconds() override { return now; }
    double now;
};

// Plays one exchange: a head, a Content-Length (and any other headers), the body in the given
// pieces and the error codes before and after the body. Records the request headers set.
class ScriptedTransfer final : public Transfer {
  public:
    std::wstring head = L"HTTP/1.1 200 OK";
    std::optional<std::wstring> contentLength;
    std::map<std::wstring, std::wstring> headers;  // other response headers by name
    std::vector<std::string> pieces;
    int32_t codeBeforeBody = 0;
    int32_t codeAfterBody = 0;
    int pollsUntilHead = 2;
    std::function<void()> onExecute;
    std::function<void(size_t piece)> onPiece;
    // ReadChunk lends the pieces from here instead of copying them, and spoils the previous
    // piece on the next call, as a transfer reusing its memory would.
    bool lend = false;
    // Time, when a clock is given: the head arrives at headAt, piece i at pieceAt[i] (at once
    // past the list), and a wait for one of them moves the clock to it, or by the most it may
    // wait when that comes first.
    ManualClock* clock = nullptr;
    double headAt = 0;
    std::vector<double> pieceAt;
    SlowAnswerRule patience;
    std::wstring finalUrl;  // the answer's URL after a redirect
    bool abandoned = false;

    std::vector<std::wstring> calls;
    std::wstring url, userName, password;
    std::wstring requestHeaders;  // as set before the last Execute
    size_t bufferSize = 0;

    void SetURL(const std::wstring& u) override {
        calls.push_back(L"URL");
        url = u;
    }
    void SetUserName(const std::wstring& u) override {
        calls.push_back(L"UserName");
        userName = u;
    }
    void SetPassword(const std::wstring& p) override {
        calls.push_back(L"Password");
        password = p;
    }
    void SetRequestHeaders(const std::wstring& h) override { requestHeaders = h; }
    void Execute(const std::wstring& operation) override {
        calls.push_back(L"Execute " + operation);
        if (onExecute) {
            onExecute();
        }
    }
    bool StillExecuting() override {
        return pollsUntilHead-- > 0 || (clock != nullptr && clock->now < headAt);
    }
    void WaitForActivity(std::chrono::milliseconds most) override {
        ++waits;
        longestWait = std::max(longestWait, most);
        if (clock == nullptr) {
            return;
        }
        // Only a wait for something timed takes time; anything else is there at once.
        const double latest = clock->now + static_cast<double>(most.count()) / 1000;
        if (clock->now < headAt) {
            clock->now = std::min(latest, headAt);
        } else if (next_ < pieces.size() && next_ < pieceAt.size() && clock->now < pieceAt[next_]) {
            clock->now = std::min(latest, pieceAt[next_]);
        }
    }
    void Abandon() override { abandoned = true; }
    std::wstring FinalUrl() override { return finalUrl; }
    SlowAnswerRule Patience() const override { return patience; }
    std::wstring GetHeader(const std::wstring& name) override {
        calls.push_back(L"GetHeader " + name);
        if (name.empty()) {
            return head;
        }
        if (name == L"Content-Length") {
            return contentLength.value_or(L"");
        }
        auto it = headers.find(name);
        return it == headers.end() ? L"" : it->second;
    }
    int32_t ResponseCode() override {
        return next_ < pieces.size() ? codeBeforeBody : codeAfterBody;
    }
    size_t GetChunk(std::span<std::byte> buffer) override {
        bufferSize = buffer.size();
        if (next_ >= pieces.size()) {
            return 0;
        }
        const std::string& p = pieces[next_];
        if (onPiece) {
            onPiece(next_);
        }
        ++next_;
        EXPECT_LE(p.size(), buffer.size());
        std::memcpy(buffer.data(), p.data(), p.size());
        return p.size();
    }

    std::span<const std::byte> ReadChunk(std::span<std::byte> scratch) override {
        if (!lend) {
            return Transfer::ReadChunk(scratch);
        }
        if (next_ > 0 && next_ <= pieces.size()) {
            std::string& previous = pieces[next_ - 1];
            std::fill(previous.begin(), previous.end(), '!');
        }
        bufferSize = scratch.size();
        if (next_ >= pieces.size()) {
            return {};
        }
        if (onPiece) {
            onPiece(next_);
        }
        const std::string& p = pieces[next_++];
        EXPECT_LE(p.size(), scratch.size());
        return std::as_bytes(std::span(p));
    }

    std::optional<std::span<const std::byte>> TryReadChunk(std::span<std::byte> scratch) override {
        if (clock != nullptr && next_ < pieces.size() && next_ < pieceAt.size() &&
            clock->now < pieceAt[next_]) {
            return std::nullopt;
        }
        return ReadChunk(scratch);
    }

    int waits = 0;
    std::chrono::milliseconds longestWait{0};

    void Body(const std::string& body, size_t pieceSize) {
        pieces.clear();
        next_ = 0;
        for (size_t i = 0; i < body.size(); i += pieceSize) {
            pieces.push_back(body.substr(i, pieceSize));
        }
        contentLength = std::to_wstring(body.size());
    }

  private:
    size_t next_ = 0;
};

}  // namespace vt::test
