#include "pipeline-test-support.h"

#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "plugin/worker-lanes.h"
#include "win-common.h"

using ::testing::ElementsAre;

namespace {

using namespace pipeline_test;
using namespace tessolux;

// Whether another thread can take the lock and give it back within a few seconds: a lock left taken
// would hold it forever.
bool lock_is_free(cpp::threading::cacheline_lock& lock) {
    const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread taker([&] {
        lock.lock();
        lock.unlock();
        SetEvent(done);
    });
    const bool taken = WaitForSingleObject(done, 5000) == WAIT_OBJECT_0;
    if (!taken)
        lock.unlock(); // let the taker finish, so that the test can end
    taker.join();
    CloseHandle(done);
    return taken;
}

class canvas : public engine_world {
protected:
    preview_canvas_ptr make(std::int32_t width, std::int32_t height) {
        return make_preview_canvas(engine, width, height);
    }
};

TEST_F(canvas, rows_are_whole_words_of_three_byte_pixels) {
    EXPECT_EQ(preview_canvas::stride_for(1), 4);
    EXPECT_EQ(preview_canvas::stride_for(5), 16);
    EXPECT_EQ(preview_canvas::stride_for(4), 12);
    for (const std::int32_t width : {1, 5}) {
        const preview_canvas_ptr held = make(width, 3);
        const image_frame_ptr frame =
            clone_frame(make_image_frame(com_ptr<zorvane::IImage>::retain(held->image.get())));
        EXPECT_EQ(frame.frame_width(), width);
        EXPECT_EQ(frame->format, pixel_format::bgr24);
        const pixels p = pixels_of(*frame);
        EXPECT_EQ(p.stride, preview_canvas::stride_for(width));
        EXPECT_EQ(p.rows(), 3);
        DIBSECTION dib{};
        ASSERT_EQ(GetObjectW(held->bitmap, sizeof dib, &dib), static_cast<int>(sizeof dib));
        EXPECT_EQ(dib.dsBm.bmWidthBytes, p.stride);
        EXPECT_EQ(dib.dsBm.bmBits, p.data) << "the engine image is the bitmap's memory";
    }
}

TEST_F(canvas, before_any_render_the_impact_is_empty_and_the_painter_gives_the_lock_back) {
    const preview_canvas_ptr held = make(4, 4);
    preview_rect impact{1, 2, 3, 4};
    auto [release, dc] = lock_canvas_dc(held, impact);
    EXPECT_EQ(impact.x, 0);
    EXPECT_EQ(impact.width, 0);
    EXPECT_EQ(impact.height, 0) << "nothing to blit yet";
    EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), held->bitmap);
    release(dc);
    EXPECT_NE(GetCurrentObject(dc, OBJ_BITMAP), held->bitmap) << "the DC holds what it held before";
    EXPECT_TRUE(lock_is_free(held->lock));
    release(dc); // a second call does nothing
    EXPECT_TRUE(lock_is_free(held->lock));

    { auto unused = lock_canvas_dc(held, impact); }
    EXPECT_TRUE(lock_is_free(held->lock)) << "a releaser that goes uncalled gives the lock back";
    EXPECT_NE(GetCurrentObject(held->memory_dc.get(), OBJ_BITMAP), held->bitmap);
}

TEST_F(canvas, what_the_engine_renders_is_what_the_painter_blits_where_it_was_rendered_to) {
    const preview_canvas_ptr held = make(5, 3);
    {
        const locked_canvas render = lock_canvas(*held, preview_rect{10, 20, 5, 3});
        ASSERT_EQ(render.image(), held->image.get());
        // The engine writes through the image's buffer: B, G, R at (2, 1).
        com_ptr<zorvane::IImageData> data;
        ASSERT_EQ(render.image()->QueryInterface(__uuidof(zorvane::IImageData), data.put_void()), S_OK);
        BYTE* bits = nullptr;
        UINT32 bytes = 0;
        INT32 stride = 0;
        zorvane::pixel_format format{};
        INT32 width = 0;
        ASSERT_EQ(data->get_buffer(&bits, &bytes, &stride, &format, &width), S_OK);
        bits[stride + 6] = 0x30;
        bits[stride + 7] = 0x20;
        bits[stride + 8] = 0x10;
    }
    preview_rect impact{};
    auto [release, dc] = lock_canvas_dc(held, impact);
    EXPECT_EQ(impact.x, 10);
    EXPECT_EQ(impact.y, 20);
    EXPECT_EQ(impact.width, 5);
    EXPECT_EQ(impact.height, 3);
    EXPECT_EQ(GetPixel(dc, 2, 1), RGB(0x10, 0x20, 0x30));
    release(dc);
}

TEST_F(canvas, a_holder_gives_the_lock_back_when_an_exception_leaves_its_scope) {
    const preview_canvas_ptr held = make(2, 2);
    try {
        const locked_canvas drawing = lock_canvas(*held);
        EXPECT_EQ(GetCurrentObject(drawing.dc(), OBJ_BITMAP), held->bitmap);
        throw std::runtime_error("drawing failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(lock_is_free(held->lock));
    EXPECT_NE(GetCurrentObject(held->memory_dc.get(), OBJ_BITMAP), held->bitmap);
}

TEST_F(canvas, releasing_the_canvas_deletes_its_bitmap_through_the_engine) {
    preview_canvas_ptr held = make(3, 3);
    const HBITMAP bitmap = held->bitmap;
    BITMAP described;
    ASSERT_NE(GetObjectW(bitmap, sizeof described, &described), 0);
    held.reset();
    EXPECT_EQ(GetObjectW(bitmap, sizeof described, &described), 0);
}

TEST(get_internals, an_empty_canvas_holder_is_a_logic_error) {
    try {
        get_internals(preview_canvas_ptr());
        FAIL();
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "get_internals failed at 773 in file \"image-processor.cpp\"");
    }
}

// The lane record of a worker thread, set as the worker loop sets it.
void run_as_job(std::uint32_t* latest, std::uint32_t ticket, const std::function<void()>& body) {
    std::thread([&] {
        cpp::threading::thread_context* context = cpp::threading::current_thread_context();
        context->latest_ticket = latest;
        context->job_ticket = ticket;
        body();
        context->latest_ticket = nullptr;
        context->job_ticket = 0;
    }).join();
}

TEST(is_job_cancelled, only_a_newer_ticket_or_a_stop_supersedes_a_job) {
    EXPECT_FALSE(is_job_cancelled()) << "a thread without a lane";
    std::uint32_t latest = 7;
    run_as_job(&latest, 7, [] { EXPECT_FALSE(is_job_cancelled()); });
    run_as_job(&latest, 8,
               [] { EXPECT_FALSE(is_job_cancelled()) << "its own ticket has not reached the cell"; });
    run_as_job(&latest, 6, [] { EXPECT_TRUE(is_job_cancelled()); });

    bool seen = false;
    cpp::threading::thread_ptr worker = cpp::threading::start_thread([&] {
        cpp::threading::predicate stopped = [] { return is_job_cancelled(); };
        cpp::threading::this_thread_wait_for(60000, stopped);
        seen = is_job_cancelled();
    });
    worker.request_stop();
    worker.join();
    EXPECT_TRUE(seen) << "a thread asked to stop";
}

// A window that receives posted tasks without ever being shown.
class posting_window : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(CoInitializeEx(nullptr, COINIT_MULTITHREADED), 0);
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window, nullptr);
        queue = system_ui::window_task_queue(window, 1000);
    }
    void TearDown() override {
        DestroyWindow(window);
        EXPECT_EQ(live_engine_objects(), 0);
        CoUninitialize();
    }
    // Runs the tasks posted so far, one per message, as the window's message handling does.
    void run_posted() {
        MSG message;
        while (PeekMessageW(&message, window, system_ui::posted_task_message, system_ui::posted_task_message,
                            PM_REMOVE))
            system_ui::run_posted_tasks(queue, window, message.message, message.wParam);
    }

    HWND window = nullptr;
    system_ui::window_task_queue queue;
    std::vector<float> reports;
    cpp::moveonly_function<void(float)> progress = [this](float percent) { reports.push_back(percent); };
};

TEST_F(posting_window, progress_is_posted_to_the_window_and_a_superseded_job_is_told_to_stop) {
    const com_ptr<zorvane::ICallbackHandler> handler = make_progress_handler(&progress, &queue);
    EXPECT_THAT(reports, ElementsAre(0.0f)) << "the bar starts at nothing, at once";
    std::uint32_t latest = 3;
    VARIANT_BOOL go_on[3] = {};
    run_as_job(&latest, 3, [&] {
        EXPECT_EQ(handler->progress(25.0f, &go_on[0]), S_OK);
        latest = 4;
        EXPECT_EQ(handler->progress(50.0f, &go_on[1]), S_OK);
    });
    EXPECT_EQ(go_on[0], VARIANT_TRUE);
    EXPECT_EQ(go_on[1], VARIANT_FALSE) << "a newer job has been queued";
    EXPECT_EQ(handler->progress(75.0f, &go_on[2]), S_OK);
    EXPECT_EQ(go_on[2], VARIANT_TRUE) << "a thread of no lane goes on";
    EXPECT_THAT(reports, ElementsAre(0.0f)) << "reports reach the window only through its messages";
    run_posted();
    EXPECT_THAT(reports, ElementsAre(0.0f, 25.0f, 50.0f, 75.0f))
        << "the superseded job's report still arrives";
}

TEST_F(posting_window, a_report_that_cannot_be_posted_asks_the_engine_to_stop) {
    system_ui::window_task_queue gone; // a window already torn down: posting to it throws
    const com_ptr<zorvane::ICallbackHandler> handler = make_progress_handler(&progress, &gone);
    VARIANT_BOOL go_on = VARIANT_TRUE;
    EXPECT_EQ(handler->progress(10.0f, &go_on), S_OK) << "nothing unwinds into the engine";
    EXPECT_EQ(go_on, VARIANT_FALSE);
    EXPECT_EQ(handler->progress(10.0f, nullptr), E_POINTER);
}

TEST_F(posting_window, an_engine_run_of_a_superseded_job_ends_as_cancelled_and_its_progress_arrives) {
    engine_context root = create_engine_context();
    const engine_context engine = make_engine_context_with_progress(root.root.get(), &progress, &queue);
    EXPECT_EQ(engine.root.get(), root.root.get());
    const image_frame_ptr source = create_engine_image(engine, 8, 8, 8, 0, 1, 2, -1);
    std::uint32_t latest = 1;
    run_as_job(&latest, 1, [&] { EXPECT_TRUE(convert_to_bgra32(engine, 8, *source)); });
    latest = 2;
    run_as_job(&latest, 1, [&] {
        EXPECT_THROW(convert_to_bgra32(engine, 8, *source), cpp::exceptional::user_cancelation);
    });
    run_posted();
    ASSERT_GE(reports.size(), 3u);
    EXPECT_EQ(reports.front(), 0.0f);
    EXPECT_EQ(reports.back(), 0.0f) << "the cancelled run reported its start";
    for (const float percent : reports) {
        EXPECT_GE(percent, 0.0f);
        EXPECT_LE(percent, 100.0f);
    }
}

} // namespace
