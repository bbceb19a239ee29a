#pragma once
// What the version check and the set updates need from the patch window: its two download
// operations, its state label, message boxes and one pass of the message loop. frmVtUpdate
// provides it; tests fake it with an in-memory patch server.

#include <string>

#include "app/Ui.h"

namespace vt {

class PatchHost : public MessageSink, public MessagePump {
  public:
    // Both return only when the file is stored whole; a failed transfer ends the program.
    virtual void DownloadFile(const std::wstring& url, const std::wstring& directory,
                              const std::wstring& fileName, const std::wstring& userName,
                              const std::wstring& password) = 0;
    virtual void DownloadFileWithProgress(const std::wstring& url, const std::wstring& directory,
                                          const std::wstring& fileName,
                                          const std::wstring& userName,
                                          const std::wstring& password) = 0;
    virtual void SetState(const std::wstring& text) = 0;  // lblState
};

}  // namespace vt
