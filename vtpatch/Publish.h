#pragma once
// publish: a publisher's tree, laid out like an installation, becomes the complete served tree
// ROOT/autopatch/ (payloads and manifests by name and under objects/ by hash, vtgame.ini and
// its signature, vtgame.signed and its archive in profiles/). Versions come from the
// content, so publishing the same content again changes nothing but the serial.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/Crypto.h"
#include "vtpatch/History.h"

namespace vt::vtpatch {

struct PublishOptions {
    std::string tree;     // vt.exe, resource/sound/..., resource/data/... (UTF-8 names)
    std::string root;     // the served tree goes to root/autopatch/
    std::string keyPath;  // PEM
    std::string game;     // the launcher version, UTF-8
    std::optional<std::string> expires;  // YYYY-MM-DDTHH:MM:SSZ
    int64_t now = 0;                     // seconds since 1970: the expiry, the serial
    bool dropClient = false;  // publish without vt.exe although the previous publish had it
    std::optional<int> connections = std::nullopt;  // [transfer] connections: 1 to 16
    bool dryRun = false;                            // check and count everything, write nothing
    std::vector<std::string> mirrors = {};    // [mirrors] 1= to 8=: format::MirrorBase accepts each
    std::optional<std::string> keyList = {};  // a key list holding the key: [keys], keys/
    std::optional<std::string> launcher = {};     // a launcher program served as an object
    std::optional<std::string> statement = {};    // the root's statement on it (sign-launcher)
    std::optional<uint64_t> launcherSerial = {};  // else: the key is the root and signs one
};

struct PublishedSet {
    std::wstring key;
    std::string version;
    size_t files = 0;
};

struct PublishResult {
    uint64_t serial = 0;
    std::string clientVersion;  // empty when the tree holds no vt.exe
    std::vector<PublishedSet> sets;
    size_t written = 0;                      // payloads copied
    size_t unchanged = 0;                    // payloads already served with the same content
    size_t objectsWritten = 0;               // payloads and manifests new under objects/
    size_t objectsServed = 0;                // ... already there (never written again)
    std::optional<Sha256Digest> keyList;     // served as keys/<sha256>.signed
    std::optional<uint64_t> launcherSerial;  // the statement's, when a launcher is served
    std::vector<std::string> notes;          // files left out, and why
    std::vector<std::string> warnings;       // what the publisher should put right
    // A dry run's downloads for players at the last archived serials, lowest serial first.
    std::vector<PlayerDownload> downloads;
};

// Throws Refused listing every file or argument the launcher would refuse or could not
// receive (nothing is written then), Failure for anything else that stops it. A dry run
// refuses and fails as a publish would, writes nothing (no object, profile, state or lock)
// and counts in `downloads` what players at the last 5 archived serials would fetch.
PublishResult Publish(const PublishOptions& options);

// Why --game (UTF-8) cannot be [game] game: the launcher compares the value with its own, so
// it must read back as written. Nothing when it can.
std::optional<std::string> GameProblem(const std::string& game);

}  // namespace vt::vtpatch
