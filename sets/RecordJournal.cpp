#include "sets/RecordJournal.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <span>
#include <utility>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/Log.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "format/Sets.h"
#include "sets/EntryName.h"

namespace vt {
namespace {

uint32_t Crc32(std::string_view bytes) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (char b : bytes) {
        crc = table[(crc ^ static_cast<unsigned char>(b)) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// One line without its line break; nothing unless it is a whole, intact record.
std::optional<JournalRecord> DecodeLine(std::string_view line) {
    constexpr size_t kHead = 11;  // "v " + 8 hex digits + " "
    if (line.size() < kHead || !line.starts_with("v ") || line[10] != ' ') {
        return std::nullopt;
    }
    uint32_t crc = 0;
    auto [end, error] = std::from_chars(line.data() + 2, line.data() + 10, crc, 16);
    if (error != std::errc() || end != line.data() + 10) {
        return std::nullopt;
    }
    std::string_view payload = line.substr(kHead);
    if (Crc32(payload) != crc) {
        return std::nullopt;
    }
    size_t keyLength = 0;
    auto [afterLength, lengthError] =
        std::from_chars(payload.data(), payload.data() + payload.size(), keyLength);
    const size_t colon = static_cast<size_t>(afterLength - payload.data());
    if (lengthError != std::errc() || colon >= payload.size() || payload[colon] != ':' ||
        payload.size() - colon - 1 < keyLength) {
        return std::nullopt;
    }
    payload.remove_prefix(colon + 1);
    return JournalRecord{std::string(payload.substr(0, keyLength)),
                         std::string(payload.substr(keyLength))};
}

}  // namespace

std::wstring JournalPath(const std::wstring& manifest) {
    return manifest + std::wstring(kJournalSuffix);
}

std::optional<std::string> EncodeJournalRecord(std::string_view key, std::string_view version) {
    if (HasLineBreak(key) || HasLineBreak(version)) {
        return std::nullopt;
    }
    std::string payload = std::to_string(key.size());
    payload.append(":").append(key).append(version);
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(Crc32(payload)));
    std::string line = "v ";
    line.append(crc, 8).append(" ").append(payload).append("\n");
    return line;
}

std::vector<JournalRecord> DecodeJournal(std::string_view bytes) {
    std::vector<JournalRecord> out;
    size_t pos = 0;
    for (;;) {
        const size_t end = bytes.find('\n', pos);
        if (end == std::string_view::npos) {
            break;  // no line break: the torn record of a killed writer
        }
        if (auto record = DecodeLine(bytes.substr(pos, end - pos))) {
            out.push_back(std::move(*record));
        }
        pos = end + 1;
    }
    return out;
}

RecordedVersions::RecordedVersions(std::wstring section, std::wstring manifest)
    : section_(std::move(section)), manifest_(std::move(manifest)) {
    if (std::optional<std::string> bytes = fs::ReadWholeFile(JournalPath(manifest_))) {
        for (JournalRecord& r : DecodeJournal(*bytes)) {
            journal_[profile::LookupName(r.key)] = std::move(r.version);
        }
    }
}

RecordedVersions RecordedVersions::AfterFold(std::wstring section, std::wstring manifest) {
    RecordedVersions versions;
    versions.section_ = std::move(section);
    versions.manifest_ = std::move(manifest);
    return versions;
}

std::string RecordedVersions::Get(const std::wstring& key) const {
    if (!journal_.empty()) {
        auto it = journal_.find(profile::LookupName(ToCp949(key)));
        if (it != journal_.end()) {
            return it->second;
        }
    }
    return ReadProfileBytes(section_, key, manifest_);
}

void RecordedVersions::Set(const std::string& keyBytes, std::string_view version) {
    journal_[profile::LookupName(keyBytes)] = std::string(version);
}

bool FoldJournal(const std::wstring& section, const std::wstring& manifest) {
    const std::wstring journal = JournalPath(manifest);
    std::optional<std::string> bytes = fs::ReadWholeFile(journal);
    if (!bytes) {
        return false;
    }
    std::vector<std::pair<std::string, std::string>> entries;
    for (JournalRecord& r : DecodeJournal(*bytes)) {
        // Every record passed the checks of the set run; one that does not (a key the manifest
        // cannot keep, damage the checksum missed) is left out and its file fetched again,
        // rather than stopping every run at the fold.
        std::optional<std::string> stored = profile::StoredForm(r.version, kProfileBufferSize);
        if (!stored || UnrecordableEntryName(FromCp949(r.key))) {
            LogLine(L"dropped a record that cannot be written: " + FromCp949(r.key));
            continue;
        }
        entries.emplace_back(std::move(r.key), std::move(*stored));
    }
    if (!entries.empty() && !profile::WriteStrings(ToCp949(section), entries, manifest)) {
        throw AppError(ErrorNumber::PathFileAccess, L"파일에 쓸 수 없습니다: " + manifest);
    }
    if (!fs::DeleteFile(journal) && fs::Exists(journal)) {
        throw AppError(ErrorNumber::PathFileAccess, L"파일을 지울 수 없습니다: " + journal);
    }
    LogLine(L"folded " + std::to_wstring(entries.size()) + L" records of " + journal);
    return true;
}

void FoldLeftoverJournals() {
    for (const format::PatchSet& set : format::PatchSets()) {
        FoldJournal(set.key, AppDir + set.localFolder + set.manifestName);
    }
}

namespace {

RecordedVersions FoldedFirst(const std::wstring& section, const std::wstring& manifest) {
    FoldJournal(section, manifest);
    return RecordedVersions::AfterFold(section, manifest);
}

}  // namespace

RecordJournal::RecordJournal(std::wstring section, std::wstring manifest)
    : section_(std::move(section)),
      manifest_(std::move(manifest)),
      versions_(FoldedFirst(section_, manifest_)) {}

void RecordJournal::Record(const std::wstring& key, std::string_view version) {
    const std::string keyBytes = ToCp949(key);
    std::optional<std::string> line = EncodeJournalRecord(keyBytes, version);
    if (!out_ && line) {
        out_ = fs::OpenForAppend(JournalPath(manifest_));
    }
    if (!line || !out_ || !out_->Write(std::as_bytes(std::span(line->data(), line->size())))) {
        throw AppError(ErrorNumber::PathFileAccess,
                       L"파일에 쓸 수 없습니다: " + JournalPath(manifest_));
    }
    versions_.Set(keyBytes, version);
    LogLine(L"record " + manifest_ + L" [" + section_ + L"] " + key + L"=" + FromCp949(version) +
            L" (journal)");
}

void RecordJournal::Fold() {
    if (!out_) {
        return;  // no journal since the fold at construction
    }
    out_.reset();  // closed before the journal is deleted, which Windows needs
    FoldJournal(section_, manifest_);
    versions_ = RecordedVersions::AfterFold(section_, manifest_);
}

}  // namespace vt
