// Single commands of the main dialog: the help file, the background colour, the maximise toggle, the
// focused rectangle's border steps, circles at the brush, the hotkey dialog, and a settings save that
// fails.
#include <cmath>

#include "commands-world.h"

namespace {

using namespace commands_test;
using tessolux::main_window::impl;

// Where the product keeps its installation folder, in the 32-bit view.
const wchar_t install_key[] = L"SOFTWARE\\Veltrin Media\\Tessolux 3 Plugin";

class commands : public commands_world {
public:
    void TearDown() override {
        commands_world::TearDown();
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, install_key, KEY_WOW64_32KEY, 0);
    }

    void command(UINT id) { window->on_command({}, id, 0); }
};

TEST_F(commands, f1_opens_the_help_file_only_when_the_folder_is_a_plain_text) {
    const wchar_t folder[] = L"C:\\Program Files\\Tessolux";
    const struct {
        const char* name;
        bool key;
        DWORD type;
        bool opens;
    } rows[] = {
        {"REG_SZ", true, REG_SZ, true},          {"REG_EXPAND_SZ", true, REG_EXPAND_SZ, false},
        {"REG_BINARY", true, REG_BINARY, false}, {"no value", true, REG_NONE, false},
        {"no key", false, REG_NONE, false},
    };
    ASSERT_TRUE(run({ready(), act([&] {
                         for (const auto& row : rows) {
                             SCOPED_TRACE(row.name);
                             RegDeleteKeyExW(HKEY_LOCAL_MACHINE, install_key, KEY_WOW64_32KEY, 0);
                             if (row.key) {
                                 HKEY key = nullptr;
                                 ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, install_key, 0, nullptr, 0,
                                                           KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key,
                                                           nullptr),
                                           ERROR_SUCCESS);
                                 const system_ui::key_handle held(key);
                                 if (row.type != REG_NONE)
                                     RegSetValueExW(key, L"InstallDir", 0, row.type,
                                                    reinterpret_cast<const BYTE*>(folder), sizeof folder);
                             }
                             opened.clear();
                             command(ID_SHOW_HELP);
                             ASSERT_EQ(opened.size(), row.opens ? 1u : 0u);
                             if (!row.opens)
                                 continue;
                             EXPECT_EQ(opened[0].owner, dialog());
                             EXPECT_EQ(opened[0].verb, L"open");
                             EXPECT_EQ(opened[0].file, L"C:\\Program Files\\Tessolux\\Tessolux3Plugin.chm");
                             EXPECT_FALSE(opened[0].has_parameters);
                             EXPECT_FALSE(opened[0].has_directory);
                             EXPECT_EQ(opened[0].show, SW_SHOW);
                         }
                     }),
                     test_support::press(IDC_CANCEL)}));
    EXPECT_TRUE(boxes.empty());
}

// The viewport's top-left pixel on the screen, once the preview shows the picture zoomed out to a
// quarter: background there, never image.
COLORREF viewport_corner(impl& w) {
    const HDC screen = GetDC(w.window_handle());
    const COLORREF pixel = GetPixel(screen, w.viewport.x + 2, w.viewport.y + 2);
    ReleaseDC(w.window_handle(), screen);
    return pixel;
}

TEST_F(commands, the_background_colour_chooser_starts_from_the_current_colour_and_its_choice_shows) {
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const COLORREF red = RGB(200, 30, 20);
    const auto background_is = [&](COLORREF colour) {
        return test_support::dialog_script::step(
            [this, colour](HWND) { return viewport_corner(*window) == colour; });
    };
    ASSERT_TRUE(run({ready(), act([&] {
                         const tessolux::preview_rect& v = window->viewport;
                         window->zoom_at(v.width / 2, v.height / 2, 0.25);
                         window->draw_picture(0);
                         // Cancelled: nothing changes.
                         command(ID_BACKGROUND_COLOR);
                         ASSERT_EQ(requests.size(), 1u);
                         EXPECT_EQ(requests[0].owner, dialog());
                         EXPECT_EQ(requests[0].flags, static_cast<DWORD>(CC_RGBINIT));
                         EXPECT_EQ(requests[0].initial, face);
                         const std::vector<COLORREF> custom = {face,
                                                               GetSysColor(COLOR_BTNHIGHLIGHT),
                                                               GetSysColor(COLOR_BTNSHADOW),
                                                               0,
                                                               0,
                                                               0,
                                                               0,
                                                               0,
                                                               0,
                                                               0,
                                                               0,
                                                               0,
                                                               0,
                                                               0,
                                                               0,
                                                               0};
                         EXPECT_EQ(requests[0].custom, custom);
                         chooser_answer = red;
                         command(ID_BACKGROUND_COLOR);
                     }),
                     background_is(red), act([&] {
                         ASSERT_EQ(requests.size(), 2u);
                         EXPECT_EQ(requests[1].initial, face);
                         // The next choice starts from red; choosing the button face follows the system's
                         // colour again.
                         chooser_answer = face;
                         window->run_view_command(ID_BACKGROUND_COLOR, 10, 10);
                         ASSERT_EQ(requests.size(), 3u);
                         EXPECT_EQ(requests[2].initial, red);
                         EXPECT_EQ(window->background_colour, -1);
                     }),
                     background_is(face), test_support::press(IDC_CANCEL)}));
}

// F11 twice restores; on a window that already fills the work area with no earlier place to go back to,
// it must not shrink the window to nothing.
TEST_F(commands, f11_fills_the_work_area_and_a_second_f11_restores_the_window) {
    ASSERT_TRUE(run({ready(), act([&] {
                         MONITORINFO info{};
                         info.cbSize = sizeof info;
                         GetMonitorInfoW(MonitorFromWindow(dialog(), MONITOR_DEFAULTTONEAREST), &info);
                         const RECT& work = info.rcWork;
                         MoveWindow(dialog(), work.left, work.top, work.right - work.left,
                                    work.bottom - work.top, TRUE);
                         command(ID_MAXIMIZE);
                         EXPECT_TRUE(window_rect() == work);
                         MoveWindow(dialog(), 120, 80, 900, 640, TRUE);
                         const RECT before = window_rect();
                         command(ID_MAXIMIZE);
                         EXPECT_TRUE(window_rect() == work);
                         command(ID_MAXIMIZE);
                         EXPECT_TRUE(window_rect() == before);
                     }),
                     test_support::press(IDC_CANCEL)}));
}

TEST_F(commands, an_empty_focused_rectangle_takes_no_border_step) {
    ASSERT_TRUE(
        run({ready(), act([&] {
                 window->controls->selection_mode = 1;
                 window->controls->focused = {10, 10, 0, 30};
                 for (const UINT step : {ID_STEP_LEFT, ID_STEP_RIGHT_LARGE, ID_STEP_UP, ID_STEP_DOWN_LARGE})
                     command(step);
                 const tessolux::preview_rect& f = window->controls->focused;
                 EXPECT_EQ(f.x, 10);
                 EXPECT_EQ(f.y, 10);
                 EXPECT_EQ(f.width, 0);
                 EXPECT_EQ(f.height, 30);
             }),
             test_support::press(IDC_CANCEL)}));
}

TEST_F(commands, a_circle_is_added_at_the_brush_only_while_the_brush_is_shown_over_the_image) {
    const auto circles = [&] {
        wchar_t text[128] = {};
        GetDlgItemTextW(window->controls->window_handle(), IDC_REDEYE_HISTORY, text, 128);
        return std::wstring(text);
    };
    ASSERT_TRUE(run({ready(), act([&] {
                         window->controls->selection_mode = 2;
                         const tessolux::preview_rect& v = window->viewport;
                         // Hidden brush, then a brush far left of the picture: nothing.
                         window->brush_position = {-1, -1};
                         command(ID_ADD_CIRCLE);
                         window->zoom_at(v.width / 2, v.height / 2, 0.25);
                         place_brush(*window, {v.x + 1, v.y + v.height / 2});
                         command(ID_ADD_CIRCLE);
                         EXPECT_EQ(circles(), L"# of circles:\t0\r\n# of redos:\t0");
                         // Over the picture's middle: one circle.
                         place_brush(*window, {v.x + v.width / 2, v.y + v.height / 2});
                         command(ID_ADD_CIRCLE);
                         EXPECT_EQ(circles(), L"# of circles:\t1\r\n# of redos:\t0");
                         EXPECT_EQ(window->controls->eyes.circles[0].radius,
                                   static_cast<std::int32_t>(std::lround(10.0 / window->view.zoom)));
                     }),
                     test_support::press(IDC_CANCEL)}));
}

TEST_F(commands, the_hotkey_dialog_joins_the_loop_and_a_second_command_keeps_one_open) {
    HWND first = nullptr;
    ASSERT_TRUE(run({ready(), keys(ctrl, VK_F1), release(), act([&] {
                         ASSERT_TRUE(window->hotkey_window);
                         first = window->hotkey_window->window_handle();
                         ASSERT_NE(first, nullptr);
                         EXPECT_FALSE(window->hotkey_window->isolated());
                         EXPECT_TRUE(IsWindowVisible(first));
                     }),
                     keys(ctrl, VK_F1), release(), act([&] {
                         // The open one comes forward; no second dialog.
                         EXPECT_EQ(window->hotkey_window->window_handle(), first);
                         PostMessageW(first, WM_CLOSE, 0, 0);
                     }),
                     [&](HWND) { return !IsWindow(first); }, act([&] {
                         // Closed, it left the loop; the command makes a new one that joins it.
                         EXPECT_TRUE(window->hotkey_window->isolated());
                     }),
                     keys(ctrl, VK_F1), release(), act([&] {
                         const HWND second = window->hotkey_window->window_handle();
                         ASSERT_NE(second, nullptr);
                         EXPECT_TRUE(IsWindowVisible(second));
                         EXPECT_FALSE(window->hotkey_window->isolated());
                     }),
                     test_support::press(IDC_CANCEL)}));
}

// A settings key below a volatile key cannot be made: the save fails in the registry.
TEST_F(commands, a_failed_settings_save_is_reported_once_and_the_dialog_stays_open) {
    const std::wstring parent = key + L"-volatile";
    HKEY made = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (test_support::settings_root + L"\\" + parent).c_str(), 0,
                              nullptr, REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &made, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(made);
    key = parent + L"\\settings";
    std::unique_ptr<test_support::menu_script> driver;
    ASSERT_TRUE(
        run({ready(), act([&] {
                 // "Save Filter Settings", chosen in the settings menu as the user would.
                 driver = std::make_unique<test_support::menu_script>(
                     std::vector<test_support::menu_script::step>{test_support::menu_key(dialog(), L'S')});
             }),
             keys(0, VK_F10), release(), menus_closed(), act([&] {
                 EXPECT_TRUE(driver->finished());
                 EXPECT_NE(dialog(), nullptr);
                 EXPECT_TRUE(window->was_cancelled());
                 EXPECT_NE(test_support::status_text(dialog(), 1), string(IDS_SETTINGS_SAVED));
             }),
             test_support::press(IDC_CANCEL)}));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, string(IDS_FAILURE_CAPTION));
    EXPECT_EQ(boxes[0].text, string(IDS_UNKNOWN_ERROR));
    test_support::delete_settings(parent);
}

} // namespace
