// The host/engine conversions over a 24-megapixel image (6000 x 4000), for every layout the host hands
// us, against memcpy of the engine image's bytes: both copies move one four-channel frame's worth of
// pixels (written going in, read going out), the range conversion rewrites its buffer in place. The
// selection is a centred ellipse, as a user draws one: most rows hold selected and unselected pixels.
#include <cstdio>
#include <cstring>
#include <vector>

#include <objbase.h>

#include "../bench-timing.h"
#include "plugin/image-processor.h"

namespace {

constexpr std::int32_t width = 6000;
constexpr std::int32_t height = 4000;

struct layout {
    const char* name;
    std::int32_t channels;
    std::int32_t c0, c1, c2, alpha;
};

constexpr layout layouts[] = {
    {"gray", 1, 0, 0, 0, -1},
    {"RGB", 3, 0, 1, 2, -1},
    {"RGBA", 4, 0, 1, 2, 3},
};

std::size_t frame_bytes(const tessolux::image_frame& frame) {
    com_ptr<zorvane::IImageData> data;
    frame.image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void());
    BYTE* bits = nullptr;
    UINT32 bytes = 0;
    INT32 stride = 0;
    zorvane::pixel_format format{};
    INT32 w = 0;
    data->get_buffer(&bits, &bytes, &stride, &format, &w);
    return bytes;
}

void run(const tessolux::engine_context& engine, const layout& l, std::int32_t depth) {
    const std::int32_t sample_bytes = depth / 8;
    const std::int32_t row_bytes = width * l.channels * sample_bytes;
    std::vector<std::uint8_t> host(static_cast<std::size_t>(row_bytes) * height);
    for (std::size_t i = 0; i != host.size(); ++i)
        host[i] = static_cast<std::uint8_t>(i * 31 + (i >> 9));
    if (depth == 16)
        for (std::size_t i = 1; i < host.size(); i += 2)
            host[i] &= 0x7F; // the host's range ends at 32768
    std::vector<std::uint8_t> mask(static_cast<std::size_t>(width) * height);
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 0; x != width; ++x) {
            const double dx = (x - width / 2.0) / (width / 2.0), dy = (y - height / 2.0) / (height / 2.0);
            mask[static_cast<std::size_t>(y) * width + x] = dx * dx + dy * dy < 0.8 ? 255 : 0;
        }
    std::vector<std::uint8_t> output(host.size());

    const tessolux::image_frame_ptr frame =
        tessolux::create_engine_image(engine, width, height, depth, 0, 1, 2, 3);
    const tessolux::image_frame_ptr unprocessed = tessolux::wrap_host_input(
        engine, host.data(), width, height, row_bytes, depth, l.c0, l.c1, l.c2, l.alpha);
    const std::size_t bytes = frame_bytes(*frame);
    std::vector<std::uint8_t> from(bytes), to(bytes);
    const auto copy_reference = [&](unsigned n) {
        for (unsigned i = 0; i != n; ++i) {
            std::memcpy(to.data(), from.data(), bytes);
            bench::escape(to.data());
        }
    };

    char name[64];
    const char* bits = depth == 16 ? "16" : "8";
    std::snprintf(name, sizeof name, "host_to_frame %s %s", l.name, bits);
    bench::print(name, "memcpy of the frame",
                 bench::compare(
                     [&](unsigned n) {
                         for (unsigned i = 0; i != n; ++i)
                             tessolux::copy_host_to_frame(host.data(), row_bytes, l.c0, l.c1, l.c2, l.alpha,
                                                          mask.data(), width, *frame);
                     },
                     copy_reference, 1, 7));
    std::snprintf(name, sizeof name, "frame_to_host %s %s", l.name, bits);
    bench::print(name, "memcpy of the frame",
                 bench::compare(
                     [&](unsigned n) {
                         for (unsigned i = 0; i != n; ++i) {
                             tessolux::copy_frame_to_host(*unprocessed, *frame, mask.data(), width,
                                                          output.data(), row_bytes, l.c0, l.c1, l.c2,
                                                          l.alpha);
                             bench::escape(output.data());
                         }
                     },
                     copy_reference, 1, 7));
    // Over the host's own buffer, as the host entry scales it; going in and back leaves it as it was. An
    // 8-bit image is in the engine's range already and is not converted: there is nothing to measure.
    if (depth != 16)
        return;
    const std::size_t host_bytes = host.size();
    std::snprintf(name, sizeof name, "scale_channels %s %s", l.name, bits);
    bench::print(name, "memcpy of the buffer",
                 bench::compare(
                     [&](unsigned n) {
                         for (unsigned i = 0; i != n; ++i)
                             tessolux::scale_image_channels(*unprocessed, i % 2 == 0);
                     },
                     [&](unsigned n) {
                         for (unsigned i = 0; i != n; ++i) {
                             std::memcpy(to.data(), from.data(), host_bytes);
                             bench::escape(to.data());
                         }
                     },
                     2, 7));
}

} // namespace

int main() {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    {
        const tessolux::engine_context engine = tessolux::create_engine_context();
        for (const std::int32_t depth : {8, 16})
            for (const layout& l : layouts)
                run(engine, l, depth);
    }
    CoUninitialize();
}
