#pragma once
// What the patch run needs from the patch window: captions of its labels, the width of the
// progress bar, message boxes and one pass of the message loop. frmVtUpdate_win32 implements
// it with real controls; tests with a recorder.

#include <string>

#include "app/Ui.h"

namespace vt {

enum class PatchLabel { lblState, Lblname, LblFileTime, LblFilebps, LblFilePecent };

class PatchView : public MessageSink, public MessagePump {
  public:
    virtual void SetCaption(PatchLabel label, const std::wstring& text) = 0;
    // Width of Lblprog inside Picprog, in pixels (1 to 201; fractions allowed).
    virtual void SetProgressWidth(float pixels) = 0;
};

}  // namespace vt
