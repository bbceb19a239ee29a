#include "fuzz/FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "base/Cp949.h"
#include "base/ModGame.h"
#include "base/Profile.h"

namespace vt::fuzz {
namespace {

bool IsBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1a';
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

std::string Folded(std::string_view name) {
    std::string out(Trim(name));
    for (size_t i = 0; i < out.size(); ++i) {
        auto b = static_cast<unsigned char>(out[i]);
        if (b >= 0x81 && b <= 0xFE) {
            ++i;  // the trail byte goes with its lead, whatever it is
        } else if (b >= 'A' && b <= 'Z') {
            out[i] = static_cast<char>(b - 'A' + 'a');
        }
    }
    return out;
}

void RemoveScratch() {
    std::error_code ec;
    std::filesystem::remove_all(NativePath(ScratchDir()), ec);
}

}  // namespace

void Check(bool ok, std::string_view what, std::string_view detail) {
    if (ok) {
        return;
    }
    std::fprintf(stderr, "\n== property broken: %.*s\n", static_cast<int>(what.size()),
                 what.data());
    if (!detail.empty()) {
        std::fprintf(stderr, "   %.*s\n", static_cast<int>(detail.size()), detail.data());
    }
    std::abort();
}

std::string Shown(std::string_view bytes) {
    std::string out = "\"";
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && c != '"' && c != '\\') {
            out.push_back(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out + "\"";
}

std::string Shown(std::wstring_view text) {
    std::string out = "L\"";
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F && c != L'"' && c != L'\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[16];
            std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(c));
            out += hex;
        }
    }
    return out + "\"";
}

std::string_view AsBytes(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

std::vector<std::string_view> Split(std::string_view bytes, char separator) {
    std::vector<std::string_view> parts;
    while (true) {
        size_t at = bytes.find(separator);
        parts.push_back(bytes.substr(0, at));
        if (at == std::string_view::npos) {
            return parts;
        }
        bytes.remove_prefix(at + 1);
    }
}

std::wstring Utf16Units(std::string_view bytes) {
    std::wstring out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                           static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return out;
}

const std::wstring& ScratchDir() {
    static const std::wstring dir = [] {
        // The path's length and bytes reach the coverage (path strings, the profile cache's hash
        // buckets): a run that must repeat itself names the same directory every time.
        const char* exact = std::getenv("VT_FUZZ_SCRATCH");
        const char* base = std::getenv("VT_FUZZ_TMP");
        std::filesystem::path p =
            exact != nullptr && *exact
                ? std::filesystem::path(exact)
                : std::filesystem::path(base != nullptr && *base ? base : "/tmp") /
                      ("vt-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(p);
        std::wstring out = FromUtf8(p.string());
        for (wchar_t& c : out) {
            if (c == L'/') {
                c = L'\\';
            }
        }
        return out + L"\\";
    }();
    static const bool cleaned = std::atexit(RemoveScratch) == 0;
    (void)cleaned;
    return dir;
}

std::string NativePath(const std::wstring& path) {
    std::string out = ToUtf8(path);
    for (char& c : out) {
        if (c == '\\') {
            c = '/';
        }
    }
    return out;
}

void WriteRaw(const std::wstring& path, std::string_view bytes) {
    std::ofstream out(NativePath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    Check(out.good(), "cannot write a scratch file");
    profile::ClearCache();
}

std::string ReadRaw(const std::wstring& path) {
    std::ifstream in(NativePath(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void ResetDir(const std::wstring& path) {
    std::error_code ec;
    std::filesystem::remove_all(NativePath(path), ec);
    std::filesystem::create_directories(NativePath(path), ec);
    Check(!ec, "cannot make a scratch directory");
}

std::vector<std::pair<std::string, std::string>> ProfileNames(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> names;
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    std::string section;
    for (std::string_view line : Split(text, '\n')) {
        for (std::string_view piece : Split(line, '\r')) {
            std::string_view trimmed = Trim(piece);
            if (trimmed.empty()) {
                continue;
            }
            size_t close = trimmed.rfind(']');
            if (trimmed.front() == '[' && close != std::string_view::npos) {
                section = std::string(Trim(trimmed.substr(1, close - 1)));
                continue;
            }
            names.emplace_back(section, std::string(Trim(trimmed.substr(0, trimmed.find('=')))));
        }
    }
    return names;
}

bool SameProfileName(std::string_view a, std::string_view b) {
    return Folded(a) == Folded(b);
}

std::string ReadKey(std::string_view section, std::string_view key, const std::wstring& path) {
    std::string out;
    int32_t count = profile::GetString(section, key, "", out, kProfileBufferSize, path);
    Check(count >= 0 && static_cast<size_t>(count) == out.size(),
          "GetString's count differs from the bytes it copied");
    return out;
}

}  // namespace vt::fuzz
