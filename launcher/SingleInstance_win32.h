#pragma once
// One launcher per installation. Two launchers in the same folder would delete each other's
// temporary files and race on every record, so a second start from the same folder brings the
// first one's window to the front and ends without writing anything. Launchers of other
// installations are not affected.

#include <windows.h>

#include <string>

#include "base/Handles_win32.h"

namespace vt {

class SingleInstance {
  public:
    // Claims the installation in `directory` for this process, unless another launcher holds
    // it. Takes nothing on disk: a named mutex in the session's namespace.
    explicit SingleInstance(const std::wstring& directory);

    // False when another launcher holds the installation.
    bool First() const { return first_; }
    // Shows the holder's foremost window in front of the others (restored when minimised).
    // Waits a little for a holder that has just started and has no window yet.
    void ActivateFirst() const;
    // Lets go of the installation: a launcher this one hands over to takes it.
    void Release();

    // The name of the installation's mutex: "Local\vtlauncher-" and a hash of the folder as
    // the file system resolves it (full, long, links followed), upper-cased as the file system
    // compares names. Hashed because object names cannot hold backslashes.
    static std::wstring MutexName(const std::wstring& directory);

  private:
    std::wstring name_;
    win32::UniqueHandle mutex_;
    win32::UniqueHandle owner_;  // the first launcher's process id, for the second one
    bool first_ = true;
};

}  // namespace vt
