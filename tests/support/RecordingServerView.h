#pragma once
// A ServerView that records what the server window's handlers do. Shared by the portable tests
// and the Windows probe tests.

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "base/AppError.h"
#include "base/Ui.h"
#include "servers/ServerView.h"
#include "tests/support/Fakes.h"

namespace vt::test {

class RecordingServerView final : public ServerView {
  public:
    struct Row {
        std::wstring key;
        std::wstring text;
        std::wstring ping;   // sub-item 1
        std::wstring state;  // sub-item 2
    };
    struct Column {
        std::wstring header;
        int width;
        ColumnAlign align;
    };

    explicit RecordingServerView(std::vector<std::string>* log = nullptr) : log_(log) {}

    void ConfigureList() override {
        ++configured;
        Log("configure");
    }
    void AddColumn(const std::wstring& header, int width, ColumnAlign align) override {
        columns.push_back({header, width, align});
    }
    void AddRow(const std::wstring& key, const std::wstring& text) override {
        rows.push_back({key, text, {}, {}});
    }
    void SetSubItem(int32_t row, int subItem, const std::wstring& text) override {
        if (row < 1 || row > static_cast<int32_t>(rows.size()) || subItem < 1 || subItem > 2) {
            throw AppError(ErrorNumber::InvalidArgument, L"no such cell");
        }
        Row& r = rows[static_cast<size_t>(row - 1)];
        (subItem == 1 ? r.ping : r.state) = text;
        ++cellWrites;
    }
    int32_t SelectedRow() override { return selected; }
    void Pause(uint32_t milliseconds) override {
        pauses.push_back(milliseconds);
        Log("pause " + std::to_string(milliseconds));
    }
    void ShowMessage(const std::wstring& text, const std::wstring& title,
                     MessageStyle style) override {
        messages.push_back({text, title, style});
        Log("message");
    }
    void DoEvents() override {
        ++doEvents;
        Log("doevents");
        rowsSeenByDoEvents.push_back(rows);
        if (onDoEvents) {
            auto hook = onDoEvents;
            hook(doEvents);
        }
    }

    int configured = 0;
    std::vector<Column> columns;
    std::vector<Row> rows;
    int cellWrites = 0;
    int32_t selected = 0;
    std::vector<uint32_t> pauses;
    std::vector<RecordedMessage> messages;
    int doEvents = 0;
    std::vector<std::vector<Row>> rowsSeenByDoEvents;  // the rows at each pass of the loop
    // Runs during the n-th pass of the message loop (n from 1): a click between two probes.
    std::function<void(int)> onDoEvents;

  private:
    void Log(const std::string& what) {
        if (log_) {
            log_->push_back(what);
        }
    }

    std::vector<std::string>* log_;
};

}  // namespace vt::test
