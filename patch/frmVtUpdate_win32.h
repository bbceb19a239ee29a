#pragma once
// The real patch window "VT Auto Patch": its layout table and the ProgressView it offers.

#include <string>

#include "transfer/ProgressView.h"
#include "ui/Form_win32.h"

namespace vt {

class frmVtUpdate;

class PatchWindow final : public ProgressView, private win32::Form {
  public:
    PatchWindow();

    // Runs the load handler inside the general error report; the window is still hidden.
    void Load(frmVtUpdate& handlers, const std::wstring& exeDirectory);
    void Show() { Form::Show(); }
    void Hide() { Form::Hide(); }
    using Form::Control;
    using Form::Handle;
    using Form::Text;

    void SetCaption(ProgressLabel label, const std::wstring& text) override;
    void SetProgressWidth(float pixels) override;
    void ShowMessage(const std::wstring& text, const std::wstring& title,
                     MessageStyle style) override;
    void DoEvents() override;

  private:
    void OnClick(const std::wstring& control) override;
    void OnFirstActivate() override;

    frmVtUpdate* handlers_ = nullptr;
};

}  // namespace vt
