#include "base/Profile.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/FileSystem.h"

namespace vt::profile {
namespace {

// Another process may change a file without our change count moving; we ask the disk again
// once this much time has passed since the last look.
constexpr auto kRecheckInterval = std::chrono::milliseconds(100);

bool IsBlank(char c) {
    // What the Windows loader trims: ASCII white space and ^Z (an old end-of-file mark).
    return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1a';
}

// A lead byte of code page 949 takes the next byte with it, whatever that byte is; such a
// trail byte may be a letter and must neither be case-folded nor start a new character.
bool IsLeadByte(char c) {
    auto b = static_cast<unsigned char>(c);
    return b >= 0x81 && b <= 0xFE;
}

size_t CharLength(std::string_view text, size_t at) {
    return IsLeadByte(text[at]) && at + 1 < text.size() ? 2 : 1;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view TrimLeft(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    return text;
}

// Lookup form of a name: ASCII letters folded, double-byte characters kept as they are.
std::string Fold(std::string_view name) {
    std::string out(name);
    for (size_t i = 0; i < out.size();) {
        size_t n = CharLength(out, i);
        if (n == 1 && out[i] >= 'A' && out[i] <= 'Z') {
            out[i] = static_cast<char>(out[i] - 'A' + 'a');
        }
        i += n;
    }
    return out;
}

struct Key {
    size_t lineEnd = 0;  // end of the trimmed line
    size_t valueBegin = 0;
    bool hasValue = false;  // a line without '=' names a key that reads as the default
};

struct Section {
    // Where a new key goes: after the section's last line and its line end.
    size_t insertAt = 0;
    bool insertNeedsBreak = false;              // that last line ends the file without a line end
    std::unordered_map<std::string, Key> keys;  // the first of equal names wins
};

// One parsed file. Offsets point into `text`, the file's bytes as they are on disk.
struct Parsed {
    bool exists = false;
    std::string text;
    std::string lineBreak = "\r\n";                     // the file's own, for lines we add
    std::unordered_map<std::string, Section> sections;  // "" is the part before any header
};

// One line as the loader reads it: its content runs from `begin` to `contentEnd` in `all`.
struct Line {
    enum class Kind { Blank, Header, Key } kind = Kind::Blank;
    std::string name;  // folded: the section of a header, the key of a key line
    Key key;           // offsets into `all`
};

Line ParseLine(std::string_view all, size_t begin, size_t contentEnd) {
    Line out;
    std::string_view trimmed = Trim(all.substr(begin, contentEnd - begin));
    if (trimmed.empty()) {
        return out;
    }
    const size_t lineBegin = static_cast<size_t>(trimmed.data() - all.data());
    if (trimmed.front() == '[') {
        size_t close = trimmed.rfind(']');
        if (close != std::string_view::npos) {
            out.kind = Line::Kind::Header;
            out.name = Fold(Trim(trimmed.substr(1, close - 1)));
            return out;
        }
    }
    out.kind = Line::Kind::Key;
    out.key.lineEnd = lineBegin + trimmed.size();
    size_t eq = trimmed.find('=');
    std::string_view name = trimmed;
    if (eq != std::string_view::npos) {
        name = Trim(trimmed.substr(0, eq));
        std::string_view value = TrimLeft(trimmed.substr(eq + 1));
        out.key.hasValue = true;
        out.key.valueBegin = static_cast<size_t>(value.data() - all.data());
    }
    out.name = Fold(name);
    return out;
}

// Where the content of the line around `at` begins and ends. A byte-order mark at the start of
// the file is no part of the first line.
std::pair<size_t, size_t> LineAround(std::string_view all, size_t at) {
    size_t begin = all.find_last_of("\r\n", at == 0 ? 0 : at - 1);
    begin = at == 0 || begin == std::string_view::npos ? 0 : begin + 1;
    if (begin == 0 && all.starts_with("\xEF\xBB\xBF")) {
        begin = 3;
    }
    size_t end = all.find_first_of("\r\n", at);
    return {begin, end == std::string_view::npos ? all.size() : end};
}

Parsed Parse(std::string text, bool exists) {
    Parsed p;
    p.exists = exists;
    p.text = std::move(text);
    std::string_view all = p.text;
    size_t pos = all.starts_with("\xEF\xBB\xBF") ? 3 : 0;

    Section ignored;  // a repeated header starts a section that no lookup reaches
    Section* current = &p.sections[""];
    current->insertAt = pos;
    bool sawBreak = false;
    while (pos < all.size()) {
        size_t begin = pos;
        while (pos < all.size() && all[pos] != '\r' && all[pos] != '\n') {
            ++pos;
        }
        size_t contentEnd = pos;
        size_t breakBegin = pos;
        if (pos < all.size()) {
            pos += all.compare(pos, 2, "\r\n") == 0 ? 2 : 1;
            if (!sawBreak) {
                p.lineBreak = std::string(all.substr(breakBegin, pos - breakBegin));
                sawBreak = true;
            }
        }
        size_t afterOneBreak = pos;
        // Blank lines between two lines belong to neither.
        while (pos < all.size() && (all[pos] == '\r' || all[pos] == '\n')) {
            ++pos;
        }

        Line line = ParseLine(all, begin, contentEnd);
        if (line.kind == Line::Kind::Blank) {
            continue;
        }
        if (line.kind == Line::Kind::Header) {
            auto [it, added] = p.sections.try_emplace(std::move(line.name));
            ignored.keys.clear();
            current = added ? &it->second : &ignored;
        } else {
            current->keys.try_emplace(std::move(line.name), line.key);
        }
        current->insertAt = afterOneBreak;
        current->insertNeedsBreak = afterOneBreak == contentEnd;
    }
    return p;
}

struct CacheEntry {
    Parsed parsed;
    fs::Stamp stamp;
    uint64_t checkedChangeCount = 0;
    std::chrono::steady_clock::time_point checkedAt;
};

std::mutex cacheMutex;
std::unordered_map<std::wstring, CacheEntry>& Cache() {
    static std::unordered_map<std::wstring, CacheEntry> cache;
    return cache;
}

// The files whose stale temporary files this run has cleared.
std::unordered_set<std::wstring>& Swept() {
    static std::unordered_set<std::wstring> swept;
    return swept;
}

CacheEntry Load(const std::wstring& path) {
    // The stamp is taken before the read: a change during the read shows at the next look.
    CacheEntry e;
    e.checkedChangeCount = fs::ChangeCount();
    e.checkedAt = std::chrono::steady_clock::now();
    e.stamp = fs::GetStamp(path);
    std::optional<std::string> bytes;
    if (e.stamp.size >= 0) {
        bytes = fs::ReadWholeFile(path);
    }
    e.parsed = Parse(bytes.value_or(std::string()), bytes.has_value());
    return e;
}

// The parsed copy of `path`, brought up to date when the file may have changed. With `force`
// the disk is always asked (before a write).
const Parsed& Get(const std::wstring& path, bool force) {
    auto& cache = Cache();
    auto it = cache.find(path);
    if (it == cache.end()) {
        return cache.emplace(path, Load(path)).first->second.parsed;
    }
    CacheEntry& e = it->second;
    uint64_t changes = fs::ChangeCount();
    auto now = std::chrono::steady_clock::now();
    if (!force && changes == e.checkedChangeCount && now - e.checkedAt < kRecheckInterval) {
        return e.parsed;
    }
    if (fs::GetStamp(path) == e.stamp) {
        e.checkedChangeCount = changes;
        e.checkedAt = now;
        return e.parsed;
    }
    e = Load(path);
    return e.parsed;
}

// The value as the Windows loader hands it out: one pair of equal enclosing quotes dropped,
// at most size - 1 characters. When the closing quote is cut off by the size, one more
// character goes (kept for byte-exact results); then cut to size - 1 bytes at a whole
// character.
int32_t Copy(std::string_view value, int32_t size, std::string& out) {
    out.clear();
    if (size <= 1) {
        return 0;
    }
    bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                  value.back() == value.front();
    if (quoted) {
        value.remove_prefix(1);
    }
    size_t chars = 0;
    for (size_t i = 0; i < value.size(); i += CharLength(value, i)) {
        ++chars;
    }
    size_t maxChars = static_cast<size_t>(size) - 1;
    size_t keep = std::min(chars, maxChars);
    if (quoted && static_cast<size_t>(size) >= chars && keep > 0) {
        --keep;
    }
    size_t end = 0;
    for (size_t n = 0; n < keep; ++n) {
        size_t len = CharLength(value, end);
        if (end + len > maxChars) {
            break;  // a double-byte character that does not fit whole is left out
        }
        end += len;
    }
    out.assign(value.substr(0, end));
    return static_cast<int32_t>(end);
}

bool HasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Whether `p` holds `value` (as the writer puts it, blanks before it already gone) under
// `section` and `key`.
bool Holds(const Parsed& p, std::string_view section, std::string_view key,
           std::string_view value) {
    auto sec = p.sections.find(Fold(section));
    if (sec == p.sections.end()) {
        return false;
    }
    auto k = sec->second.keys.find(Fold(key));
    if (k == sec->second.keys.end() || !k->second.hasValue) {
        return false;
    }
    const Key& found = k->second;
    return std::string_view(p.text).substr(found.valueBegin, found.lineEnd - found.valueBegin) ==
           Trim(value);
}

// What no file can hold so that it reads back (section, key and value trimmed as the writer
// trims them): a line break would split the line and plant other keys; '=' in a key could
// never be read back; a line that starts with '[' and holds a ']' anywhere reads as a header,
// which loses the key and moves every later key of the section into another one.
bool Unwritable(std::string_view section, std::string_view key, std::string_view value) {
    return HasLineBreakOrNul(section) || HasLineBreakOrNul(key) || HasLineBreakOrNul(value) ||
           key.find('=') != std::string_view::npos ||
           (key.starts_with('[') &&
            (key.find(']') != std::string_view::npos || value.find(']') != std::string_view::npos));
}

// One edit of a file's bytes: `erase` bytes at `at` give way to `insert`.
struct Splice {
    size_t at = 0;
    size_t erase = 0;
    std::string insert;
    int rank = 0;  // order of splices at the same place: values before added lines
};

enum class EditKind { NewSection, NewKey, AddValue, Replace };

struct Edit {
    EditKind kind = EditKind::Replace;
    Splice splice;
    size_t lead = 0;  // line break put before the added lines
};

// The edit that puts `value` under `section` and `key`, or nothing when it is already there.
std::optional<Edit> PlanEdit(const Parsed& p, std::string_view section, std::string_view key,
                             std::string_view value) {
    Edit e;
    auto sec = p.sections.find(Fold(section));
    if (sec == p.sections.end()) {
        e.kind = EditKind::NewSection;
        e.splice.at = p.text.size();
        if (!p.text.empty() && p.text.back() != '\n' && p.text.back() != '\r') {
            e.splice.insert = p.lineBreak;
        }
        e.lead = e.splice.insert.size();
        e.splice.insert.append("[").append(section).append("]").append(p.lineBreak);
        e.splice.insert.append(key).append("=").append(value).append(p.lineBreak);
        return e;
    }
    const Section& s = sec->second;
    auto k = s.keys.find(Fold(key));
    if (k == s.keys.end()) {
        e.kind = EditKind::NewKey;
        e.splice.at = s.insertAt;
        if (s.insertNeedsBreak) {
            e.splice.insert = p.lineBreak;
        }
        e.lead = e.splice.insert.size();
        e.splice.insert.append(key).append("=").append(value).append(p.lineBreak);
        return e;
    }
    const Key& found = k->second;
    if (!found.hasValue) {
        e.kind = EditKind::AddValue;
        e.splice.at = found.lineEnd;
        e.splice.insert.reserve(value.size() + 1);
        e.splice.insert.push_back('=');
        e.splice.insert.append(value);
        return e;
    }
    std::string_view old(p.text.data() + found.valueBegin, found.lineEnd - found.valueBegin);
    if (old == value) {
        return std::nullopt;
    }
    e.kind = EditKind::Replace;
    e.splice = {found.valueBegin, found.lineEnd - found.valueBegin, std::string(value)};
    return e;
}

// The key line the edit writes, parsed as the loader will parse it once the edit is made: its
// offsets are those in the edited file. Only that line (and a header the edit adds) can read
// otherwise than meant, since every edit keeps the line breaks of all other lines.
struct EditedLines {
    Line key;
    std::optional<Line> header;
};

EditedLines ParseEditedLines(const Parsed& p, const Edit& e) {
    const Splice& sp = e.splice;
    EditedLines out;
    if (e.kind == EditKind::NewSection || e.kind == EditKind::NewKey) {
        // Whole lines, from after a line break (or the start of the file) to their own.
        std::string_view added = sp.insert;
        size_t begin = e.lead;
        if (e.kind == EditKind::NewSection) {
            const size_t end = added.find_first_of("\r\n", begin);
            size_t headerBegin = begin;
            if (sp.at + begin == 0 && added.starts_with("\xEF\xBB\xBF")) {
                headerBegin = 3;
            }
            out.header = ParseLine(added, headerBegin, end);
            begin = end + p.lineBreak.size();
        } else if (sp.at + begin == 0 && added.starts_with("\xEF\xBB\xBF")) {
            begin = 3;
        }
        out.key = ParseLine(added, begin, added.find_first_of("\r\n", begin));
        out.key.key.lineEnd += sp.at;
        out.key.key.valueBegin += sp.at;
        return out;
    }
    // A value added to or changed in a line that stays where it is.
    const auto [lineBegin, contentEnd] = LineAround(p.text, sp.at);
    std::string line = p.text.substr(lineBegin, sp.at - lineBegin);
    line.append(sp.insert).append(p.text, sp.at + sp.erase, contentEnd - sp.at - sp.erase);
    out.key = ParseLine(line, 0, line.size());
    out.key.key.lineEnd += lineBegin;
    out.key.key.valueBegin += lineBegin;
    return out;
}

// Moves every offset at or after `from` (after it, unless `inclusive`) by `delta`.
void ShiftOffsets(Parsed& p, size_t from, bool inclusive, std::ptrdiff_t delta) {
    auto moved = [&](size_t& at) {
        if (at > from || (inclusive && at == from)) {
            at = static_cast<size_t>(static_cast<std::ptrdiff_t>(at) + delta);
        }
    };
    for (auto& [name, sec] : p.sections) {
        moved(sec.insertAt);
        for (auto& [keyName, k] : sec.keys) {
            moved(k.lineEnd);
            moved(k.valueBegin);
        }
    }
}

// Brings the parsed copy along with the edit instead of parsing the whole file again: in a
// manifest of tens of thousands of lines the parse costs several times the write.
void FollowEdit(Parsed& p, std::string_view section, std::string_view key, const Edit& e,
                const EditedLines& lines) {
    const Splice& sp = e.splice;
    const auto delta =
        static_cast<std::ptrdiff_t>(sp.insert.size()) - static_cast<std::ptrdiff_t>(sp.erase);
    switch (e.kind) {
        case EditKind::NewSection: {
            // The section that ended the file without a line break now has one.
            for (auto& [name, sec] : p.sections) {
                if (sec.insertAt == sp.at && sec.insertNeedsBreak) {
                    sec.insertAt += e.lead;
                    sec.insertNeedsBreak = false;
                }
            }
            Section added;
            added.insertAt = sp.at + sp.insert.size();
            added.keys.emplace(Fold(key), lines.key.key);
            p.sections.emplace(Fold(section), std::move(added));
            break;
        }
        case EditKind::NewKey: {
            ShiftOffsets(p, sp.at, false, delta);
            Section& s = p.sections.at(Fold(section));
            s.keys.emplace(Fold(key), lines.key.key);
            s.insertAt = sp.at + sp.insert.size();
            s.insertNeedsBreak = false;
            break;
        }
        case EditKind::AddValue:
        case EditKind::Replace:
            ShiftOffsets(p, sp.at + sp.erase, true, delta);
            p.sections.at(Fold(section)).keys.at(Fold(key)) = lines.key.key;
            break;
    }
    p.text.replace(sp.at, sp.erase, sp.insert);
    p.exists = true;
}

// Replaces the file by the concatenation of `pieces`.
bool WriteAtomically(const std::wstring& path, std::initializer_list<std::string_view> pieces) {
    // A kill between creating and renaming a temporary file leaves it behind; the first write
    // of the file in a run clears it. Once is enough: this process removes its own temporary
    // files, and the scan reads the whole folder, which may hold tens of thousands of files.
    if (Swept().insert(path).second) {
        fs::DeleteStaleTempsBeside(path);
    }
    std::wstring temp = fs::TempNameBeside(path);
    bool ok = false;
    {
        std::unique_ptr<fs::OutputFile> out = fs::CreateOutputFile(temp);
        if (out == nullptr) {
            return false;  // no directory, no rights: nothing was created
        }
        ok = true;
        for (std::string_view piece : pieces) {
            ok = ok && out->Write(std::as_bytes(std::span(piece.data(), piece.size())));
        }
        ok = ok && out->Flush();
    }  // closed before the rename, which Windows needs
    if (ok) {
        ok = fs::ReplaceFile(temp, path);
    }
    if (!ok) {
        fs::DeleteFile(temp);
    }
    return ok;
}

void Remember(const std::wstring& path, Parsed parsed) {
    CacheEntry e;
    e.stamp = fs::GetStamp(path);
    e.checkedChangeCount = fs::ChangeCount();
    e.checkedAt = std::chrono::steady_clock::now();
    e.parsed = std::move(parsed);
    Cache()[path] = std::move(e);
}

int32_t Lookup(const Parsed& p, std::string_view section, std::string_view key,
               std::string_view defaultValue, std::string& out, int32_t size) {
    if (p.exists) {
        auto sec = p.sections.find(Fold(Trim(section)));
        if (sec != p.sections.end()) {
            auto k = sec->second.keys.find(Fold(Trim(key)));
            if (k != sec->second.keys.end() && k->second.hasValue) {
                const Key& found = k->second;
                return Copy(std::string_view(p.text).substr(found.valueBegin,
                                                            found.lineEnd - found.valueBegin),
                            size, out);
            }
        }
    }
    while (!defaultValue.empty() && defaultValue.back() == ' ') {
        defaultValue.remove_suffix(1);
    }
    return Copy(defaultValue, size, out);
}

}  // namespace

int32_t GetString(std::string_view section, std::string_view key, std::string_view defaultValue,
                  std::string& out, int32_t size, const std::wstring& path) {
    std::lock_guard lock(cacheMutex);
    return Lookup(Get(path, false), section, key, defaultValue, out, size);
}

std::vector<std::string> KeyNames(std::string_view section, const std::wstring& path) {
    std::lock_guard lock(cacheMutex);
    const Parsed& p = Get(path, false);
    std::vector<std::string> out;
    const auto sec = p.sections.find(Fold(Trim(section)));
    if (!p.exists || sec == p.sections.end()) {
        return out;
    }
    for (const auto& [name, key] : sec->second.keys) {
        if (key.hasValue && key.valueBegin < key.lineEnd) {
            out.push_back(name);
        }
    }
    return out;
}

struct Text::Impl {
    Parsed parsed;
};

Text::Text(std::string bytes)
    : impl_(std::make_shared<const Impl>(Impl{Parse(std::move(bytes), true)})) {}

int32_t Text::GetString(std::string_view section, std::string_view key,
                        std::string_view defaultValue, std::string& out, int32_t size) const {
    return Lookup(impl_->parsed, section, key, defaultValue, out, size);
}

bool WriteString(std::string_view section, std::string_view key, std::string_view value,
                 const std::wstring& path) {
    section = Trim(section);
    key = Trim(key);
    value = TrimLeft(value);
    if (Unwritable(section, key, value)) {
        return false;
    }
    std::lock_guard lock(cacheMutex);
    Get(path, true);
    Parsed& p = Cache().at(path).parsed;
    std::optional<Edit> edit = PlanEdit(p, section, key, value);
    if (!edit) {
        return true;
    }
    // Any other shape that would not read back (a key starting with a byte-order mark as the
    // first line, for one) is caught here, before the file is touched. Only the edited line
    // can change meaning, so only it is parsed.
    const EditedLines lines = ParseEditedLines(p, *edit);
    if (lines.key.kind != Line::Kind::Key || lines.key.name != Fold(key) ||
        !lines.key.key.hasValue ||
        (lines.header &&
         (lines.header->kind != Line::Kind::Header || lines.header->name != Fold(section)))) {
        return false;
    }
    const Splice& sp = edit->splice;
    const std::string_view text = p.text;
    if (!WriteAtomically(path, {text.substr(0, sp.at), sp.insert, text.substr(sp.at + sp.erase)})) {
        Cache().erase(path);
        return false;
    }
    FollowEdit(p, section, key, *edit, lines);
    if (!Holds(p, section, key, value)) {
        // Cannot happen when the line parsed as above; the file on disk decides.
        Cache().erase(path);
        return false;
    }
    CacheEntry& e = Cache().at(path);
    e.stamp = fs::GetStamp(path);
    e.checkedChangeCount = fs::ChangeCount();
    e.checkedAt = std::chrono::steady_clock::now();
    return true;
}

namespace {

using Chosen = std::vector<std::pair<std::string_view, std::string_view>>;

// The last value of a key wins; new keys go in the order they first came. Nothing when any
// entry cannot be written.
std::optional<Chosen> ChooseEntries(std::string_view section,
                                    std::span<const std::pair<std::string, std::string>> entries) {
    Chosen chosen;
    std::unordered_map<std::string, size_t> index;
    for (const auto& [rawKey, rawValue] : entries) {
        std::string_view key = Trim(rawKey);
        std::string_view value = TrimLeft(rawValue);
        if (Unwritable(section, key, value)) {
            return std::nullopt;
        }
        auto [it, added] = index.try_emplace(Fold(key), chosen.size());
        if (added) {
            chosen.emplace_back(key, value);
        } else {
            chosen[it->second].second = value;
        }
    }
    return chosen;
}

// Keys the section lacks go, as one block, at the section's end (or in a new section).
Splice NewKeysBlock(const Parsed& p, std::string_view section, const std::string& lines) {
    Splice block;
    block.rank = 1;
    auto sec = p.sections.find(Fold(section));
    if (sec == p.sections.end()) {
        block.at = p.text.size();
        if (!p.text.empty() && p.text.back() != '\n' && p.text.back() != '\r') {
            block.insert = p.lineBreak;
        }
        block.insert.append("[").append(section).append("]").append(p.lineBreak);
    } else {
        block.at = sec->second.insertAt;
        if (sec->second.insertNeedsBreak) {
            block.insert = p.lineBreak;
        }
    }
    block.insert.append(lines);
    return block;
}

std::vector<Splice> PlanSplices(const Parsed& p, std::string_view section, const Chosen& chosen) {
    std::vector<Splice> splices;
    std::string added;
    for (const auto& [key, value] : chosen) {
        std::optional<Edit> edit = PlanEdit(p, section, key, value);
        if (!edit) {
            continue;
        }
        if (edit->kind == EditKind::NewSection || edit->kind == EditKind::NewKey) {
            added.append(key).append("=").append(value).append(p.lineBreak);
        } else {
            splices.push_back(std::move(edit->splice));
        }
    }
    if (!added.empty()) {
        splices.push_back(NewKeysBlock(p, section, added));
    }
    return splices;
}

std::string ApplySplices(const std::string& text, std::vector<Splice> splices) {
    std::sort(splices.begin(), splices.end(), [](const Splice& a, const Splice& b) {
        return a.at != b.at ? a.at < b.at : a.rank < b.rank;
    });
    std::string content;
    content.reserve(text.size() + 96 * splices.size());
    size_t copied = 0;
    for (const Splice& sp : splices) {
        content.append(text, copied, sp.at - copied).append(sp.insert);
        copied = sp.at + sp.erase;
    }
    content.append(text, copied);
    return content;
}

}  // namespace

bool WriteStrings(std::string_view section,
                  std::span<const std::pair<std::string, std::string>> entries,
                  const std::wstring& path) {
    section = Trim(section);
    std::optional<Chosen> chosen = ChooseEntries(section, entries);
    if (!chosen) {
        return false;
    }
    std::lock_guard lock(cacheMutex);
    const Parsed& p = Get(path, true);
    std::vector<Splice> splices = PlanSplices(p, section, *chosen);
    if (splices.empty()) {
        return true;
    }
    // Once per batch the whole result is parsed: every key must read back.
    Parsed edited = Parse(ApplySplices(p.text, std::move(splices)), true);
    for (const auto& [key, value] : *chosen) {
        if (!Holds(edited, section, key, value)) {
            return false;
        }
    }
    if (!WriteAtomically(path, {edited.text})) {
        Cache().erase(path);
        return false;
    }
    Remember(path, std::move(edited));
    return true;
}

std::string LookupName(std::string_view name) {
    return Fold(Trim(name));
}

std::optional<std::string> StoredForm(std::string_view value, int32_t size) {
    if (HasLineBreakOrNul(value)) {
        return std::nullopt;
    }
    // The writer drops blanks before the value and the reader those after the line.
    auto readsBack = [&](std::string_view stored) {
        std::string out;
        Copy(Trim(stored), size, out);
        return out == value;
    };
    if (readsBack(value)) {
        return std::string(value);
    }
    std::string quoted = "\"";
    quoted.append(value).append("\"");
    if (readsBack(quoted)) {
        return quoted;
    }
    return std::nullopt;
}

void ClearCache() {
    std::lock_guard lock(cacheMutex);
    Cache().clear();
    Swept().clear();
}

}  // namespace vt::profile
