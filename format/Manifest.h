#pragma once
// A set's manifest: "[section]", "count=N" and entries "i=name:version"; in a signed patch also
// "[section.pins]" with "name=size,sha256" for every entry. Read by the launcher's own profile
// rules; the server is reached over plain HTTP, so every byte may be hostile.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/Pin.h"

namespace vt {

struct ManifestEntry {
    std::wstring name;    // code page 949 decoded: it becomes a path, a URL and a profile key
    std::string version;  // the server's bytes, compared and recorded as they are
    bool operator==(const ManifestEntry&) const = default;
};

// Splits one entry, as the profile read hands it out, at its first ':' byte (':' is never the
// second byte of a code page 949 character). Blanks beside the colon belong to name and
// version. An entry without a colon (a gap in the numbering reads as empty) is an invalid
// argument.
ManifestEntry ParseManifestEntry(std::string_view entry);

// Whether a count value is a number: an optional sign and decimal digits with at most one
// point, nothing else (the profile read has already dropped blanks and quotes around it).
bool IsManifestCount(std::string_view count);

// Whether the file at `path` is the manifest of `section` rather than whatever else a server
// or a proxy answered with "200" (an error page, say). Deliberately narrow: the section must
// be there with a count key that is a number (IsManifestCount); count=0 is a manifest.
bool IsManifest(const std::wstring& path, const std::wstring& section);

// One numbered line as the launcher's read hands it out.
struct ManifestLine {
    int32_t index = 0;
    std::string text;                    // the value's bytes; empty for a gap in the numbering
    std::optional<ManifestEntry> entry;  // nothing without a ':' (a gap included)
    std::string pinText;                 // the name's value in [section.pins]
    std::optional<Pin> pin;
};

// Everything the launcher reads from a manifest, problems included.
struct ManifestReading {
    std::string countText;         // [section] count as read
    std::optional<int16_t> count;  // nothing when countText is no number or overflows 16 bits
    // 1 to count, in order; beyond format::kMaxEntries too (the launcher fetches entry 32767
    // before its counter overflows).
    std::vector<ManifestLine> lines;
};
ManifestReading ReadManifest(std::string bytes, const std::wstring& section);

// A manifest as a value: its entries in file order, with their pins in a signed patch.
struct Manifest {
    struct Entry {
        std::wstring name;
        std::string version;
        std::optional<Pin> pin;
        bool operator==(const Entry&) const = default;
    };
    std::wstring section;
    std::vector<Entry> entries;
    bool operator==(const Manifest&) const = default;
};

// Nothing unless the launcher takes the bytes for a whole manifest of `section`: a count that
// is a number it can count to, and a name and version in every line up to it.
std::optional<Manifest> ParseManifest(std::string bytes, const std::wstring& section);

// The manifest's bytes: code page 949, CR LF lines, [section.pins] when an entry has a pin.
// What the launcher would refuse or read back otherwise (a name code page 949 cannot hold or
// with a ':', a pin of an empty file, more entries than it counts) is an invalid argument.
std::string WriteManifest(const Manifest& manifest);

}  // namespace vt
