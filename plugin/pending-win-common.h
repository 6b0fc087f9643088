// Temporary: three helpers of the window layer (string table and message boxes) with the signatures
// that layer declares, until it joins this branch; the failure report is written against them. Remove
// this file and include win-common.h then.
#pragma once

#include <exception>
#include <string>
#include <system_error>

#include <windows.h>

#include "am-common.h"

namespace system_ui {

inline void load_string(std::wstring& text, HINSTANCE instance, UINT id) {
    wchar_t buffer[4096];
    const int length = LoadStringW(instance, id, buffer, 4096);
    if (length == 0)
        cpp::throw_last_error(
            cpp::failure_location("load_string", "65", AM_LIBRARY_SOURCE("win-common.cpp")).c_str());
    text.assign(buffer, static_cast<std::size_t>(length));
}

inline void show_error_box(HWND owner, const std::exception&, const std::wstring& caption,
                           const std::wstring& text) {
    MessageBoxW(owner, text.c_str(), caption.c_str(), MB_ICONERROR);
}

inline void show_system_error_box(HWND owner, const std::system_error& failure, const std::wstring& caption) {
    wchar_t text[1024];
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(failure.code().value()), 0x800, text, 1024, nullptr) > 0)
        MessageBoxW(owner, text, caption.c_str(), MB_ICONERROR);
}

} // namespace system_ui
