#include <memory>
#include <stdexcept>
#include <string>

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test-window.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using window_test::test_window;

namespace {

constexpr UINT msg_act = WM_APP + 1;
constexpr UINT msg_close = WM_APP + 2;
constexpr WORD cmd_accelerator = 501;

// Destroys the dialog on msg_close.
INT_PTR closes_on_request(const system_ui::register_function&, HWND window, UINT message, WPARAM, LPARAM) {
    if (message == msg_close)
        DestroyWindow(window);
    return 0;
}

// Whether register_window could be called in a handler of window, asked through a sent message.
bool registration_callable(test_window& window) {
    bool callable = true;
    auto previous = std::move(window.on_message);
    window.on_message = [&](const system_ui::register_function& register_window, HWND, UINT message, WPARAM,
                            LPARAM) -> INT_PTR {
        if (message == msg_act)
            callable = register_window.is_callable();
        return 0;
    };
    SendMessageW(window.window_handle(), msg_act, 0, 0);
    window.on_message = std::move(previous);
    return callable;
}

bool thread_message_waiting(UINT message) {
    MSG msg;
    return PeekMessageW(&msg, reinterpret_cast<HWND>(-1), message, message, PM_REMOVE) != 0;
}

class message_loop : public ::testing::Test {
protected:
    void TearDown() override { window_test::drain_messages(); }
};

} // namespace

TEST_F(message_loop, an_empty_range_throws) {
    try {
        system_ui::run_message_loop({});
        FAIL() << "no exception";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "run_message_loop failed at 643 in file "
                                     "\"..\\\\..\\\\..\\\\common\\\\cpp\\\\win-common.cpp\"\n"
                                     " - # of dialogs must be > 0!");
    }
}

TEST_F(message_loop, one_window_loop_ends_after_its_dialog_is_destroyed) {
    test_window window(IDD_PLAIN, nullptr, closes_on_request);
    PostMessageW(window.window_handle(), msg_close, 0, 0);
    // Messages still waiting after the dialog went are handled before the loop ends.
    PostMessageW(nullptr, msg_act, 0, 0);

    EXPECT_EQ(window_test::run_bounded({&window}), 0);

    EXPECT_EQ(window.window_handle(), nullptr);
    EXPECT_TRUE(window.isolated()) << "the loop drops a window whose dialog is gone";
    EXPECT_FALSE(thread_message_waiting(msg_act));
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
        << "the quit was taken by the loop";
}

TEST_F(message_loop, a_window_without_dialog_is_dropped_at_the_first_message) {
    test_window gone{test_window::no_dialog_t{}};
    PostMessageW(nullptr, msg_act, 0, 0);
    EXPECT_EQ(window_test::run_bounded({&gone}), 0);
    EXPECT_TRUE(gone.isolated());
}

TEST_F(message_loop, a_window_still_in_another_list_stops_the_loop_before_any_message) {
    test_window first;
    test_window second;
    test_window elsewhere{test_window::no_dialog_t{}};
    test_window linked;
    elsewhere.link_next(linked);
    PostMessageW(nullptr, msg_act, 0, 0);

    try {
        window_test::run_bounded({&first, &second, &linked});
        FAIL() << "no exception";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "link_next failed at 587 in file "
                                     "\"..\\\\..\\\\..\\\\common\\\\cpp\\\\win-common.cpp\"\n"
                                     " - insert_next's argument xlink must be isolated!");
    }
    EXPECT_TRUE(first.isolated());
    EXPECT_TRUE(second.isolated());
    // The window in the way keeps its own list intact.
    EXPECT_EQ(elsewhere.next(), &linked);
    EXPECT_EQ(linked.previous(), &elsewhere);
    EXPECT_TRUE(thread_message_waiting(msg_act)) << "no message was read";
    EXPECT_FALSE(registration_callable(first)) << "the registration is empty again";
}

TEST_F(message_loop, the_first_window_must_be_isolated_too) {
    test_window elsewhere{test_window::no_dialog_t{}};
    test_window linked;
    elsewhere.link_next(linked);
    EXPECT_THROW(window_test::run_bounded({&linked}), std::runtime_error);
    EXPECT_EQ(elsewhere.next(), &linked);
    EXPECT_EQ(linked.previous(), &elsewhere);
}

TEST_F(message_loop, registration_works_only_while_the_loop_runs) {
    test_window window(IDD_PLAIN, nullptr, closes_on_request);
    EXPECT_FALSE(registration_callable(window));

    bool callable_inside = false;
    window.on_message = [&](const system_ui::register_function& register_window, HWND dialog, UINT message,
                            WPARAM, LPARAM) -> INT_PTR {
        if (message == msg_act) {
            callable_inside = register_window.is_callable();
            DestroyWindow(dialog);
        }
        return 0;
    };
    PostMessageW(window.window_handle(), msg_act, 0, 0);
    window_test::run_bounded({&window});
    EXPECT_TRUE(callable_inside);

    test_window after;
    EXPECT_FALSE(registration_callable(after));
    bool threw = false;
    after.on_message = [&](const system_ui::register_function& register_window, HWND, UINT message, WPARAM,
                           LPARAM) -> INT_PTR {
        if (message == msg_act) {
            try {
                register_window(after);
            } catch (const cpp::exceptional::empty_functional_invocation&) {
                threw = true;
            }
        }
        return 0;
    };
    SendMessageW(after.window_handle(), msg_act, 0, 0);
    EXPECT_TRUE(threw);
}

TEST_F(message_loop, a_window_registered_during_the_loop_is_visited_first) {
    std::vector<const system_ui::window_base*> offered;
    std::unique_ptr<test_window> panel;
    test_window main(IDD_PLAIN);
    main.on_message = [&](const system_ui::register_function& register_window, HWND dialog, UINT message,
                          WPARAM, LPARAM) -> INT_PTR {
        if (message == msg_act) {
            // A child dialog, so that a keystroke in it is for both dialogs.
            panel = std::make_unique<test_window>(IDD_CHILD, dialog);
            panel->offered = &offered;
            panel->translate = false;
            register_window(*panel);
            PostMessageW(panel->item(IDC_CHILD_EDIT), WM_KEYDOWN, VK_F5, 0);
            PostMessageW(dialog, msg_close, 0, 0);
        } else if (message == msg_close) {
            DestroyWindow(dialog);
        }
        return 0;
    };
    main.offered = &offered;
    main.translate = false;
    PostMessageW(main.window_handle(), msg_act, 0, 0);

    EXPECT_EQ(window_test::run_bounded({&main}), 0);

    ASSERT_TRUE(panel);
    EXPECT_THAT(offered, ElementsAre(panel.get(), &main));
    EXPECT_TRUE(panel->isolated());
    EXPECT_TRUE(main.isolated());
}

TEST_F(message_loop, the_windows_stay_linked_after_a_normal_end) {
    test_window first(IDD_PLAIN, nullptr, closes_on_request);
    test_window second(IDD_PLAIN, nullptr, closes_on_request);
    // Only the first goes; the loop must still run for the second.
    PostMessageW(first.window_handle(), msg_close, 0, 0);
    second.on_message = [&](const system_ui::register_function&, HWND, UINT message, WPARAM,
                            LPARAM) -> INT_PTR {
        if (message == msg_act) {
            // Still in the loop's list, behind the head.
            EXPECT_NE(second.previous(), nullptr);
            PostQuitMessage(0);
        }
        return 0;
    };
    PostMessageW(second.window_handle(), msg_act, 0, 0);

    EXPECT_EQ(window_test::run_bounded({&first, &second}), 0);
    EXPECT_TRUE(first.isolated());
    EXPECT_EQ(second.previous(), nullptr) << "the head has left the list";
}

TEST_F(message_loop, an_exception_in_a_dispatched_handler_comes_out_of_the_loop) {
    test_window first;
    test_window second;
    second.on_message = [](const system_ui::register_function&, HWND, UINT message, WPARAM,
                           LPARAM) -> INT_PTR {
        if (message == msg_act)
            throw std::runtime_error("handler failed");
        return 0;
    };
    PostMessageW(second.window_handle(), msg_act, 0, 0);

    try {
        window_test::run_bounded({&first, &second});
        FAIL() << "no exception";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "handler failed");
    }
    // The windows stay as they were, the head is gone and the registration empty.
    EXPECT_EQ(first.previous(), nullptr);
    EXPECT_EQ(first.next(), &second);
    EXPECT_EQ(second.previous(), &first);
    EXPECT_NE(first.window_handle(), nullptr);
    EXPECT_FALSE(registration_callable(first));
}

TEST_F(message_loop, an_exception_in_dialog_keyboard_handling_comes_out_of_the_loop) {
    test_window window;
    window.on_message = [](const system_ui::register_function&, HWND, UINT message, WPARAM wparam,
                           LPARAM) -> INT_PTR {
        if (message == WM_COMMAND && LOWORD(wparam) == IDOK)
            throw std::logic_error("ok failed");
        return 0;
    };
    // Return in an edit control is the default button's command, sent from inside IsDialogMessageW.
    PostMessageW(window.item(IDC_EDIT), WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_THROW(window_test::run_bounded({&window}), std::logic_error);
    EXPECT_TRUE(window.isolated());
}

TEST_F(message_loop, keystrokes_go_through_accelerators_and_dialog_keyboard_handling) {
    ACCEL accelerator{FVIRTKEY, VK_F5, cmd_accelerator};
    const HACCEL table = CreateAcceleratorTableW(&accelerator, 1);
    ASSERT_NE(table, nullptr);
    test_window window;
    window.accelerators_ = table;
    std::vector<UINT> keys_at_dialog;
    HWND focus_at_close = nullptr;
    window.on_message = [&](const system_ui::register_function&, HWND dialog, UINT message, WPARAM wparam,
                            LPARAM) -> INT_PTR {
        if (message == WM_KEYDOWN)
            keys_at_dialog.push_back(static_cast<UINT>(wparam));
        if (message == msg_close) {
            focus_at_close = GetFocus();
            DestroyWindow(dialog);
        }
        return 0;
    };
    const HWND edit = window.item(IDC_EDIT);
    const HWND edit2 = window.item(IDC_EDIT2);
    SetFocus(edit);

    PostMessageW(edit, WM_KEYDOWN, VK_F5, 0);     // the accelerator
    PostMessageW(edit, WM_KEYDOWN, VK_RETURN, 0); // the default button, by dialog keyboard handling
    PostMessageW(edit, WM_KEYDOWN, VK_TAB, 0);    // the next control
    // A keystroke for the dialog itself is dispatched to it, with no accelerator.
    PostMessageW(window.window_handle(), WM_KEYDOWN, VK_F5, 0);
    PostMessageW(window.window_handle(), msg_close, 0, 0);

    window_test::run_bounded({&window});

    EXPECT_THAT(window.commands, ElementsAre(cmd_accelerator, WORD{IDOK}));
    EXPECT_THAT(keys_at_dialog, ElementsAre(UINT{VK_F5}));
    EXPECT_EQ(focus_at_close, edit2);
    DestroyAcceleratorTable(table);
}

TEST_F(message_loop, a_window_that_declines_gets_no_accelerators_and_no_dialog_keyboard_handling) {
    ACCEL accelerator{FVIRTKEY, VK_F5, cmd_accelerator};
    const HACCEL table = CreateAcceleratorTableW(&accelerator, 1);
    test_window window(IDD_PLAIN, nullptr, closes_on_request);
    window.accelerators_ = table;
    window.translate = false;
    PostMessageW(window.item(IDC_EDIT), WM_KEYDOWN, VK_F5, 0);
    PostMessageW(window.item(IDC_EDIT), WM_KEYDOWN, VK_RETURN, 0);
    PostMessageW(window.window_handle(), msg_close, 0, 0);

    window_test::run_bounded({&window});

    EXPECT_TRUE(window.commands.empty());
    DestroyAcceleratorTable(table);
}

TEST_F(message_loop, a_window_destroyed_by_an_accelerator_of_another_is_not_visited) {
    // The walk has read the panel as the next window when main's accelerator deletes it.
    ACCEL accelerator{FVIRTKEY, VK_F5, cmd_accelerator};
    const HACCEL table = CreateAcceleratorTableW(&accelerator, 1);
    std::vector<const system_ui::window_base*> offered;
    test_window main(IDD_PLAIN);
    auto panel = std::make_unique<test_window>(IDD_CHILD, main.window_handle());
    main.accelerators_ = table;
    main.offered = &offered;
    panel->offered = &offered;
    main.on_message = [&](const system_ui::register_function&, HWND dialog, UINT message, WPARAM wparam,
                          LPARAM) -> INT_PTR {
        if (message == WM_COMMAND && LOWORD(wparam) == cmd_accelerator)
            panel.reset();
        if (message == msg_close)
            DestroyWindow(dialog);
        return 0;
    };
    PostMessageW(panel->item(IDC_CHILD_EDIT), WM_KEYDOWN, VK_F5, 0);
    PostMessageW(main.window_handle(), msg_close, 0, 0);

    window_test::run_bounded({&main, panel.get()});

    EXPECT_EQ(panel, nullptr);
    EXPECT_THAT(offered, ElementsAre(&main));
    DestroyAcceleratorTable(table);
}

TEST(dialog_procedure, binds_the_object_from_init_dialog_until_nc_destroy) {
    test_window window;
    const HWND dialog = window.window_handle();
    ASSERT_FALSE(window.messages.empty());
    EXPECT_EQ(window.messages.front(), UINT{WM_INITDIALOG}) << "messages before it do not reach the object";
    DestroyWindow(dialog);
    EXPECT_EQ(window.messages.back(), UINT{WM_NCDESTROY});
    EXPECT_EQ(window.window_handle(), nullptr);
}

TEST(create_dialog, a_failure_while_creating_destroys_the_dialog_and_comes_out) {
    HWND created = nullptr;
    bool saw_nc_destroy = false;
    try {
        test_window window(
            IDD_PLAIN, nullptr,
            [&](const system_ui::register_function&, HWND dialog, UINT message, WPARAM, LPARAM) -> INT_PTR {
                if (message == WM_INITDIALOG) {
                    created = dialog;
                    throw std::runtime_error("init failed");
                }
                if (message == WM_NCDESTROY)
                    saw_nc_destroy = true;
                return 0;
            });
        FAIL() << "no exception";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "init failed");
    }
    ASSERT_NE(created, nullptr);
    EXPECT_FALSE(IsWindow(created));
    EXPECT_TRUE(saw_nc_destroy);
}

TEST(create_dialog, a_missing_template_returns_null_with_the_last_error) {
    test_window object{test_window::no_dialog_t{}};
    SetLastError(0);
    EXPECT_EQ(system_ui::create_dialog(window_test::dialogs(), 999, nullptr, object), nullptr);
    EXPECT_NE(GetLastError(), 0u);
}

namespace {

// The file of the module whose code handles a window's messages.
std::wstring procedure_module(HWND window) {
    const auto procedure = reinterpret_cast<LPCWSTR>(GetWindowLongPtrW(window, GWLP_WNDPROC));
    HMODULE library = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       procedure, &library);
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(library, path, MAX_PATH);
    std::wstring name(path);
    for (auto& c : name)
        c = static_cast<wchar_t>(towlower(c));
    return name.substr(name.find_last_of(L'\\') + 1);
}

} // namespace

TEST(create_dialog, controls_come_from_common_controls_6_though_the_program_has_no_manifest) {
    test_window controls(IDD_CONTROLS);
    for (const int id : {IDC_TRACKBAR, IDC_LINK, IDC_COMBOEX, IDC_PROGRESS, IDC_STATUS})
        EXPECT_NE(controls.item(id), nullptr) << "control " << id;

    // Version 6 brings its own edit control; the program's context has only the system's.
    test_window plain(IDD_PLAIN);
    const HWND outside = CreateWindowExW(0, L"Edit", L"", WS_CHILD, 0, 0, 10, 10, plain.window_handle(),
                                         nullptr, nullptr, nullptr);
    EXPECT_EQ(procedure_module(outside), L"user32.dll");
    EXPECT_EQ(procedure_module(plain.item(IDC_EDIT)), L"comctl32.dll");
}
