#include "region-rules.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "am-text.h"

namespace tessolux::main_window {

namespace {

// min(value, high), then raised to at least low: low wins where the two bounds cross, so a rectangle that
// already breaks a bound is pushed back inside rather than further out.
std::int64_t bounded(std::int64_t value, std::int64_t low, std::int64_t high) noexcept {
    return std::max(std::min(value, high), low);
}

std::int32_t inside(std::int64_t value, std::int32_t limit) noexcept {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, 0, std::max(limit, 0)));
}

// A border's line grown by reach pixels on every side: what the pointer has to touch.
bool near_line(const preview_rect& line, std::int32_t reach, std::int32_t x, std::int32_t y) noexcept {
    if (is_empty_rect(line))
        return false;
    return std::int64_t{x} >= std::int64_t{line.x} - reach &&
           std::int64_t{x} < std::int64_t{line.x} + line.width + reach &&
           std::int64_t{y} >= std::int64_t{line.y} - reach &&
           std::int64_t{y} < std::int64_t{line.y} + line.height + reach;
}

} // namespace

preview_rect rubber_band_rect(image_point a, image_point b, std::int32_t width,
                              std::int32_t height) noexcept {
    const std::int32_t left = inside(std::min(a.x, b.x), width);
    const std::int32_t right = inside(std::max(a.x, b.x), width);
    const std::int32_t top = inside(std::min(a.y, b.y), height);
    const std::int32_t bottom = inside(std::max(a.y, b.y), height);
    return {left, top, right - left, bottom - top};
}

preview_rect middle_third(std::int32_t width, std::int32_t height) noexcept {
    return {width / 3, height / 3, width / 3, height / 3};
}

preview_rect move_focus_rect(const preview_rect& start, std::int64_t dx, std::int64_t dy, std::int32_t width,
                             std::int32_t height) noexcept {
    const std::int64_t x =
        start.x + bounded(dx, -std::int64_t{start.x}, std::int64_t{width} - start.width - start.x);
    const std::int64_t y =
        start.y + bounded(dy, -std::int64_t{start.y}, std::int64_t{height} - start.height - start.y);
    return {static_cast<std::int32_t>(x), static_cast<std::int32_t>(y), start.width, start.height};
}

preview_rect resize_focus_rect(const preview_rect& start, std::uint32_t borders, std::int64_t dx,
                               std::int64_t dy, bool keep_ratio, std::int32_t width,
                               std::int32_t height) noexcept {
    const bool left = (borders & resizing_left) != 0;
    const bool horizontal = (borders & (resizing_left | resizing_right)) != 0;
    const bool top = (borders & resizing_top) != 0;
    const bool vertical = (borders & (resizing_top | resizing_bottom)) != 0;
    // sx and sy are how far the rectangle shrinks. A border stops one pixel before the opposite one, and
    // at the image's edge on its own side.
    const auto bound_x = [&](std::int64_t shrink) {
        return bounded(shrink, left ? -std::int64_t{start.x} : std::int64_t{start.x} + start.width - width,
                       std::int64_t{start.width} - 1);
    };
    const auto bound_y = [&](std::int64_t shrink) {
        return bounded(shrink, top ? -std::int64_t{start.y} : std::int64_t{start.y} + start.height - height,
                       std::int64_t{start.height} - 1);
    };
    std::int64_t sx = horizontal ? bound_x(left ? dx : -dx) : 0;
    std::int64_t sy = vertical ? bound_y(top ? dy : -dy) : 0;

    if (keep_ratio && std::popcount(borders & resizing_any) == 2 && start.width > 0 && start.height > 0) {
        // The side that grew relatively more is cut back to the starting ratio. In double: the ratios of
        // small rectangles are far from whole numbers.
        const double w0 = start.width;
        const double h0 = start.height;
        const double w1 = w0 - static_cast<double>(sx);
        const double h1 = h0 - static_cast<double>(sy);
        const double r0 = w0 / h0;
        const double r1 = w1 / h1;
        if (r1 > r0)
            sx = round_to_int(w0 - r0 * h1);
        else if (r0 > r1)
            sy = round_to_int(h0 - w1 / r0);
        // The ratio gives way to the bounds: a corner never takes the rectangle to nothing or out of the
        // image.
        sx = horizontal ? bound_x(sx) : 0;
        sy = vertical ? bound_y(sy) : 0;
    }
    return {static_cast<std::int32_t>(start.x + (left ? sx : 0)),
            static_cast<std::int32_t>(start.y + (top ? sy : 0)), static_cast<std::int32_t>(start.width - sx),
            static_cast<std::int32_t>(start.height - sy)};
}

std::uint32_t hit_focus_borders(const preview_rect& focused, const view_mapping& shown, std::int32_t reach,
                                std::int32_t x, std::int32_t y) noexcept {
    const rect_strips strips = border_strips(focused);
    const struct {
        const preview_rect& strip;
        bool vertical;
        std::uint32_t bit;
    } borders[] = {{strips.left, true, resizing_left},
                   {strips.right, true, resizing_right},
                   {strips.top, false, resizing_top},
                   {strips.bottom, false, resizing_bottom}};
    std::uint32_t hits = 0;
    for (const auto& border : borders)
        if (near_line(scale_rect_to_view(border.strip, shown.image, shown.view, border.vertical), reach, x,
                      y))
            hits |= border.bit;
    return hits;
}

border_hover hover_for_borders(std::uint32_t hits, bool control) noexcept {
    if (hits == 0)
        return {0, tool_cursor::arrow};
    if (control)
        return {moving_focus, tool_cursor::size_all};
    switch (hits) {
    case resizing_right | resizing_bottom:
    case resizing_left | resizing_top:
        return {hits, tool_cursor::size_nwse};
    case resizing_left | resizing_bottom:
    case resizing_right | resizing_top:
        return {hits, tool_cursor::size_nesw};
    default:
        return {hits,
                (hits & (resizing_left | resizing_right)) != 0 ? tool_cursor::size_we : tool_cursor::size_ns};
    }
}

std::uint64_t squared_distance(image_point a, image_point b) noexcept {
    const auto square = [](std::int32_t p, std::int32_t q) {
        const std::int64_t d = std::int64_t{p} - q;
        const std::uint64_t magnitude = static_cast<std::uint64_t>(d < 0 ? -d : d);
        return magnitude * magnitude; // below 2^64: the magnitude is below 2^32
    };
    const std::uint64_t dx = square(a.x, b.x);
    const std::uint64_t dy = square(a.y, b.y);
    return dx > std::numeric_limits<std::uint64_t>::max() - dy ? std::numeric_limits<std::uint64_t>::max()
                                                               : dx + dy;
}

bool circle_due(std::uint64_t squared_distance, std::uint64_t now_ns, std::uint64_t last_ns) noexcept {
    return squared_distance > circle_spacing_squared || now_ns - last_ns > circle_interval_ns;
}

bool brush_reaches_image(image_point p, double radius, std::int32_t width, std::int32_t height) noexcept {
    return p.x + radius > 0 && p.y + radius > 0 && p.x - radius < width && p.y - radius < height;
}

wheel_action wheel_action_for(std::uint32_t selection_mode, bool shift) noexcept {
    if ((selection_mode == 0) != shift)
        return wheel_action::zoom;
    return selection_mode != 0 ? wheel_action::brush : wheel_action::none;
}

std::optional<pointer_stats> read_pointer_stats(const std::wstring& pattern, const image_frame& frame,
                                                image_point p) {
    pointer_stats stats;
    stats.position = cpp::format_text(pattern, p.x, p.y);
    stats.inside = static_cast<std::uint32_t>(p.x) < static_cast<std::uint32_t>(frame.width) &&
                   static_cast<std::uint32_t>(p.y) < static_cast<std::uint32_t>(frame.height);
    const bool sampled = sample_pixel(frame, p.x, p.y, [&](std::uint64_t colour, bool wide, bool alpha) {
        for (int lane = 0; lane != 3; ++lane)
            stats.channels[lane] = std::to_wstring((colour >> (16 * lane)) & 0xFFFF);
        stats.channels[3] = alpha ? std::to_wstring(colour >> 48) : std::wstring();
        stats.wide = wide;
    });
    if (!sampled)
        return std::nullopt;
    return stats;
}

} // namespace tessolux::main_window
