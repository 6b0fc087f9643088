// The about box (dialog 101): the product, the versions of the plug-in and of the engine, a link and the
// logo. Modal; it never fails.
#pragma once

#include <windows.h>

namespace tessolux {

// Shows the box over owner (may be null) until the user closes it.
void show_about_box(HWND owner) noexcept;

} // namespace tessolux
