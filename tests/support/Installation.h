#pragma once
// A temporary installation: the path strings point into a fresh directory holding the tree
// the patch window's load handler creates, from the product's own list.

#include <string>

#include "base/Cp949.h"
#include "tests/support/TestDir.h"

namespace vt::test {

class Installation {
  public:
    // Empty: a bare folder, the path strings left alone, for tests of the load itself.
    enum class Layout { Tree, Empty };
    explicit Installation(Layout layout = Layout::Tree);
    ~Installation();

    TestDir dir;

    // Writes a profile file below AppDir from UTF-8-free wide text, encoded in code page 949.
    void WriteText(const std::wstring& relativePath, const std::wstring& text) const;
    std::string Read(const std::wstring& relativePath) const { return dir.Read(relativePath); }
    bool Has(const std::wstring& relativePath) const { return dir.Has(relativePath); }
    std::wstring Value(const std::wstring& relativePath, const std::wstring& section,
                       const std::wstring& key) const;
};

// "[section]\r\ncount=N\r\n1=...\r\n" from the entries given.
std::string Manifest(const std::wstring& section, const std::wstring& count,
                     std::initializer_list<std::wstring> entries);

}  // namespace vt::test
