// The main dialog's commands: accelerators, the settings and view menus, the status bar's parts.
#include "main-dialog-impl.h"

#include "hotkey-dialog.h"

#include "resource.h"

namespace tessolux::main_window {

preview_rect rescale_status(HWND status, int width, float scale, int height) {
    const auto scaled = [scale](int pixels) { return round_to_int(static_cast<double>(scale) * pixels); };
    const int edges[4] = {scaled(30), width - scaled(500), width - scaled(150), -1};
    if (!SendMessageW(status, SB_SETPARTS, 4, reinterpret_cast<LPARAM>(edges))) {
        constexpr auto message =
            cpp::failure_message("rescale_status", "53", AM_PLUGIN_SOURCE("main-dialog-impl.cpp"),
                                 "SendMessage(status, SB_SETPARTS) resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
    return {width - scaled(500), 0, scaled(500) - scaled(150), height};
}

void impl::set_status_summary(const std::wstring& text) {
    if (!SendMessageW(status_bar, SB_SETTEXTW, 1, reinterpret_cast<LPARAM>(text.c_str()))) {
        constexpr auto message =
            cpp::failure_location("set_status_summary", "151", AM_PLUGIN_SOURCE("main-dialog-impl.cpp"));
        cpp::throw_last_error(message.c_str());
    }
}

void impl::on_command(const system_ui::register_function&, WPARAM wparam, LPARAM) {
    if (closing)
        return;
    switch (LOWORD(wparam)) {
    case IDC_APPLY:
        on_apply();
        break;
    case IDC_CANCEL:
        on_cancel();
        break;
    default:
        break;
    }
}

void impl::on_settings_menu() {}
void impl::show_context_menu(int, int) {}
void impl::show_help() {}
void impl::reload_icons() {}
void impl::show_hotkey_dialog_command(const system_ui::register_function&) {}

} // namespace tessolux::main_window
