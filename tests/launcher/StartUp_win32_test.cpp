#include "launcher/StartUp_win32.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <thread>
#include <vector>

#include "base/FileSystem.h"
#include "base/Handles_win32.h"
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

// The stand-in client, built beside the test programs' folder, records how it was started.
std::wstring StandIn() {
    wchar_t module[MAX_PATH * 4] = {};
    DWORD n = GetModuleFileNameW(nullptr, module, static_cast<DWORD>(std::size(module)));
    std::wstring path(module, n);
    path.resize(path.find_last_of(L'\\'));
    return path.substr(0, path.find_last_of(L'\\')) + L"\\vt_standin.exe";
}

// The processes running the program at `path`: the elevated start hands back no handle.
std::vector<win32::UniqueHandle> ProcessesOf(const std::wstring& path) {
    std::vector<win32::UniqueHandle> found;
    win32::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        win32::UniqueHandle process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                        entry.th32ProcessID));
        wchar_t image[MAX_PATH * 4] = {};
        DWORD size = static_cast<DWORD>(std::size(image));
        if (process && QueryFullProcessImageNameW(process.get(), 0, image, &size) &&
            CompareStringOrdinal(image, static_cast<int>(size), path.c_str(),
                                 static_cast<int>(path.size()), TRUE) == CSTR_EQUAL) {
            found.push_back(std::move(process));
        }
    }
    return found;
}

// On every way out of a test: what was started from `path` has ended, by itself or ended here.
class EndsWhatItStarts {
  public:
    explicit EndsWhatItStarts(std::wstring path) : path_(std::move(path)) {}
    ~EndsWhatItStarts() {
        for (const win32::UniqueHandle& process : ProcessesOf(path_)) {
            if (WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) {
                TerminateProcess(process.get(), 1);
                WaitForSingleObject(process.get(), 10000);
            }
        }
    }
    EndsWhatItStarts(const EndsWhatItStarts&) = delete;
    EndsWhatItStarts& operator=(const EndsWhatItStarts&) = delete;

  private:
    std::wstring path_;
};

TEST(Elevation, TheRunasStartRunsTheSameProgramMarkedOnce) {
    ASSERT_TRUE(fs::IsOrdinaryFile(StandIn())) << "vt_standin.exe is built with the tests";
    test::TestDir dir;
    ASSERT_TRUE(CopyFileW(StandIn().c_str(), (dir / L"vtlauncher.exe").c_str(), TRUE));
    EndsWhatItStarts started(dir / L"vtlauncher.exe");
    ASSERT_EQ(StartElevated(dir / L"vtlauncher.exe"), ElevationStart::Started);
    std::string report;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        report = dir.Read(L"standin-run.txt");
        if (report.find("\ndirectory=") != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(report.find("arguments=--elevated\n"), std::string::npos) << report;
    EXPECT_NE(report.find("vtlauncher.exe"), std::string::npos) << report;
}

TEST(Elevation, AProgramThatCannotBeStartedIsAFailureNotAStart) {
    test::TestDir dir;
    EXPECT_EQ(StartElevated(dir / L"missing.exe"), ElevationStart::Failed);
}

}  // namespace
}  // namespace vt
