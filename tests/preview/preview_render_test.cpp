// The preview render over the registered stand-in engine, on a lane of the test's own, into a 64 x 48
// canvas, with a message-only window for the posted callbacks: the texts it sends (the engine's trace),
// the pixels it leaves in the canvas, and how it meets a stage job and a backlog of requests.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../worker-lanes/lane-test-support.h"
#include "plugin/preview-render.h"
#include "win-common.h"

namespace {

using lane_test::eventually;
using tessolux::image_frame_ptr;
using tessolux::preview_rect;

// One trace line reduced to the call and the name and value it sent.
std::string reduce(const std::string& line) {
    const auto field = [&line](const std::string& key) {
        const std::size_t start = line.find(" " + key + "=\"") + key.size() + 3;
        return line.substr(start, line.find('"', start) - start);
    };
    const std::string call = line.substr(0, line.find(' '));
    if (call == "set_property")
        return field("name") + "=" + field("value");
    return call == "add_node" || call == "add_child" ? field("name") : call;
}

BYTE* bits_of(zorvane::IImage* image, INT32& stride) {
    com_ptr<zorvane::IImageData> data;
    BYTE* bits = nullptr;
    if (FAILED(image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void())) ||
        FAILED(data->get_buffer(&bits, nullptr, &stride, nullptr, nullptr)))
        throw std::runtime_error("the image's buffer cannot be read");
    return bits;
}

class preview_render : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window, nullptr);
        tasks = system_ui::window_task_queue(window, 1000);
        DeleteFileW(trace_path);
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", trace_path);
        engine = tessolux::make_engine_context(tessolux::create_engine_context().root.get());
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", nullptr);
        canvas = tessolux::make_preview_canvas(engine, 64, 48);
    }
    void TearDown() override {
        lane.reset();
        canvas.reset();
        engine = {};
        tasks = {};
        DestroyWindow(window);
        DeleteFileW(trace_path);
        CoUninitialize();
    }

    // An opaque grey RGBA frame.
    image_frame_ptr new_frame(std::int32_t width, std::int32_t height) {
        com_ptr<zorvane::IImage> image;
        if (FAILED(engine.root->create_image(width, height, zorvane::pixel_format::rgba32, image.put())))
            throw std::runtime_error("create_image failed");
        INT32 stride = 0;
        BYTE* bits = bits_of(image.get(), stride);
        for (std::int32_t y = 0; y != height; ++y)
            for (std::int32_t x = 0; x != width * 4; ++x)
                bits[y * stride + x] = x % 4 == 3 ? 0xff : 0x80;
        return tessolux::make_image_frame(std::move(image));
    }

    struct request {
        preview_rect viewport{0, 0, 40, 30};
        double origin_x = 0, origin_y = 0, zoom = 1.0;
        std::int32_t outline_bits = 0, phase = 0;
        preview_rect focus{0, 0, 0, 0};
        std::uint32_t background = 0x00808080;
        bool outlines_only = false;
    };
    // Queues a render whose callback records tag.
    void start(const image_frame_ptr& frame, const request& r, int tag = 0) {
        tessolux::start_preview_render(engine, r.outlines_only, r.outline_bits, frame, r.phase, &lane->cell,
                                       lane->worker, lane->producer, tasks, r.viewport, r.origin_x,
                                       r.origin_y, r.zoom, r.background, r.focus, canvas,
                                       [this, tag] { done.push_back(tag); });
    }
    // Renders with an empty trace and runs the window until the callback has come.
    void render(const image_frame_ptr& frame, const request& r) {
        DeleteFileW(trace_path);
        const std::size_t before = done.size();
        start(frame, r);
        ASSERT_TRUE(pump_until([&] { return done.size() > before || lane->failure_count() > 0; }));
        ASSERT_EQ(lane->failure_count(), 0);
    }
    template <class Condition> bool pump_until(Condition cond) {
        const auto deadline = std::chrono::steady_clock::now() + test_support::bound;
        for (MSG message; !cond(); MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT)) {
            while (PeekMessageW(&message, window, 0, 0, PM_REMOVE))
                system_ui::run_posted_tasks(tasks, message.hwnd, message.message, message.wParam);
            if (std::chrono::steady_clock::now() >= deadline)
                return cond();
        }
        return true;
    }

    std::vector<std::string> trace() const {
        std::vector<std::string> lines;
        std::ifstream file("preview-render-trace.txt");
        for (std::string line; std::getline(file, line);)
            lines.push_back(reduce(line.substr(0, line.find_last_not_of("\r\n") + 1)));
        return lines;
    }
    // Canvas pixels from (x, y) on, step (dx, dy): 'W' white, 'B' black, '.' the frames' grey.
    std::string canvas_line(std::int32_t x, std::int32_t y, std::int32_t count, std::int32_t dx = 1,
                            std::int32_t dy = 0) const {
        INT32 stride = 0;
        const BYTE* bits = bits_of(canvas->image.get(), stride);
        std::string line;
        for (std::int32_t i = 0; i != count; ++i, x += dx, y += dy) {
            const BYTE* bgr = bits + y * stride + 3 * x;
            const bool grey = bgr[0] == bgr[1] && bgr[1] == bgr[2];
            line += !grey ? '?' : bgr[0] == 255 ? 'W' : bgr[0] == 0 ? 'B' : bgr[0] == 0x80 ? '.' : '?';
        }
        return line;
    }
    std::string impact() const {
        const preview_rect& r = canvas->impact;
        return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
               std::to_string(r.height);
    }

    static constexpr const wchar_t* trace_path = L"preview-render-trace.txt";
    HWND window = nullptr;
    system_ui::window_task_queue tasks;
    tessolux::engine_context engine;
    tessolux::preview_canvas_ptr canvas;
    std::unique_ptr<lane_test::test_lane> lane = std::make_unique<lane_test::test_lane>();
    std::vector<int> done;
    cpp::threading::thread_registration ui_thread;
};

TEST_F(preview_render, sends_resize_and_convert_with_the_method_by_zoom_cut_to_the_canvas) {
    const image_frame_ptr frame = new_frame(300, 200);
    const struct {
        preview_rect viewport;
        double origin, zoom;
        std::uint32_t background;
        std::vector<std::string> sent; // resize, impact-rect, convert
        const char* impact;
    } cases[] = {
        // Image at (2, 2) of a 60 x 40 viewport at (8, 8): 58 x 38 view pixels show 29 x 19 image pixels.
        {{8, 8, 60, 40},
         2,
         1.999,
         0x0000ff00,
         {"width=58", "height=38", "method=lanczos", "x=0", "y=0", "width=29", "height=19",
          "alpha-background=0000ff00"},
         "10,10 58x38"},
        {{8, 8, 60, 40},
         2,
         2.0,
         0x00000001,
         {"width=58", "height=38", "method=nearest", "x=0", "y=0", "width=29", "height=19",
          "alpha-background=00000001"},
         "10,10 58x38"},
        // A viewport larger than the canvas (a display change) is cut to the canvas.
        {{0, 0, 200, 150},
         -10,
         1.0,
         0x00abcdef,
         {"width=64", "height=48", "method=lanczos", "x=10", "y=10", "width=64", "height=48",
          "alpha-background=00abcdef"},
         "0,0 64x48"},
    };
    for (const auto& c : cases) {
        request r;
        r.viewport = c.viewport;
        r.origin_x = r.origin_y = c.origin;
        r.zoom = c.zoom;
        r.background = c.background;
        render(frame, r);
        const std::vector<std::string> expected = {
            "create_chain", "resize",   c.sent[0], c.sent[1], c.sent[2], "impact-rect",
            c.sent[3],      c.sent[4],  c.sent[5], c.sent[6], "commit",  "commit",
            "convert",      "to=BGR24", c.sent[7], "commit",  "build",   "run"};
        EXPECT_EQ(trace(), expected) << c.zoom;
        EXPECT_EQ(impact(), c.impact) << c.zoom;
    }
}

TEST_F(preview_render, a_viewport_scrolled_off_the_image_records_an_empty_impact_and_paints_nothing) {
    const image_frame_ptr frame = new_frame(40, 30);
    render(frame, request{});
    request off;
    off.origin_x = -500;
    off.outline_bits = tessolux::outline_image;
    render(frame, off);
    EXPECT_EQ(trace(), std::vector<std::string>{}) << "the engine is not asked";
    EXPECT_EQ(impact(), "0,0 0x0");
    EXPECT_EQ(canvas_line(0, 0, 40), std::string(40, '.')) << "the last picture stays, undashed";
}

TEST_F(preview_render, the_image_and_focus_outlines_run_with_opposite_phases) {
    // The 40 x 30 frame fills the 40 x 30 viewport; focus rectangle {8, 6, 16, 12}; phase 2.
    const image_frame_ptr frame = new_frame(40, 30);
    request r;
    r.outline_bits = tessolux::outline_image | tessolux::outline_focus;
    r.phase = 2;
    r.focus = {8, 6, 16, 12};
    render(frame, r);
    // The image outline counts from -2, the focus outline from +2: white while (counter AND 7) < 4.
    EXPECT_EQ(canvas_line(0, 0, 16), "BBWWWWBBBBWWWWBB") << "image top, counting up";
    EXPECT_EQ(canvas_line(0, 29, 16), "BBBWWWWBBBBWWWWB") << "image bottom, one row up, counting down";
    EXPECT_EQ(canvas_line(8, 6, 16), "WWBBBBWWWWBBBBWW") << "focus top";
    EXPECT_EQ(canvas_line(8, 7, 10, 0, 1), "WWBBBBWWWW") << "focus left, counting down";
    EXPECT_EQ(canvas_line(23, 7, 10, 0, 1), "WBBBBWWWWB") << "focus right, one column left, counting up";
    EXPECT_EQ(canvas_line(9, 10, 14), "..............") << "inside stays the picture";

    // Only the outlines, one tick later: the engine is not asked and the dashes move on.
    r.outlines_only = true;
    r.phase = 3;
    render(frame, r);
    EXPECT_EQ(trace(), std::vector<std::string>{});
    EXPECT_EQ(canvas_line(0, 0, 8), "BBBWWWWB");
    EXPECT_EQ(canvas_line(8, 6, 8), "WBBBBWWW");
}

TEST(preview_background, is_the_stored_colour_with_red_and_blue_exchanged_and_the_button_face_for_minus_one) {
    // The stored COLORREF 0x00332211 is red 0x11, green 0x22, blue 0x33: for the engine 0x00112233.
    EXPECT_EQ(tessolux::render_background(0x00332211), 0x00112233u);
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    EXPECT_EQ(tessolux::render_background(-1),
              static_cast<std::uint32_t>(GetRValue(face) << 16 | GetGValue(face) << 8 | GetBValue(face)));
}

TEST_F(preview_render, a_short_queue_renders_every_request_and_a_backlog_only_its_newest) {
    const image_frame_ptr frame = new_frame(40, 30);
    com_ptr<zorvane::IImageData> data;
    ASSERT_GE(frame->image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void()), 0);
    const struct {
        int requests;
        std::vector<int> rendered;
    } cases[] = {
        {5, {0, 1, 2, 3, 4}},
        {6, {5}}, // the sixth finds five waiting: its ticket supersedes them all, the first too
    };
    for (const auto& c : cases) {
        done.clear();
        // The first render waits for the frame while a stage job writes it; the others queue behind it.
        ASSERT_GE(data->try_acquire(), 0);
        start(frame, request{}, 0);
        ASSERT_TRUE(eventually([&] { return lane->worker_waits(); }));
        for (int tag = 1; tag != c.requests; ++tag)
            start(frame, request{}, tag);
        data->release();
        ASSERT_TRUE(pump_until([&] { return !done.empty() && done.back() == c.requests - 1; }));
        EXPECT_EQ(done, c.rendered) << c.requests;
    }
}

TEST_F(preview_render, painting_does_not_wait_while_a_stage_job_writes_the_frame_the_render_reads) {
    const image_frame_ptr frame = new_frame(40, 30);
    com_ptr<zorvane::IImageData> data;
    ASSERT_GE(frame->image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void()), 0);
    ASSERT_GE(data->try_acquire(), 0);
    start(frame, request{});
    ASSERT_TRUE(eventually([&] { return lane->worker_waits(); }));

    // As on_paint takes the canvas, from a thread that may be left waiting if the render holds it.
    std::atomic<bool> painted{false};
    std::thread painter([&] {
        const cpp::threading::thread_registration registered;
        preview_rect shown{};
        auto [release, dc] = tessolux::lock_canvas_dc(canvas, shown);
        painted.store(true);
        release(dc);
    });
    const bool painted_while_written = eventually([&] { return painted.load(); });
    data->release();
    painter.join();
    EXPECT_TRUE(painted_while_written);
    EXPECT_TRUE(pump_until([&] { return !done.empty(); })) << "the render goes on once the stage is done";
}

} // namespace
