#pragma once
// A PatchHost whose downloads come from an in-memory patch server, recording every call.
// It can end "the program" at the n-th payload download to model a kill mid-run.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "patch/PatchHost.h"

namespace vt::test {

// Where a keyed launcher asks for `bytes`: the object named by their SHA-256.
std::wstring ObjectUrlOf(const std::string& bytes);

class FakePatchServer : public PatchHost {
  public:
    // Files by URL (as the launcher requests them). A missing URL ends the program, as a 404.
    std::map<std::wstring, std::string> files;

    struct Call {
        bool progress;
        std::wstring url, directory, fileName;
        std::optional<Pin> pin;
        std::optional<SizeBound> bound;  // the plain download's
        std::wstring stagingPath;        // a payload's
    };
    std::vector<Call> calls;
    std::vector<std::wstring> states;
    std::vector<std::wstring> messages;
    int doEvents = 0;
    // BeforeChange calls, and how many there had been when each payload was written.
    int changes = 0;
    std::vector<int> changesBeforePayload;
    // When set, the payload download with this index (0-based) ends the program before it
    // stores anything; the installed file stays, as with the real staged download.
    std::optional<int> endAtPayload;
    // Plays a signed patch: the sets must pass pins.
    bool keyed = false;

    // Also under its object URL, as a publish writes every file; a test that serves other bytes
    // there puts them after.
    void Put(const std::wstring& url, const std::string& bytes);
    std::vector<std::wstring> PayloadUrls() const;

    // Keeps the bound as the real download does: longer fails the download, another length
    // than a pinned bound is a damaged file.
    void DownloadFile(const std::wstring& url, const std::wstring& directory,
                      const std::wstring& fileName, const std::wstring& userName,
                      const std::wstring& password, const SizeBound& bound) override;
    // As DownloadFile with the pin as the bound; the call keeps the pin and the staging path.
    void FetchManifestObject(const BatchFile& file) override;
    // One payload after the other, in the given order, each reported once it is written.
    void FetchPayloads(std::span<const BatchFile> batch, BatchListener& listener) override;
    bool Keyed() const override { return keyed; }
    void SetState(RunState state) override;
    // Ends the run as the patch window does.
    [[noreturn]] void Fail(SetFault fault, const std::wstring& file) override;
    void ShowMessage(const std::wstring& text, const std::wstring& title,
                     MessageStyle style) override;
    void DoEvents() override { ++doEvents; }
    void BeforeChange() override { ++changes; }

  private:
    void Store(bool progress, const std::wstring& url, const std::wstring& directory,
               const std::wstring& fileName, const std::optional<Pin>& pin,
               const std::function<void()>& beforeWrite = {});
    int payloads_ = 0;
};

}  // namespace vt::test
