// The main dialog's commands over the registered stand-in engine: every key of accelerator table 109
// pressed through the dialog's own loop, the settings and view menus, and the commands whose effect
// outlasts one key. The shell and the colour chooser are replaced by recorders.
#include <array>
#include <cmath>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "main-window-world.h"
#include "plugin/shell-calls.h"

namespace {

using tessolux::main_window::impl;
using test_support::dialog_script;
using test_support::menu_script;

constexpr BYTE ctrl = FCONTROL, shift = FSHIFT, alt = FALT;

// Where the product keeps its installation folder, in the 32-bit view.
const wchar_t install_key[] = L"SOFTWARE\\Veltrin Media\\Tessolux 3 Plugin";

struct opened_file {
    HWND owner;
    std::wstring verb, file;
    int show;
};
struct colour_request {
    DWORD flags;
    COLORREF initial;
};

class commands : public test_support::main_window_world {
public:
    using main_window_world::window;

    void SetUp() override {
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        trace = std::wstring(folder) + L"commands-trace-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", trace.c_str());
        // The scale commands rescale only a DPI-aware dialog.
        SetProcessDPIAware();
        main_window_world::SetUp();
        shell = std::make_unique<tessolux::shell_calls::replacement>(
            [this](HWND owner, const wchar_t* verb, const wchar_t* file, const wchar_t*, const wchar_t*,
                   int show) {
                opened.push_back({owner, verb, file, show});
                return reinterpret_cast<HINSTANCE>(42);
            },
            [this](CHOOSECOLORW& c) {
                requests.push_back({c.Flags, c.rgbResult});
                c.rgbResult = chooser_answer.value_or(c.rgbResult);
                return chooser_answer.has_value();
            });
    }
    void TearDown() override {
        SetKeyboardState(std::vector<BYTE>(256, 0).data());
        // The brush keys move the system pointer: it goes back out of every dialog's way.
        SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
        main_window_world::TearDown();
        shell.reset();
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", nullptr);
        DeleteFileW(trace.c_str());
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, install_key, KEY_WOW64_32KEY, 0);
    }

    HWND dialog() const { return window->window_handle(); }
    void command(UINT id) { window->on_command({}, id, 0); }
    std::wstring view_info() const {
        wchar_t text[512] = {};
        GetWindowTextW(GetDlgItem(dialog(), IDC_DYNAMIC), text, 512);
        return text;
    }
    // The zoom in per cent and the image pixel at the viewport's top-left, as the view information shows.
    double zoom() const {
        const std::wstring text = view_info();
        return std::wcstod(text.c_str() + text.find(L"Zoom:\t") + 6, nullptr);
    }
    POINT position() const {
        const std::wstring text = view_info();
        POINT p{-1, -1};
        swscanf(text.c_str() + text.find(L":\t") + 2, L"%ld, %ld", &p.x, &p.y);
        return p;
    }
    UINT view_item(UINT id) const {
        return GetMenuState(GetSubMenu(window->view_menu.get(), 0), id, MF_BYCOMMAND) &
               (MF_CHECKED | MF_GRAYED);
    }
    RECT window_rect() const {
        RECT r{};
        GetWindowRect(dialog(), &r);
        return r;
    }
    std::wstring trace;
    std::unique_ptr<tessolux::shell_calls::replacement> shell;
    std::vector<opened_file> opened;
    std::vector<colour_request> requests;
    // What the replaced chooser answers: a colour the user confirmed, or nothing (cancelled).
    std::optional<COLORREF> chooser_answer;
    // The popup menu a key opened, and where.
    HMENU menu = nullptr;
    RECT menu_place{};
};

bool same(const RECT& a, const RECT& b) {
    return EqualRect(&a, &b) != FALSE;
}

// Accelerators ---------------------------------------------------------------------------------------------

using check = std::function<void(commands&)>;
using setup = std::function<void(commands&)>;

check zoom_is(double percent) {
    return [percent](commands& w) { EXPECT_NEAR(w.zoom(), percent, 0.051); };
}
// The brush's radius in view pixels; the view stays.
check radius_is(double radius) {
    return [radius](commands& w) {
        EXPECT_DOUBLE_EQ(w.window->controls->eyes.radius, radius);
        EXPECT_NEAR(w.zoom(), 1000.0, 0.051);
    };
}
check position_is(long x, long y) {
    return [x, y](commands& w) {
        EXPECT_EQ(std::make_pair(w.position().x, w.position().y), std::make_pair(x, y));
    };
}
check focused_is(std::array<std::int32_t, 4> r) {
    return [r](commands& w) {
        const tessolux::preview_rect& f = w.window->controls->focused;
        EXPECT_EQ((std::array<std::int32_t, 4>{f.x, f.y, f.width, f.height}), r);
    };
}
POINT viewport_centre(impl& w) {
    POINT centre{w.viewport.x + w.viewport.width / 2, w.viewport.y + w.viewport.height / 2};
    ClientToScreen(w.window_handle(), &centre);
    return centre;
}
// The brush, and the system pointer with it, moved from the viewport's centre; the view stays.
check brush_moved(long dx, long dy) {
    return [dx, dy](commands& w) {
        const POINT centre = viewport_centre(*w.window);
        POINT pointer{};
        GetCursorPos(&pointer);
        EXPECT_EQ(std::make_pair(pointer.x, pointer.y), std::make_pair(centre.x + dx, centre.y + dy));
        EXPECT_NEAR(w.zoom(), 1000.0, 0.051);
    };
}
check marked(UINT item, UINT state) {
    return [item, state](commands& w) { EXPECT_EQ(w.view_item(item), state); };
}
check status_is(int part, std::wstring text) {
    return [part, text](commands& w) { EXPECT_EQ(test_support::status_text(w.dialog(), part), text); };
}
check circles_are(int in_effect, int redos) {
    return [=](commands& w) {
        wchar_t text[128] = {};
        GetDlgItemTextW(w.window->controls->window_handle(), IDC_REDEYE_HISTORY, text, 128);
        EXPECT_EQ(text, L"# of circles:\t" + std::to_wstring(in_effect) + L"\r\n# of redos:\t" +
                            std::to_wstring(redos));
    };
}
check menu_opened(system_ui::menu_handle impl::*which, bool upward) {
    return [=](commands& w) {
        EXPECT_EQ(w.menu, GetSubMenu(((*w.window).*which).get(), 0));
        POINT at{0, upward ? w.window->client_height - w.window->status_height : 0};
        ClientToScreen(w.dialog(), &at);
        EXPECT_EQ(w.menu_place.left, at.x);
        EXPECT_EQ(upward ? w.menu_place.bottom : w.menu_place.top, at.y);
    };
}

setup focus(tessolux::preview_rect r, double zoom = 10.0) {
    return [r, zoom](commands& w) {
        w.window->controls->focused = r;
        w.window->view.zoom = zoom;
    };
}
// The brush and the system pointer over the viewport's centre.
void brush_shown(commands& w) {
    w.window->controls->active_filters |= tessolux::remove_red_eyes;
    const POINT centre = viewport_centre(*w.window);
    SetCursorPos(centre.x, centre.y);
    w.window->brush_position = centre;
    ScreenToClient(w.dialog(), &w.window->brush_position);
}
// Twelve circles, of which undone are undone: room to redo and undo by one and by ten.
setup circles_undone(std::uint32_t undone) {
    return [undone](commands& w) {
        auto& c = *w.window->controls;
        c.active_filters |= tessolux::remove_red_eyes;
        for (int i = 0; i != 12; ++i)
            c.push_eye_circle(10 + i, 10, 4, c.eyes, IDC_REDEYE_HISTORY);
        c.undo_eye_circles(undone, c.eyes, IDC_REDEYE_HISTORY);
    };
}
setup radius(double r) {
    return [r](commands& w) { w.window->controls->eyes.radius = r; };
}
setup tilt_shift(bool on) {
    return [on](commands& w) {
        std::uint32_t& active = w.window->controls->active_filters;
        active = on ? active | tessolux::tilt_shift : active & ~tessolux::tilt_shift;
    };
}
// The installation folder as a value of the given type.
setup install_dir(DWORD type) {
    return [type](commands&) {
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, install_key, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY, nullptr,
                        &key, nullptr);
        const system_ui::key_handle held(key);
        const wchar_t folder[] = L"C:\\Tessolux";
        RegSetValueExW(key, L"InstallDir", 0, type, reinterpret_cast<const BYTE*>(folder), sizeof folder);
    };
}

// Each key in a fresh dialog whose view is zoomed to 1000 % with the image's pixel (10, 10) at the
// viewport's top-left: room to pan and step every way.
TEST_F(commands, every_key_of_the_accelerator_table_reaches_its_command_in_its_tool_mode) {
    const system_ui::accelerator_handle table(
        LoadAcceleratorsW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(109)));
    EXPECT_EQ(CopyAcceleratorTableW(table.get(), nullptr, 0), 33);
    const check desktop_inset = [](commands& w) {
        RECT r{};
        GetWindowRect(GetDesktopWindow(), &r);
        InflateRect(&r, -100, -100);
        EXPECT_TRUE(same(w.window_rect(), r));
    };
    const check work_area = [](commands& w) {
        MONITORINFO info{};
        info.cbSize = sizeof info;
        GetMonitorInfoW(MonitorFromWindow(w.dialog(), MONITOR_DEFAULTTONEAREST), &info);
        EXPECT_TRUE(same(w.window_rect(), info.rcWork));
    };
    const check help_opened = [](commands& w) {
        ASSERT_EQ(w.opened.size(), 1u);
        EXPECT_EQ(w.opened[0].owner, w.dialog());
        EXPECT_EQ(w.opened[0].verb, L"open");
        EXPECT_EQ(w.opened[0].file, L"C:\\Tessolux\\Tessolux3Plugin.chm");
        EXPECT_EQ(w.opened[0].show, SW_SHOW);
    };
    const check nothing_opened = [](commands& w) { EXPECT_TRUE(w.opened.empty()); };
    const check chooser_asked = [](commands& w) { EXPECT_EQ(w.requests.size(), 1u); };
    const check interrupted = [](commands& w) {
        std::ifstream file{std::filesystem::path(w.trace)};
        std::size_t interrupts = 0;
        for (std::string line; std::getline(file, line);)
            interrupts += line.rfind("interrupt", 0) == 0 ? 1 : 0;
        EXPECT_GE(interrupts, 1u);
    };
    // The hotkey dialog joins the running loop, which gives it a dialog's keyboard handling.
    const check hotkeys_in_loop = [](commands& w) {
        ASSERT_TRUE(w.window->hotkey_window);
        EXPECT_TRUE(IsWindowVisible(w.window->hotkey_window->window_handle()));
        EXPECT_FALSE(w.window->hotkey_window->isolated());
    };
    // The 960 x 640 view of the image centred in the viewport.
    const check centred = [](commands& w) {
        const auto corner = [](long view, long image) {
            return std::lround(-std::lround((view - image) * 0.5) * 0.1);
        };
        position_is(corner(w.window->viewport.width, 960), corner(w.window->viewport.height, 640))(w);
    };
    const std::wstring original = tessolux::module_string(IDS_SHOWING_ORIGINAL);
    const struct {
        const char* name;
        BYTE modifiers;
        WORD key;
        std::uint32_t mode;
        setup prepare;
        check expect;
    } cases[] = {
        {"Ctrl+F5 fills the desktop but 100 pixels", ctrl, VK_F5, 0, nullptr, desktop_inset},
        {"F11 fills the work area", 0, VK_F11, 0, nullptr, work_area},
        {"F7 asks for a colour", 0, VK_F7, 0, nullptr, chooser_asked},
        {"F9 does nothing while tilt-shift is off", 0, VK_F9, 0, tilt_shift(false),
         marked(ID_SHOW_FOCUS_MARKER, MF_CHECKED | MF_GRAYED)},
        {"F9 toggles the focus marker", 0, VK_F9, 0, tilt_shift(true), marked(ID_SHOW_FOCUS_MARKER, 0)},
        {"F6 shows the image border", 0, VK_F6, 0, nullptr, marked(ID_SHOW_BORDER, MF_CHECKED)},
        {"F3 shows the pointer statistics", 0, VK_F3, 0, nullptr, marked(ID_SHOW_POINTER_STATS, MF_CHECKED)},
        {"F5 shows the original", 0, VK_F5, 0, nullptr, status_is(3, original)},
        {"Alt+PageDown keeps the smallest scale", alt, VK_NEXT, 0, nullptr,
         status_is(1, L"DPI changed to  96")},
        {"Alt+PageUp scales up by a quarter", alt, VK_PRIOR, 0, nullptr,
         status_is(1, L"DPI changed to  120")},
        {"F8 interrupts the engine", 0, VK_F8, 0, nullptr, interrupted},
        {"Ctrl+F1 shows the hotkey dialog", ctrl, VK_F1, 0, nullptr, hotkeys_in_loop},
        {"F1 opens the help file", 0, VK_F1, 0, install_dir(REG_SZ), help_opened},
        {"F1 opens nothing for an expandable folder", 0, VK_F1, 0, install_dir(REG_EXPAND_SZ),
         nothing_opened},
        {"F1 opens nothing without the key", 0, VK_F1, 0, nullptr, nothing_opened},
        {"F10 opens the settings menu upward", 0, VK_F10, 0, nullptr,
         menu_opened(&impl::settings_menu, true)},
        {"Shift+F10 opens the view menu", shift, VK_F10, 0, nullptr, menu_opened(&impl::view_menu, false)},
        {"Ctrl+Insert adds a circle at the brush", ctrl, VK_INSERT, 2, brush_shown, circles_are(1, 0)},
        {"Ctrl+Insert does nothing in mode 0", ctrl, VK_INSERT, 0, brush_shown, circles_are(0, 0)},
        {"Ctrl+Y redoes one circle", ctrl, 'Y', 2, circles_undone(12), circles_are(1, 11)},
        {"Ctrl+Y does nothing in mode 0", ctrl, 'Y', 0, circles_undone(12), circles_are(0, 12)},
        {"Ctrl+Shift+Y redoes ten circles", ctrl | shift, 'Y', 2, circles_undone(12), circles_are(10, 2)},
        {"Ctrl+Z undoes one circle", ctrl, 'Z', 2, circles_undone(0), circles_are(11, 1)},
        {"Ctrl+Shift+Z undoes ten circles", ctrl | shift, 'Z', 2, circles_undone(0), circles_are(2, 10)},
        {"Ctrl+Shift+Num/ zooms out in mode 2", ctrl | shift, VK_DIVIDE, 2, nullptr, zoom_is(900.0)},
        {"Ctrl+Shift+Num/ does nothing in mode 0", ctrl | shift, VK_DIVIDE, 0, nullptr, zoom_is(1000.0)},
        {"Ctrl+Shift+Num* zooms in in mode 2", ctrl | shift, VK_MULTIPLY, 2, nullptr, zoom_is(1111.1)},
        {"Ctrl+Num0 zooms to 100 %", ctrl, VK_NUMPAD0, 0, nullptr, zoom_is(100.0)},
        {"Ctrl+Num/ zooms out in mode 0", ctrl, VK_DIVIDE, 0, nullptr, zoom_is(900.0)},
        {"Ctrl+Num* zooms in in mode 1", ctrl, VK_MULTIPLY, 1, nullptr, zoom_is(1111.1)},
        {"Ctrl+Num/ shrinks the brush in mode 2", ctrl, VK_DIVIDE, 2, radius(10.0), radius_is(9.0)},
        {"Ctrl+Num* grows the brush in mode 2", ctrl, VK_MULTIPLY, 2, radius(9.0), radius_is(10.0)},
        // A radius that reached 0 could never grow back; a huge one overflows the integer rounding.
        {"Ctrl+Num/ keeps the brush at 1 pixel", ctrl, VK_DIVIDE, 2, radius(1.05), radius_is(1.0)},
        {"Ctrl+Num* keeps the brush at 10000", ctrl, VK_MULTIPLY, 2, radius(9999.0), radius_is(10000.0)},
        {"Ctrl+Num5 centres the view", ctrl, VK_NUMPAD5, 0, nullptr, centred},
        {"Ctrl+Num2 pans down by 10 view pixels", ctrl, VK_NUMPAD2, 0, nullptr, position_is(10, 9)},
        {"Ctrl+Num6 pans right", ctrl, VK_NUMPAD6, 0, nullptr, position_is(9, 10)},
        {"Ctrl+Alt+Num4 pans left by 50", ctrl | alt, VK_NUMPAD4, 0, nullptr, position_is(15, 10)},
        {"Ctrl+Alt+Num8 pans up by 50", ctrl | alt, VK_NUMPAD8, 0, nullptr, position_is(10, 15)},
        // In mode 1 a step moves one border of the focused rectangle by a view pixel, Alt the far one.
        {"Ctrl+Num8 moves the top border up", ctrl, VK_NUMPAD8, 1, focus({10, 10, 20, 20}),
         focused_is({10, 9, 20, 21})},
        {"Ctrl+Alt+Num2 moves the bottom border down", ctrl | alt, VK_NUMPAD2, 1, focus({10, 10, 20, 20}),
         focused_is({10, 10, 20, 21})},
        {"Ctrl+Alt+Num6 moves the right border right", ctrl | alt, VK_NUMPAD6, 1, focus({10, 10, 20, 20}),
         focused_is({10, 10, 21, 20})},
        {"Ctrl+Num4 at zoom 0.25 moves by 4", ctrl, VK_NUMPAD4, 1, focus({10, 10, 20, 20}, 0.25),
         focused_is({6, 10, 24, 20})},
        {"Ctrl+Num4 at x 0 changes nothing", ctrl, VK_NUMPAD4, 1, focus({0, 10, 20, 20}),
         focused_is({0, 10, 20, 20})},
        // An empty rectangle means none: tilt-shift gets it as it is.
        {"Ctrl+Num6 keeps an empty rectangle", ctrl, VK_NUMPAD6, 1, focus({10, 10, 0, 30}),
         focused_is({10, 10, 0, 30})},
        {"Ctrl+Num4 moves the brush left by 1", ctrl, VK_NUMPAD4, 2, brush_shown, brush_moved(-1, 0)},
        {"Ctrl+Alt+Num8 moves the brush up by 10", ctrl | alt, VK_NUMPAD8, 2, brush_shown,
         brush_moved(0, -10)},
    };

    const menu_script::step look_at_menu = [this](const std::vector<HWND>& menus) {
        menu = reinterpret_cast<HMENU>(SendMessageW(menus[0], MN_GETHMENU, 0, 0));
        return GetWindowRect(menus[0], &menu_place) != FALSE;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        window.reset();
        opened.clear();
        requests.clear();
        DeleteFileW(trace.c_str());
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, install_key, KEY_WOW64_32KEY, 0);
        const menu_script driver({look_at_menu, test_support::end_menu()});
        // The key goes to Apply with its modifiers held, through the loop whose accelerators turn it into
        // the command; with Alt the system sends it as a system key.
        const auto press = [&](HWND dialog) {
            BYTE state[256] = {};
            const struct {
                BYTE bit;
                int keys[2];
            } held[] = {{ctrl, {VK_CONTROL, VK_LCONTROL}},
                        {shift, {VK_SHIFT, VK_LSHIFT}},
                        {alt, {VK_MENU, VK_LMENU}}};
            for (const auto& h : held)
                for (const int vk : h.keys)
                    state[vk] = (c.modifiers & h.bit) != 0 ? 0x80 : 0;
            state[c.key] = 0x80;
            SetKeyboardState(state);
            const bool system = (c.modifiers & alt) != 0;
            return PostMessageW(GetDlgItem(dialog, IDC_APPLY), system ? WM_SYSKEYDOWN : WM_KEYDOWN, c.key,
                                system ? (1 | 1 << 29) : 1) != FALSE;
        };
        ASSERT_TRUE(run({ready(), act([&] {
                             window->controls->selection_mode = c.mode;
                             window->view = {-100.0, -100.0, 10.0};
                             window->update_view_info();
                             if (c.prepare)
                                 c.prepare(*this);
                         }),
                         press, [](HWND) { return test_support::open_menus().empty(); }, act([&] {
                             SetKeyboardState(std::vector<BYTE>(256, 0).data());
                             c.expect(*this);
                         }),
                         test_support::press(IDC_CANCEL)}));
        EXPECT_TRUE(boxes.empty());
    }
}

// Menus ------------------------------------------------------------------------------------------------

// A menu as a person reads it, an item a line: its command, its text, and whether it is checked, greyed
// and shows a picture of the given size.
std::wstring menu_text(HMENU menu, int picture_size) {
    std::wstring text;
    for (int i = 0; i != GetMenuItemCount(menu); ++i) {
        wchar_t name[128] = {};
        MENUITEMINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STATE | MIIM_STRING | MIIM_BITMAP | MIIM_SUBMENU;
        info.dwTypeData = name;
        info.cch = 128;
        GetMenuItemInfoW(menu, i, TRUE, &info);
        if ((info.fType & MFT_SEPARATOR) != 0) {
            text += L"-\n";
            continue;
        }
        BITMAP picture{};
        GetObjectW(info.hbmpItem, sizeof picture, &picture);
        const bool sized = picture.bmWidth == picture_size && picture.bmHeight == picture_size;
        text += (info.hSubMenu != nullptr ? L"popup" : std::to_wstring(info.wID)) + L" " + name;
        text += (info.fState & MFS_CHECKED) != 0 ? L" checked" : L"";
        text += (info.fState & MFS_GRAYED) != 0 ? L" greyed" : L"";
        text += info.hbmpItem == nullptr ? L"\n" : sized ? L" picture\n" : L" wrong picture\n";
    }
    return text;
}

// As a first run shows them: autosave on, the advanced sliders hidden; the result shown, the focus
// marker on but greyed (tilt-shift is inactive once the settings have loaded).
TEST_F(commands, the_dialog_loads_both_menus_with_their_items_and_pictures_at_its_scale) {
    std::wstring settings, view, zoom_to;
    ASSERT_TRUE(run({ready(), act([&] {
                         const HMENU view_items = GetSubMenu(window->view_menu.get(), 0);
                         settings = menu_text(GetSubMenu(window->settings_menu.get(), 0), 16);
                         view = menu_text(view_items, 16);
                         zoom_to = menu_text(GetSubMenu(view_items, 7), 0);
                     }),
                     test_support::press(IDC_CANCEL)}));
    EXPECT_EQ(settings, L"32829 &Autosave Filter Settings checked\n"
                        L"32793 &Load Filter Settings picture\n"
                        L"32796 &Save Filter Settings picture\n"
                        L"32797 &Reset To Default Settings picture\n"
                        L"32812 Advanced &Filter Control\n"
                        L"-\n"
                        L"32893 Show &Help (F1) picture\n"
                        L"32819 Hotkey &Info (Ctrl + F1) picture\n"
                        L"-\n"
                        L"32820 About &Tessolux 3 Plugin picture\n");
    EXPECT_EQ(view, L"32824 Change Back&ground Color (F7)... picture\n"
                    L"32867 Display &Resulting Image (F5) checked\n"
                    L"32848 Display Image &Border (F6)\n"
                    L"32876 Display Focus &Marker (F9) checked greyed\n"
                    L"32881 Display &Pointer Stats (F3)\n"
                    L"-\n"
                    L"32870 &Center View (Ctrl + Num5) picture\n"
                    L"popup &Zoom To picture\n"
                    L"32873 Center and Zoom to &Fit picture\n");
    EXPECT_EQ(zoom_to, L"32853 10%\n32854 25%\n32855 33%\n32856 50%\n32857 75%\n-\n"
                       L"32858 100%\n-\n32859 150%\n32860 200%\n32861 300%\n"
                       L"32862 500%\n32863 1000%\n");
}

// A DPI change loads the menus again: their marks come from the state, F5's included.
TEST_F(commands, a_scale_change_reloads_the_pictures_larger_and_keeps_the_marks_of_the_state) {
    HBITMAP old_picture = nullptr;
    ASSERT_TRUE(
        run({ready(), act([&] {
                 MENUITEMINFOW info{};
                 info.cbSize = sizeof info;
                 info.fMask = MIIM_BITMAP;
                 GetMenuItemInfoW(GetSubMenu(window->view_menu.get(), 0), 0, TRUE, &info);
                 old_picture = info.hbmpItem;
                 command(ID_TOGGLE_RESULT);
                 command(ID_SHOW_BORDER);
                 window->change_dpi_scaling(1.5f);
                 for (const auto& menu : {&window->view_menu, &window->settings_menu})
                     EXPECT_EQ(menu_text(GetSubMenu(menu->get(), 0), 24).find(L"wrong"), std::wstring::npos);
                 EXPECT_EQ(view_item(ID_SHOW_RESULT), 0u);
                 EXPECT_EQ(view_item(ID_SHOW_BORDER), static_cast<UINT>(MF_CHECKED));
                 EXPECT_EQ(view_item(ID_SHOW_FOCUS_MARKER), static_cast<UINT>(MF_CHECKED | MF_GRAYED));
                 // Greyed exactly while tilt-shift is inactive.
                 window->controls->active_filters |= tessolux::tilt_shift;
                 window->reload_icons();
                 EXPECT_EQ(view_item(ID_SHOW_FOCUS_MARKER), static_cast<UINT>(MF_CHECKED));
             }),
             test_support::press(IDC_CANCEL)}));
    // The menus only borrowed the old pictures: they are gone with the reload.
    EXPECT_EQ(GetObjectType(old_picture), 0u);
}

// Save in a settings key below a volatile key fails in the registry: reported with one box, and the
// user's work in the dialog survives it.
TEST_F(commands, save_from_the_settings_menu_says_so_and_a_failed_one_is_reported_once_keeping_the_dialog) {
    for (const bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "failing" : "saving");
        window.reset();
        const std::wstring parent = key + L"-volatile";
        if (fails) {
            HKEY made = nullptr;
            ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER,
                                      (test_support::settings_root + L"\\" + parent).c_str(), 0, nullptr,
                                      REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &made, nullptr),
                      ERROR_SUCCESS);
            RegCloseKey(made);
            key = parent + L"\\settings";
        }
        std::unique_ptr<menu_script> driver;
        ASSERT_TRUE(
            run({ready(), act([&] {
                     // "Save Filter Settings", chosen by its letter in the menu that F10 opens.
                     driver = std::make_unique<menu_script>(
                         std::vector<menu_script::step>{test_support::menu_key(dialog(), L'S')});
                     PostMessageW(dialog(), WM_COMMAND, ID_SETTINGS_MENU, 0);
                 }),
                 [&](HWND) { return driver->finished() && test_support::open_menus().empty(); }, act([&] {
                     EXPECT_EQ(test_support::status_text(dialog(), 1) ==
                                   tessolux::module_string(IDS_SETTINGS_SAVED),
                               !fails);
                 }),
                 test_support::press(IDC_CANCEL)}));
        ASSERT_EQ(boxes.size(), fails ? 1u : 0u);
        if (fails) {
            EXPECT_EQ(boxes[0].text, tessolux::module_string(IDS_UNKNOWN_ERROR));
        }
        test_support::delete_settings(parent);
    }
}

// "Zoom To" keeps the image point under the place where the menu opened.
TEST_F(commands, zoom_to_200_zooms_about_the_point_where_the_menu_opened) {
    tessolux::image_point before{}, after{};
    std::unique_ptr<menu_script> driver;
    ASSERT_TRUE(run({ready(), act([&] {
                         // The picture half zoomed out and off centre: the point lies inside the image.
                         window->zoom_at(0, 0, 0.5);
                         before = window->view_to_image_point(300, 200);
                         // 10 % is selected as the popup opens; 200 % is seven entries further.
                         std::vector<menu_script::step> steps = {test_support::menu_key(dialog(), L'Z'),
                                                                 test_support::until_open(2)};
                         steps.insert(steps.end(), 7, test_support::menu_key(dialog(), VK_DOWN));
                         steps.push_back(test_support::menu_key(dialog(), VK_RETURN));
                         driver = std::make_unique<menu_script>(std::move(steps));
                         window->show_context_menu(300, 200);
                         after = window->view_to_image_point(300, 200);
                         EXPECT_NEAR(zoom(), 200.0, 0.05);
                     }),
                     test_support::press(IDC_CANCEL)}));
    EXPECT_TRUE(driver->finished());
    EXPECT_NEAR(after.x, before.x, 1);
    EXPECT_NEAR(after.y, before.y, 1);
}

// Commands --------------------------------------------------------------------------------------------

// A window that already fills the work area at the first press has no earlier place to go back to: it
// must not shrink to nothing.
TEST_F(commands, f11_fills_the_work_area_and_a_second_f11_restores_the_window) {
    ASSERT_TRUE(run({ready(), act([&] {
                         MONITORINFO info{};
                         info.cbSize = sizeof info;
                         GetMonitorInfoW(MonitorFromWindow(dialog(), MONITOR_DEFAULTTONEAREST), &info);
                         const RECT& work = info.rcWork;
                         MoveWindow(dialog(), work.left, work.top, work.right - work.left,
                                    work.bottom - work.top, TRUE);
                         command(ID_MAXIMIZE);
                         EXPECT_TRUE(same(window_rect(), work));
                         MoveWindow(dialog(), 120, 80, 900, 640, TRUE);
                         const RECT before = window_rect();
                         command(ID_MAXIMIZE);
                         EXPECT_TRUE(same(window_rect(), work));
                         command(ID_MAXIMIZE);
                         EXPECT_TRUE(same(window_rect(), before));
                     }),
                     test_support::press(IDC_CANCEL)}));
}

// The chooser starts from the colour in use; a cancelled one changes nothing.
TEST_F(commands, the_background_colour_chooser_starts_from_the_current_colour_and_its_choice_shows) {
    const COLORREF face = GetSysColor(COLOR_BTNFACE), red = RGB(200, 30, 20);
    ASSERT_TRUE(run({ready(), act([&] {
                         // Zoomed out to a quarter, the viewport's corner shows the background.
                         window->zoom_at(window->viewport.width / 2, window->viewport.height / 2, 0.25);
                         command(ID_BACKGROUND_COLOR);
                         chooser_answer = red;
                         command(ID_BACKGROUND_COLOR);
                         command(ID_BACKGROUND_COLOR);
                     }),
                     [&](HWND) {
                         const HDC screen = GetDC(dialog());
                         const COLORREF pixel =
                             GetPixel(screen, window->viewport.x + 2, window->viewport.y + 2);
                         ReleaseDC(dialog(), screen);
                         return pixel == red;
                     },
                     test_support::press(IDC_CANCEL)}));
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].flags, static_cast<DWORD>(CC_RGBINIT));
    EXPECT_EQ(requests[1].initial, face);
    EXPECT_EQ(requests[2].initial, red);
}

} // namespace
