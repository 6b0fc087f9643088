// The stand-in engine's pixel work: reading and writing rows of every pixel format, and what each
// node does to an image. The work is plain and deterministic, so a test (or a person looking at the
// preview) can tell each node's effect; it goes row by row through working rows of floats, with no
// allocation and no indirect call per pixel, and passes every row to the run's control.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "standin-nodes.h"
#include "standin-run.h"

namespace standin {

bool is_known_format(int format);
int bits_per_pixel(int format);
bool has_alpha(int format);
int row_bytes(int format, int width);

// A borrowed view of pixels; the rows lie stride bytes apart.
struct image_view {
    BYTE* data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
    int format = 0;

    BYTE* row(int y) const { return data + static_cast<std::ptrdiff_t>(y) * stride; }
    std::size_t span_bytes() const {
        return static_cast<std::size_t>(height - 1) * stride +
               static_cast<std::size_t>(row_bytes(format, width));
    }
    bool overlaps(const image_view& other) const {
        return data < other.data + other.span_bytes() && other.data < data + span_bytes();
    }
    // The top-left width x height part.
    image_view top_left(int w, int h) const { return {data, w, h, stride, format}; }
};

// Engine-owned pixels, cleared to zero; rows padded to whole 32-bit words.
struct pixel_buffer {
    std::unique_ptr<BYTE[]> bytes;
    image_view view;
};
pixel_buffer make_pixel_buffer(int width, int height, int format);
void copy_view(const image_view& from, const image_view& to);

struct shape {
    int width;
    int height;
    int format;
};

// The node's output for a source of that shape; fails when the node's rectangles do not fit it.
shape output_shape(const node_settings& node, const shape& source);

// Writes the node's output for src into the top-left of dst, whose format is the output's.
void render_node(const node_settings& node, const image_view& src, const image_view& dst,
                 run_control& control);

// Any format into any other; where the target has no alpha, pixels are blended onto the background
// (0x00rrggbb).
void convert_pixels(const image_view& src, const image_view& dst, std::uint32_t background,
                    run_control& control);

// src into dst (same format), Lanczos-3 over the whole source.
void scale_pixels(const image_view& src, const image_view& dst, run_control& control);

} // namespace standin
