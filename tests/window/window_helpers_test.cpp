#include <array>
#include <string>
#include <system_error>

#include "test-window.h"

using ::testing::Property;
using ::testing::Throws;
using namespace window_test;

namespace {

// The system's functions as the tests want them.
struct fake {
    static UINT_PTR WINAPI refusing_timer(HWND, UINT_PTR, UINT, TIMERPROC, ULONG) { return 0; }
    static HRESULT WINAPI unaware(HANDLE, int* awareness) { return *awareness = 0, S_OK; }
    static HRESULT WINAPI per_monitor(HANDLE, int* awareness) { return *awareness = 2, S_OK; }
    static HRESULT WINAPI awareness_fails(HANDLE, int* awareness) { return *awareness = 2, E_FAIL; }
    static BOOL WINAPI yes() { return TRUE; }
    static BOOL WINAPI no() { return FALSE; }
    static HRESULT WINAPI dpi_144(HMONITOR, int, UINT* x, UINT* y) { return *x = *y = 144, S_OK; }
    static HRESULT WINAPI dpi_differs(HMONITOR, int, UINT* x, UINT* y) { return *x = 96, *y = 120, S_OK; }
    static HRESULT WINAPI dpi_fails(HMONITOR, int, UINT*, UINT*) { return E_NOTIMPL; }
};

using timer = loop_test;

} // namespace

TEST_F(timer, every_timer_has_an_id_of_its_own_that_its_ticks_carry_and_its_kill_reaches) {
    // SetCoalescableTimer as the system has it, missing, and refusing.
    const std::function<system_ui::timer_handle(HWND)> makers[] = {
        [](HWND window) { return system_ui::create_timer(window, 10, 5); },
        [](HWND window) { return system_ui::details::create_timer(nullptr, window, 10, 5); },
        [](HWND window) { return system_ui::details::create_timer(&fake::refusing_timer, window, 10, 5); },
    };
    for (const auto& make : makers) {
        system_ui::timer_handle timer;
        UINT_PTR id = 0, ticked = 0;
        BOOL still_there = TRUE;
        test_window window([&](HWND dialog, UINT message, WPARAM wparam) -> INT_PTR {
            if (message == WM_TIMER) {
                ticked = wparam;
                timer.kill();
                still_there = KillTimer(dialog, id);
                DestroyWindow(dialog);
            }
            return 0;
        });
        timer = make(window.window_handle());
        id = timer.id();
        ASSERT_NE(id, 0u);
        run_bounded({&window});
        EXPECT_EQ(ticked, id);
        EXPECT_FALSE(still_there) << "the handle's kill stopped the timer";
        drain_messages();
    }
    const HWND gone =
        CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    EXPECT_THROW(system_ui::create_simple_timer(gone, 10), cpp::exceptional::allocationFailure);
}

TEST(docking, anchored_distances_are_kept_and_scaled_and_the_free_part_takes_the_rest) {
    using docker = system_ui::control_docker;
    using layout = std::array<int, 6>; // left, top, width, height, right margin, bottom margin
    const test_window dialog;
    const HWND box = dialog.item(IDC_BOX);
    const auto resize = [](docker& d) { d.parent_resized(0, 0, 500, 350); }; // from 400 x 300
    const auto move = [](docker& d) { d.parent_resized(30, 40, 400, 300); };
    const auto scale = [](docker& d) { d.scale_control(1.5f); };
    struct row {
        std::uint32_t flags;
        int x, y, width, height, parent_width, parent_height;
        std::function<void(docker&)> change;
        layout after;
    };
    const row rows[] = {
        {15, 10, 20, 380, 260, 400, 300, resize, {10, 20, 480, 310, 10, 20}}, // stretches
        {10, 300, 250, 80, 30, 400, 300, resize, {400, 300, 80, 30, 20, 20}}, // follows the bottom-right
        {6, 300, 10, 80, 30, 400, 300, resize, {400, 10, 80, 30, 20, 310}},   // follows the top-right
        {5, 10, 20, 50, 40, 400, 300, resize, {10, 20, 50, 40, 440, 290}},    // stays; the margins follow
        {15, 100, 80, 50, 40, 400, 300, move, {100, 80, 50, 40, 250, 180}},   // stays in the parent
        {10, 100, 80, 50, 40, 400, 300, move, {100, 80, 50, 40, 250, 180}},
        {0, 100, 80, 50, 40, 400, 300, move, {70, 40, 50, 40, 250, 180}}, // stays on the screen
        {5, 100, 80, 50, 40, 400, 300, [](docker& d) { d.move_control(5, -7); }, {105, 73, 50, 40, 245, 187}},
        // Width 16.5 -> 17, right margin 13.5 -> 14, the left takes up the rest: 89.
        {6, 100, 20, 11, 30, 120, 100, scale, {89, 30, 17, 45, 14, 25}},
        {15, 10, 10, 100, 80, 120, 100, scale, {15, 15, 90, 70, 15, 15}},
        {5, -3, 10, 20, 20, 120, 100, scale, {-5, 15, 30, 30, 95, 55}}, // half away from zero
        {0, 10, 10, 20, 20, 120, 100, scale, {10, 10, 20, 20, 90, 70}},
    };
    for (const row& r : rows) {
        MoveWindow(box, r.x, r.y, r.width, r.height, FALSE);
        docker docked(dialog.window_handle(), box, r.parent_width, r.parent_height, r.flags);
        r.change(docked);
        layout l;
        docked.get_layout(l[0], l[1], l[2], l[3], l[4], l[5]);
        EXPECT_EQ(l, r.after) << "flags " << r.flags;
        RECT placed, expected;
        docker::get_window_rect(placed, box, dialog.window_handle());
        docker::make_rect(expected, l[0], l[1], l[2], l[3]);
        EXPECT_TRUE(EqualRect(&placed, &expected))
            << "the control is where the record says, flags " << r.flags;
    }
}

TEST(dpi, the_system_is_asked_what_it_can_tell_and_the_screen_answers_for_what_it_cannot) {
    using system_ui::details::process_dpi_aware;
    EXPECT_TRUE(process_dpi_aware(nullptr, nullptr));
    EXPECT_FALSE(process_dpi_aware(nullptr, &fake::no));
    EXPECT_FALSE(process_dpi_aware(&fake::unaware, &fake::yes));
    EXPECT_TRUE(process_dpi_aware(&fake::per_monitor, &fake::no));
    EXPECT_FALSE(process_dpi_aware(&fake::awareness_fails, &fake::yes));
    EXPECT_EQ(system_ui::is_process_dpi_aware(), IsProcessDPIAware() != FALSE);

    using system_ui::details::monitor_dpi;
    const UINT screen = static_cast<UINT>(system_ui::get_screen_dpi());
    const HMONITOR monitor = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    EXPECT_GT(screen, 0u);
    EXPECT_EQ(monitor_dpi(&fake::dpi_144, monitor), 144u);
    EXPECT_EQ(monitor_dpi(&fake::dpi_fails, monitor), screen);
    EXPECT_EQ(monitor_dpi(nullptr, monitor), screen);
    EXPECT_EQ(monitor_dpi(&fake::dpi_144, nullptr), screen);
    EXPECT_THROW(monitor_dpi(&fake::dpi_differs, monitor), std::runtime_error);
    test_window window;
    EXPECT_EQ(system_ui::get_window_dpi_scaling(window.window_handle()), screen);
}

TEST(load_string, reads_the_entry_and_a_missing_one_throws_never_reading_as_success) {
    std::wstring text;
    system_ui::load_string(text, dialogs(), IDS_PRESENT);
    EXPECT_EQ(text, L"Hello from the string table");
    // A missing entry in a block that exists leaves no last error behind.
    SetLastError(ERROR_ACCESS_DENIED);
    const std::error_code not_found(ERROR_RESOURCE_NAME_NOT_FOUND, std::system_category());
    EXPECT_THAT([&] { system_ui::load_string(text, dialogs(), IDS_MISSING_IN_BLOCK); },
                Throws<std::system_error>(Property(&std::system_error::code, not_found)));
    EXPECT_THROW(system_ui::load_string(text, dialogs(), IDS_MISSING_BLOCK), std::system_error);
}

TEST(format_system_message, gives_the_systems_text_for_the_code_or_the_fallback) {
    std::wstring text;
    system_ui::format_system_message(text, std::system_error(ERROR_ACCESS_DENIED, std::system_category()),
                                     L"fallback");
    EXPECT_NE(text, L"fallback");
    EXPECT_FALSE(text.empty());
    // A code the system has no text for.
    system_ui::format_system_message(text, std::system_error(0x2000fffe, std::system_category()),
                                     L"fallback");
    EXPECT_EQ(text, L"fallback");
}

TEST(recheck_menu_item, sets_the_whole_state_of_the_item) {
    const HMENU menu = LoadMenuW(dialogs(), MAKEINTRESOURCEW(IDM_TEST));
    ASSERT_NE(menu, nullptr);
    const struct {
        bool checked, enabled;
        UINT state;
    } rows[] = {{true, false, MF_CHECKED | MF_GRAYED}, {false, false, MF_GRAYED}, {true, true, MF_CHECKED}};
    for (const auto& r : rows) {
        system_ui::recheck_menu_item(menu, IDM_ITEM, r.checked, r.enabled);
        EXPECT_EQ(GetMenuState(menu, IDM_ITEM, MF_BYCOMMAND) & (MF_CHECKED | MF_GRAYED), r.state);
    }
    EXPECT_THROW(system_ui::recheck_menu_item(menu, 9999, true, true), std::system_error);
    DestroyMenu(menu);
}

// GetSubMenu sets no error of its own: the failure must not read as "completed successfully".
TEST(checked_submenu, gives_the_first_submenu_and_fails_with_an_error_code_where_there_is_none) {
    const HMENU bar = CreateMenu();
    const HMENU popup = CreatePopupMenu();
    AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), L"File");
    EXPECT_EQ(system_ui::checked_submenu(bar, "no submenu"), popup);
    const HMENU empty = CreatePopupMenu();
    SetLastError(ERROR_SUCCESS);
    try {
        system_ui::checked_submenu(empty, "no submenu");
        ADD_FAILURE() << "a menu without a submenu throws";
    } catch (const std::system_error& failure) {
        EXPECT_NE(failure.code().value(), 0);
    }
    DestroyMenu(empty);
    DestroyMenu(bar);
}

TEST(registry_check, every_status_but_success_throws_file_not_found_too) {
    EXPECT_NO_THROW(system_ui::registry_check{} <<= ERROR_SUCCESS);
    EXPECT_THROW(system_ui::registry_check{} <<= ERROR_FILE_NOT_FOUND, std::runtime_error);
}
