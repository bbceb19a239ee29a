#include "app/Profile.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>

#include "app/FileSystem.h"

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

        std::string_view line = all.substr(begin, contentEnd - begin);
        std::string_view trimmed = Trim(line);
        if (trimmed.empty()) {
            continue;
        }
        size_t lineBegin = static_cast<size_t>(trimmed.data() - all.data());
        size_t lineEnd = lineBegin + trimmed.size();

        if (trimmed.front() == '[') {
            size_t close = trimmed.rfind(']');
            if (close != std::string_view::npos) {
                std::string name = Fold(Trim(trimmed.substr(1, close - 1)));
                auto [it, added] = p.sections.try_emplace(std::move(name));
                ignored.keys.clear();
                current = added ? &it->second : &ignored;
                current->insertAt = afterOneBreak;
                current->insertNeedsBreak = afterOneBreak == contentEnd;
                continue;
            }
        }

        Key key;
        key.lineEnd = lineEnd;
        size_t eq = trimmed.find('=');
        std::string_view name = trimmed;
        if (eq != std::string_view::npos) {
            name = Trim(trimmed.substr(0, eq));
            std::string_view value = TrimLeft(trimmed.substr(eq + 1));
            key.hasValue = true;
            key.valueBegin = static_cast<size_t>(value.data() - all.data());
        }
        current->keys.try_emplace(Fold(name), key);
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

// The new content of the file, or nothing when the value is already there.
std::optional<std::string> Edit(const Parsed& p, std::string_view section, std::string_view key,
                                std::string_view value) {
    const std::string& text = p.text;
    auto sec = p.sections.find(Fold(section));
    if (sec == p.sections.end()) {
        std::string out = text;
        if (!out.empty() && out.back() != '\n' && out.back() != '\r') {
            out += p.lineBreak;
        }
        out.append("[").append(section).append("]").append(p.lineBreak);
        out.append(key).append("=").append(value).append(p.lineBreak);
        return out;
    }
    auto k = sec->second.keys.find(Fold(key));
    if (k == sec->second.keys.end()) {
        std::string line;
        const Section& s = sec->second;
        if (s.insertNeedsBreak) {
            line += p.lineBreak;
        }
        line.append(key).append("=").append(value).append(p.lineBreak);
        std::string out = text;
        out.insert(s.insertAt, line);
        return out;
    }
    const Key& found = k->second;
    if (!found.hasValue) {
        std::string out = text;
        std::string assignment = "=";
        assignment.append(value);
        out.insert(found.lineEnd, assignment);
        return out;
    }
    std::string_view old(text.data() + found.valueBegin, found.lineEnd - found.valueBegin);
    if (old == value) {
        return std::nullopt;
    }
    std::string out = text;
    out.replace(found.valueBegin, found.lineEnd - found.valueBegin, value);
    return out;
}

// Moves every offset at or after `from` by `delta`.
void ShiftOffsets(Parsed& p, size_t from, std::ptrdiff_t delta) {
    auto moved = [&](size_t& at) {
        if (at >= from) {
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

// Brings the parsed copy along with the edit Edit made, instead of parsing the whole file
// again: in a manifest of tens of thousands of lines the parse costs several times the
// write. Only a changed value or a key added to a present section are followed, and only
// when the line parses exactly as written; false leaves the caller to parse.
bool FollowEdit(Parsed& p, std::string_view section, std::string_view key, std::string_view value,
                std::string& content) {
    if (value.empty() || IsBlank(value.back())) {
        return false;
    }
    auto sec = p.sections.find(Fold(section));
    if (sec == p.sections.end()) {
        return false;
    }
    Section& s = sec->second;
    const std::string folded = Fold(key);
    auto k = s.keys.find(folded);
    if (k != s.keys.end()) {
        if (!k->second.hasValue) {
            return false;
        }
        const size_t oldEnd = k->second.lineEnd;
        const std::ptrdiff_t delta = static_cast<std::ptrdiff_t>(value.size()) -
                                     static_cast<std::ptrdiff_t>(oldEnd - k->second.valueBegin);
        const size_t valueBegin = k->second.valueBegin;
        ShiftOffsets(p, oldEnd, delta);
        k->second.valueBegin = valueBegin;
        k->second.lineEnd = valueBegin + value.size();
    } else {
        const size_t at = s.insertAt;
        const size_t lead = s.insertNeedsBreak ? p.lineBreak.size() : 0;
        const size_t length = lead + key.size() + 1 + value.size() + p.lineBreak.size();
        ShiftOffsets(p, at, static_cast<std::ptrdiff_t>(length));
        Key added;
        added.hasValue = true;
        added.lineEnd = at + lead + key.size() + 1 + value.size();
        added.valueBegin = added.lineEnd - value.size();
        s.keys.emplace(folded, added);
        s.insertNeedsBreak = false;
    }
    p.text = std::move(content);
    return true;
}

bool WriteAtomically(const std::wstring& path, const std::string& content) {
    // A kill between creating and renaming a temporary file leaves it behind; the next write
    // of the same file clears it.
    fs::DeleteStaleTempsBeside(path);
    std::wstring temp = fs::TempNameBeside(path);
    bool ok = false;
    {
        std::unique_ptr<fs::OutputFile> out = fs::CreateOutputFile(temp);
        if (out == nullptr) {
            return false;  // no directory, no rights: nothing was created
        }
        ok = out->Write(std::as_bytes(std::span(content.data(), content.size()))) && out->Flush();
    }  // closed before the rename, which Windows needs
    if (ok) {
        ok = fs::ReplaceFile(temp, path);
    }
    if (!ok) {
        fs::DeleteFile(temp);
    }
    return ok;
}

}  // namespace

int32_t GetString(std::string_view section, std::string_view key, std::string_view defaultValue,
                  std::string& out, int32_t size, const std::wstring& path) {
    std::lock_guard lock(cacheMutex);
    const Parsed& p = Get(path, false);
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

bool WriteString(std::string_view section, std::string_view key, std::string_view value,
                 const std::wstring& path) {
    section = Trim(section);
    key = Trim(key);
    value = TrimLeft(value);
    // A line break would split the line and plant other keys; '=' in a key, or a key that
    // looks like a header, could never be read back.
    if (HasLineBreakOrNul(section) || HasLineBreakOrNul(key) || HasLineBreakOrNul(value) ||
        key.find('=') != std::string_view::npos ||
        (key.starts_with('[') && key.find(']') != std::string_view::npos)) {
        return false;
    }
    std::lock_guard lock(cacheMutex);
    const Parsed& p = Get(path, true);
    std::optional<std::string> content = Edit(p, section, key, value);
    if (!content) {
        return true;
    }
    if (!WriteAtomically(path, *content)) {
        Cache().erase(path);
        return false;
    }
    CacheEntry e;
    e.stamp = fs::GetStamp(path);
    e.checkedChangeCount = fs::ChangeCount();
    e.checkedAt = std::chrono::steady_clock::now();
    CacheEntry& cached = Cache()[path];
    if (cached.parsed.exists && FollowEdit(cached.parsed, section, key, value, *content)) {
        e.parsed = std::move(cached.parsed);
    } else {
        e.parsed = Parse(std::move(*content), true);
    }
    cached = std::move(e);
    return true;
}

void ClearCache() {
    std::lock_guard lock(cacheMutex);
    Cache().clear();
}

}  // namespace vt::profile
