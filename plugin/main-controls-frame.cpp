#include "main-controls-frame.h"

#include <algorithm>
#include <climits>
#include <span>
#include <stdexcept>
#include <string>

#include <commctrl.h>
#include <windowsx.h>

#include "am-collections.h"
#include "am-common.h"
#include "host-entry.h"
#include "resource.h"

#define CONTROLS_FRAME AM_PLUGIN_SOURCE("main-controls-frame.cpp")

namespace tessolux {

using main_window::controls_frame;

// The sliders, in the order they load and save. The noise search and tile sliders count steps: the
// engine gets odd sizes of 2v + 3 and 2v + 1, and that is what their labels show.
const trackbar_definition trackbar_definitions[18] = {
    {IDC_DENOISE_INTENSITY, 1, 300, 15, L"ReduceNoiseIntensity", 25,
     [](controls_frame& p) -> std::int32_t& { return p.reduce_noise_intensity; }, IDC_DENOISE_INTENSITY_VALUE,
     1, 0, L"  ", reduce_noise},
    {IDC_DENOISE_BLENDING, 0, 100, 5, L"ReduceNoiseBlending", 75,
     [](controls_frame& p) -> std::int32_t& { return p.reduce_noise_blending; }, IDC_DENOISE_BLENDING_VALUE,
     1, 0, L" %", reduce_noise},
    {IDC_DENOISE_SEARCH, 2, 15, 1, L"ReduceNoiseSearchSize", 8,
     [](controls_frame& p) -> std::int32_t& { return p.reduce_noise_search_size; }, IDC_DENOISE_SEARCH_VALUE,
     2, 3, L"  ", reduce_noise},
    {IDC_DENOISE_TILE, 1, 25, 1, L"ReduceNoiseTileSize", 3,
     [](controls_frame& p) -> std::int32_t& { return p.reduce_noise_tile_size; }, IDC_DENOISE_TILE_VALUE, 2,
     1, L"  ", reduce_noise},
    {IDC_DENOISE_COLOR, 1, 300, 15, L"ReduceNoiseIntensityColor", 25,
     [](controls_frame& p) -> std::int32_t& { return p.reduce_noise_intensity_color; },
     IDC_DENOISE_COLOR_VALUE, 1, 0, L" %", reduce_noise},
    {IDC_ENHANCE_INTENSITY, 0, 200, 5, L"NaturalEnhanceIntensity", 70,
     [](controls_frame& p) -> std::int32_t& { return p.natural_enhance_intensity; },
     IDC_ENHANCE_INTENSITY_VALUE, 1, 0, L" %", natural_enhance},
    {IDC_ENHANCE_BALANCE, 0, 100, 5, L"NaturalEnhanceBalance", 80,
     [](controls_frame& p) -> std::int32_t& { return p.natural_enhance_balance; }, IDC_ENHANCE_BALANCE_VALUE,
     1, 0, L" %", natural_enhance},
    {IDC_ENHANCE_TOLERANCE, 0, 200, 10, L"NaturalEnhanceTolerance", 5,
     [](controls_frame& p) -> std::int32_t& { return p.natural_enhance_tolerance; },
     IDC_ENHANCE_TOLERANCE_VALUE, 1, 0, L"\u00d710\u207b\u2074", natural_enhance},
    {IDC_ENHANCE_RED, 0, 100, 5, L"NaturalEnhanceRed", 100,
     [](controls_frame& p) -> std::int32_t& { return p.natural_enhance_ratios[0]; }, IDC_ENHANCE_RED_VALUE, 1,
     0, L" %", natural_enhance},
    {IDC_ENHANCE_GREEN, 0, 100, 5, L"NaturalEnhanceGreen", 100,
     [](controls_frame& p) -> std::int32_t& { return p.natural_enhance_ratios[1]; }, IDC_ENHANCE_GREEN_VALUE,
     1, 0, L" %", natural_enhance},
    {IDC_ENHANCE_BLUE, 0, 100, 5, L"NaturalEnhanceBlue", 100,
     [](controls_frame& p) -> std::int32_t& { return p.natural_enhance_ratios[2]; }, IDC_ENHANCE_BLUE_VALUE,
     1, 0, L" %", natural_enhance},
    {IDC_ENHANCE_TILE, 24, 512, 8, L"NaturalEnhanceTileSize", 128,
     [](controls_frame& p) -> std::int32_t& { return p.natural_enhance_tile_size; }, IDC_ENHANCE_TILE_VALUE,
     1, 0, L"  ", natural_enhance},
    {IDC_REDEYE_INTENSITY, 0, 200, 10, L"DarkenIntensity", 100,
     [](controls_frame& p) -> std::int32_t& { return p.eyes.darken_intensity; }, IDC_REDEYE_INTENSITY_VALUE,
     1, 0, L" %", remove_red_eyes},
    {IDC_REDEYE_BORDER, 0, 30, 1, L"DarkenBorder", 3,
     [](controls_frame& p) -> std::int32_t& { return p.eyes.darken_border; }, IDC_REDEYE_BORDER_VALUE, 1, 0,
     L"  ", remove_red_eyes},
    {IDC_TILTSHIFT_BLUR, 1, 150, 5, L"TiltShiftBluringRadius", 10,
     [](controls_frame& p) -> std::int32_t& { return p.tilt_shift_blur_radius; }, IDC_TILTSHIFT_BLUR_VALUE, 1,
     0, L"  ", tilt_shift},
    {IDC_TILTSHIFT_BORDER, 1, 50, 10, L"TiltShiftBorderSize", 20,
     [](controls_frame& p) -> std::int32_t& { return p.tilt_shift_border_size; }, IDC_TILTSHIFT_BORDER_VALUE,
     1, 0, L" %", tilt_shift},
    {IDC_EFFECT_INTENSITY, 1, 100, 10, L"EffectIntensity", 100,
     [](controls_frame& p) -> std::int32_t& { return p.effect_intensity; }, IDC_EFFECT_INTENSITY_VALUE, 1, 0,
     L"  ", film_effect},
    {IDC_GRAIN_INTENSITY, 1, 100, 10, L"GrainIntensity", 80,
     [](controls_frame& p) -> std::int32_t& { return p.grain_intensity; }, IDC_GRAIN_INTENSITY_VALUE, 1, 0,
     L"  ", grain},
};

std::int32_t image_tile_size(std::int32_t width, std::int32_t height) noexcept {
    return std::clamp(std::min(width, height) / 16, 64, 512);
}

namespace {

// One stage's panel: the check box that switches the stage, the arrow that folds the panel, and the
// controls under them. The advanced group shows only while advanced settings are on.
struct panel_definition {
    filter_state stage;
    std::uint32_t check;
    std::uint32_t arrow;
    std::span<const std::uint32_t> basic;
    std::span<const std::uint32_t> advanced;
};

constexpr std::uint32_t denoise_basic[] = {IDC_DENOISE_INTENSITY_VALUE, IDC_DENOISE_INTENSITY,
                                           IDC_DENOISE_INTENSITY_LABEL, IDC_DENOISE_BLENDING_VALUE,
                                           IDC_DENOISE_BLENDING,        IDC_DENOISE_BLENDING_LABEL};
constexpr std::uint32_t denoise_advanced[] = {
    IDC_DENOISE_SEARCH,      IDC_DENOISE_SEARCH_VALUE, IDC_DENOISE_SEARCH_LABEL, IDC_DENOISE_TILE,
    IDC_DENOISE_TILE_VALUE,  IDC_DENOISE_TILE_LABEL,   IDC_DENOISE_COLOR,        IDC_DENOISE_COLOR_VALUE,
    IDC_DENOISE_COLOR_LABEL, IDC_DENOISE_BILATERAL};
constexpr std::uint32_t enhance_basic[] = {IDC_ENHANCE_INTENSITY_LABEL, IDC_ENHANCE_INTENSITY_VALUE,
                                           IDC_ENHANCE_INTENSITY,       IDC_ENHANCE_BALANCE_LABEL,
                                           IDC_ENHANCE_BALANCE_VALUE,   IDC_ENHANCE_BALANCE};
constexpr std::uint32_t enhance_advanced[] = {IDC_ENHANCE_TOLERANCE_LABEL,
                                              IDC_ENHANCE_TOLERANCE_VALUE,
                                              IDC_ENHANCE_TOLERANCE,
                                              IDC_ENHANCE_TILE_LABEL,
                                              IDC_ENHANCE_TILE,
                                              IDC_ENHANCE_TILE_VALUE,
                                              IDC_ENHANCE_RED_LABEL,
                                              IDC_ENHANCE_RED,
                                              IDC_ENHANCE_RED_VALUE,
                                              IDC_ENHANCE_GREEN_LABEL,
                                              IDC_ENHANCE_GREEN,
                                              IDC_ENHANCE_GREEN_VALUE,
                                              IDC_ENHANCE_BLUE_LABEL,
                                              IDC_ENHANCE_BLUE,
                                              IDC_ENHANCE_BLUE_VALUE};
constexpr std::uint32_t redeye_basic[] = {IDC_REDEYE_INTENSITY_LABEL,
                                          IDC_REDEYE_INTENSITY,
                                          IDC_REDEYE_INTENSITY_VALUE,
                                          IDC_REDEYE_BORDER_LABEL,
                                          IDC_REDEYE_BORDER,
                                          IDC_REDEYE_BORDER_VALUE,
                                          IDC_REDEYE_UNDO,
                                          IDC_REDEYE_REDO,
                                          IDC_REDEYE_DRAW,
                                          IDC_REDEYE_HISTORY_LABEL,
                                          IDC_REDEYE_HISTORY,
                                          IDC_REDEYE_RADIUS_LABEL,
                                          IDC_REDEYE_RADIUS};
constexpr std::uint32_t tiltshift_basic[] = {
    IDC_TILTSHIFT_BLUR_LABEL,   IDC_TILTSHIFT_BLUR_VALUE,   IDC_TILTSHIFT_BLUR,
    IDC_TILTSHIFT_SELECT,       IDC_TILTSHIFT_AREA_LABEL,   IDC_SELECT_STATS,
    IDC_TILTSHIFT_BORDER_LABEL, IDC_TILTSHIFT_BORDER_VALUE, IDC_TILTSHIFT_BORDER};
constexpr std::uint32_t effect_basic[] = {IDC_EFFECT_COMBO, IDC_EFFECT_INTENSITY_LABEL,
                                          IDC_EFFECT_INTENSITY_VALUE, IDC_EFFECT_INTENSITY};
constexpr std::uint32_t grain_basic[] = {IDC_GRAIN_INTENSITY_LABEL,
                                         IDC_GRAIN_INTENSITY_VALUE,
                                         IDC_GRAIN_INTENSITY,
                                         IDC_GRAIN_REGULAR,
                                         IDC_GRAIN_FAT,
                                         IDC_GRAIN_FRACTAL};

constexpr panel_definition panels[] = {
    {reduce_noise, IDC_DENOISE_ENABLE, IDC_DENOISE_EXPAND, denoise_basic, denoise_advanced},
    {natural_enhance, IDC_ENHANCE_ENABLE, IDC_ENHANCE_EXPAND, enhance_basic, enhance_advanced},
    {remove_red_eyes, IDC_REDEYE_ENABLE, IDC_REDEYE_EXPAND, redeye_basic, {}},
    {tilt_shift, IDC_TILTSHIFT_ENABLE, IDC_TILTSHIFT_EXPAND, tiltshift_basic, {}},
    {film_effect, IDC_EFFECT_ENABLE, IDC_EFFECT_EXPAND, effect_basic, {}},
    {grain, IDC_GRAIN_ENABLE, IDC_GRAIN_EXPAND, grain_basic, {}},
};

// The noise controls that the bilateral filter does without, and the film intensity that only some presets
// take.
constexpr std::uint32_t bilateral_unused[] = {IDC_DENOISE_SEARCH,       IDC_DENOISE_SEARCH_VALUE,
                                              IDC_DENOISE_SEARCH_LABEL, IDC_DENOISE_COLOR,
                                              IDC_DENOISE_COLOR_VALUE,  IDC_DENOISE_COLOR_LABEL};
constexpr std::uint32_t effect_intensity_controls[] = {IDC_EFFECT_INTENSITY, IDC_EFFECT_INTENSITY_VALUE,
                                                       IDC_EFFECT_INTENSITY_LABEL};

// The controls that scroll themselves into view when they get the focus and open the context menu.
constexpr std::uint32_t subclassed_controls[] = {
    IDC_DENOISE_ENABLE,    IDC_DENOISE_EXPAND,   IDC_DENOISE_INTENSITY, IDC_DENOISE_BLENDING,
    IDC_DENOISE_SEARCH,    IDC_DENOISE_TILE,     IDC_DENOISE_COLOR,     IDC_DENOISE_BILATERAL,
    IDC_ENHANCE_ENABLE,    IDC_ENHANCE_EXPAND,   IDC_ENHANCE_INTENSITY, IDC_ENHANCE_BALANCE,
    IDC_ENHANCE_TOLERANCE, IDC_ENHANCE_TILE,     IDC_ENHANCE_RED,       IDC_ENHANCE_GREEN,
    IDC_ENHANCE_BLUE,      IDC_REDEYE_UNDO,      IDC_REDEYE_REDO,       IDC_REDEYE_DRAW,
    IDC_REDEYE_ENABLE,     IDC_REDEYE_EXPAND,    IDC_REDEYE_INTENSITY,  IDC_REDEYE_BORDER,
    IDC_TILTSHIFT_ENABLE,  IDC_TILTSHIFT_EXPAND, IDC_TILTSHIFT_BLUR,    IDC_TILTSHIFT_SELECT,
    IDC_TILTSHIFT_BORDER,  IDC_EFFECT_ENABLE,    IDC_EFFECT_EXPAND,     IDC_EFFECT_COMBO,
    IDC_EFFECT_INTENSITY,  IDC_GRAIN_ENABLE,     IDC_GRAIN_EXPAND,      IDC_GRAIN_INTENSITY,
    IDC_GRAIN_REGULAR,     IDC_GRAIN_FAT,        IDC_GRAIN_FRACTAL};

// Every control of the panel: its check box, its arrow and both groups.
template <class Action> void for_each_control(const panel_definition& panel, Action&& action) {
    action(panel.check);
    action(panel.arrow);
    for (const std::uint32_t id : panel.basic)
        action(id);
    for (const std::uint32_t id : panel.advanced)
        action(id);
}

constexpr bool contains(std::span<const std::uint32_t> ids, std::uint32_t id) noexcept {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Sizes that follow the DPI scale, rounded half away from zero.
int scaled(double scale, double size) noexcept {
    return cpp::round_to_int(scale * size);
}

std::wstring label_text(const trackbar_definition& row, std::int32_t position) {
    return std::to_wstring(row.label_factor * position + row.label_offset) + row.label_suffix;
}

} // namespace

namespace main_window {

// Construction and teardown ---------------------------------------------------------------------------------

controls_frame::controls_frame(HWND owner, int x, int y, int width, int height, float scale,
                               change_callback on_change, failure_callback on_failure,
                               back_buffer_callback back_buffer, back_buffer_release release_back_buffer,
                               const engine_context& engine)
    : scale_(scale), back_buffer_(std::move(back_buffer)),
      release_back_buffer_(std::move(release_back_buffer)), on_change_(std::move(on_change)),
      on_failure_(std::move(on_failure)) {
    dialog_.reset(system_ui::create_dialog(module_instance(), IDD_CONTROLS, owner, *this));
    if (!dialog_) {
        constexpr auto message = cpp::failure_message("controls_frame", "771", CONTROLS_FRAME,
                                                      "CreateDialogParam resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
    // The dialog calls back into this object: it must go before the members do when construction fails.
    auto undo = cpp::make_rollback_guard([this] { dialog_.reset(); });
    const HWND dialog = dialog_.get();

    for (const panel_definition& panel : panels)
        for_each_control(panel, [&](std::uint32_t id) {
            controls_.try_emplace(id, dialog, item(id), width, height,
                                  system_ui::control_docker::dock_left | system_ui::control_docker::dock_top);
        });
    for (const trackbar_definition& row : trackbar_definitions)
        trackbars_.emplace(row.id, &row);
    system_ui::load_string(history_pattern_, module_instance(), IDS_CIRCLE_HISTORY);
    system_ui::load_string(focus_area_pattern_, module_instance(), IDS_FOCUSED_AREA);
    build_preset_map();

    settle_layout();
    content_height_ = content_extent() + 20;

    for (const std::uint32_t id : subclassed_controls)
        if (!SetWindowSubclass(item(id), &control_subclass, id, reinterpret_cast<DWORD_PTR>(this))) {
            constexpr auto message = cpp::failure_message("controls_frame", "779", CONTROLS_FRAME,
                                                          "SetWindowSubclass resulted in error!");
            throw std::runtime_error(message.c_str());
        }
    for (const trackbar_definition& row : trackbar_definitions) {
        SendMessageW(item(row.id), TBM_SETRANGE, FALSE, MAKELPARAM(row.minimum, row.maximum));
        SendMessageW(item(row.id), TBM_SETTICFREQ, row.tick_frequency, 0);
    }
    menu_.reset(LoadMenuW(module_instance(), MAKEINTRESOURCEW(IDR_PANEL_MENU)));
    if (!menu_) {
        constexpr auto message =
            cpp::failure_message("controls_frame", "794", CONTROLS_FRAME, "LoadMenu resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
    for (const panel_definition& panel : panels)
        set_check(panel.check, true);
    set_check(IDC_GRAIN_REGULAR, true);
    // The list is empty until its thumbnails are made: nothing chosen, so no film intensity yet.
    follow_effect_choice();
    // The sliders show the values they hold from the start; the settings load sets them again.
    loading = true;
    for (const trackbar_definition& row : trackbar_definitions)
        set_trackbar_position(row.id, row.field(*this));
    loading = false;
    reload_icons(engine);
    show_radius_text(cpp::round_to_int(eyes.radius));
    show_history_text(eyes, eyes.info_control);

    if (!MoveWindow(dialog, x, y, width, height, TRUE)) {
        constexpr auto message =
            cpp::failure_message("controls_frame", "812", CONTROLS_FRAME, "MoveWindow resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
    if (!SetWindowSubclass(item(IDC_SELECT_STATS), &focus_area_subclass, IDC_SELECT_STATS,
                           reinterpret_cast<DWORD_PTR>(this))) {
        constexpr auto message =
            cpp::failure_message("controls_frame", "820", CONTROLS_FRAME,
                                 "SetWindowSubclass(IDC_SELECT_STATS...) resulted in error!");
        throw std::runtime_error(message.c_str());
    }
    update_scroll_bar();
}

controls_frame::~controls_frame() {
    // The dialog's last messages still reach this object, so it goes while every member is alive.
    dialog_.reset();
}

std::size_t controls_frame::panel_of(filter_state stage) {
    for (std::size_t i = 0; i != std::size(panels); ++i)
        if (panels[i].stage == stage)
            return i;
    throw std::invalid_argument(
        cpp::failure_message("panel_of", "1004", CONTROLS_FRAME, "no panel has this stage!").c_str());
}

// Messages --------------------------------------------------------------------------------------------------

INT_PTR controls_frame::process_message(const system_ui::register_function&, HWND window, UINT message,
                                        WPARAM wparam, LPARAM lparam) {
    try {
        switch (message) {
        case WM_INITDIALOG:
            return 1;
        case WM_MOVE:
            invalidate(true);
            return 1;
        case WM_SIZE:
            on_size(LOWORD(lparam), HIWORD(lparam));
            return 1;
        case WM_PAINT:
            on_paint();
            return 1;
        case WM_NOTIFY:
            if (reinterpret_cast<const NMHDR*>(lparam)->code == static_cast<UINT>(NM_OUTOFMEMORY))
                MessageBoxW(window, module_string(IDS_NOT_ENOUGH_MEMORY).c_str(),
                            module_string(IDS_FAILURE_CAPTION).c_str(), MB_ICONERROR);
            return 1;
        case WM_COMMAND:
            return on_command(wparam);
        case WM_HSCROLL:
            if (lparam != 0)
                on_hscroll(reinterpret_cast<HWND>(lparam));
            return 1;
        case WM_VSCROLL:
            if (lparam == 0)
                on_vscroll(LOWORD(wparam));
            return 1;
        case WM_MOUSEWHEEL:
            return on_mouse_wheel(wparam);
        case WM_CTLCOLORSTATIC:
            return on_ctl_color_static(reinterpret_cast<HDC>(wparam), reinterpret_cast<HWND>(lparam));
        case WM_RBUTTONUP: {
            POINT point{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
            ClientToScreen(window, &point);
            show_context_menu(point, 0);
            return 1;
        }
        case WM_NCDESTROY:
            // The system has destroyed the dialog (with its owner): nothing is left to destroy.
            static_cast<void>(dialog_.release());
            return 0;
        default:
            return 0;
        }
    } catch (...) {
        report_failure(std::current_exception());
        return 0;
    }
}

void controls_frame::report_failure(std::exception_ptr failure) noexcept {
    try {
        on_failure_(std::move(failure));
    } catch (...) {
        // Nothing more can be said from inside a user32 call.
    }
}

void controls_frame::notify(unsigned delay, filter_state stage) {
    if (!loading)
        on_change_(delay, stage);
}

void controls_frame::on_size(int width, int height) {
    client_width_ = width;
    client_height_ = height;
    for (auto& [id, control] : controls_)
        control.parent_resized(0, 0, width, height);
    update_scroll_bar();
    invalidate(true);
}

INT_PTR controls_frame::on_command(WPARAM wparam) {
    const std::uint32_t id = LOWORD(wparam);
    const UINT code = HIWORD(wparam);
    if (id < IDC_TILTSHIFT_SELECT || id > IDC_DENOISE_BILATERAL)
        return 0;
    for (std::size_t i = 0; i != std::size(panels); ++i) {
        if (id == panels[i].check) {
            if (code == BN_CLICKED)
                on_stage_check(i);
            return 1;
        }
        if (id == panels[i].arrow) {
            if (code == BN_CLICKED)
                toggle_expanded(panels[i].stage);
            return 1;
        }
    }
    if (id == IDC_EFFECT_COMBO) {
        if (code == CBN_SELCHANGE)
            on_effect_selected();
        return 1;
    }
    switch (id) {
    case IDC_DENOISE_BILATERAL:
    case IDC_TILTSHIFT_SELECT:
    case IDC_REDEYE_DRAW:
    case IDC_REDEYE_UNDO:
    case IDC_REDEYE_REDO:
    case IDC_GRAIN_REGULAR:
    case IDC_GRAIN_FAT:
    case IDC_GRAIN_FRACTAL:
        break;
    default:
        return 0;
    }
    if (code != BN_CLICKED)
        return 1;
    switch (id) {
    case IDC_DENOISE_BILATERAL:
        on_bilateral();
        break;
    case IDC_TILTSHIFT_SELECT:
        on_select_focused();
        break;
    case IDC_REDEYE_DRAW:
        on_draw_region();
        break;
    case IDC_REDEYE_UNDO:
        undo_eye_circles(1, eyes, eyes.info_control);
        break;
    case IDC_REDEYE_REDO:
        redo_eye_circles(1, eyes, eyes.info_control);
        break;
    default:
        on_grain(id - IDC_GRAIN_REGULAR);
        break;
    }
    return 1;
}

void controls_frame::on_stage_check(std::size_t panel) {
    const panel_definition& definition = panels[panel];
    const std::uint32_t bit = definition.stage;
    if (checked(definition.check))
        active_filters |= bit;
    else
        active_filters &= ~bit;
    if (definition.stage == remove_red_eyes) {
        if (selection_mode == 2) {
            selection_mode = 0;
            set_check(IDC_REDEYE_DRAW, false);
        }
        // The engine's memory of earlier runs belongs to the circles as they were when the stage ran.
        eyes.shared_data.reset();
    } else if (definition.stage == tilt_shift && selection_mode == 1) {
        selection_mode = 0;
        set_check(IDC_TILTSHIFT_SELECT, false);
    }
    refresh_panel(panel);
    notify(200, definition.stage);
    if (auto_expand && ((expanded_filters ^ active_filters) & bit) != 0)
        toggle_expanded(definition.stage);
}

void controls_frame::set_active_stages(std::uint32_t mask) {
    for (std::size_t i = 0; i != std::size(panels); ++i)
        if (((active_filters ^ mask) & panels[i].stage) != 0) {
            set_check(panels[i].check, (mask & panels[i].stage) != 0);
            on_stage_check(i);
        }
}

void controls_frame::on_bilateral() {
    refresh_panel(panel_of(reduce_noise));
    notify(200, reduce_noise);
}

void controls_frame::on_select_focused() {
    const std::uint32_t previous = selection_mode;
    if (previous == 2)
        set_check(IDC_REDEYE_DRAW, false);
    selection_mode = previous == 1 ? 0 : 1;
    set_check(IDC_TILTSHIFT_SELECT, selection_mode == 1);
    // Leaving the selection is when the chosen rectangle takes effect, whatever else goes on.
    if (previous == 1)
        on_change_(200, tilt_shift);
    invalidate(false);
}

void controls_frame::on_draw_region() {
    const std::uint32_t previous = selection_mode;
    if (previous == 1)
        set_check(IDC_TILTSHIFT_SELECT, false);
    selection_mode = previous == 2 ? 0 : 2;
    set_check(IDC_REDEYE_DRAW, selection_mode == 2);
    circle_record = &eyes;
    update_scroll_bar();
    invalidate(true);
}

void controls_frame::on_grain(std::uint32_t kind) {
    grain_kind = kind;
    notify(200, grain);
}

void controls_frame::on_hscroll(HWND trackbar) {
    const std::uint32_t id = static_cast<std::uint32_t>(GetDlgCtrlID(trackbar));
    const auto row = trackbars_.find(id);
    if (row == trackbars_.end() || item(id) != trackbar)
        return;
    const trackbar_definition& definition = *row->second;
    const auto position = static_cast<std::int32_t>(SendMessageW(trackbar, TBM_GETPOS, 0, 0));
    definition.field(*this) = position;
    SetDlgItemTextW(dialog_.get(), static_cast<int>(definition.label),
                    label_text(definition, position).c_str());
    // With the advanced sliders hidden, one intensity stands for both.
    if (!show_advanced && id == IDC_DENOISE_INTENSITY)
        reduce_noise_intensity_color = position;
    notify(200, definition.stage);
}

void controls_frame::set_trackbar_position(std::uint32_t id, std::int32_t value) {
    // TBM_SETPOSNOTIFY is missing before Windows 7 and does nothing under Wine: set the position and run
    // what the trackbar's own notification runs. The handler is called directly rather than through
    // WM_HSCROLL, so that a failure in it reaches this caller and not the failure callback.
    const HWND trackbar = item(id);
    SendMessageW(trackbar, TBM_SETPOS, TRUE, value);
    on_hscroll(trackbar);
}

void controls_frame::set_check(std::uint32_t id, bool on) {
    SendMessageW(item(id), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool controls_frame::checked(std::uint32_t id) const noexcept {
    return SendMessageW(item(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool controls_frame::bilateral_filter() const noexcept {
    return checked(IDC_DENOISE_BILATERAL);
}

INT_PTR controls_frame::on_ctl_color_static(HDC dc, HWND control) {
    switch (GetDlgCtrlID(control)) {
    case IDC_ENHANCE_RED_LABEL:
        SetTextColor(dc, RGB(150, 0, 0));
        break;
    case IDC_ENHANCE_GREEN_LABEL:
        SetTextColor(dc, RGB(0, 150, 0));
        break;
    case IDC_ENHANCE_BLUE_LABEL:
        SetTextColor(dc, RGB(0, 0, 150));
        break;
    case IDC_REDEYE_RADIUS_LABEL:
    case IDC_REDEYE_RADIUS:
        // The brush radius matters only while circles are being drawn.
        SetTextColor(dc, selection_mode == 2 ? RGB(0, 0, 0) : GetSysColor(COLOR_ACTIVEBORDER));
        break;
    default:
        break;
    }
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_3DFACE));
}

// Panels: what shows, where it sits
// ---------------------------------------------------------------------------

system_ui::control_docker& controls_frame::docker(std::uint32_t id) {
    const auto found = controls_.find(id);
    if (found == controls_.end())
        throw std::out_of_range("invalid unordered_map<K, T> key");
    return found->second;
}

const system_ui::control_docker& controls_frame::docker(std::uint32_t id) const {
    const auto found = controls_.find(id);
    if (found == controls_.end())
        throw std::out_of_range("invalid unordered_map<K, T> key");
    return found->second;
}

namespace {

struct layout {
    int left, top, width, height, right_margin, bottom_margin;
    int bottom() const noexcept { return top + height; }
};

layout layout_of(const system_ui::control_docker& control) noexcept {
    layout result;
    control.get_layout(result.left, result.top, result.width, result.height, result.right_margin,
                       result.bottom_margin);
    return result;
}

} // namespace

void controls_frame::refresh_panel(std::size_t panel) {
    const panel_definition& definition = panels[panel];
    const bool expanded = (expanded_filters & definition.stage) != 0;
    const bool active = (active_filters & definition.stage) != 0;
    const bool bilateral = checked(IDC_DENOISE_BILATERAL);
    const auto apply = [&](std::span<const std::uint32_t> group, bool shown) {
        for (const std::uint32_t id : group) {
            bool enabled = active;
            if (contains(bilateral_unused, id))
                enabled = enabled && !bilateral;
            if (contains(effect_intensity_controls, id))
                enabled = enabled && effect_has_intensity;
            const HWND control = item(id);
            ShowWindow(control, shown ? SW_SHOWNORMAL : SW_HIDE);
            EnableWindow(control, enabled);
        }
    };
    apply(definition.basic, expanded);
    apply(definition.advanced, expanded && show_advanced);
    SetWindowTextW(item(definition.arrow), expanded ? L"\u25b2" : L"\u25bc");
}

int controls_frame::group_bottom(std::span<const std::uint32_t> ids) const {
    int bottom = -65536;
    for (const std::uint32_t id : ids)
        bottom = std::max(bottom, layout_of(docker(id)).bottom());
    return bottom;
}

int controls_frame::panel_bottom(std::size_t panel) const {
    const panel_definition& definition = panels[panel];
    int bottom = group_bottom(definition.basic);
    if (show_advanced && !definition.advanced.empty())
        bottom = std::max(bottom, group_bottom(definition.advanced));
    return bottom;
}

void controls_frame::move_panels_below(std::size_t panel, int delta) {
    if (delta == 0)
        return;
    for (std::size_t i = panel + 1; i < std::size(panels); ++i)
        for_each_control(panels[i], [&](std::uint32_t id) { docker(id).move_control(0, delta); });
}

int controls_frame::content_extent() const {
    int top = INT_MAX;
    int bottom = INT_MIN;
    for (const auto& [id, control] : controls_) {
        const layout place = layout_of(control);
        top = std::min(top, place.top);
        bottom = std::max(bottom, place.bottom());
    }
    return bottom - top;
}

void controls_frame::settle_layout() {
    const int expanded_gap = scaled(scale_, 4) + scaled(scale_, 10);
    for (std::size_t i = 0; i + 1 < std::size(panels); ++i) {
        const layout arrow = layout_of(docker(panels[i].arrow));
        const layout next = layout_of(docker(panels[i + 1].arrow));
        const int target = (expanded_filters & panels[i].stage) != 0 ? panel_bottom(i) + expanded_gap
                                                                     : arrow.bottom() + scaled(scale_, 10);
        move_panels_below(i, target - next.top);
        content_height_ += target - next.top;
    }
}

void controls_frame::toggle_expanded(filter_state stage) {
    const std::size_t panel = panel_of(stage);
    expanded_filters ^= stage;
    const bool expanded = (expanded_filters & stage) != 0;
    refresh_panel(panel);
    const layout arrow = layout_of(docker(panels[panel].arrow));
    const int bottom = panel_bottom(panel);
    int delta;
    if (panel + 1 == std::size(panels)) {
        const int extent = scaled(scale_, 4) + bottom - arrow.bottom();
        delta = expanded ? extent : -extent;
    } else if (expanded) {
        delta = scaled(scale_, 4) + bottom - arrow.bottom();
    } else {
        const layout next = layout_of(docker(panels[panel + 1].arrow));
        delta = arrow.top + next.height + scaled(scale_, 10) - next.top;
    }
    content_height_ += delta;
    move_panels_below(panel, delta);
    update_scroll_bar();
    invalidate(true);
}

void controls_frame::expand_panels(std::uint32_t mask) {
    for (const panel_definition& panel : panels)
        if (((expanded_filters ^ mask) & panel.stage) != 0)
            toggle_expanded(panel.stage);
}

void controls_frame::toggle_advanced_settings() {
    show_advanced = !show_advanced;
    const int sign = show_advanced ? 1 : -1;
    int denoise_delta = 0;
    int enhance_delta = 0;
    refresh_panel(0);
    refresh_panel(1);
    if ((expanded_filters & reduce_noise) != 0)
        denoise_delta = sign * (group_bottom(denoise_advanced) - group_bottom(denoise_basic));
    if ((expanded_filters & natural_enhance) != 0)
        enhance_delta = sign * (group_bottom(enhance_advanced) - group_bottom(enhance_basic));
    // The optimize panel follows the noise panel's change alone, the later ones both.
    move_panels_below(0, denoise_delta);
    move_panels_below(1, enhance_delta);

    const bool was_loading = std::exchange(loading, true);
    {
        auto restore = cpp::make_scope_guard([&] { loading = was_loading; });
        if (show_advanced) {
            set_trackbar_position(IDC_DENOISE_COLOR, reduce_noise_intensity_color);
            set_trackbar_position(IDC_ENHANCE_TILE, natural_enhance_tile_size);
        } else {
            set_trackbar_position(IDC_DENOISE_INTENSITY,
                                  (reduce_noise_intensity + reduce_noise_intensity_color) / 2);
            natural_enhance_tile_size = image_tile_size();
        }
    }
    notify(10, reduce_noise);
    content_height_ += denoise_delta + enhance_delta;
    update_scroll_bar();
    scroll_to(0);
    invalidate(true);
}

void controls_frame::set_auto_expand(bool on) {
    auto_expand = on;
    system_ui::recheck_menu_item(GetSubMenu(menu_.get(), 0), ID_AUTO_EXPAND, on, true);
}

// Scrolling
// --------------------------------------------------------------------------------------------------

int controls_frame::last_scroll_position() const noexcept {
    // The largest position the scroll bar takes for the range and page update_scroll_bar gives it.
    return std::max(0, content_height_ - std::max(client_height_ - 1, 0));
}

void controls_frame::update_scroll_bar() {
    // Content that shrank below the place scrolled to (everything collapsed while scrolled down) would leave
    // the controls out of step with the bar: bring them back to the last place the bar can show.
    const int last = last_scroll_position();
    if (scroll_position_ > last) {
        for (auto& [id, control] : controls_)
            control.move_control(0, scroll_position_ - last);
        scroll_position_ = last;
    }
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    info.nMin = 0;
    info.nMax = content_height_;
    info.nPage = static_cast<UINT>(std::max(client_height_, 0));
    info.nPos = scroll_position_;
    SetScrollInfo(dialog_.get(), SB_VERT, &info, TRUE);
}

void controls_frame::scroll_to(int position) {
    if (position == -1)
        return;
    position = std::clamp(position, 0, last_scroll_position());
    SetScrollPos(dialog_.get(), SB_VERT, position, TRUE);
    if (position == scroll_position_)
        return;
    for (auto& [id, control] : controls_)
        control.move_control(0, scroll_position_ - position);
    scroll_position_ = position;
    invalidate(true);
}

void controls_frame::on_vscroll(WORD code) {
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_ALL;
    GetScrollInfo(dialog_.get(), SB_VERT, &info);
    const int page = static_cast<int>(info.nPage);
    const int last = info.nMax - page + 1;
    int position = -1;
    switch (code) {
    case SB_LINEUP:
        position = std::max(info.nPos - 10, info.nMin);
        break;
    case SB_LINEDOWN:
        position = std::min(last, info.nPos + 10);
        break;
    case SB_PAGEUP:
        position = std::max(info.nPos - page, info.nMin);
        break;
    case SB_PAGEDOWN:
        position = std::min(last, info.nPos + page);
        break;
    case SB_THUMBTRACK:
        position = info.nTrackPos;
        break;
    case SB_TOP:
        position = info.nMin;
        break;
    case SB_BOTTOM:
        position = last;
        break;
    default:
        break;
    }
    scroll_to(position);
}

INT_PTR controls_frame::on_mouse_wheel(WPARAM wparam) {
    if (GET_KEYSTATE_WPARAM(wparam) != MK_CONTROL)
        return 0;
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE;
    GetScrollInfo(dialog_.get(), SB_VERT, &info);
    const int position = scroll_position_ - (GET_WHEEL_DELTA_WPARAM(wparam) * 20) / 120;
    // A page larger than the range would put the upper bound below the lower one.
    const int upper = std::max(info.nMin, info.nMax - static_cast<int>(info.nPage));
    scroll_to(std::clamp(position, info.nMin, upper));
    return 1;
}

void controls_frame::make_visible(HWND control) {
    RECT rect;
    system_ui::control_docker::get_window_rect(rect, control, dialog_.get());
    if (rect.top < 0)
        scroll_to(scroll_position_ + rect.top);
    else if (rect.bottom > client_height_)
        scroll_to(scroll_position_ - client_height_ + rect.bottom);
}

void controls_frame::invalidate(bool erase) {
    // Controls move without repainting themselves, so the children are invalidated with the panel.
    RedrawWindow(dialog_.get(), nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ALLCHILDREN | (erase ? RDW_ERASE : 0u));
}

// Painting
// ---------------------------------------------------------------------------------------------------

void controls_frame::on_paint() {
    PAINTSTRUCT paint;
    const HDC dc = BeginPaint(dialog_.get(), &paint);
    const auto end = cpp::make_scope_guard([&] { EndPaint(dialog_.get(), &paint); });
    const int r = scaled(scale_, 2);
    const system_ui::pen_handle pen(CreatePen(PS_SOLID, 1, GetSysColor(COLOR_ACTIVEBORDER)));
    const system_ui::selection_guard pen_selection(dc, pen.get());
    const system_ui::selection_guard brush_selection(dc, GetStockObject(HOLLOW_BRUSH));
    const layout first_arrow = layout_of(docker(IDC_DENOISE_EXPAND));
    const int right = client_width_ + r - first_arrow.right_margin;
    for (std::size_t i = 0; i != std::size(panels); ++i) {
        const layout arrow = layout_of(docker(panels[i].arrow));
        const int top = arrow.top - r;
        const int bottom =
            (expanded_filters & panels[i].stage) != 0 ? panel_bottom(i) + 2 * r : arrow.top + arrow.height;
        RoundRect(dc, 0, top, right, bottom + r, r, r);
    }
}

void controls_frame::paint_focus_area(HWND edit) {
    PAINTSTRUCT paint;
    const HDC screen = BeginPaint(edit, &paint);
    const auto end = cpp::make_scope_guard([&] { EndPaint(edit, &paint); });
    RECT client;
    GetClientRect(edit, &client);
    const auto width = static_cast<unsigned>(client.right);
    const auto height = static_cast<unsigned>(client.bottom);
    if (width == 0 || height == 0)
        return;
    const auto [buffer, previous] = back_buffer_(screen, width, height);
    // A panel may be given no way to give the buffer back: called empty, the function would throw out of
    // the guard's destructor, which ends the process.
    const auto release = cpp::make_scope_guard([&, previous = previous] {
        if (release_back_buffer_.is_callable())
            release_back_buffer_(previous);
    });

    FillRect(buffer, &client, GetSysColorBrush(COLOR_3DFACE));
    SetTextColor(buffer, RGB(0, 0, 0));
    // The edit paints its text into the given DC.
    DefSubclassProc(edit, WM_PAINT, reinterpret_cast<WPARAM>(buffer), 0);
    if ((active_filters & tilt_shift) != 0) {
        if (!icon_dc_)
            icon_dc_.reset(CreateCompatibleDC(nullptr));
        const int size = scaled(scale_, 15);
        const int x = scaled(scale_, 3);
        const int rows[] = {scaled(scale_, 2), scaled(scale_, 17), scaled(scale_, 32)};
        for (std::size_t i = 0; i != std::size(rows); ++i) {
            if (!icon_dc_ || !area_icons_[i])
                continue;
            const system_ui::selection_guard icon(icon_dc_.get(), area_icons_[i].get());
            BitBlt(buffer, x, rows[i], size, size, icon_dc_.get(), 0, 0, SRCCOPY);
        }
    }
    BitBlt(screen, 0, 0, client.right, client.bottom, buffer, 0, 0, SRCCOPY);
}

// Subclasses
// -------------------------------------------------------------------------------------------------

LRESULT CALLBACK controls_frame::control_subclass(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                                  UINT_PTR id, DWORD_PTR panel) {
    auto* const self = reinterpret_cast<controls_frame*>(panel);
    try {
        switch (message) {
        case WM_SETFOCUS:
            self->make_visible(window);
            break;
        case WM_RBUTTONUP: {
            POINT point{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
            ClientToScreen(window, &point);
            self->show_context_menu(point, static_cast<std::uint32_t>(id));
            break;
        }
        case WM_KEYUP:
            if (wparam == VK_APPS) {
                RECT client;
                GetClientRect(window, &client);
                POINT point{0, client.bottom};
                ClientToScreen(window, &point);
                self->show_context_menu(point, static_cast<std::uint32_t>(id));
            }
            break;
        case WM_NCDESTROY:
            RemoveWindowSubclass(window, &control_subclass, id);
            break;
        default:
            break;
        }
    } catch (...) {
        self->report_failure(std::current_exception());
    }
    return DefSubclassProc(window, message, wparam, lparam);
}

LRESULT CALLBACK controls_frame::focus_area_subclass(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                                     UINT_PTR id, DWORD_PTR panel) {
    auto* const self = reinterpret_cast<controls_frame*>(panel);
    switch (message) {
    case WM_ERASEBKGND:
        // The paint fills the whole box in the back buffer; erasing first would only flicker.
        return 1;
    case WM_PAINT:
        if ((self->expanded_filters & tilt_shift) == 0 || !self->back_buffer_.is_callable())
            break;
        try {
            self->paint_focus_area(window);
        } catch (...) {
            self->report_failure(std::current_exception());
        }
        return 0;
    case WM_NCDESTROY:
        RemoveWindowSubclass(window, &focus_area_subclass, id);
        break;
    default:
        break;
    }
    return DefSubclassProc(window, message, wparam, lparam);
}

// Context menu
// -------------------------------------------------------------------------------------------------

void controls_frame::show_context_menu(POINT screen, std::uint32_t control) {
    const HMENU menu = GetSubMenu(menu_.get(), 0);
    EnableMenuItem(menu, ID_RESET_VALUE,
                   MF_BYCOMMAND | (trackbars_.contains(control) ? MF_ENABLED : MF_GRAYED));
    const HWND focus = GetFocus();
    const UINT command = static_cast<UINT>(TrackPopupMenu(
        menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, screen.x, screen.y, 0, dialog_.get(), nullptr));
    run_menu_command(command, control);
    switch (command) {
    case ID_EXPAND_ALL:
    case ID_COLLAPSE_ALL:
    case ID_DEACTIVATE_ALL:
    case ID_EXPAND_ACTIVE:
        if (focus != nullptr && IsWindow(focus))
            SetFocus(focus);
        break;
    default:
        break;
    }
}

void controls_frame::run_menu_command(UINT command, std::uint32_t control) {
    switch (command) {
    case ID_AUTO_EXPAND:
        set_auto_expand(!auto_expand);
        break;
    case ID_EXPAND_ALL:
        expand_panels(all_stages);
        break;
    case ID_COLLAPSE_ALL:
        expand_panels(0);
        break;
    case ID_EXPAND_ACTIVE:
        expand_panels(expanded_filters | active_filters);
        break;
    case ID_DEACTIVATE_ALL:
        set_active_stages(0);
        break;
    case ID_RESET_VALUE: {
        const auto row = trackbars_.find(control);
        if (row == trackbars_.end())
            break;
        const std::int32_t value = control == IDC_ENHANCE_TILE
                                       ? image_tile_size()
                                       : static_cast<std::int32_t>(row->second->default_value);
        row->second->field(*this) = value;
        set_trackbar_position(control, value);
        break;
    }
    default:
        break;
    }
}

// Fonts, DPI, pictures -------------------------------------------------------------------------------------

void controls_frame::set_panel_fonts(HFONT normal, HFONT arrows) {
    // Before Windows 7 the message font may lack the arrow glyphs; the caller then gives one that has them.
    const bool own_arrow_font = cpp::system_info.windows_version < 0x601;
    for (const panel_definition& panel : panels)
        for_each_control(panel, [&](std::uint32_t id) {
            const HFONT font = own_arrow_font && id == panel.arrow ? arrows : normal;
            SendMessageW(item(id), WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
        });
    // Tab stops in dialog units of each edit's font: the focused area's numbers leave room for the icons;
    // the history's counts stand clear of "# of circles:" also in a wide 16-pixel font.
    const int focus_area_stop = 16;
    const int history_stop = 50;
    SendDlgItemMessageW(dialog_.get(), IDC_SELECT_STATS, EM_SETTABSTOPS, 1,
                        reinterpret_cast<LPARAM>(&focus_area_stop));
    SendDlgItemMessageW(dialog_.get(), IDC_REDEYE_HISTORY, EM_SETTABSTOPS, 1,
                        reinterpret_cast<LPARAM>(&history_stop));
}

void controls_frame::on_dpi_changed(const engine_context& engine, double scale, float ratio) {
    scroll_to(0);
    scale_ = scale;
    reload_icons(engine);
    for (auto& [id, control] : controls_)
        control.scale_control(ratio);
    content_height_ = cpp::round_to_int(static_cast<float>(content_height_) * ratio);
    // Rounding each control on its own shifts the gaps by a pixel here and there; put the arrows back where
    // the expand rule wants them, so that folding a panel and opening it again still restores it exactly.
    settle_layout();
    if (thumbnails_)
        prepare_effects_combo(engine);
    update_scroll_bar();
    invalidate(true);
}

void controls_frame::reload_icons(const engine_context& engine) {
    const HMODULE module = module_instance();
    const auto load = [&](int size, WORD id) {
        return system_ui::bitmap_handle(load_png_resource(engine, size, module, id));
    };
    const int button_size = scaled(scale_, 32);
    const auto set_button_picture = [&](std::uint32_t id, system_ui::bitmap_handle& kept, WORD picture) {
        system_ui::bitmap_handle bitmap = load(button_size, picture);
        SendMessageW(item(id), BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap.get()));
        kept = std::move(bitmap);
    };
    set_button_picture(IDC_TILTSHIFT_SELECT, select_focused_picture_, IDP_SELECT_FOCUSED);
    set_button_picture(IDC_REDEYE_DRAW, draw_region_picture_, IDP_DRAW_REGION);
    const int icon_size = scaled(scale_, 15);
    area_icons_[0] = load(icon_size, IDP_AREA_TOP_LEFT);
    area_icons_[1] = load(icon_size, IDP_AREA_BOTTOM_RIGHT);
    area_icons_[2] = load(icon_size, IDP_AREA_SIZE);

    constexpr auto submenu_failure =
        cpp::failure_message("reload_icons", "947", CONTROLS_FRAME, "GetSubMenu resulted in error!");
    const HMENU menu = system_ui::checked_submenu(menu_.get(), submenu_failure.c_str());
    const int menu_size = scaled(scale_, 16);
    const auto set_item_picture = [&](UINT command, system_ui::bitmap_handle& kept, WORD picture,
                                      const auto& failure) {
        system_ui::bitmap_handle bitmap = load(menu_size, picture);
        MENUITEMINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_BITMAP;
        info.hbmpItem = bitmap.get();
        if (!SetMenuItemInfoW(menu, command, FALSE, &info))
            cpp::throw_last_error(failure.c_str());
        kept = std::move(bitmap);
    };
    constexpr auto reset_failed =
        cpp::failure_message("reload_icons", "959", CONTROLS_FRAME, "SetMenuItemInfo resulted in error");
    set_item_picture(ID_RESET_VALUE, reset_value_picture_, IDP_RESET_VALUE, reset_failed);
    constexpr auto deactivate_failed =
        cpp::failure_message("reload_icons", "966", CONTROLS_FRAME, "SetMenuItemInfo resulted in error");
    set_item_picture(ID_DEACTIVATE_ALL, deactivate_all_picture_, IDP_DEACTIVATE_ALL, deactivate_failed);
}

std::int32_t controls_frame::image_tile_size() const {
    // Without an image the table's default stands.
    if (source_frame == nullptr || !*source_frame)
        return static_cast<std::int32_t>(trackbars_.at(IDC_ENHANCE_TILE)->default_value);
    return tessolux::image_tile_size(source_frame->frame_width(), source_frame->frame_height());
}

} // namespace main_window
} // namespace tessolux
