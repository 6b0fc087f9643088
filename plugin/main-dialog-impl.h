// The modal preview dialog of one filter run: the preview of the stage chain's newest result beside the
// controls panel, the two worker lanes that compute it, and everything the user does with it until Apply
// or Cancel. One class over dialog 129; its operations live in the modules named at each group below.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <string>

#include <windows.h>

#include "am-functional.h"
#include "am-resizable-array.h"
#include "am-threading.h"
#include "image-processor.h"
#include "main-controls-frame.h"
#include "preview-geometry.h"
#include "region-rules.h"
#include "stage-chain.h"
#include "win-common.h"

namespace tessolux {

class hotkey_dialog;

namespace main_window {

// One worker thread with its job queue, the producer user the UI thread pushes through, and the cell
// that holds the newest ticket queued on it. The cell is the lane's first member: jobs read it through a
// pointer for as long as the thread runs.
struct worker_lane {
    explicit worker_lane(std::uint32_t capacity) : queue(capacity) {}

    std::uint32_t latest_ticket = 0;
    cpp::threading::sp_sc_queue queue;
    cpp::threading::thread_ptr thread;
    cpp::threading::producer_user producer;
};

// view_flags: what the preview shows.
enum view_flag : std::uint32_t {
    show_result = 1,
    show_border = 2,
    show_focus_marker = 4,
    show_pointer_stats = 8,
};

// The red-eye brush's radius in view pixels stays within these.
inline constexpr double min_brush_radius = 1.0;
inline constexpr double max_brush_radius = 10000.0;
double clamp_brush_radius(double radius) noexcept;

// The status bar's four parts for a dialog of that client width; returns where part 2 (the pointer
// statistics) lies.
preview_rect rescale_status(HWND status, int width, float scale, int height);

// The window rectangle of a stored placement: the client area's screen origin and size as saved, grown by
// the dialog's non-client margins (left, top, right and bottom thickness). Stored values are any 32-bit
// numbers: a negative size counts as none, and what does not fit 32 bits is clamped.
preview_rect stored_window_rect(const preview_rect& client, const RECT& margins) noexcept;

// Where a window opens so that it can be dragged: where it is when its caption strip (its top
// caption_height rows) meets one of the monitors' work areas; otherwise on nearest_work_area (the work
// area of the monitor nearest to it): its size clamped to that area, then its top-left moved just enough
// that the whole window lies inside. A placement saved on a monitor since removed, above the screen or in
// a gap between monitors of different sizes, or a wild value, so never opens out of reach.
preview_rect placed_window_rect(const preview_rect& window, std::int32_t caption_height,
                                std::span<const RECT> work_areas, const RECT& nearest_work_area) noexcept;

class impl : public system_ui::window_base {
public:
    // Creates dialog 129 over the engine; the caller shows it and runs the message loop. source and
    // result are the host entry's frames: the result stays the host's, Apply copies into it.
    impl(const engine_context& engine, std::wstring key, const image_frame_ptr& source,
         const image_frame_ptr& result, HWND owner);
    ~impl() override;

    HWND window_handle() const override { return dialog; }
    HACCEL accelerators() const override { return accelerator_table.get(); }
    INT_PTR process_message(const system_ui::register_function& register_window, HWND window, UINT message,
                            WPARAM wparam, LPARAM lparam) override;

    // Whether the run ended without Apply; the host entry reads it once the loop has ended.
    bool was_cancelled() const noexcept { return not_accepted; }

    // Lifecycle (main-dialog-impl.cpp) -------------------------------------------------------------------
    void construct(const image_frame_ptr& source, const image_frame_ptr& result);
    void close_dialog();
    // The two halves of the teardown that need nothing of the engine.
    void stop_workers() noexcept;
    void destroy_dialog_window() noexcept;
    void wire_workers();
    void init_controls();
    void change_font(float new_scale);
    void change_dpi_scaling(float new_scale);
    void create_tooltips();
    void layout_preview_area();
    void choose_background_colour();
    void on_apply();
    void on_cancel();
    void on_close();
    void on_size(int width, int height);
    void on_move(int x, int y);
    void on_timer();
    void show_failure_and_close(std::exception_ptr failure);
    // borders_failure: the failure text when the status bar does not give its borders.
    void layout_status_bar(const char* borders_failure);
    // One error box on the dialog: a text of ours, or the text that suits the exception.
    void show_failure_box(const std::wstring& text);
    void show_exception_box(std::exception_ptr failure);
    void show_hotkey_dialog_command(const system_ui::register_function& register_window);
    hotkey_dialog& show_hotkey_dialog();

    // Stage chain (stage-chain.cpp) ----------------------------------------------------------------------
    void restart_chain(std::uint32_t delay, std::uint32_t stage);
    void on_filter_changed(unsigned delay, filter_state stage);
    void run_reduce_noise_stage(std::uint32_t delay);
    void run_natural_enhance_stage(std::uint32_t delay);
    void run_remove_red_eyes_stage(std::uint32_t delay);
    void run_tilt_shift_stage(std::uint32_t delay);
    void run_film_effect_stage(std::uint32_t delay);
    void run_grain_stage(std::uint32_t delay);
    void cancel_stage_job();
    image_frame_ptr& select_display_frame();
    // The frame the preview shows: the source while the original is asked for, else the display frame.
    image_frame_ptr& shown_frame();
    void draw_picture(int outlines_only);
    // Queues the render of the shown frame into the canvas (preview-view.cpp).
    void render_preview(bool outlines_only);
    image_frame_ptr& slot(frame_slot which) noexcept;
    slot_presence present_slots() const noexcept;
    stage_step next_step(std::uint32_t stage, bool has_work) const noexcept;
    bool stage_starts(std::uint32_t stage, bool has_work, std::uint32_t delay);
    void run_stage_after(std::uint32_t stage, std::uint32_t delay);
    void stage_delivered(std::uint32_t stage);
    void begin_stage(std::uint32_t stage);
    void skip_stage(std::uint32_t stage);
    void end_chain();
    void show_job_failure(std::exception_ptr failure, bool set_error_state);
    // The posted failures of the two lanes, with the failed job's ticket.
    void job_failure_task(std::exception_ptr failure, std::uint32_t ticket);
    void preview_failure_task(std::exception_ptr failure, std::uint32_t ticket);

    // Preview view (preview-view.cpp) --------------------------------------------------------------------
    void zoom_at(double x, double y, double factor);
    void zoom_to_fit();
    void center_view();
    void update_view_info();
    image_point view_to_image_point(int x, int y);

    // Painting (preview-painting.cpp) --------------------------------------------------------------------
    void on_paint();
    void ensure_back_buffer(HDC dc, unsigned width, unsigned height);
    static LRESULT CALLBACK flickerfree_subclass_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                                      UINT_PTR id, DWORD_PTR reference);
    void paint_canvas(HDC back, const preview_rect& area);
    void paint_brush(HDC back, const preview_rect& area);
    void discard_circle_mask() noexcept;
    void paint_pointer_stats(HDC dc);
    LRESULT paint_flicker_free(HWND window, WPARAM wparam, UINT_PTR id);
    void post_failure(std::exception_ptr failure) noexcept;

    // Region tools (region-tools.cpp) --------------------------------------------------------------------
    void on_left_button_down(int x, int y, WPARAM keys);
    void on_left_button_up();
    void on_capture_changed();
    void on_left_double_click();
    void on_middle_button_up(int x, int y);
    void on_right_button_up(int x, int y);
    void on_mouse_move(int x, int y, WPARAM keys);
    void on_mouse_wheel(WPARAM wparam, LPARAM lparam);
    void on_mouse_leave();
    // WM_SETCURSOR: window is the one under the pointer, hit_test where on it; false leaves the cursor to
    // the default handling.
    bool on_set_cursor(HWND window, UINT hit_test);
    void set_cursor(HCURSOR cursor);
    // The red-eye brush radius times factor, kept within the brush's bounds, about the client point x, y.
    void scale_brush(double factor, int x, int y);
    void move_select_circle(int dx, int dy);
    void update_radius_text();
    void update_pointer_stats();
    bool in_viewport(int x, int y) const noexcept;
    // {0, 0, W, H} of the displayed frame: the image the tools mark regions on.
    preview_rect image_area();
    void drag_to(int x, int y, WPARAM keys);
    void hover_over(int x, int y, WPARAM keys);
    void hover_focus_handles(int x, int y, bool control);
    void paint_circle_at(int x, int y);
    void follow_with_brush(int x, int y, WPARAM keys);
    std::int32_t brush_reach() const noexcept;
    void hide_brush();
    void track_pointer_leave();
    bool pointer_over_viewport() const;
    void invalidate_pointer_stats();
    void set_cursor(tool_cursor cursor);

    // Commands (main-commands.cpp) -----------------------------------------------------------------------
    void on_command(const system_ui::register_function& register_window, WPARAM wparam, LPARAM lparam);
    void on_settings_menu();
    void show_context_menu(int x, int y);
    void show_help();
    void reload_icons();
    void set_status_summary(const std::wstring& text);
    // What a command of the settings menu, or of the view menu opened at client point x, y, does.
    void run_settings_command(UINT command);
    void run_view_command(UINT command, int x, int y);
    // view_flags ^= flag, with its check mark in the view menu, and the view refreshed.
    void toggle_view_flag(std::uint32_t flag);
    // The view menu's check marks from view_flags; the focus marker's item is greyed while tilt-shift is
    // inactive.
    void recheck_view_menu();
    bool run_display_command(UINT command);
    // After a command that changed the view: its information text, the preview, the pointer statistics.
    void refresh_view();
    void zoom_command(double factor);
    void run_step_command(UINT command);
    void scale_brush_command(double factor);
    void add_circle_at_brush();
    void toggle_maximised();
    void step_dpi_scale(bool up);
    // Load (or reset, from key "empty") and save of the filter settings; a registry failure is reported
    // and the dialog stays as it was.
    void load_settings_command(const std::wstring& key, UINT done_text_id);
    void save_settings_command();

    // Window settings (window-settings.cpp) --------------------------------------------------------------
    void load_window_settings();
    void save_window_settings();
    // The client area's screen origin and size in the dialog's normal state, also while it is minimised
    // or maximised.
    preview_rect normal_client_area() const;
    // Expands or collapses panels, each by its own expand logic, until exactly the stages of mask are
    // expanded.
    void expand_panels(std::uint32_t mask);

    // Members, in construction order -------------------------------------------------------------------
    std::wstring instance_key;
    std::wstring error_caption;
    std::wstring memory_text;
    std::wstring unknown_text;
    std::wstring view_info_text;
    std::wstring stage_texts[6];
    std::wstring done_text;
    std::wstring pointer_pattern;
    std::wstring source_text;
    std::wstring result_text;
    HWND owner_window;
    bool not_accepted = true;
    // Set once construction has made every member the handlers use; until then the dialog answers as a
    // plain dialog.
    bool constructed = false;
    // Set by close_dialog: from then on no handler starts new work.
    bool closing = false;
    engine_context stage_engine;
    std::unique_ptr<hotkey_dialog> hotkey_window;
    HWND dialog = nullptr;

    // Geometry of the client area (screen origin, size) and of the controls column.
    std::int32_t window_x = 0;
    std::int32_t window_y = 0;
    std::int32_t client_width = 0;
    std::int32_t client_height = 0;
    std::int32_t panel_width = 0;
    preview_rect viewport{};
    // -1: the system's button face; else a COLORREF the user chose.
    std::int32_t background_colour = -1;
    bool autosave = true;
    cpp::resizable_array<system_ui::control_docker, 1> dockers;

    HWND progress_bar = nullptr;
    HWND dynamic_text = nullptr;
    HWND apply_button = nullptr;
    HWND cancel_button = nullptr;
    HWND status_bar = nullptr;
    HWND tooltip_window = nullptr;
    bool failure_pending = false;
    system_ui::font_handle message_font;
    system_ui::font_handle fallback_font;
    system_ui::accelerator_handle accelerator_table;
    // Brush outline, border outline, viewport frame and the status bar's top line.
    system_ui::pen_handle brush_pen;
    system_ui::pen_handle border_pen;
    system_ui::pen_handle frame_pen;
    bool apply_had_focus = false;
    bool dpi_aware = true;
    float scale = 1.0f;
    std::int32_t status_height = 0;

    system_ui::window_task_queue posted_tasks;
    cpp::moveonly_function<void(float)> progress_callback;
    worker_lane filter_lane;
    worker_lane preview_lane;
    std::unique_ptr<cpp::threading::thread_registration> ui_registration;
    std::uint32_t timer_ticks = 0;
    system_ui::timer_handle timer;
    std::uint32_t result_slot_stage = all_stages;

    view_state view;
    // What the view-information text shows now.
    preview_rect shown_image_rect{};
    double shown_zoom = 1.0;
    preview_canvas_ptr canvas;
    bool last_shown_source = true;
    std::uint32_t view_flags = show_result | show_focus_marker;
    std::uint32_t running_stage = all_stages;

    // Painting.
    system_ui::dc_handle back_dc;
    system_ui::bitmap_handle back_bitmap;
    std::uint32_t back_width = 0;
    std::uint32_t back_height = 0;
    system_ui::bitmap_handle circle_mask_bitmap;
    std::int32_t circle_mask_width = 0;
    std::int32_t circle_mask_height = 0;

    // Region tools.
    std::uint32_t drag_state = 0;
    std::uint32_t hover_state = 0;
    POINT press_point{};
    POINT last_point{};
    preview_rect drag_start_rect{};
    POINT brush_position{-1, -1};
    std::uint64_t last_circle_time = 0;
    HCURSOR cursors[9]{};
    // The tool's cursor shown over the preview.
    HCURSOR current_cursor = nullptr;
    // Between a move over the dialog's client area and the pointer leaving it.
    bool pointer_in_dialog = false;
    bool pointer_stats_retry_pending = false;
    std::wstring pointer_text;
    bool pointer_inside = false;
    std::wstring channel_texts[4]; // R, G, B, A
    bool pointer_wide = false;
    preview_rect status_part2{};

    // Commands. The item bitmaps go after the menus that show them.
    cpp::resizable_array<system_ui::bitmap_handle, 16> menu_bitmaps;
    system_ui::menu_handle settings_menu;
    system_ui::menu_handle view_menu;
    system_ui::icon_handle status_icon;
    preview_rect restore_rect{};

    // The host entry's result frame: Apply copies the shown picture into it. Borrowed.
    const image_frame_ptr* host_result;

    // The controls panel and the four frame slots.
    std::unique_ptr<controls_frame> controls;
    image_frame_ptr source_slot;
    image_frame_ptr denoised_slot;
    image_frame_ptr enhanced_slot;
    image_frame_ptr result_slot;
};

} // namespace main_window
} // namespace tessolux
