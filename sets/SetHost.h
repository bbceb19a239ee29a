#pragma once
// What the set synchronisation needs from its host: the two downloads, the state label,
// message boxes and one pass of the message loop. The patch window provides it (through
// PatchHost); tests fake it with an in-memory patch server.

#include <optional>
#include <string>

#include "base/Ui.h"
#include "format/Pin.h"

namespace vt {

class SetHost : public MessageSink, public MessagePump {
  public:
    // Both return only when the file is stored whole; a failed transfer ends the program.
    virtual void DownloadFile(const std::wstring& url, const std::wstring& directory,
                              const std::wstring& fileName, const std::wstring& userName,
                              const std::wstring& password) = 0;
    // A payload: staged, then put in place of the installed file in one rename. With a pin the
    // body must match it, else the file is refused as damaged.
    virtual void DownloadFileWithProgress(const std::wstring& url, const std::wstring& directory,
                                          const std::wstring& fileName,
                                          const std::wstring& userName,
                                          const std::wstring& password,
                                          const std::optional<Pin>& pin) = 0;
    // A signed patch: every manifest and every payload must be pinned.
    virtual bool Keyed() const = 0;
    virtual void SetState(const std::wstring& text) = 0;  // lblState
};

}  // namespace vt
