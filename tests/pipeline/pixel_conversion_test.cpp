#include "pipeline-test-support.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <tuple>

#include <gmock/gmock.h>

namespace {

using namespace pipeline_test;
using namespace tessolux;

pixel_format code(int value) {
    return static_cast<pixel_format>(value);
}

TEST(pixel_format, codes_2_to_13_give_size_depth_colour_space_and_sample_order_and_others_are_refused) {
    struct row {
        int code, bits, space;
        int order[4]; // the sample in memory read as R, G, B and A; -1 none
    };
    const row rows[] = {{2, 8, 1, {0, 0, 0, -1}},  {3, 16, 1, {0, 0, 0, -1}}, {4, 24, 2, {2, 1, 0, -1}},
                        {5, 48, 2, {2, 1, 0, -1}}, {6, 24, 2, {0, 1, 2, -1}}, {7, 48, 2, {0, 1, 2, -1}},
                        {8, 32, 4, {2, 1, 0, 3}},  {9, 64, 4, {2, 1, 0, 3}},  {10, 32, 4, {1, 2, 0, 3}},
                        {11, 64, 4, {1, 2, 0, 3}}, {12, 32, 4, {0, 1, 2, 3}}, {13, 64, 4, {0, 1, 2, 3}}};
    for (const row& r : rows) {
        const bool wide = r.code % 2 == 1;
        EXPECT_EQ(zorvane::get_bits_per_pixel(code(r.code)), r.bits) << r.code;
        EXPECT_EQ(zorvane::get_channels_bitdepth(code(r.code)), wide ? 16 : 8) << r.code;
        EXPECT_EQ(zorvane::get_colorspace(code(r.code)), r.space) << r.code;
        // The pixel at (1, 1) of rows of 24 bytes; its samples 11, 22, 33, 44 (1011... at 16 bits).
        BYTE buffer[64] = {};
        const auto value = [&](int s) { return (s + 1) * 11 + (wide ? 1000 : 0); };
        for (int s = 0; s != r.bits / (wide ? 16 : 8); ++s) {
            const std::uint16_t sample = static_cast<std::uint16_t>(value(s));
            std::memcpy(buffer + 24 + r.bits / 8 + s * (wide ? 2 : 1), &sample, wide ? 2 : 1);
        }
        std::uint64_t expected = 0;
        for (int lane = 0; lane != 4; ++lane)
            expected |= r.order[lane] < 0 ? 0 : std::uint64_t(value(r.order[lane])) << 16 * lane;
        EXPECT_EQ(zorvane::select_RGB_RGBA(code(r.code), 1, 1, buffer, 24), expected) << r.code;
    }
    const BYTE buffer[8] = {};
    for (const int refused : {0, 1, 14, -2}) {
        EXPECT_EQ(zorvane::get_bits_per_pixel(code(refused)), refused == 1 ? 1 : -1) << refused;
        EXPECT_THROW(zorvane::get_channels_bitdepth(code(refused)), std::invalid_argument) << refused;
        EXPECT_THROW(zorvane::get_colorspace(code(refused)), std::invalid_argument) << refused;
        EXPECT_THROW(zorvane::select_RGB_RGBA(code(refused), 0, 0, buffer, 8), std::runtime_error) << refused;
    }
}

TEST(format_for_planes, gray_colour_or_colour_with_alpha_at_8_bits_or_else_16) {
    struct row {
        std::int32_t depth, c1, alpha;
        pixel_format format;
    };
    const row rows[] = {{8, 0, -1, pixel_format::gray8}, {16, 0, -1, pixel_format::gray16},
                        {8, 1, -1, pixel_format::rgb24}, {16, 1, -1, pixel_format::rgb48},
                        {8, 1, 3, pixel_format::rgba32}, {16, 1, 3, pixel_format::rgba64},
                        {12, 1, 3, pixel_format::rgba64}};
    for (const row& r : rows)
        EXPECT_EQ(format_for_planes(r.depth, 0, r.c1, 2 * r.c1, r.alpha), r.format) << r.depth << " " << r.c1;
}

// The host's 16-bit range ends at 32768, the engine's at 65535. The values are the rule's, written out:
// black, the smallest step, the middle, the last value below white, and white; and 8-bit samples, which
// the engine takes as they are.
struct range_value {
    std::uint16_t host, engine;
    std::uint8_t eight;
};
constexpr range_value range_values[] = {
    {0, 0, 0}, {1, 2, 1}, {16384, 32768, 128}, {32767, 65534, 254}, {32768, 65535, 255}};

TEST(range_conversion, host_samples_widen_to_the_engine_range_and_narrow_back_to_what_they_were) {
    for (const range_value& v : range_values) {
        EXPECT_EQ(widen_sample(v.host), v.engine) << v.host;
        EXPECT_EQ(narrow_sample(v.engine), v.host) << v.engine;
    }
}

class host_conversion : public engine_world {};

// Every sample of every row, whatever the channel count; 8-bit images are the engine's range already.
TEST_F(host_conversion, scaling_a_frame_converts_every_16_bit_sample_and_leaves_8_bit_samples_alone) {
    constexpr std::int32_t width = 5, height = 2;
    for (const std::int32_t depth : {16, 8})
        for (const std::int32_t channels : {1, 3, 4}) {
            const std::int32_t c1 = channels == 1 ? 0 : 1, alpha = channels == 4 ? 3 : -1;
            const image_frame_ptr frame =
                create_engine_image(engine, width, height, depth, 0, c1, 2 * c1, alpha);
            const pixels p = pixels_of(*frame);
            const auto sample = [&](std::int32_t i) -> BYTE* {
                const std::int32_t row = i / (width * channels), column = i % (width * channels);
                return p.data + row * p.stride + column * depth / 8;
            };
            const std::int32_t samples = width * height * channels;
            const auto fill = [&](bool engine_range) {
                for (std::int32_t i = 0; i != samples; ++i) {
                    const range_value& v = range_values[i % 5];
                    const std::uint16_t value = depth == 8 ? v.eight : engine_range ? v.engine : v.host;
                    std::memcpy(sample(i), &value, depth / 8);
                }
            };
            const auto holds = [&](bool engine_range) {
                for (std::int32_t i = 0; i != samples; ++i) {
                    const range_value& v = range_values[i % 5];
                    std::uint16_t value = 0;
                    std::memcpy(&value, sample(i), depth / 8);
                    const std::uint16_t expected = depth == 8 ? v.eight : engine_range ? v.engine : v.host;
                    if (value != expected)
                        return testing::AssertionFailure() << "sample " << i << " is " << value;
                }
                return testing::AssertionSuccess();
            };
            const std::string name =
                std::to_string(channels) + " channels of " + std::to_string(depth) + " bits";
            fill(false);
            scale_image_channels(*frame, true);
            EXPECT_TRUE(holds(true)) << "into the engine's range: " << name;
            if (depth == 16)
                fill(true);
            scale_image_channels(*frame, false);
            EXPECT_TRUE(holds(false)) << "back to the host's range: " << name;
        }
}

TEST_F(host_conversion, sample_pixel_reads_inside_answers_zero_outside_and_skips_a_held_image) {
    const image_frame_ptr frame = create_engine_image(engine, 3, 2, 16, 0, 1, 2, 3);
    std::uint16_t* px = pixels_of(*frame).at<std::uint16_t>(2, 1, 4);
    px[0] = 100, px[1] = 200, px[2] = 300, px[3] = 400;
    std::vector<std::tuple<std::uint64_t, bool, bool>> seen;
    const cpp::moveonly_function<void(std::uint64_t, bool, bool)> record =
        [&](std::uint64_t c, bool w, bool a) { seen.emplace_back(c, w, a); };
    // Inside, then beyond the right and bottom edges, and left of or above the image.
    for (const auto& [x, y] : {std::pair{2, 1}, {3, 0}, {0, 2}, {-1, 0}, {0, -1}, {INT32_MIN, INT32_MIN}})
        ASSERT_TRUE(sample_pixel(*frame, x, y, record));
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0], std::make_tuple(100u | 200u << 16 | 300ull << 32 | 400ull << 48, true, true));
    for (std::size_t i = 1; i != 6; ++i)
        EXPECT_EQ(seen[i], std::make_tuple(0ull, false, false)) << i;

    com_ptr<zorvane::IImageData> data;
    ASSERT_EQ(frame->image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void()), S_OK);
    ASSERT_EQ(data->try_acquire(), S_OK);
    EXPECT_FALSE(sample_pixel(*frame, 0, 0, record)) << "the engine is writing the image";
    ASSERT_EQ(data->release(), S_OK);
    EXPECT_EQ(seen.size(), 6u) << "and the callback is not called";
    EXPECT_TRUE(sample_pixel(*frame, 0, 0, record));
    EXPECT_EQ(data->try_acquire(), S_OK) << "the read lock was given back";
    data->release();
}

// Rows long enough for every whole-register path and its remainder, over every layout and depth,
// checked pixel by pixel against the rules: gray enters as (v, v, v, mask) and comes back as the first
// processed sample; colour keeps its order; alpha is scaled by the mask going in and always comes back
// from the unprocessed pixel; unselected pixels come back as they were; row padding stays.
template <class Sample> void check_wide_rows(const engine_context& engine, std::int32_t channels) {
    constexpr bool wide = sizeof(Sample) == 2;
    const std::int32_t depth = wide ? 16 : 8, width = 53, height = 4;
    const std::int32_t c1 = channels == 1 ? 0 : 1, c2 = 2 * c1, alpha = channels == 4 ? 3 : -1;
    const std::string name = std::to_string(channels) + " channels of " + std::to_string(depth) + " bits";
    std::uint32_t seed = 12345 + channels * 7 + depth;
    const auto next = [&] { return (seed = seed * 1103515245 + 12345) >> 8; };
    const std::uint32_t top = wide ? 32768 : 255;
    // The rules, in plain 32-bit arithmetic: 0..32767 double and 32768 becomes 65535; going back halves,
    // rounding up. 8-bit samples stay as they are.
    const auto widen = [&](std::uint32_t v) -> std::uint32_t { return wide ? std::min(2 * v, 65535u) : v; };
    const auto narrow = [&](std::uint32_t v) -> std::uint32_t { return wide ? (v + 1) / 2 : v; };
    host_buffer<Sample> host(width, height, channels);
    host_buffer<std::uint8_t> mask(width, height, 1);
    const std::uint8_t mask_values[] = {0, 1, 77, 128, 255};
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 0; x != width; ++x) {
            for (std::int32_t c = 0; c != channels; ++c) {
                const std::uint32_t r = next() % 10;
                host.set(x, y, c, static_cast<Sample>(r == 0 ? 0 : r == 1 ? top : next() % (top + 1)));
            }
            // Row 0 all selected, row 1 none, then mixed values, then runs.
            mask.set(x, y, 0,
                     y == 0   ? 255
                     : y == 1 ? 0
                     : y == 2 ? mask_values[next() % 5]
                              : (x / 20) % 2 * 255);
        }
    host.set(0, 0, 0, static_cast<Sample>(top));
    mask.set(0, 2, 0, 128);
    if (channels == 4)
        host.set(0, 2, 3, 200);

    const image_frame_ptr frame = create_engine_image(engine, width, height, depth, 0, 1, 2, 3);
    copy_host_to_frame(host.bytes.data(), host.row_bytes, 0, c1, c2, alpha, mask.bytes.data(), mask.row_bytes,
                       *frame);
    const pixels in = pixels_of(*frame);
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 0; x != width; ++x) {
            const Sample* px = in.at<Sample>(x, y, 4);
            const std::uint32_t m = mask.get(x, y);
            for (std::int32_t c = 0; c != 3; ++c)
                ASSERT_EQ(px[c], widen(host.get(x, y, channels == 1 ? 0 : c)))
                    << name << " at " << x << "," << y;
            ASSERT_EQ(px[3], channels == 4 ? widen(host.get(x, y, 3) * m / 255) : wide ? m * 256 : m) << name;
        }
    if (channels == 4) {
        EXPECT_EQ(in.at<Sample>(0, 2, 4)[3], widen(100)) << "alpha 200 under the mask 128 enters as 100";
    }

    // The engine's work: every sample of every other pixel changed, alpha included.
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 1; x < width; x += 2)
            for (std::int32_t c = 0; c != 4; ++c)
                in.at<Sample>(x, y, 4)[c] = static_cast<Sample>(next() % (wide ? 65536 : 256));
    const image_frame_ptr unprocessed =
        wrap_host_input(engine, host.bytes.data(), width, height, host.row_bytes, depth, 0, c1, c2, alpha);
    host_buffer<Sample> output(width, height, channels);
    copy_frame_to_host(*unprocessed, *frame, mask.bytes.data(), mask.row_bytes, output.bytes.data(),
                       output.row_bytes, 0, c1, c2, alpha);
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 0; x != width; ++x)
            for (std::int32_t c = 0; c != channels; ++c) {
                const std::uint32_t processed = in.at<Sample>(x, y, 4)[c];
                const bool merged = mask.get(x, y) != 0 && c != 3;
                ASSERT_EQ(output.get(x, y, c), merged ? narrow(processed) : host.get(x, y, c))
                    << name << " at " << x << "," << y << " sample " << c;
            }
    for (std::int32_t y = 0; y != height; ++y)
        for (std::size_t i = output.offset(width, y, 0); i != output.offset(0, y + 1, 0); ++i)
            ASSERT_EQ(output.bytes[i], 0xEE) << "nothing is written beyond a row's pixels: " << name;
    EXPECT_EQ(output.get(0, 0, 0), top) << "an untouched selected white pixel comes back unchanged: " << name;
    if (channels == 4) {
        EXPECT_EQ(output.get(0, 2, 3), 200) << "a soft selection keeps the layer's opacity: " << name;
    }
}

TEST_F(host_conversion, rows_of_every_layout_convert_by_the_per_pixel_rules_under_the_mask) {
    for (const std::int32_t channels : {1, 3, 4}) {
        check_wide_rows<std::uint8_t>(engine, channels);
        check_wide_rows<std::uint16_t>(engine, channels);
    }
}

} // namespace

namespace {

// A frame of the given shape in the channel layout the host entry uses for that channel count.
image_frame_ptr frame_of(const engine_context& engine, std::int32_t width, std::int32_t height,
                         std::int32_t depth, std::int32_t channels) {
    const std::int32_t c1 = channels == 1 ? 0 : 1, alpha = channels == 4 ? 3 : -1;
    return create_engine_image(engine, width, height, depth, 0, c1, 2 * c1, alpha);
}

bool all_bytes_are(const pixels& p, std::uint8_t value) {
    return std::all_of(p.data, p.data + p.bytes, [value](BYTE b) { return b == value; });
}

} // namespace

// The copies read and write as many rows and pixels as their frames say. A frame that is not of the
// host area's shape, or host rows too short for it, is refused before any buffer is touched.
TEST_F(host_conversion, copies_refuse_frames_and_rows_that_do_not_fit_the_host_area_and_write_nothing) {
    constexpr std::int32_t w = 6, h = 3, rgb_row = w * 3;
    struct shape {
        std::int32_t width, height, depth, channels;
    };
    constexpr shape fits{w, h, 8, 4}, host_area{w, h, 8, 3};
    struct row {
        const char* name;
        bool into_frame; // copy_host_to_frame; else copy_frame_to_host
        shape frame;     // the destination going in, the processed frame going back
        shape unprocessed;
        std::int32_t host_row_bytes, mask_row_bytes;
    };
    const row rows[] = {
        {"a three-channel destination", true, {w, h, 8, 3}, {}, rgb_row, w},
        {"a destination wider than the host's rows", true, {w + 2, h, 8, 4}, {}, rgb_row, w + 2},
        {"a 16-bit destination over 8-bit host rows", true, {w, h, 16, 4}, {}, rgb_row, w},
        {"mask rows shorter than the destination's", true, fits, {}, rgb_row, w - 1},
        {"a three-channel processed frame", false, {w, h, 8, 3}, host_area, rgb_row, w},
        {"a processed frame narrower than the area", false, {w - 1, h, 8, 4}, host_area, rgb_row, w},
        {"a processed frame taller than the area", false, {w, h + 1, 8, 4}, host_area, rgb_row, w},
        {"a processed frame of another depth", false, {w, h, 16, 4}, host_area, rgb_row, w},
        {"an unprocessed frame not in the host's layout", false, fits, {w, h, 8, 1}, rgb_row, w},
        {"output rows shorter than the area", false, fits, host_area, rgb_row - 1, w},
        {"mask rows shorter than the area", false, fits, host_area, rgb_row, w - 1},
    };
    for (const row& r : rows) {
        // Room for whatever an unchecked copy would reach, so that it shows as written bytes.
        std::vector<std::uint8_t> host(4096, 0xEE), mask(4096, 255);
        const image_frame_ptr frame =
            frame_of(engine, r.frame.width, r.frame.height, r.frame.depth, r.frame.channels);
        if (r.into_frame) {
            EXPECT_THROW(copy_host_to_frame(host.data(), r.host_row_bytes, 0, 1, 2, -1, mask.data(),
                                            r.mask_row_bytes, *frame),
                         std::invalid_argument)
                << r.name;
            EXPECT_TRUE(all_bytes_are(pixels_of(*frame), 0)) << "the destination is untouched: " << r.name;
            continue;
        }
        const image_frame_ptr unprocessed = frame_of(engine, r.unprocessed.width, r.unprocessed.height,
                                                     r.unprocessed.depth, r.unprocessed.channels);
        EXPECT_THROW(copy_frame_to_host(*unprocessed, *frame, mask.data(), r.mask_row_bytes, host.data(),
                                        r.host_row_bytes, 0, 1, 2, -1),
                     std::invalid_argument)
            << r.name;
        EXPECT_THAT(host, testing::Each(0xEE)) << "the output is untouched: " << r.name;
    }
}
