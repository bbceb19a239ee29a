// What the built vtlauncher.exe says about itself, read from its resources as Windows reads
// them: the version resource (numbers and texts from the build), the application manifest
// (DPI awareness, supported Windows versions) and the icon at every size the shell asks for.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/Handles_win32.h"
#include "res/BuildInfo.h"
#include "res/resource.h"

namespace vt {
namespace {

// The program sits at the top of the build directory; this binary in tests/ below it.
std::wstring LauncherPath() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    path.resize(path.find_last_of(L"\\/"));
    path.resize(path.find_last_of(L"\\/") + 1);
    return path + L"vtlauncher.exe";
}

std::wstring Widen(const char* text) {
    std::wstring wide(std::strlen(text) * 2 + 1, L'\0');
    wide.resize(static_cast<size_t>(
        MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), static_cast<int>(wide.size())) - 1));
    return wide;
}

struct FreeModule {
    using pointer = HMODULE;
    void operator()(HMODULE module) const noexcept { FreeLibrary(module); }
};
using UniqueModule = std::unique_ptr<HINSTANCE__, FreeModule>;

std::vector<BYTE> ResourceBytes(HMODULE module, LPCWSTR name, LPCWSTR type) {
    HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) {
        return {};
    }
    auto* data = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    return std::vector<BYTE>(data, data + SizeofResource(module, found));
}

// version.dll, which the program itself never needs.
class VersionInfo {
  public:
    explicit VersionInfo(const std::wstring& path) : version_(LoadLibraryW(L"version.dll")) {
        HMODULE version = version_.get();
        auto size = Function<DWORD(WINAPI*)(LPCWSTR, DWORD*)>(version, "GetFileVersionInfoSizeW");
        auto get =
            Function<BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, void*)>(version, "GetFileVersionInfoW");
        query_ =
            Function<BOOL(WINAPI*)(const void*, LPCWSTR, void**, UINT*)>(version, "VerQueryValueW");
        if (size == nullptr || get == nullptr || query_ == nullptr) {
            return;
        }
        DWORD ignored = 0;
        data_.resize(size(path.c_str(), &ignored));
        if (data_.empty() ||
            !get(path.c_str(), 0, static_cast<DWORD>(data_.size()), data_.data())) {
            data_.clear();
        }
    }
    bool Loaded() const { return !data_.empty(); }
    const VS_FIXEDFILEINFO* Fixed() const {
        return static_cast<const VS_FIXEDFILEINFO*>(Query(L"\\"));
    }
    std::wstring Text(const std::wstring& name) const {
        const void* value = Query(L"\\StringFileInfo\\041204B0\\" + name);
        return value != nullptr ? std::wstring(static_cast<const wchar_t*>(value)) : L"<none>";
    }
    const DWORD* Translation() const {
        return static_cast<const DWORD*>(Query(L"\\VarFileInfo\\Translation"));
    }

  private:
    template <typename Fn>
    static Fn Function(HMODULE module, const char* name) {
        return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    }
    const void* Query(const std::wstring& path) const {
        void* value = nullptr;
        UINT length = 0;
        if (!Loaded() || !query_(data_.data(), path.c_str(), &value, &length) || length == 0) {
            return nullptr;
        }
        return value;
    }

    UniqueModule version_;
    std::vector<BYTE> data_;
    BOOL(WINAPI* query_)(const void*, LPCWSTR, void**, UINT*) = nullptr;
};

TEST(ExecutableIdentity, TheVersionResourceCarriesTheBuildsVersionAndPublisher) {
    VersionInfo info(LauncherPath());
    ASSERT_TRUE(info.Loaded()) << "no version resource in the program beside the build";
    const VS_FIXEDFILEINFO* fixed = info.Fixed();
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS,
              static_cast<DWORD>(VT_VERSION_MAJOR << 16 | VT_VERSION_MINOR));
    EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(VT_VERSION_PATCH << 16));
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    EXPECT_EQ(info.Text(L"CompanyName"), Widen(VT_PUBLISHER_TEXT));
    EXPECT_EQ(info.Text(L"FileVersion"), Widen(VT_VERSION_TEXT));
    EXPECT_EQ(info.Text(L"ProductVersion"), Widen(VT_VERSION_TEXT));
    EXPECT_EQ(info.Text(L"OriginalFilename"), L"vtlauncher.exe");
    EXPECT_EQ(info.Text(L"ProductName"), L"VT Launcher");
    EXPECT_NE(info.Text(L"FileDescription"), L"<none>");
    // The block the texts are in is the one the translation table points to.
    const DWORD* translation = info.Translation();
    ASSERT_NE(translation, nullptr);
    EXPECT_EQ(LOWORD(*translation), 0x0412);  // Korean
    EXPECT_EQ(HIWORD(*translation), 1200);    // UTF-16
}

TEST(ExecutableIdentity, TheManifestAsksForPerMonitorDpiAndNamesEverySupportedWindows) {
    UniqueModule module(LoadLibraryExW(LauncherPath().c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_NE(module, nullptr);
    std::vector<BYTE> bytes =
        ResourceBytes(module.get(), MAKEINTRESOURCEW(1),  // CREATEPROCESS_MANIFEST_RESOURCE_ID
                      MAKEINTRESOURCEW(24));              // RT_MANIFEST
    std::string manifest(bytes.begin(), bytes.end());
    ASSERT_FALSE(manifest.empty());
    auto has = [&](const std::string& part) { return manifest.find(part) != std::string::npos; };
    EXPECT_TRUE(
        has("<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">"
            "PerMonitorV2, PerMonitor</dpiAwareness>"));
    EXPECT_TRUE(
        has("<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">"
            "true/pm</dpiAware>"));
    EXPECT_TRUE(has("<compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">"));
    for (const char* os : {"e2011457-1546-43c5-a5fe-008deee3d3f0",     // Vista
                           "35138b9a-5d96-4fbd-8e2d-a2440225f93a",     // 7
                           "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",     // 8
                           "1f676c76-80e1-4239-95bb-83d0f6d0da78",     // 8.1
                           "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"}) {  // 10 and 11
        EXPECT_TRUE(has(std::string("<supportedOS Id=\"{") + os + "}\"/>")) << os;
    }
    EXPECT_TRUE(has("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
    // This binary carries the same manifest, and Windows (Wine here) took it in.
    EXPECT_TRUE(IsProcessDPIAware());
}

#pragma pack(push, 2)
struct IconDirectoryEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST(ExecutableIdentity, TheIconHasEverySizeTheShellAsksFor) {
    UniqueModule module(LoadLibraryExW(LauncherPath().c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_NE(module, nullptr);
    std::vector<BYTE> group = ResourceBytes(module.get(), MAKEINTRESOURCEW(IDI_VTLAUNCHER),
                                            MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
    ASSERT_GE(group.size(), 6u);
    WORD count = *reinterpret_cast<const WORD*>(&group[4]);
    ASSERT_EQ(group.size(), 6 + count * sizeof(IconDirectoryEntry));
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        IconDirectoryEntry entry;
        std::memcpy(&entry, &group[6 + i * sizeof(entry)], sizeof(entry));
        int size = entry.width == 0 ? 256 : entry.width;
        sizes.push_back(size);
        EXPECT_EQ(entry.bitCount, 32) << size;
        std::vector<BYTE> image =
            ResourceBytes(module.get(), MAKEINTRESOURCEW(entry.id), MAKEINTRESOURCEW(3));
        ASSERT_EQ(image.size(), entry.bytes) << size;
        if (size == 256) {
            // Stored as PNG, as Windows expects for that size.
            ASSERT_GE(image.size(), 8u);
            EXPECT_EQ(std::memcmp(image.data(), "\x89PNG\r\n\x1a\n", 8), 0);
        } else {
            BITMAPINFOHEADER header;
            ASSERT_GE(image.size(), sizeof(header));
            std::memcpy(&header, image.data(), sizeof(header));
            EXPECT_EQ(header.biWidth, size);
            EXPECT_EQ(header.biHeight, 2 * size);  // the image and its mask
        }
    }
    EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48, 256}));
    // Windows finds an image of each size in it.
    for (int size : {16, 24, 32, 48, 256}) {
        win32::UniqueIcon icon(static_cast<HICON>(
            LoadImageW(module.get(), MAKEINTRESOURCEW(IDI_VTLAUNCHER), IMAGE_ICON, size, size, 0)));
        ASSERT_NE(icon, nullptr) << size;
        ICONINFO info{};
        GetIconInfo(icon.get(), &info);
        win32::UniqueGdi<HBITMAP> colour(info.hbmColor);
        win32::UniqueGdi<HBITMAP> mask(info.hbmMask);
        BITMAP bitmap{};
        GetObjectW(colour.get(), sizeof(bitmap), &bitmap);
        EXPECT_EQ(bitmap.bmWidth, size);
    }
}

}  // namespace
}  // namespace vt
