#include "filter-jobs.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "am-common.h"
#include "am-resizable-array.h"
#include "abi-export.h"
#include "engine-chain.h"
#include "parameter-text.h"

namespace tessolux {

namespace {

using error_handling::check_result;
using zorvane::IFilter;
using zorvane::IFilterChain;
using zorvane::IImage;
using zorvane::IImageData;
using zorvane::IOperation;

// How long a job waits between attempts on a destination that another user of the engine holds. The
// red-eye job's destination is always the shared result image, which the preview render reads at length,
// so it asks less often.
constexpr int destination_poll_ms = 2;
constexpr int red_eye_destination_poll_ms = 5;

// Slider values are scaled in single precision: the texts are those of the float products (5 x 0.0001f
// prints "0.000500"), the same on every machine.
float scaled(int value, float factor) noexcept {
    return static_cast<float>(value) * factor;
}

// A new reference to the frame's image. A launcher without a source has nothing to run on: that is the
// caller's error, and it must not reach the worker as a null image.
com_ptr<IImage> source_image(const image_frame_ptr& frame) {
    if (!frame || !frame->image)
        throw std::invalid_argument(cpp::failure_message("source_image", "40",
                                                         AM_PLUGIN_SOURCE("filter-jobs.cpp"),
                                                         "source frame must not be empty!")
                                        .c_str());
    return com_ptr<IImage>::retain(frame->image.get());
}

// A new reference to the destination's image, or none when the frame is empty.
com_ptr<IImage> optional_image(const image_frame_ptr& frame) noexcept {
    return frame ? com_ptr<IImage>::retain(frame->image.get()) : com_ptr<IImage>();
}

// Waits until no other user of the engine holds the image, without holding it ourselves: the run takes
// it. False when the job was superseded meanwhile.
bool wait_until_free(const com_ptr<IImage>& image, int poll_ms) {
    const com_ptr<IImageData> data = image_data_of(image.get());
    while (FAILED(data->try_acquire())) {
        if (!interruptible_sleep(poll_ms))
            return false;
        throw_if_job_cancelled();
    }
    data->release();
    return true;
}

// An operation never reads and writes one image: a destination that is the source gets a copy of it
// to read from.
void read_apart(com_ptr<IImage>& source, const com_ptr<IImage>& destination) {
    if (source.get() != destination.get())
        return;
    com_ptr<IImage> copy;
    check_result(destination, destination->duplicate(0, copy.put()));
    source = std::move(copy);
}

// Hands the frame to the UI thread; there the callback gets it only if the job is still the lane's
// newest, otherwise the frame goes with the task.
void post_result(system_ui::window_task_queue& tasks, com_ptr<IImage> image, result_callback& on_result,
                 std::uint32_t ticket, std::uint32_t* latest_ticket) {
    image_frame_ptr frame = make_image_frame(std::move(image));
    tasks.post_task(system_ui::window_task_queue::task(
        [frame = std::move(frame), on_result = std::move(on_result), ticket,
         latest_ticket](unsigned) mutable {
            if (is_latest_ticket(latest_ticket, ticket))
                on_result(std::move(frame));
        },
        cpp::details::poly_allocator{}));
}

// What the jobs of the common form share: after the delay one chain with one node, configured by the
// stage, built and run by run_operation.
struct stage_target {
    std::uint32_t* latest_ticket;
    system_ui::window_task_queue* tasks;
    const engine_context* engine;
    com_ptr<IImage> source;
    com_ptr<IImage> destination; // may be null
    result_callback on_result;
};

template <class Configure>
void run_single_node(int delay, const std::wstring& node_name, stage_target& target, Configure&& configure) {
    if (!interruptible_sleep(delay))
        return;
    const engine_context& engine = *target.engine;
    const com_ptr<IFilterChain> chain = create_chain(engine.root.get());
    const com_ptr<IFilter> node = add_node(chain, node_name, nullptr);
    configure(node);
    commit(node);
    const com_ptr<IOperation> operation = build(chain);
    run_operation(engine, operation, std::move(target.source), *target.tasks, std::move(target.destination),
                  job_ticket(), target.latest_ticket, target.on_result);
}

// The job closures. Each owns its values and its references until the lane destroys it.

struct reduce_noise_closure {
    int delay;
    bool bilateral;
    int intensity;
    int intensity_color;
    int blending;
    int tile;
    int search;
    stage_target target;

    void operator()(unsigned) {
        if (bilateral) {
            run_single_node(delay, L"bilateral-filter", target, [&](const com_ptr<IFilter>& node) {
                set_property(node, L"val-square-sigma", to_text(4 * intensity));
                set_property(node, L"pos-square-sigma", to_text(intensity));
                set_property(node, L"radius", to_text(tile / 2));
                set_property(node, L"blending", to_text(scaled(blending, 0.01f)));
            });
        } else {
            run_single_node(delay, L"reduce-noise", target, [&](const com_ptr<IFilter>& node) {
                set_property(node, L"reduce-intensity", to_text(scaled(intensity, 0.1f)));
                set_property(node, L"intensity-color", to_text(scaled(intensity_color, 0.1f)));
                set_property(node, L"tile-size", to_text(tile));
                set_property(node, L"search-size", to_text(search));
                set_property(node, L"blend-intensity", to_text(scaled(blending, 0.01f)));
            });
        }
    }
};

struct natural_enhance_closure {
    int delay;
    int intensity;
    int red;
    int green;
    int blue;
    int balance;
    int tolerance;
    int segment_size;
    stage_target target;

    // One intensity drives two parameters: up to 100 it raises the enhancement with the local-contrast
    // scope at 1; above 100 the enhancement stays at 1 and the scope grows.
    void operator()(unsigned) {
        run_single_node(delay, L"natural-enhance", target, [&](const com_ptr<IFilter>& node) {
            set_property(node, L"enhance-intensity", to_text(scaled(std::min(intensity, 100), 0.01f)));
            set_property(node, L"ratio-red", to_text(scaled(red, 0.01f)));
            set_property(node, L"ratio-green", to_text(scaled(green, 0.01f)));
            set_property(node, L"ratio-blue", to_text(scaled(blue, 0.01f)));
            set_property(node, L"balance-intensity", to_text(scaled(balance, 0.01f)));
            set_property(node, L"tolerance", to_text(scaled(tolerance, 0.0001f)));
            set_property(node, L"ahe-scope", to_text(scaled(std::max(intensity, 100), 0.01f)));
            set_property(node, L"avg-segment-size", to_text(segment_size));
        });
    }
};

struct tilt_shift_closure {
    int delay;
    std::int32_t x;
    std::int32_t y;
    std::int32_t width;
    std::int32_t height;
    int blur_radius;
    int border_size;
    stage_target target;

    void operator()(unsigned) {
        run_single_node(delay, L"tilt-shift", target, [&](const com_ptr<IFilter>& node) {
            set_property(node, L"blur-radius", to_text(blur_radius));
            set_property(node, L"border-size-relative", to_text(scaled(border_size, 0.01f)));
            set_rect_property(node, L"focused-rect", x, y, width, height);
        });
    }
};

struct named_filter_closure {
    int delay;
    int intensity; // negative: none
    std::wstring node_name;
    stage_target target;

    void operator()(unsigned) {
        run_single_node(delay, node_name, target, [&](const com_ptr<IFilter>& node) {
            if (intensity >= 0)
                set_property(node, L"intensity", to_text(scaled(intensity, 0.01f)));
        });
    }
};

// The red-eye node keeps state between runs in the shared data object and writes the runner's
// destination in place: it neither asks for the output size nor replaces the destination.
struct remove_red_eyes_closure {
    const engine_context* engine;
    std::uint32_t* latest_ticket;
    com_ptr<IUnknown> shared_data;
    system_ui::window_task_queue* tasks;
    int delay;
    int border_width;
    int intensity;
    com_ptr<IImage> destination;
    com_ptr<IImage> source;
    cpp::aligned_array<eye_circle> circles;
    result_callback on_result;

    void operator()(unsigned) {
        if (!interruptible_sleep(delay))
            return;
        const com_ptr<IFilterChain> chain = create_chain(engine->root.get());
        const com_ptr<IFilter> node = add_node(chain, L"remove-red-eyes", shared_data.get());
        for (const eye_circle& circle : circles) {
            const com_ptr<IFilter> child = add_child(node, L"Circle");
            set_property(child, L"X", to_text(circle.x));
            set_property(child, L"Y", to_text(circle.y));
            // The engine takes no circle of radius 0: it is sent as the smallest one.
            set_property(child, L"radius", to_text(static_cast<unsigned>(std::max(circle.radius, 1))));
            commit(child);
        }
        set_property(node, L"border-width", to_text(static_cast<unsigned>(border_width)));
        set_property(node, L"intensity", to_text(scaled(intensity, 0.01f)));
        commit(node);
        const com_ptr<IOperation> operation = build(chain);
        read_apart(source, destination);
        if (!wait_until_free(destination, red_eye_destination_poll_ms))
            return;
        check_result(operation, operation->run(source.get(), 0, destination.get(), 0, engine->handler.get()));
        throw_if_job_cancelled();
        post_result(*tasks, std::move(destination), on_result, job_ticket(), latest_ticket);
    }
};

// Wraps the closure as a job in a block of the aligned heap, queues it and records its ticket.
template <class Closure>
void queue_stage_job(std::uint32_t* latest_ticket, cpp::threading::thread_ptr& worker,
                     cpp::threading::producer_user& producer, Closure&& closure) {
    cpp::threading::job job(std::forward<Closure>(closure), cpp::details::poly_allocator{});
    queue_job(latest_ticket, worker, producer, job);
}

stage_target make_target(const engine_context& engine, std::uint32_t* latest_ticket,
                         system_ui::window_task_queue& tasks, const image_frame_ptr& source,
                         const image_frame_ptr& destination, result_callback& on_result) {
    return stage_target{
        latest_ticket,       &tasks, &engine, source_image(source), optional_image(destination),
        std::move(on_result)};
}

} // namespace

void start_reduce_noise(const engine_context& engine, std::uint32_t* latest_ticket,
                        cpp::threading::thread_ptr& worker, cpp::threading::producer_user& producer,
                        system_ui::window_task_queue& tasks, int delay, const image_frame_ptr& source,
                        bool bilateral, int intensity, int intensity_color, int blending, int tile,
                        int search, const image_frame_ptr& destination, result_callback&& on_result) {
    queue_stage_job(
        latest_ticket, worker, producer,
        reduce_noise_closure{delay, bilateral, intensity, intensity_color, blending, tile, search,
                             make_target(engine, latest_ticket, tasks, source, destination, on_result)});
}

void start_natural_enhance(const engine_context& engine, std::uint32_t* latest_ticket,
                           cpp::threading::thread_ptr& worker, cpp::threading::producer_user& producer,
                           system_ui::window_task_queue& tasks, int delay, const image_frame_ptr& source,
                           int intensity, const int* ratios, int balance, int tolerance, int segment_size,
                           const image_frame_ptr& destination, result_callback&& on_result) {
    queue_stage_job(latest_ticket, worker, producer,
                    natural_enhance_closure{
                        delay, intensity, ratios[0], ratios[1], ratios[2], balance, tolerance, segment_size,
                        make_target(engine, latest_ticket, tasks, source, destination, on_result)});
}

void start_remove_red_eyes(const engine_context& engine, std::uint32_t* latest_ticket,
                           cpp::threading::thread_ptr& worker, cpp::threading::producer_user& producer,
                           system_ui::window_task_queue& tasks, int delay, const image_frame_ptr& source,
                           const image_frame_ptr& destination, const eye_circle* circles,
                           std::uint32_t circle_count, std::optional<memoized_data_t>* shared_data,
                           int border_width, int intensity, result_callback&& on_result) {
    com_ptr<IImage> source_reference = source_image(source);
    // Written in place: without a destination there is nowhere for the result to go.
    if (!destination || !destination->image)
        throw std::invalid_argument(cpp::failure_message("start_remove_red_eyes", "341",
                                                         AM_PLUGIN_SOURCE("filter-jobs.cpp"),
                                                         "destination frame must not be empty!")
                                        .c_str());
    com_ptr<IImage> destination_reference = com_ptr<IImage>::retain(destination->image.get());
    cpp::aligned_array<eye_circle> circle_copy(
        cpp::ranges::array_range<const eye_circle>(circles, circle_count));
    if (!shared_data->has_value())
        shared_data->emplace(engine.root.get());
    queue_stage_job(
        latest_ticket, worker, producer,
        remove_red_eyes_closure{&engine, latest_ticket, com_ptr<IUnknown>::retain((*shared_data)->get()),
                                &tasks, delay, border_width, intensity, std::move(destination_reference),
                                std::move(source_reference), std::move(circle_copy), std::move(on_result)});
}

void start_tilt_shift(const engine_context& engine, std::uint32_t* latest_ticket,
                      cpp::threading::thread_ptr& worker, cpp::threading::producer_user& producer,
                      system_ui::window_task_queue& tasks, int delay, const image_frame_ptr& source,
                      std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                      int blur_radius, int border_size, const image_frame_ptr& destination,
                      result_callback&& on_result) {
    queue_stage_job(
        latest_ticket, worker, producer,
        tilt_shift_closure{delay, x, y, width, height, blur_radius, border_size,
                           make_target(engine, latest_ticket, tasks, source, destination, on_result)});
}

void start_named_filter(const engine_context& engine, std::uint32_t* latest_ticket,
                        cpp::threading::thread_ptr& worker, cpp::threading::producer_user& producer,
                        system_ui::window_task_queue& tasks, int delay, const image_frame_ptr& source,
                        int intensity, std::wstring node_name, const image_frame_ptr& destination,
                        result_callback&& on_result) {
    queue_stage_job(
        latest_ticket, worker, producer,
        named_filter_closure{delay, intensity, std::move(node_name),
                             make_target(engine, latest_ticket, tasks, source, destination, on_result)});
}

const wchar_t* grain_node_name(int grain_kind) noexcept {
    switch (grain_kind) {
    case 0:
        return L"grain-regular";
    case 1:
        return L"grain-fat";
    default:
        return L"grain-fractal";
    }
}

void run_operation(const engine_context& engine, const com_ptr<IOperation>& operation, com_ptr<IImage> source,
                   system_ui::window_task_queue& tasks, com_ptr<IImage> destination, std::uint32_t ticket,
                   std::uint32_t* latest_ticket, result_callback& on_result) {
    INT32 width = 0;
    INT32 height = 0;
    zorvane::pixel_format format{};
    check_result(operation, operation->query_output(source.get(), 0, &width, &height, &format));
    throw_if_job_cancelled();

    if (!destination) {
        check_result(engine.root, engine.root->create_image(width, height, format, destination.put()));
    } else if (destination.get() == source.get()) {
        read_apart(source, destination);
    } else {
        INT32 have_width = 0;
        INT32 have_height = 0;
        INT32 bits = 0;
        zorvane::pixel_format have_format{};
        check_result(destination, destination->get_info(&have_width, &have_height, &bits, &have_format));
        // The stage's last result no longer fits (another source size or format): start a new one.
        if (have_width != width || have_height != height || have_format != format)
            check_result(engine.root, engine.root->create_image(width, height, format, destination.put()));
    }
    throw_if_job_cancelled();

    if (!wait_until_free(destination, destination_poll_ms))
        return;
    check_result(operation, operation->run(source.get(), 0, destination.get(), 0, engine.handler.get()));
    throw_if_job_cancelled();
    post_result(tasks, std::move(destination), on_result, ticket, latest_ticket);
}

void set_intensity(const engine_context& engine, const std::wstring& node_name, const image_frame& frame,
                   int intensity) {
    const com_ptr<IFilterChain> chain = create_chain(engine.root.get());
    const com_ptr<IFilter> node = add_node(chain, node_name, nullptr);
    if (intensity >= 0)
        set_property(node, L"intensity", to_text(scaled(intensity, 0.01f)));
    commit(node);
    const com_ptr<IOperation> operation = build(chain);
    check_result(operation, operation->apply_in_place(frame.image.get(), 0, engine.handler.get()));
}

void set_rect_property(const com_ptr<IFilter>& node, const std::wstring& name, std::int32_t x, std::int32_t y,
                       std::int32_t width, std::int32_t height) {
    if (std::int64_t{width} * height == 0)
        return;
    const com_ptr<IFilter> child = add_child(node, name);
    set_property(child, L"x", to_text(static_cast<unsigned>(x)));
    set_property(child, L"y", to_text(static_cast<unsigned>(y)));
    set_property(child, L"width", to_text(static_cast<unsigned>(width)));
    set_property(child, L"height", to_text(static_cast<unsigned>(height)));
    commit(child);
}

} // namespace tessolux
