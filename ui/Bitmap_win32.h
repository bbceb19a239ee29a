#pragma once
// The pictures of a form: bitmap resources drawn for 96 and 192 DPI, shown at the size a
// layout asks for.

#include <windows.h>

#include "base/Handles_win32.h"

namespace vt::win32 {

// The picture for a width x height box: each picture is drawn for 96 DPI (id) and for 192
// (id + IDB_DOUBLE_SIZE_OFFSET). The smallest one at least as large is taken, so up to 200 % a
// picture is only ever reduced; at its own size it is shown as drawn, at any other reduced by
// area averaging. nullptr when the resource cannot be loaded.
UniqueGdi<HBITMAP> PictureFor(int id, int width, int height);

}  // namespace vt::win32
