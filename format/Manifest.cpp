#include "format/Manifest.h"

#include <algorithm>
#include <stdexcept>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/ModGame.h"
#include "base/NumberText.h"
#include "base/Profile.h"
#include "format/Sets.h"

namespace vt {

ManifestEntry ParseManifestEntry(std::string_view entry) {
    const size_t colon = entry.find(':');
    if (colon == std::string_view::npos) {
        RaiseInvalidArgument(L"manifest entry without ':'");
    }
    return {FromCp949(entry.substr(0, colon)), std::string(entry.substr(colon + 1))};
}

bool IsManifestCount(std::string_view count) {
    if (!count.empty() && (count.front() == '+' || count.front() == '-')) {
        count.remove_prefix(1);
    }
    bool digit = false;
    bool point = false;
    for (char c : count) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    return digit;
}

bool IsManifest(const std::wstring& path, const std::wstring& section) {
    // A key is only found inside its section, so a count that is a number proves both.
    return IsManifestCount(ReadProfileBytes(section, L"count", path));
}

namespace {

std::string ReadValue(const profile::Text& text, std::string_view section, std::string_view key) {
    std::string out;
    out.resize(static_cast<size_t>(text.GetString(section, key, "", out, kProfileBufferSize)));
    return out;
}

// The launcher's count: Val of the value, rounded to 16 bits; nothing where it fails.
std::optional<int16_t> CountOf(std::string_view countText) {
    if (!IsManifestCount(countText)) {
        return std::nullopt;
    }
    try {
        return ToInt16Bankers(Val(FromCp949(countText)));
    } catch (const AppError&) {
        return std::nullopt;
    }
}

void AppendHeader(std::string& out, const std::wstring& section) {
    out.append("[").append(ToCp949(section)).append("]\r\n");
}

void AppendLine(std::string& out, std::string_view key, std::string_view value) {
    out.append(key).append("=").append(value).append("\r\n");
}

}  // namespace

ManifestReading ReadManifest(std::string bytes, const std::wstring& section) {
    const profile::Text text(std::move(bytes));
    const std::string sectionBytes = ToCp949(section);
    const std::string pinsSection = ToCp949(section + L".pins");
    ManifestReading reading;
    reading.countText = ReadValue(text, sectionBytes, "count");
    reading.count = CountOf(reading.countText);
    for (int32_t i = 1; i <= reading.count.value_or(0); ++i) {
        ManifestLine line;
        line.index = i;
        line.text = ReadValue(text, sectionBytes, std::to_string(i));
        if (line.text.find(':') != std::string::npos) {
            line.entry = ParseManifestEntry(line.text);
            line.pinText = ReadValue(text, pinsSection, ToCp949(line.entry->name));
            line.pin = ParsePin(line.pinText);
        }
        reading.lines.push_back(std::move(line));
    }
    return reading;
}

std::optional<Manifest> ParseManifest(std::string bytes, const std::wstring& section) {
    ManifestReading reading = ReadManifest(std::move(bytes), section);
    if (!reading.count || *reading.count > format::kMaxEntries) {
        return std::nullopt;
    }
    Manifest manifest{section, {}};
    for (ManifestLine& line : reading.lines) {
        if (!line.entry) {
            return std::nullopt;
        }
        manifest.entries.push_back(
            {std::move(line.entry->name), std::move(line.entry->version), line.pin});
    }
    return manifest;
}

std::string WriteManifest(const Manifest& manifest) {
    if (manifest.entries.size() > static_cast<size_t>(format::kMaxEntries)) {
        throw std::invalid_argument("more manifest entries than the launcher counts");
    }
    std::string out;
    AppendHeader(out, manifest.section);
    AppendLine(out, "count", std::to_string(manifest.entries.size()));
    size_t i = 0;
    bool pinned = false;
    for (const Manifest::Entry& e : manifest.entries) {
        AppendLine(out, std::to_string(++i), ToCp949(e.name) + ":" + e.version);
        pinned = pinned || e.pin;
    }
    if (pinned) {
        out.append("\r\n");
        AppendHeader(out, manifest.section + L".pins");
        for (const Manifest::Entry& e : manifest.entries) {
            if (e.pin) {
                AppendLine(out, ToCp949(e.name), PinText(*e.pin));
            }
        }
    }
    // Read back by the launcher's rules: whatever it would read otherwise is never written.
    if (ParseManifest(out, manifest.section) != manifest) {
        throw std::invalid_argument("a manifest entry the launcher would not read back as written");
    }
    return out;
}

}  // namespace vt
