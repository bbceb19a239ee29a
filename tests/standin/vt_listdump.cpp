// Test driver: prints the rows of the list view in the top-level window whose caption is the
// first argument, given as hexadecimal UTF-8 bytes (Wine converts command lines with the Unix
// locale's code set, which may not know Hangul). Output is UTF-8:
//   count=N
//   selected=I          (position from 1, 0 when no row is selected)
//   row=I<TAB>text<TAB>sub-item 1<TAB>sub-item 2<TAB>x<TAB>y
// where x, y is the centre of the row in the window's client coordinates.
// Exit code 2 when the window or its list is not found.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <string>

#include "base/Cp949.h"

namespace {

// Memory in the window's process: the list view reads and writes its arguments there.
class RemoteBlock {
  public:
    RemoteBlock(HANDLE process, size_t size) : process_(process) {
        address_ = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    ~RemoteBlock() {
        if (address_ != nullptr) {
            VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
        }
    }
    RemoteBlock(const RemoteBlock&) = delete;
    RemoteBlock& operator=(const RemoteBlock&) = delete;

    char* Address() const { return static_cast<char*>(address_); }
    bool Put(size_t offset, const void* data, size_t size) const {
        return WriteProcessMemory(process_, Address() + offset, data, size, nullptr) != 0;
    }
    bool Get(size_t offset, void* data, size_t size) const {
        return ReadProcessMemory(process_, Address() + offset, data, size, nullptr) != 0;
    }

  private:
    HANDLE process_;
    void* address_ = nullptr;
};

constexpr size_t kTextChars = 512;

std::wstring CellText(HWND list, const RemoteBlock& block, int item, int subItem) {
    LVITEMW lv{};
    lv.iSubItem = subItem;
    lv.cchTextMax = kTextChars;
    lv.pszText = reinterpret_cast<LPWSTR>(block.Address() + sizeof(LVITEMW));
    block.Put(0, &lv, sizeof lv);
    LRESULT n = SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(item),
                             reinterpret_cast<LPARAM>(block.Address()));
    wchar_t text[kTextChars] = {};
    block.Get(sizeof(LVITEMW), text, sizeof text);
    return std::wstring(text, static_cast<size_t>(n < 0 ? 0 : n));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: vt_listdump CAPTION-AS-HEX-UTF8\n", stderr);
        return 2;
    }
    std::string bytes;
    for (const wchar_t* p = argv[1]; p[0] != 0 && p[1] != 0; p += 2) {
        bytes.push_back(static_cast<char>(std::stoi(std::wstring(p, 2), nullptr, 16)));
    }
    std::wstring caption(bytes.size(), L'\0');
    caption.resize(static_cast<size_t>(
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                            caption.data(), static_cast<int>(caption.size()))));
    HWND form = FindWindowW(nullptr, caption.c_str());
    HWND list = form ? FindWindowExW(form, nullptr, WC_LISTVIEWW, nullptr) : nullptr;
    if (list == nullptr) {
        std::fputs("window or list not found\n", stderr);
        return 2;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(list, &pid);
    HANDLE process =
        OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (process == nullptr) {
        std::fputs("cannot open the window's process\n", stderr);
        return 2;
    }
    RemoteBlock block(process, sizeof(LVITEMW) + kTextChars * sizeof(wchar_t) + sizeof(RECT));

    int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    int selected = static_cast<int>(
        SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), MAKELPARAM(LVNI_SELECTED, 0)));
    std::printf("count=%d\nselected=%d\n", count, selected + 1);
    for (int i = 0; i < count; ++i) {
        RECT r{};
        r.left = LVIR_BOUNDS;
        block.Put(0, &r, sizeof r);
        SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(block.Address()));
        block.Get(0, &r, sizeof r);
        POINT centre{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
        MapWindowPoints(list, form, &centre, 1);
        std::printf("row=%d\t%s\t%s\t%s\t%ld\t%ld\n", i + 1,
                    vt::ToUtf8(CellText(list, block, i, 0)).c_str(),
                    vt::ToUtf8(CellText(list, block, i, 1)).c_str(),
                    vt::ToUtf8(CellText(list, block, i, 2)).c_str(), centre.x, centre.y);
    }
    CloseHandle(process);
    return 0;
}
