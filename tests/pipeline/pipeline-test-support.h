// What the pipeline tests and the host entry's share: a thread in COM's free-threaded apartment with the
// registered engine, which must have let go of every object when a test ends, and plain access to an
// engine image's pixels and to a host's padded buffers.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/image-processor.h"
#include "standin-engine.h"

namespace pipeline_test {

using test_support::live_engine_objects;

using tessolux::image_frame;
using tessolux::image_frame_ptr;
using zorvane::pixel_format;

// The engine made through its registration, as the plug-in makes it.
class engine_world : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(CoInitializeEx(nullptr, COINIT_MULTITHREADED), 0);
        engine = tessolux::create_engine_context();
    }
    void TearDown() override {
        engine = {};
        EXPECT_EQ(live_engine_objects(), 0) << "every engine object the pipeline made has been released";
        CoUninitialize();
    }

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
inline pixels pixels_of(const image_frame& frame) {
    com_ptr<zorvane::IImageData> data;
    pixels result{};
    if (FAILED(frame.image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void())) ||
        FAILED(data->get_buffer(&result.data, &result.bytes, &result.stride, &result.format, &result.width)))
        throw std::runtime_error("an engine image without a buffer");
    return result;
}

// A host buffer (or selection mask, of one channel): interleaved samples, rows padded with 0xEE beyond
// them as a host pads them.
template <class Sample> struct host_buffer {
    std::int32_t width, height, channels, row_bytes;
    std::vector<std::uint8_t> bytes;

    host_buffer(std::int32_t width, std::int32_t height, std::int32_t channels)
        : width(width), height(height), channels(channels),
          row_bytes(static_cast<std::int32_t>(width * channels * sizeof(Sample) + 6)),
          bytes(static_cast<std::size_t>(row_bytes) * height, 0xEE) {}
    Sample get(std::int32_t x, std::int32_t y, std::int32_t c = 0) const {
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

} // namespace pipeline_test
