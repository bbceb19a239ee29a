#pragma once
// The served profile and manifests read the way the launcher reads them: fetched, staged in a
// folder and read through the launcher's profile engine, entries split and checked by the
// launcher's own rules. Shared by lint and verify.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/Pin.h"
#include "vtpatch/Format.h"
#include "vtpatch/Served.h"

namespace vt::vtpatch {

struct Finding {
    bool problem = true;  // false: a note
    std::string where;
    std::string what;
};

class Findings {
  public:
    void Problem(std::string where, std::string what) {
        list_.push_back({true, std::move(where), std::move(what)});
    }
    void Note(std::string where, std::string what) {
        list_.push_back({false, std::move(where), std::move(what)});
    }
    const std::vector<Finding>& List() const { return list_; }
    size_t Problems() const;
    size_t Notes() const { return list_.size() - Problems(); }

  private:
    std::vector<Finding> list_;
};

struct ServedEntry {
    int32_t index = 0;
    std::wstring name;
    std::string version;  // UTF-8
    std::optional<Pin> pin;
    bool usable = false;  // a name the launcher takes and installs as listed
    std::string Where(const PatchSet& set) const;  // for messages
};

struct ServedSetListing {
    const PatchSet* set = nullptr;
    std::string version;     // [game] value; empty: the launcher never opens the set
    std::optional<Pin> pin;  // the manifest's pin in [publish]
    bool read = false;       // the manifest arrived and was read
    std::vector<ServedEntry> entries;
};

struct ServedPatch {
    std::string profile;  // vtgame.ini's bytes
    std::string game;     // UTF-8
    std::string clientVersion;
    std::optional<Pin> clientPin;
    std::vector<ServedSetListing> sets;  // every set, in the launcher's order
};

// Throws Failure when vtgame.ini cannot be had at all; everything else the launcher would
// fail on, or silently not install, goes to `findings`. `staging` is an empty folder.
ServedPatch ReadServedPatch(ServedTree& tree, const std::string& staging, Findings& findings);

// The launcher's path of an entry's file below autopatch/, percent-encoded as it requests it.
std::string EntryRequest(const PatchSet& set, const std::wstring& name);

}  // namespace vt::vtpatch
