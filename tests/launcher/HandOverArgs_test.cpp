#include "launcher/HandOverArgs.h"

#include <gtest/gtest.h>

namespace vt {
namespace {

using Handles = std::array<uint64_t, 3>;

TEST(HandOverArgs, ReadsTheThreeHandlesAfterTheMarkerOnly) {
    const struct {
        std::wstring line;
        std::optional<Handles> handles;
    } rows[] = {
        {L"\"C:\\g\\launcher\\vtlauncher-2.exe\" --handover 12 16 20", Handles{12, 16, 20}},
        {L"vtlauncher-2.exe   --handover\t1 2 3", Handles{1, 2, 3}},
        {L"\"C:\\a --handover 1 2 3\\vt.exe\"", std::nullopt},  // inside the program's name
        {L"vtlauncher.exe", std::nullopt},
        {L"vtlauncher.exe --elevated", std::nullopt},
        {L"vtlauncher.exe --handover 1 2", std::nullopt},
        {L"vtlauncher.exe --handover 1 2 x", std::nullopt},
        {L"vtlauncher.exe --handover 1 0 3", std::nullopt},
        {L"vtlauncher.exe --handover -1 2 3", std::nullopt},
        {L"vtlauncher.exe --handover 99999999999999999999 2 3", std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(HandOverArguments(row.line), row.handles)
            << std::string(row.line.begin(), row.line.end());
    }
}

TEST(HandOverArgs, TheLineItMakesReadsBack) {
    const Handles handles{0x7fc, 0x800, 18446744073709551615ull / 10};
    const std::wstring line =
        HandOverCommandLine(L"C:\\설치 폴더\\launcher\\vtlauncher-2.exe", handles);
    EXPECT_EQ(HandOverArguments(line), handles);
}

}  // namespace
}  // namespace vt
