#include "vtpatch/Listing.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <map>
#include <set>

#include "base/Cp949.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "format/Bounds.h"
#include "format/Digest.h"
#include "format/Manifest.h"
#include "sets/EntryName.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Files.h"

namespace vt::vtpatch {
namespace {

std::optional<int32_t> PositiveNumber(std::string_view text) {
    int32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value <= 0 ||
        text.front() == '0') {
        return std::nullopt;
    }
    return value;
}

std::string Describe(const Fetched& fetched) {
    return fetched.outcome == Fetched::Outcome::Missing ? "missing" : fetched.why;
}

// The manifest pin in [publish] must match the bytes served, and its version in [game] must
// be their content version.
void CheckManifestBytes(const ServedSetListing& listing, const std::wstring& staged,
                        const std::string& bytes, Findings& findings) {
    const PatchSet& set = *listing.set;
    const std::string where = set.ManifestPath();
    const Sha256Digest digest = Sha256OfText(bytes);
    std::wstring pinText = ReadProfileValue(kPublishSection, FromUtf8(where), staged);
    std::optional<Pin> pin = ParsePin(ToUtf8(pinText));
    if (!pin) {
        findings.Problem(
            where, pinText.empty() ? "no pin in [publish]" : "the pin in [publish] is malformed");
    } else if (pin->size != bytes.size() || pin->sha256 != digest) {
        findings.Problem(where, "differs from its pin in [publish] (size " +
                                    std::to_string(bytes.size()) + ", pinned " +
                                    std::to_string(pin->size) + ")");
    }
    if (listing.version != ContentVersion(digest)) {
        findings.Problem(where, "[game] " + ToUtf8(set.key) + "=" + listing.version +
                                    " is not the manifest's content version " +
                                    ContentVersion(digest));
    }
}

// The manifest as the launcher fetches it, bounded as it bounds it (by its pin in [publish],
// else by the format); nothing, and why, when the launcher would fail.
std::optional<std::string> FetchManifest(ServedTree& tree, ServedSetListing& listing,
                                         const std::wstring& stagedProfile, Findings& findings) {
    const PatchSet& set = *listing.set;
    const std::string where = set.ManifestPath();
    listing.pin =
        ParsePin(ToUtf8(ReadProfileValue(kPublishSection, FromUtf8(where), stagedProfile)));
    const std::optional<Pin>& pin = listing.pin;
    Fetched fetched;
    std::optional<std::string> bytes =
        tree.FetchWhole(where, fetched, pin ? pin->size : format::kManifestMostBytes);
    if (!bytes) {
        findings.Problem(where, Describe(fetched) + "; [game] " + ToUtf8(set.key) +
                                    " names it, so the launcher fails");
    } else if (bytes->empty()) {
        findings.Problem(where, "zero bytes; the launcher fails on an empty answer");
    }
    return bytes;
}

// The count the launcher loops to; nothing when it takes the file for no manifest or stops.
std::optional<int32_t> CheckCount(const PatchSet& set, const ManifestReading& reading,
                                  Findings& findings) {
    const std::string where = set.ManifestPath();
    const std::string countText = ToUtf8(FromCp949(reading.countText));
    if (!IsManifestCount(reading.countText)) {
        findings.Problem(where, "[" + ToUtf8(set.key) + "] count=" + countText +
                                    " is not a number; the launcher takes the file for no "
                                    "manifest");
        return std::nullopt;
    }
    if (!reading.count) {
        findings.Problem(where, "count=" + countText + " overflows the launcher's 16-bit counter");
        return std::nullopt;
    }
    if (*reading.count > kMaxEntries) {
        findings.Problem(where, "count=" + std::to_string(*reading.count) +
                                    ": the launcher stops with an overflow after entry " +
                                    std::to_string(kMaxEntries));
    }
    return *reading.count;
}

// One numbered entry against the launcher's rules: name, alias, version, pin.
ServedEntry CheckLine(const PatchSet& set, const ManifestLine& line, int32_t count,
                      std::map<std::wstring, int32_t>& aliases, Findings& findings) {
    ServedEntry entry;
    entry.index = line.index;
    if (!line.entry) {
        findings.Problem(set.ManifestPath() + " entry " + std::to_string(line.index),
                         line.text.empty() ? "missing below count=" + std::to_string(count) +
                                                 "; the launcher stops with an error"
                                           : "has no ':'; the launcher stops with an error");
        return entry;
    }
    entry.name = line.entry->name;
    entry.version = ToUtf8(FromCp949(line.entry->version));
    const std::string at = entry.Where(set);
    if (entry.version.empty()) {
        findings.Problem(at, "has no version; the launcher never fetches it");
    }
    if (entry.name.empty()) {
        findings.Problem(at, "has no name; the launcher refuses it");
        return entry;
    }
    if (auto why = EntryNameProblem(set, entry.name)) {
        findings.Problem(at, *why);
    } else if (auto [it, added] = aliases.emplace(AliasKey(set.FileName(entry.name)), line.index);
               !added) {
        findings.Problem(at, "the same file on Windows as entry " + std::to_string(it->second));
    } else {
        entry.usable = true;
    }
    entry.pin = line.pin;
    if (!entry.pin) {
        findings.Problem(at, line.pinText.empty() ? "no pin in [" + ToUtf8(set.PinsSection()) + "]"
                                                  : "its pin is malformed");
    }
    return entry;
}

// What the launcher never reads: entries past the count, pins of names not listed.
void CheckUnread(const PatchSet& set, std::string_view bytes, int32_t count,
                 const std::set<std::string>& listedNames, Findings& findings) {
    const std::string where = set.ManifestPath();
    for (const auto& [key, value] : SectionKeys(bytes, ToCp949(set.key))) {
        if (std::optional<int32_t> n = PositiveNumber(key); n && *n > count) {
            findings.Problem(where + " entry " + key, "lies beyond count=" + std::to_string(count) +
                                                          "; the launcher never fetches it");
        }
    }
    for (const auto& [key, value] : SectionKeys(bytes, ToCp949(set.PinsSection()))) {
        if (!listedNames.contains(key)) {
            findings.Note(where, "a pin for " + ToUtf8(FromCp949(key)) + ", which is not listed");
        }
    }
}

void ReadEntries(ServedTree& tree, ServedSetListing& listing, const std::wstring& stagedProfile,
                 Findings& findings) {
    const PatchSet& set = *listing.set;
    std::optional<std::string> bytes = FetchManifest(tree, listing, stagedProfile, findings);
    if (!bytes) {
        return;
    }
    CheckManifestBytes(listing, stagedProfile, *bytes, findings);
    const ManifestReading reading = ReadManifest(*bytes, set.key);
    const std::optional<int32_t> count = CheckCount(set, reading, findings);
    if (!count) {
        return;
    }
    listing.read = true;
    std::map<std::wstring, int32_t> aliases;
    std::set<std::string> listedNames;
    for (const ManifestLine& line : reading.lines) {
        if (line.entry) {
            listedNames.insert(ToCp949(line.entry->name));
        }
        listing.entries.push_back(CheckLine(set, line, *count, aliases, findings));
    }
    CheckUnread(set, *bytes, *count, listedNames, findings);
}

}  // namespace

size_t Findings::Problems() const {
    return static_cast<size_t>(
        std::count_if(list_.begin(), list_.end(), [](const Finding& f) { return f.problem; }));
}

std::string ServedEntry::Where(const PatchSet& set) const {
    return set.folder + ToUtf8(set.FileName(name)) + " (" + set.ManifestPath() + " entry " +
           std::to_string(index) + ")";
}

std::string EntryRequest(const PatchSet& set, const std::wstring& name) {
    return set.folder + ToUtf8(EncodeForUrl(set.FileName(name)));
}

ServedPatch ReadServedPatch(ServedTree& tree, const std::string& staging, Findings& findings) {
    // Staged copies are new files; parsed copies of earlier runs must not stand in for them.
    profile::ClearCache();
    ServedPatch patch;
    Fetched fetched;
    std::optional<std::string> profileBytes =
        tree.FetchWhole(kProfileName, fetched, format::kProfileMostBytes);
    if (!profileBytes) {
        throw Failure(tree.Where(kProfileName) + ": " + Describe(fetched));
    }
    patch.profile = *profileBytes;
    if (patch.profile.empty()) {
        findings.Problem(kProfileName, "zero bytes; the launcher fails on an empty answer");
    }
    const std::string stagedPath = JoinPath(staging, kProfileName);
    WriteFileAtomically(stagedPath, patch.profile);
    const std::wstring staged = FromUtf8(stagedPath);

    patch.game = ToUtf8(ReadProfileValue(kGameSection, L"game", staged));
    if (patch.game.empty()) {
        findings.Problem(kProfileName, "[game] game is missing; every launcher refuses the patch");
    }
    patch.clientVersion = ToUtf8(ReadProfileValue(kGameSection, kClientKey, staged));
    std::wstring clientPin = ReadProfileValue(kPublishSection, FromUtf8(kClientName), staged);
    patch.clientPin = ParsePin(ToUtf8(clientPin));
    if (!patch.clientVersion.empty() && !patch.clientPin) {
        findings.Problem(kClientName, clientPin.empty() ? "no pin in [publish]"
                                                        : "the pin in [publish] is malformed");
    }

    for (const PatchSet& set : PatchSets()) {
        ServedSetListing listing;
        listing.set = &set;
        listing.version = ToUtf8(ReadProfileValue(kGameSection, set.key, staged));
        if (!listing.version.empty()) {
            ReadEntries(tree, listing, staged, findings);
        }
        patch.sets.push_back(std::move(listing));
    }
    return patch;
}

}  // namespace vt::vtpatch
