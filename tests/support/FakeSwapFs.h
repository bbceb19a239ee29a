#pragma once
// A file system in memory that keeps the Windows rules the swap of launchers must live with: a
// running program can be renamed but not deleted or overwritten; a file something holds (an
// antivirus right after a write) cannot be written, moved or deleted until it lets go, which
// it does after a number of pauses; a rename over a file is one step. `crashAfter` ends the
// "process" (throws Crash) right after that many changes, so a test can look at every state a
// kill leaves.

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "selfupdate/SwapFs.h"

namespace vt::test {

class FakeSwapFs final : public selfupdate::SwapFs {
  public:
    struct Crash {};
    struct Entry {
        std::string bytes;
        bool running = false;
        int heldFor = 0;  // pauses until it is let go
    };

    std::map<std::wstring, Entry> files;
    std::set<std::wstring> dirs;
    std::set<std::string> failing;  // "write", "movenew", "moveover", "delete", "makedir"
    int holdAfterWrite = 0;         // every file written is held for this many pauses
    std::optional<std::size_t> crashAfter;
    std::size_t changes = 0;
    int pauses = 0;

    void Put(const std::wstring& path, const std::string& bytes) { files[path].bytes = bytes; }
    const std::string* Bytes(const std::wstring& path) const {
        const auto found = files.find(path);
        return found == files.end() ? nullptr : &found->second.bytes;
    }
    // A new process: nothing runs, nothing is held, no crash planned.
    void Restart() {
        for (auto& [path, entry] : files) {
            entry.running = false;
            entry.heldFor = 0;
        }
        crashAfter.reset();
        failing.clear();
    }

    bool Exists(const std::wstring& path) override { return files.contains(path); }
    std::optional<std::string> Read(const std::wstring& path) override {
        const std::string* bytes = Bytes(path);
        return bytes ? std::optional(*bytes) : std::nullopt;
    }
    std::optional<selfupdate::FileIdentity> Identify(const std::wstring& path) override {
        const std::string* bytes = Bytes(path);
        if (!bytes) {
            return std::nullopt;
        }
        return selfupdate::FileIdentity{bytes->size(), Sha256Of(std::as_bytes(std::span(*bytes)))};
    }
    bool Write(const std::wstring& path, std::string_view bytes) override {
        const auto found = files.find(path);
        if (failing.contains("write") ||
            (found != files.end() && (found->second.running || found->second.heldFor > 0))) {
            return false;
        }
        files[path] = Entry{std::string(bytes), false, holdAfterWrite};
        return Changed();
    }
    bool MoveNew(const std::wstring& from, const std::wstring& to) override {
        if (failing.contains("movenew") || files.contains(to) || !Movable(from)) {
            return false;
        }
        files[to] = files[from];  // a running image keeps running under its new name
        files.erase(from);
        return Changed();
    }
    bool MoveOver(const std::wstring& from, const std::wstring& to) override {
        const auto target = files.find(to);
        if (failing.contains("moveover") || !Movable(from) ||
            (target != files.end() && (target->second.running || target->second.heldFor > 0))) {
            return false;
        }
        files[to] = files[from];
        files.erase(from);
        return Changed();
    }
    bool Delete(const std::wstring& path) override {
        const auto found = files.find(path);
        if (failing.contains("delete") || found == files.end() || found->second.running ||
            found->second.heldFor > 0) {
            return false;
        }
        files.erase(found);
        return Changed();
    }
    bool MakeDir(const std::wstring& path) override {
        if (failing.contains("makedir")) {
            return false;
        }
        dirs.insert(path);
        return true;
    }
    std::vector<std::wstring> Names(const std::wstring& directory) override {
        std::vector<std::wstring> names;
        for (const auto& [path, entry] : files) {
            if (path.starts_with(directory) &&
                path.find(L'\\', directory.size()) == std::wstring::npos) {
                names.push_back(path.substr(directory.size()));
            }
        }
        return names;
    }
    void Pause() override {
        ++pauses;
        for (auto& [path, entry] : files) {
            if (entry.heldFor > 0) {
                --entry.heldFor;
            }
        }
    }

  private:
    bool Movable(const std::wstring& from) const {
        const auto found = files.find(from);
        return found != files.end() && found->second.heldFor == 0;
    }
    bool Changed() {
        ++changes;
        if (crashAfter && changes >= *crashAfter) {
            throw Crash{};
        }
        return true;
    }
};

}  // namespace vt::test
