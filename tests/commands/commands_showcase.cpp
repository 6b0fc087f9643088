// Not a test: opens the main dialog, then its settings menu, its view menu with the "Zoom To" popup, and
// saves what the screen shows at each moment as a 24-bit BMP in the working folder (settings-menu.bmp,
// view-menu.bmp, status-bar.bmp), for a person to look at. Run: commands_showcase.exe [scale].
#include <cstdlib>
#include <fstream>
#include <string>

#include "main-window-world.h"
#include "menu-driver.h"

namespace {

using commands_test::menu_driver;
using test_support::press;

bool save_screen(const RECT& rect, const std::string& path) {
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const HDC screen = GetDC(nullptr);
    system_ui::dc_handle memory(CreateCompatibleDC(screen));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    system_ui::bitmap_handle bitmap(CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    {
        const system_ui::selection_guard selected(memory.get(), bitmap.get());
        BitBlt(memory.get(), 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    }
    ReleaseDC(nullptr, screen);
    GdiFlush();
    const int stride = (width * 3 + 3) & ~3;
    BITMAPFILEHEADER file{};
    file.bfType = 0x4d42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(stride) * height;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    out.write(static_cast<const char*>(bits), static_cast<std::streamsize>(stride) * height);
    return out.good();
}

RECT screen_rect() {
    return {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

// Lets the menu paint, then saves the screen.
menu_driver::step shoot(const std::string& path) {
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
    ASSERT_TRUE(
        run({ready(), pause(700), act([&] { save_screen(screen_rect(), "status-bar.bmp"); }), act([&] {
                 menu_driver driver(
                     std::vector<menu_driver::step>{shoot("settings-menu.bmp"), menu_driver::end_menu()});
                 dialog.on_settings_menu();
             }),
             act([&] {
                 menu_driver driver(std::vector<menu_driver::step>{
                     menu_driver::key(window, 'Z'), menu_driver::until_open(2),
                     menu_driver::key(window, VK_DOWN), shoot("view-menu.bmp"), menu_driver::end_menu()});
                 dialog.show_context_menu(300, 200);
             }),
             act([&] { dialog.controls->active_filters |= tessolux::tilt_shift; }), act([&] {
                 dialog.recheck_view_menu();
                 menu_driver driver(std::vector<menu_driver::step>{menu_driver::key(window, VK_DOWN),
                                                                   shoot("view-menu-tilt-shift.bmp"),
                                                                   menu_driver::end_menu()});
                 dialog.show_context_menu(300, 200);
             }),
             press(IDC_CANCEL)}));
}

} // namespace
