#include "dialog-driver.h"

#include <commctrl.h>

namespace test_support {

namespace {

constexpr int apply_id = 1003;
constexpr int status_id = 111;

BOOL CALLBACK add_preview_dialog(HWND window, LPARAM found) {
    wchar_t kind[16];
    if (GetClassNameW(window, kind, 16) != 0 && std::wstring(kind) == L"#32770" &&
        GetDlgItem(window, apply_id) != nullptr && GetDlgItem(window, status_id) != nullptr) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK add_menu(HWND window, LPARAM list) {
    wchar_t kind[16] = {};
    GetClassNameW(window, kind, 16);
    if (std::wstring(kind) == L"#32768" && IsWindowVisible(window) &&
        GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId())
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

} // namespace

HWND find_preview_dialog() {
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &add_preview_dialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

std::wstring status_text(HWND dialog, int part) {
    const HWND status = GetDlgItem(dialog, status_id);
    const LRESULT length = LOWORD(SendMessageW(status, SB_GETTEXTLENGTHW, part, 0));
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(status, SB_GETTEXTW, part, reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::wstring done_text(HMODULE module) {
    wchar_t text[256];
    return {text, static_cast<std::size_t>(LoadStringW(module, 148, text, 256))};
}

bool preview_ready(HWND dialog, const std::wstring& done) {
    return status_text(dialog, 1) == done && IsWindowEnabled(GetDlgItem(dialog, apply_id));
}

std::vector<HWND> open_menus() {
    std::vector<HWND> found;
    EnumWindows(&add_menu, reinterpret_cast<LPARAM>(&found));
    // EnumWindows goes from the top of the z-order down: the last-opened submenu comes first.
    return {found.rbegin(), found.rend()};
}

namespace details {

bool find_dialog(HWND& dialog) {
    dialog = find_preview_dialog();
    return dialog != nullptr;
}

void close_dialog(const HWND& dialog) {
    PostMessageW(dialog, WM_CLOSE, 0, 0);
}

bool find_menus(std::vector<HWND>& menus) {
    menus = open_menus();
    return !menus.empty();
}

void end_menus(const std::vector<HWND>&) {
    EndMenu();
}

} // namespace details

dialog_script::step wait_until_ready(const std::wstring& done) {
    return [done](HWND dialog) { return preview_ready(dialog, done); };
}

dialog_script::step press(int button_id) {
    return [button_id](HWND dialog) {
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button_id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, button_id)));
        return true;
    };
}

dialog_script::step close_box() {
    return [](HWND dialog) {
        PostMessageW(dialog, WM_CLOSE, 0, 0);
        return true;
    };
}

dialog_script::step send_command(int id) {
    return [id](HWND dialog) {
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, 0), 0);
        return true;
    };
}

menu_script::step menu_key(HWND owner, WPARAM key) {
    return [owner, key](const std::vector<HWND>&) {
        PostMessageW(owner, WM_KEYDOWN, key, 1);
        PostMessageW(owner, WM_KEYUP, key, 0xC0000001);
        return true;
    };
}

menu_script::step until_open(std::size_t count) {
    return [count](const std::vector<HWND>& menus) { return menus.size() >= count; };
}

menu_script::step end_menu() {
    return [](const std::vector<HWND>&) {
        EndMenu();
        return true;
    };
}

} // namespace test_support
