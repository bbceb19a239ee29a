#pragma once
// The version check: compares the server's vtgame.ini (staged in TempDir) with the local one
// key by key, refuses an outdated launcher, brings every differing part up to date and records
// each key only after its update returned.

#include <cstdint>
#include <string>

#include "patch/PatchHost.h"
#include "patch/PatchKey.h"

namespace vt {

void CheckVersions(PatchHost& host);

// A signed patch: the server's vtgame.ini and vtgame.ini.sig are staged in TempDir. Refuses
// (Refusal, patch/Refusal.h) a profile whose signature does not verify under `key`, an expired
// one and one older than the last accepted; otherwise returns its serial, for KeepSerial.
std::string AcceptSignedProfile(PatchHost& host, const PatchPublicKey& key, int64_t nowUtc);

// Records `serial` as the last accepted ([publish] serial= of the local vtgame.ini; launchers
// in the field read only [game]). Kept before the installation first changes, not when the
// profile is accepted: a patch refused later (a damaged file) must leave everything as it was.
void KeepSerial(const std::string& serial);

}  // namespace vt
