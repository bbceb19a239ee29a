#include "launcher/ServerHandOver_win32.h"

#include "patch/PatchWindow_win32.h"
#include "ping/ModPing_win32.h"
#include "servers/ServerSelectWindow_win32.h"
#include "servers/frmServerSelect.h"

namespace vt {

ServerHandOver::ServerHandOver(PatchWindow& patchWindow, Shell& shell)
    : patchWindow_(patchWindow), shell_(shell) {}

ServerHandOver::~ServerHandOver() = default;

void ServerHandOver::OpenServerWindow() {
    if (window_) {
        return;  // loaded once per process
    }
    window_ = std::make_unique<ServerSelectWindow>();
    pinger_ = std::make_unique<Win32Pinger>(*window_);
    form_ = std::make_unique<frmServerSelect>(*window_, *pinger_, shell_);
    window_->Load(ServerSelectWindow::EventsFor(*form_));
    window_->Show();
}

void ServerHandOver::HidePatchWindow() {
    patchWindow_.Hide();
}

}  // namespace vt
