#pragma once
// What the server window's handlers need from the window: the list control's rows, the
// selection, message boxes, one pass of the message loop and the pause between probes.
// ServerSelectWindow_win32 implements it with a common-controls list view; tests with a recorder.

#include <cstdint>
#include <string>

#include "base/Ui.h"

namespace vt {

enum class ColumnAlign { Left, Center };

class ServerView : public MessageSink, public MessagePump {
  public:
    // List configuration: read-only rows, report view, no grid lines, no column reordering,
    // full-row selection, no flat scroll bars, dark blue text on white.
    virtual void ConfigureList() = 0;
    virtual void AddColumn(const std::wstring& header, int width, ColumnAlign align) = 0;
    // Adds a row at the end. Keys are unique: the handler keys each row by its position.
    virtual void AddRow(const std::wstring& key, const std::wstring& text) = 0;
    // row counts from 1; subItem 1 is "Ping", 2 is the state column.
    virtual void SetSubItem(int32_t row, int subItem, const std::wstring& text) = 0;
    // Position (from 1) of the selected row, 0 when no row is selected.
    virtual int32_t SelectedRow() = 0;
    virtual void Pause(uint32_t milliseconds) = 0;  // Sleep in the product
};

}  // namespace vt
