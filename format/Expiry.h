#pragma once
// The one form of a time in signed files: profiles' and key lists' expiry.

#include <cstdint>
#include <optional>
#include <string_view>

namespace vt::format {

// "YYYY-MM-DDTHH:MM:SSZ" exactly, a real date and time of day (UTC), as seconds since
// 1970-01-01; nothing for any other text.
std::optional<int64_t> ParseExpiry(std::string_view text);

}  // namespace vt::format
