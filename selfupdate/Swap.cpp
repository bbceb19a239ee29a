#include "selfupdate/Swap.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "base/Log.h"

namespace vt::selfupdate {
namespace {

constexpr std::wstring_view kPrefix = L"vtlauncher-";
constexpr std::wstring_view kSuffix = L".exe";

wchar_t Lower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool SameName(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](auto x, auto y) { return Lower(x) == Lower(y); });
}

}  // namespace

std::wstring VersionedName(uint64_t serial) {
    return std::wstring(kPrefix) + std::to_wstring(serial) + std::wstring(kSuffix);
}

std::optional<uint64_t> SerialOfName(const std::wstring& name) {
    if (name.size() <= kPrefix.size() + kSuffix.size() ||
        !SameName(std::wstring_view(name).substr(0, kPrefix.size()), kPrefix) ||
        !SameName(std::wstring_view(name).substr(name.size() - kSuffix.size()), kSuffix)) {
        return std::nullopt;
    }
    const std::wstring digits =
        name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
    uint64_t serial = 0;
    for (wchar_t c : digits) {
        if (c < L'0' || c > L'9' || serial > (UINT64_MAX - 9) / 10) {
            return std::nullopt;
        }
        serial = serial * 10 + static_cast<uint64_t>(c - L'0');
    }
    // One spelling per serial: "vtlauncher-02.exe" is no launcher of ours.
    if (VersionedName(serial) != std::wstring(kPrefix) + digits + std::wstring(kSuffix)) {
        return std::nullopt;
    }
    return serial;
}

std::wstring InstallationOf(const std::wstring& exePath) {
    const std::wstring folder = exePath.substr(0, exePath.find_last_of(L'\\'));
    const std::size_t slash = folder.find_last_of(L'\\');
    const std::wstring name = exePath.substr(exePath.find_last_of(L'\\') + 1);
    if (slash == std::wstring::npos || !SerialOfName(name) ||
        !SameName(std::wstring_view(folder).substr(slash + 1), kLauncherFolder)) {
        return folder;
    }
    return folder.substr(0, slash);
}

Swap::Swap(SwapFs& fs, const std::wstring& installation, std::wstring tempDir, uint64_t ownSerial)
    : fs_(fs),
      folder_(installation + kLauncherFolder + L"\\"),
      tempDir_(std::move(tempDir)),
      ownSerial_(ownSerial) {}

std::wstring Swap::PathOf(uint64_t serial) const {
    return folder_ + VersionedName(serial);
}

std::optional<Pointer> Swap::ReadPointer() {
    const std::optional<std::string> text = fs_.Read(folder_ + kPointerName);
    if (!text) {
        return std::nullopt;
    }
    std::optional<Pointer> pointer = selfupdate::ReadPointer(*text);
    if (!pointer) {
        LogLine(L"the launcher pointer does not read; the starter runs");
    }
    return pointer;
}

bool Swap::Tried(const std::function<bool()>& step) {
    for (int tryNumber = 1;; ++tryNumber) {
        if (step()) {
            return true;
        }
        if (tryNumber == kHeldTries) {
            return false;
        }
        fs_.Pause();
    }
}

bool Swap::WritePointer(const Pointer& pointer) {
    const std::wstring path = folder_ + kPointerName;
    const std::wstring fresh = path + L".new";
    if (!Tried([&] { return fs_.Write(fresh, PointerText(pointer)); }) ||
        !Tried([&] { return fs_.MoveOver(fresh, path); })) {
        fs_.Delete(fresh);  // a leftover is overwritten by the next write all the same
        return false;
    }
    return true;
}

LauncherRef Swap::Running(const std::optional<Pointer>& pointer) const {
    if (pointer && pointer->current.serial == ownSerial_) {
        return pointer->current;
    }
    LauncherRef starter;
    starter.serial = ownSerial_;
    return starter;
}

SwapStep Swap::Install(const LauncherRef& next,
                       const std::function<bool(const std::wstring&)>& fetch) {
    const std::wstring target = PathOf(next.serial);
    if (!fs_.MakeDir(folder_.substr(0, folder_.size() - 1))) {
        return SwapStep::MoveIn;
    }
    // Moved in by an earlier run that ended before the pointer named it.
    if (fs_.Identify(target) != next.identity) {
        // Never our bytes (those are checked before they get the name): whatever it is goes.
        if (fs_.Exists(target) && !Tried([&] { return fs_.Delete(target); })) {
            LogLine(L"cannot remove " + target + L", which is not the stated launcher");
            return SwapStep::MoveIn;
        }
        const std::wstring staged = tempDir_ + VersionedName(next.serial);
        if (!fetch(staged)) {
            fs_.Delete(staged);  // what arrived is of no use; temp\ is cleared anyway
            return SwapStep::Fetch;
        }
        if (fs_.Identify(staged) != next.identity) {
            LogLine(L"the new launcher does not match its statement");
            fs_.Delete(staged);
            return SwapStep::Check;
        }
        if (!Tried([&] { return fs_.MoveNew(staged, target); })) {
            LogLine(L"cannot move the new launcher to " + target);
            return SwapStep::MoveIn;
        }
    }
    const std::optional<Pointer> old = ReadPointer();
    Pointer pointer;
    pointer.current = next;
    pointer.previous = Running(old);
    if (old) {
        pointer.failed = old->failed;
    }
    if (!WritePointer(pointer)) {
        LogLine(L"cannot write the launcher pointer");
        return SwapStep::WritePointer;
    }
    LogLine(L"launcher " + std::to_wstring(next.serial) + L" is in place: " + target);
    return SwapStep::Done;
}

std::optional<Choice> Swap::Choose(std::wstring& why) {
    const std::optional<Pointer> pointer = ReadPointer();
    if (!pointer) {
        why = L"no launcher pointer";
        return std::nullopt;
    }
    const LauncherRef& current = pointer->current;
    const std::wstring serial = std::to_wstring(current.serial);
    if (current.serial <= ownSerial_ || current.IsStarter()) {
        why = L"the pointer names launcher " + serial + L", not newer";
        return std::nullopt;
    }
    if (pointer->Failed(current.serial)) {
        why = L"launcher " + serial + L" failed before";
        return std::nullopt;
    }
    const std::wstring path = PathOf(current.serial);
    if (fs_.Identify(path) != current.identity) {
        why = L"launcher " + serial + L" is missing or damaged: " + path;
        return std::nullopt;
    }
    why = L"launcher " + serial + L" is newer";
    return Choice{path, current};
}

bool Swap::PutBack(uint64_t serial) {
    Pointer pointer = ReadPointer().value_or(Pointer{});
    if (pointer.current.serial == serial) {
        pointer.current = pointer.HasPrevious() ? pointer.previous : Running(std::nullopt);
        pointer.previous = LauncherRef{};
    }
    if (!pointer.Failed(serial)) {
        pointer.failed.push_back(serial);
    }
    const bool written = WritePointer(pointer);
    LogLine(L"launcher " + std::to_wstring(serial) + (written ? L" put back" : L" NOT put back") +
            L"; launcher " + std::to_wstring(pointer.current.serial) + L" is in use");
    return written;
}

void Swap::RemoveStale() {
    const std::optional<Pointer> pointer = ReadPointer();
    for (const std::wstring& name : fs_.Names(folder_)) {
        const std::optional<uint64_t> serial = SerialOfName(name);
        if (!serial || *serial == ownSerial_ ||
            (pointer && (*serial == pointer->current.serial ||
                         (pointer->HasPrevious() && *serial == pointer->previous.serial)))) {
            continue;
        }
        if (fs_.Delete(folder_ + name)) {
            LogLine(L"removed the old launcher " + name);
        }
    }
}

bool HandOver(Swap& swap, ChildStarter& starter, const Choice& choice) {
    LogLine(L"handing over to launcher " + std::to_wstring(choice.launcher.serial));
    if (starter.Start(choice.path) == ChildOutcome::WindowUp) {
        LogLine(L"launcher " + std::to_wstring(choice.launcher.serial) + L" took over");
        return true;
    }
    swap.PutBack(choice.launcher.serial);
    return false;
}

}  // namespace vt::selfupdate
