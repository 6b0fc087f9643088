// The preview's geometry, every expected value worked out by hand from the rules (pan, zoom, rounding half
// away from zero); and its render over the registered stand-in engine into a 64 x 48 canvas: the texts it
// sends (the engine's trace), the pixels it leaves, and how it meets a stage job and a backlog.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../support/standin-trace.h"
#include "../worker-lanes/lane-test-support.h"
#include "plugin/preview-geometry.h"
#include "plugin/preview-render.h"
#include "resource.h"
#include "win-common.h"

namespace {

using lane_test::eventually;
using tessolux::preview_rect;
using tessolux::view_state;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::string text(const preview_rect& r) {
    return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
           std::to_string(r.height);
}

TEST(preview_geometry, rounding_saturates_and_rectangles_intersect_in_signed_order_without_wrapping) {
    EXPECT_EQ(tessolux::round_to_int(-1.5), -2);
    EXPECT_EQ(tessolux::round_to_int(3e9), INT32_MAX);
    EXPECT_EQ(tessolux::round_to_int(-3e9), INT32_MIN);
    EXPECT_EQ(tessolux::round_to_int(nan), 0);
    EXPECT_EQ(text(tessolux::intersect_signed_rect({-5, -5, 10, 10}, {0, 0, 100, 100})), "0,0 5x5");
    // Biased by 0x80000000 the first right edge would wrap past 32 bits.
    EXPECT_EQ(text(tessolux::intersect_signed_rect({2147483000, 0, 2000, 10}, {0, 0, INT32_MAX, 10})),
              "2147483000,0 647x10");
}

TEST(preview_geometry,
     a_border_strip_is_scaled_by_double_ratios_and_an_overhang_never_gives_a_negative_length) {
    const tessolux::rect_strips strips = tessolux::border_strips({10, 20, 40, 20});
    EXPECT_EQ(text(strips.left) + " " + text(strips.right) + " " + text(strips.top) + " " +
                  text(strips.bottom),
              "10,20 0x20 50,20 0x20 10,20 40x0 10,40 40x0");
    // Image rectangle {10, 20, 40, 20} shown in 100 x 50 view pixels: 2.5 view pixels per image pixel.
    const auto scaled = [](const preview_rect& line, bool vertical) {
        return text(tessolux::scale_rect_to_view(line, {10, 20, 40, 20}, {7, 9, 100, 50}, vertical));
    };
    EXPECT_EQ(scaled(strips.right, true), "100,0 1x50");
    EXPECT_EQ(scaled({5, 30, 20, 0}, false), "0,25 37x1"); // starts 12.5 view pixels left: shortened by 13
    // Overhangs longer than the line: length 0, not a negative one read as a huge one.
    EXPECT_EQ(scaled({20, 10, 0, 4}, true), "25,0 1x0");
    EXPECT_EQ(scaled({0, 25, 6, 0}, false), "0,13 0x1");
}

TEST(preview_geometry, the_view_maps_to_the_shown_image_part_also_cut_to_the_canvas) {
    const auto shown = [](std::int32_t vw, std::int32_t vh, double pan_x, double pan_y, double zoom,
                          std::int32_t iw, std::int32_t ih, std::int32_t most) {
        const tessolux::view_mapping m =
            tessolux::map_view_to_image(vw, vh, pan_x, pan_y, zoom, iw, ih, most, most);
        return text(m.view) + " " + text(m.image);
    };
    // Pans round to -37 and -13: 37 / 3.7 = 10, 13 / 3.7 = 3.5, 300 / 3.7 = 81.1, 200 / 3.7 = 54.1.
    EXPECT_EQ(shown(300, 200, -37.3, -12.6, 3.7, 100, 80, 4096), "0,0 300x200 10,4 81x54");
    // Pans round to 51 and 20; 149 x 130 view pixels are 372.5 x 325 image pixels.
    EXPECT_EQ(shown(200, 150, 50.5, 20.49, 0.4, 1000, 500, 4096), "51,20 149x130 0,0 373x325");
    EXPECT_EQ(shown(300, 200, -50, -20, 2.0, 400, 300, 100), "0,0 100x100 25,10 50x50"); // the canvas's part
}

TEST(preview_geometry, view_points_left_of_the_image_go_negative_and_the_view_spreads_over_the_image) {
    // Viewport at client (8, 8); the 100 x 80 image at zoom 2 starts at client (108, 58).
    const auto zoomed = [](std::int32_t x) {
        return tessolux::view_to_image_point({8, 8, 300, 200}, {100, 50, 2.0}, 100, 80, x, 58).x;
    };
    EXPECT_EQ(zoomed(107), -1); // -0.5
    EXPECT_EQ(zoomed(106), -2); // a whole -1.0
    // At zoom 0.4 view columns 51 to 199 show image columns 0 to 372: every one lands inside, the last at
    // 148 x 373 / 149 = 370.5.
    const auto out = [](std::int32_t x) {
        return tessolux::view_to_image_point({0, 0, 200, 150}, {50.5, 20.49, 0.4}, 1000, 500, x, 100).x;
    };
    for (std::int32_t x = 51; x != 200; ++x)
        ASSERT_TRUE(out(x) >= 0 && out(x) < 373) << x << " -> " << out(x);
    EXPECT_EQ(out(199), 370);
}

TEST(preview_geometry, zooming_keeps_the_point_in_place_within_the_zoom_range_and_the_fit_toggles_back) {
    const auto zoomed = [](view_state view, double x, double factor) {
        tessolux::zoom_at(view, x, 0, factor);
        return std::to_string(view.zoom) + " " + std::to_string(view.pan_x);
    };
    EXPECT_EQ(zoomed({0, 0, 1.0}, 100, 2.0), "2.000000 -100.000000");
    // 0.0002 is clamped: the pan moves by the clamped ratio 0.001 / 0.002 only.
    EXPECT_EQ(zoomed({10, 20, 0.002}, 110, 0.1), "0.001000 60.000000");
    EXPECT_EQ(zoomed({0, 0, 1.0}, 1000, nan), "0.001000 999.000000");

    view_state view{5, 7, 1.0};
    const auto fit = [&view](std::int32_t vw, std::int32_t vh, std::int32_t iw, std::int32_t ih) {
        const bool changed = tessolux::zoom_to_fit(view, vw, vh, iw, ih);
        return std::to_string(changed) + " " + std::to_string(view.zoom) + " " + std::to_string(view.pan_y);
    };
    EXPECT_EQ(fit(0, 0, 600, 400), "0 1.000000 7.000000"); // a minimised window: no zoom 0, no NaN pans
    // min(960 / 6000, 720 / 4000) = 0.16: 960 x 640 view pixels, centred; then back.
    EXPECT_EQ(fit(960, 720, 6000, 4000), "1 0.160000 40.000000");
    EXPECT_EQ(fit(960, 720, 6000, 4000), "1 1.000000 7.000000");
    EXPECT_EQ(fit(10, 10, 65535, 65535), "1 0.001000 -27.767500"); // the fit stays within the zoom range
}

TEST(preview_geometry, the_view_information_shows_the_zoom_in_per_cent_with_one_decimal) {
    const std::wstring pattern = tessolux::module_string(IDS_VIEW_INFO);
    const std::wstring head =
        L"Visible Position:\t12,  34\r\nVisible Dimensions:\t560  \u00d7  780\r\nZoom:\t";
    EXPECT_EQ(tessolux::format_view_info(pattern, {12, 34, 560, 780}, 1.375), head + L"137.5 %");
    EXPECT_EQ(tessolux::format_view_info(pattern, {12, 34, 560, 780}, 1.0 / 3.0), head + L"33.3 %");
}

class preview_render : public ::testing::Test {
protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", trace_path);
        engine = tessolux::make_engine_context(tessolux::create_engine_context().root.get());
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", nullptr);
        canvas = tessolux::make_preview_canvas(engine, 64, 48);
        // An opaque grey RGBA frame of 40 x 30, the size of the default viewport.
        com_ptr<zorvane::IImage> image;
        ASSERT_GE(engine.root->create_image(40, 30, zorvane::pixel_format::rgba32, image.put()), 0);
        frame = tessolux::make_image_frame(std::move(image));
        ASSERT_GE(frame->image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void()), 0);
        BYTE* bits = nullptr;
        INT32 stride = 0;
        ASSERT_GE(data->get_buffer(&bits, nullptr, &stride, nullptr, nullptr), 0);
        for (std::int32_t i = 0; i != 30 * stride; ++i)
            bits[i] = i % 4 == 3 ? 0xff : 0x80;
    }

    struct request {
        preview_rect viewport{0, 0, 40, 30};
        double origin = 0, zoom = 1.0;
        std::uint32_t background = 0x00808080;
        std::int32_t outline_bits = 0, phase = 0;
        preview_rect focus{0, 0, 0, 0};
        bool outlines_only = false;
    };
    // Queues a render whose callback records tag.
    void start(const request& r, int tag = 0) {
        tessolux::start_preview_render(engine, r.outlines_only, r.outline_bits, frame, r.phase, &lane->cell,
                                       lane->worker, lane->producer, tasks, r.viewport, r.origin, r.origin,
                                       r.zoom, r.background, r.focus, canvas,
                                       [this, tag] { done.push_back(tag); });
    }
    // Renders with an empty trace and runs the window until the callback has come.
    void render(const request& r) {
        DeleteFileW(trace_path);
        done.clear();
        start(r);
        ASSERT_TRUE(pump_until([&] { return !done.empty() || lane->failure_count() > 0; }));
        ASSERT_EQ(lane->failure_count(), 0);
    }
    // Runs the window's posted tasks until cond holds, within the bound.
    template <class Condition> bool pump_until(Condition cond) {
        return eventually([&] {
            for (MSG message; PeekMessageW(&message, window.get(), 0, 0, PM_REMOVE);)
                system_ui::run_posted_tasks(tasks, message.hwnd, message.message, message.wParam);
            return cond();
        });
    }
    std::vector<std::string> trace() const { return test_support::read_trace(trace_path); }
    // Canvas pixels from (x, y) on, step (dx, dy): 'W' white, 'B' black, '.' the frame's grey.
    std::string canvas_line(std::int32_t x, std::int32_t y, std::int32_t count, std::int32_t dx = 1,
                            std::int32_t dy = 0) const {
        com_ptr<zorvane::IImageData> pixels;
        BYTE* bits = nullptr;
        INT32 stride = 0;
        if (FAILED(canvas->image->QueryInterface(__uuidof(zorvane::IImageData), pixels.put_void())) ||
            FAILED(pixels->get_buffer(&bits, nullptr, &stride, nullptr, nullptr)))
            return "no pixels";
        std::string line;
        for (std::int32_t i = 0; i != count; ++i, x += dx, y += dy) {
            const BYTE* bgr = bits + y * stride + 3 * x;
            const bool grey = bgr[0] == bgr[1] && bgr[1] == bgr[2];
            line += !grey ? '?' : bgr[0] == 255 ? 'W' : bgr[0] == 0 ? 'B' : bgr[0] == 0x80 ? '.' : '?';
        }
        return line;
    }

    static constexpr const wchar_t* trace_path = L"preview-render-trace.txt";
    // Made first and gone last: the apartment and the trace outlive every engine object of the test.
    struct apartment {
        apartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
        ~apartment() {
            DeleteFileW(trace_path);
            CoUninitialize();
        }
    } com;
    cpp::threading::thread_registration ui_thread;
    cpp::unique_any<HWND, &DestroyWindow> window{
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)};
    system_ui::window_task_queue tasks{window.get(), 1000};
    tessolux::engine_context engine;
    tessolux::preview_canvas_ptr canvas;
    tessolux::image_frame_ptr frame;
    com_ptr<zorvane::IImageData> data; // the frame's, to hold it as a stage job writing it does
    std::vector<int> done;
    // The worker goes first, while everything it works on is still there.
    std::unique_ptr<lane_test::test_lane> lane = std::make_unique<lane_test::test_lane>();
};

TEST_F(preview_render, sends_resize_and_convert_with_the_method_by_zoom_cut_to_the_canvas) {
    // What resize, its impact-rect and convert are set to (in order), and the impact the canvas records.
    const auto sent = [this](const request& r) {
        render(r);
        std::string calls, values;
        for (const std::string& line : trace())
            (line.starts_with("set ") ? values : calls) +=
                line.starts_with("set ") ? line.substr(4) + " " : line + ", ";
        EXPECT_EQ(calls, "create_chain, add_node resize shared=0, add_child impact-rect, commit, commit, "
                         "add_node convert shared=0, commit, build, run, ");
        return values + "at " + text(canvas->impact);
    };
    // Image at (2, 2) of a 60 x 40 viewport at (8, 8): 58 x 38 view pixels show 29 x 19 image pixels.
    EXPECT_EQ(sent({{8, 8, 60, 40}, 2, 1.999, 0x0000ff00}),
              "width=58 height=38 method=lanczos x=0 y=0 width=29 height=19 to=BGR24 "
              "alpha-background=0000ff00 at 10,10 58x38");
    EXPECT_EQ(sent({{8, 8, 60, 40}, 2, 2.0, 0x00000001}),
              "width=58 height=38 method=nearest x=0 y=0 width=29 height=19 to=BGR24 "
              "alpha-background=00000001 at 10,10 58x38");
    // A viewport larger than the canvas (a display change) is cut to the canvas.
    EXPECT_EQ(sent({{0, 0, 200, 150}, -8, 4.0, 0x00abcdef}),
              "width=64 height=48 method=nearest x=2 y=2 width=16 height=12 to=BGR24 "
              "alpha-background=00abcdef at 0,0 64x48");
}

TEST_F(preview_render,
       the_image_and_focus_outlines_run_with_opposite_phases_and_stay_when_the_image_is_off_view) {
    // The frame fills the viewport; focus rectangle {8, 6, 16, 12}; phase 2.
    render({.outline_bits = tessolux::outline_image | tessolux::outline_focus,
            .phase = 2,
            .focus = {8, 6, 16, 12}});
    // The image outline counts from -2, the focus outline from +2: white while (counter AND 7) < 4.
    EXPECT_EQ(canvas_line(0, 0, 16), "BBWWWWBBBBWWWWBB") << "image top, counting up";
    EXPECT_EQ(canvas_line(0, 29, 16), "BBBWWWWBBBBWWWWB") << "image bottom, one row up, counting down";
    EXPECT_EQ(canvas_line(8, 6, 16), "WWBBBBWWWWBBBBWW") << "focus top";
    EXPECT_EQ(canvas_line(8, 7, 10, 0, 1), "WWBBBBWWWW") << "focus left, counting down";
    EXPECT_EQ(canvas_line(23, 7, 10, 0, 1), "WBBBBWWWWB") << "focus right, one column left, counting up";
    EXPECT_EQ(canvas_line(9, 10, 14), "..............") << "inside stays the picture";

    // Scrolled off the image: the engine is not asked, the impact is empty and the last picture stays.
    render({.origin = -500, .outline_bits = tessolux::outline_image, .phase = 3});
    EXPECT_EQ(trace(), std::vector<std::string>{});
    EXPECT_EQ(text(canvas->impact), "0,0 0x0");
    EXPECT_EQ(canvas_line(0, 0, 16), "BBWWWWBBBBWWWWBB");
}

TEST(preview_background, is_the_stored_colour_with_red_and_blue_exchanged_and_the_button_face_for_minus_one) {
    // The stored COLORREF 0x00332211 is red 0x11, green 0x22, blue 0x33: for the engine 0x00112233.
    EXPECT_EQ(tessolux::render_background(0x00332211), 0x00112233u);
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    EXPECT_EQ(tessolux::render_background(-1),
              GetRValue(face) << 16 | GetGValue(face) << 8 | GetBValue(face));
}

TEST_F(preview_render, a_short_queue_renders_every_request_and_a_backlog_only_its_newest) {
    // The sixth request finds five waiting: its ticket supersedes them all, the first too.
    const std::pair<int, std::vector<int>> cases[] = {{5, {0, 1, 2, 3, 4}}, {6, {5}}};
    for (const auto& [requests, rendered] : cases) {
        done.clear();
        // The first render waits for the frame while a stage job writes it; the others queue behind it.
        ASSERT_GE(data->try_acquire(), 0);
        start({}, 0);
        ASSERT_TRUE(eventually([&] { return lane->worker_waits(); }));
        for (int tag = 1; tag != requests; ++tag)
            start({}, tag);
        data->release();
        ASSERT_TRUE(pump_until([&] { return !done.empty() && done.back() == requests - 1; }));
        EXPECT_EQ(done, rendered) << requests;
    }
}

TEST_F(preview_render, painting_does_not_wait_while_a_stage_job_writes_the_frame_the_render_reads) {
    ASSERT_GE(data->try_acquire(), 0);
    start({});
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

// Redrawing the dashes ------------------------------------------------------------------------------------

// The timer's redraw keeps the canvas pixels: the engine is not asked, and only the dashes move on.
TEST_F(preview_render, an_outlines_only_render_skips_the_engine_and_redraws_the_dashes_with_the_new_phase) {
    const request full{.outline_bits = tessolux::outline_image | tessolux::outline_focus,
                       .phase = 2,
                       .focus = {8, 6, 16, 12}};
    render(full);
    // The frame changes under the canvas: a redraw must not pick that up.
    BYTE* bits = nullptr;
    INT32 stride = 0;
    ASSERT_GE(data->get_buffer(&bits, nullptr, &stride, nullptr, nullptr), 0);
    for (std::int32_t i = 0; i != 30 * stride; ++i)
        bits[i] = i % 4 == 3 ? 0xff : 0x10;
    request redraw = full;
    redraw.phase = 3;
    redraw.outlines_only = true;
    render(redraw);
    EXPECT_EQ(trace(), std::vector<std::string>{});
    EXPECT_EQ(text(canvas->impact), "0,0 40x30");
    // Image outline from -3, focus outline from +3: white while (counter AND 7) < 4.
    EXPECT_EQ(canvas_line(0, 0, 16), "BBBWWWWBBBBWWWWB") << "image top, counting up";
    EXPECT_EQ(canvas_line(8, 6, 16), "WBBBBWWWWBBBBWWW") << "focus top";
    EXPECT_EQ(canvas_line(9, 10, 14), "..............") << "inside stays the rendered picture";
}

// A backlog of full renders (a zoom) that a redraw of the dashes joins: the redraw supersedes none of
// them, so the newest full render still runs and the canvas shows the new view, not the old view's pixels
// under the new view's rectangle.
TEST_F(preview_render, an_outlines_only_render_never_supersedes_a_full_render_queued_before_it) {
    // The frame: black left half, white right half. At zoom 1 canvas columns 28 to 31 show image columns
    // 28 to 31 (white), at zoom 2 image columns 14 and 15 (black).
    BYTE* bits = nullptr;
    INT32 stride = 0;
    ASSERT_GE(data->get_buffer(&bits, nullptr, &stride, nullptr, nullptr), 0);
    for (std::int32_t y = 0; y != 30; ++y)
        for (std::int32_t x = 0; x != 40; ++x)
            for (std::int32_t c = 0; c != 4; ++c)
                bits[y * stride + 4 * x + c] = c == 3 || x >= 20 ? 0xff : 0x00;
    render({});
    ASSERT_EQ(canvas_line(28, 15, 4), "WWWW");

    // The lane is busy with an earlier job while five renders at zoom 2 and one redraw queue behind it.
    DeleteFileW(trace_path);
    done.clear();
    std::atomic<bool> busy{true};
    cpp::threading::job earlier([&](unsigned) { eventually([&] { return !busy.load(); }); });
    lane->producer->push(earlier);
    ASSERT_TRUE(eventually([&] { return lane->queue.impl().queued_count() == 0; }));
    for (int tag = 1; tag != 6; ++tag)
        start({.zoom = 2.0}, tag);
    start({.zoom = 2.0, .outline_bits = tessolux::outline_image, .phase = 1, .outlines_only = true}, 6);
    busy = false;
    ASSERT_TRUE(pump_until([&] { return !done.empty() && done.back() == 6; }));
    EXPECT_EQ(done, (std::vector<int>{5, 6})) << "the newest full render, then the redraw";
    const std::vector<std::string> calls = trace();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "run"), 1) << "the engine rendered once";
    EXPECT_EQ(canvas_line(28, 15, 4), "BBBB");
}

} // namespace
