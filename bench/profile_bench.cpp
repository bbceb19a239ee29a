// The all-current check of a 32,766-entry sound manifest: two profile reads per entry, first
// through our engine, then through the system's GetPrivateProfileStringA, in the same run.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "base/Cp949.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "base/Profile.h"

namespace {

using Reader =
    std::function<std::wstring(const std::wstring&, const std::wstring&, const std::wstring&)>;

// The idiom of the platform: a 1024-byte buffer of blanks, the value cut to the count.
std::wstring SystemRead(const std::wstring& section, const std::wstring& key,
                        const std::wstring& path) {
    static std::string buffer(1024, ' ');
    DWORD n =
        GetPrivateProfileStringA(vt::ToCp949(section).c_str(), vt::ToCp949(key).c_str(), "",
                                 buffer.data(), vt::kProfileBufferSize, vt::ToCp949(path).c_str());
    return vt::FromCp949(std::string_view(buffer).substr(0, n));
}

// The loop of the set update with nothing out of date; returns the entries found outdated.
int CheckAll(const Reader& read, const std::wstring& staged, const std::wstring& local) {
    int count = std::atoi(vt::ToCp949(read(L"sound", L"count", staged)).c_str());
    int outdated = 0;
    for (int i = 1; i <= count; ++i) {
        std::wstring entry = read(L"sound", std::to_wstring(i), staged);
        int16_t colon = vt::AnsiInStr(entry, L":");
        std::wstring name = vt::AnsiLeft(entry, static_cast<int16_t>(colon - 1));
        std::wstring version = vt::AnsiMid(entry, static_cast<int16_t>(colon + 1),
                                           static_cast<int16_t>(vt::AnsiLen(entry) - colon));
        if (read(L"sound", name, local) != version) {
            ++outdated;
        }
    }
    return outdated;
}

bool Save(const std::wstring& path, const std::string& text) {
    auto out = vt::fs::CreateOutputFile(path);
    return out && out->Write(std::as_bytes(std::span(text.data(), text.size())));
}

double Seconds(const std::function<int()>& f, int& result) {
    auto start = std::chrono::steady_clock::now();
    result = f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    int entries = argc > 1 ? std::atoi(argv[1]) : 32766;
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    std::wstring dir =
        std::wstring(tmp) + L"vt-profile-bench-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    vt::fs::CreateDir(dir);
    std::wstring staged = dir + L"staged.ini";
    std::wstring local = dir + L"local.ini";

    std::string stagedText = "[sound]\r\ncount=" + std::to_string(entries) + "\r\n";
    std::string localText = "[sound]\r\n";
    for (int i = 1; i <= entries; ++i) {
        // Every eighth name is Korean, so the byte-wise split sees double-byte text.
        std::string name = (i % 8 == 0 ? std::string("\xC8\xBF\xB0\xFA") : std::string("fx")) +
                           std::to_string(i) + ".wav";
        std::string version = "1." + std::to_string(i % 97);
        stagedText += std::to_string(i) + "=" + name + ":" + version + "\r\n";
        localText += name + "=" + version + "\r\n";
    }
    if (!Save(staged, stagedText) || !Save(local, localText)) {
        std::fprintf(stderr, "cannot write the manifests in %ls\n", dir.c_str());
        return 1;
    }

    int oursOutdated = 0;
    int warmOutdated = 0;
    int systemOutdated = 0;
    vt::profile::ClearCache();
    double ours =
        Seconds([&] { return CheckAll(vt::ReadProfileValue, staged, local); }, oursOutdated);
    double warm =
        Seconds([&] { return CheckAll(vt::ReadProfileValue, staged, local); }, warmOutdated);
    double system = Seconds([&] { return CheckAll(SystemRead, staged, local); }, systemOutdated);

    std::printf("entries: %d (2 reads each)\n", entries);
    std::printf("ours, first run (parses both files): %.3f s, outdated %d\n", ours, oursOutdated);
    std::printf("ours, second run (parsed copies):     %.3f s, outdated %d\n", warm, warmOutdated);
    std::printf("GetPrivateProfileStringA:             %.3f s, outdated %d\n", system,
                systemOutdated);
    std::printf("ratio system / ours (first run): %.1fx\n", system / ours);

    // Why the engine does not ask the disk on every read: the price of one stamp per read.
    int stamps = 0;
    double stampTime = Seconds(
        [&] {
            for (int i = 0; i < 2 * entries; ++i) {
                stamps += vt::fs::GetStamp(i % 2 == 0 ? staged : local).size > 0 ? 1 : 0;
            }
            return stamps;
        },
        stamps);
    std::printf("one stamp per read would add:         %.3f s (%d stamps)\n", stampTime,
                2 * entries);

    // Recording fetched files: new keys in the full local manifest, one write per file.
    constexpr int kWrites = 200;
    std::wstring sysLocal = dir + L"local-system.ini";
    Save(sysLocal, localText);
    int failed = 0;
    double ourWrites = Seconds(
        [&] {
            for (int i = 0; i < kWrites; ++i) {
                failed += vt::profile::WriteString("sound", "new" + std::to_string(i) + ".wav",
                                                   "2.0", local)
                              ? 0
                              : 1;
            }
            return failed;
        },
        failed);
    double systemWrites = Seconds(
        [&] {
            for (int i = 0; i < kWrites; ++i) {
                std::string key = "new" + std::to_string(i) + ".wav";
                failed += WritePrivateProfileStringA("sound", key.c_str(), "2.0",
                                                     vt::ToCp949(sysLocal).c_str())
                              ? 0
                              : 1;
            }
            return failed;
        },
        failed);
    std::printf("%d writes into the full local manifest: ours %.3f s, system %.3f s%s\n", kWrites,
                ourWrites, systemWrites, failed != 0 ? " (some failed)" : "");
    vt::fs::DeleteFile(sysLocal);

    vt::fs::DeleteFile(staged);
    vt::fs::DeleteFile(local);
    vt::fs::RemoveDir(dir);
    bool ok = oursOutdated == 0 && warmOutdated == 0 && systemOutdated == 0;
    if (!ok) {
        std::fprintf(stderr, "an all-current manifest must find nothing outdated\n");
    }
    return ok ? 0 : 1;
}
