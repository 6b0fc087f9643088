// The about box (dialog 101): the product, the versions of the plug-in and of the engine, a link and the
// logo. Modal; it never fails.
#pragma once

#include <windows.h>

namespace tessolux {

// Shows the box over owner (may be null) until the user closes it: a click anywhere in it, or Escape.
// Any thread will do, with or without COM.
void show_about_box(HWND owner) noexcept;

// The box's dialog procedure.
INT_PTR CALLBACK about_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) noexcept;

// The file version of the file at path, as "a.b.c.d", into the dialog's control; false, and the control's
// text untouched, when the file has no version to read.
bool show_file_version(HWND dialog, const wchar_t* path, int control);

} // namespace tessolux
