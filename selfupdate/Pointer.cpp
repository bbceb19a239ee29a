#include "selfupdate/Pointer.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace vt::selfupdate {
namespace {

constexpr std::string_view kHeader = "[launcher]";
constexpr std::string_view kPrevious = "previous-";

void AddRef(std::string& text, std::string_view prefix, const LauncherRef& ref) {
    const std::string p(prefix);
    text += p + "serial=" + std::to_string(ref.serial) + "\r\n";
    text += p + "size=" + std::to_string(ref.identity.size) + "\r\n";
    text += p + "sha256=" + (ref.IsStarter() ? "" : DigestHex(ref.identity.sha256)) + "\r\n";
    text += p + "game=" + ref.game + "\r\n";
}

std::optional<uint64_t> Number(std::string_view text) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

using Values = std::map<std::string, std::string, std::less<>>;

std::optional<LauncherRef> RefOf(const Values& values, const std::string& prefix) {
    const auto at = [&](const char* key) -> const std::string* {
        const auto found = values.find(prefix + key);
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
    const auto serialValue = Number(*serial);
    const auto sizeValue = Number(*size);
    if (!serialValue || !sizeValue) {
        return std::nullopt;
    }
    ref.serial = *serialValue;
    ref.identity.size = *sizeValue;
    ref.game = *game;
    if (ref.IsStarter() != sha->empty()) {
        return std::nullopt;
    }
    if (!sha->empty()) {
        const auto digest = ParseDigestHex(*sha);
        if (!digest) {
            return std::nullopt;
        }
        ref.identity.sha256 = *digest;
    }
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
    bool header = false;
    while (!text.empty()) {
        const std::size_t end = text.find("\r\n");
        if (end == std::string_view::npos) {
            return std::nullopt;  // a torn last line: not a whole pointer
        }
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 2);
        if (!header) {
            if (line != kHeader) {
                return std::nullopt;
            }
            header = true;
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || line.find('\n') != std::string_view::npos ||
            !values.emplace(std::string(line.substr(0, equals)), line.substr(equals + 1)).second) {
            return std::nullopt;
        }
    }
    return header ? std::optional(values) : std::nullopt;
}

}  // namespace

bool Pointer::Failed(uint64_t serial) const {
    return std::find(failed.begin(), failed.end(), serial) != failed.end();
}

std::string PointerText(const Pointer& pointer) {
    std::string text = std::string(kHeader) + "\r\n";
    AddRef(text, "", pointer.current);
    if (pointer.HasPrevious()) {
        AddRef(text, kPrevious, pointer.previous);
    }
    std::string failed;
    for (uint64_t serial : pointer.failed) {
        if (!failed.empty()) {
            failed += ' ';
        }
        failed += std::to_string(serial);
    }
    text += "failed=" + failed + "\r\n";
    return text;
}

std::optional<Pointer> ReadPointer(std::string_view text) {
    const std::optional<Values> values = LinesOf(text);
    if (!values) {
        return std::nullopt;
    }
    Pointer pointer;
    const std::optional<LauncherRef> current = RefOf(*values, "");
    const auto failed = values->find("failed");
    if (!current || failed == values->end()) {
        return std::nullopt;
    }
    pointer.current = *current;
    if (values->contains(std::string(kPrevious) + "serial")) {
        const std::optional<LauncherRef> previous = RefOf(*values, std::string(kPrevious));
        if (!previous || previous->serial == 0) {
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
