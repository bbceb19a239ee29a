// The profile engine: a write the engine accepts reads back exactly, every other key of the
// file keeps its value, and a write it refuses leaves the file as it was.
// Input: the file's bytes, NUL, section, NUL, key, NUL, value (with fewer separators the front
// parts are empty).
#include <string>
#include <vector>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "fuzz/FuzzSupport.h"

namespace vt::fuzz {
namespace {

struct Case {
    std::string text;
    std::string section, key, value;
};

Case Read(std::string_view input) {
    // Only the last three separators split: the file keeps its own NUL bytes.
    std::string_view fields[3];
    for (int i = 2; i >= 0; --i) {
        size_t at = input.rfind('\0');
        if (at == std::string_view::npos) {
            fields[i] = input;
            input = {};
            break;
        }
        fields[i] = input.substr(at + 1);
        input = input.substr(0, at);
    }
    return {std::string(input), std::string(fields[0]), std::string(fields[1]),
            std::string(fields[2])};
}

using Names = std::vector<std::pair<std::string, std::string>>;

std::vector<std::string> ReadAll(const Names& names, const std::wstring& path) {
    std::vector<std::string> values;
    for (const auto& [section, key] : names) {
        values.push_back(ReadKey(section, key, path));
    }
    return values;
}

// Every key but the written one reads as before, from the cache and from the disk.
void CheckOthers(const Names& names, const std::vector<std::string>& before,
                 std::string_view section, std::string_view key, const std::wstring& path) {
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < names.size(); ++i) {
            if (SameProfileName(names[i].first, section) && SameProfileName(names[i].second, key)) {
                continue;
            }
            Check(ReadKey(names[i].first, names[i].second, path) == before[i],
                  pass == 0 ? "a write changed another key" : "another key changed on disk",
                  "[" + Shown(names[i].first) + "] " + Shown(names[i].second) + " was " +
                      Shown(before[i]) + ", is " +
                      Shown(ReadKey(names[i].first, names[i].second, path)));
        }
        profile::ClearCache();
    }
}

void WriteBytes(const Case& c, const std::wstring& path) {
    WriteRaw(path, c.text);
    const Names names = ProfileNames(c.text);
    const std::vector<std::string> before = ReadAll(names, path);
    const std::wstring section = FromCp949(c.section);
    const std::wstring key = FromCp949(c.key);
    try {
        WriteProfileBytes(section, key, c.value, path);
    } catch (const AppError&) {
        Check(ReadRaw(path) == c.text, "a refused write changed the file");
        return;
    }
    Check(ProfileCanRecord(c.value), "WriteProfileBytes stored what ProfileCanRecord refuses");
    Check(ReadProfileBytes(section, key, path) == c.value, "bytes written do not read back",
          Shown(c.value) + " reads " + Shown(ReadProfileBytes(section, key, path)));
    profile::ClearCache();
    Check(ReadProfileBytes(section, key, path) == c.value, "bytes written do not read from disk");
    CheckOthers(names, before, ToCp949(section), ToCp949(key), path);
}

void WriteText(const Case& c, const std::wstring& path) {
    WriteRaw(path, c.text);
    const Names names = ProfileNames(c.text);
    const std::vector<std::string> before = ReadAll(names, path);
    const std::wstring section = FromCp949(c.section);
    const std::wstring key = FromCp949(c.key);
    const std::wstring value = FromCp949(c.value);
    try {
        WriteProfileValue(section, key, value, path);
    } catch (const AppError&) {
        Check(ReadRaw(path) == c.text, "a refused write changed the file");
        return;
    }
    // A plain write keeps the loader's rules: only a value that reads back as itself must.
    const std::string stored = ToCp949(value);
    if (profile::StoredForm(stored, kProfileBufferSize) == stored) {
        Check(ReadProfileValue(section, key, path) == FromCp949(stored),
              "a value written does not read back",
              Shown(value) + " reads " + Shown(ReadProfileValue(section, key, path)));
    }
    CheckOthers(names, before, ToCp949(section), ToCp949(key), path);
}

}  // namespace
}  // namespace vt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vt::fuzz;
    const Case c = Read(AsBytes(data, size));
    const std::wstring path = ScratchDir() + L"profile.ini";
    WriteBytes(c, path);
    WriteText(c, path);
    return 0;
}
