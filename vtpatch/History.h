#pragma once
// The publishes a served tree keeps: each signed profile in profiles/<serial>.signed and what it
// names, as a player at that serial has it installed. Read from the objects of its manifests,
// which no later publish rewrites, never from the legacy tree, which holds the last publish only.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "format/Pin.h"
#include "vtpatch/Files.h"

namespace vt::vtpatch {

// A profile's bytes read through the launcher's profile engine.
class StagedProfile {
  public:
    explicit StagedProfile(std::string_view bytes);
    // UTF-8; empty when absent, as the launcher reads it.
    std::string Value(const std::wstring& section, const std::wstring& key) const;

  private:
    TempDirectory dir_;
    std::wstring file_;
};

struct ArchivedProfile {
    uint64_t serial = 0;
    std::string relative;  // below autopatch/: profiles/<serial>.signed
};

// Every "<serial>.signed" in ROOT/autopatch/profiles, lowest serial first (no profiles/: none).
// Other names are not publishes and are left out. Throws SymbolicLink for a link on the way.
std::vector<ArchivedProfile> ArchivedProfiles(const std::string& root);

// The profile a signed file carries after its 64 signature bytes; Failure when it is shorter.
std::string CarriedProfile(const std::string& signedBytes, const std::string& where);

// Each file the profile pins, by its path below autopatch/ (code page 949 bytes): vt.exe, the
// manifest of every set, and every pinned entry of those manifests, each manifest read from its
// object under ROOT. Throws Failure when a pinned manifest's object is missing, does not match
// its pin or is no manifest: then what the profile names cannot be known.
std::map<std::string, Pin> NamedFiles(const std::string& root, std::string_view profile);

// What a player at an archived serial would download of a publish: each file whose pin
// differs from the one that serial had, or that it did not have.
struct PlayerDownload {
    uint64_t serial = 0;
    size_t files = 0;
    uint64_t bytes = 0;
};

// For each of the last `count` archived serials, what its player would download of
// `published` (NamedFiles' form). An archive whose content cannot be known is not listed;
// `notes` says why.
std::vector<PlayerDownload> DownloadsSince(const std::string& root,
                                           const std::map<std::string, Pin>& published,
                                           size_t count, std::vector<std::string>& notes);

}  // namespace vt::vtpatch
