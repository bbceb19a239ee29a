#pragma once
// What the set synchronisation needs from its host: the manifest's download and the payloads'
// as one job, the state label, message boxes, one pass of the message loop, the step before
// the installation first changes, and the end of a run that cannot go on. The
// patch window provides it (through PatchHost) and words what the player reads; tests fake it
// with an in-memory patch server.

#include <optional>
#include <span>
#include <string>

#include "base/Ui.h"
#include "format/Bounds.h"
#include "format/Pin.h"
#include "transfer/Batch.h"

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
    // Both return only when every file is stored whole; the host ends the run on any other way
    // a download ends. A profile or manifest comes with the bound its length must keep.
    virtual void DownloadFile(const std::wstring& url, const std::wstring& directory,
                              const std::wstring& fileName, const std::wstring& userName,
                              const std::wstring& password, const SizeBound& bound) = 0;
    // A signed patch's manifest, as an object: staged and checked against `file.pin` as a
    // payload is, from whichever source serves it, and put at `file`'s place in TempDir.
    // Returns only when it is stored whole.
    virtual void FetchManifestObject(const BatchFile& file) = 0;
    // Payloads: each staged, then put in place of the installed file in one rename, and
    // reported to `listener` right after. With a pin the body must match it, else the file is
    // refused as damaged.
    virtual void FetchPayloads(std::span<const BatchFile> files, BatchListener& listener) = 0;
    // Called before the run first changes the installation (a payload placed, a version
    // recorded in vtgame.ini): a signed patch's serial is kept from then on, so a patch refused
    // before that leaves every file as it was.
    virtual void BeforeChange() {}
    // A signed patch: every manifest and every payload must be pinned.
    virtual bool Keyed() const = 0;
    virtual void SetState(RunState state) = 0;  // lblState
    // Tells the player why the run cannot go on and ends it. `file` is installation-relative.
    [[noreturn]] virtual void Fail(SetFault fault, const std::wstring& file) = 0;
};

}  // namespace vt
