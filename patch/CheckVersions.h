#pragma once
// The version check: compares the server's vtgame.ini (staged in TempDir) with the local one
// key by key, refuses an outdated launcher, brings every differing part up to date and records
// each key only after its update returned.

#include <cstdint>

#include "app/Crypto.h"
#include "patch/PatchHost.h"

namespace vt {

void CheckVersions(PatchHost& host);

// A signed patch: the server's vtgame.ini and vtgame.ini.sig are staged in TempDir. Refuses
// (Refusal, app/Refusal.h) a profile whose signature does not verify under `key`, an expired
// one and one older than the last accepted; otherwise records its serial as the last accepted
// ([publish] serial= of the local vtgame.ini; launchers in the field read only [game]).
void AcceptSignedProfile(PatchHost& host, const PatchPublicKey& key, int64_t nowUtc);

}  // namespace vt
