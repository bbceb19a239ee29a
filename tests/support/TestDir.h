#pragma once
// A fresh temporary directory for one test, removed with everything in it afterwards.
// Path() is in the launcher's own form: Windows separators and a trailing backslash.

#include <string>
#include <vector>

namespace vt::test {

class TestDir {
  public:
    TestDir();
    ~TestDir();
    TestDir(const TestDir&) = delete;
    TestDir& operator=(const TestDir&) = delete;

    const std::wstring& Path() const { return path_; }  // ends in a backslash
    std::wstring operator/(const std::wstring& name) const { return path_ + name; }

    void Write(const std::wstring& name, const std::string& bytes) const;
    std::string Read(const std::wstring& name) const;  // empty when absent
    bool Has(const std::wstring& name) const;
    // The names directly inside `folder` ("" for the directory itself), sorted.
    std::vector<std::wstring> Names(const std::wstring& folder = {}) const;

  private:
    std::wstring path_;
};

}  // namespace vt::test
