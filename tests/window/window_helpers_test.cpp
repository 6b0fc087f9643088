#include <stdexcept>
#include <string>
#include <system_error>

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test-window.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;
using window_test::test_window;

namespace {

#define WIN_COMMON_PATH "\"..\\\\..\\\\..\\\\common\\\\cpp\\\\win-common.cpp\""

template <class Exception, class Action> std::string failure_text(Action&& action) {
    try {
        action();
    } catch (const Exception& failure) {
        return failure.what();
    }
    ADD_FAILURE() << "no exception";
    return {};
}

template <class Action> int system_error_code(Action&& action) {
    try {
        action();
    } catch (const std::system_error& failure) {
        return failure.code().value();
    }
    ADD_FAILURE() << "no std::system_error";
    return 0;
}

// A window handle that no longer names a window.
HWND destroyed_window() {
    const HWND window =
        CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(window);
    return window;
}

} // namespace

// Timers ------------------------------------------------------------------------------------------------

namespace {

constexpr UINT msg_start = WM_APP + 3;

// Runs a loop over window until its first WM_TIMER; returns the id that tick carried and calls on_tick
// there.
template <class OnTick> UINT_PTR first_tick(test_window& window, OnTick on_tick) {
    UINT_PTR ticked = 0;
    window.on_message = [&](const system_ui::register_function&, HWND dialog, UINT message, WPARAM wparam,
                            LPARAM) -> INT_PTR {
        if (message == WM_TIMER && ticked == 0) {
            ticked = wparam;
            on_tick();
            DestroyWindow(dialog);
        }
        return 0;
    };
    window_test::run_bounded({&window});
    window_test::drain_messages();
    return ticked;
}

UINT_PTR WINAPI refusing_coalescable_timer(HWND, UINT_PTR, UINT, TIMERPROC, ULONG) {
    return 0;
}

} // namespace

TEST(timer, a_coalescable_timer_ticks_with_the_id_its_handle_holds_and_the_kill_reaches_it) {
    test_window window;
    system_ui::timer_handle timer = system_ui::create_timer(window.window_handle(), 10, 5);
    ASSERT_NE(timer.id(), 0u);
    EXPECT_EQ(timer.owner(), window.window_handle());
    const UINT_PTR id = timer.id();
    BOOL still_there = TRUE;
    const UINT_PTR ticked = first_tick(window, [&] {
        timer.kill();
        still_there = KillTimer(window.window_handle(), id);
    });
    EXPECT_EQ(ticked, id);
    EXPECT_EQ(timer.id(), 0u);
    EXPECT_FALSE(still_there) << "the handle's kill stopped the timer";
}

TEST(timer, without_a_coalescable_timer_a_plain_one_is_made) {
    for (const auto set_timer :
         {system_ui::details::set_coalescable_timer_function{nullptr}, &refusing_coalescable_timer}) {
        test_window window;
        system_ui::timer_handle timer =
            system_ui::details::create_timer(set_timer, window.window_handle(), 10, 5);
        ASSERT_NE(timer.id(), 0u);
        EXPECT_EQ(first_tick(window, [] {}), timer.id());
    }
}

TEST(timer, the_handle_owns_its_timer) {
    test_window window;
    const HWND owner = window.window_handle();
    UINT_PTR replaced = 0;
    UINT_PTR id = 0;
    {
        system_ui::timer_handle first = system_ui::create_simple_timer(owner, 1000);
        replaced = first.id();
        system_ui::timer_handle second = std::move(first);
        EXPECT_EQ(first.id(), 0u);
        EXPECT_EQ(second.id(), replaced);
        second = system_ui::create_simple_timer(owner, 1000);
        id = second.id();
        EXPECT_NE(id, replaced);
        EXPECT_FALSE(KillTimer(owner, replaced)) << "a replaced timer is killed";
    }
    EXPECT_FALSE(KillTimer(owner, id)) << "the timer went with its handle";

    system_ui::timer_handle attached;
    attached.attach(owner);
    EXPECT_EQ(attached.owner(), owner);
    EXPECT_EQ(attached.id(), 0u);
}

TEST(timer, a_timer_the_system_refuses_is_an_allocation_failure) {
    EXPECT_EQ(failure_text<cpp::exceptional::allocationFailure>(
                  [] { system_ui::create_simple_timer(destroyed_window(), 10); }),
              "create_simple_timer failed at 77 in file " WIN_COMMON_PATH);
}

// Docking ------------------------------------------------------------------------------------------------

namespace {

class docking : public ::testing::Test {
protected:
    void place(int x, int y, int width, int height) { MoveWindow(box, x, y, width, height, FALSE); }
    RECT where() const {
        RECT rect;
        system_ui::control_docker::get_window_rect(rect, box, dialog.window_handle());
        return rect;
    }
    system_ui::control_docker dock(int parent_width, int parent_height, std::uint32_t flags) const {
        return system_ui::control_docker(dialog.window_handle(), box, parent_width, parent_height, flags);
    }

    test_window dialog;
    HWND box = dialog.item(IDC_BOX);
};

struct layout {
    int left, top, width, height, right_margin, bottom_margin;
    friend bool operator==(const layout&, const layout&) = default;
    friend std::ostream& operator<<(std::ostream& out, const layout& l) {
        return out << l.left << ',' << l.top << ' ' << l.width << 'x' << l.height << " margins "
                   << l.right_margin << ',' << l.bottom_margin;
    }
};

layout layout_of(const system_ui::control_docker& docker) {
    layout l;
    docker.get_layout(l.left, l.top, l.width, l.height, l.right_margin, l.bottom_margin);
    return l;
}

bool operator==(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

RECT rect_of(int x, int y, int width, int height) {
    RECT rect;
    system_ui::control_docker::make_rect(rect, x, y, width, height);
    return rect;
}

} // namespace

TEST_F(docking, a_resize_keeps_the_docked_distances) {
    // The parent's client area grows from 400 x 300 to 500 x 350.
    struct example {
        std::uint32_t flags;
        RECT placed;
        layout after;
    };
    const example examples[] = {
        {15, rect_of(10, 20, 380, 260), {10, 20, 480, 310, 10, 20}}, // stretches, keeps its place
        {10, rect_of(300, 250, 80, 30), {400, 300, 80, 30, 20, 20}}, // follows the bottom-right corner
        {14, rect_of(300, 10, 80, 270), {400, 10, 80, 320, 20, 20}}, // follows the right edge, stretches down
        {6, rect_of(300, 10, 80, 30), {400, 10, 80, 30, 20, 310}},   // follows the top-right corner
        {5, rect_of(10, 20, 50, 40), {10, 20, 50, 40, 440, 290}},    // stays, far margins recomputed
    };
    for (const auto& [flags, placed, after] : examples) {
        place(placed.left, placed.top, placed.right - placed.left, placed.bottom - placed.top);
        auto docker = dock(400, 300, flags);
        docker.parent_resized(0, 0, 500, 350);
        EXPECT_EQ(layout_of(docker), after) << "flags " << flags;
        EXPECT_TRUE(where() == rect_of(after.left, after.top, after.width, after.height))
            << "flags " << flags;
    }
}

TEST_F(docking, a_move_of_the_parent_leaves_anchored_controls_in_place) {
    for (const std::uint32_t flags : {15u, 10u, 5u}) {
        place(100, 80, 50, 40);
        auto docker = dock(400, 300, flags);
        const layout before = layout_of(docker);
        docker.parent_resized(30, 40, 400, 300);
        EXPECT_EQ(layout_of(docker), before) << "flags " << flags;
        EXPECT_TRUE(where() == rect_of(100, 80, 50, 40)) << "flags " << flags;
    }
    // Without anchors the control keeps its place on the screen.
    place(100, 80, 50, 40);
    auto docker = dock(400, 300, 0);
    docker.parent_resized(30, 40, 400, 300);
    EXPECT_TRUE(where() == rect_of(70, 40, 50, 40));
}

TEST_F(docking, move_control_shifts_the_control_and_its_margins) {
    place(100, 80, 50, 40);
    auto docker = dock(400, 300, 5);
    docker.move_control(5, -7);
    EXPECT_EQ(layout_of(docker), (layout{105, 73, 50, 40, 245, 187}));
    EXPECT_TRUE(where() == rect_of(105, 73, 50, 40));
}

TEST_F(docking, scaling_rounds_half_away_from_zero_and_keeps_the_parent_extent) {
    // Right and top: width 16.5 -> 17, right margin 13.5 -> 14, left takes up the rest: 89.
    place(100, 20, 11, 30);
    auto docker = dock(120, 100, 6);
    docker.scale_control(1.5f);
    EXPECT_EQ(layout_of(docker), (layout{89, 30, 17, 45, 14, 25}));
    EXPECT_TRUE(where() == rect_of(89, 30, 17, 45));

    place(10, 10, 100, 80);
    auto stretched = dock(120, 100, 15);
    stretched.scale_control(1.5f);
    EXPECT_EQ(layout_of(stretched), (layout{15, 15, 90, 70, 15, 15}));

    place(-3, 10, 20, 20);
    auto negative = dock(120, 100, 5);
    negative.scale_control(1.5f);
    EXPECT_EQ(layout_of(negative).left, -5);

    place(10, 10, 20, 20);
    auto free = dock(120, 100, 0);
    free.scale_control(2.0f);
    EXPECT_EQ(layout_of(free), (layout{10, 10, 20, 20, 90, 70}));
}

TEST_F(docking, failures_name_their_call_and_a_failed_move_keeps_the_record) {
    place(10, 20, 30, 40);
    auto docker = dock(400, 300, 5);
    DestroyWindow(box);

    EXPECT_EQ(system_error_code([&] { docker.parent_resized(0, 0, 500, 300); }), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_THAT(failure_text<std::system_error>([&] { docker.parent_resized(0, 0, 500, 300); }),
                StartsWith("parent_resized failed at 331 in file " WIN_COMMON_PATH
                           "\n - GetWindowRect resulted in error!"));
    EXPECT_THAT(failure_text<std::system_error>([&] { docker.move_control(5, 0); }),
                StartsWith("move_control failed at 215 in file " WIN_COMMON_PATH
                           "\n - MoveWindow resulted in error!"));
    EXPECT_EQ(layout_of(docker).left, 15);
    EXPECT_THAT(failure_text<std::system_error>([&] { dock(400, 300, 5); }),
                StartsWith("control_docker failed at 177 in file " WIN_COMMON_PATH
                           "\n - GetWindowRect resulted in error!"));
    EXPECT_THAT(failure_text<std::system_error>([&] {
                    RECT rect;
                    system_ui::control_docker::get_window_rect(rect, dialog.window_handle(),
                                                               destroyed_window());
                }),
                StartsWith("get_window_rect failed at 156 in file " WIN_COMMON_PATH
                           "\n - ScreenToClient resulted in error!"));
}

// DPI ------------------------------------------------------------------------------------------------------

namespace {

HRESULT WINAPI awareness_unaware(HANDLE, int* awareness) {
    *awareness = 0;
    return S_OK;
}
HRESULT WINAPI awareness_per_monitor(HANDLE, int* awareness) {
    *awareness = 2;
    return S_OK;
}
HRESULT WINAPI awareness_fails(HANDLE, int* awareness) {
    *awareness = 2;
    return E_FAIL;
}
BOOL WINAPI aware() {
    return TRUE;
}
BOOL WINAPI unaware() {
    return FALSE;
}

HRESULT WINAPI dpi_144(HMONITOR, int, UINT* x, UINT* y) {
    *x = *y = 144;
    return S_OK;
}
HRESULT WINAPI dpi_differs(HMONITOR, int, UINT* x, UINT* y) {
    *x = 96;
    *y = 120;
    return S_OK;
}
HRESULT WINAPI dpi_fails(HMONITOR, int, UINT*, UINT*) {
    return E_NOTIMPL;
}

} // namespace

TEST(dpi, process_awareness_asks_what_the_system_has_and_answers_true_without_either) {
    using system_ui::details::process_dpi_aware;
    EXPECT_TRUE(process_dpi_aware(nullptr, nullptr));
    EXPECT_TRUE(process_dpi_aware(nullptr, &aware));
    EXPECT_FALSE(process_dpi_aware(nullptr, &unaware));
    EXPECT_FALSE(process_dpi_aware(&awareness_unaware, &aware));
    EXPECT_TRUE(process_dpi_aware(&awareness_per_monitor, &unaware));
    EXPECT_FALSE(process_dpi_aware(&awareness_fails, &aware));
    EXPECT_EQ(system_ui::is_process_dpi_aware(), IsProcessDPIAware() != FALSE);
}

TEST(dpi, a_window_gets_its_monitors_dpi_or_the_screens_where_the_monitor_cannot_tell) {
    const UINT screen = static_cast<UINT>(system_ui::get_screen_dpi());
    EXPECT_GT(screen, 0u);
    const HMONITOR monitor = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    using system_ui::details::monitor_dpi;
    EXPECT_EQ(monitor_dpi(&dpi_144, monitor), 144u);
    EXPECT_EQ(monitor_dpi(&dpi_fails, monitor), screen);
    EXPECT_EQ(monitor_dpi(nullptr, monitor), screen);
    EXPECT_EQ(monitor_dpi(&dpi_144, nullptr), screen);
    EXPECT_EQ(failure_text<std::runtime_error>([&] { monitor_dpi(&dpi_differs, monitor); }),
              "get_window_dpi_scaling failed at 137 in file " WIN_COMMON_PATH
              "\n - GetDpiForMonitor resulted in error!");

    test_window window;
    EXPECT_EQ(system_ui::get_window_dpi_scaling(window.window_handle()), screen);
}

// Strings, boxes, menus, registry --------------------------------------------------------------------------

TEST(load_string, reads_the_entry_and_throws_for_a_missing_one) {
    std::wstring text;
    system_ui::load_string(text, window_test::dialogs(), IDS_PRESENT);
    EXPECT_EQ(text, L"Hello from the string table");

    // A missing entry in a block that exists leaves no last error; it must not read as success.
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(system_error_code(
                  [&] { system_ui::load_string(text, window_test::dialogs(), IDS_MISSING_IN_BLOCK); }),
              ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_NE(
        system_error_code([&] { system_ui::load_string(text, window_test::dialogs(), IDS_MISSING_BLOCK); }),
        0);
    EXPECT_THAT(failure_text<std::system_error>(
                    [&] { system_ui::load_string(text, window_test::dialogs(), IDS_MISSING_IN_BLOCK); }),
                StartsWith("load_string failed at 65 in file " WIN_COMMON_PATH));
}

namespace {

// What the message boxes shown on this thread said; each is closed as soon as it is up.
struct box_record {
    int shown = 0;
    std::wstring caption;
    std::wstring text;
    HICON icon = nullptr;
};
box_record* boxes = nullptr;

BOOL CALLBACK find_icon(HWND child, LPARAM) {
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
        boxes->icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
    return TRUE;
}

LRESULT CALLBACK close_boxes(int code, WPARAM wparam, LPARAM lparam) {
    const auto* const call = reinterpret_cast<const CWPRETSTRUCT*>(lparam);
    if (code == HC_ACTION && call->message == WM_INITDIALOG && boxes != nullptr) {
        wchar_t buffer[1024] = {};
        GetWindowTextW(call->hwnd, buffer, 1024);
        boxes->caption = buffer;
        GetDlgItemTextW(call->hwnd, 0xffff, buffer, 1024);
        boxes->text = buffer;
        EnumChildWindows(call->hwnd, &find_icon, 0);
        ++boxes->shown;
        // Gone before it is shown: showing a top-level window costs seconds on a display without a
        // window manager.
        DestroyWindow(call->hwnd);
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

class message_boxes : public ::testing::Test {
protected:
    void SetUp() override {
        boxes = &record;
        hook = SetWindowsHookExW(WH_CALLWNDPROCRET, &close_boxes, nullptr, GetCurrentThreadId());
        ASSERT_NE(hook, nullptr);
    }
    void TearDown() override {
        UnhookWindowsHookEx(hook);
        boxes = nullptr;
    }
    box_record record;
    HHOOK hook = nullptr;
};

const std::system_error access_denied(ERROR_ACCESS_DENIED, std::system_category(), "denied");
// A code the system has no text for.
const std::system_error unknown_code(0x2000fffe, std::system_category(), "unknown");

} // namespace

TEST_F(message_boxes, an_error_box_shows_the_chosen_text_under_the_caption) {
    system_ui::show_error_box(nullptr, std::runtime_error("not shown"), L"A failure has occured",
                              L"The text");
    EXPECT_EQ(record.shown, 1);
    EXPECT_EQ(record.caption, L"A failure has occured");
    EXPECT_EQ(record.text, L"The text");
    EXPECT_EQ(record.icon, LoadIconW(nullptr, IDI_ERROR));
}

TEST_F(message_boxes, a_system_error_shows_the_systems_text_or_nothing) {
    std::wstring expected;
    system_ui::format_system_message(expected, access_denied, L"fallback");
    EXPECT_NE(expected, L"fallback");
    EXPECT_FALSE(expected.empty());

    system_ui::show_system_error_box(nullptr, access_denied, L"caption");
    EXPECT_EQ(record.shown, 1);
    EXPECT_EQ(record.caption, L"caption");
    EXPECT_EQ(record.text, expected);

    system_ui::show_system_error_box(nullptr, unknown_code, L"caption");
    EXPECT_EQ(record.shown, 1) << "no box for a code without text";
    std::wstring text;
    system_ui::format_system_message(text, unknown_code, L"fallback");
    EXPECT_EQ(text, L"fallback");
}

TEST(recheck_menu_item, sets_the_whole_state_of_the_item) {
    const HMENU menu = LoadMenuW(window_test::dialogs(), MAKEINTRESOURCEW(IDM_TEST));
    ASSERT_NE(menu, nullptr);
    const auto state = [&] { return GetMenuState(menu, IDM_ITEM, MF_BYCOMMAND); };

    system_ui::recheck_menu_item(menu, IDM_ITEM, true, false);
    EXPECT_EQ(state() & (MF_CHECKED | MF_GRAYED), UINT{MF_CHECKED | MF_GRAYED});
    system_ui::recheck_menu_item(menu, IDM_ITEM, false, false);
    EXPECT_EQ(state() & (MF_CHECKED | MF_GRAYED), UINT{MF_GRAYED}) << "unchecked and greyed";
    system_ui::recheck_menu_item(menu, IDM_ITEM, true, true);
    EXPECT_EQ(state() & (MF_CHECKED | MF_GRAYED), UINT{MF_CHECKED});

    EXPECT_THAT(
        failure_text<std::system_error>([&] { system_ui::recheck_menu_item(menu, 9999, true, true); }),
        StartsWith("recheck_menu_item failed at 538 in file " WIN_COMMON_PATH));
    DestroyMenu(menu);
}

TEST(registry_check, every_status_but_success_throws_also_file_not_found) {
    EXPECT_NO_THROW(system_ui::registry_check{} <<= ERROR_SUCCESS);
    EXPECT_EQ(failure_text<std::runtime_error>([] { system_ui::registry_check{} <<= ERROR_FILE_NOT_FOUND; }),
              "operator <<= failed at 444 in file " WIN_COMMON_PATH "\n - registry failure!");
    HKEY key = nullptr;
    EXPECT_THROW(system_ui::registry_check{} <<=
                 RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\No such key here", 0, KEY_READ, &key),
                 std::runtime_error);
}
