#include "vtpatch/History.h"

#include <algorithm>

#include "base/Cp949.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "format/Bounds.h"
#include "format/Digest.h"
#include "format/Manifest.h"
#include "format/Objects.h"
#include "format/Serial.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Format.h"

namespace vt::vtpatch {

StagedProfile::StagedProfile(std::string_view bytes) {
    const std::string path = JoinPath(dir_.Path(), kProfileName);
    WriteFileAtomically(path, bytes);
    profile::ClearCache();
    file_ = FromUtf8(path);
}

std::string StagedProfile::Value(const std::wstring& section, const std::wstring& key) const {
    return ToUtf8(ReadProfileValue(section, key, file_));
}

std::vector<ArchivedProfile> ArchivedProfiles(const std::string& root) {
    const std::string folder = std::string(kServedFolder) + "/" + format::kProfilesFolder;
    if (OpenFolderBelow(root, folder, false).Get() < 0) {
        return {};
    }
    std::vector<ArchivedProfile> out;
    for (const TreeEntry& e : ListTree(JoinPath(root, folder))) {
        constexpr std::string_view kSuffix = ".signed";
        std::string_view name = e.relative;
        if (!name.ends_with(kSuffix) || name.find('/') != std::string_view::npos) {
            continue;
        }
        name.remove_suffix(kSuffix.size());
        const format::SerialReading serial = format::ReadSerial(name);
        // Only the name publish gives a serial: "0042.signed" is not the archive of 42.
        if (serial.form == format::SerialForm::Number && std::to_string(serial.value) == name) {
            out.push_back({serial.value, format::ArchivedProfilePath(serial.value)});
        }
    }
    std::ranges::sort(out, {}, &ArchivedProfile::serial);
    return out;
}

std::string CarriedProfile(const std::string& signedBytes, const std::string& where) {
    if (signedBytes.size() < format::kSignatureBytes) {
        throw Failure(where + ": " + std::to_string(signedBytes.size()) +
                      " bytes, shorter than the signature it begins with");
    }
    return signedBytes.substr(format::kSignatureBytes);
}

namespace {

// A manifest's bytes from its object, which must be what the pin names.
std::string ManifestObject(const std::string& root, const std::string& manifestPath,
                           const Pin& pin) {
    const std::string object = std::string(kServedFolder) + "/" + format::ObjectPath(pin.sha256);
    const std::optional<std::string> bytes = ReadFileBelow(root, object);
    if (!bytes) {
        throw Failure(JoinPath(root, object) + " (" + manifestPath + ") cannot be read");
    }
    if (bytes->size() != pin.size || Sha256OfText(*bytes) != pin.sha256) {
        throw Failure(JoinPath(root, object) + " (" + manifestPath +
                      ") does not match its name and pin");
    }
    return *bytes;
}

}  // namespace

std::map<std::string, Pin> NamedFiles(const std::string& root, std::string_view profile) {
    const StagedProfile staged(profile);
    std::map<std::string, Pin> named;
    if (std::optional<Pin> client =
            ParsePin(staged.Value(kPublishSection, FromUtf8(kClientName)))) {
        named.emplace(kClientName, *client);
    }
    for (const PatchSet& set : PatchSets()) {
        const std::string manifestPath = set.ManifestPath();
        const std::optional<Pin> pin =
            ParsePin(staged.Value(kPublishSection, FromUtf8(manifestPath)));
        if (!pin) {
            continue;  // no manifest named: a set without files, or a profile before pins
        }
        named.emplace(manifestPath, *pin);
        const std::optional<Manifest> manifest =
            ParseManifest(ManifestObject(root, manifestPath, *pin), set.key);
        if (!manifest) {
            throw Failure(manifestPath + " of the profile is no manifest the launcher reads");
        }
        for (const Manifest::Entry& entry : manifest->entries) {
            if (entry.pin) {
                named.emplace(set.folder + ToCp949(set.FileName(entry.name)), *entry.pin);
            }
        }
    }
    return named;
}

std::vector<PlayerDownload> DownloadsSince(const std::string& root,
                                           const std::map<std::string, Pin>& published,
                                           size_t count, std::vector<std::string>& notes) {
    std::vector<ArchivedProfile> archived = ArchivedProfiles(root);
    archived.erase(archived.begin(),
                   archived.end() - static_cast<ptrdiff_t>(std::min(count, archived.size())));
    std::vector<PlayerDownload> rows;
    for (const ArchivedProfile& a : archived) {
        const std::string where = JoinPath(root, std::string(kServedFolder) + "/" + a.relative);
        std::map<std::string, Pin> had;
        try {
            const std::optional<std::string> bytes =
                ReadFileBelow(root, std::string(kServedFolder) + "/" + a.relative);
            if (!bytes) {
                throw Failure(where + " cannot be read");
            }
            had = NamedFiles(root, CarriedProfile(*bytes, where));
        } catch (const Failure& e) {
            notes.push_back("serial " + std::to_string(a.serial) + " not listed: " + e.what());
            continue;
        }
        PlayerDownload row{a.serial, 0, 0};
        for (const auto& [path, pin] : published) {
            const auto it = had.find(path);
            if (it == had.end() || it->second != pin) {
                ++row.files;
                row.bytes += pin.size;
            }
        }
        rows.push_back(row);
    }
    return rows;
}

}  // namespace vt::vtpatch
