#pragma once
// A small form layer over Win32: a fixed-size top-level window and its controls, created from
// a layout table with one row per control. Positions in the tables are design units (twips,
// 15 per pixel at 96 DPI) so that a table reads like the form it reproduces; the form turns
// them into pixels at its window's DPI and lays itself out again when that DPI changes.

#include <windows.h>

#include <map>
#include <span>
#include <string>
#include <vector>

#include "base/Handles_win32.h"
#include "base/Ui.h"

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
inline constexpr int kTwipsPerPixel = 15;
inline constexpr int kDesignDpi = 96;  // the DPI at which a pixel is 15 twips
inline constexpr COLORREF kDefaultColor = CLR_INVALID;

struct ControlRow {
    const wchar_t* name;
    ControlKind kind;
    // Buttons and labels show it. Panels, images and lists show no text: for them it is the
    // name a screen reader announces (their window text).
    const wchar_t* caption;
    int left, top, width, height;  // twips, relative to the container's client area
    int tabIndex;                  // kNoTabIndex for controls that never take the focus
    unsigned flags = 0;
    const wchar_t* container = nullptr;  // name of the holding control; nullptr: the form
    COLORREF background = kDefaultColor;
    int bitmapId = 0;  // Image: resource id of the picture drawn for 96 DPI
    // Label: the control it names. It is created right before that control, so it comes
    // directly before it in the z-order, where a screen reader looks for a control's label.
    const wchar_t* labelFor = nullptr;
};

struct FormLayout {
    const wchar_t* caption;
    int clientWidth, clientHeight;  // twips
    int iconId;
};

int TwipsToPixels(int twips, int dpi);
// Pixels at kDesignDpi to pixels at dpi, rounded.
int ScalePixels(double designPixels, int dpi);
// The DPI a window is shown at: GetDpiForWindow where Windows has it, else the screen's.
int WindowDpi(HWND hwnd);

// One top-level window. Creation leaves it hidden; the Close entry of its system menu is
// removed and a close request is ignored, so the form's own buttons are the only way out.
// From WM_NCCREATE on, the window's messages reach the form's handler, so those sent during
// creation do too. A constructor that throws half-way leaves neither the window nor any GDI
// object behind.
class Form {
  public:
    Form(const FormLayout& layout, std::span<const ControlRow> controls);
    virtual ~Form();
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;

    // The form a window of this layer belongs to; nullptr for any other window.
    static Form* FromHandle(HWND hwnd);

    HWND Handle() const { return window_.get(); }
    HWND Control(const std::wstring& name) const;
    void Show();
    void Hide();
    // Skips the update when the text is unchanged; AutoSize labels resize to the new text.
    void SetText(const std::wstring& name, const std::wstring& text);
    std::wstring Text(const std::wstring& name) const;
    // Width in pixels at kDesignDpi; scaled to the window's DPI now and after a DPI change.
    void SetWidth(const std::wstring& name, double designPixels);
    void ShowMessage(const std::wstring& text, const std::wstring& title, MessageStyle style);
    // The DPI the form is laid out for.
    int Dpi() const { return dpi_; }

  protected:
    // A click on a button, label, panel or image.
    virtual void OnClick(const std::wstring& /*control*/) {}
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
        std::wstring name;
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
    void CreateControl(const ControlRow& layout);
    void FitToText(ControlState& control);
    ControlState* Find(HWND hwnd);
    HWND FirstTabStop() const;
    int Px(int twips) const { return TwipsToPixels(twips, dpi_); }
    // Window size for the layout's client area at dpi_, centred on the screen.
    void PlaceWindow();
    // Fonts, icons and every control's place, font and picture at dpi_.
    void ApplyDpi();
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
    std::map<std::wstring, size_t> byName_;
    HWND lastFocus_ = nullptr;
    bool activated_ = false;
    // Taken over in WM_NCCREATE, before the window can receive anything the form handles.
    UniqueOf<HWND, WindowCloser> window_;
};

}  // namespace vt::win32
