#include "pipeline-test-support.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>

#include "pipeline-test.h"

using ::testing::HasSubstr;

namespace {

using namespace pipeline_test;
using namespace tessolux;

// References an object holds besides ours, read without changing it.
ULONG references(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

class frames : public engine_world {};

TEST_F(frames, a_frame_reads_size_and_format_and_clones_share_one_image) {
    image_frame_ptr frame = create_engine_image(engine, 5, 3, 16, 0, 1, 2, -1);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame.frame_width(), 5);
    EXPECT_EQ(frame.frame_height(), 3);
    EXPECT_EQ(frame->format, pixel_format::rgb48);
    zorvane::IImage* const image = frame->image.get();
    EXPECT_EQ(references(image), 1u);
    image_frame_ptr twin = clone_frame(frame);
    EXPECT_EQ(twin->image.get(), image);
    EXPECT_EQ(twin.frame_width(), 5);
    EXPECT_EQ(references(image), 2u);
    frame = image_frame_ptr();
    EXPECT_EQ(references(image), 1u) << "the image stays while the clone holds it";
    twin = std::move(twin);
    EXPECT_TRUE(twin) << "self-assignment keeps the frame";
    EXPECT_FALSE(clone_frame(image_frame_ptr()));
}

TEST_F(frames, output_frames_are_deep_copies_and_copy_image_data_fills_the_target) {
    host_buffer<std::uint8_t> host(3, 2, 3);
    for (std::size_t i = 0; i != host.bytes.size(); ++i)
        host.bytes[i] = static_cast<std::uint8_t>(i * 7);
    const image_frame_ptr wrapped =
        wrap_host_input(engine, host.bytes.data(), 3, 2, host.row_bytes, 8, 0, 1, 2, -1);
    const image_frame_ptr copy = frame_from_output(wrapped);
    ASSERT_TRUE(copy);
    EXPECT_NE(copy->image.get(), wrapped->image.get());
    host.set(0, 0, 0, 99);
    EXPECT_EQ(*pixels_of(*copy).at<std::uint8_t>(0, 0, 3), 0) << "the copy does not follow the host buffer";
    EXPECT_FALSE(frame_from_output(image_frame_ptr()));

    host_buffer<std::uint8_t> out(3, 2, 3);
    const image_frame_ptr target =
        wrap_host_output(engine, out.bytes.data(), 3, 2, out.row_bytes, 8, 0, 1, 2, -1);
    EXPECT_TRUE(copy_image_data(target, wrapped));
    for (std::int32_t y = 0; y != 2; ++y)
        for (std::int32_t x = 0; x != 3; ++x)
            for (std::int32_t c = 0; c != 3; ++c)
                EXPECT_EQ(out.get(x, y, c), host.get(x, y, c));
    EXPECT_EQ(out.bytes[9], 0xEE) << "the output stride's padding stays";

    EXPECT_FALSE(copy_image_data(image_frame_ptr(), wrapped));
    EXPECT_FALSE(copy_image_data(target, image_frame_ptr()));
    const image_frame_ptr small = create_engine_image(engine, 2, 2, 8, 0, 1, 2, -1);
    EXPECT_FALSE(copy_image_data(small, wrapped)) << "a failing engine call answers false, never throws";
}

TEST_F(frames, engine_images_take_the_format_of_the_host_planes) {
    struct expected {
        std::int32_t depth, c0, c1, c2, alpha;
        pixel_format format;
    };
    for (const expected e : {expected{8, 0, 0, 0, -1, pixel_format::gray8},
                             {16, 0, 0, 0, -1, pixel_format::gray16},
                             {8, 0, 1, 2, -1, pixel_format::rgb24},
                             {16, 0, 1, 2, -1, pixel_format::rgb48},
                             {8, 0, 1, 2, 3, pixel_format::rgba32},
                             {16, 0, 1, 2, 3, pixel_format::rgba64}}) {
        EXPECT_EQ(create_engine_image(engine, 2, 1, e.depth, e.c0, e.c1, e.c2, e.alpha)->format, e.format);
        std::vector<std::uint8_t> host(64);
        EXPECT_EQ(wrap_host_input(engine, host.data(), 2, 1, 16, e.depth, e.c0, e.c1, e.c2, e.alpha)->format,
                  e.format);
    }
}

TEST_F(frames, a_dib_section_holds_the_images_pixels_top_down) {
    const image_frame_ptr frame = create_engine_image(engine, 3, 2, 8, 0, 1, 2, -1);
    const pixels p = pixels_of(*frame);
    for (std::int32_t y = 0; y != 2; ++y)
        for (std::int32_t x = 0; x != 3; ++x)
            for (std::int32_t c = 0; c != 3; ++c)
                p.at<std::uint8_t>(x, y, 3)[c] = static_cast<std::uint8_t>(100 * y + 10 * x + c);
    const HBITMAP bitmap = frame_to_bitmap(*frame);
    ASSERT_NE(bitmap, nullptr);
    DIBSECTION dib{};
    ASSERT_EQ(GetObjectW(bitmap, sizeof dib, &dib), static_cast<int>(sizeof dib));
    EXPECT_EQ(dib.dsBmih.biWidth, 3);
    EXPECT_EQ(dib.dsBm.bmHeight, 2);
    EXPECT_EQ(dib.dsBm.bmBitsPixel, 24);
    const auto* bits = static_cast<const std::uint8_t*>(dib.dsBm.bmBits);
    EXPECT_EQ(bits[0], 0);
    EXPECT_EQ(bits[2 * 3 + 1], 21);
    EXPECT_EQ(bits[dib.dsBm.bmWidthBytes + 1 * 3 + 2], 112);
    DeleteObject(bitmap);
    EXPECT_EQ(references(frame->image.get()), 1u) << "the frame keeps its own reference";
}

TEST_F(frames, bgra32_thumbnails_centre_the_picture_on_transparent_black) {
    struct expected {
        std::int32_t width, height, row, column;
    };
    for (const expected e : {expected{4, 2, 1, 0}, expected{2, 4, 0, 1}}) {
        const image_frame_ptr source = create_engine_image(engine, e.width, e.height, 8, 0, 1, 2, -1);
        const pixels p = pixels_of(*source);
        for (std::int32_t y = 0; y != e.height; ++y)
            for (std::int32_t x = 0; x != e.width; ++x) {
                std::uint8_t* px = p.at<std::uint8_t>(x, y, 3);
                px[0] = 200, px[1] = 100, px[2] = 50;
            }
        const image_frame_ptr square = convert_to_bgra32(engine, 4, *source);
        ASSERT_EQ(square.frame_width(), 4);
        ASSERT_EQ(square.frame_height(), 4);
        EXPECT_EQ(square->format, pixel_format::bgra32);
        const pixels s = pixels_of(*square);
        for (std::int32_t y = 0; y != 4; ++y)
            for (std::int32_t x = 0; x != 4; ++x) {
                const std::uint8_t* px = s.at<std::uint8_t>(x, y, 4);
                const bool inside =
                    y >= e.row && y < e.row + e.height && x >= e.column && x < e.column + e.width;
                const std::vector<int> expected_pixel =
                    inside ? std::vector<int>{50, 100, 200, 255} : std::vector<int>{0, 0, 0, 0};
                EXPECT_EQ((std::vector<int>{px[0], px[1], px[2], px[3]}), expected_pixel)
                    << e.width << "x" << e.height << " at " << x << "," << y;
            }
    }
}

TEST_F(frames, png_resources_decode_through_the_engine_and_missing_ones_throw) {
    const HBITMAP bitmap = load_png_resource(engine, 4, GetModuleHandleW(nullptr), IDP_TWO_ROWS);
    ASSERT_NE(bitmap, nullptr);
    DIBSECTION dib{};
    ASSERT_EQ(GetObjectW(bitmap, sizeof dib, &dib), static_cast<int>(sizeof dib));
    EXPECT_EQ(dib.dsBm.bmWidth, 4);
    EXPECT_EQ(dib.dsBm.bmHeight, 2);
    EXPECT_EQ(dib.dsBm.bmBitsPixel, 24);
    const auto* bits = static_cast<const std::uint8_t*>(dib.dsBm.bmBits);
    EXPECT_THAT((std::vector<int>{bits[0], bits[1], bits[2]}), ::testing::ElementsAre(50, 100, 200));
    const auto* second = bits + dib.dsBm.bmWidthBytes + 9;
    EXPECT_THAT((std::vector<int>{second[0], second[1], second[2]}), ::testing::ElementsAre(130, 220, 10));
    DeleteObject(bitmap);

    try {
        load_png_resource(engine, 4, GetModuleHandleW(nullptr), IDP_TWO_ROWS + 1);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "load_png_resource failed at 688 in file \"image-processor.cpp\"\n"
                               " - provided resource could not be found!");
    }
}

TEST_F(frames, shared_data_needs_an_engine) {
    const memoized_data_t data(engine.root.get());
    EXPECT_NE(data.get(), nullptr);
    try {
        memoized_data_t none(nullptr);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "memoized_data_t failed at 498 in file \"image-processor.cpp\"");
    }
}

// The engine and its contexts.
class engine_setup : public engine_world {};

TEST_F(engine_setup, contexts_share_the_root_and_bring_their_own_handler) {
    ASSERT_TRUE(engine.root);
    EXPECT_FALSE(engine.handler) << "the host entry's context has no progress handler";
    const ULONG before = references(engine.root.get());
    {
        const engine_context shared = make_engine_context(engine.root.get());
        EXPECT_EQ(shared.root.get(), engine.root.get());
        EXPECT_TRUE(shared.handler);
        EXPECT_EQ(references(engine.root.get()), before + 1);
    }
    EXPECT_EQ(references(engine.root.get()), before);

    engine_context created = try_create_engine_context();
    EXPECT_TRUE(created.root);
    EXPECT_TRUE(created.handler);
    engine_context moved;
    moved = std::move(created);
    EXPECT_FALSE(created.root);
    EXPECT_TRUE(moved.root);
}

TEST_F(engine_setup, the_registered_server_path_is_found_under_the_local_machine) {
    wchar_t found[4096];
    ASSERT_TRUE(find_engine_server_path(found));
    wchar_t expected[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, expected, MAX_PATH);
    std::wstring path(expected, length);
    path = path.substr(0, path.find_last_of(L'\\') + 1) + engine_file_name;
    EXPECT_EQ(CompareStringOrdinal(found, -1, path.c_str(), -1, TRUE), CSTR_EQUAL);
}

TEST_F(engine_setup, interrupt_and_shutdown_reach_the_engine) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring trace = std::wstring(folder) + L"pipeline-engine-trace.txt";
    DeleteFileW(trace.c_str());
    SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", trace.c_str());
    engine_context traced = create_engine_context();
    SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", nullptr);
    interrupt_engine(traced);
    shutdown_engine(traced);
    traced = {};
    std::ifstream file(trace.c_str());
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "interrupt hr=0x00000000\nshutdown hr=0x00000000\n");
    file.close();
    DeleteFileW(trace.c_str());
}

// The objects the engine calls back.
class callbacks : public engine_world {};

template <class Interface> void expect_com_identity(Interface* object) {
    IUnknown* unknown = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(object));
    Interface* again = nullptr;
    ASSERT_EQ(object->QueryInterface(__uuidof(Interface), reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, object);
    ISupportErrorInfo* support = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)), S_OK);
    EXPECT_NE(static_cast<void*>(support), static_cast<void*>(object));
    IUnknown* back = nullptr;
    ASSERT_EQ(support->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&back)), S_OK);
    EXPECT_EQ(back, unknown) << "one object behind both tables";
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(__uuidof(Interface)), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IUnknown), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
    void* other = &other;
    EXPECT_EQ(object->QueryInterface(IID_IDispatch, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(object->AddRef(), 6u) << "one of the maker and four of the queries";
    for (IUnknown* held : {static_cast<IUnknown*>(unknown), static_cast<IUnknown*>(again),
                           static_cast<IUnknown*>(support), back})
        held->Release();
    EXPECT_EQ(object->Release(), 1u);
}

TEST_F(callbacks, each_object_answers_its_interface_unknown_and_error_info_as_one_object) {
    expect_com_identity(make_frame_receiver().get());
    expect_com_identity(make_progress_handler().get());
    expect_com_identity(make_dib_deleter().get());
}

TEST_F(callbacks, the_receiver_takes_the_first_frame_and_keeps_the_last_image_delivered) {
    const com_ptr<zorvane::IImageReceiver> receiver = make_frame_receiver();
    VARIANT_BOOL accept = VARIANT_FALSE;
    ASSERT_EQ(receiver->accept_frame(0, 3, 10, 10, pixel_format::bgr24, 0, &accept), S_OK);
    EXPECT_EQ(accept, VARIANT_TRUE);
    ASSERT_EQ(receiver->accept_frame(1, 3, 10, 10, pixel_format::bgr24, 0, &accept), S_OK);
    EXPECT_EQ(accept, VARIANT_FALSE);
    const image_frame_ptr first = create_engine_image(engine, 1, 1, 8, 0, 0, 0, -1);
    const image_frame_ptr second = create_engine_image(engine, 1, 1, 8, 0, 0, 0, -1);
    ASSERT_EQ(receiver->deliver_frame(0, first->image.get()), S_OK);
    EXPECT_EQ(references(first->image.get()), 2u);
    ASSERT_EQ(receiver->deliver_frame(0, second->image.get()), S_OK);
    EXPECT_EQ(references(first->image.get()), 1u) << "the first image is let go";
    EXPECT_EQ(references(second->image.get()), 2u);
    ASSERT_EQ(receiver->deliver_frame(0, second->image.get()), S_OK);
    EXPECT_EQ(references(second->image.get()), 2u) << "delivering the kept image again keeps one reference";
    EXPECT_EQ(receiver->end_frames(1, 3), S_OK);
    receiver.get()->AddRef();
    EXPECT_EQ(receiver.get()->Release(), 1u);
}

TEST_F(callbacks, a_plain_progress_handler_always_goes_on) {
    const com_ptr<zorvane::ICallbackHandler> handler = make_progress_handler();
    VARIANT_BOOL go_on = VARIANT_FALSE;
    EXPECT_EQ(handler->progress(50.0f, &go_on), S_OK);
    EXPECT_EQ(go_on, VARIANT_TRUE);
    go_on = VARIANT_FALSE;
    EXPECT_EQ(handler->notify(1, 2, 3, &go_on), S_OK);
    EXPECT_EQ(go_on, VARIANT_TRUE);
    INT32 fewest = 0, most = 0;
    EXPECT_EQ(handler->get_limits(&fewest, &most), S_OK);
    EXPECT_EQ(fewest, 8);
    EXPECT_EQ(most, 200);
}

TEST_F(callbacks, the_dib_deleter_deletes_a_bitmap_once) {
    const com_ptr<zorvane::IObjectManager> deleter = make_dib_deleter();
    const HBITMAP bitmap = CreateBitmap(2, 2, 1, 32, nullptr);
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(deleter->release_object(reinterpret_cast<ULONG_PTR>(bitmap)), S_OK);
    BITMAP described;
    EXPECT_EQ(GetObjectW(bitmap, sizeof described, &described), 0) << "deleted";
    EXPECT_EQ(deleter->release_object(reinterpret_cast<ULONG_PTR>(bitmap)), E_FAIL);
    EXPECT_EQ(deleter->release_object(0), E_FAIL);
    EXPECT_EQ(deleter->unused_slot_3(), E_NOTIMPL);
    EXPECT_EQ(deleter->unused_slot_4(), E_NOTIMPL);
    EXPECT_EQ(deleter->unused_slot_5(), E_NOTIMPL);
}

} // namespace
