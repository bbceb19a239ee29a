#pragma once
// Where a download shows its progress: the captions of the patch window's labels, the width of
// its progress bar, message boxes and one pass of the message loop. The patch window
// implements it with real controls; tests with a recorder.

#include <string>

#include "base/Ui.h"

namespace vt {

// The labels a download writes, named after the patch window's controls.
enum class ProgressLabel { lblState, Lblname, LblFileTime, LblFilebps, LblFilePecent };

class ProgressView : public MessageSink, public MessagePump {
  public:
    virtual void SetCaption(ProgressLabel label, const std::wstring& text) = 0;
    // Width of Lblprog inside Picprog, in pixels (1 to 201; fractions allowed).
    virtual void SetProgressWidth(float pixels) = 0;
};

}  // namespace vt
