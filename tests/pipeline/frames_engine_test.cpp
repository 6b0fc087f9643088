// Frames, the preview canvas and the objects the engine calls back.
#include "pipeline-test-support.h"

#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>

#include <gmock/gmock.h>

#include "pipeline-test.h"
#include "plugin/worker-lanes.h"
#include "win-common.h"

using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

namespace {

using namespace pipeline_test;
using namespace tessolux;

std::vector<int> bytes_at(const void* at, int count) {
    const auto* bytes = static_cast<const std::uint8_t*>(at);
    return {bytes, bytes + count};
}

class frames : public engine_world {};

TEST_F(frames, thumbnails_centre_the_picture_on_transparent_black) {
    struct placement {
        std::int32_t width, height, row, column;
    };
    for (const placement e : {placement{4, 2, 1, 0}, {2, 4, 0, 1}}) {
        const image_frame_ptr source = create_engine_image(engine, e.width, e.height, 8, 0, 1, 2, -1);
        const pixels p = pixels_of(*source);
        for (std::int32_t y = 0; y != e.height; ++y)
            for (std::int32_t x = 0; x != e.width; ++x)
                std::memcpy(p.at<std::uint8_t>(x, y, 3), "\xC8\x64\x32", 3); // R 200, G 100, B 50
        const image_frame_ptr square = convert_to_bgra32(engine, 4, *source);
        ASSERT_EQ(square.frame_width(), 4);
        ASSERT_EQ(square.frame_height(), 4);
        ASSERT_EQ(square->format, pixel_format::bgra32);
        for (std::int32_t y = 0; y != 4; ++y)
            for (std::int32_t x = 0; x != 4; ++x) {
                const bool inside =
                    y >= e.row && y < e.row + e.height && x >= e.column && x < e.column + e.width;
                EXPECT_EQ(bytes_at(pixels_of(*square).at<std::uint8_t>(x, y, 4), 4),
                          (inside ? std::vector<int>{50, 100, 200, 255} : std::vector<int>{0, 0, 0, 0}))
                    << e.width << "x" << e.height << " at " << x << "," << y;
            }
    }
}

// The engine, except that its scaled copies come out larger than the size asked for.
class oversized_scaling final : public zorvane::IProcessor {
public:
    oversized_scaling(zorvane::IProcessor* engine, std::int32_t extra_width, std::int32_t extra_height)
        : engine_(engine), extra_width_(extra_width), extra_height_(extra_height) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** out) override {
        *out = id == IID_IUnknown || id == __uuidof(zorvane::IProcessor) ? this : nullptr;
        return *out != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE create_scaled_copy(zorvane::IImage*, INT32 size, VARIANT_BOOL, DWORD,
                                                 zorvane::IImage** copy) override {
        return engine_->create_image(size + extra_width_, size + extra_height_, pixel_format::rgb24, copy);
    }
    HRESULT STDMETHODCALLTYPE create_image(INT32 width, INT32 height, pixel_format format,
                                           zorvane::IImage** image) override {
        ++images_made;
        return engine_->create_image(width, height, format, image);
    }
    HRESULT STDMETHODCALLTYPE create_chain(zorvane::IFilterChain** chain) override {
        return engine_->create_chain(chain);
    }
    HRESULT STDMETHODCALLTYPE wrap_output_memory(BYTE* data, INT32 width, INT32 height, pixel_format format,
                                                 INT32 stride, zorvane::IImage** image) override {
        return engine_->wrap_output_memory(data, width, height, format, stride, image);
    }
    // What a thumbnail does not need.
    HRESULT STDMETHODCALLTYPE create_stream_provider(zorvane::IStreamProvider**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE unused_slot_4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE create_image_decoder(zorvane::IImageDecoder**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE create_shared_data(IUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE unused_slot_7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE unused_slot_9() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE create_image_on_memory(BYTE*, INT32, INT32, pixel_format, INT32, ULONG_PTR,
                                                     zorvane::IObjectManager*, zorvane::IImage**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE wrap_input_memory(BYTE*, INT32, INT32, pixel_format, INT32,
                                                zorvane::IImage**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE unused_slot_14() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE unused_slot_15() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE unused_slot_16() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE unused_slot_17() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE unused_slot_18() override { return E_NOTIMPL; }

    int images_made = 0;

private:
    zorvane::IProcessor* engine_;
    std::int32_t extra_width_, extra_height_;
};

TEST_F(frames, a_thumbnail_whose_scaled_copy_overflows_the_square_is_refused_before_the_square_is_made) {
    const image_frame_ptr source = create_engine_image(engine, 3, 3, 8, 0, 1, 2, -1);
    // Wider, taller, or both, than the square of 4.
    for (const auto& [wider, taller] : {std::pair{2, -3}, std::pair{-3, 2}, std::pair{1, 1}}) {
        oversized_scaling scaling(engine.root.get(), wider, taller);
        const engine_context oversized{com_ptr<zorvane::IProcessor>::retain(&scaling), {}};
        EXPECT_THROW(convert_to_bgra32(oversized, 4, *source), std::runtime_error) << wider << "," << taller;
        EXPECT_EQ(scaling.images_made, 0) << wider << "," << taller;
    }
}

TEST_F(frames, png_resources_decode_into_top_down_bitmaps_and_a_missing_id_throws) {
    const HBITMAP bitmap = load_png_resource(engine, 4, GetModuleHandleW(nullptr), IDP_TWO_ROWS);
    ASSERT_NE(bitmap, nullptr);
    DIBSECTION dib{};
    ASSERT_EQ(GetObjectW(bitmap, sizeof dib, &dib), static_cast<int>(sizeof dib));
    EXPECT_EQ(dib.dsBm.bmWidth, 4);
    EXPECT_EQ(dib.dsBm.bmHeight, 2);
    EXPECT_EQ(bytes_at(dib.dsBm.bmBits, 3), (std::vector<int>{50, 100, 200})) << "the top row first";
    EXPECT_EQ(bytes_at(static_cast<BYTE*>(dib.dsBm.bmBits) + dib.dsBm.bmWidthBytes + 9, 3),
              (std::vector<int>{130, 220, 10}));
    DeleteObject(bitmap);
    EXPECT_THAT([&] { load_png_resource(engine, 4, GetModuleHandleW(nullptr), IDP_TWO_ROWS + 1); },
                ThrowsMessage<std::invalid_argument>(
                    StrEq("load_png_resource failed at 688 in file \"image-processor.cpp\"\n"
                          " - provided resource could not be found!")));
}

// Whether another thread can take the lock and give it back within a few seconds.
bool lock_is_free(cpp::threading::cacheline_lock& lock) {
    auto taker = std::async(std::launch::async, [&] {
        lock.lock();
        lock.unlock();
    });
    if (taker.wait_for(std::chrono::seconds(5)) == std::future_status::ready)
        return true;
    lock.unlock(); // let the taker finish, so that the test can end
    return false;
}

TEST_F(frames, canvas_rows_are_whole_words_of_three_byte_pixels_in_the_bitmaps_own_memory) {
    EXPECT_EQ(preview_canvas::stride_for(1), 4);
    EXPECT_EQ(preview_canvas::stride_for(5), 16);
    for (const std::int32_t width : {1, 5}) {
        preview_canvas_ptr held = make_preview_canvas(engine, width, 3);
        image_frame_ptr frame =
            clone_frame(make_image_frame(com_ptr<zorvane::IImage>::retain(held->image.get())));
        EXPECT_EQ(frame->format, pixel_format::bgr24);
        const pixels p = pixels_of(*frame);
        EXPECT_EQ(p.stride, preview_canvas::stride_for(width));
        EXPECT_EQ(p.rows(), 3);
        DIBSECTION dib{};
        const HBITMAP bitmap = held->bitmap;
        ASSERT_EQ(GetObjectW(bitmap, sizeof dib, &dib), static_cast<int>(sizeof dib));
        EXPECT_EQ(dib.dsBm.bmWidthBytes, p.stride);
        EXPECT_EQ(dib.dsBm.bmBits, p.data) << "the engine image is the bitmap's memory";
        frame = image_frame_ptr();
        held.reset();
        EXPECT_EQ(GetObjectW(bitmap, sizeof dib, &dib), 0) << "the engine deleted the bitmap with the canvas";
    }
}

TEST_F(frames, canvas_holders_give_the_lock_and_the_dc_back_on_every_road_and_record_the_render) {
    const preview_canvas_ptr held = make_preview_canvas(engine, 5, 3);
    const HDC dc = held->memory_dc.get();
    preview_rect impact{1, 2, 3, 4};
    auto [release, painting] = lock_canvas_dc(held, impact);
    EXPECT_EQ(impact.width, 0) << "nothing rendered yet";
    EXPECT_EQ(GetCurrentObject(painting, OBJ_BITMAP), held->bitmap);
    release(painting);
    EXPECT_TRUE(lock_is_free(held->lock));
    { auto uncalled = lock_canvas_dc(held, impact); }
    EXPECT_TRUE(lock_is_free(held->lock)) << "a releaser that goes uncalled gives the lock back";
    try {
        const locked_canvas drawing = lock_canvas(*held);
        throw std::runtime_error("drawing failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(lock_is_free(held->lock)) << "an exception leaving the holder's scope";
    EXPECT_NE(GetCurrentObject(dc, OBJ_BITMAP), held->bitmap) << "the DC holds what it held before";
    {
        const locked_canvas render = lock_canvas(*held, preview_rect{10, 20, 5, 3});
        const pixels p = pixels_of(*make_image_frame(com_ptr<zorvane::IImage>::retain(render.image())));
        std::memcpy(p.at<std::uint8_t>(2, 1, 3), "\x30\x20\x10", 3); // B, G, R
    }
    auto [again, same_dc] = lock_canvas_dc(held, impact);
    EXPECT_THAT(std::vector<int>({impact.x, impact.y, impact.width, impact.height}),
                ElementsAre(10, 20, 5, 3));
    EXPECT_EQ(GetPixel(same_dc, 2, 1), RGB(0x10, 0x20, 0x30))
        << "what the engine rendered is what is blitted";
    again(same_dc);
    EXPECT_THROW(lock_canvas_dc(preview_canvas_ptr(), impact), std::logic_error);
}

template <class Interface> void expect_com_identity(Interface* object) {
    com_ptr<IUnknown> unknown, back;
    com_ptr<Interface> again;
    com_ptr<ISupportErrorInfo> support;
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, unknown.put_void()), S_OK);
    ASSERT_EQ(object->QueryInterface(__uuidof(Interface), again.put_void()), S_OK);
    ASSERT_EQ(object->QueryInterface(IID_ISupportErrorInfo, support.put_void()), S_OK);
    ASSERT_EQ(support->QueryInterface(IID_IUnknown, back.put_void()), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown.get()), static_cast<void*>(object));
    EXPECT_EQ(again.get(), object);
    EXPECT_EQ(back.get(), unknown.get()) << "one object behind both tables";
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(__uuidof(Interface)), S_OK);
    void* other = &other;
    EXPECT_EQ(object->QueryInterface(IID_IDispatch, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    object->AddRef();
    EXPECT_EQ(object->Release(), 5u) << "one reference of the maker and four of the queries";
}

TEST_F(frames, callback_objects_answer_their_interface_unknown_and_error_info_as_one_object) {
    expect_com_identity(make_frame_receiver().get());
    expect_com_identity(make_progress_handler().get());
    expect_com_identity(make_dib_deleter().get());
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

// Reports go to a window that receives posted tasks without ever being shown.
TEST(progress_handler, posts_reports_to_the_window_tells_a_superseded_job_to_stop_and_never_throws) {
    const HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    system_ui::window_task_queue queue(window, 1000);
    std::vector<float> reports;
    const cpp::moveonly_function<void(float)> progress = [&](float percent) { reports.push_back(percent); };
    const com_ptr<zorvane::ICallbackHandler> handler = make_progress_handler(&progress, &queue);
    EXPECT_THAT(reports, ElementsAre(0.0f)) << "the bar starts at nothing, at once";
    std::uint32_t latest = 3;
    VARIANT_BOOL go_on[4] = {};
    run_as_job(&latest, 3, [&] {
        EXPECT_EQ(handler->progress(25.0f, &go_on[0]), S_OK);
        latest = 4;
        EXPECT_EQ(handler->progress(50.0f, &go_on[1]), S_OK);
    });
    EXPECT_EQ(handler->progress(75.0f, &go_on[2]), S_OK);
    EXPECT_THAT(reports, ElementsAre(0.0f)) << "reports reach the window only through its messages";
    MSG message;
    while (PeekMessageW(&message, window, system_ui::posted_task_message, system_ui::posted_task_message,
                        PM_REMOVE))
        system_ui::run_posted_tasks(queue, window, message.message, message.wParam);
    EXPECT_THAT(reports, ElementsAre(0.0f, 25.0f, 50.0f, 75.0f))
        << "the superseded job's report still arrives";

    system_ui::window_task_queue gone; // a window already torn down: posting to it throws
    EXPECT_EQ(make_progress_handler(&progress, &gone)->progress(10.0f, &go_on[3]), S_OK) << "nothing unwinds";
    EXPECT_THAT(go_on, ElementsAre(VARIANT_TRUE, VARIANT_FALSE, VARIANT_TRUE, VARIANT_FALSE))
        << "stop once a newer job is queued or the report cannot be posted; a thread of no lane goes on";
    DestroyWindow(window);
}

} // namespace
