#pragma once
// The record journal of a set. While a set is brought up to date, each file that has arrived
// is recorded by one short append to "<manifest>.journal" beside the set's local manifest
// instead of a rewrite of the whole manifest. When the set ends, and at the next start after a
// kill, the journal is folded into the manifest (one atomic rewrite through the profile engine
// that keeps every other byte) and then deleted; a kill between the two folds it again.
// A launcher that knows nothing of journals reads the manifest alone: it only fetches again
// what the journal held.
//
// A record is one line, "v <crc> <n>:<key><version>\n": <crc> is the CRC-32 of "<n>:<key>
// <version>" in eight lower-case hex digits, <n> the key's length in bytes (decimal), key and
// version the bytes of code page 949 (neither holds a line break). A record counts only when
// its line break is there and its checksum matches, so the torn last record of a killed run
// reads as nothing. Of several records of one key the last wins.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/FileSystem.h"

namespace vt {

inline constexpr std::wstring_view kJournalSuffix = L".journal";

std::wstring JournalPath(const std::wstring& manifest);

struct JournalRecord {
    std::string key;
    std::string version;
    bool operator==(const JournalRecord&) const = default;
};

// The line of one record; nothing when key or version holds a line break.
std::optional<std::string> EncodeJournalRecord(std::string_view key, std::string_view version);
// The whole records of a journal, in order; torn or damaged lines are left out.
std::vector<JournalRecord> DecodeJournal(std::string_view bytes);

// What a set's local manifest and the journal beside it record together: the one place that
// reads records while a journal may be there (the set's run, vtpatch verify).
class RecordedVersions {
  public:
    // Reads the journal beside `manifest`, if any; the manifest is read key by key.
    RecordedVersions(std::wstring section, std::wstring manifest);
    // Right after FoldJournal: the journal is gone, so it is not asked for (under Wine asking
    // for a missing file scans its folder, which may hold tens of thousands of files).
    static RecordedVersions AfterFold(std::wstring section, std::wstring manifest);

    // The version bytes recorded for `key`: the journal's last record, else the manifest's.
    std::string Get(const std::wstring& key) const;
    void Set(const std::string& keyBytes, std::string_view version);

  private:
    RecordedVersions() = default;

    std::wstring section_;
    std::wstring manifest_;
    std::unordered_map<std::string, std::string> journal_;  // by profile::LookupName
};

// Folds every set's journal that a killed run left; the patch run does it before comparing any
// version.
void FoldLeftoverJournals();

// Folds the journal beside `manifest` into the manifest's `section` and deletes it. False when
// there was none. AppError(PathFileAccess) when the manifest cannot be written or the journal
// not deleted; the journal then stays for the next fold.
bool FoldJournal(const std::wstring& section, const std::wstring& manifest);

// The recording side of one set's run.
class RecordJournal {
  public:
    // Folds a journal an earlier run left, so records are only ever appended to a fresh one.
    RecordJournal(std::wstring section, std::wstring manifest);
    RecordJournal(const RecordJournal&) = delete;
    RecordJournal& operator=(const RecordJournal&) = delete;

    // What the manifest and the journal together record for `key`.
    std::string Recorded(const std::wstring& key) const { return versions_.Get(key); }
    // Appends a record; AppError(PathFileAccess) when it cannot be written.
    void Record(const std::wstring& key, std::string_view version);
    // Folds what was recorded into the manifest (see FoldJournal); nothing to do when nothing
    // was recorded since the fold at construction.
    void Fold();

  private:
    std::wstring section_;
    std::wstring manifest_;
    std::unique_ptr<fs::OutputFile> out_;  // opened by the first record
    RecordedVersions versions_;
};

}  // namespace vt
