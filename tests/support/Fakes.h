#pragma once
// One recording fake for each small interface the handlers talk to: the patch window's
// progress view, the shell, the hand-over to the server window, and the clock.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/Ui.h"
#include "patch/frmVtUpdate.h"
#include "transfer/Clock.h"
#include "transfer/ProgressView.h"

namespace vt::test {

struct RecordedMessage {
    std::wstring text;
    std::wstring title;
    MessageStyle style = MessageStyle::Plain;
    bool operator==(const RecordedMessage&) const = default;
};

class RecordingProgressView final : public ProgressView {
  public:
    void SetCaption(ProgressLabel label, const std::wstring& text) override {
        captions[label] = text;
        history.emplace_back(label, text);
        log.push_back(L"caption " + text);
    }
    void SetProgressWidth(float pixels) override {
        width = pixels;
        log.push_back(L"width");
    }
    void ShowMessage(const std::wstring& text, const std::wstring& title,
                     MessageStyle style) override {
        messages.push_back({text, title, style});
        log.push_back(L"message " + text);
    }
    void DoEvents() override {
        ++doEvents;
        log.push_back(L"doevents");
    }

    std::map<ProgressLabel, std::wstring> captions;  // the latest text of each label
    std::vector<std::pair<ProgressLabel, std::wstring>> history;
    std::optional<float> width;
    std::vector<RecordedMessage> messages;
    int doEvents = 0;
    std::vector<std::wstring> log;  // every call in order: "caption …", "width", "message …"
};

class RecordingShell final : public Shell {
  public:
    struct Call {
        std::wstring file;
        std::wstring parameters;
        std::wstring directory;
    };
    void Open(const std::wstring& file, const std::wstring& parameters,
              const std::wstring& directory) override {
        calls.push_back({file, parameters, directory});
    }
    std::vector<Call> calls;
};

class RecordingHandOver final : public PatchHandOver {
  public:
    void OpenServerWindow() override { steps.push_back(L"open servers"); }
    void HidePatchWindow() override {
        steps.push_back(L"hide patch");
        if (onHide) {
            onHide();
        }
    }
    std::vector<std::wstring> steps;
    std::function<void()> onHide;  // e.g. hides a real window
};

// Reads `start` the first time and `later` afterwards.
class ScriptedClock final : public Clock {
  public:
    explicit ScriptedClock(double fixed) : ScriptedClock(fixed, fixed) {}
    ScriptedClock(double start, double later) : start_(start), later_(later) {}
    double Seconds() override { return readings_++ == 0 ? start_ : later_; }

  private:
    double start_;
    double later_;
    int readings_ = 0;
};

}  // namespace vt::test
