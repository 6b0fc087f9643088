// The pointer statistics read from stand-in frames of every layout the preview shows, without a window.
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

TEST(pointer_stats, the_texts_come_from_the_pixel_under_the_pointer_or_wait_while_the_engine_holds_it) {
    ASSERT_GE(OleInitialize(nullptr), 0);
    {
        const tessolux::engine_context engine = tessolux::create_engine_context();
        const std::wstring pattern = tessolux::module_string(IDS_POINTER_POSITION);
        const struct {
            const char* layout;
            std::int32_t depth;
            std::int32_t c1, c2, alpha;
            std::vector<std::uint16_t> samples; // at (3, 2), in the frame's own order
            tessolux::image_point p;
            bool inside;
            std::vector<std::wstring> texts; // R, G, B, A
        } cases[] = {
            {"RGB 8", 8, 1, 2, -1, {200, 100, 7}, {3, 2}, true, {L"200", L"100", L"7", L""}},
            {"RGB 16", 16, 1, 2, -1, {65535, 0x1234, 0}, {3, 2}, true, {L"65535", L"4660", L"0", L""}},
            {"RGBA 8", 8, 1, 2, 3, {1, 2, 3, 128}, {3, 2}, true, {L"1", L"2", L"3", L"128"}},
            {"RGBA 16",
             16,
             1,
             2,
             3,
             {40000, 30000, 20000, 65535},
             {3, 2},
             true,
             {L"40000", L"30000", L"20000", L"65535"}},
            {"gray 8", 8, 0, 0, -1, {77}, {3, 2}, true, {L"77", L"77", L"77", L""}},
            {"left of RGBA 16", 16, 1, 2, 3, {1, 2, 3, 4}, {-1, 2}, false, {L"0", L"0", L"0", L""}},
            {"below RGB 8", 8, 1, 2, -1, {1, 2, 3}, {3, 4}, false, {L"0", L"0", L"0", L""}},
        };
        for (const auto& c : cases) {
            const tessolux::image_frame_ptr frame =
                tessolux::create_engine_image(engine, 5, 4, c.depth, 0, c.c1, c.c2, c.alpha);
            com_ptr<zorvane::IImageData> data;
            BYTE* bits = nullptr;
            INT32 stride = 0;
            UINT32 size = 0;
            ASSERT_TRUE(
                SUCCEEDED(frame->image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void())));
            ASSERT_TRUE(SUCCEEDED(data->get_buffer(&bits, &size, &stride, nullptr, nullptr)));
            std::memset(bits, 0, size);
            const std::size_t bytes = static_cast<std::size_t>(c.depth / 8);
            BYTE* pixel = bits + 2 * stride + 3 * c.samples.size() * bytes;
            for (std::size_t i = 0; i != c.samples.size() * bytes; ++i) // little-endian 16-bit samples
                pixel[i] = static_cast<BYTE>(c.samples[i / bytes] >> (8 * (i % bytes)));

            ASSERT_TRUE(SUCCEEDED(data->try_acquire()));
            EXPECT_FALSE(tessolux::main_window::read_pointer_stats(pattern, *frame, c.p)) << c.layout;
            data->release();
            const std::optional<pointer_stats> stats =
                tessolux::main_window::read_pointer_stats(pattern, *frame, c.p);
            ASSERT_TRUE(stats) << c.layout;
            EXPECT_EQ(stats->position,
                      L"Current Position:  " + std::to_wstring(c.p.x) + L", " + std::to_wstring(c.p.y));
            EXPECT_EQ(stats->inside, c.inside) << c.layout;
            EXPECT_EQ(std::vector<std::wstring>(stats->channels, stats->channels + 4), c.texts) << c.layout;
            EXPECT_EQ(stats->wide, c.inside && c.depth == 16) << c.layout;
        }
    }
    OleUninitialize();
}

} // namespace
