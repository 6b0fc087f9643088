// The modeless "Hotkey Info" dialog: the list of the dialog's keyboard and mouse shortcuts in one
// read-only text that fills the dialog at every size.
#pragma once

#include <optional>

#include <windows.h>

#include "win-common.h"

namespace tessolux {

class hotkey_dialog : public system_ui::window_base {
public:
    // Creates dialog 103 owned by owner; activate gets the activation back when the dialog is closed.
    // The dialog is created hidden: the caller shows it.
    hotkey_dialog(HWND owner, HWND activate);
    ~hotkey_dialog() override;

    HWND window_handle() const override { return dialog_.get(); }
    HACCEL accelerators() const override { return nullptr; }
    INT_PTR process_message(const system_ui::register_function& register_window, HWND window, UINT message,
                            WPARAM wparam, LPARAM lparam) override;

private:
    HWND activate_;
    // Null once the dialog is gone; the message loop then drops the window.
    cpp::unique_any<HWND, &DestroyWindow> dialog_;
    // Made once the dialog exists.
    std::optional<system_ui::control_docker> text_;
};

} // namespace tessolux
