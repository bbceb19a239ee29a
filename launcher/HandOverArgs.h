#pragma once
// The command line of a launcher started to take over: "--handover <up> <go> <parent>", the
// values of three handles it inherited (decimal): the event it sets once its window is up, the
// event its parent sets to say go, and the parent process, to notice the parent's end.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vt {

inline constexpr wchar_t kHandOverMarker[] = L"--handover";

std::optional<std::array<uint64_t, 3>> HandOverArguments(std::wstring_view commandLine);
std::wstring HandOverCommandLine(const std::wstring& exePath,
                                 const std::array<uint64_t, 3>& handles);

}  // namespace vt
