#pragma once
// A small form layer over Win32: a fixed-size top-level window and its controls, created from
// a layout table with one row per control. Each window names its controls with an enum class
// whose values are the rows' places in its table. Positions are design units (twips, see
// ui/Dpi_win32.h) so that a table reads like the form it reproduces; the form turns them into
// pixels at its window's DPI and lays itself out again when that DPI changes.

#include <windows.h>

#include <functional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/ErrorReport.h"
#include "base/Handles_win32.h"
#include "base/Ui.h"
#include "ui/Dpi_win32.h"
#include "ui/Events.h"

namespace vt::win32 {

enum class ControlKind {
    Button,
    Label,
    Panel,     // a focusable box that can hold other controls (picture box)
    Image,     // a bitmap resource shown at its own size
    ListView,  // common-controls list view
};

namespace flag {
inline constexpr unsigned Hidden = 1u << 0;
inline constexpr unsigned AlignRight = 1u << 1;
inline constexpr unsigned AlignCenter = 1u << 2;
inline constexpr unsigned AutoSize = 1u << 3;  // width follows the text, never wraps
inline constexpr unsigned Bordered = 1u << 4;
inline constexpr unsigned FontGulim = 1u << 5;  // "굴림" 8.25 pt, Hangul character set
}  // namespace flag

inline constexpr int kNoTabIndex = -1;
inline constexpr COLORREF kDefaultColor = CLR_INVALID;

// A row of the table by its place; made from a window's enum value. Default: no control.
struct ControlRef {
    int index = -1;
    constexpr ControlRef() = default;
    template <typename Id>
    requires std::is_enum_v<Id>
    constexpr ControlRef(Id id) : index(static_cast<int>(id)) {}
};

// No control: a row held by the form itself, a label that names nothing.
inline constexpr ControlRef kNoControl{};

struct ControlRow {
    ControlRef id;  // the row's own place in the table
    ControlKind kind;
    // Buttons and labels show it. Panels, images and lists show no text: for them it is the
    // name a screen reader announces (their window text).
    const wchar_t* caption;
    int left, top, width, height;  // twips, relative to the container's client area
    int tabIndex;                  // kNoTabIndex for controls that never take the focus
    unsigned flags = 0;
    ControlRef container = kNoControl;  // the holding control
    COLORREF background = kDefaultColor;
    int bitmapId = 0;  // Image: resource id of the picture drawn for 96 DPI
    // Label: the control it names. It is created right before that control, so it comes
    // directly before it in the z-order, where a screen reader looks for a control's label.
    ControlRef labelFor = kNoControl;
};

// True when each row stands at the place its id names: a window checks its table at compile
// time, the form again when it is made.
constexpr bool RowsInOrder(std::span<const ControlRow> rows) {
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].id.index != static_cast<int>(i)) {
            return false;
        }
    }
    return true;
}

struct FormLayout {
    const wchar_t* caption;
    int clientWidth, clientHeight;  // twips
    int iconId;
};

// One top-level window. Creation leaves it hidden; the Close entry of its system menu is
// removed and a close request is ignored, so the form's own buttons are the only way out.
// From WM_NCCREATE on, the window's messages reach the form's handler, so those sent during
// creation do too. A constructor that throws half-way leaves neither the window nor any GDI
// object behind. A control that names no row of the table throws std::invalid_argument.
class Form {
  public:
    Form(const FormLayout& layout, std::span<const ControlRow> controls);
    virtual ~Form();
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;

    // The form a window of this layer belongs to; nullptr for any other window.
    static Form* FromHandle(HWND hwnd);

    HWND Handle() const { return window_.get(); }
    HWND Control(ControlRef control) const;
    void Show();
    void Hide();
    // Skips the update when the text is unchanged; AutoSize labels resize to the new text.
    void SetText(ControlRef control, const std::wstring& text);
    std::wstring Text(ControlRef control) const;
    // Width in pixels at kDesignDpi; scaled to the window's DPI now and after a DPI change.
    void SetWidth(ControlRef control, double designPixels);
    void ShowMessage(const std::wstring& text, const std::wstring& title, MessageStyle style);
    // The DPI the form is laid out for.
    int Dpi() const { return dpi_; }

  protected:
    // A click on a button, label, panel or image, or a double click in a list: the row of the
    // control it happened to.
    virtual void OnControlEvent(int /*row*/, Event /*event*/) {}
    // First activation of the window, delivered after the show has completed.
    virtual void OnFirstActivate() {}
    // The form has been laid out again for a new DPI (fonts, controls, pictures, icons).
    virtual void OnDpiChanged(int /*dpi*/) {}
    // Anything else; return true when handled.
    virtual bool OnMessage(UINT /*msg*/, WPARAM /*wParam*/, LPARAM /*lParam*/,
                           LRESULT& /*result*/) {
        return false;
    }

  private:
    struct ControlState {
        HWND hwnd = nullptr;
        ControlRow layout{};
        std::wstring text;
        UniqueGdi<HBRUSH> brush;
        UniqueGdi<HBITMAP> bitmap;  // Image: the picture drawn at the form's DPI
        int id = 0;
        double designWidth = -1;  // set by SetWidth; below 0: the table's width
    };

    // Owns the form's window. The form is detached first, so the messages of the window's
    // last moments never reach a form that is being taken apart.
    struct WindowCloser {
        using pointer = HWND;
        void operator()(HWND hwnd) const noexcept;
    };

    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT OnActivate(WPARAM wParam);
    LRESULT OnCommand(WPARAM wParam);
    LRESULT OnNotify(WPARAM wParam, LPARAM lParam);
    void CreateWindowFor(const FormLayout& layout);
    void CreateControl(const ControlRow& layout);
    HWND CreateControlWindow(const ControlState& control);
    void FitToText(ControlState& control);
    ControlState& At(ControlRef control);
    const ControlState& At(ControlRef control) const;
    ControlState* Find(HWND hwnd);
    HWND FirstTabStop() const;
    int Px(int twips) const { return TwipsToPixels(twips, dpi_); }
    // Window size for the layout's client area at dpi_, centred on the screen.
    void PlaceWindow();
    // Fonts, icons and every control's place, font and picture at dpi_.
    void ApplyDpi();
    void LoadIcons();
    void PlaceControl(ControlState& control);
    void ShowPicture(ControlState& control);
    HFONT FontFor(const ControlState& control) const;
    void HandleDpiChanged(int dpi, const RECT& suggested);

    FormLayout layout_;
    int dpi_ = kDesignDpi;
    // What the window and its controls use is declared before the window, so it outlives it.
    UniqueGdi<HFONT> uiFont_;
    UniqueGdi<HFONT> gulim_;
    UniqueIcon bigIcon_;
    UniqueIcon smallIcon_;
    // Creation order: tab order, with each label moved right before the control it names.
    std::vector<ControlState> controls_;
    std::vector<size_t> byRow_;  // a row's place in controls_; npos until it is created
    HWND lastFocus_ = nullptr;
    bool activated_ = false;
    // Taken over in WM_NCCREATE, before the window can receive anything the form handles.
    UniqueOf<HWND, WindowCloser> window_;
};

// A form whose controls are named by Id, the enum class of its table's rows, and whose events
// run their handlers from a WindowEvents table, each inside the general error report.
template <typename Id>
class FormOf : public Form {
  public:
    using Events = WindowEvents<Id>;

    FormOf(const FormLayout& layout, std::span<const ControlRow> controls)
        : Form(layout, controls) {}

    // Takes the window's handlers and runs the load handler; the window is still hidden.
    void Load(Events events) {
        events_ = std::move(events);
        Run(events_.load);
    }
    HWND Control(Id control) const { return Form::Control(control); }
    void SetText(Id control, const std::wstring& text) { Form::SetText(control, text); }
    std::wstring Text(Id control) const { return Form::Text(control); }
    void SetWidth(Id control, double designPixels) { Form::SetWidth(control, designPixels); }

  protected:
    // Runs the handler of control's event, if the table has one.
    void Raise(Id control, Event event, const EventArgs& args = {}) {
        if (const auto* handler = events_.controls.Find(control, event)) {
            RunHandler(errors_, [&] { (*handler)(args); });
        }
    }

  private:
    // Where an error that escapes a handler is shown: the form's own message box.
    struct Errors final : MessageSink {
        explicit Errors(Form& form) : form_(form) {}
        void ShowMessage(const std::wstring& text, const std::wstring& title,
                         MessageStyle style) override {
            form_.ShowMessage(text, title, style);
        }
        Form& form_;
    };

    void Run(const std::function<void()>& handler) {
        if (handler) {
            RunHandler(errors_, handler);
        }
    }
    void OnControlEvent(int row, Event event) override { Raise(static_cast<Id>(row), event); }
    void OnFirstActivate() override { Run(events_.firstActivate); }

    Errors errors_{*this};
    Events events_;
};

}  // namespace vt::win32
