#include "ZorvaneImageProcessor.h"

#include <stdexcept>

#include "am-common.h"

namespace zorvane {

namespace {

// Bits per pixel of the codes 0 to 13; 0 marks a code the engine does not have.
constexpr INT32 bits_per_pixel[14] = {0, 1, 8, 16, 24, 48, 24, 48, 32, 64, 32, 64, 32, 64};

// The codes whose channels the engine's processing takes: every named one. Code 1 packs eight pixels
// into a byte and has no channels to speak of.
bool has_channels(INT32 code) noexcept {
    return code >= 2 && code <= 13;
}

} // namespace

INT32 get_bits_per_pixel(pixel_format format) noexcept {
    const INT32 code = static_cast<INT32>(format);
    if (code < 1 || code > 13)
        return -1;
    return bits_per_pixel[code];
}

INT32 get_channels_bitdepth(pixel_format format) {
    const INT32 code = static_cast<INT32>(format);
    if (!has_channels(code))
        throw std::invalid_argument(cpp::failure_message("get_channels_bitdepth", "152",
                                                         AM_LIBRARY_SOURCE("ZorvaneImageProcessor.cpp"),
                                                         "format is not ipp-compatible!")
                                        .c_str());
    // Even codes carry 8 bits per channel, odd ones 16.
    return (code & 1) != 0 ? 16 : 8;
}

INT32 get_colorspace(pixel_format format) {
    const INT32 code = static_cast<INT32>(format);
    if (!has_channels(code))
        throw std::invalid_argument(cpp::failure_message("get_colorspace", "180",
                                                         AM_LIBRARY_SOURCE("ZorvaneImageProcessor.cpp"),
                                                         "format is not ipp-compatible!")
                                        .c_str());
    if (code <= 3)
        return 1;
    return code <= 7 ? 2 : 4;
}

namespace details {

// The reader is inline in the header, so the failure names the header.
void throw_unsupported_format() {
    throw std::runtime_error(cpp::failure_message("select_RGB_RGBA", "97",
                                                  AM_LIBRARY_HEADER("ZorvaneImageProcessor.h"),
                                                  "unsupported format!")
                                 .c_str());
}

} // namespace details

} // namespace zorvane
