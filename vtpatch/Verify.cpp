#include "vtpatch/Verify.h"

#include <algorithm>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "format/Digest.h"
#include "selfupdate/Pointer.h"
#include "selfupdate/Swap.h"
#include "sets/RecordJournal.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Files.h"
#include "vtpatch/History.h"
#include "vtpatch/Progress.h"

namespace vt::vtpatch {
namespace {

// An installed file (`relative` below the installation) against what the served tree pins
// for it; empty when it matches.
std::string Difference(const std::string& installation, const std::string& relative,
                       const std::optional<Pin>& pin, const std::string& version) {
    std::optional<FileFacts> facts;
    try {
        facts = HashFileBelow(installation, relative);
    } catch (const SymbolicLink&) {
        return "a symbolic link, which vtpatch does not follow";
    }
    if (!facts) {
        return "missing";
    }
    if (pin) {
        if (static_cast<uint64_t>(facts->size) != pin->size) {
            return "size " + std::to_string(facts->size) + ", served " + std::to_string(pin->size);
        }
        return facts->sha256 == pin->sha256 ? "" : "SHA-256 differs from the served file";
    }
    // No pin: the version is the content version.
    return ContentVersion(facts->sha256) == version ? ""
                                                    : "content differs from version " + version;
}

// An empty record differs from every served version, so the launcher fetches again; the
// engine's own write keeps the rest of the file as it was.
void Blank(const std::wstring& section, const std::wstring& key, const std::wstring& path) {
    try {
        WriteProfileValue(section, key, L"", path);
    } catch (const AppError& e) {
        throw Failure("cannot repair: " + ToUtf8(e.Description()));
    }
}

class Verifier {
  public:
    Verifier(const VerifyOptions& options, VerifyReport& report)
        : options_(options),
          report_(report),
          localProfile_(FromUtf8(JoinPath(options.installation, kProfileName))) {}

    void Client(const ServedPatch& patch) {
        if (patch.clientVersion.empty()) {
            return;
        }
        if (ToUtf8(ReadProfileValue(kGameSection, kClientKey, localProfile_)) !=
            patch.clientVersion) {
            ++report_.pending;  // the launcher replaces it anyway
            return;
        }
        ++report_.checked;
        std::string why =
            Difference(options_.installation, kClientName, patch.clientPin, patch.clientVersion);
        if (!why.empty()) {
            report_.findings.Problem(kClientName, why + Repairing());
            Repair(kGameSection, kClientKey, localProfile_);
        }
    }

    void Set(const ServedSetListing& listing, Progress& progress) {
        const PatchSet& set = *listing.set;
        const std::wstring manifest =
            FromUtf8(JoinPath(options_.installation, set.folder + ToUtf8(set.manifestName)));
        const bool setCurrent =
            ToUtf8(ReadProfileValue(kGameSection, set.key, localProfile_)) == listing.version;
        if (options_.repair) {
            // A record blanked below would come back with the next fold of a leftover journal.
            try {
                FoldJournal(set.key, manifest);
            } catch (const AppError& e) {
                throw Failure("cannot repair: " + ToUtf8(e.Description()));
            }
        }
        // The launcher counts the records of a journal a killed run left.
        const RecordedVersions recorded(set.key, manifest);
        bool reopen = false;
        for (const ServedEntry& entry : listing.entries) {
            progress.Advance();
            if (!entry.usable || entry.version.empty()) {
                continue;  // the launcher installs none of these (lint lists them)
            }
            const std::string record = ToUtf8(FromCp949(recorded.Get(entry.name)));
            std::string where = set.folder + ToUtf8(set.FileName(entry.name));
            if (record != entry.version) {
                if (!setCurrent) {
                    ++report_.pending;
                    continue;
                }
                report_.findings.Problem(
                    where, "not installed, yet the installation records set " + ToUtf8(set.key) +
                               " as current, so the launcher never fetches it" + Repairing());
                reopen = true;
                continue;
            }
            ++report_.checked;
            std::string file = ToUtf8(set.FileName(entry.name));
            std::replace(file.begin(), file.end(), '\\', '/');
            std::string why =
                Difference(options_.installation, set.folder + file, entry.pin, entry.version);
            if (!why.empty()) {
                report_.findings.Problem(where, why + Repairing());
                Repair(set.key, entry.name, manifest);
                reopen = true;
            }
        }
        if (reopen) {
            // The launcher opens a set only when its key differs from the server's.
            Repair(kGameSection, set.key, localProfile_);
        }
    }

    // What the served profile lists no more: the launcher blanks a dropped set's key, logs it
    // and leaves its files alone, so they are neither compared nor pending.
    void Dropped(const ServedPatch& patch) {
        if (patch.clientVersion.empty() &&
            !ReadProfileValue(kGameSection, kClientKey, localProfile_).empty()) {
            report_.findings.Note(kClientName,
                                  "no longer published; the launcher leaves the installed one "
                                  "alone");
        }
        for (const ServedSetListing& listing : patch.sets) {
            const PatchSet& set = *listing.set;
            const std::string manifest =
                JoinPath(options_.installation, set.folder + ToUtf8(set.manifestName));
            if (listing.version.empty() &&
                (!ReadProfileValue(kGameSection, set.key, localProfile_).empty() ||
                 Exists(manifest))) {
                report_.findings.Note("set " + ToUtf8(set.key),
                                      "no longer published; the launcher records it as dropped "
                                      "and leaves its files alone");
            }
        }
    }

  private:
    std::string Repairing() const { return options_.repair ? " (record blanked)" : ""; }

    void Repair(const std::wstring& section, const std::wstring& key, const std::wstring& path) {
        if (options_.repair) {
            Blank(section, key, path);
            ++report_.repaired;
        }
    }

    const VerifyOptions& options_;
    VerifyReport& report_;
    std::wstring localProfile_;
};

// The launcher pointer a self-update leaves (launcher/current.ini): the launcher it names,
// launcher/vtlauncher-<serial>.exe, must be there with the size and SHA-256 it records, else
// the starter passes it over and a new download never replaces a file of that name.
void CheckLauncherPointer(const std::string& installation, Findings& findings) {
    const std::string pointerPath = JoinPath(installation, kLauncherPointer);
    if (!Exists(pointerPath)) {
        return;
    }
    const std::optional<std::string> text = fs::ReadWholeFile(FromUtf8(pointerPath));
    const std::optional<selfupdate::Pointer> pointer =
        text ? selfupdate::ReadPointer(*text) : std::nullopt;
    if (!pointer) {
        findings.Problem(kLauncherPointer,
                         "does not read as a launcher pointer; the starter runs "
                         "itself and the next self-update writes it anew");
        return;
    }
    if (pointer->current.IsStarter()) {
        return;  // nothing current: the starter is the launcher
    }
    const std::string relative =
        "launcher/" + ToUtf8(selfupdate::VersionedName(pointer->current.serial));
    std::optional<FileFacts> facts;
    try {
        facts = HashFileBelow(installation, relative);
    } catch (const SymbolicLink&) {
        findings.Problem(relative, "a symbolic link, which vtpatch does not follow");
        return;
    }
    const selfupdate::FileIdentity& identity = pointer->current.identity;
    if (!facts) {
        findings.Problem(relative, "missing, yet " + std::string(kLauncherPointer) +
                                       " names it as the current launcher");
    } else if (identity.sha256 != facts->sha256 ||
               identity.size != static_cast<uint64_t>(facts->size)) {
        findings.Problem(relative, "size or SHA-256 differs from what " +
                                       std::string(kLauncherPointer) +
                                       " records; the starter passes it over");
    }
}

// [game] game here against the served one. A launcher that updated itself records the served
// game, so only a difference is told: what the launcher does about it.
void CheckGame(const std::string& installation, const ServedPatch& patch, Findings& findings) {
    const std::wstring localProfile = FromUtf8(JoinPath(installation, kProfileName));
    const std::string localGame = ToUtf8(ReadProfileValue(kGameSection, L"game", localProfile));
    if (localGame == patch.game) {
        return;
    }
    const std::string launcher = StagedProfile(patch.profile).Value(L"launcher", L"serial");
    findings.Note(kProfileName,
                  "game=" + localGame + " here, " + patch.game + " served: " +
                      (launcher.empty() ? "the launcher refuses to patch"
                                        : "a keyed launcher updates itself to the served "
                                          "launcher (serial " +
                                              launcher +
                                              ") when the root's statement holds, "
                                              "else refuses to patch"));
}

}  // namespace

VerifyReport Verify(ServedTree& tree, const VerifyOptions& options) {
    if (!IsDirectory(options.installation)) {
        throw Failure(options.installation + " is not a folder");
    }
    if (ToUtf8(FromUtf8(options.installation)) != options.installation) {
        throw Failure(options.installation + ": the path is not UTF-8");
    }
    VerifyReport report;
    TempDirectory staging;
    Findings served;
    const ServedPatch patch = ReadServedPatch(tree, staging.Path(), served);
    if (served.Problems() > 0) {
        report.findings.Note("served tree", std::to_string(served.Problems()) +
                                                " problems (vtpatch lint lists them); their files "
                                                "are not compared");
    }
    profile::ClearCache();  // the installation's records may have changed since any earlier read
    Verifier verifier(options, report);
    CheckGame(options.installation, patch, report.findings);
    CheckLauncherPointer(options.installation, report.findings);
    verifier.Client(patch);
    verifier.Dropped(patch);
    size_t total = 0;
    for (const ServedSetListing& listing : patch.sets) {
        total += listing.entries.size();
    }
    Progress progress("verifying", total);
    for (const ServedSetListing& listing : patch.sets) {
        verifier.Set(listing, progress);
    }
    if (report.pending > 0) {
        report.findings.Note("installation", std::to_string(report.pending) +
                                                 " files are not yet installed; the next launcher "
                                                 "run fetches them");
    }
    return report;
}

}  // namespace vt::vtpatch
