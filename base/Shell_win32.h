#pragma once
#include "base/Ui.h"

namespace vt {

// ShellExecuteW with the verb "open", no owner window, SW_SHOWNORMAL; texts stay Unicode.
class Win32Shell final : public Shell {
  public:
    void Open(const std::wstring& file, const std::wstring& parameters,
              const std::wstring& directory) override;
};

}  // namespace vt
