#include "vtpatch/Listing.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <map>
#include <set>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/ModGame.h"
#include "base/NumberText.h"
#include "base/Profile.h"
#include "sets/EntryName.h"
#include "sets/Manifest.h"
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
    const ServedSet& set = *listing.set;
    const std::string where = set.ManifestPath();
    const Digest digest = Sha256Of(bytes);
    std::wstring pinText = ReadProfileValue(kPublishSection, FromUtf8(where), staged);
    std::optional<Pin> pin = ParsePin(ToUtf8(pinText));
    if (!pin) {
        findings.Problem(
            where, pinText.empty() ? "no pin in [publish]" : "the pin in [publish] is malformed");
    } else if (pin->size != static_cast<int64_t>(bytes.size()) || pin->sha256 != Hex(digest)) {
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

void ReadEntries(ServedTree& tree, ServedSetListing& listing, const std::string& staging,
                 const std::wstring& stagedProfile, Findings& findings) {
    const ServedSet& set = *listing.set;
    const std::string where = set.ManifestPath();
    Fetched fetched;
    std::optional<std::string> bytes = tree.FetchWhole(where, fetched);
    if (!bytes) {
        findings.Problem(where, Describe(fetched) + "; [game] " + ToUtf8(set.key) +
                                    " names it, so the launcher fails");
        return;
    }
    if (bytes->empty()) {
        findings.Problem(where, "zero bytes; the launcher fails on an empty answer");
    }
    const std::string stagedPath = JoinPath(staging, ToUtf8(set.manifestName));
    WriteFileAtomically(stagedPath, *bytes);
    const std::wstring staged = FromUtf8(stagedPath);
    CheckManifestBytes(listing, stagedProfile, *bytes, findings);

    const std::string countText = ToUtf8(ReadProfileValue(set.key, L"count", staged));
    if (!IsManifestCount(countText)) {
        findings.Problem(where, "[" + ToUtf8(set.key) + "] count=" + countText +
                                    " is not a number; the launcher takes the file for no "
                                    "manifest");
        return;
    }
    int32_t count = 0;
    try {
        count = ToInt16Bankers(Val(FromUtf8(countText)));
    } catch (const AppError&) {
        findings.Problem(where, "count=" + countText + " overflows the launcher's 16-bit counter");
        return;
    }
    if (count > kMaxEntries) {
        findings.Problem(where, "count=" + std::to_string(count) +
                                    ": the launcher stops with an overflow after entry " +
                                    std::to_string(kMaxEntries));
    }
    listing.read = true;

    std::map<std::wstring, int32_t> aliases;
    std::set<std::string> listedNames;
    for (int32_t i = 1; i <= std::min(count, kMaxEntries); ++i) {
        ServedEntry entry;
        entry.index = i;
        const std::wstring text = ReadProfileValue(set.key, std::to_wstring(i), staged);
        // ':' is never the second byte of a double-byte character: the first one splits.
        const size_t colon = text.find(L':');
        if (colon == std::wstring::npos) {
            findings.Problem(where + " entry " + std::to_string(i),
                             text.empty() ? "missing below count=" + std::to_string(count) +
                                                "; the launcher stops with an error"
                                          : "has no ':'; the launcher stops with an error");
            continue;
        }
        entry.name = text.substr(0, colon);
        entry.version = ToUtf8(text.substr(colon + 1));
        listedNames.insert(ToCp949(entry.name));
        const std::string at = entry.Where(set);
        if (entry.version.empty()) {
            findings.Problem(at, "has no version; the launcher never fetches it");
        }
        if (entry.name.empty()) {
            findings.Problem(at, "has no name; the launcher refuses it");
            listing.entries.push_back(std::move(entry));
            continue;
        }
        if (auto why = EntryNameProblem(set, entry.name)) {
            findings.Problem(at, *why);
        } else if (auto [it, added] = aliases.emplace(AliasKey(set.FileName(entry.name)), i);
                   !added) {
            findings.Problem(at, "the same file on Windows as entry " + std::to_string(it->second));
        } else {
            entry.usable = true;
        }
        std::wstring pinText = ReadProfileValue(set.PinsSection(), entry.name, staged);
        entry.pin = ParsePin(ToUtf8(pinText));
        if (!entry.pin) {
            findings.Problem(at, pinText.empty() ? "no pin in [" + ToUtf8(set.PinsSection()) + "]"
                                                 : "its pin is malformed");
        }
        listing.entries.push_back(std::move(entry));
    }
    // What the launcher never reads: entries past the count, pins of names not listed.
    for (const auto& [key, value] : SectionKeys(*bytes, ToCp949(set.key))) {
        if (std::optional<int32_t> n = PositiveNumber(key); n && *n > count) {
            findings.Problem(where + " entry " + key, "lies beyond count=" + std::to_string(count) +
                                                          "; the launcher never fetches it");
        }
    }
    for (const auto& [key, value] : SectionKeys(*bytes, ToCp949(set.PinsSection()))) {
        if (!listedNames.contains(key)) {
            findings.Note(where, "a pin for " + ToUtf8(FromCp949(key)) + ", which is not listed");
        }
    }
}

}  // namespace

size_t Findings::Problems() const {
    return static_cast<size_t>(
        std::count_if(list_.begin(), list_.end(), [](const Finding& f) { return f.problem; }));
}

std::string ServedEntry::Where(const ServedSet& set) const {
    return set.folder + ToUtf8(set.FileName(name)) + " (" + set.ManifestPath() + " entry " +
           std::to_string(index) + ")";
}

std::string EntryRequest(const ServedSet& set, const std::wstring& name) {
    return set.folder + ToUtf8(EncodeForUrl(set.FileName(name)));
}

ServedPatch ReadServedPatch(ServedTree& tree, const std::string& staging, Findings& findings) {
    // Staged copies are new files; parsed copies of earlier runs must not stand in for them.
    profile::ClearCache();
    ServedPatch patch;
    Fetched fetched;
    std::optional<std::string> profileBytes = tree.FetchWhole(kProfileName, fetched);
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

    for (const ServedSet& set : ServedSets()) {
        ServedSetListing listing;
        listing.set = &set;
        listing.version = ToUtf8(ReadProfileValue(kGameSection, set.key, staged));
        if (!listing.version.empty()) {
            ReadEntries(tree, listing, staging, staged, findings);
        }
        patch.sets.push_back(std::move(listing));
    }
    return patch;
}

}  // namespace vt::vtpatch
