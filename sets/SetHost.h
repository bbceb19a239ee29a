#pragma once
// What the set synchronisation needs from its host: the two downloads, the state label,
// message boxes, one pass of the message loop, and the end of a run that cannot go on. The
// patch window provides it (through PatchHost) and words what the player reads; tests fake it
// with an in-memory patch server.

#include <optional>
#include <string>

#include "base/Ui.h"
#include "format/Bounds.h"
#include "format/Pin.h"

namespace vt {

// The steps the state label shows.
enum class RunState { CheckingVersions, Downloading };

// What a set run can find wrong with what it was served.
enum class SetFault {
    DamagedFile,   // a signed patch's manifest or payload without a pin, or not matching it
    NotAManifest,  // "200" with something else than the set's manifest (a proxy's error page)
};

class SetHost : public MessageSink, public MessagePump {
  public:
    // Both return only when the file is stored whole; the host ends the run on any other way a
    // download ends. A profile or manifest comes with the bound its length must keep.
    virtual void DownloadFile(const std::wstring& url, const std::wstring& directory,
                              const std::wstring& fileName, const std::wstring& userName,
                              const std::wstring& password, const SizeBound& bound) = 0;
    // A payload: staged, then put in place of the installed file in one rename. With a pin the
    // body must match it, else the file is refused as damaged.
    virtual void DownloadFileWithProgress(const std::wstring& url, const std::wstring& directory,
                                          const std::wstring& fileName,
                                          const std::wstring& userName,
                                          const std::wstring& password,
                                          const std::optional<Pin>& pin) = 0;
    // A signed patch: every manifest and every payload must be pinned.
    virtual bool Keyed() const = 0;
    virtual void SetState(RunState state) = 0;  // lblState
    // Tells the player why the run cannot go on and ends it. `file` is installation-relative.
    [[noreturn]] virtual void Fail(SetFault fault, const std::wstring& file) = 0;
};

}  // namespace vt
