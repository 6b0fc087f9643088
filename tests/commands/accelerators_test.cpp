// Accelerator table 109: its 33 entries as the resource holds them, and each key pressed in the running
// dialog doing what its command does in the tool mode of the row.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "commands-world.h"

namespace {

using namespace commands_test;
using tessolux::main_window::impl;

struct accelerator_entry {
    BYTE modifiers;
    WORD key;
    WORD command;
};

// In resource order.
constexpr accelerator_entry expected_table[] = {
    {ctrl, VK_F5, 32864},
    {0, VK_F7, 32824},
    {0, VK_F9, 32876},
    {0, VK_F6, 32848},
    {0, VK_F3, 32881},
    {alt, VK_NEXT, 32783},
    {alt, VK_PRIOR, 32782},
    {0, VK_F8, 32822},
    {0, VK_F11, 32801},
    {ctrl, VK_F1, 32819},
    {ctrl, VK_INSERT, 32891},
    {ctrl | shift, VK_DIVIDE, 32885},
    {ctrl | shift, VK_MULTIPLY, 32886},
    {ctrl, 'Y', 32883},
    {ctrl | shift, 'Y', 32888},
    {ctrl, 'Z', 32882},
    {ctrl | shift, 'Z', 32889},
    {ctrl, VK_DIVIDE, 32776},
    {ctrl, VK_NUMPAD0, 32780},
    {ctrl, VK_MULTIPLY, 32775},
    {0, VK_F1, 32893},
    {0, VK_F5, 32809},
    {0, VK_F10, 32800},
    {shift, VK_F10, 32925},
    {ctrl, VK_NUMPAD5, 32778},
    {ctrl, VK_NUMPAD2, 32774},
    {ctrl | alt, VK_NUMPAD2, 32789},
    {ctrl, VK_NUMPAD4, 32771},
    {ctrl | alt, VK_NUMPAD4, 32786},
    {ctrl, VK_NUMPAD6, 32772},
    {ctrl | alt, VK_NUMPAD6, 32787},
    {ctrl, VK_NUMPAD8, 32773},
    {ctrl | alt, VK_NUMPAD8, 32788},
};

TEST(accelerators, table_109_holds_the_33_keys_in_resource_order) {
    const system_ui::accelerator_handle table(
        LoadAcceleratorsW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(109)));
    ASSERT_TRUE(table);
    ACCEL entries[64] = {};
    const int count = CopyAcceleratorTableW(table.get(), entries, 64);
    ASSERT_EQ(count, 33);
    for (int i = 0; i != count; ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        EXPECT_EQ(entries[i].fVirt & (FVIRTKEY | FCONTROL | FSHIFT | FALT),
                  FVIRTKEY | expected_table[i].modifiers);
        EXPECT_EQ(entries[i].key, expected_table[i].key);
        EXPECT_EQ(entries[i].cmd, expected_table[i].command);
    }
}

// What a person can see of the dialog, before and after a key.
struct seen {
    HWND dialog;
    double zoom;
    POINT position;
    std::wstring summary;
    std::wstring shown;
    RECT window;
    bool result_checked, border_checked, marker_checked, stats_checked;
    double radius;
    tessolux::preview_rect focused;
    std::size_t opened, colour_requests, interrupts;
    std::wstring history;
    // The client origin and the status bar's left corner, on the screen.
    POINT origin, status_corner;
    // The hotkey dialog is on the screen, with its text, and in the running loop.
    bool hotkeys_shown, hotkeys_joined;
    POINT pointer;
};

// The installation folder the help file is looked for in.
const wchar_t install_key[] = L"SOFTWARE\\Veltrin Media\\Tessolux 3 Plugin";

class accelerator_keys : public commands_world {
public:
    void SetUp() override {
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        trace = std::wstring(folder) + L"commands-trace-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
        DeleteFileW(trace.c_str());
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", trace.c_str());
        commands_world::SetUp();
    }
    void TearDown() override {
        commands_world::TearDown();
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", nullptr);
        DeleteFileW(trace.c_str());
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, install_key, KEY_WOW64_32KEY, 0);
    }

    std::size_t trace_lines(const std::string& start) const {
        std::ifstream file{std::filesystem::path(trace)};
        std::size_t count = 0;
        for (std::string line; std::getline(file, line);)
            count += line.rfind(start, 0) == 0 ? 1 : 0;
        return count;
    }

    seen look() const {
        impl& w = *window;
        wchar_t history[256] = {};
        GetDlgItemTextW(w.controls->window_handle(), IDC_REDEYE_HISTORY, history, 256);
        POINT origin{0, 0};
        ClientToScreen(dialog(), &origin);
        POINT corner{0, w.client_height - w.status_height};
        ClientToScreen(dialog(), &corner);
        const HWND hotkeys = w.hotkey_window ? w.hotkey_window->window_handle() : nullptr;
        POINT pointer{};
        GetCursorPos(&pointer);
        return {dialog(),
                shown_zoom(),
                shown_position(),
                test_support::status_text(dialog(), 1),
                test_support::status_text(dialog(), 3),
                window_rect(),
                view_checked(ID_SHOW_RESULT),
                view_checked(ID_SHOW_BORDER),
                view_checked(ID_SHOW_FOCUS_MARKER),
                view_checked(ID_SHOW_POINTER_STATS),
                w.controls->eyes.radius,
                w.controls->focused,
                opened.size(),
                requests.size(),
                trace_lines("interrupt"),
                history,
                origin,
                corner,
                hotkeys != nullptr && IsWindowVisible(hotkeys) &&
                    GetDlgItem(hotkeys, IDC_HOTKEY_TEXT) != nullptr,
                w.hotkey_window && !w.hotkey_window->isolated(),
                pointer};
    }

    std::wstring trace;
};

// One key in one tool mode: what is set up before it and what must follow from it.
using check = std::function<void(const seen& before, const seen& after, accelerator_keys& world)>;
struct key_case {
    const char* name;
    BYTE modifiers;
    WORD key;
    std::uint32_t mode;
    std::function<void(impl&)> setup;
    check expect;
};

// A view zoomed to 10 with the image's pixel (10, 10) at the viewport's top-left: room to pan every way.
void zoomed_in(impl& w) {
    w.view = {-100.0, -100.0, 10.0};
    w.update_view_info();
}
void focus_at(impl& w) {
    w.controls->focused = {10, 10, 20, 20};
}
void brush_shown(impl& w) {
    w.controls->active_filters |= tessolux::remove_red_eyes;
    place_brush(w, {w.viewport.x + w.viewport.width / 2, w.viewport.y + w.viewport.height / 2});
}
// Twelve circles, of which undone are undone: room to redo and undo by one and by ten.
std::function<void(impl&)> circles_undone(std::uint32_t undone) {
    return [undone](impl& w) {
        w.controls->active_filters |= tessolux::remove_red_eyes;
        for (int i = 0; i != 12; ++i)
            w.controls->push_eye_circle(10 + i, 10, 4, w.controls->eyes, IDC_REDEYE_HISTORY);
        w.controls->undo_eye_circles(undone, w.controls->eyes, IDC_REDEYE_HISTORY);
    };
}
std::function<void(impl&)> radius(double r) {
    return [r](impl& w) { w.controls->eyes.radius = r; };
}

check zoom_times(double factor) {
    return [factor](const seen& b, const seen& a, accelerator_keys&) {
        EXPECT_NEAR(a.zoom, b.zoom * factor, 0.051);
        EXPECT_EQ(a.radius, b.radius);
    };
}
// The brush, and the pointer with it, moves; the view stays.
check brush_moves(int dx, int dy) {
    return [dx, dy](const seen& b, const seen& a, accelerator_keys&) {
        EXPECT_EQ(a.pointer.x, b.pointer.x + dx);
        EXPECT_EQ(a.pointer.y, b.pointer.y + dy);
        EXPECT_EQ(a.position.x, b.position.x);
        EXPECT_EQ(a.position.y, b.position.y);
    };
}
check zoom_is(double percent) {
    return [percent](const seen&, const seen& a, accelerator_keys&) { EXPECT_NEAR(a.zoom, percent, 0.051); };
}
check radius_becomes(double radius) {
    return [radius](const seen& b, const seen& a, accelerator_keys&) {
        EXPECT_NEAR(a.zoom, b.zoom, 0.051);
        EXPECT_DOUBLE_EQ(a.radius, radius);
    };
}
check pans(int dx, int dy) {
    return [dx, dy](const seen& b, const seen& a, accelerator_keys&) {
        EXPECT_NEAR(a.zoom, b.zoom, 0.051);
        EXPECT_EQ(a.position.x, b.position.x + dx);
        EXPECT_EQ(a.position.y, b.position.y + dy);
    };
}
check focus_moves(int dx, int dy, int dw, int dh) {
    return [=](const seen& b, const seen& a, accelerator_keys&) {
        EXPECT_EQ(a.focused.x, b.focused.x + dx);
        EXPECT_EQ(a.focused.y, b.focused.y + dy);
        EXPECT_EQ(a.focused.width, b.focused.width + dw);
        EXPECT_EQ(a.focused.height, b.focused.height + dh);
    };
}
check toggles(bool seen::*mark, bool toggled = true) {
    return [=](const seen& b, const seen& a, accelerator_keys&) { EXPECT_EQ(a.*mark, b.*mark != toggled); };
}
check counts_one_more(std::size_t seen::*count) {
    return [=](const seen& b, const seen& a, accelerator_keys&) { EXPECT_EQ(a.*count, b.*count + 1); };
}
check summary_is(const wchar_t* text) {
    return [text](const seen&, const seen& a, accelerator_keys&) { EXPECT_EQ(a.summary, text); };
}
check history_is(int in_effect, int redos) {
    return [=](const seen&, const seen& a, accelerator_keys&) {
        EXPECT_EQ(a.history, L"# of circles:\t" + std::to_wstring(in_effect) + L"\r\n# of redos:\t" +
                                 std::to_wstring(redos));
    };
}
check window_is(std::function<RECT(const seen&)> place) {
    return [place](const seen&, const seen& a, accelerator_keys&) { EXPECT_TRUE(a.window == place(a)); };
}

// The popup that a menu key opened: its items and where it stood.
struct opened_menu {
    HMENU items = nullptr;
    RECT place{};
};

TEST_F(accelerator_keys, every_key_reaches_its_command_in_its_tool_mode) {
    auto menu = std::make_shared<opened_menu>();
    std::unique_ptr<test_support::menu_script> driver;
    const auto watch_menu = [&](impl&) {
        const test_support::menu_script::step look_at_it = [menu](const std::vector<HWND>& menus) {
            menu->items = reinterpret_cast<HMENU>(SendMessageW(menus[0], MN_GETHMENU, 0, 0));
            GetWindowRect(menus[0], &menu->place);
            return true;
        };
        driver = std::make_unique<test_support::menu_script>(
            std::vector<test_support::menu_script::step>{look_at_it, test_support::end_menu()});
    };
    const auto opened_at = [menu](system_ui::menu_handle impl::*which, bool bottom) -> check {
        return [=](const seen&, const seen& a, accelerator_keys& world) {
            EXPECT_EQ(menu->items, GetSubMenu(((*world.window).*which).get(), 0));
            const POINT at = bottom ? a.status_corner : a.origin;
            EXPECT_EQ(menu->place.left, at.x);
            EXPECT_EQ(bottom ? menu->place.bottom : menu->place.top, at.y);
        };
    };
    const check no_tilt_shift = [](const seen& b, const seen& a, accelerator_keys&) {
        EXPECT_EQ(a.marker_checked, b.marker_checked);
    };
    const auto tilt_shift = [](bool on) {
        return [on](impl& w) {
            w.controls->active_filters = on ? w.controls->active_filters | tessolux::tilt_shift
                                            : w.controls->active_filters & ~tessolux::tilt_shift;
        };
    };
    const auto desktop_inset = [](const seen&) {
        RECT r{};
        GetWindowRect(GetDesktopWindow(), &r);
        return RECT{r.left + 100, r.top + 100, r.right - 100, r.bottom - 100};
    };
    const auto work_area = [](const seen& a) {
        MONITORINFO info{};
        info.cbSize = sizeof info;
        GetMonitorInfoW(MonitorFromRect(&a.window, MONITOR_DEFAULTTONEAREST), &info);
        return info.rcWork;
    };
    const check chooser_asked = [](const seen& b, const seen& a, accelerator_keys& world) {
        ASSERT_EQ(a.colour_requests, b.colour_requests + 1);
        EXPECT_EQ(world.requests.back().owner, a.dialog);
    };
    const check hotkeys_open = [](const seen& b, const seen& a, accelerator_keys&) {
        EXPECT_FALSE(b.hotkeys_shown);
        EXPECT_TRUE(a.hotkeys_shown);
        EXPECT_TRUE(a.hotkeys_joined);
    };
    const auto help_folder = [](impl&) {
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, install_key, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY, nullptr,
                        &key, nullptr);
        const system_ui::key_handle held(key);
        const wchar_t folder[] = L"C:\\Tessolux";
        RegSetValueExW(key, L"InstallDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder), sizeof folder);
    };
    const check help_opened = [](const seen& b, const seen& a, accelerator_keys& world) {
        ASSERT_EQ(a.opened, b.opened + 1);
        EXPECT_EQ(world.opened.back().file, L"C:\\Tessolux\\Tessolux3Plugin.chm");
    };
    const check original_shown = [](const seen& b, const seen& a, accelerator_keys& world) {
        EXPECT_TRUE(b.result_checked);
        EXPECT_FALSE(a.result_checked);
        EXPECT_EQ(a.shown, world.string(IDS_SHOWING_ORIGINAL));
    };
    // The 960 x 640 view of the image centred in the viewport: its pixel at the viewport's corner.
    const check centred = [](const seen&, const seen& a, accelerator_keys& world) {
        const auto corner = [](double view, double image) {
            return std::lround(-std::lround((view - image) * 0.5) * 0.1);
        };
        EXPECT_EQ(a.position.x, corner(world.window->viewport.width, 960));
        EXPECT_EQ(a.position.y, corner(world.window->viewport.height, 640));
    };

    constexpr double in = 1.1111111111111112;
    constexpr double out = 0.9;
    const std::vector<key_case> cases = {
        {"Ctrl+F5 fills the desktop but 100 pixels", ctrl, VK_F5, 0, nullptr, window_is(desktop_inset)},
        {"F7 asks for a colour", 0, VK_F7, 0, nullptr, chooser_asked},
        {"F9 does nothing while tilt-shift is off", 0, VK_F9, 0, tilt_shift(false), no_tilt_shift},
        {"F9 toggles the focus marker while tilt-shift is on", 0, VK_F9, 0, tilt_shift(true),
         toggles(&seen::marker_checked)},
        {"F6 toggles the image border", 0, VK_F6, 0, nullptr, toggles(&seen::border_checked)},
        {"F3 toggles the pointer statistics", 0, VK_F3, 0, nullptr, toggles(&seen::stats_checked)},
        {"Alt+PageDown keeps the smallest scale", alt, VK_NEXT, 0, nullptr,
         summary_is(L"DPI changed to  96")},
        {"Alt+PageUp scales up by a quarter", alt, VK_PRIOR, 0, nullptr, summary_is(L"DPI changed to  120")},
        {"F8 interrupts the engine", 0, VK_F8, 0, nullptr, counts_one_more(&seen::interrupts)},
        {"F11 fills the work area", 0, VK_F11, 0, nullptr, window_is(work_area)},
        {"Ctrl+F1 shows the hotkey dialog", ctrl, VK_F1, 0, nullptr, hotkeys_open},
        {"Ctrl+Insert adds a circle at the brush in mode 2", ctrl, VK_INSERT, 2, brush_shown,
         history_is(1, 0)},
        {"Ctrl+Insert does nothing in mode 0", ctrl, VK_INSERT, 0, brush_shown, history_is(0, 0)},
        {"Ctrl+Shift+Num/ zooms out in mode 2", ctrl | shift, VK_DIVIDE, 2, nullptr, zoom_times(out)},
        {"Ctrl+Shift+Num/ does nothing in mode 0", ctrl | shift, VK_DIVIDE, 0, nullptr, zoom_times(1.0)},
        {"Ctrl+Shift+Num* zooms in in mode 2", ctrl | shift, VK_MULTIPLY, 2, nullptr, zoom_times(in)},
        {"Ctrl+Shift+Num* does nothing in mode 1", ctrl | shift, VK_MULTIPLY, 1, nullptr, zoom_times(1.0)},
        {"Ctrl+Y redoes one circle in mode 2", ctrl, 'Y', 2, circles_undone(12), history_is(1, 11)},
        {"Ctrl+Y does nothing in mode 0", ctrl, 'Y', 0, circles_undone(12), history_is(0, 12)},
        {"Ctrl+Shift+Y redoes ten circles in mode 2", ctrl | shift, 'Y', 2, circles_undone(12),
         history_is(10, 2)},
        {"Ctrl+Z undoes one circle in mode 2", ctrl, 'Z', 2, circles_undone(0), history_is(11, 1)},
        {"Ctrl+Shift+Z undoes ten circles in mode 2", ctrl | shift, 'Z', 2, circles_undone(0),
         history_is(2, 10)},
        {"Ctrl+Shift+Z does nothing in mode 1", ctrl | shift, 'Z', 1, circles_undone(0), history_is(12, 0)},
        {"Ctrl+Num/ zooms out in mode 0", ctrl, VK_DIVIDE, 0, nullptr, zoom_times(out)},
        {"Ctrl+Num/ shrinks the brush in mode 2", ctrl, VK_DIVIDE, 2, radius(10.0), radius_becomes(9.0)},
        {"Ctrl+Num/ keeps the brush at 1 pixel", ctrl, VK_DIVIDE, 2, radius(1.05), radius_becomes(1.0)},
        {"Ctrl+Num0 zooms to 100 %", ctrl, VK_NUMPAD0, 0, nullptr, zoom_is(100.0)},
        {"Ctrl+Num* zooms in in mode 0", ctrl, VK_MULTIPLY, 0, nullptr, zoom_times(in)},
        {"Ctrl+Num* zooms in in mode 1", ctrl, VK_MULTIPLY, 1, nullptr, zoom_times(in)},
        {"Ctrl+Num* grows the brush in mode 2", ctrl, VK_MULTIPLY, 2, radius(10.0),
         radius_becomes(10.0 * in)},
        {"Ctrl+Num* keeps the brush at 10000 pixels", ctrl, VK_MULTIPLY, 2, radius(9999.0),
         radius_becomes(10000.0)},
        {"F1 opens the help file", 0, VK_F1, 0, help_folder, help_opened},
        {"F5 shows the original", 0, VK_F5, 0, nullptr, original_shown},
        {"F10 opens the settings menu upward from the status bar's corner", 0, VK_F10, 0, watch_menu,
         opened_at(&impl::settings_menu, true)},
        {"Shift+F10 opens the view menu at the client origin", shift, VK_F10, 0, watch_menu,
         opened_at(&impl::view_menu, false)},
        {"Ctrl+Num5 centres the view", ctrl, VK_NUMPAD5, 0, zoomed_in, centred},
        {"Ctrl+Num2 pans down in mode 0", ctrl, VK_NUMPAD2, 0, zoomed_in, pans(0, -1)},
        {"Ctrl+Alt+Num2 pans down by 50 in mode 0", ctrl | alt, VK_NUMPAD2, 0, zoomed_in, pans(0, -5)},
        {"Ctrl+Num4 pans left in mode 0", ctrl, VK_NUMPAD4, 0, zoomed_in, pans(1, 0)},
        {"Ctrl+Alt+Num4 pans left by 50 in mode 0", ctrl | alt, VK_NUMPAD4, 0, zoomed_in, pans(5, 0)},
        {"Ctrl+Num6 pans right in mode 0", ctrl, VK_NUMPAD6, 0, zoomed_in, pans(-1, 0)},
        {"Ctrl+Alt+Num6 pans right by 50 in mode 0", ctrl | alt, VK_NUMPAD6, 0, zoomed_in, pans(-5, 0)},
        {"Ctrl+Num8 pans up in mode 0", ctrl, VK_NUMPAD8, 0, zoomed_in, pans(0, 1)},
        {"Ctrl+Alt+Num8 pans up by 50 in mode 0", ctrl | alt, VK_NUMPAD8, 0, zoomed_in, pans(0, 5)},
        {"Ctrl+Num2 moves the top border down in mode 1", ctrl, VK_NUMPAD2, 1, focus_at,
         focus_moves(0, 1, 0, -1)},
        {"Ctrl+Alt+Num2 moves the bottom border down in mode 1", ctrl | alt, VK_NUMPAD2, 1, focus_at,
         focus_moves(0, 0, 0, 1)},
        {"Ctrl+Num4 moves the left border left in mode 1", ctrl, VK_NUMPAD4, 1, focus_at,
         focus_moves(-1, 0, 1, 0)},
        {"Ctrl+Alt+Num4 moves the right border left in mode 1", ctrl | alt, VK_NUMPAD4, 1, focus_at,
         focus_moves(0, 0, -1, 0)},
        {"Ctrl+Num6 moves the left border right in mode 1", ctrl, VK_NUMPAD6, 1, focus_at,
         focus_moves(1, 0, -1, 0)},
        {"Ctrl+Alt+Num6 moves the right border right in mode 1", ctrl | alt, VK_NUMPAD6, 1, focus_at,
         focus_moves(0, 0, 1, 0)},
        {"Ctrl+Num8 moves the top border up in mode 1", ctrl, VK_NUMPAD8, 1, focus_at,
         focus_moves(0, -1, 0, 1)},
        {"Ctrl+Alt+Num8 moves the bottom border up in mode 1", ctrl | alt, VK_NUMPAD8, 1, focus_at,
         focus_moves(0, 0, 0, -1)},
        {"Ctrl+Num4 moves the brush left in mode 2", ctrl, VK_NUMPAD4, 2, brush_shown, brush_moves(-1, 0)},
        {"Ctrl+Alt+Num8 moves the brush up by 10 in mode 2", ctrl | alt, VK_NUMPAD8, 2, brush_shown,
         brush_moves(0, -10)},
    };

    for (const key_case& c : cases) {
        SCOPED_TRACE(c.name);
        window.reset();
        opened.clear();
        requests.clear();
        *menu = {};
        seen before{};
        seen after{};
        ASSERT_TRUE(run({ready(), act([&] {
                             window->controls->selection_mode = c.mode;
                             if (c.setup)
                                 c.setup(*window);
                             before = look();
                         }),
                         keys(c.modifiers, c.key), release(), menus_closed(), act([&] { after = look(); }),
                         test_support::press(IDC_CANCEL)}));
        driver.reset();
        c.expect(before, after, *this);
        EXPECT_TRUE(boxes.empty());
    }
}

} // namespace
