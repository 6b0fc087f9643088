// The settings and view menus: their items, texts, check marks, greying and pictures as the dialog loads
// them, again after a scale change, the status bar's settings icon, and items chosen in the open menus.
#include <cmath>

#include "commands-world.h"

namespace {

using namespace commands_test;
using tessolux::main_window::impl;

// An item: its command (0 for a popup), its text (none for a separator), and what it shows: C checked,
// G greyed, P a picture.
struct expected_item {
    UINT id;
    const wchar_t* text;
    const char* shows;
};
const expected_item separator{0, nullptr, ""};

// As a first run shows it: autosave on, the advanced sliders hidden.
const expected_item settings_items[] = {
    {32829, L"&Autosave Filter Settings", "C"},
    {32793, L"&Load Filter Settings", "P"},
    {32796, L"&Save Filter Settings", "P"},
    {32797, L"&Reset To Default Settings", "P"},
    {32812, L"Advanced &Filter Control", ""},
    separator,
    {32893, L"Show &Help (F1)", "P"},
    {32819, L"Hotkey &Info (Ctrl + F1)", "P"},
    separator,
    {32820, L"About &Tessolux 3 Plugin", "P"},
};

// As a new dialog shows it: the result shown, the focus marker on but greyed (tilt-shift is inactive
// once the settings have loaded), no border, no statistics.
const expected_item view_items[] = {
    {32824, L"Change Back&ground Color (F7)...", "P"}, {32867, L"Display &Resulting Image (F5)", "C"},
    {32848, L"Display Image &Border (F6)", ""},        {32876, L"Display Focus &Marker (F9)", "CG"},
    {32881, L"Display &Pointer Stats (F3)", ""},       separator,
    {32870, L"&Center View (Ctrl + Num5)", "P"},       {0, L"&Zoom To", "P"},
    {32873, L"Center and Zoom to &Fit", "P"},
};

const expected_item zoom_items[] = {
    {32853, L"10%", ""},   {32854, L"25%", ""},
    {32855, L"33%", ""},   {32856, L"50%", ""},
    {32857, L"75%", ""},   separator,
    {32858, L"100%", ""},  separator,
    {32859, L"150%", ""},  {32860, L"200%", ""},
    {32861, L"300%", ""},  {32862, L"500%", ""},
    {32863, L"1000%", ""},
};

struct menu_item {
    UINT id = 0;
    UINT type = 0;
    UINT state = 0;
    std::wstring text;
    HBITMAP bitmap = nullptr;
    HMENU submenu = nullptr;
};

menu_item read_item(HMENU menu, UINT position) {
    wchar_t text[128] = {};
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STATE | MIIM_STRING | MIIM_BITMAP | MIIM_SUBMENU;
    info.dwTypeData = text;
    info.cch = 128;
    EXPECT_TRUE(GetMenuItemInfoW(menu, position, TRUE, &info)) << position;
    return {info.wID, info.fType, info.fState, text, info.hbmpItem, info.hSubMenu};
}

SIZE bitmap_size(HBITMAP bitmap) {
    BITMAP shape{};
    GetObjectW(bitmap, sizeof shape, &shape);
    return {shape.bmWidth, shape.bmHeight};
}

// Scaling a picture down leaves a faint ripple in its flat background.
bool close_colours(COLORREF a, COLORREF b) {
    for (const int shift : {0, 8, 16})
        if (std::abs(static_cast<int>(a >> shift & 0xFF) - static_cast<int>(b >> shift & 0xFF)) > 8)
            return false;
    return true;
}

// Items, texts, marks, greying; pictures of the given size whose background is the menus' colour and
// which show something on it.
template <std::size_t N> void expect_menu(HMENU menu, const expected_item (&expected)[N], int picture_size) {
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(GetMenuItemCount(menu), static_cast<int>(N));
    for (UINT i = 0; i != N; ++i) {
        SCOPED_TRACE("item " + std::to_string(i));
        const menu_item item = read_item(menu, i);
        const expected_item& want = expected[i];
        if (want.text == nullptr) {
            EXPECT_NE(item.type & MFT_SEPARATOR, 0u);
            continue;
        }
        EXPECT_EQ(item.text, want.text);
        if (want.id != 0) {
            EXPECT_EQ(item.id, want.id);
        }
        const std::string shows = want.shows;
        EXPECT_EQ((item.state & MFS_CHECKED) != 0, shows.find('C') != std::string::npos);
        EXPECT_EQ((item.state & MFS_GRAYED) != 0, shows.find('G') != std::string::npos);
        EXPECT_EQ(item.bitmap != nullptr, shows.find('P') != std::string::npos);
        if (item.bitmap == nullptr)
            continue;
        const SIZE size = bitmap_size(item.bitmap);
        EXPECT_EQ(size.cx, picture_size);
        EXPECT_EQ(size.cy, picture_size);
        const system_ui::dc_handle dc(CreateCompatibleDC(nullptr));
        const system_ui::selection_guard selected(dc.get(), item.bitmap);
        const COLORREF menu_colour = GetSysColor(COLOR_MENU);
        int background = 0;
        int painted = 0;
        bool ink = false;
        for (int y = 0; y != size.cy; ++y)
            for (int x = 0; x != size.cx; ++x) {
                const COLORREF pixel = GetPixel(dc.get(), x, y);
                background += close_colours(pixel, menu_colour) ? 1 : 0;
                painted += pixel == RGB(240, 240, 240) ? 1 : 0;
                ink = ink || pixel != menu_colour;
            }
        // The menu's colour (about) around the drawing, nothing left of the colour it was painted on.
        EXPECT_GT(background, 0);
        if (menu_colour != RGB(240, 240, 240)) {
            EXPECT_EQ(painted, 0);
        }
        EXPECT_TRUE(ink);
    }
}

class menus : public commands_world {};

TEST_F(menus, the_resources_start_with_their_check_marks_and_the_focus_marker_greyed) {
    const system_ui::menu_handle settings(LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(140)));
    const system_ui::menu_handle view(LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(158)));
    ASSERT_TRUE(settings);
    ASSERT_TRUE(view);
    const HMENU settings_popup = GetSubMenu(settings.get(), 0);
    const HMENU view_popup = GetSubMenu(view.get(), 0);
    for (const UINT id : {32829u, 32812u})
        EXPECT_EQ(GetMenuState(settings_popup, id, MF_BYCOMMAND), static_cast<UINT>(MF_CHECKED)) << id;
    EXPECT_EQ(GetMenuState(view_popup, 32867, MF_BYCOMMAND), static_cast<UINT>(MF_CHECKED));
    EXPECT_EQ(GetMenuState(view_popup, 32876, MF_BYCOMMAND), static_cast<UINT>(MF_CHECKED | MF_GRAYED));
    EXPECT_EQ(read_item(view_popup, 7).text, L"&Zoom To");
}

TEST_F(menus, the_dialog_loads_both_menus_with_their_items_and_pictures_at_its_scale) {
    ASSERT_TRUE(run({ready(), act([&] {
                         expect_menu(GetSubMenu(window->settings_menu.get(), 0), settings_items, 16);
                         const HMENU view_popup = GetSubMenu(window->view_menu.get(), 0);
                         expect_menu(view_popup, view_items, 16);
                         expect_menu(GetSubMenu(view_popup, 7), zoom_items, 0);
                     }),
                     test_support::press(IDC_CANCEL)}));
}

TEST_F(menus, a_scale_change_reloads_the_pictures_larger_and_keeps_the_check_marks_of_the_state) {
    HBITMAP old_picture = nullptr;
    ASSERT_TRUE(run(
        {ready(), act([&] {
             old_picture = read_item(GetSubMenu(window->view_menu.get(), 0), 0).bitmap;
             // The original shown (F5), the border on (F6): both marks must outlive the reload.
             window->on_command({}, ID_TOGGLE_RESULT, 0);
             window->on_command({}, ID_SHOW_BORDER, 0);
             window->change_dpi_scaling(1.5f);
             const HMENU view_popup = GetSubMenu(window->view_menu.get(), 0);
             EXPECT_EQ(bitmap_size(read_item(view_popup, 0).bitmap).cx, 24);
             EXPECT_EQ(bitmap_size(read_item(GetSubMenu(window->settings_menu.get(), 0), 1).bitmap).cy, 24);
             EXPECT_FALSE(view_checked(ID_SHOW_RESULT));
             EXPECT_TRUE(view_checked(ID_SHOW_BORDER));
             EXPECT_TRUE(settings_checked(ID_AUTOSAVE));
         }),
         test_support::press(IDC_CANCEL)}));
    // The menus only borrowed the old pictures: they are gone with the reload.
    EXPECT_EQ(GetObjectType(old_picture), 0u);
}

TEST_F(menus, the_focus_marker_item_is_greyed_exactly_while_tilt_shift_is_inactive) {
    ASSERT_TRUE(run({ready(), act([&] {
                         window->controls->active_filters &= ~tessolux::tilt_shift;
                         window->reload_icons();
                         EXPECT_TRUE(view_greyed(ID_SHOW_FOCUS_MARKER));
                         window->controls->active_filters |= tessolux::tilt_shift;
                         window->reload_icons();
                         EXPECT_FALSE(view_greyed(ID_SHOW_FOCUS_MARKER));
                         EXPECT_TRUE(view_checked(ID_SHOW_FOCUS_MARKER));
                         // F9 now toggles it and keeps it enabled.
                         window->on_command({}, ID_SHOW_FOCUS_MARKER, 0);
                         EXPECT_FALSE(view_checked(ID_SHOW_FOCUS_MARKER));
                         EXPECT_FALSE(view_greyed(ID_SHOW_FOCUS_MARKER));
                     }),
                     test_support::press(IDC_CANCEL)}));
}

TEST_F(menus, the_status_bar_shows_the_settings_icon_in_its_first_part_at_the_dialogs_scale) {
    const auto icon_size = [&] {
        const auto icon =
            reinterpret_cast<HICON>(SendMessageW(GetDlgItem(dialog(), ID_STATUS), SB_GETICON, 0, 0));
        ICONINFO info{};
        if (icon == nullptr || !GetIconInfo(icon, &info))
            return SIZE{0, 0};
        const system_ui::bitmap_handle colour(info.hbmColor);
        const system_ui::bitmap_handle mask(info.hbmMask);
        return bitmap_size(colour.get());
    };
    ASSERT_TRUE(run({ready(), act([&] {
                         EXPECT_EQ(icon_size().cx, 24);
                         window->change_dpi_scaling(1.25f);
                         EXPECT_EQ(icon_size().cx, 30);
                         EXPECT_EQ(icon_size().cy, 30);
                     }),
                     test_support::press(IDC_CANCEL)}));
}

// The settings menu opened with F10 and an item chosen by its underlined letter.
TEST_F(menus, an_item_chosen_in_the_open_settings_menu_runs_its_command) {
    std::unique_ptr<test_support::menu_script> driver;
    ASSERT_TRUE(
        run({ready(), act([&] {
                 driver = std::make_unique<test_support::menu_script>(
                     std::vector<test_support::menu_script::step>{test_support::menu_key(dialog(), L'S')});
             }),
             keys(0, VK_F10), release(), menus_closed(),
             act([&] { EXPECT_EQ(test_support::status_text(dialog(), 1), string(IDS_SETTINGS_SAVED)); }),
             test_support::press(IDC_CANCEL)}));
    EXPECT_TRUE(driver->finished());
}

TEST_F(menus, a_click_on_the_status_bars_settings_icon_opens_the_settings_menu) {
    HMENU shown = nullptr;
    std::unique_ptr<test_support::menu_script> driver;
    ASSERT_TRUE(
        run({ready(), act([&] {
                 driver =
                     std::make_unique<test_support::menu_script>(std::vector<test_support::menu_script::step>{
                         [&](const std::vector<HWND>& menus) {
                             shown = reinterpret_cast<HMENU>(SendMessageW(menus[0], MN_GETHMENU, 0, 0));
                             return true;
                         },
                         test_support::end_menu()});
                 const HWND status = GetDlgItem(dialog(), ID_STATUS);
                 PostMessageW(status, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(6, 6));
                 PostMessageW(status, WM_LBUTTONUP, 0, MAKELPARAM(6, 6));
             }),
             [&](HWND) { return driver->finished(); }, menus_closed(), test_support::press(IDC_CANCEL)}));
    EXPECT_EQ(shown, GetSubMenu(window->settings_menu.get(), 0));
}

// Load and reset restart the chain, which soon reports its own progress: the report is read at once.
TEST_F(menus, load_save_and_reset_say_so_in_the_status_bar) {
    const struct {
        UINT command;
        UINT text;
    } rows[] = {{ID_LOAD_SETTINGS, IDS_SETTINGS_LOADED},
                {ID_SAVE_SETTINGS, IDS_SETTINGS_SAVED},
                {ID_RESET_SETTINGS, IDS_SETTINGS_RESET}};
    ASSERT_TRUE(run({ready(), act([&] {
                         for (const auto& row : rows) {
                             window->run_settings_command(row.command);
                             EXPECT_EQ(test_support::status_text(dialog(), 1), string(row.text))
                                 << row.command;
                         }
                     }),
                     test_support::press(IDC_CANCEL)}));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(menus, autosave_and_advanced_settings_toggle_with_their_check_marks) {
    ASSERT_TRUE(run({ready(), act([&] {
                         window->run_settings_command(ID_AUTOSAVE);
                         EXPECT_FALSE(settings_checked(ID_AUTOSAVE));
                         window->run_settings_command(ID_AUTOSAVE);
                         EXPECT_TRUE(settings_checked(ID_AUTOSAVE));
                         const bool advanced = window->controls->show_advanced;
                         window->run_settings_command(ID_ADVANCED_CONTROLS);
                         EXPECT_EQ(settings_checked(ID_ADVANCED_CONTROLS), window->controls->show_advanced);
                         EXPECT_NE(window->controls->show_advanced, advanced);
                     }),
                     test_support::press(IDC_CANCEL)}));
}

// "Zoom To" keeps the image point under the place where the menu opened; after Shift+F10 that is the
// client origin.
TEST_F(menus, zoom_to_200_zooms_about_the_point_where_the_menu_opened) {
    const struct {
        const char* name;
        POINT at;
        bool by_key;
    } rows[] = {{"right click", {300, 200}, false}, {"Shift+F10", {0, 0}, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        window.reset();
        tessolux::image_point before{};
        tessolux::image_point after{};
        std::unique_ptr<test_support::menu_script> driver;
        const auto open_menu = [&] {
            std::vector<test_support::menu_script::step> steps = {test_support::menu_key(dialog(), L'Z'),
                                                                  test_support::until_open(2)};
            // 10 % is selected as the popup opens; 200 % is seven entries further (separators are skipped).
            for (int i = 0; i != 7; ++i)
                steps.push_back(test_support::menu_key(dialog(), VK_DOWN));
            steps.push_back(test_support::menu_key(dialog(), VK_RETURN));
            driver = std::make_unique<test_support::menu_script>(std::move(steps));
        };
        std::vector<test_support::dialog_script::step> steps = {ready(), act([&] {
                                                                    // A point inside the image: the picture
                                                                    // half zoomed out and moved off centre.
                                                                    window->zoom_at(0, 0, 0.5);
                                                                    before = window->view_to_image_point(
                                                                        row.at.x, row.at.y);
                                                                    open_menu();
                                                                })};
        if (row.by_key) {
            steps.push_back(keys(shift, VK_F10));
            steps.push_back(release());
        } else {
            steps.push_back(act([&] { window->show_context_menu(row.at.x, row.at.y); }));
        }
        steps.push_back(menus_closed());
        steps.push_back(act([&] {
            after = window->view_to_image_point(row.at.x, row.at.y);
            EXPECT_NEAR(shown_zoom(), 200.0, 0.05);
        }));
        steps.push_back(test_support::press(IDC_CANCEL));
        ASSERT_TRUE(run(std::move(steps)));
        EXPECT_TRUE(driver->finished());
        EXPECT_NEAR(after.x, before.x, 1);
        EXPECT_NEAR(after.y, before.y, 1);
    }
}

} // namespace
