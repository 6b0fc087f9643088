#include "standin-pixels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

namespace standin {

namespace {

// Working pixels: samples scaled to 0..1 whatever the format's depth.
struct rgba {
    float r, g, b, a;
};

using row_buffer = std::vector<rgba>;

// One sample type, channel count and the channels' places in memory (-1: absent).
template <class T, int N, int R, int G, int B, int A> struct layout {
    using sample = T;
    static constexpr int channels = N;
};

template <class T> constexpr float sample_max = sizeof(T) == 1 ? 255.0f : 65535.0f;

template <class T> T load(const BYTE* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T> void store(BYTE* p, float v) {
    T s = static_cast<T>(std::clamp(v, 0.0f, 1.0f) * sample_max<T> + 0.5f);
    std::memcpy(p, &s, sizeof s);
}

float luma(const rgba& p) {
    return 0.299f * p.r + 0.587f * p.g + 0.114f * p.b;
}

template <class T, int N, int R, int G, int B, int A>
void read_pixels(layout<T, N, R, G, B, A>, const BYTE* src, int count, rgba* out) {
    constexpr float scale = 1.0f / sample_max<T>;
    constexpr int size = sizeof(T);
    for (int i = 0; i != count; ++i, src += N * size) {
        if constexpr (N == 1) {
            float v = load<T>(src) * scale;
            out[i] = {v, v, v, 1.0f};
        } else {
            out[i].r = load<T>(src + R * size) * scale;
            out[i].g = load<T>(src + G * size) * scale;
            out[i].b = load<T>(src + B * size) * scale;
            if constexpr (A >= 0)
                out[i].a = load<T>(src + A * size) * scale;
            else
                out[i].a = 1.0f;
        }
    }
}

template <class T, int N, int R, int G, int B, int A>
void write_pixels(layout<T, N, R, G, B, A>, BYTE* dst, int count, const rgba* in) {
    constexpr int size = sizeof(T);
    for (int i = 0; i != count; ++i, dst += N * size) {
        if constexpr (N == 1) {
            store<T>(dst, luma(in[i]));
        } else {
            store<T>(dst + R * size, in[i].r);
            store<T>(dst + G * size, in[i].g);
            store<T>(dst + B * size, in[i].b);
            if constexpr (A >= 0)
                store<T>(dst + A * size, in[i].a);
        }
    }
}

// Chooses the layout once per row; the loops inside are then fixed.
template <class Visit> void with_layout(int format, Visit&& visit) {
    using u8 = std::uint8_t;
    using u16 = std::uint16_t;
    switch (format) {
    case 2:
        return visit(layout<u8, 1, 0, 0, 0, -1>{});
    case 3:
        return visit(layout<u16, 1, 0, 0, 0, -1>{});
    case 4:
        return visit(layout<u8, 3, 2, 1, 0, -1>{});
    case 5:
        return visit(layout<u16, 3, 2, 1, 0, -1>{});
    case 6:
        return visit(layout<u8, 3, 0, 1, 2, -1>{});
    case 7:
        return visit(layout<u16, 3, 0, 1, 2, -1>{});
    case 8:
        return visit(layout<u8, 4, 2, 1, 0, 3>{});
    case 9:
        return visit(layout<u16, 4, 2, 1, 0, 3>{});
    case 10: // samples B, R, G, A
        return visit(layout<u8, 4, 1, 2, 0, 3>{});
    case 11:
        return visit(layout<u16, 4, 1, 2, 0, 3>{});
    case 12:
        return visit(layout<u8, 4, 0, 1, 2, 3>{});
    case 13:
        return visit(layout<u16, 4, 0, 1, 2, 3>{});
    }
}

void read_row(const image_view& view, int y, int x0, int count, rgba* out) {
    const BYTE* src = view.row(y) + static_cast<std::ptrdiff_t>(x0) * (bits_per_pixel(view.format) / 8);
    with_layout(view.format, [&](auto l) { read_pixels(l, src, count, out); });
}

void write_row(const image_view& view, int y, const rgba* in) {
    with_layout(view.format, [&](auto l) { write_pixels(l, view.row(y), view.width, in); });
}

int clamp_index(long long i, int size) {
    return static_cast<int>(std::clamp<long long>(i, 0, size - 1));
}

// Rows j of a row function for j from y - radius to y + radius, each made once as y moves down the
// image one row at a time; rows beyond the edges repeat the edge row.
template <class MakeRow> class row_window {
public:
    row_window(int width, int height, int radius, MakeRow make_row)
        : width_(width), height_(height), radius_(radius), size_(2 * radius + 1),
          rows_(static_cast<std::size_t>(size_) * width), make_row_(std::move(make_row)) {}

    // Moves to row y, for y = 0, 1, 2, ... in order.
    void move_to(int y) {
        // The entering row takes the slot of the row that leaves.
        for (int j = y == 0 ? -radius_ : y + radius_; j <= y + radius_; ++j)
            make_row_(clamp_index(j, height_), slot(j));
    }
    const rgba* row(int j) { return slot(j); }

private:
    rgba* slot(int j) { return &rows_[static_cast<std::size_t>((j + radius_ + size_) % size_) * width_]; }

    int width_, height_, radius_, size_;
    row_buffer rows_;
    MakeRow make_row_;
};

// Box blur of the radius over the source rows after `prepare`, with running sums
// across and down, so its cost does not grow with the radius. A row leaving the sum down is blurred
// across again rather than kept, so memory stays a few rows whatever the radius.
template <class Prepare> class box_blur {
public:
    box_blur(const image_view& src, int radius, Prepare prepare)
        : src_(src), radius_(radius), prepare_(std::move(prepare)), line_(src.width), across_(src.width),
          sums_(src.width), out_(src.width) {}

    // Row y of the blur, for y = 0, 1, 2, ... in order.
    const rgba* row(int y) {
        if (y == 0) {
            std::fill(sums_.begin(), sums_.end(), rgba{});
            for (int j = -radius_; j <= radius_; ++j)
                add_row(j, 1.0f);
        } else {
            add_row(y - 1 - radius_, -1.0f);
            add_row(y + radius_, 1.0f);
        }
        const float scale = 1.0f / static_cast<float>(2 * radius_ + 1);
        for (int x = 0; x != src_.width; ++x)
            out_[x] = {sums_[x].r * scale, sums_[x].g * scale, sums_[x].b * scale, sums_[x].a * scale};
        return out_.data();
    }

private:
    void add_row(int j, float sign) {
        blur_across(clamp_index(j, src_.height));
        for (int x = 0; x != src_.width; ++x) {
            sums_[x].r += sign * across_[x].r;
            sums_[x].g += sign * across_[x].g;
            sums_[x].b += sign * across_[x].b;
            sums_[x].a += sign * across_[x].a;
        }
    }
    void blur_across(int y) {
        const int w = src_.width;
        read_row(src_, y, 0, w, line_.data());
        prepare_(line_.data(), w);
        rgba sum{};
        for (int k = -radius_; k <= radius_; ++k) {
            const rgba& p = line_[clamp_index(k, w)];
            sum = {sum.r + p.r, sum.g + p.g, sum.b + p.b, sum.a + p.a};
        }
        const float scale = 1.0f / static_cast<float>(2 * radius_ + 1);
        for (int x = 0; x != w; ++x) {
            across_[x] = {sum.r * scale, sum.g * scale, sum.b * scale, sum.a * scale};
            const rgba& in = line_[clamp_index(x + radius_ + 1, w)];
            const rgba& gone = line_[clamp_index(x - radius_, w)];
            sum = {sum.r + in.r - gone.r, sum.g + in.g - gone.g, sum.b + in.b - gone.b,
                   sum.a + in.a - gone.a};
        }
    }

    image_view src_;
    int radius_;
    Prepare prepare_;
    row_buffer line_, across_, sums_, out_;
};

auto unchanged = [](rgba*, int) {};

void reduce_noise(const node_settings& node, const image_view& src, const image_view& dst,
                  run_control& control) {
    const int w = src.width;
    const float luma_amount = std::min(1.0f, static_cast<float>(node.number(L"reduce-intensity")) / 10.0f);
    const float chroma_amount = std::min(1.0f, static_cast<float>(node.number(L"intensity-color")) / 10.0f);
    const float blend = static_cast<float>(node.number(L"blend-intensity"));
    box_blur blur(src, node.integer(L"tile-size") / 2, unchanged);
    row_buffer row(w);
    for (int y = 0; y != src.height; ++y) {
        const rgba* smooth = blur.row(y);
        read_row(src, y, 0, w, row.data());
        for (int x = 0; x != w; ++x) {
            rgba& o = row[x];
            const rgba& b = smooth[x];
            float yo = luma(o), yb = luma(b);
            float y_new = yo + luma_amount * (yb - yo);
            auto channel = [&](float vo, float vb) {
                float c = (vo - yo) + chroma_amount * ((vb - yb) - (vo - yo));
                return vo + blend * (y_new + c - vo);
            };
            o = {channel(o.r, b.r), channel(o.g, b.g), channel(o.b, b.b), o.a};
        }
        write_row(dst, y, row.data());
        control.row_done();
    }
}

void bilateral_filter(const node_settings& node, const image_view& src, const image_view& dst,
                      run_control& control) {
    const int w = src.width, r = node.integer(L"radius"), size = 2 * r + 1;
    const float blend = static_cast<float>(node.number(L"blending"));
    const double position_sigma2 = node.number(L"pos-square-sigma"),
                 value_sigma2 = node.number(L"val-square-sigma");
    std::vector<float> nearby(static_cast<std::size_t>(size) * size);
    for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx)
            nearby[(dy + r) * size + dx + r] =
                static_cast<float>(std::exp(-(dx * dx + dy * dy) / (2 * position_sigma2)));
    // Similarity by the largest channel difference, in 8-bit steps.
    float alike[256];
    for (int d = 0; d != 256; ++d)
        alike[d] = static_cast<float>(std::exp(-(d * d) / (2 * value_sigma2)));

    row_window window(w, src.height, r, [&](int y, rgba* out) { read_row(src, y, 0, w, out); });
    row_buffer out(w);
    for (int y = 0; y != src.height; ++y) {
        window.move_to(y);
        const rgba* centre_row = window.row(y);
        for (int x = 0; x != w; ++x) {
            const rgba& c = centre_row[x];
            rgba sum{};
            float total = 0.0f;
            for (int dy = -r; dy <= r; ++dy) {
                const rgba* row = window.row(y + dy);
                const float* near_row = &nearby[(dy + r) * size + r];
                for (int dx = -r; dx <= r; ++dx) {
                    const rgba& p = row[clamp_index(x + dx, w)];
                    float diff = std::max({std::fabs(p.r - c.r), std::fabs(p.g - c.g), std::fabs(p.b - c.b)});
                    float weight =
                        near_row[dx] * alike[std::min(255, static_cast<int>(diff * 255.0f + 0.5f))];
                    sum = {sum.r + weight * p.r, sum.g + weight * p.g, sum.b + weight * p.b, 0.0f};
                    total += weight;
                }
            }
            out[x] = {c.r + blend * (sum.r / total - c.r), c.g + blend * (sum.g / total - c.g),
                      c.b + blend * (sum.b / total - c.b), c.a};
        }
        write_row(dst, y, out.data());
        control.row_done();
    }
}

void natural_enhance(const node_settings& node, const image_view& src, const image_view& dst,
                     run_control& control) {
    const int w = src.width, h = src.height;
    // First pass: where each channel's histogram starts and ends (past the tolerance), and its mean.
    std::vector<unsigned> histogram(3 * 256);
    double mean[3] = {};
    row_buffer row(w);
    for (int y = 0; y != h; ++y) {
        if (y % 64 == 0)
            control.check_interrupted();
        read_row(src, y, 0, w, row.data());
        for (const rgba& p : row) {
            const float v[3] = {p.r, p.g, p.b};
            for (int c = 0; c != 3; ++c) {
                ++histogram[c * 256 + std::clamp(static_cast<int>(v[c] * 255.0f + 0.5f), 0, 255)];
                mean[c] += v[c];
            }
        }
    }
    const double pixels = static_cast<double>(w) * h;
    const double clipped = node.number(L"tolerance") * pixels;
    const double mean_all = (mean[0] + mean[1] + mean[2]) / (3 * pixels);
    float low[3], span[3], gain[3];
    for (int c = 0; c != 3; ++c) {
        int lo = 0, hi = 255;
        for (double seen = histogram[c * 256]; seen <= clipped && lo < 255; seen += histogram[c * 256 + lo])
            ++lo;
        for (double seen = histogram[c * 256 + 255]; seen <= clipped && hi > 0;
             seen += histogram[c * 256 + hi])
            --hi;
        bool flat = hi - lo < 2;
        low[c] = flat ? 0.0f : lo / 255.0f;
        span[c] = flat ? 1.0f : (hi - lo) / 255.0f;
        double m = mean[c] / pixels;
        gain[c] = m > 1e-3 ? static_cast<float>(std::clamp(mean_all / m, 0.5, 2.0)) : 1.0f;
    }
    const float intensity = static_cast<float>(node.number(L"enhance-intensity"));
    const float ratio[3] = {static_cast<float>(node.number(L"ratio-red")),
                            static_cast<float>(node.number(L"ratio-green")),
                            static_cast<float>(node.number(L"ratio-blue"))};
    const float balance = static_cast<float>(node.number(L"balance-intensity"));
    const float local = 0.5f * intensity * static_cast<float>(node.number(L"ahe-scope"));

    // The stretch and balance per pixel; the local contrast then lifts each pixel away from the mean of
    // its neighbourhood (a segment's size across).
    auto stretch = [&](rgba* pixels_of_row, int count) {
        for (int x = 0; x != count; ++x) {
            float* v[3] = {&pixels_of_row[x].r, &pixels_of_row[x].g, &pixels_of_row[x].b};
            for (int c = 0; c != 3; ++c) {
                float s = std::clamp((*v[c] - low[c]) / span[c], 0.0f, 1.0f);
                *v[c] = (*v[c] + intensity * ratio[c] * (s - *v[c])) * (1.0f + balance * (gain[c] - 1.0f));
            }
        }
    };
    box_blur blur(src, std::max(1, node.integer(L"avg-segment-size") / 8), stretch);
    for (int y = 0; y != h; ++y) {
        const rgba* mean_row = blur.row(y);
        read_row(src, y, 0, w, row.data());
        stretch(row.data(), w);
        for (int x = 0; x != w; ++x) {
            rgba& p = row[x];
            const rgba& m = mean_row[x];
            p = {p.r + local * (p.r - m.r), p.g + local * (p.g - m.g), p.b + local * (p.b - m.b), p.a};
        }
        write_row(dst, y, row.data());
        control.row_done();
    }
}

void remove_red_eyes(const node_settings& node, const image_view& src, const image_view& dst,
                     run_control& control) {
    const int w = src.width;
    const double border = node.number(L"border-width");
    const float intensity = static_cast<float>(node.number(L"intensity"));
    const float pull = std::min(1.0f, intensity);
    // Beyond full strength the pupil is also darkened.
    const float darken = std::max(0.0f, intensity - 1.0f) * 0.5f;
    std::vector<float> weight(w);
    row_buffer row(w);
    for (int y = 0; y != src.height; ++y) {
        std::fill(weight.begin(), weight.end(), 0.0f);
        for (const auto& circle : node.children) {
            const double cx = circle->number(L"X"), cy = circle->number(L"Y"),
                         radius = circle->number(L"radius");
            const double reach = radius + border, dy = y - cy;
            if (std::fabs(dy) > reach)
                continue;
            const double half = std::sqrt(reach * reach - dy * dy);
            const int x0 = static_cast<int>(std::clamp(std::ceil(cx - half), 0.0, static_cast<double>(w)));
            const int x1 =
                static_cast<int>(std::clamp(std::floor(cx + half) + 1, 0.0, static_cast<double>(w)));
            for (int x = x0; x < x1; ++x) {
                const double d = std::hypot(x - cx, dy);
                // Full inside the circle, fading out across the border.
                const float wt = d <= radius ? 1.0f : static_cast<float>(1.0 - (d - radius) / (border + 1.0));
                weight[x] = std::max(weight[x], wt);
            }
        }
        read_row(src, y, 0, w, row.data());
        for (int x = 0; x != w; ++x) {
            rgba& p = row[x];
            const float others = 0.5f * (p.g + p.b);
            if (p.r > others)
                p.r -= pull * weight[x] * (p.r - others);
            const float keep = 1.0f - darken * weight[x];
            p = {p.r * keep, p.g * keep, p.b * keep, p.a};
        }
        write_row(dst, y, row.data());
        control.row_done();
    }
}

struct rect {
    long long x, y, width, height;
};

// A rectangle child when the node has one, else the fallback.
rect child_rect(const node_settings& node, rect fallback) {
    if (node.children.empty())
        return fallback;
    const node_settings& r = *node.children.front();
    return {static_cast<long long>(r.number(L"x")), static_cast<long long>(r.number(L"y")),
            static_cast<long long>(r.number(L"width")), static_cast<long long>(r.number(L"height"))};
}

// Without a focused rectangle the middle third of the rows stays sharp, as in a classic tilt-shift.
rect focus_of(const node_settings& node, int width, int height) {
    return child_rect(node, {0, height / 3, width, std::max(1, height / 3)});
}

void check_inside(const node_settings& node, const rect& r, const shape& source) {
    if (!node.children.empty() && (r.x + r.width > source.width || r.y + r.height > source.height))
        invalid(L"the " + std::wstring(node.children.front()->rule->name) + L" child of node " +
                quoted(node.rule->name) + L" (" + std::to_wstring(r.x) + L", " + std::to_wstring(r.y) +
                L", " + std::to_wstring(r.width) + L" x " + std::to_wstring(r.height) +
                L") lies outside the " + std::to_wstring(source.width) + L" x " +
                std::to_wstring(source.height) + L" source");
}

void tilt_shift(const node_settings& node, const image_view& src, const image_view& dst,
                run_control& control) {
    const int w = src.width, h = src.height;
    const rect focus = focus_of(node, w, h);
    const float ramp =
        std::max(1.0f, static_cast<float>(node.number(L"border-size-relative")) * std::min(w, h));
    box_blur blur(src, node.integer(L"blur-radius"), unchanged);
    row_buffer row(w);
    for (int y = 0; y != h; ++y) {
        const rgba* smooth = blur.row(y);
        read_row(src, y, 0, w, row.data());
        const float dy = static_cast<float>(std::max({focus.y - y, 0LL, y - (focus.y + focus.height - 1)}));
        for (int x = 0; x != w; ++x) {
            const float dx =
                static_cast<float>(std::max({focus.x - x, 0LL, x - (focus.x + focus.width - 1)}));
            const float amount = std::min(1.0f, std::sqrt(dx * dx + dy * dy) / ramp);
            rgba& p = row[x];
            const rgba& b = smooth[x];
            p = {p.r + amount * (b.r - p.r), p.g + amount * (b.g - p.g), p.b + amount * (b.b - p.b), p.a};
        }
        write_row(dst, y, row.data());
        control.row_done();
    }
}

void film(const node_settings& node, const image_view& src, const image_view& dst, run_control& control) {
    const film_look& look = film_look_of(node.rule->variant);
    const float amount = static_cast<float>(node.number(L"intensity", 1.0));
    row_buffer row(src.width);
    for (int y = 0; y != src.height; ++y) {
        read_row(src, y, 0, src.width, row.data());
        for (rgba& p : row) {
            rgba t;
            if (look.monochrome) {
                float m = look.gain_r * p.r + look.gain_g * p.g + look.gain_b * p.b;
                m = (m - 0.5f) * look.contrast + 0.5f + look.offset_r;
                t = {m, m, m, p.a};
            } else {
                const float l = luma(p);
                auto grade = [&](float v, float gain, float offset) {
                    float c = l + look.saturation * (v - l);
                    return ((c - 0.5f) * look.contrast + 0.5f) * gain + offset;
                };
                t = {grade(p.r, look.gain_r, look.offset_r), grade(p.g, look.gain_g, look.offset_g),
                     grade(p.b, look.gain_b, look.offset_b), p.a};
            }
            p = {p.r + amount * (t.r - p.r), p.g + amount * (t.g - p.g), p.b + amount * (t.b - p.b), p.a};
        }
        write_row(dst, y, row.data());
        control.row_done();
    }
}

// Noise from the pixel's coordinates alone: the same image gets the same grain on every run.
float hashed_noise(std::uint32_t x, std::uint32_t y, std::uint32_t seed) {
    std::uint32_t h = x * 0x8da6b343u ^ y * 0xd8163841u ^ (seed + 1) * 0xcb1ab31fu;
    h ^= h >> 15;
    h *= 0x2c1b3c6du;
    h ^= h >> 12;
    h *= 0x297a2d39u;
    h ^= h >> 15;
    return static_cast<float>(h & 0xffff) / 65535.0f - 0.5f;
}

void grain(const node_settings& node, const image_view& src, const image_view& dst, run_control& control) {
    const float amount = 0.25f * static_cast<float>(node.number(L"intensity", 1.0));
    const int kind = node.rule->variant;
    row_buffer row(src.width);
    for (int y = 0; y != src.height; ++y) {
        read_row(src, y, 0, src.width, row.data());
        for (int x = 0; x != src.width; ++x) {
            const auto ux = static_cast<std::uint32_t>(x), uy = static_cast<std::uint32_t>(y);
            float n;
            if (kind == 0) { // fine, one value per pixel
                n = hashed_noise(ux, uy, 0);
            } else if (kind == 1) { // coarse, one value per 2 x 2 block
                n = 1.2f * hashed_noise(ux >> 1, uy >> 1, 1);
            } else { // four octaves, each twice as coarse and half as strong
                n = 0.0f;
                for (int octave = 0; octave != 4; ++octave)
                    n += hashed_noise(ux >> octave, uy >> octave, 2 + octave) /
                         static_cast<float>(1 << octave);
                n *= 1.0f / 1.875f;
            }
            rgba& p = row[x];
            p = {p.r + amount * n, p.g + amount * n, p.b + amount * n, p.a};
        }
        write_row(dst, y, row.data());
        control.row_done();
    }
}

template <int Bytes>
void copy_nearest(const image_view& src, const image_view& dst, const std::vector<int>& xs,
                  const std::vector<int>& ys, run_control& control) {
    for (int y = 0; y != dst.height; ++y) {
        const BYTE* from = src.row(ys[y]);
        BYTE* to = dst.row(y);
        for (int x = 0; x != dst.width; ++x)
            std::memcpy(to + x * Bytes, from + xs[x] * Bytes, Bytes);
        control.row_done();
    }
}

// Output pixel i takes the source pixel under its centre, so scaling by whole factors repeats or skips
// pixels exactly.
std::vector<int> nearest_map(long long start, long long length, int count) {
    std::vector<int> map(count);
    for (int i = 0; i != count; ++i)
        map[i] = static_cast<int>(start + (2LL * i + 1) * length / (2LL * count));
    return map;
}

void resize_nearest(const image_view& src, const image_view& dst, const rect& area, run_control& control) {
    auto xs = nearest_map(area.x, area.width, dst.width), ys = nearest_map(area.y, area.height, dst.height);
    switch (bits_per_pixel(src.format) / 8) {
    case 1:
        return copy_nearest<1>(src, dst, xs, ys, control);
    case 2:
        return copy_nearest<2>(src, dst, xs, ys, control);
    case 3:
        return copy_nearest<3>(src, dst, xs, ys, control);
    case 4:
        return copy_nearest<4>(src, dst, xs, ys, control);
    case 6:
        return copy_nearest<6>(src, dst, xs, ys, control);
    case 8:
        return copy_nearest<8>(src, dst, xs, ys, control);
    }
}

double lanczos3(double t) {
    if (t == 0.0)
        return 1.0;
    if (std::fabs(t) >= 3.0)
        return 0.0;
    const double pt = std::numbers::pi * t;
    return 3.0 * std::sin(pt) * std::sin(pt / 3.0) / (pt * pt);
}

// For each output pixel along one axis: the source indices and normalised weights of its taps.
struct taps {
    int count = 0;
    std::vector<int> index;
    std::vector<float> weight;
};

taps lanczos_taps(long long start, long long length, int outputs, int full) {
    const double scale = static_cast<double>(length) / outputs;
    // Shrinking widens the kernel so every source pixel contributes.
    const double stretch = std::max(1.0, scale), support = 3.0 * stretch;
    taps t;
    t.count = static_cast<int>(std::ceil(2.0 * support)) + 1;
    t.index.resize(static_cast<std::size_t>(outputs) * t.count);
    t.weight.resize(t.index.size());
    for (int o = 0; o != outputs; ++o) {
        const double centre = start + (o + 0.5) * scale - 0.5;
        const long long first = static_cast<long long>(std::floor(centre - support)) + 1;
        double total = 0.0;
        for (int k = 0; k != t.count; ++k) {
            double wt = lanczos3((first + k - centre) / stretch);
            t.index[o * t.count + k] = clamp_index(first + k, full);
            t.weight[o * t.count + k] = static_cast<float>(wt);
            total += wt;
        }
        for (int k = 0; k != t.count; ++k)
            t.weight[o * t.count + k] = static_cast<float>(t.weight[o * t.count + k] / total);
    }
    return t;
}

// Separable Lanczos-3 on premultiplied samples (so transparent pixels lend no colour); source rows are
// filtered across once each and kept while output rows still need them.
void resize_lanczos(const image_view& src, const image_view& dst, const rect& area, run_control& control) {
    const taps across = lanczos_taps(area.x, area.width, dst.width, src.width);
    const taps down = lanczos_taps(area.y, area.height, dst.height, src.height);
    const auto [lowest, highest] = std::minmax_element(across.index.begin(), across.index.end());
    const int first_column = *lowest, columns = *highest - *lowest + 1;
    const bool alpha = has_alpha(src.format);

    const int cached = down.count + 1;
    row_buffer cache(static_cast<std::size_t>(cached) * dst.width), line(columns), out(dst.width);
    std::vector<int> cached_row(cached, -1);
    auto filtered_row = [&](int j) -> const rgba* {
        rgba* slot = &cache[static_cast<std::size_t>(j % cached) * dst.width];
        if (cached_row[j % cached] == j)
            return slot;
        read_row(src, j, first_column, columns, line.data());
        if (alpha)
            for (rgba& p : line)
                p = {p.r * p.a, p.g * p.a, p.b * p.a, p.a};
        for (int x = 0; x != dst.width; ++x) {
            rgba sum{};
            for (int k = 0; k != across.count; ++k) {
                const float wt = across.weight[x * across.count + k];
                const rgba& p = line[across.index[x * across.count + k] - first_column];
                sum = {sum.r + wt * p.r, sum.g + wt * p.g, sum.b + wt * p.b, sum.a + wt * p.a};
            }
            slot[x] = sum;
        }
        cached_row[j % cached] = j;
        return slot;
    };
    for (int y = 0; y != dst.height; ++y) {
        std::fill(out.begin(), out.end(), rgba{});
        for (int k = 0; k != down.count; ++k) {
            const float wt = down.weight[y * down.count + k];
            const rgba* row = filtered_row(down.index[y * down.count + k]);
            for (int x = 0; x != dst.width; ++x)
                out[x] = {out[x].r + wt * row[x].r, out[x].g + wt * row[x].g, out[x].b + wt * row[x].b,
                          out[x].a + wt * row[x].a};
        }
        if (alpha)
            for (rgba& p : out) {
                const float inverse = p.a > 1e-6f ? 1.0f / p.a : 0.0f;
                p = {p.r * inverse, p.g * inverse, p.b * inverse, p.a};
            }
        write_row(dst, y, out.data());
        control.row_done();
    }
}

void resize(const node_settings& node, const image_view& src, const image_view& dst, run_control& control) {
    const rect area = child_rect(node, {0, 0, src.width, src.height});
    if (node.integer(L"method") == 1)
        resize_nearest(src, dst, area, control);
    else
        resize_lanczos(src, dst, area, control);
}

} // namespace

bool is_known_format(int format) {
    return format >= 2 && format <= 13;
}

int bits_per_pixel(int format) {
    static constexpr int bits[] = {0, 1, 8, 16, 24, 48, 24, 48, 32, 64, 32, 64, 32, 64};
    return format >= 1 && format <= 13 ? bits[format] : -1;
}

bool has_alpha(int format) {
    return format >= 8 && format <= 13;
}

int row_bytes(int format, int width) {
    return width * (bits_per_pixel(format) / 8);
}

pixel_buffer make_pixel_buffer(int width, int height, int format) {
    const int stride = (row_bytes(format, width) + 3) & ~3;
    pixel_buffer buffer;
    buffer.bytes.reset(new BYTE[static_cast<std::size_t>(stride) * height]());
    buffer.view = {buffer.bytes.get(), width, height, stride, format};
    return buffer;
}

void copy_view(const image_view& from, const image_view& to) {
    const std::size_t bytes = static_cast<std::size_t>(row_bytes(from.format, from.width));
    for (int y = 0; y != from.height; ++y)
        std::memmove(to.row(y), from.row(y), bytes);
}

shape output_shape(const node_settings& node, const shape& source) {
    switch (node.rule->kind) {
    case node_kind::tilt_shift:
        check_inside(node, focus_of(node, source.width, source.height), source);
        return source;
    case node_kind::resize:
        check_inside(node, child_rect(node, {0, 0, source.width, source.height}), source);
        return {node.integer(L"width"), node.integer(L"height"), source.format};
    case node_kind::convert:
        return {source.width, source.height, node.integer(L"to") == 0 ? 4 : 8};
    default:
        return source;
    }
}

void render_node(const node_settings& node, const image_view& src, const image_view& dst,
                 run_control& control) {
    switch (node.rule->kind) {
    case node_kind::reduce_noise:
        return reduce_noise(node, src, dst, control);
    case node_kind::bilateral_filter:
        return bilateral_filter(node, src, dst, control);
    case node_kind::natural_enhance:
        return natural_enhance(node, src, dst, control);
    case node_kind::remove_red_eyes:
        return remove_red_eyes(node, src, dst, control);
    case node_kind::tilt_shift:
        return tilt_shift(node, src, dst, control);
    case node_kind::film:
        return film(node, src, dst, control);
    case node_kind::grain:
        return grain(node, src, dst, control);
    case node_kind::resize:
        return resize(node, src, dst, control);
    case node_kind::convert:
        return convert_pixels(
            src, dst, static_cast<std::uint32_t>(node.number(L"alpha-background", 0xffffff)), control);
    case node_kind::circle:
    case node_kind::rectangle:
        break;
    }
}

void convert_pixels(const image_view& src, const image_view& dst, std::uint32_t background,
                    run_control& control) {
    const float red = ((background >> 16) & 0xff) / 255.0f, green = ((background >> 8) & 0xff) / 255.0f,
                blue = (background & 0xff) / 255.0f;
    const bool blend = !has_alpha(dst.format);
    row_buffer row(src.width);
    for (int y = 0; y != src.height; ++y) {
        read_row(src, y, 0, src.width, row.data());
        if (blend)
            for (rgba& p : row)
                p = {p.r * p.a + red * (1.0f - p.a), p.g * p.a + green * (1.0f - p.a),
                     p.b * p.a + blue * (1.0f - p.a), 1.0f};
        write_row(dst, y, row.data());
        control.row_done();
    }
}

void scale_pixels(const image_view& src, const image_view& dst, run_control& control) {
    resize_lanczos(src, dst, {0, 0, src.width, src.height}, control);
}

} // namespace standin
