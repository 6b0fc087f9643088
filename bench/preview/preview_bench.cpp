// The preview render of a 24-megapixel frame (6000 x 4000) fitted into a 960 x 720 viewport, against the
// engine's own resize and convert of the same rectangle, run directly on this thread into the same
// canvas; both measured in the same run.
//   (a) Our overhead in a pan step: the time from the new view state to the canvas filled and the done
//       callback run on the UI thread, less the engine's own run inside that render's job (median and 99th
//       percentile), against one resize and convert run directly. The overhead is the lane, the chain's
//       texts and build, the locks and the posted callback. The whole step against a resize would only
//       measure how much two resizes differ.
//   (b) The longest wait of the UI thread for the canvas lock, taken as painting takes it, while a slow
//       stage job writes the frame that queued renders read, against the engine's run (median and 99th
//       percentile of (a)): painting must never wait for more than one resize.
// Every line ends in ratio=<ours/reference>; lower is better.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../bench-timing.h"
#include "am-common.h"
#include "parameter-text.h"
#include "plugin/filter-jobs.h"
#include "plugin/preview-geometry.h"
#include "plugin/preview-render.h"
#include "plugin/worker-lanes.h"
#include "win-common.h"

namespace {

using tessolux::preview_rect;
using tessolux::view_mapping;

constexpr std::int32_t image_width = 6000;
constexpr std::int32_t image_height = 4000;
constexpr preview_rect viewport{8, 8, 960, 720};
constexpr std::int32_t canvas_width = 1920;
constexpr std::int32_t canvas_height = 1200;
constexpr std::uint32_t background = 0x00f0f0f0;
// Enough that the 99th percentile is the fourth-slowest step, not the slowest.
constexpr int pan_samples = 301;
// Each band of the stage job's rows waits this long: a stage of a few seconds, as on a large image.
constexpr const wchar_t* stage_band_delay_ms = L"25";
// How often the UI asks for a render and paints while the stage runs: a drag at the display's rate.
constexpr auto frame_interval = std::chrono::milliseconds(16);

double milliseconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5)];
}

void check(HRESULT hr, const char* what) {
    if (FAILED(hr))
        throw std::runtime_error(std::string(what) + " failed");
}

// Notes when the engine's run begins its work and when it ends it, from the run's first progress report
// (0) and its last (100), on the thread that runs it; forwards everything to the handler the render would
// have used. The engine reports once before its first band of rows and once after its last.
class run_stamps final : public zorvane::ICallbackHandler {
public:
    explicit run_stamps(com_ptr<zorvane::ICallbackHandler> inner) : inner_(std::move(inner)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        if (iid != IID_IUnknown && iid != __uuidof(zorvane::ICallbackHandler)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<zorvane::ICallbackHandler*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        // relaxed: a count taken through an existing reference orders nothing.
        return references_.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        // acq_rel: the last release sees every use made through the other references.
        const ULONG left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE notify(INT32 code, INT32 first, INT32 second, VARIANT_BOOL* go_on) override {
        return inner_->notify(code, first, second, go_on);
    }
    // Our handler's own work on the first and the last report is left outside the engine's time.
    HRESULT STDMETHODCALLTYPE progress(float percent, VARIANT_BOOL* go_on) override {
        if (percent >= 100.0f)
            stamp(end_);
        const HRESULT result = inner_->progress(percent, go_on);
        if (percent <= 0.0f)
            stamp(start_);
        return result;
    }
    HRESULT STDMETHODCALLTYPE get_limits(INT32* fewest, INT32* most) override {
        return inner_->get_limits(fewest, most);
    }

    // The last run's work in milliseconds; read after that run has ended.
    double last_run_ms() const noexcept {
        // acquire: pairs with the release in stamp.
        const auto work = end_.load(std::memory_order_acquire) - start_.load(std::memory_order_acquire);
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::duration(work)).count();
    }

private:
    static void stamp(std::atomic<std::chrono::steady_clock::rep>& at) noexcept {
        // release: publishes the stamp to last_run_ms on the UI thread.
        at.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_release);
    }

    com_ptr<zorvane::ICallbackHandler> inner_;
    std::atomic<ULONG> references_{1};
    std::atomic<std::chrono::steady_clock::rep> start_{0};
    std::atomic<std::chrono::steady_clock::rep> end_{0};
};

// The engine context of the render with run_stamps in its handler's place; stamps is borrowed from it.
tessolux::engine_context with_run_stamps(tessolux::engine_context engine, run_stamps*& stamps) {
    stamps = new run_stamps(std::move(engine.handler));
    engine.handler = com_ptr<zorvane::ICallbackHandler>(stamps);
    return engine;
}

// The preview lane as the main window owns it.
struct preview_lane {
    preview_lane() {
        producer = cpp::threading::as_producer_user(queue);
        worker = tessolux::start_worker(queue, &cell, tessolux::preview_lane_priority,
                                        [this](std::exception_ptr failure) {
                                            last_failure = failure;
                                            // release: publishes last_failure to the UI's acquire.
                                            failures.fetch_add(1, std::memory_order_release);
                                        });
    }
    ~preview_lane() { worker.reset(); }

    std::uint32_t cell = 0;
    cpp::threading::sp_sc_queue queue{tessolux::preview_lane_capacity};
    cpp::threading::producer_user producer;
    cpp::threading::thread_ptr worker;
    std::atomic<int> failures{0};
    std::exception_ptr last_failure;
};

// The UI thread's side: a message-only window that runs the posted callbacks.
struct ui_window {
    ui_window() {
        if (!window)
            throw std::runtime_error("the benchmark's window was not created");
        tasks = system_ui::window_task_queue(window.get(), 1000);
    }

    void run_posted() {
        for (MSG message; PeekMessageW(&message, window.get(), 0, 0, PM_REMOVE);)
            system_ui::run_posted_tasks(tasks, message.hwnd, message.message, message.wParam);
    }
    template <class Condition> void pump_until(Condition cond, const preview_lane& lane) {
        while (!cond()) {
            if (lane.failures.load(std::memory_order_acquire) != 0)
                std::rethrow_exception(lane.last_failure);
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
            run_posted();
        }
    }

    cpp::unique_any<HWND, &DestroyWindow> window{
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)};
    system_ui::window_task_queue tasks;
};

com_ptr<zorvane::IFilter> add_node(const com_ptr<zorvane::IFilterChain>& chain, const wchar_t* name) {
    com_ptr<zorvane::IFilter> node;
    check(chain->add_node(string_owner(std::wstring{name}).get(), nullptr, node.put()), "add_node");
    return node;
}

void set_property(const com_ptr<zorvane::IFilter>& node, const wchar_t* name, const std::wstring& value) {
    check(node->set_property(string_owner(std::wstring{name}).get(), string_owner(value).get()),
          "set_property");
}

// The reference: the engine's resize and convert of the rectangles the render sends, built beforehand.
com_ptr<zorvane::IOperation> resize_and_convert(const tessolux::engine_context& engine,
                                                const view_mapping& shown, double zoom) {
    com_ptr<zorvane::IFilterChain> chain;
    check(engine.root->create_chain(chain.put()), "create_chain");
    const com_ptr<zorvane::IFilter> resize = add_node(chain, L"resize");
    set_property(resize, L"width", tessolux::to_text(shown.view.width));
    set_property(resize, L"height", tessolux::to_text(shown.view.height));
    set_property(resize, L"method", zoom < 2.0 ? L"lanczos" : L"nearest");
    tessolux::set_rect_property(resize, L"impact-rect", shown.image.x, shown.image.y, shown.image.width,
                                shown.image.height);
    check(resize->commit(), "commit");
    const com_ptr<zorvane::IFilter> convert = add_node(chain, L"convert");
    set_property(convert, L"to", L"BGR24");
    set_property(convert, L"alpha-background", cpp::to_hex_wstring(background));
    check(convert->commit(), "commit");
    com_ptr<zorvane::IOperation> operation;
    check(chain->build(operation.put()), "build");
    return operation;
}

com_ptr<zorvane::IImage> striped_image(const tessolux::engine_context& engine) {
    com_ptr<zorvane::IImage> image;
    check(engine.root->create_image(image_width, image_height, zorvane::pixel_format::rgba32, image.put()),
          "create_image");
    com_ptr<zorvane::IImageData> data;
    check(image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void()), "QueryInterface");
    BYTE* bits = nullptr;
    INT32 stride = 0;
    check(data->get_buffer(&bits, nullptr, &stride, nullptr, nullptr), "get_buffer");
    for (std::int32_t y = 0; y != image_height; ++y)
        for (std::int32_t x = 0; x != image_width; ++x) {
            BYTE* pixel = bits + static_cast<std::ptrdiff_t>(y) * stride + 4 * x;
            pixel[0] = static_cast<BYTE>(x * 7 + y);
            pixel[1] = static_cast<BYTE>(x ^ y);
            pixel[2] = static_cast<BYTE>(y * 3);
            pixel[3] = static_cast<BYTE>(x % 512 < 480 ? 255 : x);
        }
    return image;
}

struct bench_world {
    ui_window ui;
    run_stamps* stamps = nullptr;
    tessolux::engine_context engine =
        with_run_stamps(tessolux::make_engine_context(tessolux::create_engine_context().root.get()), stamps);
    tessolux::preview_canvas_ptr canvas = tessolux::make_preview_canvas(engine, canvas_width, canvas_height);
    tessolux::image_frame_ptr frame = tessolux::make_image_frame(striped_image(engine));
    preview_lane lane;
    tessolux::view_state view;
    // How many requests have been made, and the newest whose callback has run. Older requests of a
    // backlog end unseen, but the newest always renders.
    int asked = 0;
    int done = 0;

    bench_world() { tessolux::zoom_to_fit(view, viewport.width, viewport.height, image_width, image_height); }

    void start_render() {
        tessolux::start_preview_render(engine, false, tessolux::outline_image, frame, 0, &lane.cell,
                                       lane.worker, lane.producer, ui.tasks, viewport, view.pan_x, view.pan_y,
                                       view.zoom, background, {0, 0, 0, 0}, canvas,
                                       [this, tag = ++asked] { done = tag; });
    }
    view_mapping shown() const {
        return tessolux::map_view_to_image(viewport.width, viewport.height, view.pan_x, view.pan_y, view.zoom,
                                           image_width, image_height);
    }
    // One engine run of the operation into the canvas, as the render runs it.
    double engine_run(const com_ptr<zorvane::IOperation>& operation) {
        const auto start = std::chrono::steady_clock::now();
        check(operation->run(frame->image.get(), 0, canvas->image.get(), 0, engine.handler.get()), "run");
        return milliseconds_since(start);
    }
};

// The figures of (a), in milliseconds, one per step.
struct pan_figures {
    std::vector<double> overhead;  // the step less the engine's run inside its job
    std::vector<double> job_run;   // the engine's run inside the job
    std::vector<double> reference; // the engine's run for the same rectangle on this thread
};

// (a): pan steps of 10 view pixels to and fro, each timed from the new view state to the done callback,
// alternating with the engine's own run for the same rectangle.
pan_figures pan_steps(bench_world& world) {
    pan_figures figures;
    for (int i = 0; i != pan_samples + 1; ++i) {
        world.view.pan_x += i % 2 == 0 ? tessolux::pan_step : -tessolux::pan_step;
        const com_ptr<zorvane::IOperation> operation =
            resize_and_convert(world.engine, world.shown(), world.view.zoom);

        const auto start = std::chrono::steady_clock::now();
        world.start_render();
        world.ui.pump_until([&] { return world.done == world.asked; }, world.lane);
        const double step = milliseconds_since(start);
        const double job_run = world.stamps->last_run_ms();
        const double run = world.engine_run(operation);
        // The first of each warms caches and the heap.
        if (i != 0) {
            figures.overhead.push_back(step - job_run);
            figures.job_run.push_back(job_run);
            figures.reference.push_back(run);
        }
    }
    return figures;
}

// (b): a stage job on a thread of its own writes the displayed frame slowly; meanwhile the UI asks for a
// render and paints every frame interval. The longest wait for the canvas lock.
double longest_paint_wait(bench_world& world, double& stage_ms, int& requests) {
    SetEnvironmentVariableW(L"ZORVANE_STANDIN_BAND_DELAY_MS", stage_band_delay_ms);
    const tessolux::engine_context slow = tessolux::create_engine_context();
    SetEnvironmentVariableW(L"ZORVANE_STANDIN_BAND_DELAY_MS", nullptr);
    com_ptr<zorvane::IFilterChain> chain;
    check(slow.root->create_chain(chain.put()), "create_chain");
    const com_ptr<zorvane::IFilter> grain = add_node(chain, L"grain-regular");
    check(grain->commit(), "commit");
    com_ptr<zorvane::IOperation> stage;
    check(chain->build(stage.put()), "build");
    com_ptr<zorvane::IImage> stage_source;
    check(world.frame->image->duplicate(0, stage_source.put()), "duplicate");

    std::atomic<bool> stage_running{true};
    const auto stage_start = std::chrono::steady_clock::now();
    std::thread stage_job([&] {
        const HRESULT apartment = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        stage->run(stage_source.get(), 0, world.frame->image.get(), 0, nullptr);
        stage_ms = milliseconds_since(stage_start);
        // release: publishes stage_ms to the UI's acquire.
        stage_running.store(false, std::memory_order_release);
        if (SUCCEEDED(apartment))
            CoUninitialize();
    });

    // What on_paint blits into: a back buffer of the viewport's size.
    const system_ui::dc_handle paint_dc{CreateCompatibleDC(nullptr)};
    const system_ui::bitmap_handle paint_bitmap{
        CreateBitmap(viewport.width, viewport.height, 1, 32, nullptr)};
    const system_ui::selection_guard selected(paint_dc.get(), paint_bitmap.get());

    double longest = 0;
    const int before = world.asked;
    auto next_frame = std::chrono::steady_clock::now();
    for (bool running = true; running || world.done != world.asked;) {
        running = stage_running.load(std::memory_order_acquire);
        if (running) {
            world.view.pan_x += world.asked % 2 == 0 ? 1.0 : -1.0;
            world.start_render();
        }
        // As on_paint: lock, blit what the canvas holds, give back.
        const auto start = std::chrono::steady_clock::now();
        preview_rect impact{};
        auto [release, dc] = tessolux::lock_canvas_dc(world.canvas, impact);
        longest = std::max(longest, milliseconds_since(start));
        BitBlt(paint_dc.get(), impact.x, impact.y, impact.width, impact.height, dc, 0, 0, SRCCOPY);
        release(dc);

        next_frame += frame_interval;
        while (std::chrono::steady_clock::now() < next_frame) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
            world.ui.run_posted();
        }
        if (world.lane.failures.load(std::memory_order_acquire) != 0)
            std::rethrow_exception(world.lane.last_failure);
    }
    stage_job.join();
    requests = world.asked - before;
    return longest;
}

void print_ms(const char* name, const char* reference_name, double ours_ms, double reference_ms) {
    bench::print(name, reference_name, bench::result{ours_ms * 1e6, reference_ms * 1e6});
}

} // namespace

int main() {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    int result = 0;
    try {
        const cpp::threading::thread_registration ui_thread;
        bench_world world;
        const pan_figures pan = pan_steps(world);
        const std::vector<double>& reference = pan.reference;
        const double reference_median = percentile(reference, 0.5);
        std::printf("(%d pan steps; the engine's run inside the render's job: median %.1f ms, p99 %.1f ms; "
                    "on this thread: median %.1f ms, p99 %.1f ms)\n",
                    pan_samples, percentile(pan.job_run, 0.5), percentile(pan.job_run, 0.99),
                    reference_median, percentile(reference, 0.99));
        print_ms("pan overhead median", "resize+convert median", percentile(pan.overhead, 0.5),
                 reference_median);
        print_ms("pan overhead p99", "resize+convert median", percentile(pan.overhead, 0.99),
                 reference_median);

        double stage_ms = 0;
        int requests = 0;
        const double longest = longest_paint_wait(world, stage_ms, requests);
        std::printf("(a stage job wrote the frame for %.0f ms; %d renders were asked for meanwhile)\n",
                    stage_ms, requests);
        // The run of one resize varies from run to run: the longest wait against the typical one and
        // against the slowest ones of the same run.
        print_ms("paint lock wait, longest", "resize+convert median", longest, reference_median);
        print_ms("paint lock wait, longest", "resize+convert p99", longest, percentile(reference, 0.99));
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "bench-preview: %s\n", failure.what());
        result = 1;
    }
    CoUninitialize();
    return result;
}
