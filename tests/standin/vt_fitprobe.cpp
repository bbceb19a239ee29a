// Loaded into the launcher's process by the hook of vt_fitcheck.exe: measures every control of
// a window with the control's own font (a font belongs to the process that made it, so this
// cannot be done from outside) and sends the figures back with WM_COPYDATA, one line each:
//   form<TAB>dpi<TAB>client width<TAB>client height
//   control<TAB>id<TAB>parent id (0: the form)<TAB>class<TAB>kind<TAB>visible<TAB>left<TAB>top
//       <TAB>width<TAB>height<TAB>text width<TAB>text height<TAB>font ascent<TAB>text
// where kind is "text" for buttons and text labels, "picture" or "other"; the rectangle is in
// the parent's client coordinates.
#include <windows.h>

#include <string>

namespace {

constexpr wchar_t kMeasureMessage[] = L"vt.fitprobe.measure";

int DpiOf(HWND hwnd) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    FARPROC proc = GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow");
    auto getDpi = reinterpret_cast<GetDpiForWindowFn>(reinterpret_cast<void (*)()>(proc));
    if (getDpi != nullptr) {
        return static_cast<int>(getDpi(hwnd));
    }
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi;
}

std::wstring Kind(HWND control, const std::wstring& className) {
    LONG style = GetWindowLongW(control, GWL_STYLE);
    if (CompareStringOrdinal(className.c_str(), -1, L"Button", -1, TRUE) == CSTR_EQUAL) {
        return L"text";
    }
    if (CompareStringOrdinal(className.c_str(), -1, L"Static", -1, TRUE) == CSTR_EQUAL) {
        LONG type = style & SS_TYPEMASK;
        if (type == SS_BITMAP || type == SS_ICON || type == SS_ENHMETAFILE) {
            return L"picture";
        }
        return L"text";
    }
    return L"other";
}

struct Report {
    HWND form;
    std::wstring text;
};

BOOL CALLBACK AddControl(HWND control, LPARAM param) {
    auto* report = reinterpret_cast<Report*>(param);
    wchar_t className[64] = {};
    GetClassNameW(control, className, 64);
    int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(control, text.data(), length + 1)));
    for (auto& c : text) {
        if (c == L'\t' || c == L'\r' || c == L'\n') {
            c = L' ';
        }
    }

    SIZE extent{0, 0};
    TEXTMETRICW metrics{};
    HDC dc = GetDC(control);
    auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    HGDIOBJ old = SelectObject(dc, font != nullptr ? font : GetStockObject(SYSTEM_FONT));
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(control, dc);

    HWND parent = GetParent(control);
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    RECT client;
    GetClientRect(control, &client);
    int parentId = parent == report->form ? 0 : GetDlgCtrlID(parent);
    report->text += L"control\t" + std::to_wstring(GetDlgCtrlID(control)) + L"\t" +
                    std::to_wstring(parentId) + L"\t" + className + L"\t" +
                    Kind(control, className) + L"\t" + (IsWindowVisible(control) ? L"1" : L"0") +
                    L"\t" + std::to_wstring(r.left) + L"\t" + std::to_wstring(r.top) + L"\t" +
                    std::to_wstring(client.right) + L"\t" + std::to_wstring(client.bottom) + L"\t" +
                    std::to_wstring(extent.cx) + L"\t" + std::to_wstring(extent.cy) + L"\t" +
                    std::to_wstring(metrics.tmAscent) + L"\t" + text + L"\n";
    return TRUE;
}

void Measure(HWND form, HWND replyTo) {
    Report report{form, L""};
    RECT client;
    GetClientRect(form, &client);
    report.text = L"form\t" + std::to_wstring(DpiOf(form)) + L"\t" + std::to_wstring(client.right) +
                  L"\t" + std::to_wstring(client.bottom) + L"\n";
    EnumChildWindows(form, AddControl, reinterpret_cast<LPARAM>(&report));
    COPYDATASTRUCT data{};
    data.cbData = static_cast<DWORD>(report.text.size() * sizeof(wchar_t));
    data.lpData = report.text.data();
    SendMessageW(replyTo, WM_COPYDATA, reinterpret_cast<WPARAM>(form),
                 reinterpret_cast<LPARAM>(&data));
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK
    FitProbeHook(int code, WPARAM wParam, LPARAM lParam) {
    static const UINT measure = RegisterWindowMessageW(kMeasureMessage);
    if (code == HC_ACTION) {
        const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (sent->message == measure) {
            Measure(sent->hwnd, reinterpret_cast<HWND>(sent->wParam));
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
