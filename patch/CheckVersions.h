#pragma once
// The version check: compares the server's vtgame.ini (staged in TempDir) with the local one
// key by key, refuses an outdated launcher, brings every differing part up to date and records
// each key only after its update returned.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/Crypto.h"
#include "format/KeyChain.h"
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
    // Of key lists; a profile without [keys] leaves the first three empty and lists none.
    std::string listSerial;                  // [keys] serial= of the list it relies on
    std::string keptRoot;                    // [keys] root=, once a list rotated the root
    std::string signer;                      // [publish] signer=: a delegated key; empty: a root
    std::vector<format::CheckedList> lists;  // kept in AppDir\keys\ by hash
    // The root the profile relies on: the one that checks what the root signs in it (launcher
    // statements). It is the trusted root from now on, kept once the profile is.
    P256PublicKey root{};
};

// The root this installation trusts outside a patch run: the one a key list rotated to, kept
// as [keys] root= in the installation's vtgame.ini, else `builtIn` (also when what is kept is
// no key). During a run, once a profile is accepted, AcceptedProfile::root is the one: the
// profile may rotate the root before it is kept.
PatchPublicKey TrustedRoot(const PatchPublicKey& builtIn);

// Splits the server's vtgame.signed (the signature's 64 bytes, then the profile's exact bytes),
// staged in TempDir, into the vtgame.ini and vtgame.ini.sig AcceptSignedProfile reads.
void StageSignedProfile();

// A signed patch: the server's vtgame.ini and vtgame.ini.sig are staged in TempDir. Refuses
// (Refusal, patch/Refusal.h) a profile whose signature does not verify under the trusted root
// (TrustedRoot of `key`, the built-in one) or the key its [keys] list allows, a list that does
// not lead to that root, an expired one, one older than the last accepted and another profile
// under the same serial; otherwise returns it, for KeepAccepted. A list is read from
// AppDir\keys\ when kept there, else through `fetchList`. A signature that does not verify, an
// older serial or a refused list may be a cache's stale or split copy: `again`, when given,
// stages the profile once more, asked past every cache, and only what it stages is refused.
AcceptedProfile AcceptSignedProfile(PatchHost& host, const PatchPublicKey& key, int64_t nowUtc,
                                    const std::function<void()>& again = {},
                                    const format::FetchKeyList& fetchList = {});

// Records the profile as the last accepted ([publish] serial=, sha256= and signer= of the local
// vtgame.ini, [keys] serial= and root=, its [mirrors], and the key lists it was checked with in
// AppDir\keys\; launchers in the field read only [game]). Kept before the
// installation first changes, not when the profile is accepted: a patch refused later (a damaged
// file) must leave everything as it was.
void KeepAccepted(const AcceptedProfile& accepted);

}  // namespace vt
