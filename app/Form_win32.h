#pragma once
// A small form layer over Win32: a fixed-size top-level window and its controls, created from
// a layout table with one row per control. Positions in the tables are design units (twips,
// 15 per pixel) so that a table reads like the form it reproduces.

#include <windows.h>

#include <map>
#include <span>
#include <string>
#include <vector>

#include "app/Handles_win32.h"
#include "app/Ui.h"

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
inline constexpr COLORREF kDefaultColor = CLR_INVALID;

struct ControlRow {
    const wchar_t* name;
    ControlKind kind;
    const wchar_t* caption;
    int left, top, width, height;  // twips, relative to the container's client area
    int tabIndex;                  // kNoTabIndex for controls that never take the focus
    unsigned flags = 0;
    const wchar_t* container = nullptr;  // name of the holding control; nullptr: the form
    COLORREF background = kDefaultColor;
    int bitmapId = 0;  // Image: resource id
};

struct FormLayout {
    const wchar_t* caption;
    int clientWidth, clientHeight;  // twips
    int iconId;
};

int TwipsToPixels(int twips);

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
    void SetWidth(const std::wstring& name, int pixels);
    void ShowMessage(const std::wstring& text, const std::wstring& title, MessageStyle style);

  protected:
    // A click on a button, label, panel or image.
    virtual void OnClick(const std::wstring& /*control*/) {}
    // First activation of the window, delivered after the show has completed.
    virtual void OnFirstActivate() {}
    // Anything else; return true when handled.
    virtual bool OnMessage(UINT /*msg*/, WPARAM /*wParam*/, LPARAM /*lParam*/,
                           LRESULT& /*result*/) {
        return false;
    }

  private:
    struct ControlState {
        std::wstring name;
        HWND hwnd = nullptr;
        unsigned flags = 0;
        std::wstring text;
        COLORREF background = kDefaultColor;
        UniqueGdi<HBRUSH> brush;
        int id = 0;
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

    // What the window and its controls use is declared before the window, so it outlives it.
    UniqueGdi<HFONT> gulim_;
    UniqueIcon bigIcon_;
    UniqueIcon smallIcon_;
    std::vector<UniqueGdi<HBITMAP>> bitmaps_;
    std::vector<ControlState> controls_;  // creation order is tab order
    std::map<std::wstring, size_t> byName_;
    HWND lastFocus_ = nullptr;
    bool activated_ = false;
    // Taken over in WM_NCCREATE, before the window can receive anything the form handles.
    UniqueOf<HWND, WindowCloser> window_;
};

}  // namespace vt::win32
