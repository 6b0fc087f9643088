// The main window's placement and view choices: where the dialog opens, which panels it opens with, and
// what it writes back, run by run, through the registry the user's next run reads.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "main-window-world.h"

namespace {

using tessolux::preview_rect;
using test_support::close_box;
using test_support::read_setting;
using test_support::write_setting;

std::string narrow(const wchar_t* text) {
    return std::string(text, text + std::char_traits<wchar_t>::length(text));
}

// Where the dialog opens: the stored client area grown by the frame, moved to 0 along an axis where it
// would miss the virtual screen altogether. Frame 4 on the sides and bottom, 23 on top, as Wine draws it.
TEST(restored_window_rect, grows_the_client_area_by_the_frame_and_brings_back_what_misses_the_screen) {
    const RECT frame{4, 23, 4, 4};
    const RECT primary{0, 0, 1280, 1024};
    const RECT left_monitor{-1920, 0, 1280, 1080}; // a monitor left of the primary
    constexpr std::int32_t min = std::numeric_limits<std::int32_t>::min();
    struct row {
        const char* what;
        preview_rect client;
        RECT screen;
        preview_rect window;
    };
    const row rows[] = {
        {"on the screen", {100, 200, 640, 480}, primary, {96, 177, 648, 507}},
        {"beyond the right edge", {5000, 200, 640, 480}, primary, {0, 177, 648, 507}},
        {"beyond the bottom edge", {100, 3000, 640, 480}, primary, {96, 0, 648, 507}},
        {"left of the primary, no monitor there", {-3000, 200, 640, 480}, primary, {0, 177, 648, 507}},
        {"on a monitor left of the primary", {-1500, 200, 640, 480}, left_monitor, {-1504, 177, 648, 507}},
        {"left edge on the screen's last column", {1283, 10, 640, 480}, primary, {1279, -13, 648, 507}},
        {"left edge just past the screen", {1284, 10, 640, 480}, primary, {0, -13, 648, 507}},
        {"right edge on the screen's first column", {-643, 10, 640, 480}, primary, {-647, -13, 648, 507}},
        {"right edge just touching the screen's left", {-644, 10, 640, 480}, primary, {0, -13, 648, 507}},
        {"minimised placement", {-32000, -32000, 0, 0}, primary, {0, 0, 8, 27}},
        {"negative size", {10, 30, -1, -5}, primary, {6, 7, 8, 27}},
        {"most negative origin", {min, min, 640, 480}, primary, {0, 0, 648, 507}},
    };
    for (const row& r : rows) {
        const preview_rect window = tessolux::main_window::restored_window_rect(r.client, frame, r.screen);
        EXPECT_EQ(window.x, r.window.x) << r.what;
        EXPECT_EQ(window.y, r.window.y) << r.what;
        EXPECT_EQ(window.width, r.window.width) << r.what;
        EXPECT_EQ(window.height, r.window.height) << r.what;
    }
}

// The panel's arrows, top to bottom, with the stage each folds.
struct panel_arrow {
    std::uint32_t stage;
    int id;
};
constexpr panel_arrow arrows[] = {{2, IDC_DENOISE_EXPAND}, {4, IDC_ENHANCE_EXPAND},
                                  {8, IDC_REDEYE_EXPAND},  {16, IDC_TILTSHIFT_EXPAND},
                                  {32, IDC_EFFECT_EXPAND}, {64, IDC_GRAIN_EXPAND}};

class window_settings : public test_support::main_window_world {
protected:
    HWND dialog() const { return window->window_handle(); }
    HWND panel_item(int id) const { return GetDlgItem(window->controls->window_handle(), id); }

    // The stages whose arrows show them unfolded.
    std::uint32_t unfolded_stages() const {
        std::uint32_t stages = 0;
        for (const panel_arrow& arrow : arrows) {
            wchar_t text[8] = {};
            GetWindowTextW(panel_item(arrow.id), text, 8);
            if (std::wstring(text) == L"\u25b2")
                stages |= arrow.stage;
        }
        return stages;
    }
    // The advanced sliders are there: noise reduction's search size, natural enhancement's tile size.
    bool advanced_shown() const {
        const auto shown = [&](int id) {
            return (GetWindowLongW(panel_item(id), GWL_STYLE) & WS_VISIBLE) != 0;
        };
        return shown(IDC_DENOISE_SEARCH) && shown(IDC_ENHANCE_TILE);
    }
    std::uint32_t setting(const wchar_t* name) const {
        std::uint32_t value = 0xDEADBEEF;
        EXPECT_TRUE(read_setting(key, name, value)) << "no " << narrow(name);
        return value;
    }
    preview_rect stored_placement() const {
        return {static_cast<std::int32_t>(setting(L"WindowX")),
                static_cast<std::int32_t>(setting(L"WindowY")),
                static_cast<std::int32_t>(setting(L"WindowWidth")),
                static_cast<std::int32_t>(setting(L"WindowHeight"))};
    }
    static preview_rect client_area(HWND window) {
        RECT client{};
        POINT origin{0, 0};
        GetClientRect(window, &client);
        ClientToScreen(window, &origin);
        return {origin.x, origin.y, client.right, client.bottom};
    }
    // Runs the dialog once until it is ready, then closes it with the close box.
    void run_and_close(std::vector<test_support::dialog_script::step> before_close = {}) {
        std::vector<test_support::dialog_script::step> steps{ready()};
        steps.insert(steps.end(), before_close.begin(), before_close.end());
        steps.push_back(close_box());
        ASSERT_TRUE(run(std::move(steps)));
        window.reset();
    }
};

void expect_same_rect(const preview_rect& a, const preview_rect& b, const char* what) {
    EXPECT_EQ(a.x, b.x) << what;
    EXPECT_EQ(a.y, b.y) << what;
    EXPECT_EQ(a.width, b.width) << what;
    EXPECT_EQ(a.height, b.height) << what;
}

TEST_F(window_settings, the_dialog_reopens_where_the_user_left_it_without_creeping) {
    preview_rect moved{};
    run_and_close({act([&] {
        // The user drags and sizes the dialog.
        MoveWindow(dialog(), 130, 90, 900, 640, TRUE);
        moved = client_area(dialog());
    })});
    const preview_rect first = stored_placement();
    expect_same_rect(first, moved, "the client area is stored");

    preview_rect reopened{};
    run_and_close({act([&] { reopened = client_area(dialog()); })});
    expect_same_rect(reopened, first, "the second run opens where the first was closed");
    expect_same_rect(stored_placement(), first, "and stores the same again");
}

TEST_F(window_settings, a_placement_beyond_the_screen_or_from_a_minimised_window_opens_on_the_screen) {
    const RECT screen{GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                      GetSystemMetrics(SM_XVIRTUALSCREEN) + GetSystemMetrics(SM_CXVIRTUALSCREEN),
                      GetSystemMetrics(SM_YVIRTUALSCREEN) + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
    struct row {
        std::int32_t x, y, width, height;
    };
    for (const row r :
         {row{5000, 100, 900, 600}, {-3000, 100, 900, 600}, {100, 9000, 900, 600}, {-32000, -32000, 0, 0}}) {
        test_support::delete_settings(key);
        write_setting(key, L"WindowX", static_cast<std::uint32_t>(r.x));
        write_setting(key, L"WindowY", static_cast<std::uint32_t>(r.y));
        write_setting(key, L"WindowWidth", static_cast<std::uint32_t>(r.width));
        write_setting(key, L"WindowHeight", static_cast<std::uint32_t>(r.height));
        open();
        RECT placed{};
        GetWindowRect(dialog(), &placed);
        RECT overlap{};
        EXPECT_TRUE(IntersectRect(&overlap, &placed, &screen)) << r.x << ", " << r.y;
        // Whatever was stored, the dialog keeps its smallest size.
        EXPECT_GE(placed.right - placed.left, 640) << r.x << ", " << r.y;
        EXPECT_GE(placed.bottom - placed.top, 450) << r.x << ", " << r.y;
        window.reset();
    }
}

TEST_F(window_settings, a_maximised_or_minimised_dialog_stores_its_normal_placement) {
    for (const int show : {SW_MAXIMIZE, SW_MINIMIZE}) {
        preview_rect normal{};
        run_and_close({act([&] {
            MoveWindow(dialog(), 150, 120, 880, 620, TRUE);
            normal = client_area(dialog());
            ShowWindow(dialog(), show);
            EXPECT_TRUE(show == SW_MAXIMIZE ? IsZoomed(dialog()) : IsIconic(dialog()));
        })});
        expect_same_rect(stored_placement(), normal, show == SW_MAXIMIZE ? "maximised" : "minimised");
    }
}

TEST_F(window_settings, the_first_run_opens_the_short_panel_with_natural_enhancement_alone_unfolded) {
    run_and_close({act([&] {
        EXPECT_FALSE(advanced_shown());
        EXPECT_EQ(unfolded_stages(), 4u);
    })});
    EXPECT_EQ(setting(L"ShowAdvancedSettings"), 0u);
    // Bit 1 is no panel's and stays as the panel made it.
    EXPECT_EQ(setting(L"ExpandedFilters"), 5u);
}

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

TEST_F(window_settings, any_non_zero_show_advanced_value_shows_the_advanced_sliders) {
    struct row {
        std::uint32_t stored;
        bool shown;
        std::uint32_t saved;
    };
    for (const row r : {row{0, false, 0}, {1, true, 1}, {2, true, 1}, {0xFFFFFFFF, true, 1}}) {
        write_setting(key, L"ShowAdvancedSettings", r.stored);
        write_setting(key, L"ExpandedFilters", 127);
        run_and_close({act([&] { EXPECT_EQ(advanced_shown(), r.shown) << r.stored; })});
        EXPECT_EQ(setting(L"ShowAdvancedSettings"), r.saved) << r.stored;
    }
}

TEST_F(window_settings, the_dialog_always_opens_showing_the_result) {
    for (const std::uint32_t stored : {0u, 8u, 2u}) {
        write_setting(key, L"DisplayState", stored);
        std::wstring shown;
        run_and_close({act([&] { shown = test_support::status_text(dialog(), 3); })});
        EXPECT_EQ(shown, L"Showing Result") << stored;
        EXPECT_EQ(setting(L"DisplayState"), stored | 1u);
    }
}

TEST_F(window_settings, view_and_panel_choices_come_back_as_they_were_stored) {
    struct row {
        const wchar_t* name;
        std::uint32_t stored;
        std::uint32_t saved;
    };
    const row rows[] = {
        {L"ShowAdvancedSettings", 1, 1},  {L"AutoSaveSettings", 1, 1},   {L"AutoSaveSettings", 2, 0},
        {L"ExpandedFilters", 0x55, 0x55}, {L"DisplayState", 0xF, 0xF},   {L"AutoExpandCollapse", 1, 1},
        {L"AutoExpandCollapse", 7, 1},    {L"AutoExpandCollapse", 0, 0},
    };
    for (const row& r : rows) {
        test_support::delete_settings(key);
        write_setting(key, L"ExpandedFilters", 127);
        write_setting(key, r.name, r.stored);
        run_and_close();
        EXPECT_EQ(setting(r.name), r.saved) << narrow(r.name) << " " << r.stored;
    }
}

TEST_F(window_settings, autosave_off_keeps_the_filter_settings_from_being_written_on_close) {
    for (const std::uint32_t stored : {0u, 1u}) {
        test_support::delete_settings(key);
        write_setting(key, L"AutoSaveSettings", stored);
        run_and_close();
        std::uint32_t active = 0;
        EXPECT_EQ(read_setting(key, L"ActiveFilters", active), stored == 1) << stored;
    }
}

TEST_F(window_settings, a_settings_key_that_cannot_be_written_ends_the_close_with_one_failure_box) {
    // A non-volatile key cannot be made below a volatile one.
    HKEY parent = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (test_support::settings_root + L"\\" + key).c_str(), 0,
                              nullptr, REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &parent, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(parent);
    const std::wstring parent_key = key;
    key += L"\\inner";
    run_and_close();
    key = parent_key;
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"A failure has occured");
}

} // namespace
