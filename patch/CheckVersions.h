#pragma once
// The version check: compares the server's vtgame.ini (staged in TempDir) with the local one
// key by key, refuses an outdated launcher, brings every differing part up to date and records
// each key only after its update returned.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "patch/PatchHost.h"
#include "patch/PatchKey.h"

namespace vt {

void CheckVersions(PatchHost& host);

// A signed profile this installation accepted: its serial (as a number's digits), the
// SHA-256 of its bytes (hex) and the mirrors it lists.
struct AcceptedProfile {
    std::string serial;
    std::string sha256;
    std::vector<std::string> mirrors;
};

// Splits the server's vtgame.signed (the signature's 64 bytes, then the profile's exact bytes),
// staged in TempDir, into the vtgame.ini and vtgame.ini.sig AcceptSignedProfile reads.
void StageSignedProfile();

// A signed patch: the server's vtgame.ini and vtgame.ini.sig are staged in TempDir. Refuses
// (Refusal, patch/Refusal.h) a profile whose signature does not verify under `key`, an expired
// one, one older than the last accepted and another profile under the same serial; otherwise
// returns it, for KeepAccepted. A signature that does not verify or an older serial may be a
// cache's stale or split copy: `again`, when given, stages the profile once more, asked past
// every cache, and only what it stages is refused.
AcceptedProfile AcceptSignedProfile(PatchHost& host, const PatchPublicKey& key, int64_t nowUtc,
                                    const std::function<void()>& again = {});

// Records the profile as the last accepted ([publish] serial= and sha256= of the local
// vtgame.ini, and its [mirrors]; launchers in the field read only [game]). Kept before the
// installation first changes, not when the profile is accepted: a patch refused later (a damaged
// file) must leave everything as it was.
void KeepAccepted(const AcceptedProfile& accepted);

}  // namespace vt
