#include "tests/support/TestDir.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "base/Cp949.h"
#include "base/FileSystem.h"

namespace vt::test {
namespace {

std::filesystem::path ToStd(const std::wstring& path) {
#ifdef _WIN32
    return std::filesystem::path(path);
#else
    std::string utf8 = ToUtf8(path);
    for (char& c : utf8) {
        if (c == '\\') {
            c = '/';
        }
    }
    return std::filesystem::path(utf8);
#endif
}

}  // namespace

TestDir::TestDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path() /
                ("vttest-" + std::to_string(rd()) + "-" + std::to_string(++counter));
    std::filesystem::create_directories(base);
#ifdef _WIN32
    path_ = base.wstring();
#else
    path_ = FromUtf8(base.string());
#endif
    for (auto& c : path_) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    path_ += L'\\';
}

TestDir::~TestDir() {
    std::error_code ec;
    std::filesystem::remove_all(ToStd(path_), ec);
}

std::vector<std::wstring> TestDir::Names(const std::wstring& folder) const {
    std::vector<std::wstring> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(ToStd(path_ + folder), ec)) {
#ifdef _WIN32
        out.push_back(e.path().filename().wstring());
#else
        out.push_back(FromUtf8(e.path().filename().string()));
#endif
    }
    std::sort(out.begin(), out.end());
    return out;
}

void TestDir::Write(const std::wstring& name, const std::string& bytes) const {
    std::ofstream out(ToStd(path_ + name), std::ios::binary | std::ios::trunc);
    if (!out) {
        throw std::runtime_error("cannot write test file");
    }
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TestDir::Read(const std::wstring& name) const {
    return fs::ReadWholeFile(path_ + name).value_or(std::string());
}

bool TestDir::Has(const std::wstring& name) const {
    return fs::Exists(path_ + name);
}

}  // namespace vt::test
