#pragma once
// The real server window "서버 선택": its layout table, the ServerView it offers with a
// common-controls list view, and the routing of its events to the handler class.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "servers/ServerView.h"
#include "ui/Form_win32.h"

namespace vt {

class ServerSelectWindow final : public ServerView, private win32::Form {
  public:
    struct Events {
        std::function<void()> Form_Load;
        std::function<void()> cmdRefresh_Click;
        std::function<void()> cmdConnect_Click;
        std::function<void()> cmdCancel_Click;
        std::function<void()> Image1_Click;
        std::function<void()> lstvServer_DblClick;
        std::function<void(int keyCode, int shift)> lstvServer_KeyDown;
    };

    // Binds every event to the handler of the same name (frmServerSelect, or a test double).
    template <class Handlers>
    static Events EventsFor(Handlers& h) {
        return Events{
            [&h] { h.Form_Load(); },
            [&h] { h.cmdRefresh_Click(); },
            [&h] { h.cmdConnect_Click(); },
            [&h] { h.cmdCancel_Click(); },
            [&h] { h.Image1_Click(); },
            [&h] { h.lstvServer_DblClick(); },
            [&h](int keyCode, int shift) { h.lstvServer_KeyDown(keyCode, shift); },
        };
    }

    ServerSelectWindow();
    ~ServerSelectWindow() override;

    // Runs the load handler inside the general error report; the window is still hidden.
    void Load(Events events);
    void Show() { Form::Show(); }
    void Hide() { Form::Hide(); }
    using Form::Control;
    using Form::Handle;

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
    void OnClick(const std::wstring& control) override;
    bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    void OnDpiChanged(int dpi) override;
    void Raise(const std::function<void()>& handler);

    HWND list_ = nullptr;
    Events events_;
    int columns_ = 0;
    std::vector<int> columnWidths_;  // as given, at 96 DPI
};

}  // namespace vt
