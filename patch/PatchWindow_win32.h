#pragma once
// The real patch window "VT Auto Patch": its layout table, the ProgressView it offers and the
// routing of its events to the handler class.

#include <string>
#include <utility>

#include "transfer/ProgressView.h"
#include "ui/Form_win32.h"

namespace vt {

// The rows of the window's layout table, in their order.
enum class PatchControl {
    cmdCancel,
    Picprog,
    Lblprog,
    Label5,
    Label4,
    Image1,
    Lblname,
    lblState,
    Label3,
    LblFilePecent,
    Label2,
    LblFilebps,
    Label1,
    LblFileTime,
};

class PatchWindow final : public ProgressView, private win32::FormOf<PatchControl> {
  public:
    using Events = FormOf::Events;

    // Binds every event to the handler of the same name (frmVtUpdate, or a test double); the
    // load handler gets the program's folder.
    template <class Handlers>
    static Events EventsFor(Handlers& h, std::wstring exeDirectory) {
        return Events{
            [&h, directory = std::move(exeDirectory)] { h.Form_Load(directory); },
            [&h] { h.Form_Activate(); },
            {
                {PatchControl::cmdCancel, Event::Click, Calls(h, &Handlers::cmdCancel_Click)},
                {PatchControl::Image1, Event::Click, Calls(h, &Handlers::Image1_Click)},
            },
        };
    }

    PatchWindow();

    // Runs the load handler inside the general error report; the window is still hidden.
    using FormOf::Load;
    void Show() { Form::Show(); }
    void Hide() { Form::Hide(); }
    using FormOf::Control;
    using FormOf::Handle;
    using FormOf::Text;

    void SetCaption(ProgressLabel label, const std::wstring& text) override;
    void SetProgressWidth(float pixels) override;
    void ShowMessage(const std::wstring& text, const std::wstring& title,
                     MessageStyle style) override;
    void DoEvents() override;
};

}  // namespace vt
