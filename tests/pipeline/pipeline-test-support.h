// What the pipeline tests share: a thread in COM's free-threaded apartment with the registered engine,
// which must have let go of every object when a test ends, and plain access to an engine image's pixels.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/image-processor.h"

namespace pipeline_test {

using tessolux::image_frame;
using tessolux::image_frame_ptr;
using zorvane::pixel_format;

// The objects the engine in this process holds alive.
LONG live_engine_objects();

// The engine made through its registration, as the plug-in makes it.
class engine_world : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    tessolux::engine_context engine;
};

// An engine image's memory as get_buffer describes it.
struct pixels {
    BYTE* data;
    UINT32 bytes;
    INT32 stride;
    pixel_format format;
    INT32 width;

    std::int32_t rows() const { return static_cast<std::int32_t>(bytes / static_cast<UINT32>(stride)); }
    template <class Sample> Sample* at(std::int32_t x, std::int32_t y, std::int32_t channels) const {
        return reinterpret_cast<Sample*>(data + static_cast<std::ptrdiff_t>(y) * stride) + x * channels;
    }
};
pixels pixels_of(const image_frame& frame);

// A host buffer: interleaved samples, rows padded beyond them as a host pads them.
template <class Sample> struct host_buffer {
    std::int32_t width, height, channels, row_bytes;
    std::vector<std::uint8_t> bytes;

    host_buffer(std::int32_t width, std::int32_t height, std::int32_t channels)
        : width(width), height(height), channels(channels),
          row_bytes(static_cast<std::int32_t>(width * channels * sizeof(Sample) + 6)),
          bytes(static_cast<std::size_t>(row_bytes) * height, 0xEE) {}
    Sample get(std::int32_t x, std::int32_t y, std::int32_t c) const {
        Sample value;
        std::memcpy(&value, &bytes[offset(x, y, c)], sizeof value);
        return value;
    }
    void set(std::int32_t x, std::int32_t y, std::int32_t c, Sample value) {
        std::memcpy(&bytes[offset(x, y, c)], &value, sizeof value);
    }
    std::size_t offset(std::int32_t x, std::int32_t y, std::int32_t c) const {
        return static_cast<std::size_t>(y) * row_bytes +
               (static_cast<std::size_t>(x) * channels + c) * sizeof(Sample);
    }
};

// A selection mask with padded rows.
struct mask_buffer {
    std::int32_t width, row_bytes;
    std::vector<std::uint8_t> bytes;

    mask_buffer(std::int32_t width, std::int32_t height, std::uint8_t fill)
        : width(width), row_bytes(width + 3), bytes(static_cast<std::size_t>(row_bytes) * height, fill) {}
    std::uint8_t& at(std::int32_t x, std::int32_t y) {
        return bytes[static_cast<std::size_t>(y) * row_bytes + x];
    }
};

} // namespace pipeline_test
