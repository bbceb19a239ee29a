#pragma once
// A small form layer over Win32: a fixed-size top-level window and its controls, created from
// a layout table with one row per control. Positions in the tables are design units (twips,
// 15 per pixel) so that a table reads like the form it reproduces.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

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
class Form {
  public:
    Form(const FormLayout& layout, std::span<const ControlRow> controls);
    virtual ~Form();
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;

    HWND Handle() const { return hwnd_; }
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
        HBRUSH brush = nullptr;
        int id = 0;
    };

    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);
    void CreateControl(const ControlRow& layout);
    void FitToText(ControlState& control);
    ControlState* Find(HWND hwnd);
    HWND FirstTabStop() const;

    HWND hwnd_ = nullptr;
    HFONT gulim_ = nullptr;
    std::vector<ControlState> controls_;  // creation order is tab order
    std::map<std::wstring, size_t> byName_;
    HWND lastFocus_ = nullptr;
    bool activated_ = false;
    std::vector<HICON> icons_;
    std::vector<HBITMAP> bitmaps_;
};

// One pass of the message loop: handles every waiting message, then returns.
void DoEvents();
// The message loop of the program; returns only when WM_QUIT arrives.
int RunMessageLoop();

}  // namespace vt::win32
