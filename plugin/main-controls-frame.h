// The controls panel: the scrollable column of six collapsible filter panels beside the preview, one per
// stage, with the 18 sliders and the other filter settings, their registry load and save, the film
// preset chooser, the red-eye circle history and the focused-area text. It tells the main window after
// every change which stage must be recomputed and after what delay.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>

#include <windows.h>

#include "am-functional.h"
#include "am-resizable-array.h"
#include "filter-jobs.h"
#include "image-processor.h"
#include "resource.h"
#include "win-common.h"

namespace tessolux {

// One bit per stage, in the order the chain runs them. 127 is all six in the panel's masks, and no stage
// in the main window's running-stage and redo fields.
enum filter_state : std::uint32_t {
    reduce_noise = 2,
    natural_enhance = 4,
    remove_red_eyes = 8,
    tilt_shift = 16,
    film_effect = 32,
    grain = 64,
    all_stages = 127,
};

// The red-eye stage's record: the circles with their undo history (entries at or past position are the
// redo entries), the brush radius of the preview's circle tool and the two darkening sliders.
struct eye_region {
    std::uint32_t stage_bit = remove_red_eyes;
    std::uint32_t info_control = IDC_REDEYE_HISTORY;
    std::int32_t darken_intensity = 100;
    std::int32_t darken_border = 3;
    double radius = 10.0; // view pixels
    std::uint32_t position = 0;
    cpp::resizable_array<eye_circle, 5> circles;
    // The engine object the red-eye job keeps between runs; dropped whenever the stage is switched.
    std::optional<memoized_data_t> shared_data;
};

namespace main_window {
class controls_frame;
}

// One slider: its range, its registry value, its default and the panel field that holds its value.
struct trackbar_definition {
    std::uint32_t id;
    std::int32_t minimum;
    std::int32_t maximum;
    std::uint32_t tick_frequency;
    const wchar_t* value_name;
    std::uint32_t default_value;
    std::int32_t& (*field)(main_window::controls_frame& panel);
    std::uint32_t label;       // the static that shows the value
    std::int32_t label_factor; // the label shows factor * v + offset
    std::int32_t label_offset;
    const wchar_t* label_suffix;
    filter_state stage;
};

// The 18 sliders in the order they load and save.
extern const trackbar_definition trackbar_definitions[18];

// clamp(min(width, height) / 16, 64, 512): the natural-enhancement tile size that suits the image.
std::int32_t image_tile_size(std::int32_t width, std::int32_t height) noexcept;

// The film presets in table order: string-table id and engine node name.
struct film_preset {
    std::uint32_t string_id;
    const wchar_t* node_name;
};
extern const film_preset film_presets[39];

// History text of the red-eye record ("# of circles ... # of redos ...") and the focused-area text.
std::wstring format_history_text(const std::wstring& pattern, const eye_region& record);
std::wstring format_focus_area_text(const std::wstring& pattern, const preview_rect& focused);

namespace main_window {

class controls_frame : public system_ui::window_base {
public:
    // (delay in milliseconds, the stage to recompute)
    using change_callback = cpp::moveonly_function<void(unsigned, filter_state)>;
    using failure_callback = cpp::moveonly_function<void(std::exception_ptr)>;
    // A DC to paint into of at least the given size, and what it had selected before.
    using back_buffer_callback = cpp::moveonly_function<std::pair<HDC, void*>(HDC, unsigned, unsigned)>;
    using back_buffer_release = cpp::moveonly_function<void(void*)>;

    // Creates dialog 130 as a child of owner at the given place; engine decodes the panel's pictures (and
    // the DPI change's engine decodes them again).
    controls_frame(HWND owner, int x, int y, int width, int height, float scale, change_callback on_change,
                   failure_callback on_failure, back_buffer_callback back_buffer,
                   back_buffer_release release_back_buffer, const engine_context& engine);
    ~controls_frame() override;

    HWND window_handle() const override { return dialog_.get(); }
    HACCEL accelerators() const override { return nullptr; }
    INT_PTR process_message(const system_ui::register_function& register_window, HWND window, UINT message,
                            WPARAM wparam, LPARAM lparam) override;

    // Filter settings in the current user's registry under the given installation key; "empty" resets.
    void load_filter_settings(const std::wstring& key);
    void save_filter_settings(const std::wstring& key);

    // Fills the effects list with thumbnails of the source image rendered by each preset.
    void prepare_effects_combo(const engine_context& engine);
    // The engine node of the chosen film preset; throws std::out_of_range when nothing is chosen.
    std::wstring selected_effect_node() const;

    // Shows or hides the advanced sliders of noise reduction and natural enhancement.
    void toggle_advanced_settings();
    // Expands or collapses one panel, as its arrow does.
    void toggle_expanded(filter_state stage);
    // Expands the panels whose stage bits mask has and collapses the others, top to bottom.
    void expand_panels(std::uint32_t mask);
    // The auto expand/collapse flag, with its check mark in the context menu.
    void set_auto_expand(bool on);

    void set_panel_fonts(HFONT normal, HFONT arrows);
    void on_dpi_changed(const engine_context& engine, double scale, float ratio);

    // Red-eye history: the circle tool adds, Undo and Redo move the position (notifying 100 ms, stage 8).
    void push_eye_circle(std::int32_t x, std::int32_t y, std::int32_t radius, eye_region& record,
                         std::uint32_t info_control);
    void undo_eye_circles(std::uint32_t n, eye_region& record, std::uint32_t info_control);
    void redo_eye_circles(std::uint32_t n, eye_region& record, std::uint32_t info_control);
    void update_focus_area_text();
    // "r  " in 1103: the brush radius in image pixels at least 1.
    void show_radius_text(std::int32_t radius);

    // The image-derived tile size of the source image.
    std::int32_t image_tile_size() const;
    // Whether noise reduction runs as the bilateral filter ("Use Bilateral Filter" checked).
    bool bilateral_filter() const noexcept;
    // The picture of the context menu's "Reset value" item, which the settings menu shows for its reset
    // command too; owned by the panel and replaced on a DPI change.
    HBITMAP reset_value_bitmap() const noexcept { return reset_value_picture_.get(); }

    // State the main window reads and writes ---------------------------------------------------------------
    std::uint32_t selection_mode = 0; // 0 none, 1 focused rectangle, 2 red-eye circles
    std::uint32_t expanded_filters = all_stages;
    std::uint32_t active_filters = all_stages;
    bool show_advanced = true;
    bool loading = false;
    bool auto_expand = false;
    // Filled by the main window with the context whose progress reaches the progress bar.
    engine_context engine;

    std::int32_t reduce_noise_intensity = 25;
    std::int32_t reduce_noise_blending = 75;
    std::int32_t reduce_noise_search_size = 8;
    std::int32_t reduce_noise_tile_size = 3;
    std::int32_t reduce_noise_intensity_color = 25;
    std::int32_t natural_enhance_intensity = 70;
    std::int32_t natural_enhance_balance = 80;
    std::int32_t natural_enhance_tolerance = 5;
    std::int32_t natural_enhance_ratios[3] = {100, 100, 100}; // red, green, blue
    std::int32_t natural_enhance_tile_size = 128;
    eye_region eyes;
    std::int32_t tilt_shift_blur_radius = 10;
    std::int32_t tilt_shift_border_size = 20;
    bool effect_has_intensity = false;
    std::int32_t effect_intensity = 100;
    std::uint32_t grain_kind = 0; // 0 regular, 1 fat, 2 fractal
    std::int32_t grain_intensity = 80;
    // The record the preview's circle tool edits: always the panel's own.
    eye_region* circle_record = &eyes;
    // Borrowed from the main window: the host image, for thumbnails and the image-derived tile size.
    const image_frame_ptr* source_frame = nullptr;
    // The tilt-shift focused rectangle in image pixels.
    preview_rect focused{};

private:
    // Message handlers.
    INT_PTR on_command(WPARAM wparam);
    void on_size(int width, int height);
    void on_paint();
    void on_hscroll(HWND trackbar);
    void on_vscroll(WORD code);
    INT_PTR on_mouse_wheel(WPARAM wparam);
    INT_PTR on_ctl_color_static(HDC dc, HWND control);
    void on_stage_check(std::size_t panel);
    void on_bilateral();
    void on_select_focused();
    void on_draw_region();
    void on_effect_selected();
    void on_grain(std::uint32_t kind);

    // What the user sees of one panel: which controls are shown and enabled, and its arrow.
    void refresh_panel(std::size_t panel);
    // Moves the headers and groups of every panel below the given one.
    void move_panels_below(std::size_t panel, int delta);
    // Puts each arrow where expanding and collapsing put it, so that both are exact inverses.
    void settle_layout();
    // The lowest bottom of the panel's groups that show while it is expanded.
    int panel_bottom(std::size_t panel) const;
    int group_bottom(std::span<const std::uint32_t> ids) const;
    // From the highest top to the lowest bottom of all controls.
    int content_extent() const;

    void update_scroll_bar();
    void scroll_to(int position);
    int last_scroll_position() const noexcept;
    void make_visible(HWND control);
    void invalidate(bool erase);

    void show_context_menu(POINT screen, std::uint32_t control);
    void run_menu_command(UINT command, std::uint32_t control);
    void reload_icons(const engine_context& engine);

    system_ui::control_docker& docker(std::uint32_t id);
    const system_ui::control_docker& docker(std::uint32_t id) const;
    HWND item(std::uint32_t id) const noexcept { return GetDlgItem(dialog_.get(), static_cast<int>(id)); }
    void set_trackbar_position(std::uint32_t id, std::int32_t value);
    void set_check(std::uint32_t id, bool checked);
    bool checked(std::uint32_t id) const noexcept;
    // The change callback, unless settings are loading.
    void notify(unsigned delay, filter_state stage);
    void report_failure(std::exception_ptr failure) noexcept;
    void show_history_text(const eye_region& record, std::uint32_t info_control);
    const std::wstring& preset_node(const std::wstring& display_text) const;
    void build_preset_map();
    void paint_focus_area(HWND edit);

    // Panels are numbered from 0 (noise reduction) to 5 (grain), top to bottom; panel i has stage bit 2 << i.
    static std::size_t panel_of(filter_state stage);
    // Switches every stage whose bit differs from mask, top to bottom, through its check box's own
    // handling (enabling, auto expand/collapse).
    void set_active_stages(std::uint32_t mask);
    // Only the presets past the first four take an intensity: the flag and the intensity controls follow
    // whatever the list has chosen. Every road that fills the list or changes its choice ends here.
    void follow_effect_choice();

    static LRESULT CALLBACK control_subclass(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                             UINT_PTR id, DWORD_PTR panel);
    static LRESULT CALLBACK focus_area_subclass(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                                UINT_PTR id, DWORD_PTR panel);

    using window_handle_holder = cpp::unique_any<HWND, &DestroyWindow>;

    // Null once the dialog is gone; destroyed first by the destructor, while everything it may call lives.
    window_handle_holder dialog_;
    std::unordered_map<std::uint32_t, system_ui::control_docker> controls_;
    std::unordered_map<std::uint32_t, const trackbar_definition*> trackbars_;
    std::wstring history_pattern_;
    std::wstring focus_area_pattern_;
    system_ui::image_list_handle thumbnails_;
    int client_width_ = 0;
    int client_height_ = 0;
    int content_height_ = 0;
    int scroll_position_ = 0;
    double scale_;
    system_ui::dc_handle icon_dc_;
    back_buffer_callback back_buffer_;
    back_buffer_release release_back_buffer_;
    // The buttons' pictures, the focused-area icons and the context menu's item pictures. Buttons and
    // menus never delete the bitmaps they show, so they live here, and a replaced one goes only after
    // its successor is shown.
    system_ui::bitmap_handle select_focused_picture_;
    system_ui::bitmap_handle draw_region_picture_;
    system_ui::bitmap_handle area_icons_[3];
    system_ui::bitmap_handle reset_value_picture_;
    system_ui::bitmap_handle deactivate_all_picture_;
    system_ui::menu_handle menu_;
    std::unordered_map<std::wstring, std::wstring> presets_;
    change_callback on_change_;
    failure_callback on_failure_;
};

} // namespace main_window
} // namespace tessolux
