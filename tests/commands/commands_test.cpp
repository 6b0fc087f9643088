// The main dialog's commands over the registered stand-in engine: every key of accelerator table 109
// pressed through the dialog's own loop, and the settings and view menus. The shell and the colour
// chooser are replaced by recorders.
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "main-window-world.h"
#include "plugin/shell-calls.h"

namespace {

using tessolux::main_window::impl;
using test_support::menu_script;

constexpr BYTE ctrl = FCONTROL, shift = FSHIFT, alt = FALT;
constexpr COLORREF red = RGB(200, 30, 20);
// Where the product keeps its installation folder, in the 32-bit view (this process's own).
const wchar_t install_key[] = L"SOFTWARE\\Veltrin Media\\Tessolux 3 Plugin";

std::wstring rect_text(const RECT& r) {
    std::wostringstream s;
    s << r.left << L", " << r.top << L", " << r.right - r.left << L" x " << r.bottom - r.top;
    return s.str();
}

class commands : public test_support::main_window_world {
public:
    void SetUp() override {
        trace = std::filesystem::temp_directory_path().wstring() + L"\\commands-trace-" +
                std::to_wstring(GetCurrentProcessId());
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", trace.c_str());
        // The scale commands rescale only a DPI-aware dialog.
        SetProcessDPIAware();
        main_window_world::SetUp();
        // What the dialog asks of the shell and of the chooser (which answers red), as lines.
        shell = std::make_unique<tessolux::shell_calls::replacement>(
            [this](HWND owner, const wchar_t* verb, const wchar_t* file, const wchar_t* parameters,
                   const wchar_t* directory, int show) {
                const bool plain = owner == dialog() && !parameters && !directory && show == SW_SHOW;
                calls += std::wstring(L"opened ") + verb + L" " + file + (plain ? L"\n" : L" oddly\n");
                return reinterpret_cast<HINSTANCE>(42);
            },
            [this](CHOOSECOLORW& c) {
                const bool plain = c.hwndOwner == dialog() && c.Flags == CC_RGBINIT;
                calls += L"colour asked from " + std::to_wstring(c.rgbResult) + (plain ? L"\n" : L" oddly\n");
                c.rgbResult = red;
                return true;
            });
    }
    void TearDown() override {
        SetKeyboardState(std::vector<BYTE>(256, 0).data());
        // The brush keys move the system pointer: it goes back out of every dialog's way.
        SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
        main_window_world::TearDown();
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", nullptr);
        DeleteFileW(trace.c_str());
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, install_key, KEY_WOW64_32KEY, 0);
    }

    HWND dialog() const { return window->window_handle(); }
    std::wstring view_info() const {
        wchar_t text[512] = {};
        GetWindowTextW(GetDlgItem(dialog(), IDC_DYNAMIC), text, 512);
        return text;
    }
    POINT viewport_centre() const {
        POINT centre{window->viewport.x + window->viewport.width / 2,
                     window->viewport.y + window->viewport.height / 2};
        ClientToScreen(dialog(), &centre);
        return centre;
    }
    // What a person sees of the dialog, a fact a line.
    std::wstring seen() const {
        impl& d = *window;
        std::wostringstream s;
        wchar_t circles[128] = {};
        GetDlgItemTextW(d.controls->window_handle(), IDC_REDEYE_HISTORY, circles, 128);
        const tessolux::preview_rect& f = d.controls->focused;
        int x = 0, y = 0, width = 0, height = 0;
        swscanf(view_info().c_str(), L"%*[^\t]\t%d, %d %*[^\t]\t%d %*lc %d", &x, &y, &width, &height);
        s << view_info() << L"\r\nvisible centre " << x + width / 2 << L", " << y + height / 2 << L"\n"
          << circles << L"\r\nfocus " << f.x << L", " << f.y << L", " << f.width << L" x " << f.height
          << L"\nradius " << d.controls->eyes.radius << L"\nstatus " << test_support::status_text(dialog(), 1)
          << L" | " << test_support::status_text(dialog(), 3) << L"\nmarks";
        const auto mark = [&](UINT id) {
            const UINT state = GetMenuState(GetSubMenu(d.view_menu.get(), 0), id, MF_BYCOMMAND);
            return std::wstring((state & MF_CHECKED) != 0 ? L"+" : L"-") +
                   ((state & MF_GRAYED) ? L"greyed" : L"");
        };
        s << L" result" << mark(ID_SHOW_RESULT) << L" border" << mark(ID_SHOW_BORDER) << L" marker"
          << mark(ID_SHOW_FOCUS_MARKER) << L" stats" << mark(ID_SHOW_POINTER_STATS);
        POINT pointer{}, centre = viewport_centre();
        GetCursorPos(&pointer);
        s << L"\npointer " << pointer.x - centre.x << L", " << pointer.y - centre.y << L" from the centre\n";
        RECT r{};
        GetWindowRect(dialog(), &r);
        s << L"window " << rect_text(r) << L"\n";
        // A menu opens upward from the status bar's corner or down from the client origin (menu_place is
        // in client coordinates).
        const RECT& m = menu_place;
        if (menu == GetSubMenu(d.settings_menu.get(), 0) && m.left == 0 &&
            m.bottom == d.client_height - d.status_height)
            s << L"settings menu upward from the status bar\n";
        if (menu == GetSubMenu(d.view_menu.get(), 0) && m.left == 0 && m.top == 0)
            s << L"view menu at the client origin\n";
        if (d.hotkey_window && IsWindowVisible(d.hotkey_window->window_handle()))
            s << L"hotkey dialog " << (d.hotkey_window->isolated() ? L"outside" : L"in") << L" the loop\n";
        std::ifstream file{std::filesystem::path(trace)};
        for (std::string line; std::getline(file, line);)
            s << (line.rfind("interrupt", 0) == 0 ? L"interrupted\n" : L"");
        return s.str() + (calls.empty() ? L"asked nothing of the shell\n" : calls);
    }

    std::wstring trace, calls;
    std::unique_ptr<tessolux::shell_calls::replacement> shell;
    // The popup menu a key opened, and where.
    HMENU menu = nullptr;
    RECT menu_place{};
};

// Accelerators ---------------------------------------------------------------------------------------------

using setup = std::function<void(impl&)>;

setup focus(int x, int y, int width, int height) {
    return [=](impl& w) { w.controls->focused = {x, y, width, height}; };
}
setup zoom_of(double zoom) {
    return [zoom](impl& w) { w.view.zoom = zoom; };
}
// Twelve circles, of which undone are undone: room to redo and undo by one and by ten.
setup circles_undone(std::uint32_t undone) {
    return [undone](impl& w) {
        w.controls->active_filters |= tessolux::remove_red_eyes;
        for (int i = 0; i != 12; ++i)
            w.controls->push_eye_circle(10 + i, 10, 4, w.controls->eyes, IDC_REDEYE_HISTORY);
        w.controls->undo_eye_circles(undone, w.controls->eyes, IDC_REDEYE_HISTORY);
    };
}
setup radius(double r) {
    return [r](impl& w) { w.controls->eyes.radius = r; };
}
setup help_in(DWORD type) {
    return [type](impl&) {
        const wchar_t folder[] = L"C:\\Tessolux";
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, install_key, L"InstallDir", type, folder, sizeof folder);
    };
}

// Facts as seen() states them.
std::wstring circles(int in_effect, int redos) {
    return L"circles:\t" + std::to_wstring(in_effect) + L"\r\n# of redos:\t" + std::to_wstring(redos) +
           L"\r\n";
}
std::wstring at(int x, int y) {
    return L"Position:\t" + std::to_wstring(x) + L",  " + std::to_wstring(y) + L"\r\n";
}
std::wstring focused(int x, int y, int width, int height) {
    return L"focus " + rect_text({x, y, x + width, y + height}) + L"\n";
}

// Each key in a fresh dialog whose view is zoomed to 1000 % with the image's pixel (10, 10) at the
// viewport's top-left, and the focused rectangle at 10, 10, 20 x 20: room to pan and step every way.
TEST_F(commands, every_key_of_the_accelerator_table_reaches_its_command_in_its_tool_mode) {
    const system_ui::accelerator_handle table(
        LoadAcceleratorsW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(109)));
    ACCEL entries[33]{};
    ASSERT_EQ(CopyAcceleratorTableW(table.get(), entries, 33), 33);
    for (const ACCEL& entry : entries)
        EXPECT_TRUE(entry.fVirt & FNOINVERT) << "command " << entry.cmd;
    const setup brush = [this](impl& w) {
        w.controls->active_filters |= tessolux::remove_red_eyes;
        const POINT centre = viewport_centre();
        SetCursorPos(centre.x, centre.y);
        w.brush_position = centre;
        ScreenToClient(w.window_handle(), &w.brush_position);
    };
    RECT work{}, desktop{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(GetDesktopWindow(), &desktop);
    InflateRect(&desktop, -100, -100);
    const std::wstring in_work = L"window " + rect_text(work), in_desktop = L"window " + rect_text(desktop);
    const setup fill_work_area = [work](impl& w) {
        MoveWindow(w.window_handle(), work.left, work.top, work.right - work.left, work.bottom - work.top,
                   TRUE);
    };
    const setup maximised = [](impl& w) {
        MoveWindow(w.window_handle(), 120, 80, 900, 640, TRUE);
        w.on_command({}, ID_MAXIMIZE, 0);
    };
    const setup tilt_shift = [](impl& w) { w.controls->active_filters |= tessolux::tilt_shift; };
    const setup chosen = [](impl& w) { w.on_command({}, ID_BACKGROUND_COLOR, 0); };
    const std::wstring face = std::to_wstring(GetSysColor(COLOR_BTNFACE)), zoom = L"Zoom:\t1000.0 %";
    const struct {
        const char* name;
        BYTE modifiers;
        WORD key;
        std::uint32_t mode;
        setup prepare;
        std::wstring expected, also = L"\n";
    } cases[] = {
        {"Ctrl+F5 fills the desktop but 100 pixels", ctrl, VK_F5, 0, nullptr, in_desktop},
        {"F11 fills the work area", 0, VK_F11, 0, nullptr, in_work},
        // With no earlier place to go back to, the window must not shrink to nothing.
        {"F11 keeps a window filling the work area", 0, VK_F11, 0, fill_work_area, in_work},
        {"A second F11 restores the window", 0, VK_F11, 0, maximised, L"window 120, 80, 900 x 640\n"},
        {"F7 asks from the colour in use", 0, VK_F7, 0, chosen,
         L"asked from " + face + L"\ncolour asked from " + std::to_wstring(red) + L"\n"},
        {"F9 does nothing while tilt-shift is off", 0, VK_F9, 0, nullptr, L"marker+greyed stats-\n"},
        {"F9 toggles the focus marker", 0, VK_F9, 0, tilt_shift, L"marks result+ border- marker- stats-\n"},
        {"F6 shows the image border", 0, VK_F6, 0, nullptr, L"marks result+ border+ marker+greyed stats-\n"},
        {"F3 shows the pointer statistics", 0, VK_F3, 0, nullptr, L"border- marker+greyed stats+\n"},
        {"F5 shows the original", 0, VK_F5, 0, nullptr, L"marks result- border-", L" | Showing Original\n"},
        {"Alt+PageDown keeps the smallest scale", alt, VK_NEXT, 0, nullptr, L"status DPI changed to  96 |"},
        {"Alt+PageUp scales up by a quarter", alt, VK_PRIOR, 0, nullptr, L"status DPI changed to  120 |"},
        {"F8 interrupts the engine", 0, VK_F8, 0, nullptr, L"interrupted\n"},
        // The hotkey dialog joins the running loop, which gives it a dialog's keyboard handling.
        {"Ctrl+F1 shows the hotkey dialog", ctrl, VK_F1, 0, nullptr, L"hotkey dialog in the loop\n"},
        {"F1 opens the help file", 0, VK_F1, 0, help_in(REG_SZ),
         L"opened open C:\\Tessolux\\Tessolux3Plugin.chm\n"},
        {"F1 opens nothing for REG_EXPAND_SZ", 0, VK_F1, 0, help_in(REG_EXPAND_SZ), L"asked nothing"},
        {"F10 opens the settings menu", 0, VK_F10, 0, nullptr, L"settings menu upward from the status bar\n"},
        {"Shift+F10 opens the view menu", shift, VK_F10, 0, nullptr, L"view menu at the client origin\n"},
        {"Ctrl+Insert adds a circle at the brush", ctrl, VK_INSERT, 2, brush, circles(1, 0)},
        {"Ctrl+Y redoes one circle", ctrl, 'Y', 2, circles_undone(12), circles(1, 11)},
        {"Ctrl+Shift+Y redoes ten", ctrl | shift, 'Y', 2, circles_undone(12), circles(10, 2)},
        {"Ctrl+Z undoes one circle", ctrl, 'Z', 2, circles_undone(0), circles(11, 1)},
        {"Ctrl+Shift+Z undoes ten", ctrl | shift, 'Z', 2, circles_undone(0), circles(2, 10)},
        {"Ctrl+Shift+Num/ zooms out in mode 2", ctrl | shift, VK_DIVIDE, 2, nullptr, L"Zoom:\t900.0 %"},
        {"Ctrl+Shift+Num/ does nothing in mode 0", ctrl | shift, VK_DIVIDE, 0, nullptr, zoom},
        {"Ctrl+Shift+Num* zooms in in mode 2", ctrl | shift, VK_MULTIPLY, 2, nullptr, L"Zoom:\t1111.1 %"},
        {"Ctrl+Num0 zooms to 100 %", ctrl, VK_NUMPAD0, 0, nullptr, L"Zoom:\t100.0 %"},
        {"Ctrl+Num/ zooms out in mode 0", ctrl, VK_DIVIDE, 0, nullptr, L"Zoom:\t900.0 %"},
        {"Ctrl+Num* zooms in in mode 1", ctrl, VK_MULTIPLY, 1, nullptr, L"Zoom:\t1111.1 %"},
        {"Ctrl+Num* grows the brush in mode 2", ctrl, VK_MULTIPLY, 2, radius(9.0), zoom, L"radius 10\n"},
        // A radius that reached 0 could never grow back; a huge one overflows the integer rounding.
        {"Ctrl+Num/ keeps the brush at 1 pixel", ctrl, VK_DIVIDE, 2, radius(1.05), zoom, L"radius 1\n"},
        {"Ctrl+Num* keeps the brush at 10000", ctrl, VK_MULTIPLY, 2, radius(9999.0), L"radius 10000\n"},
        // The 96 x 64 image's centre in the middle of what is visible.
        {"Ctrl+Num5 centres the view", ctrl, VK_NUMPAD5, 0, nullptr, L"visible centre 48, 32\n"},
        {"Ctrl+Num2 pans down by 10 view pixels", ctrl, VK_NUMPAD2, 0, nullptr, at(10, 9)},
        {"Ctrl+Num6 pans right", ctrl, VK_NUMPAD6, 0, nullptr, at(9, 10)},
        {"Ctrl+Alt+Num4 pans left by 50", ctrl | alt, VK_NUMPAD4, 0, nullptr, at(15, 10)},
        {"Ctrl+Alt+Num8 pans up by 50", ctrl | alt, VK_NUMPAD8, 0, nullptr, at(10, 15)},
        // In mode 1 a step moves one border of the focused rectangle by a view pixel; with Alt the far one.
        {"Ctrl+Num8 moves the top border up", ctrl, VK_NUMPAD8, 1, nullptr, focused(10, 9, 20, 21)},
        {"Ctrl+Alt+Num2 moves the bottom down", ctrl | alt, VK_NUMPAD2, 1, nullptr, focused(10, 10, 20, 21)},
        {"Ctrl+Alt+Num6 moves the right edge", ctrl | alt, VK_NUMPAD6, 1, nullptr, focused(10, 10, 21, 20)},
        {"Ctrl+Num4 at zoom 0.25 moves by 4", ctrl, VK_NUMPAD4, 1, zoom_of(0.25), focused(6, 10, 24, 20)},
        {"Ctrl+Num4 at x 0 does nothing", ctrl, VK_NUMPAD4, 1, focus(0, 10, 20, 20), focused(0, 10, 20, 20)},
        // An empty rectangle means none: tilt-shift gets it as it is.
        {"Ctrl+Num4 keeps it empty", ctrl, VK_NUMPAD4, 1, focus(10, 10, 0, 30), focused(10, 10, 0, 30)},
        {"Ctrl+Num4 moves the brush left by 1", ctrl, VK_NUMPAD4, 2, brush, zoom, L"pointer -1, 0 from"},
        {"Ctrl+Alt+Num8 moves the brush up by 10", ctrl | alt, VK_NUMPAD8, 2, brush, L"pointer 0, -10 from"},
    };

    const menu_script::step look_at_menu = [this](const std::vector<HWND>& menus) {
        menu = reinterpret_cast<HMENU>(SendMessageW(menus[0], MN_GETHMENU, 0, 0));
        GetWindowRect(menus[0], &menu_place);
        MapWindowPoints(nullptr, dialog(), reinterpret_cast<POINT*>(&menu_place), 2);
        return true;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        window.reset();
        calls.clear();
        menu = nullptr;
        DeleteFileW(trace.c_str());
        const menu_script driver({look_at_menu, test_support::end_menu()});
        // The key goes to Apply with its modifiers held, through the loop whose accelerators turn it into
        // the command; with Alt the system sends it as a system key.
        const auto press = [&](HWND dialog) {
            BYTE state[256] = {};
            state[VK_CONTROL] = state[VK_LCONTROL] = (c.modifiers & ctrl) != 0 ? 0x80 : 0;
            state[VK_SHIFT] = state[VK_LSHIFT] = (c.modifiers & shift) != 0 ? 0x80 : 0;
            state[VK_MENU] = state[VK_LMENU] = (c.modifiers & alt) != 0 ? 0x80 : 0;
            state[c.key] = 0x80;
            SetKeyboardState(state);
            const bool system = (c.modifiers & alt) != 0;
            return PostMessageW(GetDlgItem(dialog, IDC_APPLY), system ? WM_SYSKEYDOWN : WM_KEYDOWN, c.key,
                                system ? (1 | 1 << 29) : 1) != FALSE;
        };
        std::wstring after;
        ASSERT_TRUE(run({ready(), act([&] {
                             window->controls->selection_mode = c.mode;
                             window->view = {-100.0, -100.0, 10.0};
                             window->controls->focused = {10, 10, 20, 20};
                             window->update_view_info();
                             if (c.prepare)
                                 c.prepare(*window);
                         }),
                         press, [](HWND) { return test_support::open_menus().empty(); }, act([&] {
                             SetKeyboardState(std::vector<BYTE>(256, 0).data());
                             after = seen();
                         }),
                         test_support::press(IDC_CANCEL)}));
        for (const std::wstring& fact : {c.expected, c.also})
            EXPECT_NE(after.find(fact), std::wstring::npos) << "missing: " << fact << "\nin: " << after;
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
        BITMAP picture{};
        GetObjectW(info.hbmpItem, sizeof picture, &picture);
        const bool sized = picture.bmWidth == picture_size && picture.bmHeight == picture_size;
        text += (info.fType & MFT_SEPARATOR) != 0 ? L"-"
                : info.hSubMenu != nullptr        ? std::wstring(L"popup ") + name
                                                  : std::to_wstring(info.wID) + L" " + name;
        text += (info.fState & MFS_CHECKED) != 0 ? L" checked" : L"";
        text += (info.fState & MFS_GRAYED) != 0 && (info.fType & MFT_SEPARATOR) == 0 ? L" greyed" : L"";
        text += info.hbmpItem == nullptr ? L"\n" : sized ? L" picture\n" : L" wrong picture\n";
    }
    return text;
}

// As a first run shows them: autosave on, the advanced sliders hidden; the result shown, the focus
// marker on but greyed while tilt-shift is inactive. A DPI change loads them again at its size, with the
// marks of the state, F5's included, and lays the preview and the settings tip out again.
TEST_F(commands, the_menus_show_their_items_and_pictures_at_the_dialogs_scale_and_the_marks_of_the_state) {
    std::wstring settings, view[2], zoom_to;
    RECT bar{}, tip_area{};
    tessolux::preview_rect preview{};
    ASSERT_TRUE(run({ready(), act([&] {
                         settings = menu_text(GetSubMenu(window->settings_menu.get(), 0), 16);
                         view[0] = menu_text(GetSubMenu(window->view_menu.get(), 0), 16);
                         zoom_to = menu_text(GetSubMenu(GetSubMenu(window->view_menu.get(), 0), 7), 0);
                         window->on_command({}, ID_TOGGLE_RESULT, 0);
                         window->on_command({}, ID_SHOW_BORDER, 0);
                         window->controls->active_filters |= tessolux::tilt_shift;
                         window->change_dpi_scaling(1.5f);
                         view[1] = menu_text(GetSubMenu(window->view_menu.get(), 0), 24);
                         GetWindowRect(window->status_bar, &bar);
                         MapWindowPoints(nullptr, window->window_handle(), reinterpret_cast<POINT*>(&bar), 2);
                         TOOLINFOW tip{};
                         tip.cbSize = sizeof tip;
                         tip.hwnd = window->status_bar;
                         tip.uId = IDC_DYNAMIC;
                         SendMessageW(window->tooltip_window, TTM_GETTOOLINFOW, 0,
                                      reinterpret_cast<LPARAM>(&tip));
                         tip_area = tip.rect;
                         preview = window->viewport;
                     }),
                     test_support::press(IDC_CANCEL)}));
    const std::wstring settings_items = L"32829 &Autosave Filter Settings checked\n"
                                        L"32793 &Load Filter Settings picture\n"
                                        L"32796 &Save Filter Settings picture\n"
                                        L"32797 &Reset To Default Settings picture\n"
                                        L"32812 Advanced &Filter Control\n"
                                        L"-\n"
                                        L"32893 Show &Help (F1) picture\n"
                                        L"32819 Hotkey &Info (Ctrl + F1) picture\n"
                                        L"-\n"
                                        L"32820 About &Tessolux 3 Plugin picture\n";
    EXPECT_EQ(settings, settings_items);
    EXPECT_EQ(view[0], L"32824 Change Back&ground Color (F7)... picture\n"
                       L"32867 Display &Resulting Image (F5) checked\n"
                       L"32848 Display Image &Border (F6)\n"
                       L"32876 Display Focus &Marker (F9) checked greyed\n"
                       L"32881 Display &Pointer Stats (F3)\n"
                       L"-\n"
                       L"32870 &Center View (Ctrl + Num5) picture\n"
                       L"popup &Zoom To picture\n"
                       L"32873 Center and Zoom to &Fit picture\n");
    // The pictures at 24 pixels, the marks of the state: the original shown, the border on, the focus
    // marker enabled with tilt-shift active.
    EXPECT_EQ(view[1].find(L"wrong"), std::wstring::npos);
    for (const wchar_t* line : {L"Image (F5)\n", L"Border (F6) checked\n", L"Marker (F9) checked\n"})
        EXPECT_NE(view[1].find(line), std::wstring::npos) << line << L" in\n" << view[1];
    // The layout at the new scale: the preview ends 12 pixels above the taller status bar, and the
    // settings button's tip covers the square button at the bar's new height.
    EXPECT_EQ(preview.y + preview.height + 12, bar.top);
    EXPECT_EQ(tip_area.right, bar.bottom - bar.top);
    EXPECT_EQ(tip_area.bottom, bar.bottom - bar.top);
    EXPECT_EQ(zoom_to, L"32853 10%\n32854 25%\n32855 33%\n32856 50%\n32857 75%\n-\n32858 100%\n-\n"
                       L"32859 150%\n32860 200%\n32861 300%\n32862 500%\n32863 1000%\n");
}

// Save in a settings key below a volatile key fails in the registry: reported with one box, and the
// dialog stays open with the user's work in it.
TEST_F(commands, a_failed_save_from_the_settings_menu_is_reported_once_and_keeps_the_dialog_open) {
    const std::wstring parent = key + L"-volatile";
    test_support::make_volatile_settings_key(parent);
    key = parent + L"\\settings";
    std::unique_ptr<menu_script> driver;
    ASSERT_TRUE(run({ready(), act([&] {
                         // "Save Filter Settings", chosen by its letter in the menu that F10 opens.
                         driver = std::make_unique<menu_script>(
                             std::vector<menu_script::step>{test_support::menu_key(dialog(), L'S')});
                         PostMessageW(dialog(), WM_COMMAND, ID_SETTINGS_MENU, 0);
                     }),
                     [&](HWND) { return driver->finished() && test_support::open_menus().empty(); },
                     test_support::press(IDC_CANCEL)}));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, tessolux::module_string(IDS_UNKNOWN_ERROR));
    test_support::delete_settings(parent);
}

// A window of the test's own that counts how often it is asked to erase its background.
int witness_erasures = 0;
LRESULT CALLBACK witness_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_ERASEBKGND)
        ++witness_erasures;
    return DefWindowProcW(window, message, wparam, lparam);
}

// The chooser runs a loop of its own, in which the dialog can be closed (by the host, or a failure shown
// and closed); the colour the user picked comes back after that. Nothing may then reach for the dialog,
// whose handle is gone: an invalidation of no window repaints every window on the screen.
TEST_F(commands, a_dialog_closed_while_the_colour_chooser_is_open_repaints_no_other_window) {
    WNDCLASSW witness_class{};
    witness_class.lpfnWndProc = &witness_procedure;
    witness_class.hInstance = GetModuleHandleW(nullptr);
    witness_class.hbrBackground = GetSysColorBrush(COLOR_WINDOW);
    witness_class.lpszClassName = L"commands-witness";
    RegisterClassW(&witness_class);
    const cpp::unique_any<HWND, &DestroyWindow> witness(
        CreateWindowExW(WS_EX_TOOLWINDOW, L"commands-witness", L"", WS_POPUP | WS_VISIBLE, 0, 0, 40, 40,
                        nullptr, nullptr, GetModuleHandleW(nullptr), nullptr));
    ASSERT_TRUE(witness);
    HWND closed = nullptr;
    const tessolux::shell_calls::replacement closing_chooser(nullptr, [&](CHOOSECOLORW& choice) {
        closed = choice.hwndOwner;
        SendMessageW(closed, WM_CLOSE, 0, 0);
        choice.rgbResult = red;
        return true;
    });
    ASSERT_TRUE(run({ready(), act([&] {
                         // In a corner of the screen the dialog leaves free, so that its going exposes
                         // nothing of the witness.
                         RECT taken{};
                         GetWindowRect(dialog(), &taken);
                         const int right = GetSystemMetrics(SM_CXSCREEN) - 40;
                         const int bottom = GetSystemMetrics(SM_CYSCREEN) - 40;
                         for (const POINT corner :
                              {POINT{0, 0}, POINT{right, 0}, POINT{0, bottom}, POINT{right, bottom}}) {
                             const RECT place{corner.x, corner.y, corner.x + 40, corner.y + 40};
                             RECT overlap{};
                             if (!IntersectRect(&overlap, &place, &taken)) {
                                 SetWindowPos(witness.get(), HWND_TOPMOST, corner.x, corner.y, 40, 40,
                                              SWP_NOACTIVATE);
                                 break;
                             }
                         }
                         UpdateWindow(witness.get());
                         witness_erasures = 0;
                         window->on_command({}, ID_BACKGROUND_COLOR, 0);
                     })}));
    EXPECT_NE(closed, nullptr);
    EXPECT_FALSE(IsWindow(closed));
    EXPECT_EQ(witness_erasures, 0);
    RECT pending{};
    EXPECT_FALSE(GetUpdateRect(witness.get(), &pending, FALSE)) << "the witness waits for a repaint";
}

// The first box over the preview closes the preview as it opens, as a close that was waiting in the
// queue would in the box's own loop: the hook puts a procedure in front of the box's, which closes the
// preview once the box has set itself up.
HWND box_closes = nullptr;
WNDPROC box_own_procedure = nullptr;
LRESULT CALLBACK closing_box_procedure(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
    const LRESULT result = CallWindowProcW(box_own_procedure, box, message, wparam, lparam);
    if (message == WM_INITDIALOG && box_closes != nullptr)
        SendMessageW(std::exchange(box_closes, nullptr), WM_CLOSE, 0, 0);
    return result;
}
LRESULT CALLBACK closing_box_hook(int code, WPARAM wparam, LPARAM lparam) {
    const auto* create = reinterpret_cast<const CBT_CREATEWNDW*>(lparam);
    if (code == HCBT_CREATEWND && box_closes != nullptr && box_own_procedure == nullptr &&
        create->lpcs->hwndParent == box_closes)
        box_own_procedure =
            reinterpret_cast<WNDPROC>(SetWindowLongPtrW(reinterpret_cast<HWND>(wparam), GWLP_WNDPROC,
                                                        reinterpret_cast<LONG_PTR>(&closing_box_procedure)));
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

// Apply whose settings save fails shows the failure in a box, in whose loop the dialog is closed (its own
// save fails too, and is reported). Nothing of Apply goes on after that: the dialog and its panel are gone.
TEST_F(commands, a_dialog_closed_while_apply_reports_a_failed_save_shows_no_box_after_it) {
    const std::wstring parent = key + L"-volatile";
    test_support::make_volatile_settings_key(parent);
    key = parent + L"\\settings";
    cpp::unique_any<HHOOK, &UnhookWindowsHookEx> hook;
    ASSERT_TRUE(run({ready(), act([&] {
                         box_closes = dialog();
                         box_own_procedure = nullptr;
                         hook.reset(
                             SetWindowsHookExW(WH_CBT, &closing_box_hook, nullptr, GetCurrentThreadId()));
                         PostMessageW(dialog(), WM_COMMAND, MAKEWPARAM(IDC_APPLY, BN_CLICKED), 0);
                     })}));
    EXPECT_EQ(boxes.size(), 1u) << "the close's box, none after the dialog went";
    test_support::delete_settings(parent);
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
                         EXPECT_NE(view_info().find(L"Zoom:\t200.0 %"), std::wstring::npos);
                     }),
                     test_support::press(IDC_CANCEL)}));
    EXPECT_TRUE(driver->finished());
    EXPECT_NEAR(after.x, before.x, 1);
    EXPECT_NEAR(after.y, before.y, 1);
}

} // namespace
