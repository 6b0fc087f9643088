#include "message-box-reader.h"

#include <stdexcept>

namespace test_support {

namespace {

// The reader of this thread: the hook is per thread, and so is the box it watches.
thread_local message_box_reader* current = nullptr;
// The window procedure of the box being created, which the reader's procedure forwards to.
thread_local WNDPROC box_procedure = nullptr;

std::wstring text_of(HWND window) {
    wchar_t text[4096];
    return {text, static_cast<std::size_t>(GetWindowTextW(window, text, 4096))};
}

// A message box: a static text with the id 0xFFFF and at least one of the standard buttons. The
// plug-in's own dialogs (the preview with its panel, the about and hotkey boxes) have neither both.
bool is_message_box(HWND dialog) {
    wchar_t kind[16];
    const HWND text = GetDlgItem(dialog, 0xFFFF);
    if (text == nullptr || GetClassNameW(text, kind, 16) == 0 || lstrcmpiW(kind, L"Static") != 0)
        return false;
    for (const int button : {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO})
        if (GetDlgItem(dialog, button) != nullptr)
            return true;
    return false;
}

} // namespace

message_box_reader::message_box_reader()
    : hook_(SetWindowsHookExW(WH_CBT, &message_box_reader::hook, nullptr, GetCurrentThreadId())),
      outer_(current) {
    if (hook_ == nullptr)
        throw std::runtime_error("SetWindowsHookEx failed");
    current = this;
}

message_box_reader::~message_box_reader() {
    current = outer_;
    UnhookWindowsHookEx(hook_);
}

// Every dialog the thread creates gets the reader's procedure in front of its own, until it shows whether
// it is a message box.
LRESULT CALLBACK message_box_reader::hook(int code, WPARAM wparam, LPARAM lparam) {
    if (code == HCBT_CREATEWND && current != nullptr) {
        const auto* create = reinterpret_cast<const CBT_CREATEWNDW*>(lparam);
        const LPCWSTR kind = create->lpcs->lpszClass;
        // The dialog class is the atom 32770.
        if (IS_INTRESOURCE(kind) && reinterpret_cast<std::uintptr_t>(kind) == 32770) {
            const HWND window = reinterpret_cast<HWND>(wparam);
            box_procedure = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
                window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&message_box_reader::procedure)));
        }
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

// A box is read once its dialog has handled WM_INITDIALOG, which sets its texts; the static text of a
// message box has the control id 0xFFFF. It is then destroyed before it is ever shown: where the display
// has no window manager, showing and hiding a window costs a long wait for one. The box's caller gets
// a failure result, which the failure report does not read.
LRESULT CALLBACK message_box_reader::procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    const WNDPROC original = box_procedure;
    const LRESULT result = CallWindowProcW(original, window, message, wparam, lparam);
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
        if (current != nullptr && is_message_box(window)) {
            const HWND text = GetDlgItem(window, 0xFFFF);
            current->boxes_.push_back({text_of(window), text_of(text)});
            DestroyWindow(window);
        }
    }
    return result;
}

} // namespace test_support
