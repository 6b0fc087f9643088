// How quickly a stage job that a newer one supersedes gives the lane back, and how quickly a job with no
// delay reaches the engine, over the registered stand-in engine with a per-band delay, so that each run
// is long and reports its progress every few milliseconds.
//
// Cancel: a job runs in the engine; at a varying moment into the run a newer job is queued; measured
// is the time from that queuing to the moment the superseded job has returned and the lane has taken
// the newer one (which then sleeps its delay). The reference, measured by turns in the same run, is a
// thread that polls a flag every 2 ms: the time from setting the flag to the poll seeing it. Median and
// 99th percentile of 200 trials; lines end in ratio=<ours/reference>.
// Start: the time from queuing a job with delay 0 to the engine's first progress report of its run.
// There is no reference for it.
#include "plugin/filter-jobs.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include <windows.h>

#include "plugin/image-processor.h"
#include "plugin/worker-lanes.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int trials = 200;
constexpr int band_delay_ms = 2;
constexpr int endless_delay = 600'000;

double milliseconds(clock_type::duration elapsed) {
    return std::chrono::duration<double, std::milli>(elapsed).count();
}

// Answers the engine as the plug-in's progress handler does and notes the ticket of the job whose run
// reported last, and when.
class timing_handler final : public zorvane::ICallbackHandler {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (InlineIsEqualGUID(iid, IID_IUnknown) || InlineIsEqualGUID(iid, zorvane::IID_ICallbackHandler)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE notify(INT32, INT32, INT32, VARIANT_BOOL* go_on) override {
        *go_on = VARIANT_TRUE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE progress(float, VARIANT_BOOL* go_on) override {
        const std::uint32_t ticket = tessolux::job_ticket();
        if (ticket != reporting_ticket_.load(std::memory_order_acquire)) {
            first_report_ = clock_type::now();
            // release: publishes first_report_ to the reader that sees this ticket.
            reporting_ticket_.store(ticket, std::memory_order_release);
        }
        *go_on = tessolux::is_job_cancelled() ? VARIANT_FALSE : VARIANT_TRUE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_limits(INT32* fewest, INT32* most) override {
        *fewest = 8;
        *most = 200;
        return S_OK;
    }

    std::uint32_t reporting_ticket() const { return reporting_ticket_.load(std::memory_order_acquire); }
    clock_type::time_point first_report() const { return first_report_; }

private:
    std::atomic<ULONG> references_{1};
    std::atomic<std::uint32_t> reporting_ticket_{0xffffffff};
    clock_type::time_point first_report_{};
};

struct figures {
    double median;
    double p99;
};

figures summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const auto at = [&samples](double share) {
        return samples[std::min(samples.size() - 1, static_cast<std::size_t>(share * samples.size()))];
    };
    return {at(0.5), at(0.99)};
}

void print(const char* name, const char* reference_name, double ours, double reference) {
    std::printf("%-34s vs %-20s ours=%8.3fms reference=%8.3fms ratio=%.3f\n", name, reference_name, ours,
                reference, ours / reference);
    std::fflush(stdout);
}

// The reference: a thread that looks at a flag every 2 ms.
double poll_latency(std::mt19937& random) {
    std::atomic<bool> flag{false};
    std::atomic<bool> polling{false};
    clock_type::time_point seen{};
    std::thread poller([&] {
        polling = true;
        while (!flag.load(std::memory_order_acquire))
            Sleep(2);
        seen = clock_type::now();
    });
    while (!polling)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    const clock_type::time_point set = clock_type::now();
    flag.store(true, std::memory_order_release);
    poller.join();
    return milliseconds(seen - set);
}

template <class Condition> void spin_until(Condition cond) {
    const clock_type::time_point limit = clock_type::now() + std::chrono::seconds(20);
    while (!cond()) {
        if (clock_type::now() > limit) {
            std::fprintf(stderr, "the lane did not get there within 20 s\n");
            std::exit(2);
        }
        std::this_thread::yield();
    }
}

int run() {
    SetEnvironmentVariableW(L"ZORVANE_STANDIN_BAND_DELAY_MS", std::to_wstring(band_delay_ms).c_str());
    tessolux::engine_context engine = tessolux::create_engine_context();
    auto* const handler = new timing_handler;
    engine.handler = com_ptr<zorvane::ICallbackHandler>(handler);

    const HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    system_ui::window_task_queue tasks(window, 1000);
    std::uint32_t cell = 0;
    cpp::threading::sp_sc_queue queue(tessolux::filter_lane_capacity);
    cpp::threading::producer_user producer = cpp::threading::as_producer_user(queue);
    std::atomic<int> failures{0};
    cpp::threading::thread_ptr worker = tessolux::start_worker(
        queue, &cell, tessolux::filter_lane_priority, [&failures](std::exception_ptr) { ++failures; });

    // Tall enough for the engine's most bands: a run takes about 200 x 2 ms unless it is superseded.
    com_ptr<zorvane::IImage> image;
    engine.root->create_image(64, 3200, zorvane::pixel_format::rgb24, image.put());
    const tessolux::image_frame_ptr source = tessolux::make_image_frame(std::move(image));
    const auto launch = [&](int delay) {
        tessolux::start_named_filter(engine, &cell, worker, producer, tasks, delay, source, 50,
                                     L"grain-regular", tessolux::image_frame_ptr(),
                                     [](tessolux::image_frame_ptr&&) {});
        return cell;
    };

    std::mt19937 random(7);
    std::vector<double> cancel, reference, start;
    for (int trial = 0; trial != trials; ++trial) {
        // Queued while the worker sleeps in the previous trial's newer job: that job ends, this one runs.
        const clock_type::time_point queued = clock_type::now();
        const std::uint32_t running = launch(0);
        spin_until([&] { return handler->reporting_ticket() == running; });
        start.push_back(milliseconds(handler->first_report() - queued));

        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        const clock_type::time_point superseded = clock_type::now();
        launch(endless_delay);
        spin_until([&] {
            return worker.state() == cpp::threading::thread_state::waiting && queued_count(producer) == 0;
        });
        cancel.push_back(milliseconds(clock_type::now() - superseded));

        reference.push_back(poll_latency(random));
    }

    worker.reset();
    if (failures != 0) {
        std::fprintf(stderr, "%d jobs failed\n", failures.load());
        return 2;
    }
    const figures ours = summarise(cancel);
    const figures polled = summarise(reference);
    const figures started = summarise(start);
    print("cancel: superseded job returns p50", "2 ms poll p50", ours.median, polled.median);
    print("cancel: superseded job returns p99", "2 ms poll p99", ours.p99, polled.p99);
    std::printf("%-34s    median=%8.3fms p99=%8.3fms\n", "start: delay 0 to engine run", started.median,
                started.p99);
    DestroyWindow(window);
    return 0;
}

} // namespace

int main() {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    int result = 1;
    {
        const cpp::threading::thread_registration ui_thread;
        try {
            result = run();
        } catch (const std::exception& failure) {
            std::fprintf(stderr, "failed: %s\n", failure.what());
        }
    }
    CoUninitialize();
    return result;
}
