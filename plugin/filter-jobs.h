// The six adjustment stages as background jobs on the filter lane. Each launcher runs on the UI thread:
// it copies its values into a job, queues it and records the job's ticket. The job, on the lane's
// worker, waits out its debounce delay, asks the engine for a chain with one named node, sets the
// node's parameters as text, runs it from the source into the destination and posts the result frame
// to the window, where the result callback gets it only if no newer job was queued meanwhile.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "am-functional.h"
#include "am-threading.h"
#include "win-common.h"
#include "image-processor.h"
#include "worker-lanes.h"

namespace tessolux {

// One red eye in image pixels.
struct eye_circle {
    std::int32_t x;
    std::int32_t y;
    std::int32_t radius;
};

// Gets a stage's result frame on the UI thread.
using result_callback = cpp::moveonly_function<void(image_frame_ptr&&)>;

// Every launcher takes first, in this order: the filter lane's engine context (its progress handler
// answers the engine), the lane's latest-ticket cell, worker and producer user, the window's task queue
// and the debounce delay in milliseconds. Context and task queue must outlive the lane's jobs: the main
// window joins the lane before it lets them go.

// Noise reduction: "reduce-noise", or "bilateral-filter" when bilateral is set. tile and search are the
// engine's sizes (2 x slider + 1 and 2 x slider + 3).
void start_reduce_noise(const engine_context& engine, std::uint32_t* latest_ticket,
                        cpp::threading::thread_ptr& worker, cpp::threading::producer_user& producer,
                        system_ui::window_task_queue& tasks, int delay, const image_frame_ptr& source,
                        bool bilateral, int intensity, int intensity_color, int blending, int tile,
                        int search, const image_frame_ptr& destination, result_callback&& on_result);

// Natural enhancement; ratios points at the red, green and blue ratios.
void start_natural_enhance(const engine_context& engine, std::uint32_t* latest_ticket,
                           cpp::threading::thread_ptr& worker, cpp::threading::producer_user& producer,
                           system_ui::window_task_queue& tasks, int delay, const image_frame_ptr& source,
                           int intensity, const int* ratios, int balance, int tolerance, int segment_size,
                           const image_frame_ptr& destination, result_callback&& on_result);

// Red-eye removal into destination, which must hold a frame and is written in place. The circles are
// copied; shared_data is made on first use and kept by the caller across runs.
void start_remove_red_eyes(const engine_context& engine, std::uint32_t* latest_ticket,
                           cpp::threading::thread_ptr& worker, cpp::threading::producer_user& producer,
                           system_ui::window_task_queue& tasks, int delay, const image_frame_ptr& source,
                           const image_frame_ptr& destination, const eye_circle* circles,
                           std::uint32_t circle_count, std::optional<memoized_data_t>* shared_data,
                           int border_width, int intensity, result_callback&& on_result);

// Tilt-shift around the focused rectangle (image pixels); an empty rectangle sends none.
void start_tilt_shift(const engine_context& engine, std::uint32_t* latest_ticket,
                      cpp::threading::thread_ptr& worker, cpp::threading::producer_user& producer,
                      system_ui::window_task_queue& tasks, int delay, const image_frame_ptr& source,
                      std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                      int blur_radius, int border_size, const image_frame_ptr& destination,
                      result_callback&& on_result);

// A film preset or a grain node by its engine name; a negative intensity sends no "intensity".
void start_named_filter(const engine_context& engine, std::uint32_t* latest_ticket,
                        cpp::threading::thread_ptr& worker, cpp::threading::producer_user& producer,
                        system_ui::window_task_queue& tasks, int delay, const image_frame_ptr& source,
                        int intensity, std::wstring node_name, const image_frame_ptr& destination,
                        result_callback&& on_result);

// The grain node for the grain kind.
const wchar_t* grain_node_name(int grain_kind) noexcept;

// Runs a built operation from source into destination (made, duplicated apart from the source or
// replaced as needed) and posts the result frame with the job's ticket. Worker thread.
void run_operation(const engine_context& engine, const com_ptr<zorvane::IOperation>& operation,
                   com_ptr<zorvane::IImage> source, system_ui::window_task_queue& tasks,
                   com_ptr<zorvane::IImage> destination, std::uint32_t ticket, std::uint32_t* latest_ticket,
                   result_callback& on_result);

// Applies one named node to the frame's pixels in place, on the calling thread (film-preset thumbnails).
void set_intensity(const engine_context& engine, const std::wstring& node_name, const image_frame& frame,
                   int intensity);

// Adds a committed rectangle child to node; nothing when the rectangle is empty.
void set_rect_property(const com_ptr<zorvane::IFilter>& node, const std::wstring& name, std::int32_t x,
                       std::int32_t y, std::int32_t width, std::int32_t height);

} // namespace tessolux
