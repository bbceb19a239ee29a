#pragma once
// The end of the patch run on Windows: the server window is loaded (its load handler reads the
// server list and probes every server while the window is still hidden), shown, and the patch
// window hidden. The objects live until the program ends.

#include <memory>

#include "base/Ui.h"
#include "patch/frmVtUpdate.h"

namespace vt {

class PatchWindow;
class ServerSelectWindow;
class Win32Pinger;
class frmServerSelect;

class ServerHandOver final : public PatchHandOver {
  public:
    ServerHandOver(PatchWindow& patchWindow, Shell& shell);
    ~ServerHandOver() override;

    void OpenServerWindow() override;
    void HidePatchWindow() override;

  private:
    PatchWindow& patchWindow_;
    Shell& shell_;
    std::unique_ptr<ServerSelectWindow> window_;
    std::unique_ptr<Win32Pinger> pinger_;
    std::unique_ptr<frmServerSelect> form_;
};

}  // namespace vt
