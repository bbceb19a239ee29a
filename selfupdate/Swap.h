#pragma once
// The swap of launchers. vtlauncher.exe, the starter the player starts, is never replaced: a new
// launcher is fetched into temp\, checked by size and SHA-256, moved to
// launcher\vtlauncher-<serial>.exe (a new serial is a new name, never an overwrite) and then named
// by the pointer launcher\current.ini, replaced in one rename. At every moment between the steps
// the starter runs, and the next start ends on the new launcher or on the one before.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "selfupdate/Pointer.h"
#include "selfupdate/SwapFs.h"

namespace vt::selfupdate {

inline constexpr wchar_t kLauncherFolder[] = L"launcher";
inline constexpr wchar_t kPointerName[] = L"current.ini";
// Tries of a step on a file something holds for a while, a pause between them.
inline constexpr int kHeldTries = 5;

// "vtlauncher-<serial>.exe".
std::wstring VersionedName(uint64_t serial);
// The serial a versioned launcher's name carries; nothing for any other name.
std::optional<uint64_t> SerialOfName(const std::wstring& name);
// The installation a launcher at `exePath` patches: its folder, or for a versioned launcher in
// <installation>\launcher\, the folder above. No backslash at the end.
std::wstring InstallationOf(const std::wstring& exePath);

// Where the steps stand or which one failed.
enum class SwapStep { Fetch, Check, MoveIn, WritePointer, Done };

// What the starter should do at start.
struct Choice {
    std::wstring path;  // the versioned launcher to start as a child
    LauncherRef launcher;
};

class Swap {
  public:
    // `installation` ends in a backslash, `tempDir` too; `ownSerial` is this program's.
    Swap(SwapFs& fs, const std::wstring& installation, std::wstring tempDir, uint64_t ownSerial);

    std::optional<Pointer> ReadPointer();
    std::wstring PathOf(uint64_t serial) const;

    // Fetches the launcher `next` names (`fetch` stores it at the path it is given), checks it,
    // moves it in and points at it. The launcher that runs is the one to put back. Returns the
    // step it failed at, or Done; a failure leaves the pointer as it was.
    SwapStep Install(const LauncherRef& next,
                     const std::function<bool(const std::wstring&)>& fetch);

    // The launcher to hand over to: the pointer names one with a higher serial than this
    // program's, not failed, whose file has the named size and SHA-256. `why` says otherwise.
    std::optional<Choice> Choose(std::wstring& why);

    // `serial` failed: current becomes previous and the serial is added to the failed ones, in
    // one write of the pointer.
    bool PutBack(uint64_t serial);

    // Deletes versioned launchers the pointer no longer names (not the current, the previous or
    // this one). A file that cannot go (running, held) stays for the next time.
    void RemoveStale();

  private:
    bool Tried(const std::function<bool()>& step);
    bool WritePointer(const Pointer& pointer);
    LauncherRef Running(const std::optional<Pointer>& pointer) const;

    SwapFs& fs_;
    std::wstring folder_;  // ends in a backslash
    std::wstring tempDir_;
    uint64_t ownSerial_;
};

// Starts a launcher as a child with the hand-over and waits for it (launcher/, Win32).
enum class ChildOutcome { WindowUp, Failed };
class ChildStarter {
  public:
    virtual ~ChildStarter() = default;
    // WindowUp: the child showed its window and waits for go. Failed: it ended, or did not show
    // its window in time, and was ended.
    virtual ChildOutcome Start(const std::wstring& path) = 0;
};

// Hands over to the chosen launcher. True: it took over. False: it failed and was put back.
bool HandOver(Swap& swap, ChildStarter& starter, const Choice& choice);

}  // namespace vt::selfupdate
