#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "lane-test-support.h"
#include "plugin/filter-jobs.h"
#include "plugin/image-processor.h"
#include "standin-engine.h"
#include "standin-trace.h"

namespace {

using test_support::live_engine_objects;

using lane_test::endless_delay;
using lane_test::eventually;
using lane_test::test_lane;
using tessolux::eye_circle;
using tessolux::image_frame_ptr;
using zorvane::pixel_format;

// The reduced trace of a stage that run_operation runs: one chain with one node, its settings, the run.
std::vector<std::string> single_node(const std::string& name, std::vector<std::string> settings) {
    settings.insert(settings.begin(), {"create_chain", "add_node " + name + " shared=0"});
    settings.insert(settings.end(), {"commit", "build", "query_output", "run"});
    return settings;
}

// The registered engine with its trace in a file of the test's own, a filter lane, and a message-only
// window with its task queue, as the main window will own them. Every engine object must be gone at
// the end.
class stage_jobs : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window, nullptr);
        tasks = system_ui::window_task_queue(window, 1000);
        make_engine();
    }

    void TearDown() override {
        lane.reset();
        shared_data.reset();
        engine = {};
        tasks = {};
        DestroyWindow(window);
        EXPECT_EQ(live_engine_objects(), 0) << "every engine object the jobs made has been released";
        DeleteFileW(trace_path.c_str());
        CoUninitialize();
    }

    // A new root (the engine reads its hooks, the trace and the band delay, when a root is made) with an
    // empty trace and a fresh lane, and the progress handler of the filter lane's context, which posts
    // every report to the window.
    void make_engine(const wchar_t* band_delay_ms = nullptr) {
        lane.reset();
        engine = {};
        DeleteFileW(trace_path.c_str());
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", trace_path.c_str());
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_BAND_DELAY_MS", band_delay_ms);
        const tessolux::engine_context created = tessolux::create_engine_context();
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", nullptr);
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_BAND_DELAY_MS", nullptr);
        engine = tessolux::make_engine_context_with_progress(created.root.get(), &progress, &tasks);
        lane = std::make_unique<test_lane>();
    }

    // Calls a stage launcher with the lane, the window's task queue and then the given values.
    template <class Launcher, class... Values> void start(Launcher launcher, Values&&... values) {
        launcher(engine, &lane->cell, lane->worker, lane->producer, tasks, std::forward<Values>(values)...);
    }
    // Starts a stage without delay and runs the window until its result has come; the result.
    template <class Launcher, class... Values> image_frame_ptr run(Launcher launcher, Values&&... values) {
        image_frame_ptr result;
        int calls = 0;
        start(launcher, 0, std::forward<Values>(values)..., keep_result(result, calls));
        EXPECT_TRUE(pump_until([&] { return calls > 0 || lane->failure_count() > 0; }));
        EXPECT_EQ(lane->failure_count(), 0);
        return result;
    }
    // A result callback that keeps the frame it gets.
    tessolux::result_callback keep_result(image_frame_ptr& kept, int& calls) {
        return [&kept, &calls](image_frame_ptr&& frame) {
            kept = std::move(frame);
            ++calls;
        };
    }

    // Runs the window's tasks until cond holds or the bound has passed; true when it held.
    template <class Condition> bool pump_until(Condition cond) {
        const auto deadline = std::chrono::steady_clock::now() + test_support::bound;
        for (MSG message;;) {
            while (PeekMessageW(&message, window, 0, 0, PM_REMOVE))
                system_ui::run_posted_tasks(tasks, message.hwnd, message.message, message.wParam);
            if (cond())
                return true;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        }
    }
    void run_posted() {
        pump_until([] { return true; });
    }

    image_frame_ptr new_frame(int width, int height, pixel_format format = pixel_format::rgb24) {
        com_ptr<zorvane::IImage> image;
        if (FAILED(engine.root->create_image(width, height, format, image.put())))
            throw std::runtime_error("create_image failed");
        return tessolux::make_image_frame(std::move(image));
    }

    std::vector<std::string> trace() const { return test_support::read_trace(trace_path); }

    HWND window = nullptr;
    system_ui::window_task_queue tasks;
    // In the working directory.
    const std::wstring trace_path = L"stage-jobs-trace.txt";
    std::vector<float> reports;
    cpp::moveonly_function<void(float)> progress = [this](float percent) { reports.push_back(percent); };
    tessolux::engine_context engine;
    std::unique_ptr<test_lane> lane;
    std::optional<tessolux::memoized_data_t> shared_data;
    cpp::threading::thread_registration ui_thread;
};

TEST_F(stage_jobs, every_stage_sends_its_node_names_and_parameter_texts_in_order) {
    const image_frame_ptr source = new_frame(40, 30);
    const image_frame_ptr in_place = new_frame(40, 30);
    const image_frame_ptr none;
    const eye_circle circles[] = {{10, 12, 0}, {30, 5, 4}};
    const int ratios[] = {100, 90, 35};
    IUnknown* first_shared_data = nullptr;
    const std::pair<std::function<void()>, std::vector<std::string>> stages[] = {
        {[&] { run(tessolux::start_reduce_noise, source, false, 25, 30, 80, 7, 13, none); },
         single_node("reduce-noise",
                     {"set reduce-intensity=2.500000", "set intensity-color=3.000000", "set tile-size=7",
                      "set search-size=13", "set blend-intensity=0.800000"})},
        {[&] { run(tessolux::start_reduce_noise, source, true, 25, 30, 45, 7, 13, none); },
         single_node("bilateral-filter", {"set val-square-sigma=100", "set pos-square-sigma=25",
                                          "set radius=3", "set blending=0.450000"})},
        // One intensity drives two parameters: up to 100 the enhancement, above it the scope.
        {[&] { run(tessolux::start_natural_enhance, source, 150, ratios, 50, 5, 64, none); },
         single_node("natural-enhance",
                     {"set enhance-intensity=1.000000", "set ratio-red=1.000000", "set ratio-green=0.900000",
                      "set ratio-blue=0.350000", "set balance-intensity=0.500000", "set tolerance=0.000500",
                      "set ahe-scope=1.500000", "set avg-segment-size=64"})},
        {[&] { run(tessolux::start_natural_enhance, source, 70, ratios, 50, 5, 64, none); },
         single_node("natural-enhance",
                     {"set enhance-intensity=0.700000", "set ratio-red=1.000000", "set ratio-green=0.900000",
                      "set ratio-blue=0.350000", "set balance-intensity=0.500000", "set tolerance=0.000500",
                      "set ahe-scope=1.000000", "set avg-segment-size=64"})},
        // A circle of radius 0 goes as radius 1. The shared data is made on first use and kept across
        // runs; the destination is written in place.
        {[&] {
             const image_frame_ptr result =
                 run(tessolux::start_remove_red_eyes, source, in_place, circles, 2, &shared_data, 5, 150);
             EXPECT_TRUE(result && result->image.get() == in_place->image.get()) << "written in place";
             first_shared_data = shared_data->get();
         },
         {"create_chain", "add_node remove-red-eyes shared=1", "add_child Circle", "set X=10", "set Y=12",
          "set radius=1", "commit", "add_child Circle", "set X=30", "set Y=5", "set radius=4", "commit",
          "set border-width=5", "set intensity=1.500000", "commit", "build", "run"}},
        {[&] { run(tessolux::start_remove_red_eyes, source, in_place, nullptr, 0, &shared_data, 0, 40); },
         {"create_chain", "add_node remove-red-eyes shared=1", "set border-width=0", "set intensity=0.400000",
          "commit", "build", "run"}},
        // An empty focused rectangle sends no child.
        {[&] { run(tessolux::start_tilt_shift, source, 4, 6, 30, 20, 20, 25, none); },
         single_node("tilt-shift",
                     {"set blur-radius=20", "set border-size-relative=0.250000", "add_child focused-rect",
                      "set x=4", "set y=6", "set width=30", "set height=20", "commit"})},
        {[&] { run(tessolux::start_tilt_shift, source, 4, 6, 0, 20, 20, 25, none); },
         single_node("tilt-shift", {"set blur-radius=20", "set border-size-relative=0.250000"})},
        // A negative intensity sends none, also for the film-preset thumbnails made on the calling thread.
        {[&] { run(tessolux::start_named_filter, source, 40, L"grain-fat", none); },
         single_node("grain-fat", {"set intensity=0.400000"})},
        {[&] { run(tessolux::start_named_filter, source, -1, L"SEPIA", none); }, single_node("SEPIA", {})},
        {[&] { tessolux::set_intensity(engine, L"LOMOFUJI", *source.get(), 60); },
         {"create_chain", "add_node LOMOFUJI shared=0", "set intensity=0.600000", "commit", "build",
          "apply_in_place"}},
        {[&] { tessolux::set_intensity(engine, L"KODAKPLUSX125", *source.get(), -1); },
         {"create_chain", "add_node KODAKPLUSX125 shared=0", "commit", "build", "apply_in_place"}},
    };
    for (const auto& [run_stage, expected] : stages) {
        const std::size_t before = trace().size();
        run_stage();
        const std::vector<std::string> all = trace();
        EXPECT_EQ(std::vector(all.begin() + before, all.end()), expected);
    }
    EXPECT_EQ(shared_data->get(), first_shared_data);
}

TEST_F(stage_jobs, two_jobs_queued_within_one_delay_run_the_engine_once) {
    const image_frame_ptr source = new_frame(8, 8);
    image_frame_ptr first_result;
    int first_calls = 0;
    start(tessolux::start_named_filter, endless_delay, source, 10, L"grain-regular", image_frame_ptr(),
          keep_result(first_result, first_calls));
    // The first job sleeps out its delay on the worker's event: the launcher's wake must end it.
    ASSERT_TRUE(eventually([&] { return lane->worker_waits(); }));
    EXPECT_TRUE(run(tessolux::start_named_filter, source, 20, L"grain-regular", image_frame_ptr()));
    run_posted();
    EXPECT_EQ(first_calls, 0);
    EXPECT_EQ(trace(), single_node("grain-regular", {"set intensity=0.200000"}));
}

TEST_F(stage_jobs, a_result_whose_ticket_is_no_longer_the_cells_is_dropped) {
    const image_frame_ptr source = new_frame(8, 8);
    image_frame_ptr result;
    int calls = 0;
    start(tessolux::start_named_filter, 0, source, 10, L"grain-fat", image_frame_ptr(),
          keep_result(result, calls));
    // The job has run, posted its frame and gone idle; a newer job is queued before the UI thread gets to
    // the frame.
    ASSERT_TRUE(eventually([&] { return std::ranges::count(trace(), "run") == 1 && lane->worker_waits(); }));
    start(tessolux::start_named_filter, endless_delay, source, 10, L"grain-fat", image_frame_ptr(),
          keep_result(result, calls));
    run_posted();
    EXPECT_EQ(calls, 0);
}

// Superseded in its engine run (the engine's progress report is answered with stop, and the run returns
// the engine's cancelled code) or while it polls a destination that another user of the engine holds.
TEST_F(stage_jobs, a_superseded_job_stops_in_its_run_or_its_poll_and_posts_and_reports_nothing) {
    for (const bool polls : {false, true}) {
        make_engine(polls ? nullptr : L"20");
        const image_frame_ptr source = new_frame(64, 1600);
        const image_frame_ptr destination = new_frame(64, 1600);
        com_ptr<zorvane::IImageData> held;
        ASSERT_GE(destination->image->QueryInterface(__uuidof(zorvane::IImageData), held.put_void()), 0);
        if (polls) {
            ASSERT_EQ(held->try_acquire(), S_OK);
        }
        image_frame_ptr result;
        int calls = 0;
        start(tessolux::start_named_filter, 0, source, 10, L"grain-regular", destination,
              keep_result(result, calls));
        // Under way: the engine has reported progress of the run (beyond the 0 of making the handler), or
        // the job has asked for the output and polls.
        reports.clear();
        ASSERT_TRUE(pump_until(
            [&] { return polls ? std::ranges::count(trace(), "query_output") == 1 : !reports.empty(); }));
        start(tessolux::start_named_filter, endless_delay, source, 10, L"grain-regular", destination,
              keep_result(result, calls));
        ASSERT_TRUE(eventually([&] { return lane->worker_waits(); })) << "the first job has given up";
        if (polls)
            held->release();
        run_posted();
        EXPECT_EQ(calls, 0);
        EXPECT_EQ(lane->failure_count(), 0) << "a superseded job is no failure";
        EXPECT_EQ(trace().back(), polls ? "query_output" : "run hr=0x20000100")
            << "run not at all, or cancelled";
    }
}

TEST_F(stage_jobs,
       a_missing_destination_is_made_one_of_another_size_or_format_replaced_a_fitting_one_written) {
    const image_frame_ptr source = new_frame(24, 16, pixel_format::rgba32);
    const image_frame_ptr none;
    const image_frame_ptr fitting = new_frame(24, 16, pixel_format::rgba32);
    const image_frame_ptr other_size = new_frame(16, 24, pixel_format::rgba32);
    const image_frame_ptr other_format = new_frame(24, 16, pixel_format::rgb24);
    for (const image_frame_ptr* destination : {&none, &fitting, &other_size, &other_format}) {
        const image_frame_ptr result =
            run(tessolux::start_named_filter, source, 30, L"grain-regular", *destination);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->width, 24);
        EXPECT_EQ(result->height, 16);
        EXPECT_EQ(result->format, pixel_format::rgba32);
        EXPECT_NE(result->image.get(), source->image.get());
        EXPECT_EQ(result->image.get() == fitting->image.get(), destination == &fitting)
            << "a stage writes over its own last result only when it fits";
    }
}

// The stand-in engine refuses to run from an image into itself, as the real one must not be asked to.
TEST_F(stage_jobs, a_destination_equal_to_the_source_is_read_from_a_duplicate) {
    const image_frame_ptr frame = new_frame(24, 16);
    const image_frame_ptr result = run(tessolux::start_tilt_shift, frame, 0, 0, 10, 10, 5, 20, frame);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->image.get(), frame->image.get()) << "the frame itself is written";
}

TEST_F(stage_jobs, launchers_refuse_a_missing_source_and_red_eye_removal_a_missing_destination) {
    const image_frame_ptr frame = new_frame(8, 8);
    EXPECT_THROW(start(tessolux::start_named_filter, 0, image_frame_ptr(), 10, L"grain-fat",
                       image_frame_ptr(), [](image_frame_ptr&&) {}),
                 std::invalid_argument);
    EXPECT_THROW(start(tessolux::start_remove_red_eyes, 0, frame, image_frame_ptr(), nullptr, 0, &shared_data,
                       0, 10, [](image_frame_ptr&&) {}),
                 std::invalid_argument);
    EXPECT_EQ(lane->queue.impl().queued_count(), 0u) << "nothing was queued";
}

} // namespace
