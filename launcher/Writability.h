#pragma once
// Whether the installation folder can be written, decided before the patch run writes anything:
// a folder the player may not write (under Program Files, started without administrator
// rights) is met by asking Windows for an elevated start once, then by an explanation.

#include <string>
#include <string_view>
#include <vector>

namespace vt {

enum class ProbeResult {
    Writable,
    Denied,   // access denied or write-protected
    Unknown,  // missing, or another failure: left to the patch run to report
};

class FolderProbe {
  public:
    virtual ~FolderProbe() = default;
    // Creates and removes a file of its own in `folder`.
    virtual ProbeResult Probe(const std::wstring& folder) = 0;
};

enum class WriteDecision { Proceed, AskElevation, Explain };

struct Writability {
    WriteDecision decision = WriteDecision::Proceed;
    std::wstring folder;  // the first folder that cannot be written
};

// Probes `folders` in order and stops at the first denied one. An instance that already runs
// elevated, or was started by an earlier request for elevation, is not elevated again.
Writability DecideWritability(FolderProbe& probe, const std::vector<std::wstring>& folders,
                              bool alreadyElevated);

// The installation folder (no trailing backslash) and the folders below it that the patch run
// writes into.
std::vector<std::wstring> FoldersToProbe(const std::wstring& installDir);

// Marks the instance started by the request for elevation, so that it is asked for only once.
inline constexpr wchar_t kElevatedMarker[] = L"--elevated";
// True when one argument of `commandLine` (after the program's name) is the marker.
bool HasElevatedMarker(std::wstring_view commandLine);

enum class UnwritableReason {
    ElevationDeclined,  // the player said no to the request
    ElevationFailed,    // Windows could not start the elevated instance
    StillDenied,        // the elevated instance cannot write either
};
// What the player reads: the folder, why, and what they can do.
std::wstring UnwritableFolderText(const std::wstring& folder, UnwritableReason reason);

}  // namespace vt
