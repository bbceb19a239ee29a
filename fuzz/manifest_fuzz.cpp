// Manifest parsing: an entry splits at its first ':' byte, name and version give the entry
// back, an entry without ':' is error 5; a count is a number exactly when it has the shape of
// one; any file can be asked whether it is a manifest, and reads in memory as from the file.
// Input: one entry line, then NUL, then a manifest file's bytes.
#include <optional>
#include <stdexcept>
#include <string>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "format/Manifest.h"
#include "fuzz/FuzzSupport.h"

namespace vt::fuzz {
namespace {

void Entry(std::string_view entry) {
    const size_t colon = entry.find(':');
    ManifestEntry parsed;
    try {
        parsed = ParseManifestEntry(entry);
    } catch (const AppError& e) {
        Check(colon == std::string_view::npos && e.Code() == ErrorNumber::InvalidArgument,
              "an entry was refused unlike one without ':'", Shown(entry));
        return;
    }
    Check(colon != std::string_view::npos, "an entry without ':' was split", Shown(entry));
    Check(parsed.name.find(L':') == std::wstring::npos, "a name holds ':'", Shown(entry));
    Check(parsed.version == entry.substr(colon + 1), "the version is not the bytes after ':'",
          Shown(entry));
    const std::string_view nameBytes = entry.substr(0, colon);
    if (FromCp949(ToCp949(FromCp949(nameBytes))) == FromCp949(nameBytes) &&
        ToCp949(FromCp949(nameBytes)) == nameBytes) {
        Check(ToCp949(parsed.name) + ":" + parsed.version == entry,
              "name and version do not give the entry back", Shown(entry));
    }
}

// An optional sign, digits with at most one point among them, at least one digit.
bool LooksLikeCount(std::string_view text) {
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        text.remove_prefix(1);
    }
    const size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    auto digits = [](std::string_view part) {
        return part.find_first_not_of("0123456789") == std::string_view::npos;
    };
    return digits(whole) && digits(fraction) && whole.size() + fraction.size() > 0;
}

void File(std::string_view bytes) {
    const std::wstring path = ScratchDir() + L"manifest.ini";
    WriteRaw(path, bytes);
    const bool isManifest = IsManifest(path, L"sound");
    const std::string count = ReadKey("sound", "count", path);
    Check(isManifest == IsManifestCount(count), "IsManifest disagrees with its count",
          Shown(count));
    Check(IsManifestCount(count) == LooksLikeCount(count),
          "a count was judged by its shape wrongly", Shown(count));
    // The bytes read in memory as the launcher reads the file; a whole manifest is written
    // back as itself or refused.
    const ManifestReading reading = ReadManifest(std::string(bytes), L"sound");
    Check(reading.countText == count, "the count read in memory differs", Shown(count));
    for (size_t i = 0; i < reading.lines.size() && i < 8; ++i) {
        const std::string key = std::to_string(reading.lines[i].index);
        Check(reading.lines[i].text == ReadKey("sound", key, path),
              "an entry read in memory differs", Shown(key));
    }
    if (const std::optional<Manifest> manifest = ParseManifest(std::string(bytes), L"sound")) {
        try {
            Check(ParseManifest(WriteManifest(*manifest), L"sound") == manifest,
                  "a written manifest reads back otherwise", Shown(bytes));
        } catch (const std::invalid_argument&) {
        }
    }
    // A first section that is the set's, with a count of digits, is a manifest whatever follows.
    WriteRaw(path, "[Sound]\r\ncount=12\r\n" + std::string(bytes));
    Check(IsManifest(path, L"sound"), "a manifest followed by other bytes was not one",
          Shown(bytes));
}

}  // namespace
}  // namespace vt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vt::fuzz;
    const std::string_view input = AsBytes(data, size);
    const size_t cut = input.find('\0');
    Entry(input.substr(0, cut));
    Check(vt::IsManifestCount(input.substr(0, cut)) == LooksLikeCount(input.substr(0, cut)),
          "a count was judged by its shape wrongly", Shown(input.substr(0, cut)));
    if (cut != std::string_view::npos) {
        File(input.substr(cut + 1));
    }
    return 0;
}
