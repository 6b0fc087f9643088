#include <memory>

#include "test-window.h"

using ::testing::ElementsAre;
using namespace window_test;

namespace {

constexpr UINT msg_act = WM_APP + 1;
constexpr WORD cmd_accelerator = 501;

struct handler_failure {};

bool thread_message_waiting(UINT message) {
    MSG msg;
    return PeekMessageW(&msg, reinterpret_cast<HWND>(-1), message, message, PM_REMOVE) != 0;
}

// F5 is cmd_accelerator.
cpp::unique_any<HACCEL, &DestroyAcceleratorTable> f5_accelerator() {
    ACCEL accelerator{FVIRTKEY, VK_F5, cmd_accelerator};
    return cpp::unique_any<HACCEL, &DestroyAcceleratorTable>(CreateAcceleratorTableW(&accelerator, 1));
}

using message_loop = loop_test;

} // namespace

TEST_F(message_loop, a_one_window_loop_ends_once_its_dialog_is_gone_and_takes_the_quit_it_posted) {
    test_window window;
    window.close_later();
    // Messages still waiting after the dialog went are handled before the loop ends.
    PostMessageW(nullptr, msg_act, 0, 0);

    EXPECT_EQ(run_bounded({&window}), 0);

    EXPECT_TRUE(window.isolated()) << "the loop drops a window whose dialog is gone";
    EXPECT_FALSE(thread_message_waiting(msg_act));
    EXPECT_FALSE(thread_message_waiting(WM_QUIT));
}

// The host's own loop runs around ours: a quit it (or anything else on the thread) asks for while the
// dialog is open ends our loop and is still there, with its exit code, for the host's loop.
TEST_F(message_loop, a_quit_the_loop_did_not_post_ends_it_and_is_posted_again_with_its_exit_code) {
    struct row {
        const char* when;
        int code;
        bool close_first; // the dialog closes while the quit waits, so the loop wants to end as well
    };
    for (const row r : {row{"while the dialog is open", 7, false},
                        {"with exit code 0", 0, false},
                        {"when the last dialog closes", 9, true}}) {
        test_window window;
        if (r.close_first)
            window.close_later();
        PostQuitMessage(r.code);

        EXPECT_EQ(run_bounded({&window}), 0) << r.when;

        EXPECT_EQ(window.window_handle() == nullptr, r.close_first) << r.when;
        MSG msg{};
        EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
            << "the quit is waiting " << r.when;
        EXPECT_EQ(msg.wParam, static_cast<WPARAM>(r.code)) << r.when;
        drain_messages();
    }
}

TEST_F(message_loop, a_window_it_cannot_take_stops_the_loop_before_any_message) {
    EXPECT_THROW(system_ui::run_message_loop({}), std::runtime_error);
    for (const bool in_the_way_first : {true, false}) {
        test_window first, second, elsewhere, in_the_way;
        elsewhere.link_next(in_the_way);
        PostMessageW(nullptr, msg_act, 0, 0);

        EXPECT_THROW(in_the_way_first ? run_bounded({&in_the_way, &first, &second})
                                      : run_bounded({&first, &second, &in_the_way}),
                     std::runtime_error);

        EXPECT_TRUE(first.isolated() && second.isolated());
        EXPECT_EQ(elsewhere.next(), &in_the_way) << "the window in the way keeps its own list";
        EXPECT_EQ(in_the_way.previous(), &elsewhere);
        EXPECT_TRUE(thread_message_waiting(msg_act)) << "no message was read";
    }
}

TEST_F(message_loop, a_window_registered_during_the_loop_is_visited_first) {
    std::vector<const system_ui::window_base*> offered;
    std::unique_ptr<test_window> panel;
    test_window main([&](HWND dialog, UINT message, WPARAM) -> INT_PTR {
        if (message == msg_act) {
            // A child dialog, so that a keystroke in it is for both dialogs.
            panel = std::make_unique<test_window>(handler{}, IDD_CHILD, dialog);
            panel->offered = &offered;
            panel->translate = false;
            (*main.registration)(*panel);
            PostMessageW(panel->item(IDC_CHILD_EDIT), WM_KEYDOWN, VK_F5, 0);
            PostMessageW(dialog, close_message, 0, 0);
        }
        return 0;
    });
    main.offered = &offered;
    main.translate = false;
    PostMessageW(main.window_handle(), msg_act, 0, 0);

    EXPECT_EQ(run_bounded({&main}), 0);

    ASSERT_TRUE(panel);
    EXPECT_THAT(offered, ElementsAre(panel.get(), &main));
    EXPECT_TRUE(panel->isolated());
}

TEST_F(message_loop, an_exception_in_a_handler_comes_out_of_the_loop_across_user32) {
    // Raised inside DispatchMessageW, and inside IsDialogMessageW (Return in an edit control sends the
    // default button's command).
    for (const bool by_keyboard : {false, true}) {
        test_window first;
        test_window second([](HWND, UINT message, WPARAM wparam) -> INT_PTR {
            if (message == msg_act || (message == WM_COMMAND && LOWORD(wparam) == IDOK))
                throw handler_failure{};
            return 0;
        });
        if (by_keyboard)
            PostMessageW(second.item(IDC_EDIT), WM_KEYDOWN, VK_RETURN, 0);
        else
            PostMessageW(second.window_handle(), msg_act, 0, 0);
        PostMessageW(nullptr, msg_act, 0, 0);

        EXPECT_THROW(run_bounded({&first, &second}), handler_failure);
        EXPECT_TRUE(thread_message_waiting(msg_act))
            << "the failure came out before another message was read";

        // The windows stay as they were, the loop's head is gone and the registration is empty.
        EXPECT_EQ(first.previous(), nullptr);
        EXPECT_EQ(first.next(), &second);
        EXPECT_NE(second.window_handle(), nullptr);
        SendMessageW(first.window_handle(), WM_NULL, 0, 0);
        EXPECT_FALSE(first.registration->is_callable());
        drain_messages();
    }
}

TEST_F(message_loop, keystrokes_go_through_accelerators_and_dialog_keyboard_handling) {
    const auto table = f5_accelerator();
    std::vector<WORD> commands;
    std::vector<UINT> keys_at_dialog;
    HWND focus_at_close = nullptr;
    test_window window([&](HWND, UINT message, WPARAM wparam) -> INT_PTR {
        // Commands of accelerators and buttons; not the notifications of the controls.
        if (message == WM_COMMAND && HIWORD(wparam) <= 1)
            commands.push_back(LOWORD(wparam));
        if (message == WM_KEYDOWN)
            keys_at_dialog.push_back(static_cast<UINT>(wparam));
        if (message == close_message)
            focus_at_close = GetFocus();
        return 0;
    });
    window.accelerators_ = table.get();
    const HWND edit = window.item(IDC_EDIT);
    const HWND next_control = window.item(IDC_EDIT2);
    SetFocus(edit);

    PostMessageW(edit, WM_KEYDOWN, VK_F5, 0);     // the accelerator
    PostMessageW(edit, WM_KEYDOWN, VK_RETURN, 0); // the default button, by dialog keyboard handling
    PostMessageW(edit, WM_KEYDOWN, VK_TAB, 0);    // the next control
    // A keystroke for the dialog itself is dispatched to it, with no accelerator.
    PostMessageW(window.window_handle(), WM_KEYDOWN, VK_F5, 0);
    window.close_later();

    run_bounded({&window});

    EXPECT_THAT(commands, ElementsAre(cmd_accelerator, WORD{IDOK}));
    EXPECT_THAT(keys_at_dialog, ElementsAre(UINT{VK_F5}));
    EXPECT_EQ(focus_at_close, next_control);
}

TEST_F(message_loop, a_window_destroyed_by_a_handler_of_another_is_not_visited) {
    // The walk has read the panel as the next window when main's accelerator deletes it.
    const auto table = f5_accelerator();
    std::vector<const system_ui::window_base*> offered;
    std::unique_ptr<test_window> panel;
    test_window main([&](HWND, UINT message, WPARAM wparam) -> INT_PTR {
        if (message == WM_COMMAND && LOWORD(wparam) == cmd_accelerator)
            panel.reset();
        return 0;
    });
    panel = std::make_unique<test_window>(handler{}, IDD_CHILD, main.window_handle());
    main.accelerators_ = table.get();
    main.offered = &offered;
    panel->offered = &offered;
    PostMessageW(panel->item(IDC_CHILD_EDIT), WM_KEYDOWN, VK_F5, 0);
    main.close_later();

    run_bounded({&main, panel.get()});

    EXPECT_EQ(panel, nullptr);
    EXPECT_THAT(offered, ElementsAre(&main));
}

TEST(create_dialog, binds_the_object_from_init_dialog_to_nc_destroy_and_reports_a_failed_creation) {
    std::vector<UINT> seen;
    EXPECT_THROW(test_window([&](HWND, UINT message, WPARAM) -> INT_PTR {
                     seen.push_back(message);
                     if (message == WM_INITDIALOG)
                         throw handler_failure{};
                     return 0;
                 }),
                 handler_failure);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), UINT{WM_INITDIALOG}) << "messages before it do not reach the object";
    EXPECT_EQ(seen.back(), UINT{WM_NCDESTROY}) << "the failure destroyed the new dialog";

    test_window object;
    SetLastError(0);
    EXPECT_EQ(system_ui::create_dialog(dialogs(), 999, nullptr, object), nullptr);
    EXPECT_NE(GetLastError(), 0u) << "a missing template";
}

namespace {

// The module whose code handles a window's messages.
HMODULE procedure_module(HWND window) {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(GetWindowLongPtrW(window, GWLP_WNDPROC)), &module);
    return module;
}

} // namespace

TEST(create_dialog, controls_come_from_common_controls_6_though_the_program_has_no_manifest) {
    test_window controls(handler{}, IDD_CONTROLS);
    for (const int id : {IDC_TRACKBAR, IDC_LINK, IDC_COMBOEX, IDC_PROGRESS, IDC_STATUS})
        EXPECT_NE(controls.item(id), nullptr) << "control " << id;

    // Version 6 brings its own edit control; the program's context has only the system's.
    test_window plain;
    const HWND outside = CreateWindowExW(0, L"Edit", L"", WS_CHILD, 0, 0, 10, 10, plain.window_handle(),
                                         nullptr, nullptr, nullptr);
    EXPECT_EQ(procedure_module(outside), GetModuleHandleW(L"user32.dll"));
    EXPECT_EQ(procedure_module(plain.item(IDC_EDIT)), GetModuleHandleW(L"comctl32.dll"));
}
