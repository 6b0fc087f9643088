#include "preview-geometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "am-collections.h"
#include "am-text.h"
#include "resource.h"

namespace tessolux {

namespace {

constexpr double int_low = std::numeric_limits<std::int32_t>::min();
constexpr double int_high = std::numeric_limits<std::int32_t>::max();

// Truncation toward zero with the same guard as round_to_int.
std::int32_t truncate_to_int(double value) noexcept {
    if (std::isnan(value))
        return 0;
    return static_cast<std::int32_t>(std::clamp(value, int_low, int_high));
}

// A signed coordinate below 0 loses one more before truncation, so that the pixel left of the image's
// first column is -1, not 0, and a whole -1.0 (the left edge of pixel -1) becomes -2.
std::int32_t image_coordinate(double value) noexcept {
    return truncate_to_int(value < 0 ? value - 1.0 : value);
}

} // namespace

std::int32_t round_to_int(double value) noexcept {
    if (std::isnan(value))
        return 0;
    // Clamped first: both ends of the 32-bit range survive the rounding exactly.
    return cpp::round_to_int(std::clamp(value, int_low, int_high));
}

preview_rect intersect_rect(const preview_rect& a, const preview_rect& b) noexcept {
    const auto u = [](std::int32_t v) { return static_cast<std::uint32_t>(v); };
    const std::uint32_t x = std::max(u(a.x), u(b.x));
    const std::uint32_t y = std::max(u(a.y), u(b.y));
    const std::uint32_t right = std::min(u(a.x) + u(a.width), u(b.x) + u(b.width));
    const std::uint32_t bottom = std::min(u(a.y) + u(a.height), u(b.y) + u(b.height));
    return {static_cast<std::int32_t>(x), static_cast<std::int32_t>(y),
            static_cast<std::int32_t>(x <= right ? right - x : 0),
            static_cast<std::int32_t>(y <= bottom ? bottom - y : 0)};
}

preview_rect intersect_signed_rect(const preview_rect& a, const preview_rect& b) noexcept {
    const std::int64_t x = std::max(a.x, b.x);
    const std::int64_t y = std::max(a.y, b.y);
    const std::int64_t right = std::min(std::int64_t{a.x} + a.width, std::int64_t{b.x} + b.width);
    const std::int64_t bottom = std::min(std::int64_t{a.y} + a.height, std::int64_t{b.y} + b.height);
    // right - x never exceeds the narrower width, so it fits 32 bits.
    return {static_cast<std::int32_t>(x), static_cast<std::int32_t>(y),
            static_cast<std::int32_t>(x <= right ? right - x : 0),
            static_cast<std::int32_t>(y <= bottom ? bottom - y : 0)};
}

bool same_rect(const preview_rect& a, const preview_rect& b) noexcept {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

bool is_empty_rect(const preview_rect& r) noexcept {
    return r.width <= 0 || r.height <= 0;
}

rect_strips border_strips(const preview_rect& r) noexcept {
    return {{r.x, r.y, 0, r.height},
            {r.x + r.width, r.y, 0, r.height},
            {r.x, r.y, r.width, 0},
            {r.x, r.y + r.height, r.width, 0}};
}

preview_rect scale_rect_to_view(const preview_rect& line, const preview_rect& source,
                                const preview_rect& target, bool vertical) noexcept {
    if (source.width == 0 || source.height == 0)
        return {0, 0, 0, 0};
    const double sx = static_cast<double>(target.width) / source.width;
    const double sy = static_cast<double>(target.height) / source.height;
    const std::int32_t x0 = round_to_int((static_cast<double>(line.x) - source.x) * sx);
    const std::int32_t y0 = round_to_int((static_cast<double>(line.y) - source.y) * sy);
    // A line lying wholly before the space has an overhang longer than itself: its length is 0, not a
    // negative one that would read as a huge unsigned length.
    if (vertical)
        return {std::max(x0, 0), std::max(y0, 0), x0 >= 0 ? 1 : 0,
                std::max(round_to_int(line.height * sy + std::min(y0, 0)), 0)};
    return {std::max(x0, 0), std::max(y0, 0), std::max(round_to_int(line.width * sx + std::min(x0, 0)), 0),
            y0 >= 0 ? 1 : 0};
}

view_mapping map_view_to_image(std::int32_t view_width, std::int32_t view_height, double pan_x, double pan_y,
                               double zoom, std::int32_t image_width, std::int32_t image_height) noexcept {
    const std::int32_t px = round_to_int(pan_x);
    const std::int32_t py = round_to_int(pan_y);
    const double extent_x = image_width * zoom;
    const double extent_y = image_height * zoom;
    const preview_rect view = intersect_signed_rect({0, 0, view_width, view_height},
                                                    {px, py, round_to_int(extent_x), round_to_int(extent_y)});
    // The visible extent unrounded, so that the image rectangle does not inherit the view's rounding.
    const double visible_x =
        std::max(std::min(px + extent_x, static_cast<double>(view_width)) - std::max(px, 0), 0.0);
    const double visible_y =
        std::max(std::min(py + extent_y, static_cast<double>(view_height)) - std::max(py, 0), 0.0);
    const double k = 1.0 / zoom;
    const preview_rect shown{round_to_int((static_cast<double>(view.x) - px) * k),
                             round_to_int((static_cast<double>(view.y) - py) * k),
                             round_to_int(visible_x * k), round_to_int(visible_y * k)};
    return {view, intersect_signed_rect(shown, {0, 0, image_width, image_height})};
}

view_mapping map_view_to_image(std::int32_t view_width, std::int32_t view_height, double pan_x, double pan_y,
                               double zoom, std::int32_t image_width, std::int32_t image_height,
                               std::int32_t max_width, std::int32_t max_height) noexcept {
    const view_mapping whole =
        map_view_to_image(view_width, view_height, pan_x, pan_y, zoom, image_width, image_height);
    if (whole.view.width <= max_width && whole.view.height <= max_height)
        return whole;
    // The view rectangle starts where the image does (or at the viewport's edge) whatever the viewport's
    // size, so a viewport that ends max pixels after that start yields the cut rectangle, and the image
    // rectangle follows from it by the same rule.
    const auto cut = [](std::int32_t size, std::int32_t start, std::int32_t most) {
        return static_cast<std::int32_t>(
            std::min<std::int64_t>(size, std::int64_t{start} + std::max(most, 0)));
    };
    return map_view_to_image(cut(view_width, whole.view.x, max_width),
                             cut(view_height, whole.view.y, max_height), pan_x, pan_y, zoom, image_width,
                             image_height);
}

void zoom_at(view_state& view, double x, double y, double factor) noexcept {
    const double old_zoom = view.zoom;
    double zoom = old_zoom * factor;
    // Written so that a NaN fails the first test and ends at the smallest zoom.
    if (zoom > min_zoom) {
        if (zoom >= max_zoom)
            zoom = max_zoom;
    } else {
        zoom = min_zoom;
    }
    view.zoom = zoom;
    const double t = 1.0 - zoom / old_zoom;
    view.pan_x = (x - view.pan_x) * t + view.pan_x;
    view.pan_y = (y - view.pan_y) * t + view.pan_y;
}

bool zoom_to_fit(view_state& view, std::int32_t view_width, std::int32_t view_height,
                 std::int32_t image_width, std::int32_t image_height) noexcept {
    // A minimised window has a 0 x 0 client area: its fit would be zoom 0, then an infinite 1 / zoom and
    // NaN pans that every later step would carry.
    if (view_width <= 0 || view_height <= 0 || image_width <= 0 || image_height <= 0)
        return false;
    const double fit = std::clamp(std::min(static_cast<double>(view_width) / image_width,
                                           static_cast<double>(view_height) / image_height),
                                  min_zoom, max_zoom);
    if (cpp::nearly_equal(view.zoom, fit, 10)) {
        view.pan_x = view.saved_pan_x;
        view.pan_y = view.saved_pan_y;
        view.zoom = view.saved_zoom;
        return true;
    }
    view.saved_pan_x = view.pan_x;
    view.saved_pan_y = view.pan_y;
    view.saved_zoom = view.zoom;
    view.zoom = fit;
    center_view(view, view_width, view_height, image_width, image_height);
    return true;
}

void center_view(view_state& view, std::int32_t view_width, std::int32_t view_height,
                 std::int32_t image_width, std::int32_t image_height) noexcept {
    if (image_width <= 0 || image_height <= 0)
        return;
    view.pan_x = (view_width - image_width * view.zoom) * 0.5;
    view.pan_y = (view_height - image_height * view.zoom) * 0.5;
}

image_point view_to_image_point(const preview_rect& viewport, const view_state& view,
                                std::int32_t image_width, std::int32_t image_height, std::int32_t x,
                                std::int32_t y) noexcept {
    const view_mapping shown = map_view_to_image(viewport.width, viewport.height, view.pan_x, view.pan_y,
                                                 view.zoom, image_width, image_height);
    const double vx = static_cast<double>(x) - viewport.x;
    const double vy = static_cast<double>(y) - viewport.y;
    if (shown.view.width > 0 && shown.view.height > 0) {
        // The ratios as doubles: an integer ratio would put every pixel of a zoomed-in view on one image
        // column, and stretch a zoomed-out one short of the image's end.
        const double rx = static_cast<double>(shown.image.width) / shown.view.width;
        const double ry = static_cast<double>(shown.image.height) / shown.view.height;
        return {image_coordinate((vx - shown.view.x) * rx + shown.image.x),
                image_coordinate((vy - shown.view.y) * ry + shown.image.y)};
    }
    return {image_coordinate((vx - view.pan_x) / view.zoom), image_coordinate((vy - view.pan_y) / view.zoom)};
}

double zoom_to_level(unsigned command) noexcept {
    static_assert(std::size_t{ID_ZOOM_TO_1000 - ID_ZOOM_TO_10 + 1} == std::size(zoom_to_levels),
                  "one \"Zoom To\" command per level, in menu order");
    if (command < ID_ZOOM_TO_10 || command > ID_ZOOM_TO_1000)
        return 0.0;
    return zoom_to_levels[command - ID_ZOOM_TO_10];
}

double wheel_zoom_factor(std::int16_t delta) noexcept {
    const float factor = std::exp(0.0005f * static_cast<float>(delta));
    return std::clamp(static_cast<double>(factor), min_zoom, max_zoom);
}

std::wstring format_view_info(const std::wstring& pattern, const preview_rect& image, double zoom) {
    // Per cent with one decimal, from the zoom in thousandths.
    const std::int32_t z = round_to_int(zoom * 1000.0);
    return cpp::format_text(pattern, image.x, image.y, image.width, image.height, z / 10, z - 10 * (z / 10));
}

} // namespace tessolux
