#include "hotkey-dialog.h"

#include "am-collections.h"
#include "am-common.h"
#include "host-entry.h"
#include "resource.h"

#define CONTROLS_FRAME AM_PLUGIN_SOURCE("main-controls-frame.cpp")

namespace tessolux {

hotkey_dialog::hotkey_dialog(HWND owner, HWND activate) : activate_(activate) {
    dialog_.reset(system_ui::create_dialog(module_instance(), IDD_HOTKEYS, owner, *this));
    if (!dialog_) {
        constexpr auto message = cpp::failure_message("hotkey_dialog", "2721", CONTROLS_FRAME,
                                                      "CreateDialogParam resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
    auto undo = cpp::make_rollback_guard([this] { dialog_.reset(); });
    RECT client;
    if (!GetClientRect(dialog_.get(), &client)) {
        constexpr auto message =
            cpp::failure_message("hotkey_dialog", "2727", CONTROLS_FRAME, "GetClientRect resulted in error!");
        cpp::throw_last_error(message.c_str());
    }

    // One text in four parts; each part ends in a blank line of its own.
    std::wstring text;
    for (const UINT id : {IDS_HOTKEYS_VIEW, IDS_HOTKEYS_ZOOM, IDS_HOTKEYS_TOOLS, IDS_HOTKEYS_WINDOW}) {
        std::wstring part;
        system_ui::load_string(part, module_instance(), id);
        text += part;
    }
    const HWND edit = GetDlgItem(dialog_.get(), IDC_HOTKEY_TEXT);
    // Keys and what they do in two columns: one stop past the longest key ("Ctrl+Alt+Num 4, 6, 8, 2").
    const int description_column = 96;
    SendMessageW(edit, EM_SETTABSTOPS, 1, reinterpret_cast<LPARAM>(&description_column));
    SetWindowTextW(edit, text.c_str());
    text_.emplace(dialog_.get(), edit, client.right, client.bottom,
                  system_ui::control_docker::dock_left | system_ui::control_docker::dock_right |
                      system_ui::control_docker::dock_top | system_ui::control_docker::dock_bottom);
}

hotkey_dialog::~hotkey_dialog() {
    dialog_.reset();
}

INT_PTR hotkey_dialog::process_message(const system_ui::register_function&, HWND window, UINT message, WPARAM,
                                       LPARAM lparam) {
    switch (message) {
    case WM_INITDIALOG:
        return 1;
    case WM_SIZE:
        if (text_)
            text_->parent_resized(0, 0, LOWORD(lparam), HIWORD(lparam));
        InvalidateRect(window, nullptr, TRUE);
        return 1;
    case WM_CLOSE:
        dialog_.reset();
        SetActiveWindow(activate_);
        return 1;
    case WM_DESTROY:
        // Closed by the system (with its owner) or by WM_CLOSE above.
        static_cast<void>(dialog_.release());
        return 0;
    default:
        return 0;
    }
}

} // namespace tessolux
