#pragma once
// What happens before the patch window loads: the run log is opened, and the installation
// folder is checked to be writable (elevating once, or explaining to the player).

#include <windows.h>

#include <string>

#include "launcher/Writability.h"

namespace vt {

// Creates and removes a file with FILE_FLAG_DELETE_ON_CLOSE, so a killed probe leaves nothing.
class Win32FolderProbe final : public FolderProbe {
  public:
    ProbeResult Probe(const std::wstring& folder) override;
};

enum class ElevationStart { Started, Declined, Failed };
// Starts `exePath` again through the "runas" verb, marked with kElevatedMarker.
ElevationStart StartElevated(const std::wstring& exePath);
// The process token says it runs with administrator rights.
bool RunsElevated();

// Opens the run log and decides whether this instance goes on. False: it must end now (an
// elevated instance took over, or the player was told the folder cannot be written).
bool PrepareRun(const std::wstring& exePath, const std::wstring& installDir);

}  // namespace vt
