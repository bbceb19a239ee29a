#pragma once
// What the two halves of the form layer share (Form_win32.cpp makes a form from its table,
// FormMessages_win32.cpp takes its messages): the window classes and the controls' ids.

#include <windows.h>

namespace vt::win32 {

inline constexpr wchar_t kFormClass[] = L"VtForm";
inline constexpr wchar_t kPanelClass[] = L"VtPanel";
// A control's id is this plus its place in the creation order.
inline constexpr int kFirstControlId = 100;

// Registers the form's and the panels' window classes, once per process; throws
// std::runtime_error when Windows refuses.
void RegisterFormClasses(WNDPROC formProc);
// The form class's atom; 0 before the first form.
ATOM FormClassAtom();

}  // namespace vt::win32
