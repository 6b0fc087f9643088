// The world of the window tests: the dialogs module, a window class whose handlers the tests write,
// and a bounded run of the message loop.
#pragma once

#include <functional>
#include <stdexcept>
#include <vector>

#include <windows.h>

#include <gtest/gtest.h>

#include "test-resource.h"
#include "win-common.h"

namespace window_test {

// The module that holds the tests' dialogs, strings and menu.
inline HINSTANCE dialogs() {
    static const HINSTANCE module = LoadLibraryW(L"window-test-dialogs.dll");
    if (module == nullptr)
        throw std::runtime_error("window-test-dialogs.dll did not load");
    return module;
}

using handler = std::function<INT_PTR(const system_ui::register_function&, HWND, UINT, WPARAM, LPARAM)>;

// A dialog of the tests' module whose messages go to a handler the test sets; it records the messages
// it saw and the keystrokes offered to it.
class test_window : public system_ui::window_base {
public:
    explicit test_window(UINT template_id = IDD_PLAIN, HWND owner = nullptr, handler on_message = {})
        : on_message(std::move(on_message)) {
        dialog_ = system_ui::create_dialog(dialogs(), template_id, owner, *this);
        if (dialog_ == nullptr)
            throw std::runtime_error("the test dialog was not created");
    }
    // A window object that never had a dialog.
    struct no_dialog_t {};
    explicit test_window(no_dialog_t) {}

    ~test_window() override {
        if (dialog_ != nullptr)
            DestroyWindow(dialog_);
    }

    HWND window_handle() const override { return dialog_; }
    HACCEL accelerators() const override { return accelerators_; }
    INT_PTR process_message(const system_ui::register_function& register_window, HWND window, UINT message,
                            WPARAM wparam, LPARAM lparam) override {
        messages.push_back(message);
        if (message == WM_INITDIALOG)
            dialog_ = window;
        if (message == WM_NCDESTROY)
            dialog_ = nullptr;
        // Commands of menus, accelerators and buttons; not the notifications of the controls.
        if (message == WM_COMMAND && HIWORD(wparam) <= 1)
            commands.push_back(LOWORD(wparam));
        return on_message ? on_message(register_window, window, message, wparam, lparam) : 0;
    }
    bool pre_translate(MSG message) override {
        if (message.message == WM_KEYDOWN && offered != nullptr)
            offered->push_back(this);
        return translate;
    }

    HWND item(int id) const { return GetDlgItem(dialog_, id); }

    handler on_message;
    HACCEL accelerators_ = nullptr;
    bool translate = true;
    std::vector<UINT> messages;
    std::vector<WORD> commands;
    // Where the windows a keystroke is offered to are written, in the order of the offers.
    std::vector<const window_base*>* offered = nullptr;

private:
    HWND dialog_ = nullptr;
};

// Runs the loop over windows; a loop that has not ended after 20 s is ended and the test fails.
inline int run_bounded(std::initializer_list<system_ui::window_base*> windows) {
    static bool expired;
    struct on_expiry {
        static void CALLBACK fire(HWND, UINT, UINT_PTR, DWORD) {
            expired = true;
            PostQuitMessage(0);
        }
    };
    expired = false;
    const UINT_PTR watchdog = SetTimer(nullptr, 0, 20000, &on_expiry::fire);
    struct kill_watchdog {
        UINT_PTR id;
        ~kill_watchdog() { KillTimer(nullptr, id); }
    } kill{watchdog};
    const int result =
        system_ui::run_message_loop({windows.begin(), static_cast<std::uint32_t>(windows.size())});
    EXPECT_FALSE(expired) << "the loop did not end by itself";
    return result;
}

// Removes whatever messages are left for this thread, so that one test's leftovers do not reach the next.
inline void drain_messages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        if (msg.message != WM_QUIT)
            DispatchMessageW(&msg);
}

} // namespace window_test
