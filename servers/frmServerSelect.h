#pragma once
// The server selection window's handlers, portable: list loading, probe runs, connect.

#include <cstdint>
#include <string>
#include <vector>

#include "servers/ServerView.h"

namespace vt {

class Pinger;  // ping/ModPing.h

struct ServerEntry {
    std::wstring Name;
    std::wstring Address;
    std::wstring State;
    std::wstring PingText;
};

class frmServerSelect {
  public:
    frmServerSelect(ServerView& view, Pinger& pinger, Shell& shell);

    // Event handlers; the window runs each inside the general error report.
    void Form_Load();
    void cmdRefresh_Click();
    void cmdConnect_Click();
    void cmdCancel_Click();
    void Image1_Click();
    void lstvServer_DblClick();
    void lstvServer_KeyDown(int keyCode, int shift);

    void ReadSvrList();

    const std::vector<ServerEntry>& Servers() const { return servers_; }  // slot 0 unused
    int16_t ServerCount() const { return serverCount_; }

  private:
    void PingServers();

    ServerView& view_;
    Pinger& pinger_;
    Shell& shell_;
    std::vector<ServerEntry> servers_;
    int16_t serverCount_ = 0;
};

}  // namespace vt
