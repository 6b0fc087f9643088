#include "pipeline-test-support.h"

#include <stdexcept>
#include <string>

#include <gmock/gmock.h>

using ::testing::EndsWith;
using ::testing::StartsWith;

namespace {

using namespace pipeline_test;
using namespace tessolux;

pixel_format code(int value) {
    return static_cast<pixel_format>(value);
}

TEST(pixel_format, properties_follow_the_code_table) {
    const int bits[] = {8, 16, 24, 48, 24, 48, 32, 64, 32, 64, 32, 64};
    const int spaces[] = {1, 1, 2, 2, 2, 2, 4, 4, 4, 4, 4, 4};
    for (int c = 2; c <= 13; ++c) {
        EXPECT_EQ(zorvane::get_bits_per_pixel(code(c)), bits[c - 2]) << c;
        EXPECT_EQ(zorvane::get_channels_bitdepth(code(c)), c % 2 == 0 ? 8 : 16) << c;
        EXPECT_EQ(zorvane::get_colorspace(code(c)), spaces[c - 2]) << c;
    }
    EXPECT_EQ(zorvane::get_bits_per_pixel(code(1)), 1);
    for (const int unknown : {0, 14, -1, 1000})
        EXPECT_EQ(zorvane::get_bits_per_pixel(code(unknown)), -1) << unknown;
}

TEST(pixel_format, depth_and_colour_space_refuse_codes_without_channels) {
    for (const int refused : {1, 0, 14, -2}) {
        EXPECT_THROW(zorvane::get_channels_bitdepth(code(refused)), std::invalid_argument) << refused;
        EXPECT_THROW(zorvane::get_colorspace(code(refused)), std::invalid_argument) << refused;
    }
    try {
        zorvane::get_colorspace(code(1));
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "get_colorspace failed at 180 in file "
                               "\"..\\\\..\\\\..\\\\common\\\\cpp\\\\ZorvaneImageProcessor.cpp\"\n"
                               " - format is not ipp-compatible!");
    }
    try {
        zorvane::get_channels_bitdepth(code(14));
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_THAT(e.what(), StartsWith("get_channels_bitdepth failed at 152 in file "));
    }
}

TEST(format_for_planes, gray_colour_or_colour_with_alpha_at_8_or_16_bits) {
    EXPECT_EQ(format_for_planes(8, 0, 0, 0, -1), pixel_format::gray8);
    EXPECT_EQ(format_for_planes(16, 0, 0, 0, -1), pixel_format::gray16);
    EXPECT_EQ(format_for_planes(8, 0, 1, 2, -1), pixel_format::rgb24);
    EXPECT_EQ(format_for_planes(16, 0, 1, 2, -1), pixel_format::rgb48);
    EXPECT_EQ(format_for_planes(8, 0, 1, 2, 3), pixel_format::rgba32);
    EXPECT_EQ(format_for_planes(16, 0, 1, 2, 3), pixel_format::rgba64);
    EXPECT_EQ(format_for_planes(12, 0, 1, 2, 3), pixel_format::rgba64) << "any depth but 8 is 16";
}

TEST(select_RGB_RGBA, reads_every_format_in_its_memory_order_into_rgba_lanes) {
    // One pixel at (1, 1) in a buffer with a padded stride; samples 11, 22, 33, 44 in memory order.
    const auto read = [](int c, bool wide) {
        const int samples = zorvane::get_bits_per_pixel(code(c)) / (wide ? 16 : 8);
        BYTE buffer[64] = {};
        const int stride = 24;
        BYTE* pixel = buffer + stride + samples * (wide ? 2 : 1);
        for (int s = 0; s != samples; ++s) {
            const int value = (s + 1) * 11 + (wide ? 1000 : 0);
            if (wide) {
                pixel[2 * s] = static_cast<BYTE>(value);
                pixel[2 * s + 1] = static_cast<BYTE>(value >> 8);
            } else {
                pixel[s] = static_cast<BYTE>(value);
            }
        }
        return zorvane::select_RGB_RGBA(code(c), 1, 1, buffer, stride);
    };
    const auto lanes = [](std::uint64_t r, std::uint64_t g, std::uint64_t b, std::uint64_t a) {
        return r | g << 16 | b << 32 | a << 48;
    };
    EXPECT_EQ(read(2, false), lanes(11, 11, 11, 0)) << "gray in R, G and B";
    EXPECT_EQ(read(3, true), lanes(1011, 1011, 1011, 0)) << "16-bit samples unscaled";
    EXPECT_EQ(read(4, false), lanes(33, 22, 11, 0));
    EXPECT_EQ(read(5, true), lanes(1033, 1022, 1011, 0));
    EXPECT_EQ(read(6, false), lanes(11, 22, 33, 0));
    EXPECT_EQ(read(7, true), lanes(1011, 1022, 1033, 0));
    EXPECT_EQ(read(8, false), lanes(33, 22, 11, 44));
    EXPECT_EQ(read(9, true), lanes(1033, 1022, 1011, 1044));
    EXPECT_EQ(read(10, false), lanes(22, 33, 11, 44)) << "sample 0 is B, 1 R, 2 G";
    EXPECT_EQ(read(11, true), lanes(1022, 1033, 1011, 1044));
    EXPECT_EQ(read(12, false), lanes(11, 22, 33, 44));
    EXPECT_EQ(read(13, true), lanes(1011, 1022, 1033, 1044));
}

TEST(select_RGB_RGBA, codes_outside_2_to_13_are_unsupported) {
    const BYTE buffer[8] = {};
    for (const int refused : {0, 1, 14}) {
        try {
            zorvane::select_RGB_RGBA(code(refused), 0, 0, buffer, 8);
            ADD_FAILURE() << refused;
        } catch (const std::runtime_error& e) {
            EXPECT_THAT(e.what(), StartsWith("select_RGB_RGBA failed at 97 in file \"")) << refused;
            EXPECT_THAT(e.what(),
                        EndsWith("common\\\\cpp\\\\ZorvaneImageProcessor.h\"\n - unsupported format!"));
        }
    }
}

TEST(range_conversion, widening_is_exactly_undone_by_narrowing) {
    for (std::uint32_t v = 0; v <= 32768; ++v)
        ASSERT_EQ(narrow_sample(widen_sample(v)), v) << v;
    EXPECT_EQ(widen_sample(32767), 65534);
    EXPECT_EQ(widen_sample(32768), 65535) << "host white is engine white";
    EXPECT_EQ(narrow_sample(65535), 32768);
    EXPECT_EQ(narrow_sample(0), 0);
}

// The host's planes into engine images and back, over the registered engine.
class host_conversion : public engine_world {
protected:
    image_frame_ptr four_channels(std::int32_t width, std::int32_t height, std::int32_t depth) {
        return create_engine_image(engine, width, height, depth, 0, 1, 2, 3);
    }
};

TEST_F(host_conversion, sixteen_bit_samples_round_trip_exactly_through_the_engine_range) {
    host_buffer<std::uint16_t> host(4, 2, 3);
    const std::uint16_t values[] = {0, 1, 12345, 16384, 32767, 32768};
    int next = 0;
    for (std::int32_t y = 0; y != 2; ++y)
        for (std::int32_t x = 0; x != 4; ++x)
            for (std::int32_t c = 0; c != 3; ++c)
                host.set(x, y, c, values[next++ % 6]);
    mask_buffer mask(4, 2, 255);
    mask.at(3, 1) = 0;
    const image_frame_ptr source = four_channels(4, 2, 16);
    copy_host_to_frame(host.bytes.data(), host.row_bytes, 0, 1, 2, -1, mask.bytes.data(), mask.row_bytes,
                       *source);
    const pixels in = pixels_of(*source);
    EXPECT_EQ(in.at<std::uint16_t>(1, 0, 4)[2], 65535) << "host white 32768 enters as 65535";
    EXPECT_EQ(in.at<std::uint16_t>(0, 0, 4)[3], 65280) << "the mask byte 255 becomes 65280";
    EXPECT_EQ(in.at<std::uint16_t>(3, 1, 4)[3], 0);

    // The engine's unchanged image written back: every pixel exactly as it was, selected or not.
    const image_frame_ptr unprocessed =
        wrap_host_input(engine, host.bytes.data(), 4, 2, host.row_bytes, 16, 0, 1, 2, -1);
    host_buffer<std::uint16_t> output(4, 2, 3);
    copy_frame_to_host(*unprocessed, *source, mask.bytes.data(), mask.row_bytes, output.bytes.data(),
                       output.row_bytes, 0, 1, 2, -1);
    for (std::int32_t y = 0; y != 2; ++y)
        for (std::int32_t x = 0; x != 4; ++x)
            for (std::int32_t c = 0; c != 3; ++c)
                EXPECT_EQ(output.get(x, y, c), host.get(x, y, c)) << x << "," << y << "," << c;
}

TEST_F(host_conversion, alpha_carries_the_mask_in_and_comes_back_from_the_unprocessed_pixel) {
    for (const std::int32_t depth : {8, 16}) {
        const bool wide = depth == 16;
        const auto run = [&]<class Sample>(Sample) {
            host_buffer<Sample> host(2, 1, 4);
            for (std::int32_t x = 0; x != 2; ++x) {
                host.set(x, 0, 0, 10);
                host.set(x, 0, 1, 20);
                host.set(x, 0, 2, 30);
                host.set(x, 0, 3, 200);
            }
            mask_buffer mask(2, 1, 128);
            mask.at(1, 0) = 0;
            const image_frame_ptr source = four_channels(2, 1, depth);
            copy_host_to_frame(host.bytes.data(), host.row_bytes, 0, 1, 2, 3, mask.bytes.data(),
                               mask.row_bytes, *source);
            const Sample* in = pixels_of(*source).template at<Sample>(0, 0, 4);
            EXPECT_EQ(in[3], wide ? 200 : 100) << "200 x 128 / 255 = 100, widened at 16 bits";
            EXPECT_EQ(pixels_of(*source).template at<Sample>(1, 0, 4)[3], 0) << "unselected";

            // The engine brightens the colours and leaves the alpha it was given.
            Sample* processed = pixels_of(*source).template at<Sample>(0, 0, 4);
            processed[0] = static_cast<Sample>(wide ? 500 : 250);
            const image_frame_ptr unprocessed =
                wrap_host_input(engine, host.bytes.data(), 2, 1, host.row_bytes, depth, 0, 1, 2, 3);
            host_buffer<Sample> output(2, 1, 4);
            copy_frame_to_host(*unprocessed, *source, mask.bytes.data(), mask.row_bytes, output.bytes.data(),
                               output.row_bytes, 0, 1, 2, 3);
            EXPECT_EQ(output.get(0, 0, 0), 250) << depth;
            EXPECT_EQ(output.get(0, 0, 1), 20) << depth;
            EXPECT_EQ(output.get(0, 0, 3), 200) << "a soft selection keeps the layer's opacity, " << depth;
            for (std::int32_t c = 0; c != 4; ++c)
                EXPECT_EQ(output.get(1, 0, c), host.get(1, 0, c)) << depth;
        };
        if (wide)
            run(std::uint16_t{});
        else
            run(std::uint8_t{});
    }
}

TEST_F(host_conversion, scaling_a_wrapped_16_bit_buffer_touches_only_its_samples) {
    host_buffer<std::uint16_t> host(3, 2, 4);
    for (std::int32_t y = 0; y != 2; ++y)
        for (std::int32_t x = 0; x != 3; ++x)
            for (std::int32_t c = 0; c != 4; ++c)
                host.set(x, y, c, static_cast<std::uint16_t>(x * 10000 + y * 2768 + c));
    const std::vector<std::uint8_t> original = host.bytes;
    const image_frame_ptr frame =
        wrap_host_input(engine, host.bytes.data(), 3, 2, host.row_bytes, 16, 0, 1, 2, 3);
    scale_image_channels(*frame, true);
    EXPECT_EQ(host.get(2, 1, 3), widen_sample(2 * 10000 + 2768 + 3));
    for (std::size_t i = 3 * 4 * 2; i != static_cast<std::size_t>(host.row_bytes); ++i)
        ASSERT_EQ(host.bytes[i], 0xEE) << "row padding is not a sample";
    scale_image_channels(*frame, false);
    EXPECT_EQ(host.bytes, original);

    host_buffer<std::uint8_t> eight(3, 2, 3);
    eight.set(1, 1, 1, 77);
    const std::vector<std::uint8_t> eight_original = eight.bytes;
    scale_image_channels(*wrap_host_input(engine, eight.bytes.data(), 3, 2, eight.row_bytes, 8, 0, 1, 2, -1),
                         true);
    EXPECT_EQ(eight.bytes, eight_original) << "8-bit samples need no conversion";
}

TEST_F(host_conversion, sample_pixel_reads_inside_and_answers_zero_outside) {
    const image_frame_ptr frame = create_engine_image(engine, 3, 2, 16, 0, 1, 2, 3);
    std::uint16_t* px = pixels_of(*frame).at<std::uint16_t>(2, 1, 4);
    px[0] = 100;
    px[1] = 200;
    px[2] = 300;
    px[3] = 400;
    struct reading {
        std::uint64_t colour = 99;
        bool wide = false, alpha = false;
        int calls = 0;
    } seen;
    const cpp::moveonly_function<void(std::uint64_t, bool, bool)> record = [&](std::uint64_t c, bool w,
                                                                               bool a) {
        seen = {c, w, a, seen.calls + 1};
    };
    ASSERT_TRUE(sample_pixel(*frame, 2, 1, record));
    EXPECT_EQ(seen.colour, 100u | 200u << 16 | 300ull << 32 | 400ull << 48);
    EXPECT_TRUE(seen.wide);
    EXPECT_TRUE(seen.alpha);
    for (const auto& [x, y] : {std::pair{3, 0}, std::pair{0, 2}, std::pair{-1, 0}, std::pair{0, -1},
                               std::pair{INT32_MIN, INT32_MIN}}) {
        ASSERT_TRUE(sample_pixel(*frame, x, y, record));
        EXPECT_EQ(seen.colour, 0u) << x << "," << y;
        EXPECT_FALSE(seen.wide);
        EXPECT_FALSE(seen.alpha);
    }
    EXPECT_EQ(seen.calls, 6);

    const image_frame_ptr gray = create_engine_image(engine, 1, 1, 8, 0, 0, 0, -1);
    ASSERT_TRUE(sample_pixel(*gray, 0, 0, record));
    EXPECT_FALSE(seen.wide);
    EXPECT_FALSE(seen.alpha);
}

TEST_F(host_conversion, sample_pixel_skips_an_image_the_engine_holds) {
    const image_frame_ptr frame = create_engine_image(engine, 2, 2, 8, 0, 1, 2, -1);
    com_ptr<zorvane::IImageData> data;
    ASSERT_EQ(frame->image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void()), S_OK);
    ASSERT_EQ(data->try_acquire(), S_OK);
    int calls = 0;
    EXPECT_FALSE(sample_pixel(*frame, 0, 0, [&](std::uint64_t, bool, bool) { ++calls; }));
    EXPECT_EQ(calls, 0);
    ASSERT_EQ(data->release(), S_OK);
    EXPECT_TRUE(sample_pixel(*frame, 0, 0, [&](std::uint64_t, bool, bool) { ++calls; }));
    EXPECT_EQ(data->try_acquire(), S_OK) << "the read lock was given back";
    data->release();
}

} // namespace

namespace {

// Rows long enough for every whole-register path and its remainder, over every layout and depth, checked
// pixel by pixel against the rules (gray enters as gray, gray, gray, mask and comes back as the first
// processed sample; colour keeps its order; alpha is scaled by the mask going in and kept going out):
// selected, unselected and partly selected runs, host white and black.
template <class Sample> void check_wide_rows(const tessolux::engine_context& engine, std::int32_t channels) {
    constexpr bool wide = sizeof(Sample) == 2;
    const std::int32_t depth = wide ? 16 : 8;
    const std::int32_t width = 53, height = 4;
    const std::int32_t c1 = channels == 1 ? 0 : 1, c2 = channels == 1 ? 0 : 2, alpha = channels == 4 ? 3 : -1;
    std::uint32_t seed = 12345 + channels * 7 + depth;
    const auto next = [&] { return (seed = seed * 1103515245 + 12345) >> 8; };
    const std::uint32_t top = wide ? 32768 : 255;
    host_buffer<Sample> host(width, height, channels);
    mask_buffer mask(width, height, 0);
    const std::uint8_t mask_values[] = {0, 1, 77, 128, 255};
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 0; x != width; ++x) {
            for (std::int32_t c = 0; c != channels; ++c) {
                const std::uint32_t r = next() % 10;
                host.set(x, y, c, static_cast<Sample>(r == 0 ? 0 : r == 1 ? top : next() % (top + 1)));
            }
            // Row 0 all selected, row 1 none, then mixed values and runs.
            mask.at(x, y) = y == 0         ? 255
                            : y == 1       ? 0
                            : y == 2       ? mask_values[next() % 5]
                            : (x / 20) % 2 ? 255
                                           : 0;
        }
    const image_frame_ptr frame = tessolux::create_engine_image(engine, width, height, depth, 0, 1, 2, 3);
    tessolux::copy_host_to_frame(host.bytes.data(), host.row_bytes, 0, c1, c2, alpha, mask.bytes.data(),
                                 mask.row_bytes, *frame);
    const pixels in = pixels_of(*frame);
    const auto widen = [&](std::uint32_t v) -> std::uint32_t { return wide ? tessolux::widen_sample(v) : v; };
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 0; x != width; ++x) {
            const Sample* px = in.at<Sample>(x, y, 4);
            const std::uint32_t m = mask.at(x, y);
            for (std::int32_t c = 0; c != 3; ++c)
                ASSERT_EQ(px[c], widen(host.get(x, y, channels == 1 ? 0 : c)))
                    << channels << " channels, " << depth << " bits at " << x << "," << y << " sample " << c;
            const std::uint32_t fourth = channels == 4 ? widen(host.get(x, y, 3) * m / 255)
                                         : wide        ? m * 256
                                                       : m;
            ASSERT_EQ(px[3], fourth) << channels << " channels, " << depth << " bits at " << x << "," << y;
        }

    // The engine's work: every sample changed, alpha included.
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 0; x != width; ++x)
            for (std::int32_t c = 0; c != 4; ++c)
                in.at<Sample>(x, y, 4)[c] = static_cast<Sample>(next() % (wide ? 65536 : 256));
    const image_frame_ptr unprocessed = tessolux::wrap_host_input(engine, host.bytes.data(), width, height,
                                                                  host.row_bytes, depth, 0, c1, c2, alpha);
    host_buffer<Sample> output(width, height, channels);
    tessolux::copy_frame_to_host(*unprocessed, *frame, mask.bytes.data(), mask.row_bytes, output.bytes.data(),
                                 output.row_bytes, 0, c1, c2, alpha);
    for (std::int32_t y = 0; y != height; ++y) {
        for (std::int32_t x = 0; x != width; ++x)
            for (std::int32_t c = 0; c != channels; ++c) {
                const std::uint32_t processed = in.at<Sample>(x, y, 4)[c];
                const bool merged = mask.at(x, y) != 0 && c != 3;
                const std::uint32_t expected =
                    merged ? (wide ? tessolux::narrow_sample(processed) : processed) : host.get(x, y, c);
                ASSERT_EQ(output.get(x, y, c), expected)
                    << channels << " channels, " << depth << " bits at " << x << "," << y << " sample " << c;
            }
        for (std::int32_t i = width * channels * depth / 8; i != output.row_bytes; ++i)
            ASSERT_EQ(output.bytes[static_cast<std::size_t>(y) * output.row_bytes + i], 0xEE)
                << "nothing is written beyond a row's pixels: " << channels << " channels, " << depth
                << " bits";
    }
}

} // namespace

TEST_F(host_conversion, wide_rows_of_every_layout_convert_by_the_per_pixel_rules) {
    for (const std::int32_t channels : {1, 3, 4}) {
        check_wide_rows<std::uint8_t>(engine, channels);
        check_wide_rows<std::uint16_t>(engine, channels);
    }
}
