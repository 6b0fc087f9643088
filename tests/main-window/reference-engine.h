// The tests' own oracle: the registered engine called directly through its interfaces, one node at a
// time with literal parameter texts, over pixels the test lays out itself. Whatever the plug-in shows or
// applies must equal what these runs give.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include "ZorvaneImageProcessor.h"
#include "abi-export.h"

namespace reference {

using zorvane::pixel_format;

// Pixels in one engine format, rows without padding.
struct picture {
    std::int32_t width = 0;
    std::int32_t height = 0;
    pixel_format format = pixel_format::rgb24;
    std::vector<std::uint8_t> bytes;

    picture() = default;
    picture(std::int32_t width, std::int32_t height, pixel_format format)
        : width(width), height(height), format(format),
          bytes(static_cast<std::size_t>(row_bytes(width, format)) * height) {}

    static std::int32_t sample_bytes(pixel_format format) {
        return (static_cast<int>(format) & 1) != 0 ? 2 : 1;
    }
    static std::int32_t samples(pixel_format format) {
        switch (format) {
        case pixel_format::gray8:
        case pixel_format::gray16:
            return 1;
        case pixel_format::rgb24:
        case pixel_format::rgb48:
        case pixel_format::bgr24:
        case pixel_format::bgr48:
            return 3;
        default:
            return 4;
        }
    }
    static std::int32_t row_bytes(std::int32_t width, pixel_format format) {
        return width * samples(format) * sample_bytes(format);
    }
    std::int32_t channels() const { return samples(format); }
    std::uint32_t get(std::int32_t x, std::int32_t y, std::int32_t c) const {
        std::uint16_t value = 0;
        std::memcpy(&value, &bytes[offset(x, y, c)], sample_bytes(format));
        return value;
    }
    void set(std::int32_t x, std::int32_t y, std::int32_t c, std::uint32_t value) {
        const auto sample = static_cast<std::uint16_t>(value);
        std::memcpy(&bytes[offset(x, y, c)], &sample, sample_bytes(format));
    }
    std::size_t offset(std::int32_t x, std::int32_t y, std::int32_t c) const {
        return static_cast<std::size_t>(y) * row_bytes(width, format) +
               (static_cast<std::size_t>(x) * channels() + c) * sample_bytes(format);
    }
};

// One node with its parameter texts, and at most one committed child with its own.
struct node {
    std::wstring name;
    std::vector<std::pair<std::wstring, std::wstring>> settings;
    std::wstring child;
    std::vector<std::pair<std::wstring, std::wstring>> child_settings;
};

inline void check(HRESULT hr, const char* what) {
    if (FAILED(hr)) {
        char code[16];
        std::snprintf(code, sizeof code, "%08lx", static_cast<unsigned long>(hr));
        throw std::runtime_error(std::string("the reference engine's ") + what + " failed with " + code);
    }
}

class bstr {
public:
    explicit bstr(const std::wstring& text)
        : text_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    bstr(const bstr&) = delete;
    bstr& operator=(const bstr&) = delete;
    ~bstr() { SysFreeString(text_); }
    BSTR get() const { return text_; }

private:
    BSTR text_;
};

inline com_ptr<zorvane::IProcessor> make_root() {
    com_ptr<zorvane::IProcessor> root;
    check(CoCreateInstance(zorvane::CLSID_ZorvaneProcessor, nullptr, CLSCTX_INPROC_SERVER,
                           zorvane::IID_IProcessor, root.put_void()),
          "creation");
    return root;
}

inline void set_all(zorvane::IFilter* target,
                    const std::vector<std::pair<std::wstring, std::wstring>>& settings) {
    for (const auto& [name, value] : settings)
        check(target->set_property(bstr(name).get(), bstr(value).get()), "set_property");
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
    const std::int32_t row = picture::row_bytes(width, format);
    for (std::int32_t y = 0; y != out.height; ++y)
        std::memcpy(&out.bytes[static_cast<std::size_t>(y) * row],
                    bits + static_cast<std::ptrdiff_t>(y) * stride, static_cast<std::size_t>(row));
    return out;
}

// Runs the node over a copy of input in an engine image of its own and answers the output. The engine
// must be free of test hooks that make it fail when this runs.
inline picture run(const picture& input, const node& stage) {
    const com_ptr<zorvane::IProcessor> root = make_root();
    com_ptr<zorvane::IImage> source;
    check(root->create_image(input.width, input.height, input.format, source.put()), "create_image");
    {
        com_ptr<zorvane::IImageData> data;
        check(source->QueryInterface(zorvane::IID_IImageData, data.put_void()), "IImageData");
        BYTE* bits = nullptr;
        UINT32 size = 0;
        INT32 stride = 0;
        check(data->get_buffer(&bits, &size, &stride, nullptr, nullptr), "get_buffer");
        const std::int32_t row = picture::row_bytes(input.width, input.format);
        for (std::int32_t y = 0; y != input.height; ++y)
            std::memcpy(bits + static_cast<std::ptrdiff_t>(y) * stride,
                        &input.bytes[static_cast<std::size_t>(y) * row], static_cast<std::size_t>(row));
    }
    com_ptr<zorvane::IFilterChain> chain;
    check(root->create_chain(chain.put()), "create_chain");
    com_ptr<zorvane::IFilter> filter;
    check(chain->add_node(bstr(stage.name).get(), nullptr, filter.put()), "add_node");
    set_all(filter.get(), stage.settings);
    if (!stage.child.empty()) {
        com_ptr<zorvane::IFilter> child;
        check(filter->add_child(bstr(stage.child).get(), child.put()), "add_child");
        set_all(child.get(), stage.child_settings);
        check(child->commit(), "commit");
    }
    check(filter->commit(), "commit");
    com_ptr<zorvane::IOperation> operation;
    check(chain->build(operation.put()), "build");
    INT32 width = 0;
    INT32 height = 0;
    pixel_format format{};
    check(operation->query_output(source.get(), 0, &width, &height, &format), "query_output");
    com_ptr<zorvane::IImage> destination;
    check(root->create_image(width, height, format, destination.put()), "create_image");
    check(operation->run(source.get(), 0, destination.get(), 0, nullptr), "run");
    return read_pixels(destination.get());
}

// Natural enhancement as the first run sends it (intensity 70, ratios 100, balance 80, tolerance 5),
// with the tile size that suits the picture; intensity is the enhancement slider's value up to 100.
inline node natural_enhance(int segment_size, const wchar_t* intensity = L"0.700000") {
    return {L"natural-enhance",
            {{L"enhance-intensity", intensity},
             {L"ratio-red", L"1.000000"},
             {L"ratio-green", L"1.000000"},
             {L"ratio-blue", L"1.000000"},
             {L"balance-intensity", L"0.800000"},
             {L"tolerance", L"0.000500"},
             {L"ahe-scope", L"1.000000"},
             {L"avg-segment-size", std::to_wstring(segment_size)}},
            {},
            {}};
}

// Tilt-shift as the first run sends it (blur radius 10, border 20 %) around the middle third.
inline node tilt_shift(std::int32_t width, std::int32_t height) {
    return {L"tilt-shift",
            {{L"blur-radius", L"10"}, {L"border-size-relative", L"0.200000"}},
            L"focused-rect",
            {{L"x", std::to_wstring(width / 3)},
             {L"y", std::to_wstring(height / 3)},
             {L"width", std::to_wstring(width / 3)},
             {L"height", std::to_wstring(height / 3)}}};
}

// The tile size natural enhancement gets for a picture of that size: a sixteenth of its shorter side,
// within 64 to 512.
inline int segment_size_for(std::int32_t width, std::int32_t height) {
    const std::int32_t shorter = width < height ? width : height;
    const std::int32_t size = shorter / 16;
    return size < 64 ? 64 : size > 512 ? 512 : size;
}

} // namespace reference
