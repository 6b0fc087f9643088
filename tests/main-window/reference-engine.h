// The tests' own oracle: the registered engine called directly, one node at a time with literal parameter
// texts, over pixels the test lays out itself. What the plug-in shows or applies must equal what it gives.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include "ZorvaneImageProcessor.h"
#include "abi-export.h"

namespace reference {

using zorvane::pixel_format;

// Pixels in one engine format, rows without padding: sample i lies at i times the sample's size.
struct picture {
    std::int32_t width = 0;
    std::int32_t height = 0;
    pixel_format format = pixel_format::rgb24;
    std::vector<std::uint8_t> bytes;

    picture() = default;
    picture(std::int32_t width, std::int32_t height, pixel_format format)
        : width(width), height(height), format(format), bytes(static_cast<std::size_t>(row()) * height) {}

    // Odd codes are the 16-bit formats; below 4 one channel, below 8 three, four from there.
    int sample_bytes() const { return (static_cast<int>(format) & 1) != 0 ? 2 : 1; }
    int channels() const { return static_cast<int>(format) < 4 ? 1 : static_cast<int>(format) < 8 ? 3 : 4; }
    int row() const { return width * channels() * sample_bytes(); }
    std::uint32_t sample(std::size_t i) const {
        std::uint16_t value = 0;
        std::memcpy(&value, &bytes[i * sample_bytes()], sample_bytes());
        return value;
    }
    void set(std::size_t i, std::uint32_t value) {
        const auto sample = static_cast<std::uint16_t>(value);
        std::memcpy(&bytes[i * sample_bytes()], &sample, sample_bytes());
    }
};

// One node with its parameter texts (name, value, name, value...), and at most one committed child with its
// own.
struct node {
    std::wstring name;
    std::vector<std::wstring> values;
    std::wstring child;
    std::vector<std::wstring> child_values;
};

inline void check(HRESULT hr, const char* what) {
    if (FAILED(hr))
        throw std::runtime_error(std::string("the reference engine's ") + what + " failed");
}

using bstr = std::unique_ptr<OLECHAR, decltype(&SysFreeString)>;
inline bstr text(const std::wstring& value) {
    return {SysAllocStringLen(value.data(), static_cast<UINT>(value.size())), &SysFreeString};
}

inline void set_all(zorvane::IFilter* target, const std::vector<std::wstring>& values) {
    for (std::size_t i = 0; i + 1 < values.size(); i += 2)
        check(target->set_property(text(values[i]).get(), text(values[i + 1]).get()), "set_property");
}

inline picture read_pixels(zorvane::IImage* image) {
    com_ptr<zorvane::IImageData> data;
    check(image->QueryInterface(zorvane::IID_IImageData, data.put_void()), "IImageData");
    BYTE* bits = nullptr;
    UINT32 size = 0;
    INT32 stride = 0;
    pixel_format format{};
    INT32 width = 0;
    check(data->get_buffer(&bits, &size, &stride, &format, &width), "get_buffer");
    picture out(width, static_cast<std::int32_t>(size / static_cast<UINT32>(stride)), format);
    for (std::int32_t y = 0; y != out.height; ++y)
        std::memcpy(&out.bytes[static_cast<std::size_t>(y) * out.row()], bits + y * stride, out.row());
    return out;
}

// Runs the node over the input in an engine of its own and answers the output. The engine must be free of
// test hooks that make it fail when this runs.
inline picture run(picture input, const node& stage) {
    com_ptr<zorvane::IProcessor> root;
    check(CoCreateInstance(zorvane::CLSID_ZorvaneProcessor, nullptr, CLSCTX_INPROC_SERVER,
                           zorvane::IID_IProcessor, root.put_void()),
          "creation");
    com_ptr<zorvane::IImage> source;
    check(root->wrap_input_memory(input.bytes.data(), input.width, input.height, input.format, input.row(),
                                  source.put()),
          "wrap_input_memory");
    com_ptr<zorvane::IFilterChain> chain;
    check(root->create_chain(chain.put()), "create_chain");
    com_ptr<zorvane::IFilter> filter;
    check(chain->add_node(text(stage.name).get(), nullptr, filter.put()), "add_node");
    set_all(filter.get(), stage.values);
    if (!stage.child.empty()) {
        com_ptr<zorvane::IFilter> child;
        check(filter->add_child(text(stage.child).get(), child.put()), "add_child");
        set_all(child.get(), stage.child_values);
        check(child->commit(), "commit");
    }
    check(filter->commit(), "commit");
    com_ptr<zorvane::IOperation> operation;
    check(chain->build(operation.put()), "build");
    picture output;
    check(operation->query_output(source.get(), 0, &output.width, &output.height, &output.format),
          "query_output");
    output.bytes.resize(static_cast<std::size_t>(output.row()) * output.height);
    com_ptr<zorvane::IImage> destination;
    check(root->wrap_output_memory(output.bytes.data(), output.width, output.height, output.format,
                                   output.row(), destination.put()),
          "wrap_output_memory");
    check(operation->run(source.get(), 0, destination.get(), 0, nullptr), "run");
    return output;
}

// Natural enhancement as the first run sends it (intensity 70, ratios 100, balance 80, tolerance 5) with
// the tile size a picture of that size gets: a sixteenth of its shorter side, within 64 to 512.
inline node natural_enhance(std::int32_t width, std::int32_t height, const wchar_t* intensity = L"0.700000") {
    const int segment = std::min(512, std::max(64, std::min(width, height) / 16));
    return {L"natural-enhance",
            {L"enhance-intensity", intensity, L"ratio-red", L"1.000000", L"ratio-green", L"1.000000",
             L"ratio-blue", L"1.000000", L"balance-intensity", L"0.800000", L"tolerance", L"0.000500",
             L"ahe-scope", L"1.000000", L"avg-segment-size", std::to_wstring(segment)},
            {},
            {}};
}

// Tilt-shift as the first run sends it (blur radius 10, border 20 %) around the middle third.
inline node tilt_shift(std::int32_t width, std::int32_t height) {
    return {L"tilt-shift",
            {L"blur-radius", L"10", L"border-size-relative", L"0.200000"},
            L"focused-rect",
            {L"x", std::to_wstring(width / 3), L"y", std::to_wstring(height / 3), L"width",
             std::to_wstring(width / 3), L"height", std::to_wstring(height / 3)}};
}

} // namespace reference
