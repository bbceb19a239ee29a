#include "launcher/HandOverArgs.h"

#include <algorithm>
#include <vector>

namespace vt {
namespace {

// The words after the program's name, quoted or not; no quotes inside the words we read.
std::vector<std::wstring_view> Words(std::wstring_view line) {
    std::size_t i = 0;
    if (!line.empty() && line[0] == L'"') {
        const std::size_t close = line.find(L'"', 1);
        i = close == std::wstring_view::npos ? line.size() : close + 1;
    } else {
        i = std::min(line.find_first_of(L" \t"), line.size());
    }
    std::vector<std::wstring_view> words;
    while (i < line.size()) {
        const std::size_t start = line.find_first_not_of(L" \t", i);
        if (start == std::wstring_view::npos) {
            break;
        }
        const std::size_t end = std::min(line.find_first_of(L" \t", start), line.size());
        words.push_back(line.substr(start, end - start));
        i = end;
    }
    return words;
}

std::optional<uint64_t> Number(std::wstring_view word) {
    if (word.empty() || word.size() > 19) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (wchar_t c : word) {
        if (c < L'0' || c > L'9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    return value;
}

}  // namespace

std::optional<std::array<uint64_t, 3>> HandOverArguments(std::wstring_view commandLine) {
    const std::vector<std::wstring_view> words = Words(commandLine);
    for (std::size_t i = 0; i + 3 < words.size(); ++i) {
        if (words[i] != kHandOverMarker) {
            continue;
        }
        std::array<uint64_t, 3> values{};
        for (std::size_t n = 0; n < 3; ++n) {
            const std::optional<uint64_t> value = Number(words[i + 1 + n]);
            if (!value || *value == 0) {
                return std::nullopt;
            }
            values[n] = *value;
        }
        return values;
    }
    return std::nullopt;
}

std::wstring HandOverCommandLine(const std::wstring& exePath,
                                 const std::array<uint64_t, 3>& handles) {
    std::wstring line = L"\"" + exePath + L"\" " + kHandOverMarker;
    for (uint64_t handle : handles) {
        line += L" " + std::to_wstring(handle);
    }
    return line;
}

}  // namespace vt
