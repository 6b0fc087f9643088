// The world of the commands' tests: the main dialog in this process (see main-window-world.h), with the
// shell and the colour chooser replaced by recorders, keys pressed through the dialog's own loop and
// accelerators, and readers for what the commands change: the view-information text, the status bar,
// the menus' check marks and the window's place.
#pragma once

#include <cstdint>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "main-window-world.h"
#include "dialog-driver.h"
#include "plugin/shell-calls.h"

namespace commands_test {

// What the dialog asked of the shell and of the colour chooser.
struct opened_file {
    HWND owner;
    std::wstring verb;
    std::wstring file;
    bool has_parameters;
    bool has_directory;
    int show;
};
struct colour_request {
    HWND owner;
    DWORD flags;
    COLORREF initial;
    std::vector<COLORREF> custom;
};

// Modifier bits of an accelerator entry.
constexpr BYTE ctrl = FCONTROL;
constexpr BYTE shift = FSHIFT;
constexpr BYTE alt = FALT;

class commands_world : public test_support::main_window_world {
public:
    using main_window_world::boxes;
    using main_window_world::window;

    void SetUp() override {
        // The scale commands rescale only a DPI-aware dialog.
        SetProcessDPIAware();
        main_window_world::SetUp();
        shell = std::make_unique<tessolux::shell_calls::replacement>(
            [this](HWND owner, const wchar_t* verb, const wchar_t* file, const wchar_t* parameters,
                   const wchar_t* directory, int show) {
                opened.push_back({owner, verb != nullptr ? verb : L"", file != nullptr ? file : L"",
                                  parameters != nullptr, directory != nullptr, show});
                return reinterpret_cast<HINSTANCE>(42);
            },
            [this](CHOOSECOLORW& choice) {
                requests.push_back({choice.hwndOwner, choice.Flags, choice.rgbResult,
                                    std::vector<COLORREF>(choice.lpCustColors, choice.lpCustColors + 16)});
                if (!chooser_answer)
                    return false;
                choice.rgbResult = *chooser_answer;
                return true;
            });
    }
    void TearDown() override {
        SetKeyboardState(std::vector<BYTE>(256, 0).data());
        // The brush keys move the system pointer: it goes back out of every dialog's way.
        SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
        main_window_world::TearDown();
        shell.reset();
    }

    // Presses the keys as the user would: the key message goes through the loop, whose accelerators
    // turn it into the command, with the modifiers held meanwhile.
    static test_support::dialog_script::step keys(BYTE modifiers, WORD key) {
        return [modifiers, key](HWND dialog) {
            BYTE state[256] = {};
            const auto hold = [&](int vk) { state[vk] = 0x80; };
            if ((modifiers & ctrl) != 0)
                hold(VK_CONTROL), hold(VK_LCONTROL);
            if ((modifiers & shift) != 0)
                hold(VK_SHIFT), hold(VK_LSHIFT);
            if ((modifiers & alt) != 0)
                hold(VK_MENU), hold(VK_LMENU);
            hold(key);
            SetKeyboardState(state);
            // Keys go to the control with the focus (Apply, while nothing else took it); with Alt held
            // the system sends them as system keys.
            HWND target = GetFocus();
            if (target == nullptr || !IsChild(dialog, target))
                target = GetDlgItem(dialog, IDC_APPLY);
            const bool system = (modifiers & alt) != 0;
            PostMessageW(target, system ? WM_SYSKEYDOWN : WM_KEYDOWN, key, system ? (1 | 1 << 29) : 1);
            return true;
        };
    }
    // The keys go up once the command ran.
    static test_support::dialog_script::step release() {
        return [](HWND) {
            BYTE state[256] = {};
            SetKeyboardState(state);
            return true;
        };
    }

    // Waits until no popup menu is open: a command that opened one has returned.
    static test_support::dialog_script::step menus_closed() {
        return [](HWND) { return test_support::open_menus().empty(); };
    }

    HWND dialog() const { return window->window_handle(); }

    std::wstring view_info() const {
        wchar_t text[512] = {};
        GetWindowTextW(GetDlgItem(dialog(), IDC_DYNAMIC), text, 512);
        return text;
    }
    // The zoom in per cent as the view information shows it (one decimal).
    double shown_zoom() const {
        const std::wstring text = view_info();
        const std::size_t at = text.find(L"Zoom:\t");
        return at == std::wstring::npos ? -1.0 : std::wcstod(text.c_str() + at + 6, nullptr);
    }
    // The visible position (the image pixel at the viewport's top-left).
    POINT shown_position() const {
        const std::wstring text = view_info();
        const std::size_t at = text.find(L":\t");
        POINT p{-1, -1};
        if (at != std::wstring::npos)
            swscanf(text.c_str() + at + 2, L"%ld, %ld", &p.x, &p.y);
        return p;
    }

    // The state of a view-menu or settings-menu item, as the menu would show it.
    static UINT item_state(const system_ui::menu_handle& menu, UINT id) {
        return GetMenuState(GetSubMenu(menu.get(), 0), id, MF_BYCOMMAND);
    }
    bool view_checked(UINT id) const { return (item_state(window->view_menu, id) & MF_CHECKED) != 0; }
    bool view_greyed(UINT id) const { return (item_state(window->view_menu, id) & MF_GRAYED) != 0; }
    bool settings_checked(UINT id) const { return (item_state(window->settings_menu, id) & MF_CHECKED) != 0; }

    RECT window_rect() const {
        RECT r{};
        GetWindowRect(dialog(), &r);
        return r;
    }

    std::wstring string(UINT id) const { return tessolux::module_string(id); }

    std::unique_ptr<tessolux::shell_calls::replacement> shell;
    std::vector<opened_file> opened;
    std::vector<colour_request> requests;
    // What the replaced chooser answers: a colour the user confirmed, or nothing (cancelled).
    std::optional<COLORREF> chooser_answer;
};

// Shows the red-eye brush at a client point, with the system pointer there too, so that a pointer move
// the system reports meanwhile leaves the brush where it is.
inline void place_brush(tessolux::main_window::impl& w, POINT at) {
    w.brush_position = at;
    POINT screen = at;
    ClientToScreen(w.window_handle(), &screen);
    SetCursorPos(screen.x, screen.y);
}

inline bool operator==(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

} // namespace commands_test
