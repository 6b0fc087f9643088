#include "preview-render.h"

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "am-common.h"
#include "abi-export.h"
#include "engine-chain.h"
#include "filter-jobs.h"
#include "parameter-text.h"
#include "preview-geometry.h"
#include "win-common.h"
#include "worker-lanes.h"

namespace tessolux {

namespace {

using error_handling::check_result;
using zorvane::IFilter;
using zorvane::IFilterChain;
using zorvane::IImage;
using zorvane::IImageData;
using zorvane::IOperation;

// How often the render looks again at a frame that a stage job is writing.
constexpr int source_poll_ms = 2;

// From this zoom on every image pixel covers at least two view pixels: sharp pixels show what is there,
// a filtered enlargement only blurs it.
constexpr double nearest_from_zoom = 2.0;

struct image_size {
    std::int32_t width;
    std::int32_t height;
};

image_size size_of(IImage* image) {
    INT32 width = 0;
    INT32 height = 0;
    check_result(image, image->get_info(&width, &height, nullptr, nullptr));
    return {width, height};
}

// A reader's hold on the frame the render reads, taken before the canvas lock and kept until the engine's
// run returns. The run would otherwise wait inside the engine, with the canvas locked, for a stage job
// that writes the frame, and every paint of the window would wait with it for the whole stage.
class source_read_lock {
public:
    explicit source_read_lock(IImage* image) : data_(image_data_of(image)) {
        while (FAILED(data_->try_lock())) {
            interruptible_sleep(source_poll_ms);
            throw_if_job_cancelled();
        }
    }
    source_read_lock(const source_read_lock&) = delete;
    source_read_lock& operator=(const source_read_lock&) = delete;
    ~source_read_lock() { data_->unlock(); }

private:
    com_ptr<IImageData> data_;
};

// "resize" of the image rectangle to the view rectangle's size, then "convert" to the canvas's format
// over the background.
com_ptr<IOperation> build_resize_convert(const engine_context& engine, const view_mapping& shown, double zoom,
                                         std::uint32_t background) {
    const com_ptr<IFilterChain> chain = create_chain(engine.root.get());
    const com_ptr<IFilter> resize = add_node(chain, L"resize");
    set_property(resize, L"width", to_text(shown.view.width));
    set_property(resize, L"height", to_text(shown.view.height));
    set_property(resize, L"method", zoom < nearest_from_zoom ? L"lanczos" : L"nearest");
    set_rect_property(resize, L"impact-rect", shown.image.x, shown.image.y, shown.image.width,
                      shown.image.height);
    commit(resize);
    const com_ptr<IFilter> convert = add_node(chain, L"convert");
    set_property(convert, L"to", L"BGR24");
    set_property(convert, L"alpha-background", cpp::to_hex_wstring(background));
    commit(convert);
    return build(chain);
}

// Sets count pixels from first on, step bytes apart, to white or black by the counter's dash.
void paint_dashes(BYTE* first, std::ptrdiff_t step, std::int32_t count, std::uint32_t counter,
                  std::uint32_t direction) noexcept {
    for (std::int32_t i = 0; i != count; ++i, first += step, counter += direction) {
        const BYTE value = (counter & 7) < 4 ? 255 : 0;
        first[0] = value;
        first[1] = value;
        first[2] = value;
    }
}

// The strip as a one-pixel line of the rendered view, moved in by one when it is a far edge, and cut to
// the view; empty when nothing of it is visible.
preview_rect dash_line(const preview_rect& strip, const preview_rect& image, const preview_rect& view,
                       bool vertical, bool second) noexcept {
    preview_rect line = scale_rect_to_view(strip, image, view, vertical);
    if (second)
        (vertical ? line.x : line.y) -= 1;
    return intersect_signed_rect(line, {0, 0, view.width, view.height});
}

BYTE* pixel_at(BYTE* bits, std::int32_t stride, std::int32_t x, std::int32_t y) noexcept {
    return bits + static_cast<std::ptrdiff_t>(y) * stride + static_cast<std::ptrdiff_t>(x) * 3;
}

// The phase of the whole-image outline runs the other way round from the focus outline's, so the two
// are told apart where they meet. Negated without overflow.
std::int32_t opposite(std::int32_t phase) noexcept {
    return static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(phase));
}

} // namespace

void preview_render_closure::operator()(unsigned) {
    throw_if_job_cancelled();
    build_preview_graph(*this);
    tasks->post_task(system_ui::window_task_queue::task(
        [done = std::move(on_done)](unsigned) mutable { done(); }, cpp::details::poly_allocator{}));
}

void start_preview_render(const engine_context& engine, bool outlines_only, std::int32_t outline_bits,
                          const image_frame_ptr& frame, std::int32_t phase, std::uint32_t* latest_ticket,
                          cpp::threading::thread_ptr& worker, cpp::threading::producer_user& producer,
                          system_ui::window_task_queue& tasks, const preview_rect& viewport, double origin_x,
                          double origin_y, double zoom, std::uint32_t background, const preview_rect& focus,
                          const preview_canvas_ptr& canvas, preview_done_callback&& on_done) {
    if (!frame || !frame->image)
        throw std::invalid_argument(cpp::failure_message("start_preview_render", "156",
                                                         AM_PLUGIN_SOURCE("preview-render.cpp"),
                                                         "displayed frame must not be empty!")
                                        .c_str());
    cpp::threading::job job(preview_render_closure{outlines_only, &canvas, phase,
                                                   com_ptr<IImage>::retain(frame->image.get()), viewport,
                                                   origin_x, origin_y, outline_bits, focus, &tasks, zoom,
                                                   background, &engine, std::move(on_done)},
                            cpp::details::poly_allocator{});
    const std::uint32_t ticket = producer->push(job);
    // Not queue_job, which always stores: previews run in order until a backlog forms. A redraw of the
    // dashes never cuts a backlog short: it keeps the canvas pixels, so the full renders before it (a
    // zoom, a pan) must still run, or the old view's pixels would stay under the new view's rectangle.
    if (!outlines_only && cpp::threading::queued_count(producer) > preview_backlog)
        store_job_ticket(latest_ticket, ticket);
    wake_if_waiting(worker);
}

bool build_preview_graph(const preview_render_closure& job) {
    throw_if_job_cancelled();
    const image_size source = size_of(job.source.get());
    preview_canvas& canvas = get_internals(*job.canvas);
    // The canvas has the virtual screen's size from the window's start; a display change can make the
    // viewport larger, and the engine must never write past the canvas.
    const image_size room = size_of(canvas.image.get());
    const view_mapping shown =
        map_view_to_image(job.viewport.width, job.viewport.height, job.origin_x, job.origin_y, job.zoom,
                          source.width, source.height, room.width, room.height);
    if (is_empty_rect(shown.view) || is_empty_rect(shown.image)) {
        const locked_canvas nothing_shown = lock_canvas(canvas, preview_rect{0, 0, 0, 0});
        return false;
    }

    com_ptr<IOperation> operation;
    std::optional<source_read_lock> reading;
    if (!job.outlines_only) {
        throw_if_job_cancelled();
        operation = build_resize_convert(*job.engine, shown, job.zoom, job.background);
        throw_if_job_cancelled();
        reading.emplace(job.source.get());
    }

    const locked_canvas locked =
        lock_canvas(canvas, {job.viewport.x + shown.view.x, job.viewport.y + shown.view.y, shown.view.width,
                             shown.view.height});
    if (!job.outlines_only) {
        check_result(operation,
                     operation->run(job.source.get(), 0, locked.image(), 0, job.engine->handler.get()));
        reading.reset();
    }
    if ((job.outline_bits & outline_image) != 0)
        draw_impact_rect({0, 0, source.width, source.height}, shown.image, shown.view, opposite(job.phase),
                         locked);
    if ((job.outline_bits & outline_focus) != 0)
        draw_impact_rect(job.focus, shown.image, shown.view, job.phase, locked);
    return true;
}

void draw_impact_rect(const preview_rect& r, const preview_rect& image, const preview_rect& view,
                      std::int32_t phase, const locked_canvas& canvas) {
    if (is_empty_rect(r) || is_empty_rect(intersect_signed_rect(r, image)))
        return;
    const com_ptr<IImageData> data = image_data_of(canvas.image());
    BYTE* bits = nullptr;
    INT32 stride = 0;
    check_result(data, data->get_buffer(&bits, nullptr, &stride, nullptr, nullptr));
    const rect_strips edges = border_strips(r);
    draw_dashed_column(bits, stride, edges.left, phase, image, view, false);
    draw_dashed_column(bits, stride, edges.right, phase, image, view, true);
    draw_dashed_row(bits, stride, edges.top, phase, image, view, false);
    draw_dashed_row(bits, stride, edges.bottom, phase, image, view, true);
}

void draw_dashed_row(BYTE* bits, std::int32_t stride, const preview_rect& strip, std::int32_t phase,
                     const preview_rect& image, const preview_rect& view, bool second) {
    const preview_rect line = dash_line(strip, image, view, false, second);
    if (is_empty_rect(line))
        return;
    paint_dashes(pixel_at(bits, stride, line.x, line.y), 3, line.width, static_cast<std::uint32_t>(phase),
                 second ? ~0u : 1u);
}

void draw_dashed_column(BYTE* bits, std::int32_t stride, const preview_rect& strip, std::int32_t phase,
                        const preview_rect& image, const preview_rect& view, bool second) {
    const preview_rect line = dash_line(strip, image, view, true, second);
    if (is_empty_rect(line))
        return;
    paint_dashes(pixel_at(bits, stride, line.x, line.y), stride, line.height,
                 static_cast<std::uint32_t>(phase), second ? 1u : ~0u);
}

std::uint32_t rgb_from_colorref(COLORREF colour) noexcept {
    return (colour & 0xff) << 16 | (colour & 0xff00) | (colour >> 16 & 0xff);
}

std::uint32_t render_background(std::int32_t stored) noexcept {
    return rgb_from_colorref(stored == -1 ? GetSysColor(COLOR_BTNFACE) : static_cast<COLORREF>(stored));
}

} // namespace tessolux
