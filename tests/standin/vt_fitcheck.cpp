// Test driver: checks that every caption of the top-level window whose caption is the first
// argument (hexadecimal UTF-8 bytes, as for vt_listdump) fits its control at the window's DPI.
// vt_fitprobe.dll, hooked into the window's thread, measures each caption with the control's
// own font; this program prints the figures and then every offender:
//   clipped   a shown caption wider than its control (a button less its border), or with
//             less height than the font's ascent: letters are cut
//   outside   a shown control not wholly inside the window's client area
//   overlap   two shown controls of the same parent that overlap
// A control with room for the ascent but not the whole font cell is listed as a note: the
// layouts give some labels a pixel or two less than the cell at every DPI, which may take the
// lowest pixels of a descender but no letter.
// Controls of no size (labels that only name the next control) show nothing and are skipped.
// Exit code 0: no offender; 1: offenders listed; 2: no such window, or the probe did not answer.
#include <windows.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "base/Cp949.h"

namespace {

constexpr wchar_t kMeasureMessage[] = L"vt.fitprobe.measure";
constexpr int kButtonBorder = 3;  // pixels at 96 DPI on each side of a button's caption

std::wstring received;

LRESULT CALLBACK ReplyProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COPYDATA) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        received.assign(static_cast<const wchar_t*>(data->lpData), data->cbData / sizeof(wchar_t));
        return TRUE;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

struct Control {
    int id = 0;
    int parent = 0;
    std::wstring className, kind, text;
    bool visible = false;
    RECT rect{};
    int textWidth = 0, textHeight = 0, ascent = 0;
};

std::vector<std::wstring> Split(const std::wstring& line) {
    std::vector<std::wstring> fields;
    std::wstring field;
    std::wistringstream in(line);
    while (std::getline(in, field, L'\t')) {
        fields.push_back(field);
    }
    if (!line.empty() && line.back() == L'\t') {
        fields.emplace_back();
    }
    return fields;
}

std::wstring Describe(const Control& c) {
    return L"#" + std::to_wstring(c.id) + L" " + c.className + L" \"" + c.text + L"\"";
}

void Print(const std::wstring& text) {
    std::fputs(vt::ToUtf8(text).c_str(), stdout);
}

std::wstring Caption(const wchar_t* hex) {
    std::string bytes;
    for (const wchar_t* p = hex; p[0] != 0 && p[1] != 0; p += 2) {
        bytes.push_back(static_cast<char>(std::stoi(std::wstring(p, 2), nullptr, 16)));
    }
    std::wstring caption(bytes.size(), L'\0');
    caption.resize(static_cast<size_t>(
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                            caption.data(), static_cast<int>(caption.size()))));
    return caption;
}

// The probe's report, or "" when it did not come.
std::wstring Probe(HWND form, const std::wstring& probePath) {
    HMODULE probe = LoadLibraryW(probePath.c_str());
    FARPROC proc = probe != nullptr ? GetProcAddress(probe, "FitProbeHook") : nullptr;
    if (proc == nullptr) {
        std::fputs("vt_fitprobe.dll not loaded\n", stderr);
        return L"";
    }
    WNDCLASSW cls{};
    cls.lpfnWndProc = ReplyProc;
    cls.hInstance = GetModuleHandleW(nullptr);
    cls.lpszClassName = L"VtFitCheckReply";
    RegisterClassW(&cls);
    HWND reply = CreateWindowExW(0, cls.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 cls.hInstance, nullptr);
    DWORD thread = GetWindowThreadProcessId(form, nullptr);
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC,
                                   reinterpret_cast<HOOKPROC>(reinterpret_cast<void (*)()>(proc)),
                                   probe, thread);
    if (hook == nullptr || reply == nullptr) {
        std::fprintf(stderr, "hook not set: error %lu\n", GetLastError());
        return L"";
    }
    // The reply is sent to us while we wait here, and handled inside this call.
    DWORD_PTR result = 0;
    SendMessageTimeoutW(form, RegisterWindowMessageW(kMeasureMessage),
                        reinterpret_cast<WPARAM>(reply), 0, SMTO_NORMAL, 30000, &result);
    UnhookWindowsHookEx(hook);
    DestroyWindow(reply);
    return received;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: vt_fitcheck CAPTION-AS-HEX-UTF8\n", stderr);
        return 2;
    }
    HWND form = FindWindowW(nullptr, Caption(argv[1]).c_str());
    if (form == nullptr) {
        std::fputs("window not found\n", stderr);
        return 2;
    }
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring probePath = self;
    probePath = probePath.substr(0, probePath.find_last_of(L"\\/") + 1) + L"vt_fitprobe.dll";
    std::wstring report = Probe(form, probePath);
    if (report.empty()) {
        std::fputs("the probe did not answer\n", stderr);
        return 2;
    }
    Print(report);

    int dpi = 96;
    int clientWidth = 0;
    int clientHeight = 0;
    std::vector<Control> controls;
    std::wistringstream lines(report);
    std::wstring line;
    while (std::getline(lines, line)) {
        auto f = Split(line);
        if (f.size() >= 4 && f[0] == L"form") {
            dpi = std::stoi(f[1]);
            clientWidth = std::stoi(f[2]);
            clientHeight = std::stoi(f[3]);
        } else if (f.size() >= 14 && f[0] == L"control") {
            Control c;
            c.id = std::stoi(f[1]);
            c.parent = std::stoi(f[2]);
            c.className = f[3];
            c.kind = f[4];
            c.visible = f[5] == L"1";
            int left = std::stoi(f[6]);
            int top = std::stoi(f[7]);
            c.rect = RECT{left, top, left + std::stoi(f[8]), top + std::stoi(f[9])};
            c.textWidth = std::stoi(f[10]);
            c.textHeight = std::stoi(f[11]);
            c.ascent = std::stoi(f[12]);
            c.text = f[13];
            controls.push_back(c);
        }
    }

    std::vector<std::wstring> offenders;
    std::vector<std::wstring> notes;
    auto shown = [](const Control& c) { return c.visible && !IsRectEmpty(&c.rect); };
    for (size_t i = 0; i < controls.size(); ++i) {
        const Control& c = controls[i];
        if (!shown(c)) {
            continue;
        }
        if (c.kind == L"text" && !c.text.empty()) {
            bool button = c.className == L"Button";
            int border = button ? 2 * MulDiv(kButtonBorder, dpi, 96) : 0;
            int width = c.rect.right - c.rect.left - border;
            int height = c.rect.bottom - c.rect.top - border;
            std::wstring figures = L": text " + std::to_wstring(c.textWidth) + L"x" +
                                   std::to_wstring(c.textHeight) + L", room " +
                                   std::to_wstring(width) + L"x" + std::to_wstring(height);
            if (c.textWidth > width || c.ascent > height) {
                offenders.push_back(L"clipped " + Describe(c) + figures);
            } else if (c.textHeight > height) {
                notes.push_back(L"font cell taller than " + Describe(c) + figures);
            }
        }
        if (c.parent == 0 && (c.rect.left < 0 || c.rect.top < 0 || c.rect.right > clientWidth ||
                              c.rect.bottom > clientHeight)) {
            offenders.push_back(L"outside " + Describe(c));
        }
        for (size_t j = i + 1; j < controls.size(); ++j) {
            const Control& d = controls[j];
            RECT both;
            if (shown(d) && d.parent == c.parent && IntersectRect(&both, &c.rect, &d.rect)) {
                offenders.push_back(L"overlap " + Describe(c) + L" and " + Describe(d));
            }
        }
    }
    for (const auto& n : notes) {
        Print(L"note: " + n + L"\n");
    }
    for (const auto& o : offenders) {
        Print(L"offender: " + o + L"\n");
    }
    std::printf("dpi=%d client=%dx%d controls=%zu offenders=%zu\n", dpi, clientWidth, clientHeight,
                controls.size(), offenders.size());
    return offenders.empty() ? 0 : 1;
}
