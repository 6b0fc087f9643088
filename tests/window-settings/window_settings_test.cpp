// The main window's placement and view choices: where the dialog opens, which panels it opens with, and
// what it writes back, run by run, through the registry the user's next run reads.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "main-window-world.h"

namespace {

using tessolux::preview_rect;
using tessolux::main_window::placed_window_rect;
using tessolux::main_window::stored_window_rect;
using test_support::read_setting;
using test_support::write_setting;

std::string text(const preview_rect& r) {
    return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
           std::to_string(r.height);
}

// The window of a stored placement: the client area grown by the frame, 4 on the sides and bottom and 23
// on top as Wine draws it, in sums that do not overflow.
TEST(stored_window_rect, grows_the_client_area_by_the_frame) {
    const struct {
        preview_rect client;
        const char* window;
    } rows[] = {
        {{100, 200, 640, 480}, "96,177 648x507"},
        {{-32000, -32000, 0, 0}, "-32004,-32023 8x27"}, // a minimised window's placement
        {{0, 0, -5, -1}, "-4,-23 8x27"},                // a negative size counts as none
        {{INT32_MIN, INT32_MIN, 640, 480}, "-2147483648,-2147483648 648x507"},
        {{INT32_MAX, 0, INT32_MAX, 480}, "2147483643,-23 2147483647x507"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(text(stored_window_rect(r.client, {4, 23, 4, 4})), r.window) << text(r.client);
}

// A window stays where it was stored while its caption strip (23 rows here) meets some monitor's work
// area; otherwise it moves onto the nearest monitor's work area: clamped to its size, then moved just
// enough to lie inside it.
TEST(placed_window_rect,
     keeps_a_caption_the_user_can_grab_and_moves_any_other_window_onto_the_nearest_work_area) {
    const RECT primary{0, 0, 1280, 1024};
    const RECT under_top_bar{0, 40, 1920, 1080}; // a task bar 40 rows high along the top
    const RECT tall{0, 0, 1920, 1080};           // two monitors side by side, the right one shorter:
    const RECT short_right{1920, 0, 3200, 720};  // below it lies a gap that no monitor covers
    const RECT left_of_primary{-1920, 0, 0, 1080};
    const struct {
        preview_rect window;
        std::vector<RECT> work_areas;
        RECT nearest;
        const char* placed;
    } rows[] = {
        {{96, 177, 648, 507}, {primary}, primary, "96,177 648x507"},
        {{96, -423, 648, 507}, {primary}, primary, "96,0 648x507"},  // WindowY -400: body on, caption above
        {{96, -22, 648, 507}, {primary}, primary, "96,-22 648x507"}, // the caption's last row on the screen
        {{96, -23, 648, 507}, {primary}, primary, "96,0 648x507"},   // and none of it
        {{300, 10, 648, 507}, {under_top_bar}, under_top_bar, "300,40 648x507"}, // caption under the bar
        {{300, 20, 648, 507}, {under_top_bar}, under_top_bar, "300,20 648x507"}, // 3 rows below it
        {{2000, 800, 648, 507}, {tall, short_right}, short_right, "2000,213 648x507"}, // in the gap
        {{1500, 800, 648, 507}, {tall, short_right}, short_right, "1500,800 648x507"}, // over the tall one
        {{-1500, 177, 648, 507}, {left_of_primary, primary}, left_of_primary, "-1500,177 648x507"},
        {{5000, 177, 648, 507}, {primary}, primary, "632,177 648x507"},
        {{-50, -50, 3000, 2000}, {primary}, primary, "0,0 1280x1024"}, // larger than the work area
        {{-32004, -32023, 8, 27}, {primary}, primary, "0,0 8x27"},
        {{INT32_MIN, INT32_MIN, 648, 507}, {primary}, primary, "0,0 648x507"},
        {{INT32_MAX - 10, 177, INT32_MAX, 507}, {primary}, primary, "0,177 1280x507"},
        {{96, 177, 648, 507}, {}, primary, "96,177 648x507"}, // no monitor listed: the nearest one's area
    };
    for (const auto& r : rows)
        EXPECT_EQ(text(placed_window_rect(r.window, 23, r.work_areas, r.nearest)), r.placed)
            << text(r.window);
}

class window_settings : public test_support::main_window_world {
protected:
    HWND dialog() const { return window->window_handle(); }
    HWND panel_item(int id) const { return GetDlgItem(window->controls->window_handle(), id); }

    // The stages whose arrows show them unfolded: the arrows go down the panel from noise reduction's
    // (stage 2) to grain's (64).
    std::uint32_t unfolded_stages() const {
        std::uint32_t stages = 0, stage = 2;
        for (const int id : {IDC_DENOISE_EXPAND, IDC_ENHANCE_EXPAND, IDC_REDEYE_EXPAND, IDC_TILTSHIFT_EXPAND,
                             IDC_EFFECT_EXPAND, IDC_GRAIN_EXPAND}) {
            wchar_t arrow[8] = {};
            GetWindowTextW(panel_item(id), arrow, 8);
            stages |= arrow == std::wstring(L"\u25b2") ? stage : 0;
            stage <<= 1;
        }
        return stages;
    }
    // The advanced sliders are there: noise reduction's search size and natural enhancement's tile size.
    bool advanced_shown() const {
        return (GetWindowLongW(panel_item(IDC_DENOISE_SEARCH), GWL_STYLE) &
                GetWindowLongW(panel_item(IDC_ENHANCE_TILE), GWL_STYLE) & WS_VISIBLE) != 0;
    }
    std::uint32_t setting(const wchar_t* name) const {
        std::uint32_t value = 0xDEADBEEF; // what a missing value reads as
        read_setting(key, name, value);
        return value;
    }
    std::string stored_placement() const {
        const auto at = [this](const wchar_t* name) { return static_cast<std::int32_t>(setting(name)); };
        return text({at(L"WindowX"), at(L"WindowY"), at(L"WindowWidth"), at(L"WindowHeight")});
    }
    std::string client_area() const {
        RECT client{};
        GetClientRect(dialog(), &client);
        MapWindowPoints(dialog(), nullptr, reinterpret_cast<POINT*>(&client), 2);
        return text({client.left, client.top, client.right - client.left, client.bottom - client.top});
    }
    // Runs the dialog once until it is ready, then closes it with the close box.
    void run_and_close(std::function<void()> before_close = [] {}) {
        ASSERT_TRUE(run({ready(), act(before_close), test_support::close_box()}));
        window.reset();
    }
};

// Stored is the client area of the normal placement, also of a window closed maximised or minimised.
TEST_F(window_settings, the_dialog_reopens_where_the_user_left_it_without_creeping) {
    for (const int show : {SW_SHOWNORMAL, SW_MAXIMIZE, SW_MINIMIZE}) {
        std::string moved, reopened;
        run_and_close([&] {
            MoveWindow(dialog(), 130, 90, 900, 640, TRUE); // the user drags and sizes the dialog
            moved = client_area();
            ShowWindow(dialog(), show);
        });
        const std::string first = stored_placement();
        EXPECT_EQ(first, moved) << "the client area is stored, shown as " << show;
        run_and_close([&] { reopened = client_area(); });
        EXPECT_EQ(reopened, first) << "the second run opens where the first was closed, shown as " << show;
        EXPECT_EQ(stored_placement(), first) << "and stores the same again, shown as " << show;
    }
}

// Whatever was stored, the dialog opens with its caption on the work area, where it can be dragged.
TEST_F(window_settings,
       a_placement_off_the_screen_or_from_a_minimised_window_opens_with_its_caption_on_the_work_area) {
    RECT work{};
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
    const std::int32_t rows[][4] = {{5000, 100, 900, 600},
                                    {-3000, 100, 900, 600},
                                    {100, 9000, 900, 600},
                                    {100, -400, 640, 480},
                                    {-32000, -32000, 0, 0}};
    for (const auto& r : rows) {
        for (int i = 0; const wchar_t* name : {L"WindowX", L"WindowY", L"WindowWidth", L"WindowHeight"})
            write_setting(key, name, static_cast<std::uint32_t>(r[i++]));
        const HWND opened = open().window_handle();
        RECT placed{};
        GetWindowRect(opened, &placed);
        POINT client{0, 0};
        ClientToScreen(opened, &client);
        const RECT caption{placed.left, placed.top, placed.right, client.y};
        RECT shared{};
        EXPECT_TRUE(IntersectRect(&shared, &caption, &work)) << r[0] << ", " << r[1];
        EXPECT_TRUE(placed.left >= work.left && placed.top >= work.top && placed.right <= work.right &&
                    placed.bottom <= work.bottom)
            << "moved wholly onto the work area: " << r[0] << ", " << r[1];
        // Whatever was stored, the dialog keeps its smallest size.
        EXPECT_GE(placed.right - placed.left, 640) << r[0] << ", " << r[1];
        EXPECT_GE(placed.bottom - placed.top, 450) << r[0] << ", " << r[1];
        window.reset();
    }
}

TEST_F(window_settings, the_first_run_opens_the_short_panel_with_natural_enhancement_alone_unfolded) {
    run_and_close([&] {
        EXPECT_FALSE(advanced_shown());
        EXPECT_EQ(unfolded_stages(), 4u);
    });
    EXPECT_EQ(setting(L"ShowAdvancedSettings"), 0u);
    EXPECT_EQ(setting(L"ExpandedFilters"), 5u); // bit 1 is no panel's and stays as the panel made it
}

// The panels open as the stored mask says, without a click: the dialog is not active yet.
TEST_F(window_settings, exactly_the_stored_panels_open_unfolded) {
    // 127 is what the panel starts with: nothing changes. Bits of no panel are ignored.
    for (const std::uint32_t stored : {127u, 0u, 4u | 16u, 2u | 64u, 0x80u, 0xFFFFFF81u}) {
        write_setting(key, L"ShowAdvancedSettings", 1);
        write_setting(key, L"ExpandedFilters", stored);
        open();
        EXPECT_EQ(unfolded_stages(), stored & 126u) << stored;
        window.reset();
    }
}

TEST_F(window_settings, stored_view_choices_come_back_read_as_flags_and_the_result_always_shows_first) {
    const struct {
        const wchar_t* name;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> stored_and_saved;
    } values[] = {
        {L"ShowAdvancedSettings", {{0, 0}, {2, 1}, {0xFFFFFFFF, 1}}}, // any non-zero value shows the sliders
        {L"AutoSaveSettings", {{0, 0}, {1, 1}, {2, 0}}},              // on for 1 only
        {L"ExpandedFilters", {{0x57, 0x57}}},
        {L"DisplayState", {{0, 1}, {0xE, 0xF}}},
        {L"AutoExpandCollapse", {{7, 1}, {0, 0}}},
    };
    for (const auto& [name, stored_and_saved] : values)
        for (const auto& [stored, saved] : stored_and_saved) {
            test_support::delete_settings(key);
            write_setting(key, L"ExpandedFilters", 127);
            write_setting(key, name, stored);
            bool advanced = false;
            std::wstring shown;
            run_and_close([&] {
                advanced = advanced_shown();
                shown = test_support::status_text(dialog(), 3);
            });
            EXPECT_EQ(setting(name), saved) << stored;
            EXPECT_EQ(advanced, setting(L"ShowAdvancedSettings") == 1) << stored;
            EXPECT_EQ(shown, L"Showing Result") << stored;
            // Without autosave the filter settings are not written on close.
            std::uint32_t active = 0;
            EXPECT_EQ(read_setting(key, L"ActiveFilters", active), setting(L"AutoSaveSettings") == 1);
        }
}

} // namespace
