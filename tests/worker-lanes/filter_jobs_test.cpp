#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "lane-test-support.h"
#include "plugin/filter-jobs.h"
#include "plugin/image-processor.h"

namespace {

using lane_test::eventually;
using lane_test::test_lane;
using tessolux::eye_circle;
using tessolux::image_frame_ptr;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using zorvane::pixel_format;

// A delay no test waits out.
constexpr int endless_delay = 600'000;

// The objects the engine in this process holds alive.
LONG live_engine_objects() {
    const HMODULE engine = GetModuleHandleW(L"ZorvaneImageProcessor2.dll");
    if (engine == nullptr)
        return 0;
    const auto count = reinterpret_cast<LONG(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(engine, "ZorvaneStandinLiveObjects")));
    return count != nullptr ? count() : -1;
}

// Sets an engine hook for the roots made while it lives.
class scoped_environment {
public:
    scoped_environment(const wchar_t* name, const std::wstring& value) : name_(name) {
        SetEnvironmentVariableW(name, value.c_str());
    }
    scoped_environment(const scoped_environment&) = delete;
    ~scoped_environment() { SetEnvironmentVariableW(name_, nullptr); }

private:
    const wchar_t* name_;
};

// A message-only window that runs its task queue's tasks, as the main window's process_message does
// first thing.
class task_window {
public:
    task_window() {
        static const ATOM window_class = [] {
            WNDCLASSW description{};
            description.lpfnWndProc = &procedure;
            description.hInstance = GetModuleHandleW(nullptr);
            description.lpszClassName = L"stage-job-test-window";
            return RegisterClassW(&description);
        }();
        window_ = CreateWindowExW(0, MAKEINTATOM(window_class), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
        if (window_ == nullptr)
            throw std::runtime_error("the task window was not created");
        tasks = system_ui::window_task_queue(window_, 1000);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    task_window(const task_window&) = delete;
    ~task_window() { DestroyWindow(window_); }

    // Runs the window's messages until cond holds or the bound has passed; true when it held.
    template <class Condition> bool pump_until(Condition cond) {
        const auto deadline = std::chrono::steady_clock::now() + lane_test::bound;
        for (;;) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&message);
            if (cond())
                return true;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        }
    }
    // Runs every task that has been posted so far.
    void run_posted() {
        MSG message;
        while (PeekMessageW(&message, window_, system_ui::posted_task_message, system_ui::posted_task_message,
                            PM_REMOVE))
            DispatchMessageW(&message);
    }

    system_ui::window_task_queue tasks;

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
        auto* const self = reinterpret_cast<task_window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self != nullptr && system_ui::run_posted_tasks(self->tasks, window, message, wparam))
            return 0;
        return DefWindowProcW(window, message, wparam, lparam);
    }

    HWND window_ = nullptr;
};

// One trace line reduced to what the plug-in chose: the call, the name and value it sent, and the
// result when it is not S_OK. Ids and image shapes are left out; tests that need them read raw lines.
std::string reduce(const std::string& line) {
    const auto field = [&line](const std::string& key) -> std::string {
        const std::size_t at = line.find(" " + key + "=");
        if (at == std::string::npos)
            return {};
        std::size_t start = at + key.size() + 2;
        if (line[start] == '"') {
            const std::size_t end = line.find('"', start + 1);
            return line.substr(start + 1, end - start - 1);
        }
        return line.substr(start, line.find(' ', start) - start);
    };
    const std::string call = line.substr(0, line.find(' '));
    std::string reduced = call;
    if (call == "set_property")
        reduced = "set " + field("name") + "=" + field("value");
    else if (call == "add_node")
        reduced += " " + field("name") + " shared=" + field("shared");
    else if (call == "add_child")
        reduced += " " + field("name");
    const std::string hr = field("hr");
    if (hr != "0x00000000")
        reduced += " hr=" + hr;
    return reduced;
}

// The registered engine with its trace in a file of the test's own, a filter lane, and a window with
// its task queue, as the main window will own them. Every engine object must be gone at the end.
class stage_jobs : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        trace_path =
            std::wstring(folder) + L"stage-jobs-trace-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
        DeleteFileW(trace_path.c_str());
        make_engine();
    }

    void TearDown() override {
        lane.reset();
        shared_data.reset();
        engine = {};
        window.reset();
        EXPECT_EQ(live_engine_objects(), 0) << "every engine object the jobs made has been released";
        DeleteFileW(trace_path.c_str());
        CoUninitialize();
    }

    // A new root (the engine reads its hooks when a root is made) with a fresh trace and lane, and the
    // progress handler of the filter lane's context, which posts every report to the window.
    void make_engine() {
        lane.reset();
        engine = {};
        const scoped_environment trace(L"ZORVANE_STANDIN_TRACE", trace_path);
        const tessolux::engine_context created = tessolux::create_engine_context();
        engine = tessolux::make_engine_context_with_progress(created.root.get(), &progress, &window->tasks);
        lane = std::make_unique<test_lane>();
    }

    // Runs the window until the engine has reported progress of a run (beyond the 0 that making the
    // handler reports), so a run is certainly under way.
    bool run_under_way() {
        reports.clear();
        return window->pump_until([&] { return !reports.empty(); });
    }

    image_frame_ptr new_frame(int width, int height, pixel_format format = pixel_format::rgb24) {
        com_ptr<zorvane::IImage> image;
        if (FAILED(engine.root->create_image(width, height, format, image.put())))
            throw std::runtime_error("create_image failed");
        return tessolux::make_image_frame(std::move(image));
    }

    std::vector<std::string> raw_trace() const {
        std::vector<std::string> lines;
        std::ifstream file(std::string(trace_path.begin(), trace_path.end()));
        for (std::string line; std::getline(file, line);)
            lines.push_back(line.substr(0, line.find_last_not_of("\r\n") + 1));
        return lines;
    }
    std::vector<std::string> trace() const {
        std::vector<std::string> reduced;
        for (const std::string& line : raw_trace())
            reduced.push_back(reduce(line));
        return reduced;
    }
    int trace_count(const std::string& call) const {
        int count = 0;
        for (const std::string& line : raw_trace())
            count += line.rfind(call + " ", 0) == 0 ? 1 : 0;
        return count;
    }

    // A result callback that keeps the frame it gets.
    tessolux::result_callback keep_result(image_frame_ptr& kept, int& calls) {
        return [&kept, &calls](image_frame_ptr&& frame) {
            kept = std::move(frame);
            ++calls;
        };
    }

    // Runs the window until the callback has been called or the lane has reported a failure.
    bool deliver(const int& calls) {
        return window->pump_until([&] { return calls > 0 || lane->failure_count() > 0; });
    }

    std::wstring trace_path;
    std::vector<float> reports;
    cpp::moveonly_function<void(float)> progress = [this](float percent) { reports.push_back(percent); };
    std::unique_ptr<task_window> window = std::make_unique<task_window>();
    tessolux::engine_context engine;
    std::unique_ptr<test_lane> lane;
    std::optional<tessolux::memoized_data_t> shared_data;
    cpp::threading::thread_registration ui_thread;
};

TEST_F(stage_jobs, noise_reduction_sends_scaled_floats_and_sizes_in_order_and_delivers_a_new_frame) {
    const image_frame_ptr source = new_frame(24, 16);
    image_frame_ptr result;
    int calls = 0;
    tessolux::start_reduce_noise(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0, source,
                                 false, 25, 30, 80, 2 * 3 + 1, 2 * 5 + 3, image_frame_ptr(),
                                 keep_result(result, calls));
    ASSERT_TRUE(deliver(calls));
    ASSERT_EQ(lane->failure_count(), 0);
    EXPECT_EQ(calls, 1);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->width, 24);
    EXPECT_EQ(result->height, 16);
    EXPECT_NE(result->image.get(), source->image.get());
    EXPECT_THAT(trace(),
                ElementsAre("create_chain", "add_node reduce-noise shared=0", "set reduce-intensity=2.500000",
                            "set intensity-color=3.000000", "set tile-size=7", "set search-size=13",
                            "set blend-intensity=0.800000", "commit", "build", "query_output", "run"));
}

TEST_F(stage_jobs, bilateral_noise_reduction_sends_sigmas_and_the_halved_tile_as_radius) {
    const image_frame_ptr source = new_frame(8, 8);
    image_frame_ptr result;
    int calls = 0;
    tessolux::start_reduce_noise(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0, source,
                                 true, 25, 30, 45, 7, 13, image_frame_ptr(), keep_result(result, calls));
    ASSERT_TRUE(deliver(calls));
    ASSERT_EQ(lane->failure_count(), 0);
    EXPECT_THAT(trace(), ElementsAre("create_chain", "add_node bilateral-filter shared=0",
                                     "set val-square-sigma=100", "set pos-square-sigma=25", "set radius=3",
                                     "set blending=0.450000", "commit", "build", "query_output", "run"));
}

TEST_F(stage_jobs, natural_enhancement_splits_one_intensity_into_two_parameters) {
    const image_frame_ptr source = new_frame(8, 8);
    const int ratios[] = {100, 90, 35};
    for (const int intensity : {150, 70}) {
        image_frame_ptr result;
        int calls = 0;
        tessolux::start_natural_enhance(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0,
                                        source, intensity, ratios, 50, 5, 64, image_frame_ptr(),
                                        keep_result(result, calls));
        ASSERT_TRUE(deliver(calls));
        ASSERT_EQ(lane->failure_count(), 0);
    }
    EXPECT_THAT(
        trace(),
        ElementsAre("create_chain", "add_node natural-enhance shared=0", "set enhance-intensity=1.000000",
                    "set ratio-red=1.000000", "set ratio-green=0.900000", "set ratio-blue=0.350000",
                    "set balance-intensity=0.500000", "set tolerance=0.000500", "set ahe-scope=1.500000",
                    "set avg-segment-size=64", "commit", "build", "query_output", "run",
                    // intensity 70
                    "create_chain", "add_node natural-enhance shared=0", "set enhance-intensity=0.700000",
                    "set ratio-red=1.000000", "set ratio-green=0.900000", "set ratio-blue=0.350000",
                    "set balance-intensity=0.500000", "set tolerance=0.000500", "set ahe-scope=1.000000",
                    "set avg-segment-size=64", "commit", "build", "query_output", "run"));
}

TEST_F(stage_jobs, red_eye_removal_sends_circles_in_order_with_radius_at_least_one_and_writes_in_place) {
    const image_frame_ptr source = new_frame(40, 30);
    const image_frame_ptr destination = new_frame(40, 30);
    const eye_circle circles[] = {{10, 12, 0}, {30, 5, 4}};
    image_frame_ptr result;
    int calls = 0;
    tessolux::start_remove_red_eyes(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0,
                                    source, destination, circles, 2, &shared_data, 5, 150,
                                    keep_result(result, calls));
    ASSERT_TRUE(deliver(calls));
    ASSERT_EQ(lane->failure_count(), 0);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->image.get(), destination->image.get())
        << "the runner's destination is written in place";
    EXPECT_TRUE(shared_data.has_value()) << "made on first use, kept by the caller";
    EXPECT_THAT(trace(), ElementsAre("create_chain", "add_node remove-red-eyes shared=1", "add_child Circle",
                                     "set X=10", "set Y=12", "set radius=1", "commit", "add_child Circle",
                                     "set X=30", "set Y=5", "set radius=4", "commit", "set border-width=5",
                                     "set intensity=1.500000", "commit", "build", "run"));
}

TEST_F(stage_jobs,
       red_eye_removal_without_circles_sends_only_border_and_intensity_with_the_same_shared_data) {
    const image_frame_ptr source = new_frame(20, 20);
    const image_frame_ptr destination = new_frame(20, 20);
    IUnknown* first_shared = nullptr;
    for (int run = 0; run != 2; ++run) {
        image_frame_ptr result;
        int calls = 0;
        tessolux::start_remove_red_eyes(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0,
                                        source, destination, nullptr, 0, &shared_data, 0, 40,
                                        keep_result(result, calls));
        ASSERT_TRUE(deliver(calls));
        ASSERT_EQ(lane->failure_count(), 0);
        if (run == 0)
            first_shared = shared_data->get();
    }
    EXPECT_EQ(shared_data->get(), first_shared) << "one shared data object across runs";
    const std::vector<std::string> one_run = {"create_chain",
                                              "add_node remove-red-eyes shared=1",
                                              "set border-width=0",
                                              "set intensity=0.400000",
                                              "commit",
                                              "build",
                                              "run"};
    std::vector<std::string> both = one_run;
    both.insert(both.end(), one_run.begin(), one_run.end());
    EXPECT_THAT(trace(), ElementsAreArray(both));
}

TEST_F(stage_jobs, tilt_shift_sends_the_focused_rectangle_as_a_child_unless_it_is_empty) {
    const image_frame_ptr source = new_frame(64, 48);
    for (const std::int32_t width : {30, 0}) {
        image_frame_ptr result;
        int calls = 0;
        tessolux::start_tilt_shift(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0,
                                   source, 4, 6, width, 20, 20, 25, image_frame_ptr(),
                                   keep_result(result, calls));
        ASSERT_TRUE(deliver(calls));
        ASSERT_EQ(lane->failure_count(), 0);
    }
    EXPECT_THAT(trace(),
                ElementsAre("create_chain", "add_node tilt-shift shared=0", "set blur-radius=20",
                            "set border-size-relative=0.250000", "add_child focused-rect", "set x=4",
                            "set y=6", "set width=30", "set height=20", "commit", "commit", "build",
                            "query_output", "run",
                            // the empty rectangle
                            "create_chain", "add_node tilt-shift shared=0", "set blur-radius=20",
                            "set border-size-relative=0.250000", "commit", "build", "query_output", "run"));
}

TEST_F(stage_jobs, named_filters_send_intensity_only_when_it_is_not_negative) {
    const image_frame_ptr source = new_frame(8, 8);
    EXPECT_STREQ(tessolux::grain_node_name(0), L"grain-regular");
    EXPECT_STREQ(tessolux::grain_node_name(1), L"grain-fat");
    EXPECT_STREQ(tessolux::grain_node_name(2), L"grain-fractal");
    EXPECT_STREQ(tessolux::grain_node_name(-3), L"grain-fractal");
    const std::pair<std::wstring, int> runs[] = {{tessolux::grain_node_name(1), 40}, {L"SEPIA", -1}};
    for (const auto& [name, intensity] : runs) {
        image_frame_ptr result;
        int calls = 0;
        tessolux::start_named_filter(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0,
                                     source, intensity, name, image_frame_ptr(), keep_result(result, calls));
        ASSERT_TRUE(deliver(calls));
        ASSERT_EQ(lane->failure_count(), 0);
    }
    EXPECT_THAT(trace(), ElementsAre("create_chain", "add_node grain-fat shared=0", "set intensity=0.400000",
                                     "commit", "build", "query_output", "run", "create_chain",
                                     "add_node SEPIA shared=0", "commit", "build", "query_output", "run"));
}

TEST_F(stage_jobs, set_intensity_applies_one_node_in_place_on_the_calling_thread) {
    const image_frame_ptr thumbnail = new_frame(16, 16, pixel_format::bgra32);
    tessolux::set_intensity(engine, L"LOMOFUJI", *thumbnail, 60);
    tessolux::set_intensity(engine, L"KODAKPLUSX125", *thumbnail, -1);
    EXPECT_THAT(trace(), ElementsAre("create_chain", "add_node LOMOFUJI shared=0", "set intensity=0.600000",
                                     "commit", "build", "apply_in_place", "create_chain",
                                     "add_node KODAKPLUSX125 shared=0", "commit", "build", "apply_in_place"));
    EXPECT_THROW(tessolux::set_intensity(engine, L"no-such-node", *thumbnail, 10), std::invalid_argument)
        << "failures reach the caller";
}

TEST_F(stage_jobs, two_jobs_queued_within_one_delay_run_the_engine_once) {
    const image_frame_ptr source = new_frame(8, 8);
    image_frame_ptr first_result, second_result;
    int first_calls = 0, second_calls = 0;
    tessolux::start_named_filter(engine, &lane->cell, lane->worker, lane->producer, window->tasks,
                                 endless_delay, source, 10, L"grain-regular", image_frame_ptr(),
                                 keep_result(first_result, first_calls));
    ASSERT_TRUE(eventually([&] { return lane->worker.state() == cpp::threading::thread_state::waiting; }));
    tessolux::start_named_filter(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 50, source,
                                 20, L"grain-regular", image_frame_ptr(),
                                 keep_result(second_result, second_calls));
    ASSERT_TRUE(deliver(second_calls));
    window->run_posted();
    EXPECT_EQ(first_calls, 0);
    EXPECT_EQ(second_calls, 1);
    EXPECT_EQ(trace_count("run"), 1);
    EXPECT_THAT(trace(), ::testing::Contains("set intensity=0.200000"));
    EXPECT_THAT(trace(), ::testing::Not(::testing::Contains("set intensity=0.100000")));
}

TEST_F(stage_jobs, a_result_whose_ticket_is_no_longer_the_cells_is_dropped) {
    const image_frame_ptr source = new_frame(8, 8);
    image_frame_ptr result;
    int calls = 0;
    tessolux::start_named_filter(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0, source,
                                 10, L"grain-fat", image_frame_ptr(), keep_result(result, calls));
    // The job has run, posted its frame and gone idle; a newer job is queued before the UI thread gets to
    // the frame.
    ASSERT_TRUE(eventually([&] {
        return trace_count("run") == 1 && lane->worker.state() == cpp::threading::thread_state::waiting;
    }));
    tessolux::start_named_filter(engine, &lane->cell, lane->worker, lane->producer, window->tasks,
                                 endless_delay, source, 10, L"grain-fat", image_frame_ptr(),
                                 keep_result(result, calls));
    window->run_posted();
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(result);
    EXPECT_EQ(trace_count("run"), 1);
}

TEST_F(stage_jobs, a_superseded_jobs_progress_answers_stop_and_the_cancelled_run_posts_nothing) {
    const scoped_environment slow(L"ZORVANE_STANDIN_BAND_DELAY_MS", L"20");
    make_engine();
    const image_frame_ptr source = new_frame(64, 1600);
    image_frame_ptr result;
    int calls = 0;
    tessolux::start_named_filter(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0, source,
                                 10, L"grain-regular", image_frame_ptr(), keep_result(result, calls));
    ASSERT_TRUE(run_under_way());
    tessolux::start_named_filter(engine, &lane->cell, lane->worker, lane->producer, window->tasks,
                                 endless_delay, source, 10, L"grain-regular", image_frame_ptr(),
                                 keep_result(result, calls));
    ASSERT_TRUE(eventually([&] {
        return lane->worker.state() == cpp::threading::thread_state::waiting &&
               lane->queue.impl().queued_count() == 0;
    })) << "the superseded run has returned and the newer job sleeps its delay";
    window->run_posted();
    EXPECT_THAT(trace(), ::testing::Contains("run hr=0x20000100")) << "the engine's cancelled code";
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(lane->failure_count(), 0) << "a superseded job is no failure";
}

TEST_F(stage_jobs, a_destination_of_another_size_or_format_is_replaced_and_a_fitting_one_is_written) {
    const image_frame_ptr source = new_frame(24, 16, pixel_format::rgba32);
    const image_frame_ptr fitting = new_frame(24, 16, pixel_format::rgba32);
    const image_frame_ptr other_size = new_frame(16, 24, pixel_format::rgba32);
    const image_frame_ptr other_format = new_frame(24, 16, pixel_format::rgb24);
    for (const image_frame_ptr* destination : {&fitting, &other_size, &other_format}) {
        image_frame_ptr result;
        int calls = 0;
        tessolux::start_named_filter(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0,
                                     source, 30, L"grain-regular", *destination, keep_result(result, calls));
        ASSERT_TRUE(deliver(calls));
        ASSERT_EQ(lane->failure_count(), 0);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->width, 24);
        EXPECT_EQ(result->height, 16);
        EXPECT_EQ(result->format, pixel_format::rgba32);
        if (destination == &fitting)
            EXPECT_EQ(result->image.get(), fitting->image.get()) << "a stage writes over its own last result";
        else
            EXPECT_NE(result->image.get(), (*destination)->image.get());
    }
}

TEST_F(stage_jobs, a_destination_equal_to_the_source_is_read_from_a_duplicate) {
    const image_frame_ptr frame = new_frame(24, 16);
    image_frame_ptr result;
    int calls = 0;
    tessolux::start_tilt_shift(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0, frame, 0,
                               0, 10, 10, 5, 20, frame, keep_result(result, calls));
    ASSERT_TRUE(deliver(calls));
    ASSERT_EQ(lane->failure_count(), 0);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->image.get(), frame->image.get());
    // The trace names images as <id>:<width>x<height>:<format>.
    std::string queried, run_source, run_destination;
    for (const std::string& line : raw_trace()) {
        const auto value = [&line](const char* key) {
            const std::size_t at = line.find(key) + std::char_traits<char>::length(key);
            return line.substr(at, line.find(' ', at) - at);
        };
        if (line.rfind("query_output ", 0) == 0)
            queried = value(" source=");
        if (line.rfind("run ", 0) == 0) {
            run_source = value(" source=");
            run_destination = value(" destination=");
        }
    }
    EXPECT_EQ(run_destination, queried) << "the frame itself is written";
    EXPECT_NE(run_source, run_destination) << "and read from a copy";
}

TEST_F(stage_jobs, a_job_superseded_while_it_polls_the_destination_posts_and_reports_nothing) {
    const image_frame_ptr source = new_frame(8, 8);
    const image_frame_ptr destination = new_frame(8, 8);
    com_ptr<zorvane::IImageData> held;
    ASSERT_GE(destination->image->QueryInterface(__uuidof(zorvane::IImageData), held.put_void()), 0);
    ASSERT_EQ(held->try_acquire(), S_OK) << "another user of the engine holds the destination";
    image_frame_ptr first_result, second_result;
    int first_calls = 0, second_calls = 0;
    tessolux::start_named_filter(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0, source,
                                 10, L"grain-regular", destination, keep_result(first_result, first_calls));
    // The job got as far as its poll: the operation is built and the output asked for.
    ASSERT_TRUE(eventually([&] { return trace_count("query_output") == 1; }));
    tessolux::start_named_filter(engine, &lane->cell, lane->worker, lane->producer, window->tasks,
                                 endless_delay, source, 10, L"grain-regular", destination,
                                 keep_result(second_result, second_calls));
    ASSERT_TRUE(eventually([&] {
        return lane->worker.state() == cpp::threading::thread_state::waiting &&
               lane->queue.impl().queued_count() == 0;
    })) << "the second job sleeps its delay: the first has given up";
    held->release();
    window->run_posted();
    EXPECT_EQ(first_calls, 0);
    EXPECT_EQ(lane->failure_count(), 0);
    EXPECT_EQ(trace_count("run"), 0);
}

TEST_F(stage_jobs, an_engine_failure_gives_one_failure_and_the_next_job_still_runs) {
    const scoped_environment failing(L"ZORVANE_STANDIN_FAIL_NODE", L"grain-fat");
    make_engine();
    const image_frame_ptr source = new_frame(8, 8);
    image_frame_ptr result;
    int calls = 0;
    tessolux::start_named_filter(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0, source,
                                 10, L"grain-fat", image_frame_ptr(), keep_result(result, calls));
    ASSERT_TRUE(window->pump_until([&] { return lane->failure_count() > 0; }));
    tessolux::start_named_filter(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0, source,
                                 10, L"grain-regular", image_frame_ptr(), keep_result(result, calls));
    ASSERT_TRUE(window->pump_until([&] { return calls > 0; }));
    EXPECT_EQ(lane->failure_count(), 1);
    EXPECT_EQ(calls, 1);
    try {
        lane->rethrow_failure();
    } catch (const error_handling::interface_exception& failure) {
        EXPECT_EQ(failure.result(), E_FAIL);
        EXPECT_THAT(failure.what(), ::testing::HasSubstr("node \"grain-fat\" failed"));
    } catch (...) {
        ADD_FAILURE() << "the engine's failure arrives as a failed COM call";
    }
}

TEST_F(stage_jobs, a_text_the_engine_refuses_fails_as_an_invalid_argument) {
    const image_frame_ptr source = new_frame(8, 8);
    image_frame_ptr result;
    int calls = 0;
    // A blur radius of 0 lies outside what the engine takes.
    tessolux::start_tilt_shift(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0, source, 0,
                               0, 0, 0, 0, 20, image_frame_ptr(), keep_result(result, calls));
    ASSERT_TRUE(window->pump_until([&] { return lane->failure_count() > 0; }));
    EXPECT_THROW(lane->rethrow_failure(), std::invalid_argument);
    EXPECT_EQ(calls, 0);
}

TEST_F(stage_jobs, an_interrupted_run_fails_through_the_lane_and_a_stop_with_interrupt_ends_it_quietly) {
    const scoped_environment slow(L"ZORVANE_STANDIN_BAND_DELAY_MS", L"50");
    make_engine();
    const image_frame_ptr source = new_frame(64, 64);
    image_frame_ptr result;
    int calls = 0;
    tessolux::start_named_filter(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0, source,
                                 10, L"grain-regular", image_frame_ptr(), keep_result(result, calls));
    ASSERT_TRUE(run_under_way());
    tessolux::interrupt_engine(engine);
    ASSERT_TRUE(window->pump_until([&] { return lane->failure_count() > 0; }));
    try {
        lane->rethrow_failure();
    } catch (const error_handling::interface_exception& failure) {
        EXPECT_EQ(failure.result(), E_ABORT);
    } catch (...) {
        ADD_FAILURE() << "an interrupted run fails as an aborted COM call";
    }

    // The teardown: stop requested, the engine interrupted, then the join.
    tessolux::start_named_filter(engine, &lane->cell, lane->worker, lane->producer, window->tasks, 0, source,
                                 10, L"grain-regular", image_frame_ptr(), keep_result(result, calls));
    ASSERT_TRUE(run_under_way());
    lane->worker.request_stop();
    tessolux::interrupt_engine(engine);
    lane->worker.join();
    window->run_posted();
    EXPECT_EQ(lane->failure_count(), 1) << "nothing more than the first failure";
    EXPECT_EQ(lane->worker.state(), cpp::threading::thread_state::stop_requested);
    EXPECT_EQ(calls, 0);
}

TEST_F(stage_jobs, launchers_refuse_a_missing_source_and_red_eye_removal_a_missing_destination) {
    const image_frame_ptr frame = new_frame(8, 8);
    EXPECT_THROW(tessolux::start_named_filter(engine, &lane->cell, lane->worker, lane->producer,
                                              window->tasks, 0, image_frame_ptr(), 10, L"grain-fat",
                                              image_frame_ptr(), [](image_frame_ptr&&) {}),
                 std::invalid_argument);
    EXPECT_THROW(tessolux::start_remove_red_eyes(engine, &lane->cell, lane->worker, lane->producer,
                                                 window->tasks, 0, frame, image_frame_ptr(), nullptr, 0,
                                                 &shared_data, 0, 10, [](image_frame_ptr&&) {}),
                 std::invalid_argument);
    EXPECT_EQ(lane->cell, 0u) << "nothing was queued";
    EXPECT_EQ(lane->queue.impl().queued_count(), 0u);
}

} // namespace
