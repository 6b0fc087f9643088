// Not a test: opens the main dialog, then its settings menu, its view menu with the "Zoom To" popup, and
// saves what the screen shows at each moment as a 24-bit BMP in the working folder (settings-menu.bmp,
// view-menu.bmp, status-bar.bmp), for a person to look at. Run: commands_showcase.exe [scale].
#include <cstdlib>
#include <string>

#include "main-window-world.h"
#include "dialog-driver.h"
#include "screen-shot.h"

namespace {

using test_support::menu_script;
using test_support::press;
using test_support::save_screen;

RECT screen_rect() {
    return {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

// Lets the menu paint, then saves the screen.
test_support::menu_script::step shoot(const std::string& path) {
    auto first = std::make_shared<DWORD>(0);
    return [first, path](const std::vector<HWND>&) {
        if (*first == 0)
            *first = GetTickCount();
        if (GetTickCount() - *first < 700)
            return false;
        save_screen(screen_rect(), path);
        return true;
    };
}

class showcase : public test_support::main_window_world {};

TEST_F(showcase, menus_and_status_bar) {
    tessolux::main_window::impl& dialog = open();
    const HWND window = dialog.window_handle();
    if (const char* scale = std::getenv("SHOWCASE_SCALE"))
        dialog.change_dpi_scaling(static_cast<float>(std::atof(scale)));
    MoveWindow(window, 60, 40, 1000, 700, TRUE);
    const auto pause = [](DWORD ms) {
        auto start = std::make_shared<DWORD>(0);
        return test_support::dialog_script::step([start, ms](HWND) {
            if (*start == 0)
                *start = GetTickCount();
            return GetTickCount() - *start >= ms;
        });
    };
    ASSERT_TRUE(run(
        {ready(), pause(700), act([&] { save_screen(screen_rect(), "status-bar.bmp"); }), act([&] {
             test_support::menu_script driver(std::vector<test_support::menu_script::step>{
                 shoot("settings-menu.bmp"), test_support::end_menu()});
             dialog.on_settings_menu();
         }),
         act([&] {
             test_support::menu_script driver(std::vector<test_support::menu_script::step>{
                 test_support::menu_key(window, 'Z'), test_support::until_open(2),
                 test_support::menu_key(window, VK_DOWN), shoot("view-menu.bmp"), test_support::end_menu()});
             dialog.show_context_menu(300, 200);
         }),
         act([&] { dialog.controls->active_filters |= tessolux::tilt_shift; }), act([&] {
             dialog.recheck_view_menu();
             test_support::menu_script driver(std::vector<test_support::menu_script::step>{
                 test_support::menu_key(window, VK_DOWN), shoot("view-menu-tilt-shift.bmp"),
                 test_support::end_menu()});
             dialog.show_context_menu(300, 200);
         }),
         press(IDC_CANCEL)}));
}

} // namespace
