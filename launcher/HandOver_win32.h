#pragma once
// The hand-over between launchers. The parent starts the new launcher with two inheritable
// events and its own process handle on the command line (launcher/HandOverArgs.h) and waits,
// never freezing (with no window it only waits; with the patch window up it pumps messages),
// until the child says its window is up; then it lets go of the installation and says go. A
// child that ends, or shows no window in time, is ended. The child, its window up, says so and
// waits for go or for its parent's end.

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

#include "base/Handles_win32.h"
#include "selfupdate/Swap.h"

namespace vt {

class PatchWindow;

class Win32ChildStarter final : public selfupdate::ChildStarter {
  public:
    // `release` lets go of the installation (the single-instance hold) before go is said;
    // `window`: the patch window when it is up, hidden while the child starts and shown again
    // when it fails. `limitMs`: how long the child may take to show its window.
    Win32ChildStarter(std::function<void()> release, PatchWindow* window, DWORD limitMs)
        : release_(std::move(release)), window_(window), limitMs_(limitMs) {}
    selfupdate::ChildOutcome Start(const std::wstring& path) override;

  private:
    selfupdate::ChildOutcome Await(HANDLE up, HANDLE go, HANDLE process);

    std::function<void()> release_;
    PatchWindow* window_;
    DWORD limitMs_;
};

enum class GoSignal { Given, ParentGone };

class ChildHandOver {
  public:
    // Nothing when this launcher was not started to take over.
    static std::optional<ChildHandOver> FromCommandLine(const wchar_t* commandLine);
    // Says the window is up, then waits for go or for the parent's end, pumping messages.
    GoSignal AwaitGo();

  private:
    win32::UniqueHandle up_;
    win32::UniqueHandle go_;
    win32::UniqueHandle parent_;
};

}  // namespace vt
