#pragma once
// What portable code needs from the window system: message boxes and one pass of the
// message loop. The windows implement it with Win32; tests with recorders.

#include <string>

namespace vt {

// Message boxes that give no title of their own show the application title.
inline constexpr wchar_t kAppTitle[] = L"game";

// MessageBox style values used by the launcher (OK button only).
enum class MessageStyle : unsigned { Plain = 0, Exclamation = 48 };

class MessageSink {
  public:
    virtual ~MessageSink() = default;
    // Modal; returns when the user has closed the box. An empty title shows kAppTitle.
    virtual void ShowMessage(const std::wstring& text, const std::wstring& title,
                             MessageStyle style) = 0;
};

class MessagePump {
  public:
    virtual ~MessagePump() = default;
    // Handles every window message that is waiting, then returns.
    virtual void DoEvents() = 0;
};

// Opens a document or starts a program without waiting for it; the result is not examined.
class Shell {
  public:
    virtual ~Shell() = default;
    virtual void Open(const std::wstring& file, const std::wstring& parameters,
                      const std::wstring& directory) = 0;
};

}  // namespace vt
