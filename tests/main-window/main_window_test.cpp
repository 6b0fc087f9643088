// The main dialog over the stand-in engine, built in this process and played by a dialog script.
#include <gtest/gtest.h>

#include "main-window-world.h"

namespace {

using test_support::press;

class main_window : public test_support::main_window_world {};

TEST_F(main_window, cancel_after_the_first_preview_leaves_the_run_not_accepted) {
    ASSERT_TRUE(run({ready(), press(IDC_CANCEL)}));
    EXPECT_TRUE(window->was_cancelled());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(main_window, apply_after_the_first_preview_accepts_the_run) {
    ASSERT_TRUE(run({ready(), press(IDC_APPLY)}));
    EXPECT_FALSE(window->was_cancelled());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(main_window, apply_has_the_focus_when_the_first_preview_is_ready) {
    HWND focused = nullptr;
    HWND apply = nullptr;
    // The dialog manager hands the focus to the control it remembers whenever the dialog is activated.
    ASSERT_TRUE(run({ready(), act([&] {
                         SetForegroundWindow(window->window_handle());
                         focused = GetFocus();
                         apply = GetDlgItem(window->window_handle(), IDC_APPLY);
                     }),
                     press(IDC_CANCEL)}));
    EXPECT_EQ(focused, apply);
}

} // namespace
