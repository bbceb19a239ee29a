#include "vtpatch/Gc.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "format/Digest.h"
#include "format/Objects.h"
#include "format/Serial.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Format.h"
#include "vtpatch/History.h"
#include "vtpatch/Lock.h"

namespace vt::vtpatch {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

std::string Served(std::string_view relative) {
    return std::string(kServedFolder) + "/" + std::string(relative);
}

// The modification time of `relative` below ROOT, the file itself (a link is not followed).
std::optional<int64_t> ModifiedAt(const std::string& root, const std::string& relative) {
    const size_t slash = relative.rfind('/');
    Descriptor folder = OpenFolderBelow(root, relative.substr(0, slash), false);
    struct stat st {};
    if (folder.Get() < 0 || ::fstatat(folder.Get(), relative.substr(slash + 1).c_str(), &st,
                                      AT_SYMLINK_NOFOLLOW) != 0) {
        return std::nullopt;
    }
    return static_cast<int64_t>(st.st_mtim.tv_sec);
}

// A profile gc keeps, by its path below ROOT, and the serial it must carry (none for the
// served ones, which carry the latest).
struct KeptProfile {
    std::string relative;
    std::optional<uint64_t> serial;
};

// The last `keep` archived profiles, every one published within the days, and the served
// vtgame.signed and vtgame.ini.
std::vector<KeptProfile> ProfilesToKeep(const GcOptions& options, GcResult& result) {
    const std::vector<ArchivedProfile> archived = ArchivedProfiles(options.root);
    const int64_t since = options.now - options.days * kSecondsPerDay;
    std::vector<KeptProfile> kept;
    for (size_t i = 0; i < archived.size(); ++i) {
        const ArchivedProfile& a = archived[i];
        const bool recent =
            options.days > 0 &&
            PublishedAt(a.serial,
                        ModifiedAt(options.root, Served(a.relative)).value_or(options.now)) > since;
        if (i + options.keep >= archived.size() || recent) {
            kept.push_back({Served(a.relative), a.serial});
            result.keptSerials.push_back(a.serial);
        }
    }
    for (const char* name : {format::kSignedProfileName, kProfileName}) {
        if (StatBelow(options.root, Served(name))) {
            kept.push_back({Served(name), std::nullopt});
        }
    }
    return kept;
}

// The profile `kept` carries, checked as far as it must be to trust what it names: whole, and
// for an archive the publish its name says (a served profile of an older vtpatch has no serial).
std::string ReadKept(const std::string& root, const KeptProfile& kept) {
    const std::string where = JoinPath(root, kept.relative);
    const std::optional<std::string> bytes = ReadFileBelow(root, kept.relative);
    if (!bytes) {
        throw Failure(where + " cannot be read");
    }
    const std::string profile =
        kept.relative.ends_with(kProfileName) ? *bytes : CarriedProfile(*bytes, where);
    if (!kept.serial) {
        return profile;
    }
    const format::SerialReading serial =
        format::ReadSerial(StagedProfile(profile).Value(kPublishSection, L"serial"));
    if (serial.form != format::SerialForm::Number || serial.value != *kept.serial) {
        throw Failure(where + " does not carry the profile of serial " +
                      std::to_string(*kept.serial));
    }
    return profile;
}

// Every object the kept profiles name. Refused, listing each, when one of them cannot be read
// to its objects: then any object might be one it names.
std::set<std::string> NamedObjects(const std::string& root, const std::vector<KeptProfile>& kept) {
    std::set<std::string> objects;
    std::vector<std::string> refusals;
    for (const KeptProfile& k : kept) {
        try {
            const std::string profile = ReadKept(root, k);
            for (const auto& [path, pin] : NamedFiles(root, profile)) {
                objects.insert(format::ObjectPath(pin.sha256));
            }
            // The launcher program a [launcher] statement names is an object too.
            const std::string launcher = StagedProfile(profile).Value(L"launcher", L"sha256");
            if (std::optional<Sha256Digest> digest = ParseDigestHex(launcher)) {
                objects.insert(format::ObjectPath(*digest));
            }
        } catch (const Failure& e) {
            refusals.push_back(std::string(e.what()) + "; gc keeps every object");
        }
    }
    if (!refusals.empty()) {
        throw Refused(refusals);
    }
    return objects;
}

bool IsHex(std::string_view text) {
    return std::ranges::all_of(
        text, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// "<xx>/<64 hex digits>" with xx its first two: a name publish gives an object.
bool IsObjectName(std::string_view relative) {
    return relative.size() == 67 && relative[2] == '/' && IsHex(relative.substr(3)) &&
           relative.substr(0, 2) == relative.substr(3, 2);
}

// Removes the object file at `relative` itself, through no link; its bytes, or nothing when no
// file is there any more.
std::optional<uint64_t> RemoveObject(const std::string& root, const std::string& relative) {
    const size_t slash = relative.rfind('/');
    Descriptor folder = OpenFolderBelow(root, relative.substr(0, slash), false);
    const std::string name = relative.substr(slash + 1);
    struct stat st {};
    if (folder.Get() < 0 || ::fstatat(folder.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    if (::unlinkat(folder.Get(), name.c_str(), 0) != 0) {
        throw Failure("cannot remove " + JoinPath(root, relative));
    }
    return static_cast<uint64_t>(st.st_size);
}

// The objects/<xx>/ folders gc emptied: removed only when empty (the kernel checks), and no
// publish can be filling one, as the lock is held.
void RemoveEmptied(const std::string& root, const std::set<std::string>& folders,
                   GcResult& result) {
    Descriptor objects = OpenFolderBelow(root, Served(format::kObjectsFolder), false);
    for (const std::string& xx : folders) {
        if (objects.Get() >= 0 && ::unlinkat(objects.Get(), xx.c_str(), AT_REMOVEDIR) == 0) {
            ++result.folders;
        }
    }
}

void Sweep(const std::string& root, const std::set<std::string>& named, GcResult& result) {
    const std::string objectsFolder = Served(format::kObjectsFolder);
    if (OpenFolderBelow(root, objectsFolder, false).Get() < 0) {
        return;  // nothing published by hash yet
    }
    std::set<std::string> emptied;
    size_t others = 0;
    for (const TreeEntry& e : ListTree(JoinPath(root, objectsFolder))) {
        const std::string relative = objectsFolder + "/" + e.relative;
        if (e.link) {
            // Not an object publish wrote: whoever put it there keeps it, and what it points
            // to is outside what gc may judge.
            result.notes.push_back(JoinPath(root, relative) +
                                   ": a symbolic link, left alone (neither followed nor removed)");
        } else if (!e.regular || !IsObjectName(e.relative)) {
            ++others;
        } else if (named.contains(std::string(format::kObjectsFolder) + "/" + e.relative)) {
            ++result.kept;
        } else if (std::optional<uint64_t> bytes = RemoveObject(root, relative)) {
            ++result.removed;
            result.removedBytes += *bytes;
            emptied.insert(e.relative.substr(0, 2));
        }
    }
    if (others > 0) {
        result.notes.push_back(std::to_string(others) + " files under " +
                               JoinPath(root, objectsFolder) +
                               " are not named as objects are; left alone");
    }
    RemoveEmptied(root, emptied, result);
}

}  // namespace

int64_t PublishedAt(uint64_t serial, int64_t modified) {
    const int64_t bySerial =
        serial > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(serial);
    return std::max(bySerial, modified);
}

GcResult CollectGarbage(const GcOptions& options) {
    const std::string served = JoinPath(options.root, kServedFolder);
    if (!IsDirectory(served)) {
        throw Failure(served + " is no served tree");
    }
    RunLock lock("gc", RootLockPath(options.root), O_RDWR | O_CREAT | O_NOFOLLOW,
                 "a publish into " + served + " is running; gc removes nothing while it does");
    GcResult result;
    std::set<std::string> named;
    try {
        named = NamedObjects(options.root, ProfilesToKeep(options, result));
    } catch (const SymbolicLink& link) {
        throw Refused({link.what()});
    }
    try {
        Sweep(options.root, named, result);
    } catch (const SymbolicLink& link) {
        throw Refused({link.what()});
    }
    return result;
}

}  // namespace vt::vtpatch
