// A worker thread's post_task to a task that runs on the UI thread, against a bare PostMessageW of a
// plain message to the same window as the reference, both measured in the same run by turns: the latency
// from the post to the start of the task (median and 99th percentile) and the throughput of a burst of
// 1000 posts. Every line ends in ratio=<ours/reference>; for times lower is better, for throughputs higher.
#include "win-common.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include <windows.h>

namespace {

constexpr UINT reference_message = WM_APP + 1;
constexpr int latency_samples = 4000;
constexpr int burst = 1000;
constexpr int burst_rounds = 9;

double ticks_per_microsecond() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart) / 1e6;
}

std::int64_t now() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

using event_handle = cpp::unique_any<HANDLE, &CloseHandle>;

// The UI side: a dialog whose messages go to posted tasks first, as in the plug-in's windows, and which
// answers the reference message itself.
class receiver : public system_ui::window_base {
public:
    receiver() {
        dialog_ = system_ui::create_dialog(GetModuleHandleW(nullptr), 1, nullptr, *this);
        if (dialog_ == nullptr)
            cpp::throw_last_error("the benchmark's dialog was not created");
        tasks = system_ui::window_task_queue(dialog_, 1000);
    }
    ~receiver() override {
        if (dialog_ != nullptr)
            DestroyWindow(dialog_);
    }

    HWND window_handle() const override { return dialog_; }
    HACCEL accelerators() const override { return nullptr; }
    INT_PTR process_message(const system_ui::register_function&, HWND window, UINT message, WPARAM wparam,
                            LPARAM) override {
        if (system_ui::run_posted_tasks(tasks, window, message, wparam))
            return TRUE;
        if (message == reference_message) {
            arrive();
            return TRUE;
        }
        if (message == WM_NCDESTROY)
            dialog_ = nullptr;
        return 0;
    }

    // Runs on the UI thread for every post of either kind.
    void arrive() {
        const std::int64_t at = now();
        if (expected_ == 1) {
            latency_ = at - sent_at.load(std::memory_order_relaxed);
            SetEvent(arrived.get());
        } else if (++count_ == expected_) {
            finished_at_ = at;
            SetEvent(arrived.get());
        }
    }
    // Worker side: how many arrivals end the next measurement.
    void expect(int count) {
        expected_ = count;
        count_ = 0;
    }
    void wait() const { WaitForSingleObject(arrived.get(), INFINITE); }

    system_ui::window_task_queue tasks;
    event_handle arrived{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::atomic<std::int64_t> sent_at{0};
    // Written by the UI thread before it sets the event the worker waits on.
    std::int64_t latency_ = 0;
    std::int64_t finished_at_ = 0;

private:
    HWND dialog_ = nullptr;
    int expected_ = 0;
    int count_ = 0;
};

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

} // namespace

int main() {
    const cpp::threading::thread_registration ui_thread;
    receiver window;
    const double per_us = ticks_per_microsecond();
    const auto post_ours = [&] { window.tasks.post_task([&window](unsigned) { window.arrive(); }); };
    const auto post_reference = [&] { PostMessageW(window.window_handle(), reference_message, 0, 0); };

    std::vector<double> ours_latency, reference_latency, ours_rate, reference_rate;
    std::thread worker([&] {
        const auto latency = [&](const std::function<void()>& post) {
            window.expect(1);
            window.sent_at.store(now(), std::memory_order_relaxed);
            post();
            window.wait();
            return static_cast<double>(window.latency_) / per_us;
        };
        const auto rate = [&](const std::function<void()>& post) {
            window.expect(burst);
            const std::int64_t start = now();
            for (int i = 0; i != burst; ++i)
                post();
            window.wait();
            return burst / (static_cast<double>(window.finished_at_ - start) / per_us / 1e6);
        };
        // Warm-up, then by turns, so that a slow spell of the machine does not fall on one side only.
        for (int i = 0; i != 200; ++i) {
            latency(post_ours);
            latency(post_reference);
        }
        for (int i = 0; i != latency_samples; ++i) {
            ours_latency.push_back(latency(post_ours));
            reference_latency.push_back(latency(post_reference));
        }
        for (int i = 0; i != burst_rounds; ++i) {
            ours_rate.push_back(rate(post_ours));
            reference_rate.push_back(rate(post_reference));
        }
        window.tasks.post_task([&window](unsigned) { DestroyWindow(window.window_handle()); });
    });
    system_ui::window_base* const windows[] = {&window};
    system_ui::run_message_loop(windows);
    worker.join();

    const double median_ours = percentile(ours_latency, 0.5);
    const double median_reference = percentile(reference_latency, 0.5);
    const double p99_ours = percentile(ours_latency, 0.99);
    const double p99_reference = percentile(reference_latency, 0.99);
    const double rate_ours = percentile(ours_rate, 0.5);
    const double rate_reference = percentile(reference_rate, 0.5);
    std::printf("post_task latency to the UI thread, median: %.1f vs PostMessageW %.1f us (lower is better) "
                "ratio=%.2f\n",
                median_ours, median_reference, median_ours / median_reference);
    std::printf("post_task latency to the UI thread, p99: %.1f vs PostMessageW %.1f us (lower is better) "
                "ratio=%.2f\n",
                p99_ours, p99_reference, p99_ours / p99_reference);
    std::printf("post_task burst of %d: %.0f vs PostMessageW %.0f posts/s (higher is better) ratio=%.2f\n",
                burst, rate_ours, rate_reference, rate_ours / rate_reference);
    return 0;
}
