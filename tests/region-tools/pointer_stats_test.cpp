// The pointer statistics read from engine frames of every layout the preview shows, without a window: the
// stand-in engine makes the frames, the test writes one known pixel.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <ole2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "plugin/region-rules.h"
#include "resource.h"

namespace {

using tessolux::main_window::pointer_stats;
using tessolux::main_window::read_pointer_stats;

class pointer_stats_reading : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(OleInitialize(nullptr), 0);
        engine = tessolux::create_engine_context();
        pattern = tessolux::module_string(IDS_POINTER_POSITION);
    }
    void TearDown() override {
        engine = {};
        OleUninitialize();
    }

    // A 5 x 4 frame of zeros with the given samples (8 or 16 bits each, in the frame's own order) at (3, 2).
    tessolux::image_frame_ptr frame_with(std::int32_t depth, bool gray, bool alpha,
                                         const std::vector<std::uint16_t>& samples) {
        tessolux::image_frame_ptr frame =
            gray ? tessolux::create_engine_image(engine, 5, 4, depth, 0, 0, 0, -1)
                 : tessolux::create_engine_image(engine, 5, 4, depth, 0, 1, 2, alpha ? 3 : -1);
        com_ptr<zorvane::IImageData> data;
        BYTE* bits = nullptr;
        INT32 stride = 0;
        UINT32 size = 0;
        if (FAILED(frame->image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void())) ||
            FAILED(data->get_buffer(&bits, &size, &stride, nullptr, nullptr)))
            throw std::runtime_error("the frame has no buffer");
        std::memset(bits, 0, size);
        const int bytes = depth / 8;
        BYTE* pixel = bits + 2 * stride + 3 * static_cast<int>(samples.size()) * bytes;
        for (std::size_t i = 0; i != samples.size(); ++i) {
            pixel[i * bytes] = static_cast<BYTE>(samples[i] & 0xFF);
            if (bytes == 2)
                pixel[i * bytes + 1] = static_cast<BYTE>(samples[i] >> 8);
        }
        return frame;
    }

    tessolux::engine_context engine;
    std::wstring pattern;
};

TEST_F(pointer_stats_reading, the_four_texts_come_from_the_pixel_under_the_pointer) {
    const struct {
        const char* layout;
        std::int32_t depth;
        bool gray, alpha;
        std::vector<std::uint16_t> samples;
        const wchar_t* channels[4];
        bool wide;
    } cases[] = {
        {"RGB 8", 8, false, false, {200, 100, 7}, {L"200", L"100", L"7", L""}, false},
        {"RGB 16", 16, false, false, {65535, 0x1234, 0}, {L"65535", L"4660", L"0", L""}, true},
        {"RGBA 8", 8, false, true, {1, 2, 3, 128}, {L"1", L"2", L"3", L"128"}, false},
        {"RGBA 16",
         16,
         false,
         true,
         {40000, 30000, 20000, 65535},
         {L"40000", L"30000", L"20000", L"65535"},
         true},
        {"RGBA 8 transparent", 8, false, true, {9, 8, 7, 0}, {L"9", L"8", L"7", L"0"}, false},
        {"gray 8", 8, true, false, {77}, {L"77", L"77", L"77", L""}, false},
    };
    for (const auto& c : cases) {
        const tessolux::image_frame_ptr frame = frame_with(c.depth, c.gray, c.alpha, c.samples);
        const std::optional<pointer_stats> stats = read_pointer_stats(pattern, *frame, {3, 2});
        ASSERT_TRUE(stats) << c.layout;
        EXPECT_EQ(stats->position, L"Current Position:  3, 2") << c.layout;
        EXPECT_TRUE(stats->inside) << c.layout;
        for (int i = 0; i != 4; ++i)
            EXPECT_EQ(stats->channels[i], c.channels[i]) << c.layout << " channel " << i;
        EXPECT_EQ(stats->wide, c.wide) << c.layout;
    }
}

TEST_F(pointer_stats_reading, outside_the_image_the_position_shows_and_the_values_are_zeros_without_alpha) {
    const tessolux::image_frame_ptr frame = frame_with(16, false, true, {1, 2, 3, 4});
    const struct {
        tessolux::image_point p;
        const wchar_t* position;
    } cases[] = {
        {{-1, 2}, L"Current Position:  -1, 2"},
        {{5, 0}, L"Current Position:  5, 0"},
        {{0, 4}, L"Current Position:  0, 4"},
    };
    for (const auto& c : cases) {
        const std::optional<pointer_stats> stats = read_pointer_stats(pattern, *frame, c.p);
        ASSERT_TRUE(stats);
        EXPECT_EQ(stats->position, c.position);
        EXPECT_FALSE(stats->inside) << c.p.x << "," << c.p.y;
        EXPECT_EQ(stats->channels[0], L"0");
        EXPECT_EQ(stats->channels[2], L"0");
        EXPECT_EQ(stats->channels[3], L"");
        EXPECT_FALSE(stats->wide);
    }
}

TEST_F(pointer_stats_reading, a_frame_the_engine_holds_gives_no_readout_until_it_is_free) {
    const tessolux::image_frame_ptr frame = frame_with(8, false, false, {10, 20, 30});
    com_ptr<zorvane::IImageData> data;
    ASSERT_TRUE(SUCCEEDED(frame->image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void())));
    ASSERT_TRUE(SUCCEEDED(data->try_acquire()));
    EXPECT_FALSE(read_pointer_stats(pattern, *frame, {3, 2}));
    data->release();
    const std::optional<pointer_stats> stats = read_pointer_stats(pattern, *frame, {3, 2});
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->channels[1], L"20");
}

} // namespace
