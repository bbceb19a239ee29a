#include "vtpatch/Lint.h"

#include <algorithm>
#include <charconv>
#include <span>

#include "base/Cp949.h"
#include "base/ModGame.h"
#include "format/Bounds.h"
#include "format/Digest.h"
#include "vtpatch/Failure.h"
#include "vtpatch/Files.h"
#include "vtpatch/Progress.h"

namespace vt::vtpatch {
namespace {

void CheckSignature(ServedTree& tree, const ServedPatch& patch, const LintOptions& options,
                    Findings& findings) {
    Fetched fetched;
    std::optional<std::string> bytes =
        tree.FetchWhole(kSignatureName, fetched, format::kSignatureBytes);
    if (!options.publicKey) {
        findings.Note(kSignatureName,
                      bytes ? "not checked (no --pub)"
                      : fetched.outcome == Fetched::Outcome::Missing
                          ? "missing; launchers that check signatures refuse this tree"
                          : fetched.why + "; launchers that check signatures fail on it");
        return;
    }
    if (!bytes) {
        findings.Problem(kSignatureName,
                         fetched.outcome == Fetched::Outcome::Missing ? "missing" : fetched.why);
        return;
    }
    if (bytes->size() != std::tuple_size_v<Signature>) {
        findings.Problem(kSignatureName, std::to_string(bytes->size()) +
                                             " bytes; a signature is r and s, 64 bytes");
        return;
    }
    Signature signature{};
    std::copy(bytes->begin(), bytes->end(), signature.begin());
    if (!VerifySignature(*options.publicKey, patch.profile, signature)) {
        findings.Problem(kSignatureName,
                         "does not verify: vtgame.ini was not signed by this key "
                         "or changed after signing");
    }
}

void CheckPublishSection(const std::string& staging, const LintOptions& options,
                         Findings& findings) {
    const std::wstring staged = FromUtf8(JoinPath(staging, kProfileName));
    const std::string serial = ToUtf8(ReadProfileValue(kPublishSection, L"serial", staged));
    int64_t value = 0;
    auto [end, ec] = std::from_chars(serial.data(), serial.data() + serial.size(), value);
    if (serial.empty() || ec != std::errc() || end != serial.data() + serial.size() || value < 1) {
        findings.Problem(kProfileName, serial.empty()
                                           ? "[publish] serial is missing"
                                           : "[publish] serial=" + serial + " is not a number");
    }
    const std::string expires = ToUtf8(ReadProfileValue(kPublishSection, L"expires", staged));
    if (expires.empty()) {
        return;
    }
    std::optional<int64_t> when = ParseUtcTime(expires);
    if (!when) {
        findings.Problem(kProfileName, "[publish] expires=" + expires +
                                           " is not of the form YYYY-MM-DDTHH:MM:SSZ");
    } else if (*when <= options.now) {
        findings.Problem(kProfileName, "expired at " + expires);
    }
}

// One payload against its pin and its version.
void CheckPayload(ServedTree& tree, const std::string& request, const std::string& where,
                  const std::string& version, const std::optional<Pin>& pin, Findings& findings) {
    Sha256 hash;
    // Streamed into the hash, never held; a pinned file is not read past its pin.
    Fetched fetched = tree.Fetch(
        request,
        [&hash](std::string_view piece) {
            hash.Update(std::as_bytes(std::span(piece.data(), piece.size())));
        },
        pin ? std::optional<uint64_t>(pin->size) : std::nullopt);
    if (fetched.outcome == Fetched::Outcome::Missing) {
        findings.Problem(where, "missing");
        return;
    }
    if (fetched.outcome == Fetched::Outcome::Refused) {
        findings.Problem(where, fetched.why);
        return;
    }
    const Sha256Digest digest = hash.Final();
    if (fetched.size == 0) {
        findings.Problem(where, "zero bytes; the launcher cannot receive an empty file");
        return;
    }
    if (pin && pin->size != static_cast<uint64_t>(fetched.size)) {
        findings.Problem(where, "size " + std::to_string(fetched.size) + " differs from its pin " +
                                    std::to_string(pin->size));
    } else if (pin && pin->sha256 != digest) {
        findings.Problem(where, "SHA-256 differs from its pin");
    }
    if (!version.empty() && version != ContentVersion(digest)) {
        findings.Problem(
            where, "version " + version + " is not its content version " + ContentVersion(digest));
    }
}

}  // namespace

Findings Lint(ServedTree& tree, const LintOptions& options) {
    Findings findings;
    TempDirectory staging;
    ServedPatch patch;
    try {
        patch = ReadServedPatch(tree, staging.Path(), findings);
    } catch (const Failure& e) {
        findings.Problem(kProfileName, e.what());
        return findings;
    }
    CheckSignature(tree, patch, options, findings);
    CheckPublishSection(staging.Path(), options, findings);

    size_t total = patch.clientVersion.empty() ? 0 : 1;
    for (const ServedSetListing& listing : patch.sets) {
        total += listing.entries.size();
    }
    Progress progress("checking", total);
    if (!patch.clientVersion.empty()) {
        CheckPayload(tree, kClientName, kClientName, patch.clientVersion, patch.clientPin,
                     findings);
        progress.Advance();
    }
    for (const ServedSetListing& listing : patch.sets) {
        for (const ServedEntry& entry : listing.entries) {
            // The launcher refuses an unsafe name before it asks for the file.
            if (entry.usable) {
                CheckPayload(tree, EntryRequest(*listing.set, entry.name),
                             entry.Where(*listing.set), entry.version, entry.pin, findings);
            }
            progress.Advance();
        }
    }
    return findings;
}

}  // namespace vt::vtpatch
