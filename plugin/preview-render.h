// The preview render, a job on the preview lane: the engine cuts the visible part out of the displayed
// frame, scales it to view pixels and converts it to 24-bit BGR over the background colour, straight
// into the preview canvas; then the dashed outlines of the whole image and of the tilt-shift focus
// rectangle are drawn over it, and the main window's callback runs on the UI thread to repaint from the
// canvas. An outlines-only job skips the engine and redraws the dashes with a new phase.
#pragma once

#include <cstdint>

#include <windows.h>

#include "am-functional.h"
#include "am-threading.h"
#include "image-processor.h"

namespace system_ui {
class window_task_queue;
}

namespace tessolux {

// The outline bits of a render: the same bits as the main window's image-border and focus-marker flags.
inline constexpr std::int32_t outline_image = 2;
inline constexpr std::int32_t outline_focus = 4;

// More waiting previews than this and the newest full render supersedes them all: a short queue renders
// every request in turn, a backlog (a fast drag on a slow machine) collapses to its newest.
inline constexpr std::uint32_t preview_backlog = 4;

// Called on the UI thread once the canvas holds the new picture.
using preview_done_callback = cpp::moveonly_function<void()>;

// One preview job. The canvas, the task queue and the engine context are the main window's and outlive
// the lane's jobs (the window joins the lane before it lets them go); the image reference and the
// callback are the job's own.
struct preview_render_closure {
    // Keep the canvas pixels and only redraw the dashes.
    bool outlines_only;
    const preview_canvas_ptr* canvas;
    // The dash phase: the timer's tick count.
    std::int32_t phase;
    // The displayed frame's image.
    com_ptr<zorvane::IImage> source;
    // The preview area in client coordinates.
    preview_rect viewport;
    // Where the image's top-left pixel lies, relative to the viewport: the pan.
    double origin_x;
    double origin_y;
    // outline_image, outline_focus.
    std::int32_t outline_bits;
    // The tilt-shift focus rectangle in image pixels.
    preview_rect focus;
    system_ui::window_task_queue* tasks;
    // View pixels per image pixel.
    double zoom;
    // For transparent pixels, 0x00RRGGBB.
    std::uint32_t background;
    // The preview's context; its progress handler never stops a run.
    const engine_context* engine;
    preview_done_callback on_done;

    // The job body: renders, then posts on_done to the UI thread. A superseded job ends at its next
    // check with nothing posted.
    void operator()(unsigned);
};

// Queues a render of frame on the preview lane. The ticket of a full render becomes the lane's latest
// only when more than preview_backlog jobs then wait, so that only a backlog is cut short; an
// outlines-only job never supersedes anything. UI thread only.
void start_preview_render(const engine_context& engine, bool outlines_only, std::int32_t outline_bits,
                          const image_frame_ptr& frame, std::int32_t phase, std::uint32_t* latest_ticket,
                          cpp::threading::thread_ptr& worker, cpp::threading::producer_user& producer,
                          system_ui::window_task_queue& tasks, const preview_rect& viewport, double origin_x,
                          double origin_y, double zoom, std::uint32_t background, const preview_rect& focus,
                          const preview_canvas_ptr& canvas, preview_done_callback&& on_done);

// The render itself, on the preview lane's worker: true when something was rendered, false when no part
// of the image is visible (the canvas then records an empty impact rectangle). The visible part is cut
// to the canvas's size. The frame is read-locked before the canvas is locked, so a paint waits at most
// for one resize, never for the stage job that writes the frame.
bool build_preview_graph(const preview_render_closure& job);

// The dashed outline of r (image pixels) over the rendered view rectangle view, which shows the image
// rectangle image; nothing when r is empty or does not meet image. canvas holds the canvas image.
void draw_impact_rect(const preview_rect& r, const preview_rect& image, const preview_rect& view,
                      std::int32_t phase, const locked_canvas& canvas);
// One edge of such an outline, strip being a zero-thickness row or column in image pixels, into 24-bit
// canvas bits whose top-left pixel is the view rectangle's. Dashes are 4 pixels white, 4 black, counted
// from phase left to right along a row and top to bottom along a column: up along the top row and the
// right column, down along the bottom row and the left column, so the dashes run round the outline.
// second marks the bottom row and the right column, which lie just outside the rectangle and are drawn
// one pixel up or left, on its last row or column.
void draw_dashed_row(BYTE* bits, std::int32_t stride, const preview_rect& strip, std::int32_t phase,
                     const preview_rect& image, const preview_rect& view, bool second);
void draw_dashed_column(BYTE* bits, std::int32_t stride, const preview_rect& strip, std::int32_t phase,
                        const preview_rect& image, const preview_rect& view, bool second);

// The render's background (0x00RRGGBB) from the main window's stored colour: a COLORREF (0x00BBGGRR), or
// -1 for the system's button-face colour.
std::uint32_t render_background(std::int32_t stored) noexcept;
std::uint32_t rgb_from_colorref(COLORREF colour) noexcept;

} // namespace tessolux
