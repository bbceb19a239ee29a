#include "launcher/StartUp_win32.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/FileSystem.h"
#include "tests/support/TestDir.h"

namespace vt {
namespace {

TEST(FolderProbe, AWritableFolderIsWritableAndKeepsNoProbeFile) {
    test::TestDir dir;
    dir.Write(L"vtgame.ini", "[game]\r\n");
    std::wstring folder = dir.Path().substr(0, dir.Path().size() - 1);
    Win32FolderProbe probe;
    EXPECT_EQ(probe.Probe(folder), ProbeResult::Writable);
    EXPECT_EQ(probe.Probe(folder), ProbeResult::Writable);  // again: the first left nothing
    size_t entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(folder)) {
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

TEST(FolderProbe, AMissingFolderIsLeftToThePatchRun) {
    test::TestDir dir;
    Win32FolderProbe probe;
    EXPECT_EQ(probe.Probe(dir / L"resource"), ProbeResult::Unknown);
    EXPECT_FALSE(fs::Exists(dir / L"resource"));
}

}  // namespace
}  // namespace vt
