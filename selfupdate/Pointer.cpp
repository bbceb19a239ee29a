#include "selfupdate/Pointer.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace vt::selfupdate {
namespace {

// The starter has no versioned file: its section holds empty values ("nothing current").
void AddRef(std::string& text, const char* section, const LauncherRef& ref) {
    const bool starter = ref.IsStarter();
    text += std::string("[") + section + "]\r\n";
    text += "serial=" + (starter ? std::string() : std::to_string(ref.serial)) + "\r\n";
    text += "size=" + (starter ? std::string() : std::to_string(ref.identity.size)) + "\r\n";
    text += "sha256=" + (starter ? std::string() : DigestHex(ref.identity.sha256)) + "\r\n";
    text += "game=" + ref.game + "\r\n";
}

std::optional<uint64_t> Number(std::string_view text) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// "section.key" to value.
using Values = std::map<std::string, std::string, std::less<>>;

std::optional<LauncherRef> RefOf(const Values& values, const std::string& section) {
    const auto at = [&](const char* key) -> const std::string* {
        const auto found = values.find(section + "." + key);
        return found == values.end() ? nullptr : &found->second;
    };
    const std::string* serial = at("serial");
    const std::string* size = at("size");
    const std::string* sha = at("sha256");
    const std::string* game = at("game");
    if (!serial || !size || !sha || !game) {
        return std::nullopt;
    }
    LauncherRef ref;
    ref.game = *game;
    if (serial->empty() && size->empty() && sha->empty()) {
        return ref;  // the starter
    }
    const auto serialValue = Number(*serial);
    const auto sizeValue = Number(*size);
    const auto digest = ParseDigestHex(*sha);
    if (!serialValue || *serialValue == 0 || !sizeValue || *sizeValue == 0 || !digest) {
        return std::nullopt;
    }
    ref.serial = *serialValue;
    ref.identity = {*sizeValue, *digest};
    return ref;
}

std::optional<std::vector<uint64_t>> SerialsOf(std::string_view text) {
    std::vector<uint64_t> serials;
    while (!text.empty()) {
        const std::size_t blank = text.find(' ');
        const auto serial = Number(text.substr(0, blank));
        if (!serial) {
            return std::nullopt;
        }
        serials.push_back(*serial);
        text = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
    }
    return serials;
}

std::optional<Values> LinesOf(std::string_view text) {
    Values values;
    std::string section;
    while (!text.empty()) {
        const std::size_t end = text.find("\r\n");
        if (end == std::string_view::npos) {
            return std::nullopt;  // a torn last line: not a whole pointer
        }
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 2);
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            section = std::string(line.substr(1, line.size() - 2));
            continue;
        }
        const std::size_t equals = line.find('=');
        if (section.empty() || equals == std::string_view::npos ||
            line.find('\n') != std::string_view::npos ||
            !values
                 .emplace(section + "." + std::string(line.substr(0, equals)),
                          line.substr(equals + 1))
                 .second) {
            return std::nullopt;
        }
    }
    return values;
}

}  // namespace

bool Pointer::Failed(uint64_t serial) const {
    return std::find(failed.begin(), failed.end(), serial) != failed.end();
}

std::string PointerText(const Pointer& pointer) {
    std::string text;
    AddRef(text, "current", pointer.current);
    if (pointer.HasPrevious()) {
        AddRef(text, "previous", pointer.previous);
    }
    std::string failed;
    for (uint64_t serial : pointer.failed) {
        if (!failed.empty()) {
            failed += ' ';
        }
        failed += std::to_string(serial);
    }
    text += "[failed]\r\nserials=" + failed + "\r\n";
    return text;
}

std::optional<Pointer> ReadPointer(std::string_view text) {
    const std::optional<Values> values = LinesOf(text);
    if (!values) {
        return std::nullopt;
    }
    Pointer pointer;
    const std::optional<LauncherRef> current = RefOf(*values, "current");
    const auto failed = values->find("failed.serials");
    if (!current || failed == values->end()) {
        return std::nullopt;
    }
    pointer.current = *current;
    if (values->contains("previous.serial")) {
        const std::optional<LauncherRef> previous = RefOf(*values, "previous");
        if (!previous) {
            return std::nullopt;
        }
        pointer.previous = *previous;
    }
    const auto serials = SerialsOf(failed->second);
    if (!serials) {
        return std::nullopt;
    }
    pointer.failed = *serials;
    return pointer;
}

}  // namespace vt::selfupdate
