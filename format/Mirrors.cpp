#include "format/Mirrors.h"

#include <algorithm>
#include <charconv>

namespace vt::format {
namespace {

constexpr std::size_t kMostUrlBytes = 200;

bool HostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool ValidPort(std::string_view port) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    return !port.empty() && port.size() <= 5 && error == std::errc() &&
           end == port.data() + port.size() && port[0] != '0' && value >= 1 && value <= 65535;
}

bool ValidHost(std::string_view host) {
    return !host.empty() && std::all_of(host.begin(), host.end(), HostChar) &&
           host.front() != '.' && host.front() != '-' && host.find("..") == std::string_view::npos;
}

// '/' ... '/', each segment of unreserved characters or %XX, none "." or "..".
bool ValidPath(std::string_view path) {
    if (path.empty() || path.front() != '/' || path.back() != '/' ||
        path.find("//") != std::string_view::npos) {
        return false;
    }
    for (std::size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        if (c == '%') {
            if (i + 2 >= path.size() || !IsHex(path[i + 1]) || !IsHex(path[i + 2])) {
                return false;
            }
            i += 2;
        } else if (!HostChar(c) && c != '_' && c != '~' && c != '/') {
            return false;
        }
    }
    return path.find("/./") == std::string_view::npos &&
           path.find("/../") == std::string_view::npos;
}

}  // namespace

std::optional<std::string> MirrorBase(std::string_view value) {
    constexpr std::string_view kScheme = "http://";
    if (value.size() > kMostUrlBytes || !value.starts_with(kScheme)) {
        return std::nullopt;
    }
    const std::string_view rest = value.substr(kScheme.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view host = rest.substr(0, slash);
    if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
        if (!ValidPort(host.substr(colon + 1))) {
            return std::nullopt;
        }
        host = host.substr(0, colon);
    }
    if (!ValidHost(host) || !ValidPath(rest.substr(slash))) {
        return std::nullopt;
    }
    return std::string(value) + "autopatch/";
}

MirrorList ReadMirrors(const std::function<std::string(const std::string& key)>& value) {
    MirrorList list;
    for (int n = 1; n <= kMostMirrors; ++n) {
        const std::string text = value(std::to_string(n));
        if (text.empty()) {
            continue;
        }
        std::optional<std::string> base = MirrorBase(text);
        if (!base) {
            ++list.unusable;
        } else if (std::find(list.bases.begin(), list.bases.end(), *base) == list.bases.end()) {
            list.urls.push_back(text);
            list.bases.push_back(std::move(*base));
        }
    }
    return list;
}

}  // namespace vt::format
