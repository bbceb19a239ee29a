#pragma once
// Reading a set's manifest from the patch server: "[section]", "count=N" and entries
// "i=name:version". The server is reached over plain HTTP, so every byte may be hostile.

#include <string>
#include <string_view>

namespace vt {

struct ManifestEntry {
    std::wstring name;    // code page 949 decoded: it becomes a path, a URL and a profile key
    std::string version;  // the server's bytes, compared and recorded as they are
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

}  // namespace vt
