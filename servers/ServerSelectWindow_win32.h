#pragma once
// The real server window "서버 선택": its layout table, the ServerView it offers with a
// common-controls list view, and the routing of its events to the handler class.

#include <cstdint>
#include <string>
#include <vector>

#include "servers/ServerView.h"
#include "ui/Form_win32.h"

namespace vt {

// The rows of the window's layout table, in their order.
enum class ServerControl {
    cmdConnect,
    cmdCancel,
    cmdRefresh,
    lstvServer,
    lblServer,
    Image1,
};

class ServerSelectWindow final : public ServerView, private win32::FormOf<ServerControl> {
  public:
    using Events = FormOf::Events;

    // Binds every event to the handler of the same name (frmServerSelect, or a test double).
    template <class Handlers>
    static Events EventsFor(Handlers& h) {
        using C = ServerControl;
        return Events{
            [&h] { h.Form_Load(); },
            nullptr,
            {
                {C::cmdRefresh, Event::Click, Calls(h, &Handlers::cmdRefresh_Click)},
                {C::cmdConnect, Event::Click, Calls(h, &Handlers::cmdConnect_Click)},
                {C::cmdCancel, Event::Click, Calls(h, &Handlers::cmdCancel_Click)},
                {C::Image1, Event::Click, Calls(h, &Handlers::Image1_Click)},
                {C::lstvServer, Event::DblClick, Calls(h, &Handlers::lstvServer_DblClick)},
                {C::lstvServer, Event::KeyDown,
                 [&h](const EventArgs& key) { h.lstvServer_KeyDown(key.keyCode, key.shift); }},
            },
        };
    }

    ServerSelectWindow();
    ~ServerSelectWindow() override;

    // Runs the load handler inside the general error report; the window is still hidden.
    using FormOf::Load;
    void Show() { Form::Show(); }
    void Hide() { Form::Hide(); }
    using FormOf::Control;
    using FormOf::Handle;

    void ConfigureList() override;
    void AddColumn(const std::wstring& header, int width, ColumnAlign align) override;
    void AddRow(const std::wstring& key, const std::wstring& text) override;
    void SetSubItem(int32_t row, int subItem, const std::wstring& text) override;
    int32_t SelectedRow() override;
    void Pause(uint32_t milliseconds) override;
    void ShowMessage(const std::wstring& text, const std::wstring& title,
                     MessageStyle style) override;
    void DoEvents() override;

    // Shift state as the key-down handler receives it: 1 Shift, 2 Ctrl, 4 Alt.
    static int ShiftState();
    // Called by the list's subclass for every key that goes down in it.
    void ListKeyDown(int keyCode);

  private:
    void OnDpiChanged(int dpi) override;

    HWND list_ = nullptr;
    int columns_ = 0;
    std::vector<int> columnWidths_;  // as given, at 96 DPI
};

}  // namespace vt
