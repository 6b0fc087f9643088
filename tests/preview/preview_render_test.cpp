// The preview render over the registered stand-in engine, on a lane of the test's own, into a small
// canvas, with a message-only window for the posted callbacks: the chain and texts it sends (read from
// the engine's trace), the pixels and outlines it leaves in the canvas, and how it meets the stage jobs
// and a backlog of requests.
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
using lane_test::test_lane;
using tessolux::image_frame_ptr;
using tessolux::preview_rect;

// One trace line reduced to what the plug-in chose: the call, and the name and value it sent.
std::string reduce(const std::string& line) {
    const auto field = [&line](const std::string& key) {
        const std::size_t start = line.find(" " + key + "=\"") + key.size() + 3;
        return line.substr(start, line.find('"', start) - start);
    };
    std::string call = line.substr(0, line.find(' '));
    if (call == "set_property")
        return "set " + field("name") + "=" + field("value");
    if (call == "add_node" || call == "add_child")
        return call + " " + field("name");
    return line.find("hr=0x00000000") == std::string::npos ? call + " failed" : call;
}

// The pixels of an engine image, as the engine lays them out.
struct pixels {
    BYTE* bits = nullptr;
    INT32 stride = 0;
};

pixels pixels_of(zorvane::IImage* image) {
    com_ptr<zorvane::IImageData> data;
    pixels p;
    if (FAILED(image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void())) ||
        FAILED(data->get_buffer(&p.bits, nullptr, &p.stride, nullptr, nullptr)))
        throw std::runtime_error("the image's buffer cannot be read");
    return p;
}

// A stage job's hold on a frame it writes.
class writing {
public:
    explicit writing(zorvane::IImage* image) {
        image->QueryInterface(__uuidof(zorvane::IImageData), data_.put_void());
        if (!data_ || FAILED(data_->try_acquire()))
            throw std::runtime_error("the frame cannot be held for writing");
    }
    ~writing() { release(); }
    void release() {
        if (data_)
            std::exchange(data_, {})->release();
    }

private:
    com_ptr<zorvane::IImageData> data_;
};

constexpr std::int32_t canvas_width = 64;
constexpr std::int32_t canvas_height = 48;
constexpr std::uint32_t grey_background = 0x00808080;

class preview_render : public ::testing::Test {
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
        canvas.reset();
        engine = {};
        tasks = {};
        DestroyWindow(window);
        DeleteFileW(trace_path.c_str());
        CoUninitialize();
    }

    // A new root with an empty trace (the engine reads its hooks when a root is made), a fresh lane and a
    // canvas of 64 x 48 pixels.
    void make_engine(const wchar_t* failing_node = nullptr) {
        lane.reset();
        canvas.reset();
        engine = {};
        DeleteFileW(trace_path.c_str());
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", trace_path.c_str());
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_FAIL_NODE", failing_node);
        engine = tessolux::create_engine_context();
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", nullptr);
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_FAIL_NODE", nullptr);
        engine = tessolux::make_engine_context(engine.root.get());
        canvas = tessolux::make_preview_canvas(engine, canvas_width, canvas_height);
        lane = std::make_unique<test_lane>();
    }

    // A frame of one colour (RGBA, 8 bits).
    image_frame_ptr new_frame(std::int32_t width, std::int32_t height, std::uint32_t rgba = 0xff808080) {
        com_ptr<zorvane::IImage> image;
        if (FAILED(engine.root->create_image(width, height, zorvane::pixel_format::rgba32, image.put())))
            throw std::runtime_error("create_image failed");
        const pixels p = pixels_of(image.get());
        for (std::int32_t y = 0; y != height; ++y)
            for (std::int32_t x = 0; x != width; ++x)
                for (int c = 0; c != 4; ++c)
                    p.bits[y * p.stride + 4 * x + c] = static_cast<BYTE>(rgba >> (8 * c));
        return tessolux::make_image_frame(std::move(image));
    }

    struct request {
        preview_rect viewport{0, 0, 40, 30};
        double origin_x = 0;
        double origin_y = 0;
        double zoom = 1.0;
        std::int32_t outline_bits = 0;
        std::int32_t phase = 0;
        preview_rect focus{0, 0, 0, 0};
        std::uint32_t background = grey_background;
        bool outlines_only = false;
    };

    // Queues a render whose callback records tag.
    void start(const image_frame_ptr& frame, const request& r, int tag = 0) {
        tessolux::start_preview_render(engine, r.outlines_only, r.outline_bits, frame, r.phase, &lane->cell,
                                       lane->worker, lane->producer, tasks, r.viewport, r.origin_x,
                                       r.origin_y, r.zoom, r.background, r.focus, canvas,
                                       [this, tag] { done.push_back(tag); });
    }
    // Renders and runs the window until the callback has come.
    void render(const image_frame_ptr& frame, const request& r) {
        const std::size_t before = done.size();
        start(frame, r);
        ASSERT_TRUE(pump_until([&] { return done.size() > before || lane->failure_count() > 0; }));
        ASSERT_EQ(lane->failure_count(), 0);
    }

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

    std::vector<std::string> trace() const {
        std::vector<std::string> lines;
        std::ifstream file(std::string(trace_path.begin(), trace_path.end()));
        for (std::string line; std::getline(file, line);)
            lines.push_back(reduce(line.substr(0, line.find_last_not_of("\r\n") + 1)));
        return lines;
    }
    void clear_trace() { DeleteFileW(trace_path.c_str()); }

    // The canvas pixel at (x, y): 'W' white, 'B' black, '.' the grey of the test frames, '?' anything else.
    char canvas_pixel(std::int32_t x, std::int32_t y) const {
        const pixels p = pixels_of(canvas->image.get());
        const BYTE* bgr = p.bits + y * p.stride + 3 * x;
        if (bgr[0] != bgr[1] || bgr[1] != bgr[2])
            return '?';
        return bgr[0] == 255 ? 'W' : bgr[0] == 0 ? 'B' : bgr[0] == 0x80 ? '.' : '?';
    }
    std::string canvas_row(std::int32_t y, std::int32_t from, std::int32_t to) const {
        std::string row;
        for (std::int32_t x = from; x != to; ++x)
            row += canvas_pixel(x, y);
        return row;
    }
    std::string canvas_column(std::int32_t x, std::int32_t from, std::int32_t to) const {
        std::string column;
        for (std::int32_t y = from; y != to; ++y)
            column += canvas_pixel(x, y);
        return column;
    }
    std::vector<BYTE> canvas_bytes() const {
        const pixels p = pixels_of(canvas->image.get());
        return std::vector<BYTE>(p.bits, p.bits + p.stride * canvas_height);
    }

    HWND window = nullptr;
    system_ui::window_task_queue tasks;
    const std::wstring trace_path = L"preview-render-trace.txt";
    tessolux::engine_context engine;
    tessolux::preview_canvas_ptr canvas;
    std::unique_ptr<test_lane> lane;
    std::vector<int> done;
    cpp::threading::thread_registration ui_thread;
};

TEST_F(preview_render, sends_resize_and_convert_with_the_method_by_zoom_and_the_background_in_eight_digits) {
    // Image 40 x 30 at (2, 3) of a 60 x 40 viewport at (8, 8): 58 x 37 view pixels show 29 x 19 image
    // pixels at both zooms (37 / 1.999 = 18.51, 37 / 2 = 18.5, both rounding to 19).
    const image_frame_ptr frame = new_frame(40, 30);
    const struct {
        double zoom;
        std::uint32_t background;
        const char* method;
        const char* background_text;
        const char* shown_width;
        const char* shown_height;
    } cases[] = {
        {1.999, 0x0000ff00, "lanczos", "0000ff00", "29", "19"},
        {2.0, 0x00000001, "nearest", "00000001", "29", "19"},
        {7.5, 0x00abcdef, "nearest", "00abcdef", "8", "5"}, // 58 / 7.5 = 7.7, 37 / 7.5 = 4.9
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.zoom);
        clear_trace();
        request r;
        r.viewport = {8, 8, 60, 40};
        r.origin_x = 2;
        r.origin_y = 3;
        r.zoom = c.zoom;
        r.background = c.background;
        render(frame, r);
        const std::vector<std::string> expected = {"create_chain",
                                                   "add_node resize",
                                                   "set width=58",
                                                   "set height=37",
                                                   std::string("set method=") + c.method,
                                                   "add_child impact-rect",
                                                   "set x=0",
                                                   "set y=0",
                                                   std::string("set width=") + c.shown_width,
                                                   std::string("set height=") + c.shown_height,
                                                   "commit",
                                                   "commit",
                                                   "add_node convert",
                                                   "set to=BGR24",
                                                   std::string("set alpha-background=") + c.background_text,
                                                   "commit",
                                                   "build",
                                                   "run"};
        EXPECT_EQ(trace(), expected);
        EXPECT_EQ(canvas->impact.x, 10);
        EXPECT_EQ(canvas->impact.y, 11);
        EXPECT_EQ(canvas->impact.width, 58);
        EXPECT_EQ(canvas->impact.height, 37);
    }
}

TEST_F(preview_render, a_viewport_scrolled_off_the_image_records_an_empty_impact_and_paints_nothing) {
    const image_frame_ptr frame = new_frame(40, 30);
    render(frame, request{});
    ASSERT_EQ(canvas->impact.width, 40);
    const std::vector<BYTE> before = canvas_bytes();
    clear_trace();

    request off;
    off.origin_x = -500;
    off.outline_bits = tessolux::outline_image;
    render(frame, off);
    EXPECT_EQ(trace(), std::vector<std::string>{}) << "the engine is not asked";
    EXPECT_EQ(canvas->impact.x, 0);
    EXPECT_EQ(canvas->impact.y, 0);
    EXPECT_EQ(canvas->impact.width, 0);
    EXPECT_EQ(canvas->impact.height, 0);
    EXPECT_EQ(canvas_bytes(), before);
}

TEST_F(preview_render, a_viewport_larger_than_the_canvas_is_rendered_cut_to_the_canvas) {
    // A display change can make the viewport larger than the canvas made at the start.
    const image_frame_ptr frame = new_frame(300, 200);
    request r;
    r.viewport = {0, 0, 200, 150};
    r.outline_bits = tessolux::outline_image;
    render(frame, r);
    const std::vector<std::string> lines = trace();
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(lines[2], "set width=64");
    EXPECT_EQ(lines[3], "set height=48");
    EXPECT_EQ(lines[8], "set width=64");
    EXPECT_EQ(lines[9], "set height=48");
    EXPECT_EQ(lines.back(), "run");
    EXPECT_EQ(canvas->impact.width, 64);
    EXPECT_EQ(canvas->impact.height, 48);
    EXPECT_EQ(canvas_row(0, 0, 8), "WWWWBBBB") << "the image's own top edge is dashed";
}

TEST_F(preview_render, the_image_and_focus_outlines_run_with_opposite_phases) {
    // The 40 x 30 frame fills a 40 x 30 viewport at zoom 1; focus rectangle {8, 6, 16, 12}; phase 2.
    const image_frame_ptr frame = new_frame(40, 30);
    request r;
    r.outline_bits = tessolux::outline_image | tessolux::outline_focus;
    r.phase = 2;
    r.focus = {8, 6, 16, 12};
    render(frame, r);
    // The image outline counts from -2, the focus outline from +2: 4 white, 4 black by (counter AND 7).
    EXPECT_EQ(canvas_row(0, 0, 40), "BBWWWWBBBBWWWWBBBBWWWWBBBBWWWWBBBBWWWWBB") << "image top, counting up";
    EXPECT_EQ(canvas_row(29, 0, 40), "BBBWWWWBBBBWWWWBBBBWWWWBBBBWWWWBBBBWWWWB")
        << "image bottom, counting down";
    EXPECT_EQ(canvas_column(39, 1, 11), "BWWWWBBBBW") << "image right, counting up";
    EXPECT_EQ(canvas_row(6, 8, 24), "WWBBBBWWWWBBBBWW") << "focus top";
    EXPECT_EQ(canvas_column(8, 7, 17), "WWBBBBWWWW") << "focus left, counting down";
    EXPECT_EQ(canvas_row(17, 8, 24), "WWWBBBBWWWWBBBBW") << "focus bottom, one row up";
    EXPECT_EQ(canvas_row(10, 9, 23), "..............") << "inside stays the picture";

    // Redrawing only the outlines with the next phase asks nothing of the engine and moves the dashes.
    clear_trace();
    r.outlines_only = true;
    r.phase = 3;
    render(frame, r);
    EXPECT_EQ(trace(), std::vector<std::string>{});
    EXPECT_EQ(canvas_row(0, 0, 8), "BBBWWWWB");
    EXPECT_EQ(canvas_row(6, 8, 16), "WBBBBWWW");
    EXPECT_EQ(canvas_row(10, 9, 23), "..............");
}

TEST_F(preview_render, a_focus_rectangle_outside_the_shown_image_part_is_not_drawn) {
    const image_frame_ptr frame = new_frame(40, 30);
    request r;
    r.viewport = {0, 0, 20, 30}; // shows image columns 0 to 19
    r.outline_bits = tessolux::outline_focus;
    r.focus = {25, 5, 10, 10};
    render(frame, r);
    for (std::int32_t y = 0; y != 30; ++y)
        ASSERT_EQ(canvas_row(y, 0, 20), std::string(20, '.')) << "row " << y;
}

TEST_F(preview_render, transparent_pixels_show_the_chosen_background_colour) {
    // Stored COLORREF 0x00332211 is red 0x11, green 0x22, blue 0x33; the render wants 0x00112233.
    EXPECT_EQ(tessolux::render_background(0x00332211), 0x00112233u);
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    EXPECT_EQ(tessolux::render_background(-1),
              static_cast<std::uint32_t>(GetRValue(face)) << 16 | GetGValue(face) << 8 | GetBValue(face));

    const image_frame_ptr transparent = new_frame(40, 30, 0x00ffffff);
    request r;
    r.background = tessolux::render_background(0x00332211);
    render(transparent, r);
    const pixels p = pixels_of(canvas->image.get());
    EXPECT_EQ(p.bits[5 * p.stride + 3 * 7 + 0], 0x33) << "blue";
    EXPECT_EQ(p.bits[5 * p.stride + 3 * 7 + 1], 0x22) << "green";
    EXPECT_EQ(p.bits[5 * p.stride + 3 * 7 + 2], 0x11) << "red";
}

TEST_F(preview_render, a_short_queue_renders_every_request_and_a_backlog_only_its_newest) {
    const image_frame_ptr frame = new_frame(40, 30);
    // The first render waits for the frame while a stage job writes it; the others queue up behind it.
    const struct {
        int requests;
        std::vector<int> rendered;
    } cases[] = {
        {5, {0, 1, 2, 3, 4}},
        {6, {5}}, // the sixth finds five waiting: its ticket supersedes them all, the waiting first too
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.requests);
        done.clear();
        writing stage(frame->image.get());
        start(frame, request{}, 0);
        ASSERT_TRUE(eventually([&] { return lane->worker_waits(); }))
            << "the first render waits for the frame";
        for (int tag = 1; tag != c.requests; ++tag)
            start(frame, request{}, tag);
        stage.release();
        ASSERT_TRUE(pump_until([&] { return !done.empty() && done.back() == c.requests - 1; }));
        EXPECT_EQ(done, c.rendered);
        EXPECT_EQ(lane->failure_count(), 0);
    }
}

TEST_F(preview_render, painting_does_not_wait_while_a_stage_job_writes_the_frame_the_render_reads) {
    const image_frame_ptr frame = new_frame(40, 30);
    writing stage(frame->image.get());
    start(frame, request{});
    ASSERT_TRUE(eventually([&] { return lane->worker_waits(); }));

    // As on_paint takes it, from a thread that can be left waiting if the render holds the canvas.
    std::atomic<bool> painted{false};
    std::thread painter([&] {
        const cpp::threading::thread_registration registered;
        preview_rect impact{};
        auto [release, dc] = tessolux::lock_canvas_dc(canvas, impact);
        painted.store(true);
        release(dc);
    });
    const bool painted_while_written = eventually([&] { return painted.load(); });
    stage.release();
    painter.join();
    EXPECT_TRUE(painted_while_written);
    EXPECT_TRUE(pump_until([&] { return !done.empty(); })) << "the render goes on once the stage is done";
}

TEST_F(preview_render, a_failing_render_reaches_the_lane_and_gives_the_canvas_back) {
    make_engine(L"resize");
    const image_frame_ptr frame = new_frame(40, 30);
    start(frame, request{});
    ASSERT_TRUE(pump_until([&] { return lane->failure_count() > 0; }));
    EXPECT_THROW(lane->rethrow_failure(), error_handling::interface_exception);
    EXPECT_TRUE(done.empty());
    preview_rect impact{};
    auto [release, dc] = tessolux::lock_canvas_dc(canvas, impact);
    release(dc);
    EXPECT_EQ(impact.width, 40) << "the failing run had its impact recorded";
}

} // namespace
