// Shows the fully expanded controls panel in the test owner dialog at a DPI scale, as the main window
// would after a scale change, and saves what the screen shows of it as a 24-bit BMP:
//   panel_showcase.exe <scale> <file.bmp> [collapsed | hotkeys | native]
// With "collapsed" every panel is folded first; with "hotkeys" the hotkey dialog is shown instead; with
// "native" the panel is made at the scale, as on a system of that DPI. Meant for a person to look at; not
// a test.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "panel-test.h"
#include "plugin/hotkey-dialog.h"
#include "screen-shot.h"

namespace {

using test_support::save_screen;

void pump_for(DWORD milliseconds) {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD passed = GetTickCount() - start;
        if (passed >= milliseconds)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - passed, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
    const char* path = argc > 2 ? argv[2] : "panel.bmp";
    const std::string mode = argc > 3 ? argv[3] : "";
    const bool collapsed = mode == "collapsed";
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    try {
        auto engine = tessolux::create_engine_context();
        auto source = panel_test::make_picture(engine, 1200, 800);
        panel_test::owner_window owner;
        const HWND dialog = owner.window_handle();
        panel_test::back_buffer buffer;
        // Dialog units follow the system's DPI already; a scale change scales the panel on top of them.
        const double layout_scale = mode == "native" ? 1.0 : scale;
        const int width = panel_test::panel_width(dialog, 1.0);
        const int screen_height = GetSystemMetrics(SM_CYSCREEN);
        tessolux::main_window::controls_frame panel(
            dialog, 0, 0, width, screen_height - 40, mode == "native" ? static_cast<float>(scale) : 1.0f,
            [](unsigned, tessolux::filter_state) {},
            [](std::exception_ptr failure) { std::rethrow_exception(failure); },
            [&](HDC screen, unsigned w, unsigned h) { return buffer.take(screen, w, h); },
            [&](void* previous) { buffer.give_back(previous); }, engine);
        panel.source_frame = &source;
        panel.prepare_effects_combo(engine);
        panel.focused = {400, 266, 400, 267};
        panel.update_focus_area_text();
        auto font = panel_test::make_panel_font(scale);
        panel.set_panel_fonts(font.get(), font.get());
        if (scale != 1.0 && mode != "native")
            panel.on_dpi_changed(engine, scale, static_cast<float>(scale));
        if (collapsed)
            for (const auto stage :
                 {tessolux::reduce_noise, tessolux::natural_enhance, tessolux::remove_red_eyes,
                  tessolux::tilt_shift, tessolux::film_effect, tessolux::grain})
                panel.toggle_expanded(stage);
        if (mode == "hotkeys") {
            tessolux::hotkey_dialog hotkeys(dialog, dialog);
            ShowWindow(hotkeys.window_handle(), SW_SHOW);
            pump_for(1500);
            RECT frame{};
            GetWindowRect(hotkeys.window_handle(), &frame);
            return save_screen(frame, path) ? 0 : 1;
        }
        RECT frame{};
        GetWindowRect(dialog, &frame);
        RECT client{};
        GetClientRect(dialog, &client);
        const int extra_width = (frame.right - frame.left) - client.right;
        const int extra_height = (frame.bottom - frame.top) - client.bottom;
        const int panel_width = panel_test::panel_width(dialog, layout_scale);
        SetWindowPos(dialog, nullptr, 0, 0, panel_width + extra_width, screen_height - 40 + extra_height,
                     SWP_NOZORDER);
        MoveWindow(panel.window_handle(), 0, 0, panel_width, screen_height - 40, TRUE);
        ShowWindow(dialog, SW_SHOWNORMAL);
        pump_for(1500);
        GetWindowRect(dialog, &frame);
        if (!save_screen(frame, path))
            return 1;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "failed: %s\n", failure.what());
        return 2;
    }
    CoUninitialize();
    return 0;
}
