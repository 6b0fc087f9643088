// Placeholder until the preview geometry lands: the view state and the image point.
#pragma once

#include <cstdint>

#include "image-processor.h"

namespace tessolux {

struct view_state {
    double pan_x = 0.0;
    double pan_y = 0.0;
    double zoom = 1.0;
    double saved_pan_x = 0.0;
    double saved_pan_y = 0.0;
    double saved_zoom = 1.0;
};

struct image_point {
    std::int32_t x;
    std::int32_t y;
};

std::int32_t round_to_int(double value) noexcept;

} // namespace tessolux
