// The world of the window tests: the dialogs module, a dialog whose handler the test writes, and a
// bounded run of the message loop.
#pragma once

#include <functional>
#include <stdexcept>
#include <vector>

#include <windows.h>

#include <gmock/gmock.h>
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

// Posted to a test window, destroys its dialog.
constexpr UINT close_message = WM_APP + 2;

using handler = std::function<INT_PTR(HWND, UINT, WPARAM)>;

// A dialog of the tests' module whose messages go to the handler; it records the keystrokes offered to it.
class test_window : public system_ui::window_base {
public:
    explicit test_window(handler on_message = {}, UINT template_id = IDD_PLAIN, HWND owner = nullptr)
        : on_message(std::move(on_message)) {
        dialog_ = system_ui::create_dialog(dialogs(), template_id, owner, *this);
        if (dialog_ == nullptr)
            throw std::runtime_error("the test dialog was not created");
    }
    ~test_window() override {
        if (dialog_ != nullptr)
            DestroyWindow(dialog_);
    }

    HWND window_handle() const override { return dialog_; }
    HACCEL accelerators() const override { return accelerators_; }
    INT_PTR process_message(const system_ui::register_function& register_window, HWND window, UINT message,
                            WPARAM wparam, LPARAM) override {
        registration = &register_window;
        if (message == WM_NCDESTROY)
            dialog_ = nullptr;
        const INT_PTR result = on_message ? on_message(window, message, wparam) : 0;
        if (message == close_message)
            DestroyWindow(window);
        return result;
    }
    bool pre_translate(MSG message) override {
        if (message.message == WM_KEYDOWN && offered != nullptr)
            offered->push_back(this);
        return translate;
    }

    HWND item(int id) const { return GetDlgItem(dialog_, id); }
    void close_later() const { PostMessageW(dialog_, close_message, 0, 0); }

    handler on_message;
    HACCEL accelerators_ = nullptr;
    bool translate = true;
    // Where the windows a keystroke is offered to are written, in the order of the offers.
    std::vector<const window_base*>* offered = nullptr;
    // What the last message brought as register_window.
    const system_ui::register_function* registration = nullptr;

private:
    HWND dialog_ = nullptr;
};

// Runs the loop over windows; a loop that has not ended after 20 s is ended and the test fails.
inline int run_bounded(std::initializer_list<system_ui::window_base*> windows) {
    struct on_expiry {
        static void CALLBACK fire(HWND, UINT, UINT_PTR, DWORD) {
            ADD_FAILURE() << "the loop did not end by itself";
            PostQuitMessage(0);
        }
    };
    const system_ui::timer_handle watchdog(nullptr, SetTimer(nullptr, 0, 20000, &on_expiry::fire));
    return system_ui::run_message_loop({windows.begin(), static_cast<std::uint32_t>(windows.size())});
}

// Removes whatever messages are left for this thread, so that one test's leftovers do not reach the next.
inline void drain_messages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        if (msg.message != WM_QUIT)
            DispatchMessageW(&msg);
}

class loop_test : public ::testing::Test {
protected:
    void TearDown() override { drain_messages(); }
};

} // namespace window_test
