// The main dialog's commands: the accelerators, the settings and view menus with their check marks and
// pictures, the help file, the background colour, the window-size commands and the status bar's parts.
#include "main-dialog-impl.h"

#include <commdlg.h>

#include "about-box.h"
#include "command-rules.h"
#include "host-entry.h"
#include "hotkey-dialog.h"
#include "region-rules.h"
#include "resource.h"
#include "shell-calls.h"

#define DIALOG_SOURCE AM_PLUGIN_SOURCE("main-dialog-impl.cpp")

namespace tessolux::main_window {

namespace {

// Where the help file's folder is kept; the product installs 32-bit, so its key is read in that view.
constexpr wchar_t install_key[] = L"SOFTWARE\\Veltrin Media\\Tessolux 3 Plugin";
// The key the settings are never written to: loading from it leaves every default.
constexpr wchar_t factory_key[] = L"empty";

constexpr UINT popup_flags = TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON;

HMENU first_submenu(const system_ui::menu_handle& menu) noexcept {
    return GetSubMenu(menu.get(), 0);
}

preview_rect to_preview_rect(const RECT& r) noexcept {
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

void move_window(HWND window, const preview_rect& to) {
    MoveWindow(window, to.x, to.y, to.width, to.height, TRUE);
}

// A menu of the module; a failure names the line of the menu it was.
template <std::size_t N> system_ui::menu_handle load_menu(WORD id, const cpp::static_string<N>& failure) {
    system_ui::menu_handle menu(LoadMenuW(module_instance(), MAKEINTRESOURCEW(id)));
    if (!menu)
        cpp::throw_last_error(failure.c_str());
    return menu;
}

HMENU checked_submenu(const system_ui::menu_handle& menu) {
    constexpr auto message =
        cpp::failure_message("reload_icons", "1617", DIALOG_SOURCE, "GetSubMenu resulted in error!");
    return system_ui::checked_submenu(menu.get(), message.c_str());
}

// A picture as the menus draw it: on the menus' own colour instead of the one it was painted on, and
// opaque, so that menus that blend and menus that copy show it alike. Empty where the system cannot
// make the copy; the caller then keeps the picture as it was.
system_ui::bitmap_handle repainted_for_menu(HBITMAP painted) {
    BITMAP shape{};
    if (GetObjectW(painted, sizeof shape, &shape) == 0 || shape.bmWidth <= 0 || shape.bmHeight <= 0)
        return {};
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = shape.bmWidth;
    format.bmiHeader.biHeight = -shape.bmHeight; // top-down rows
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    const system_ui::dc_handle dc(CreateCompatibleDC(nullptr));
    void* bits = nullptr;
    system_ui::bitmap_handle repainted(
        CreateDIBSection(dc.get(), &format, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!dc || !repainted ||
        GetDIBits(dc.get(), painted, 0, static_cast<UINT>(shape.bmHeight), bits, &format, DIB_RGB_COLORS) !=
            shape.bmHeight)
        return {};
    auto* const pixels = static_cast<std::uint32_t*>(bits);
    const COLORREF menu_colour = GetSysColor(COLOR_MENU);
    for (std::int32_t i = 0, count = shape.bmWidth * shape.bmHeight; i != count; ++i)
        pixels[i] = blend_onto(key_out_background(pixels[i] & 0xFFFFFF, picture_background), menu_colour);
    GdiFlush();
    return repainted;
}

template <std::size_t N>
void set_item_picture(HMENU items, UINT item, bool by_position, HBITMAP picture,
                      const cpp::static_string<N>& failure) {
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_BITMAP;
    info.hbmpItem = picture;
    if (!SetMenuItemInfoW(items, item, by_position ? TRUE : FALSE, &info))
        cpp::throw_last_error(failure.c_str());
}

} // namespace

// Status bar ---------------------------------------------------------------------------------------------

preview_rect rescale_status(HWND status, int width, float scale, int height) {
    const auto scaled = [scale](int pixels) { return round_to_int(static_cast<double>(scale) * pixels); };
    const int edges[4] = {scaled(30), width - scaled(500), width - scaled(150), -1};
    if (!SendMessageW(status, SB_SETPARTS, 4, reinterpret_cast<LPARAM>(edges))) {
        constexpr auto message = cpp::failure_message("rescale_status", "53", DIALOG_SOURCE,
                                                      "SendMessage(status, SB_SETPARTS) resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
    return {width - scaled(500), 0, scaled(500) - scaled(150), height};
}

void impl::set_status_summary(const std::wstring& text) {
    if (!SendMessageW(status_bar, SB_SETTEXTW, 1, reinterpret_cast<LPARAM>(text.c_str()))) {
        constexpr auto message = cpp::failure_location("set_status_summary", "151", DIALOG_SOURCE);
        cpp::throw_last_error(message.c_str());
    }
}

// Commands -----------------------------------------------------------------------------------------------

void impl::on_command(const system_ui::register_function& register_window, WPARAM wparam, LPARAM) {
    if (closing)
        return;
    const UINT command = LOWORD(wparam);
    if (run_display_command(command))
        return;
    const bool brush_mode = controls->selection_mode == 2;
    switch (command) {
    case IDC_APPLY:
        on_apply();
        return;
    case IDC_CANCEL:
        on_cancel();
        return;
    case ID_DESKTOP_INSET: {
        RECT desktop{};
        GetWindowRect(GetDesktopWindow(), &desktop);
        InflateRect(&desktop, -100, -100);
        move_window(dialog, to_preview_rect(desktop));
        return;
    }
    case ID_SCALE_DOWN:
    case ID_SCALE_UP:
        step_dpi_scale(command == ID_SCALE_UP);
        return;
    case ID_INTERRUPT:
        interrupt_engine(stage_engine);
        return;
    case ID_MAXIMIZE:
        toggle_maximised();
        return;
    case ID_HOTKEY_INFO:
        show_hotkey_dialog_command(register_window);
        return;
    case ID_ADD_CIRCLE:
        add_circle_at_brush();
        return;
    case ID_BRUSH_ZOOM_OUT:
    case ID_BRUSH_ZOOM_IN:
        if (brush_mode)
            zoom_command(command == ID_BRUSH_ZOOM_IN ? zoom_in_factor : zoom_out_factor);
        return;
    case ID_REDO_CIRCLE:
    case ID_REDO_CIRCLES:
        if (brush_mode)
            controls->redo_eye_circles(command == ID_REDO_CIRCLE ? 1 : 10, *controls->circle_record,
                                       controls->circle_record->info_control);
        return;
    case ID_UNDO_CIRCLE:
    case ID_UNDO_CIRCLES:
        if (brush_mode)
            controls->undo_eye_circles(command == ID_UNDO_CIRCLE ? 1 : 10, *controls->circle_record,
                                       controls->circle_record->info_control);
        return;
    case ID_ZOOM_OUT:
    case ID_ZOOM_IN: {
        const double factor = command == ID_ZOOM_IN ? zoom_in_factor : zoom_out_factor;
        if (brush_mode)
            scale_brush_command(factor);
        else
            zoom_command(factor);
        return;
    }
    case ID_ZOOM_100:
        zoom_command(1.0 / view.zoom);
        return;
    case ID_SHOW_HELP:
        show_help();
        return;
    case ID_SETTINGS_MENU:
        on_settings_menu();
        return;
    case ID_VIEW_MENU:
        show_context_menu(0, 0);
        return;
    case ID_CENTER_VIEW_KEY:
        center_view();
        refresh_view();
        return;
    default:
        run_step_command(command);
        return;
    }
}

// The background chooser and the display switches, the same from a key and from the view menu; false
// for any other command.
bool impl::run_display_command(UINT command) {
    switch (command) {
    case ID_BACKGROUND_COLOR:
        choose_background_colour();
        return true;
    case ID_TOGGLE_RESULT:
    case ID_SHOW_RESULT:
        toggle_view_flag(show_result);
        return true;
    case ID_SHOW_BORDER:
        toggle_view_flag(show_border);
        return true;
    case ID_SHOW_FOCUS_MARKER:
        // The marker belongs to tilt-shift: without it there is nothing to mark.
        if ((controls->active_filters & tilt_shift) != 0)
            toggle_view_flag(show_focus_marker);
        return true;
    case ID_SHOW_POINTER_STATS:
        toggle_view_flag(show_pointer_stats);
        return true;
    default:
        return false;
    }
}

// The view changes; what shows it follows.
void impl::refresh_view() {
    update_view_info();
    draw_picture(0);
    update_pointer_stats();
}

// Zoom in or out about the viewport's centre.
void impl::zoom_command(double factor) {
    zoom_at(viewport.width / 2, viewport.height / 2, factor);
    refresh_view();
}

void impl::toggle_view_flag(std::uint32_t flag) {
    view_flags ^= flag;
    // F5 toggles what the view menu calls "Display Resulting Image".
    const UINT item = flag == show_result         ? ID_SHOW_RESULT
                      : flag == show_border       ? ID_SHOW_BORDER
                      : flag == show_focus_marker ? ID_SHOW_FOCUS_MARKER
                                                  : ID_SHOW_POINTER_STATS;
    system_ui::recheck_menu_item(first_submenu(view_menu), item, (view_flags & flag) != 0, true);
    // The status bar paints its statistics part only while they are on: the old values go.
    if (flag == show_pointer_stats && (view_flags & flag) == 0)
        invalidate_pointer_stats();
    refresh_view();
}

// A step key pans in tool mode 0, moves a border of the focused rectangle in mode 1 and the brush in
// mode 2.
void impl::run_step_command(UINT command) {
    const std::optional<step_command> step = step_of(command);
    if (!step)
        return;
    switch (controls->selection_mode) {
    case 0: {
        const step_offset offset = pan_step_offset(*step);
        view.pan_x += offset.x;
        view.pan_y += offset.y;
        break;
    }
    case 1: {
        if (is_empty_rect(controls->focused))
            return;
        const image_frame_ptr& frame = select_display_frame();
        controls->focused = step_focus_border(controls->focused, *step, focus_step_pixels(view.zoom),
                                              frame.frame_width(), frame.frame_height());
        // The tilt-shift stage takes the new rectangle with the next change that restarts it.
        controls->update_focus_area_text();
        break;
    }
    case 2: {
        const step_offset offset = brush_step_offset(*step);
        move_select_circle(offset.x, offset.y);
        break;
    }
    default:
        return;
    }
    refresh_view();
}

void impl::scale_brush_command(double factor) {
    scale_brush(factor, brush_position.x, brush_position.y);
}

// Ctrl+Insert: a circle where the brush is, as a click there would add it.
void impl::add_circle_at_brush() {
    if (controls->selection_mode != 2 || brush_position.x < 0)
        return;
    const image_point p = view_to_image_point(brush_position.x, brush_position.y);
    const image_frame_ptr& frame = select_display_frame();
    eye_region& record = *controls->circle_record;
    if (!brush_reaches_image(p, record.radius, frame.frame_width(), frame.frame_height()))
        return;
    controls->push_eye_circle(p.x, p.y, round_to_int(record.radius / view.zoom), record, record.info_control);
    restart_chain(10, remove_red_eyes);
}

void impl::step_dpi_scale(bool up) {
    change_dpi_scaling(step_scale(scale, up));
}

// F11: fills the monitor's work area, and a second press goes back.
void impl::toggle_maximised() {
    const HMONITOR monitor = MonitorFromWindow(dialog, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    RECT window{};
    if (monitor == nullptr || !GetMonitorInfoW(monitor, &info) || !GetWindowRect(dialog, &window))
        return;
    const std::optional<maximise_move> move =
        toggle_maximise(to_preview_rect(window), to_preview_rect(info.rcWork), restore_rect);
    if (!move)
        return;
    restore_rect = move->restore;
    move_window(dialog, move->target);
    draw_picture(0);
}

void impl::choose_background_colour() {
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    COLORREF custom[16] = {face, GetSysColor(COLOR_BTNHIGHLIGHT), GetSysColor(COLOR_BTNSHADOW)};
    CHOOSECOLORW choice{};
    choice.lStructSize = sizeof choice;
    choice.hwndOwner = dialog;
    choice.rgbResult = background_colour == -1 ? face : static_cast<COLORREF>(background_colour);
    choice.lpCustColors = custom;
    choice.Flags = CC_RGBINIT;
    // The chooser runs a loop of its own, in which the dialog may have been closed: then nothing of it
    // is touched (a null window would repaint every window on the screen).
    if (!shell_calls::choose_colour(choice) || closing)
        return;
    background_colour = chosen_background(choice.rgbResult, face);
    draw_picture(0);
    InvalidateRect(dialog, nullptr, TRUE);
}

// Help ---------------------------------------------------------------------------------------------------

// The help file lies in the product's installation folder. Whatever is missing (the key, the value, the
// file), nothing opens and nothing is said.
void impl::show_help() {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, install_key, 0, KEY_READ | KEY_WOW64_32KEY, &opened) !=
        ERROR_SUCCESS)
        return;
    const system_ui::key_handle key(opened);
    // One character more than the value may fill, so that the text always ends.
    wchar_t folder[4098]{};
    DWORD type = 0;
    DWORD bytes = 8194;
    if (RegQueryValueExW(key.get(), L"InstallDir", nullptr, &type, reinterpret_cast<BYTE*>(folder), &bytes) !=
        ERROR_SUCCESS)
        return;
    const std::optional<std::wstring> path = help_file_path(type, folder, bytes);
    if (path)
        shell_calls::open(dialog, L"open", path->c_str(), nullptr, nullptr, SW_SHOW);
}

// Menus --------------------------------------------------------------------------------------------------

// Opens upward from the status bar's left corner, where its settings icon is.
void impl::on_settings_menu() {
    POINT corner{0, client_height - status_height};
    ClientToScreen(dialog, &corner);
    const UINT command = static_cast<UINT>(TrackPopupMenu(
        first_submenu(settings_menu), popup_flags | TPM_BOTTOMALIGN, corner.x, corner.y, 0, dialog, nullptr));
    run_settings_command(command);
}

void impl::run_settings_command(UINT command) {
    // The dialog may have closed while the menu was open.
    if (closing)
        return;
    switch (command) {
    case ID_AUTOSAVE:
        autosave = !autosave;
        system_ui::recheck_menu_item(first_submenu(settings_menu), ID_AUTOSAVE, autosave, true);
        break;
    case ID_LOAD_SETTINGS:
        load_settings_command(instance_key, IDS_SETTINGS_LOADED);
        break;
    case ID_SAVE_SETTINGS:
        save_settings_command();
        break;
    case ID_RESET_SETTINGS:
        load_settings_command(factory_key, IDS_SETTINGS_RESET);
        break;
    case ID_ADVANCED_CONTROLS:
        controls->toggle_advanced_settings();
        system_ui::recheck_menu_item(first_submenu(settings_menu), ID_ADVANCED_CONTROLS,
                                     controls->show_advanced, true);
        break;
    case ID_SHOW_HELP:
        show_help();
        break;
    case ID_HOTKEY_INFO:
        // The menu's caller has no hold on the running loop, which the new dialog joins: the command
        // comes back through the dialog's own message handling.
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(ID_HOTKEY_INFO, 0), 0);
        break;
    case ID_ABOUT:
        show_about_box(dialog);
        break;
    default:
        break;
    }
}

// A registry failure must not cost the user the work in the dialog: it is reported, and the dialog
// stays open with what it had.
void impl::load_settings_command(const std::wstring& key, UINT done_text_id) {
    try {
        controls->load_filter_settings(key);
    } catch (...) {
        show_exception_box(std::current_exception());
        return;
    }
    // Loading may switch tilt-shift, on which the focus marker's item depends.
    recheck_view_menu();
    restart_chain(0, reduce_noise);
    set_status_summary(module_string(done_text_id));
}

void impl::save_settings_command() {
    try {
        controls->save_filter_settings(instance_key);
    } catch (...) {
        show_exception_box(std::current_exception());
        return;
    }
    set_status_summary(module_string(IDS_SETTINGS_SAVED));
}

// Opens at client point x, y: where the right button went up, or the client origin for Shift+F10.
void impl::show_context_menu(int x, int y) {
    POINT at{x, y};
    if (!ClientToScreen(dialog, &at)) {
        constexpr auto message = cpp::failure_location("show_context_menu", "1321", DIALOG_SOURCE);
        cpp::throw_last_error(message.c_str());
    }
    const UINT command = static_cast<UINT>(
        TrackPopupMenu(first_submenu(view_menu), popup_flags, at.x, at.y, 0, dialog, nullptr));
    run_view_command(command, x, y);
}

// The chooser, the display switches and the fit show their result themselves; the rest is drawn here.
void impl::run_view_command(UINT command, int x, int y) {
    if (closing)
        return;
    if (command == 0 || run_display_command(command))
        return;
    switch (command) {
    case ID_ZOOM_TO_FIT:
        zoom_to_fit();
        return;
    case ID_CENTER_VIEW:
        center_view();
        update_view_info();
        break;
    default:
        // "Zoom To": the point under the pointer stays where it is.
        if (const double level = zoom_to_level(command); level != 0.0)
            zoom_at(x - viewport.x, y - viewport.y, level / view.zoom);
        break;
    }
    draw_picture(0);
}

void impl::recheck_view_menu() {
    const HMENU items = first_submenu(view_menu);
    system_ui::recheck_menu_item(items, ID_SHOW_RESULT, (view_flags & show_result) != 0, true);
    system_ui::recheck_menu_item(items, ID_SHOW_BORDER, (view_flags & show_border) != 0, true);
    system_ui::recheck_menu_item(items, ID_SHOW_POINTER_STATS, (view_flags & show_pointer_stats) != 0, true);
    system_ui::recheck_menu_item(items, ID_SHOW_FOCUS_MARKER, (view_flags & show_focus_marker) != 0,
                                 (controls->active_filters & tilt_shift) != 0);
}

// The menus and pictures at the dialog's scale; at construction and after every DPI change. The new
// menus replace the old ones before the old pictures go, since a menu only borrows its pictures.
void impl::reload_icons() {
    // The status bar's settings button.
    const std::int32_t icon_size = round_to_int(24.0 * scale);
    {
        const system_ui::bitmap_handle picture(
            load_png_resource(stage_engine, icon_size, module_instance(), IDP_SETTINGS));
        const system_ui::image_list_handle list(ImageList_Create(icon_size, icon_size, ILC_COLOR32, 1, 1));
        system_ui::icon_handle icon;
        if (list && ImageList_Add(list.get(), picture.get(), nullptr) >= 0)
            icon.reset(ImageList_GetIcon(list.get(), 0, ILD_NORMAL));
        SendMessageW(status_bar, SB_SETICON, 0, reinterpret_cast<LPARAM>(icon.get()));
        status_icon = std::move(icon);
    }

    const std::int32_t item_size = round_to_int(16.0 * scale);
    cpp::resizable_array<system_ui::bitmap_handle, 16> pictures;
    // Each picture repainted for the menus; the decoded one where that cannot be done.
    const auto picture = [&](WORD png) {
        system_ui::bitmap_handle decoded(load_png_resource(stage_engine, item_size, module_instance(), png));
        system_ui::bitmap_handle repainted = repainted_for_menu(decoded.get());
        return pictures.emplace_back(repainted ? std::move(repainted) : std::move(decoded)).get();
    };
    // The reset item shows the panel's own reset picture, which the panel keeps at the same size.
    const auto panel_picture = [&](HBITMAP painted) {
        system_ui::bitmap_handle repainted = repainted_for_menu(painted);
        return repainted ? pictures.emplace_back(std::move(repainted)).get() : painted;
    };

    constexpr auto settings_failure =
        cpp::failure_message("reload_icons", "1602", DIALOG_SOURCE, "LoadMenu resulted in error!");
    system_ui::menu_handle settings = load_menu(IDR_SETTINGS_MENU, settings_failure);
    const HMENU settings_items = checked_submenu(settings);
    system_ui::recheck_menu_item(settings_items, ID_ADVANCED_CONTROLS, controls->show_advanced, true);
    system_ui::recheck_menu_item(settings_items, ID_AUTOSAVE, autosave, true);
    {
        constexpr auto f1627 =
            cpp::failure_message("reload_icons", "1627", DIALOG_SOURCE, "SetMenuItemInfo resulted in error");
        constexpr auto f1633 =
            cpp::failure_message("reload_icons", "1633", DIALOG_SOURCE, "SetMenuItemInfo resulted in error");
        constexpr auto f1637 =
            cpp::failure_message("reload_icons", "1637", DIALOG_SOURCE, "SetMenuItemInfo resulted in error");
        constexpr auto f1643 =
            cpp::failure_message("reload_icons", "1643", DIALOG_SOURCE, "SetMenuItemInfo resulted in error");
        constexpr auto f1649 =
            cpp::failure_message("reload_icons", "1649", DIALOG_SOURCE, "SetMenuItemInfo resulted in error");
        constexpr auto f1655 =
            cpp::failure_message("reload_icons", "1655", DIALOG_SOURCE, "SetMenuItemInfo resulted in error");
        set_item_picture(settings_items, ID_LOAD_SETTINGS, false, picture(IDP_LOAD_SETTINGS), f1627);
        set_item_picture(settings_items, ID_SAVE_SETTINGS, false, picture(IDP_SAVE_SETTINGS), f1633);
        set_item_picture(settings_items, ID_RESET_SETTINGS, false,
                         panel_picture(controls->reset_value_bitmap()), f1637);
        set_item_picture(settings_items, ID_SHOW_HELP, false, picture(IDP_HELP), f1643);
        set_item_picture(settings_items, ID_HOTKEY_INFO, false, picture(IDP_HOTKEYS), f1649);
        set_item_picture(settings_items, ID_ABOUT, false, picture(IDP_ABOUT), f1655);
    }

    constexpr auto view_failure =
        cpp::failure_message("reload_icons", "1666", DIALOG_SOURCE, "LoadMenu resulted in error!");
    system_ui::menu_handle view_items_menu = load_menu(IDR_VIEW_MENU, view_failure);
    const HMENU view_items = checked_submenu(view_items_menu);
    {
        constexpr auto f1688 =
            cpp::failure_message("reload_icons", "1688", DIALOG_SOURCE, "SetMenuItemInfo resulted in error");
        constexpr auto f1694 =
            cpp::failure_message("reload_icons", "1694", DIALOG_SOURCE, "SetMenuItemInfo resulted in error");
        constexpr auto f1700 =
            cpp::failure_message("reload_icons", "1700", DIALOG_SOURCE, "SetMenuItemInfo resulted in error");
        constexpr auto f1706 =
            cpp::failure_message("reload_icons", "1706", DIALOG_SOURCE, "SetMenuItemInfo resulted in error");
        // The "Zoom To" popup has no command of its own: its place in the menu names it.
        constexpr UINT zoom_to_position = 7;
        set_item_picture(view_items, ID_CENTER_VIEW, false, picture(IDP_CENTER_VIEW), f1688);
        set_item_picture(view_items, zoom_to_position, true, picture(IDP_ZOOM_TO), f1694);
        set_item_picture(view_items, ID_ZOOM_TO_FIT, false, picture(IDP_ZOOM_TO_FIT), f1700);
        set_item_picture(view_items, ID_BACKGROUND_COLOR, false, picture(IDP_BACKGROUND_COLOR), f1706);
    }

    settings_menu = std::move(settings);
    view_menu = std::move(view_items_menu);
    // The check marks from the state, F5's included, so that a DPI change keeps them.
    recheck_view_menu();
    menu_bitmaps.truncate(0, false);
    for (system_ui::bitmap_handle& held : pictures.range())
        menu_bitmaps.emplace_back(std::move(held));
}

// Hotkey dialog ------------------------------------------------------------------------------------------

// Modeless beside the main dialog; an open one is brought forward, a closed one made again. The new
// dialog joins the running loop, which then gives it the keyboard handling of a dialog and lets it go
// once it is closed.
void impl::show_hotkey_dialog_command(const system_ui::register_function& register_window) {
    if (!hotkey_window || hotkey_window->window_handle() == nullptr) {
        hotkey_dialog& created = show_hotkey_dialog();
        if (register_window.is_callable())
            register_window(created);
    }
    const HWND hotkeys = hotkey_window->window_handle();
    ShowWindow(hotkeys, SW_SHOW);
    SetActiveWindow(hotkeys);
}

// The new dialog first, then the old one goes: a failed creation keeps what there was.
hotkey_dialog& impl::show_hotkey_dialog() {
    hotkey_window = std::make_unique<hotkey_dialog>(owner_window, dialog);
    return *hotkey_window;
}

} // namespace tessolux::main_window
