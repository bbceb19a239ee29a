#include "transfer/Pool_win32.h"

#include "base/Handles_win32.h"
#include "base/Log_win32.h"

#include <algorithm>
#include <utility>

namespace vt {
namespace {

// Sleeps until a worker rings or a window message arrives, never spinning.
class EventDoorbell final : public Doorbell {
  public:
    void Ring() override {
        // Without an event Wait polls instead, so a lost ring costs at most one look.
        SetEvent(event_.get());
    }
    void Wait(std::chrono::milliseconds most) override {
        HANDLE h = event_.get();
        const auto ms = static_cast<DWORD>(std::clamp<long long>(most.count(), 0, INFINITE - 1));
        if (MsgWaitForMultipleObjectsEx(1, &h, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
            WAIT_FAILED) {
            Sleep(1);  // no event to wait for (it could not be made): poll, without spinning
        }
    }

  private:
    win32::UniqueHandle event_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

// The workers' transfers read with TryReadChunk and wait with WaitForActivity; they never
// pump a window's messages (their threads have no window).
class NoMessages final : public MessagePump {
  public:
    void DoEvents() override {}
};

// WinINet allows 2 connections per HTTP/1.1 server (4 per HTTP/1.0 one) unless told
// otherwise, for the whole process; a pool of more would queue behind them.
void AllowConnections(int connections) {
    auto most = static_cast<DWORD>(std::max(connections, 2));
    win32::Logged(
        InternetSetOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &most, sizeof most),
        L"InternetSetOption");
    most = std::max<DWORD>(most, 4);
    win32::Logged(
        InternetSetOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &most, sizeof most),
        L"InternetSetOption");
}

PoolSettings Settings(int connections, std::vector<std::wstring> sources) {
    PoolSettings settings;
    settings.connections = connections;
    settings.sources = std::move(sources);
    return settings;
}

class InetDownloader final : public Downloader {
  public:
    InetDownloader(ProgressView& view, Clock& clock, int connections, InetSettings settings,
                   SlowAnswerRule patience, std::vector<std::wstring> sources)
        : pool_(
              view, clock, bell_,
              [this, settings, patience] {
                  return std::make_unique<InetTransfer>(noMessages_, settings, patience);
              },
              Settings(connections, std::move(sources))) {}

    BatchResult FetchAll(std::span<const BatchFile> files, BatchListener& listener) override {
        return pool_.FetchAll(files, listener);
    }

  private:
    EventDoorbell bell_;
    NoMessages noMessages_;
    PoolDownloader pool_;  // last: its connections use the members above
};

}  // namespace

std::unique_ptr<Downloader> MakeInetDownloader(ProgressView& view, Clock& clock, int connections,
                                               InetSettings settings, SlowAnswerRule patience,
                                               std::vector<std::wstring> sources) {
    connections = std::clamp(connections, 1, kMostConnections);
    AllowConnections(connections);
    return std::make_unique<InetDownloader>(view, clock, connections, settings, patience,
                                            std::move(sources));
}

}  // namespace vt
