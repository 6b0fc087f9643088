#include "image-processor.h"

#include "engine-chain.h"
#include "parameter-text.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <type_traits>

#include <emmintrin.h>

#include "am-collections.h"
#include "am-common.h"
#include "am-text.h"
#include "host-entry.h"
#include "win-common.h"
#include "resource.h"
#include "worker-lanes.h"

namespace tessolux {

namespace {

using error_handling::check_result;

// The buffer behind an engine image, as get_buffer describes it.
struct frame_buffer {
    BYTE* data = nullptr;
    UINT32 byte_size = 0;
    INT32 stride = 0;
    pixel_format format{};
    INT32 width = 0;

    std::int32_t rows() const noexcept {
        return stride > 0 ? static_cast<std::int32_t>(byte_size / static_cast<UINT32>(stride)) : 0;
    }
    BYTE* row(std::int32_t y) const noexcept { return data + static_cast<std::ptrdiff_t>(y) * stride; }
};

// A failed query is reported as the interface not being there; the check then reads no error object,
// which a failed QueryInterface does not set.
template <class Interface> com_ptr<Interface> query(IUnknown* object) {
    com_ptr<Interface> result;
    if (FAILED(object->QueryInterface(__uuidof(Interface), result.put_void())) || !result)
        check_result<Interface>(nullptr, E_NOTIMPL);
    return result;
}

frame_buffer buffer_of(zorvane::IImageData* data) {
    frame_buffer buffer;
    check_result(data, data->get_buffer(&buffer.data, &buffer.byte_size, &buffer.stride, &buffer.format,
                                        &buffer.width));
    return buffer;
}

frame_buffer buffer_of(const image_frame& frame) {
    return buffer_of(query<zorvane::IImageData>(frame.image.get()).get());
}

using memory_dc = cpp::unique_any<HDC, &DeleteDC>;
using bitmap_holder = cpp::unique_any<HBITMAP, &DeleteObject>;

// A DC compatible with the screen; none is a shortage of system resources.
memory_dc make_memory_dc() {
    memory_dc dc(CreateCompatibleDC(nullptr));
    if (!dc)
        throw std::bad_alloc();
    return dc;
}

// A top-down DIB section of the given bit depth and its bits.
bitmap_holder make_dib_section(HDC dc, std::int32_t width, std::int32_t height, std::int32_t bits,
                               void*& memory) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top-down, as the engine's rows lie
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = static_cast<WORD>(bits);
    info.bmiHeader.biCompression = BI_RGB;
    bitmap_holder bitmap(CreateDIBSection(dc, &info, DIB_RGB_COLORS, &memory, nullptr, 0));
    if (!bitmap)
        throw std::bad_alloc();
    return bitmap;
}

std::int32_t channel_count(pixel_format format) {
    return zorvane::get_bits_per_pixel(format) / zorvane::get_channels_bitdepth(format);
}

// Conversion kernels ------------------------------------------------------------------------------------

// Where the host's samples lie within a pixel: the layout the host entry always passes, which takes the
// whole-register loops further down, or any other, given at run time.
struct standard_offsets {
    static constexpr std::int32_t c0 = 0, c1 = 1, c2 = 2, alpha = 3;
};
struct given_offsets {
    std::int32_t c0, c1, c2, alpha;
};

// What a sample becomes on its way into the engine, per depth.
template <class Sample> struct engine_range;
template <> struct engine_range<std::uint8_t> {
    static std::uint8_t widen(std::uint32_t v) noexcept { return static_cast<std::uint8_t>(v); }
    static std::uint8_t narrow(std::uint32_t v) noexcept { return static_cast<std::uint8_t>(v); }
    static std::uint8_t mask(std::uint32_t m) noexcept { return static_cast<std::uint8_t>(m); }
    // Truncating, so a fully selected pixel keeps its alpha exactly.
    static std::uint8_t masked_alpha(std::uint32_t a, std::uint32_t m) noexcept {
        return static_cast<std::uint8_t>(a * m / 255);
    }
};
template <> struct engine_range<std::uint16_t> {
    static std::uint16_t widen(std::uint16_t v) noexcept { return widen_sample(v); }
    static std::uint16_t narrow(std::uint16_t v) noexcept { return narrow_sample(v); }
    static std::uint16_t mask(std::uint32_t m) noexcept { return static_cast<std::uint16_t>(m << 8); }
    static std::uint16_t masked_alpha(std::uint32_t a, std::uint32_t m) noexcept {
        return widen_sample(static_cast<std::uint16_t>(a * m / 255));
    }
};

// One row, sample by sample: what every pixel becomes, in any layout.
template <class Sample, int K, class Offsets>
void host_row_to_frame(const Sample* source, const std::uint8_t* mask, Sample* destination,
                       std::int32_t width, Offsets at) noexcept {
    using range = engine_range<Sample>;
    for (std::int32_t x = 0; x != width; ++x, source += K, destination += 4) {
        const std::uint32_t m = mask[x];
        if constexpr (K == 1) {
            const Sample v = range::widen(source[0]);
            destination[0] = v;
            destination[1] = v;
            destination[2] = v;
        } else {
            destination[0] = range::widen(source[at.c0]);
            destination[1] = range::widen(source[at.c1]);
            destination[2] = range::widen(source[at.c2]);
        }
        if constexpr (K == 4)
            destination[3] = range::masked_alpha(source[at.alpha], m);
        else
            destination[3] = range::mask(m);
    }
}

template <class Sample, int K, class Offsets>
void frame_row_to_host(const Sample* unprocessed, const Sample* processed, const std::uint8_t* mask,
                       Sample* output, std::int32_t width, Offsets at) noexcept {
    using range = engine_range<Sample>;
    for (std::int32_t x = 0; x != width; ++x, unprocessed += K, processed += 4, output += K) {
        if (mask[x] != 0) {
            if constexpr (K == 1) {
                output[0] = range::narrow(processed[0]);
            } else {
                output[at.c0] = range::narrow(processed[0]);
                output[at.c1] = range::narrow(processed[1]);
                output[at.c2] = range::narrow(processed[2]);
            }
            if constexpr (K == 4)
                output[at.alpha] = unprocessed[at.alpha];
        } else {
            for (int i = 0; i != K; ++i)
                output[i] = unprocessed[i];
        }
    }
}

// The host's own layout (c0, c1, c2 = 0, 1, 2; alpha 3 or none) takes four to sixteen pixels per SSE2
// register. Each row's remainder, and every other layout, goes through the per-sample loops above, which
// say what every pixel becomes.

__m128i load128(const void* at) noexcept {
    return _mm_loadu_si128(static_cast<const __m128i*>(at));
}
void store128(void* at, __m128i value) noexcept {
    _mm_storeu_si128(static_cast<__m128i*>(at), value);
}
__m128i lanes64(std::uint64_t low, std::uint64_t high) noexcept {
    return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
}

// Four mask bytes, each in the low byte of a 32-bit lane.
__m128i mask_lanes(const std::uint8_t* mask) noexcept {
    const __m128i zero = _mm_setzero_si128();
    int four;
    std::memcpy(&four, mask, 4);
    return _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(four), zero), zero);
}

// Three-sample pixels, packed as the host keeps them, spread to one pixel per lane (the fourth sample
// zero) and back: 3-byte pixels in 32-bit lanes, 6-byte pixels in 64-bit lanes. Packing leaves the
// register's last four bytes zero.
__m128i spread_pixels48(__m128i packed) noexcept {
    const __m128i first = lanes64(0x0000FFFFFFFFFFFF, 0);
    const __m128i second = lanes64(0, 0x0000FFFFFFFFFFFF);
    return _mm_or_si128(_mm_and_si128(packed, first), _mm_and_si128(_mm_slli_si128(packed, 2), second));
}
__m128i pack_pixels48(__m128i spread) noexcept {
    const __m128i first = lanes64(0x0000FFFFFFFFFFFF, 0);
    const __m128i second = lanes64(0, 0x0000FFFFFFFFFFFF);
    return _mm_or_si128(_mm_and_si128(spread, first), _mm_srli_si128(_mm_and_si128(spread, second), 2));
}
__m128i spread_pixels24(__m128i packed) noexcept {
    const __m128i pairs = spread_pixels48(packed);
    return _mm_or_si128(_mm_and_si128(pairs, _mm_set1_epi64x(0x0000000000FFFFFF)),
                        _mm_and_si128(_mm_slli_epi64(pairs, 8), _mm_set1_epi64x(0x00FFFFFF00000000)));
}
__m128i pack_pixels24(__m128i spread) noexcept {
    const __m128i colour = _mm_and_si128(spread, _mm_set1_epi32(0x00FFFFFF));
    const __m128i pairs =
        _mm_or_si128(_mm_and_si128(colour, _mm_set1_epi64x(0x0000000000FFFFFF)),
                     _mm_and_si128(_mm_srli_epi64(colour, 8), _mm_set1_epi64x(0x0000FFFFFF000000)));
    return pack_pixels48(pairs);
}

// The 16-bit range conversions, eight samples at once. The average with zero is (v + 1) >> 1 without
// overflow.
__m128i widen_samples(__m128i v) noexcept {
    return _mm_sub_epi16(_mm_slli_epi16(v, 1), _mm_srli_epi16(v, 15));
}
__m128i narrow_samples(__m128i v) noexcept {
    return _mm_avg_epu16(v, _mm_setzero_si128());
}

// keep where not selected, else chosen.
__m128i choose(__m128i keep, __m128i kept, __m128i chosen) noexcept {
    return _mm_or_si128(_mm_and_si128(keep, kept), _mm_andnot_si128(keep, chosen));
}

template <class Sample, int K>
void host_row_to_frame(const Sample* source, const std::uint8_t* mask, Sample* destination,
                       std::int32_t width, standard_offsets) noexcept {
    std::int32_t x = 0;
    const __m128i zero = _mm_setzero_si128();
    if constexpr (sizeof(Sample) == 1 && K == 3) {
        // Each load reads four bytes beyond its pixels, which must still lie in the row.
        for (; x + 6 <= width; x += 4) {
            const __m128i pixels = spread_pixels24(load128(source + 3 * x));
            store128(destination + 4 * x, _mm_or_si128(pixels, _mm_slli_epi32(mask_lanes(mask + x), 24)));
        }
    } else if constexpr (sizeof(Sample) == 1 && K == 4) {
        const __m128i colour = _mm_set1_epi32(0x00FFFFFF);
        const __m128i one = _mm_set1_epi16(1);
        for (; x + 4 <= width; x += 4) {
            const __m128i pixels = load128(source + 4 * x);
            // alpha x mask stays below 65536, where (p + 1 + (p >> 8)) >> 8 is exactly p / 255.
            const __m128i product = _mm_mullo_epi16(_mm_srli_epi32(pixels, 24), mask_lanes(mask + x));
            const __m128i alpha =
                _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(product, one), _mm_srli_epi16(product, 8)), 8);
            store128(destination + 4 * x,
                     _mm_or_si128(_mm_and_si128(pixels, colour), _mm_slli_epi32(alpha, 24)));
        }
    } else if constexpr (sizeof(Sample) == 2 && K == 3) {
        for (; x + 5 <= width; x += 4) {
            const __m128i masks = mask_lanes(mask + x);
            const __m128i halves[2] = {_mm_unpacklo_epi32(masks, zero), _mm_unpackhi_epi32(masks, zero)};
            for (int h = 0; h != 2; ++h) {
                // The engine's mask sample is m x 256, in the top sample of each pixel's lane.
                const __m128i pixels = widen_samples(spread_pixels48(load128(source + 3 * (x + 2 * h))));
                store128(destination + 4 * (x + 2 * h), _mm_or_si128(pixels, _mm_slli_epi64(halves[h], 56)));
            }
        }
    } else if constexpr (sizeof(Sample) == 2 && K == 4) {
        const __m128i colour = lanes64(0x0000FFFFFFFFFFFF, 0x0000FFFFFFFFFFFF);
        const __m128i by_255 = _mm_set1_epi32(static_cast<int>(0x80808081));
        for (; x + 4 <= width; x += 4) {
            const __m128i masks = mask_lanes(mask + x);
            const __m128i halves[2] = {_mm_unpacklo_epi32(masks, masks), _mm_unpackhi_epi32(masks, masks)};
            for (int h = 0; h != 2; ++h) {
                const __m128i pixels = load128(source + 4 * (x + 2 * h));
                // alpha x mask (below 2^24) over 255, truncated: (p x 0x80808081) >> 39 is exact for any
                // 32-bit p. The multiplications take the even 32-bit lanes, one per pixel.
                const __m128i product = _mm_mul_epu32(_mm_srli_epi64(pixels, 48), halves[h]);
                const __m128i alpha = _mm_srli_epi64(_mm_mul_epu32(product, by_255), 39);
                store128(destination + 4 * (x + 2 * h),
                         _mm_or_si128(_mm_and_si128(widen_samples(pixels), colour),
                                      _mm_slli_epi64(widen_samples(alpha), 48)));
            }
        }
    }
    host_row_to_frame<Sample, K>(source + K * x, mask + x, destination + 4 * x, width - x,
                                 given_offsets{0, 1, 2, 3});
}

template <class Sample, int K>
void frame_row_to_host(const Sample* unprocessed, const Sample* processed, const std::uint8_t* mask,
                       Sample* output, std::int32_t width, standard_offsets) noexcept {
    std::int32_t x = 0;
    const __m128i zero = _mm_setzero_si128();
    if constexpr (sizeof(Sample) == 1 && K == 1) {
        const __m128i first = _mm_set1_epi32(0xFF);
        for (; x + 16 <= width; x += 16) {
            const Sample* p = processed + 4 * x;
            const __m128i low =
                _mm_packs_epi32(_mm_and_si128(load128(p), first), _mm_and_si128(load128(p + 16), first));
            const __m128i high =
                _mm_packs_epi32(_mm_and_si128(load128(p + 32), first), _mm_and_si128(load128(p + 48), first));
            const __m128i keep = _mm_cmpeq_epi8(load128(mask + x), zero);
            store128(output + x, choose(keep, load128(unprocessed + x), _mm_packus_epi16(low, high)));
        }
    } else if constexpr (sizeof(Sample) == 1 && K == 3) {
        // Sixteen pixels a round, written as three whole registers. A selection is mostly whole areas:
        // sixteen pixels alike need no merge.
        for (; x + 18 <= width; x += 16) {
            const Sample* before = unprocessed + 3 * x;
            Sample* out = output + 3 * x;
            const int kept = _mm_movemask_epi8(_mm_cmpeq_epi8(load128(mask + x), zero));
            if (kept == 0xFFFF) {
                for (int i = 0; i != 3; ++i)
                    store128(out + 16 * i, load128(before + 16 * i));
                continue;
            }
            __m128i groups[4];
            for (int g = 0; g != 4; ++g) {
                const __m128i after = load128(processed + 4 * (x + 4 * g));
                if (kept == 0) {
                    groups[g] = pack_pixels24(after);
                } else {
                    // Each load reads four bytes beyond its pixels, still inside the row.
                    const __m128i keep = _mm_cmpeq_epi32(mask_lanes(mask + x + 4 * g), zero);
                    groups[g] = pack_pixels24(choose(keep, spread_pixels24(load128(before + 12 * g)), after));
                }
            }
            store128(out, _mm_or_si128(groups[0], _mm_slli_si128(groups[1], 12)));
            store128(out + 16, _mm_or_si128(_mm_srli_si128(groups[1], 4), _mm_slli_si128(groups[2], 8)));
            store128(out + 32, _mm_or_si128(_mm_srli_si128(groups[2], 8), _mm_slli_si128(groups[3], 4)));
        }
    } else if constexpr (sizeof(Sample) == 1 && K == 4) {
        const __m128i colour = _mm_set1_epi32(0x00FFFFFF);
        for (; x + 16 <= width; x += 16) {
            const __m128i keep_bytes = _mm_cmpeq_epi8(load128(mask + x), zero);
            // Unselected areas never need the processed pixels.
            const bool all_kept = _mm_movemask_epi8(keep_bytes) == 0xFFFF;
            const __m128i keep_pairs[2] = {_mm_unpacklo_epi8(keep_bytes, keep_bytes),
                                           _mm_unpackhi_epi8(keep_bytes, keep_bytes)};
            for (int g = 0; g != 4; ++g) {
                const std::int32_t at = x + 4 * g;
                const __m128i before = load128(unprocessed + 4 * at);
                if (all_kept) {
                    store128(output + 4 * at, before);
                    continue;
                }
                const __m128i pair = keep_pairs[g / 2];
                const __m128i keep =
                    g % 2 == 0 ? _mm_unpacklo_epi16(pair, pair) : _mm_unpackhi_epi16(pair, pair);
                const __m128i selected = _mm_or_si128(_mm_and_si128(load128(processed + 4 * at), colour),
                                                      _mm_andnot_si128(colour, before));
                store128(output + 4 * at, choose(keep, before, selected));
            }
        }
    } else if constexpr (sizeof(Sample) == 2 && K != 1) {
        const __m128i colour = lanes64(0x0000FFFFFFFFFFFF, 0x0000FFFFFFFFFFFF);
        for (; x + 5 <= width; x += 4) {
            const __m128i keep = _mm_cmpeq_epi32(mask_lanes(mask + x), zero);
            const __m128i halves[2] = {_mm_unpacklo_epi32(keep, keep), _mm_unpackhi_epi32(keep, keep)};
            for (int h = 0; h != 2; ++h) {
                const std::int32_t at = x + 2 * h;
                const __m128i after = narrow_samples(load128(processed + 4 * at));
                if constexpr (K == 3) {
                    const __m128i before = spread_pixels48(load128(unprocessed + 3 * at));
                    store128(output + 3 * at, pack_pixels48(choose(halves[h], before, after)));
                } else {
                    const __m128i before = load128(unprocessed + 4 * at);
                    const __m128i selected =
                        _mm_or_si128(_mm_and_si128(after, colour), _mm_andnot_si128(colour, before));
                    store128(output + 4 * at, choose(halves[h], before, selected));
                }
            }
        }
    }
    frame_row_to_host<Sample, K>(unprocessed + K * x, processed + 4 * x, mask + x, output + K * x, width - x,
                                 given_offsets{0, 1, 2, 3});
}

// The row loops for the offsets given.
template <class Body>
void with_offsets(std::int32_t c0, std::int32_t c1, std::int32_t c2, std::int32_t alpha, Body&& body) {
    // Gray reads only the first sample, wherever the others would be.
    if ((c0 == 0 && c1 == 0 && c2 == 0) || (c0 == 0 && c1 == 1 && c2 == 2 && (alpha == 3 || alpha == -1)))
        body(standard_offsets{});
    else
        body(given_offsets{c0, c1, c2, alpha});
}

template <class Sample> Sample* samples_at(void* row) noexcept {
    return static_cast<Sample*>(row);
}
template <class Sample> const Sample* samples_at(const void* row) noexcept {
    return static_cast<const Sample*>(row);
}

// The copies go by the frames' own rows and pixels. Before they touch a buffer, each frame must have the
// channels and depth the copy reads or writes, and every host row (pixels and mask) must hold a row of
// the frame's width; a frame of another shape would be overrun, or would overrun the host's buffers.
bool has_shape(const frame_buffer& buffer, std::int32_t channels, std::int32_t depth) {
    return buffer.data != nullptr && buffer.width >= 0 && buffer.stride >= 0 &&
           zorvane::get_channels_bitdepth(buffer.format) == depth &&
           channel_count(buffer.format) == channels &&
           std::int64_t{buffer.width} * channels * (depth / 8) <= buffer.stride;
}
bool row_holds(std::int32_t row_bytes, std::int32_t width, std::int32_t samples, std::int32_t depth) {
    return std::int64_t{width} * samples * (depth / 8) <= row_bytes;
}

[[noreturn]] void throw_channel_count(const char (&line)[5]) {
    throw std::runtime_error(
        cpp::failure_location("operator ()", line, AM_PLUGIN_SOURCE("image-processor.cpp")).c_str());
}

// Runs copy<Sample, K>(offsets) for the job's sample width and host channel count; any other channel
// count fails naming the copy that was asked for.
template <class Copy>
void for_host_layout(std::int32_t depth, std::int32_t k, std::int32_t c0, std::int32_t c1, std::int32_t c2,
                     std::int32_t alpha, const char (&line)[5], const Copy& copy) {
    with_offsets(c0, c1, c2, alpha, [&](auto at) {
        const bool wide = depth == 16;
        switch (k) {
        case 1:
            return wide ? copy.template operator()<std::uint16_t, 1>(at)
                        : copy.template operator()<std::uint8_t, 1>(at);
        case 3:
            return wide ? copy.template operator()<std::uint16_t, 3>(at)
                        : copy.template operator()<std::uint8_t, 3>(at);
        case 4:
            return wide ? copy.template operator()<std::uint16_t, 4>(at)
                        : copy.template operator()<std::uint8_t, 4>(at);
        default:
            throw_channel_count(line);
        }
    });
}

} // namespace

// Callback objects ---------------------------------------------------------------------------------------

namespace automation {

// Binds the engine interface an object implements. The engine calls such objects directly from any of
// its threads, never through a marshalling proxy, so everything below them must be thread-safe.
template <class Interface> class zorvane_unmarshalled : public Interface {
public:
    using interface_type = Interface;
};

// The interlocked reference count, the IUnknown answers and ISupportErrorInfo. The layout is the one COM
// expects: the interface's table, the ISupportErrorInfo table, the count, then the object's own fields.
template <class Base> class ref_counted_object : public Base, public ISupportErrorInfo {
public:
    using interface_type = typename Base::interface_type;

    ref_counted_object(const ref_counted_object&) = delete;
    ref_counted_object& operator=(const ref_counted_object&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        static const IID answered[] = {IID_IUnknown, __uuidof(interface_type), IID_ISupportErrorInfo};
        const IID* found = error_handling::find_interface_id(iid, answered, 3);
        if (found == nullptr) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = found == &answered[2] ? static_cast<void*>(static_cast<ISupportErrorInfo*>(this))
                                     : static_cast<void*>(static_cast<interface_type*>(this));
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&count_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&count_);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
        return InlineIsEqualGUID(iid, __uuidof(interface_type)) || InlineIsEqualGUID(iid, IID_IUnknown)
                   ? S_OK
                   : S_FALSE;
    }

protected:
    ref_counted_object() noexcept = default;
    // Follows the interface's own operations in its table; only Release calls it.
    virtual ~ref_counted_object() = default;

private:
    LONG count_ = 1;
};

// The base of every object handed to the engine: made on the heap with one reference, which its maker
// owns. Their methods run on the engine's threads, inside the engine's frames, so none lets an exception
// out; the few that can meet one catch it themselves.
template <class Base> class zorvane_export : public Base {
public:
    using interface_type = typename Base::interface_type;

    template <class Object, class... Args> static com_ptr<interface_type> make(Args&&... args) {
        static_assert(std::is_base_of_v<zorvane_export, Object>);
        return com_ptr<interface_type>(new Object(std::forward<Args>(args)...));
    }
};

template <class Interface>
using engine_callback = zorvane_export<ref_counted_object<zorvane_unmarshalled<Interface>>>;

} // namespace automation

namespace {

// Keeps the image that a decoder delivers: the first frame of a file only.
class frame_receiver final : public automation::engine_callback<zorvane::IImageReceiver> {
public:
    HRESULT STDMETHODCALLTYPE accept_frame(INT32 index, INT32, INT32, INT32, pixel_format, INT32,
                                           VARIANT_BOOL* accept) override {
        if (accept == nullptr)
            return E_POINTER;
        *accept = index == 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE deliver_frame(INT32, zorvane::IImage* image) override {
        // The new reference is taken before the old one goes, so delivering the kept image again is safe.
        kept_ = com_ptr<zorvane::IImage>::retain(image);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE end_frames(INT32, INT32) override { return S_OK; }

    zorvane::IImage* kept() const noexcept { return kept_.get(); }

private:
    com_ptr<zorvane::IImage> kept_;
};

// Answers the engine's progress reports.
class progress_handler final : public automation::engine_callback<zorvane::ICallbackHandler> {
public:
    progress_handler(const cpp::moveonly_function<void(float)>* callback,
                     system_ui::window_task_queue* queue) noexcept
        : callback_(callback), queue_(queue) {}

    HRESULT STDMETHODCALLTYPE notify(INT32, INT32, INT32, VARIANT_BOOL* go_on) override {
        if (go_on == nullptr)
            return E_POINTER;
        *go_on = VARIANT_TRUE;
        return S_OK;
    }
    // Runs on the thread of the engine's work. The report reaches the window only by posting; the answer
    // tells the engine to stop once a newer job has superseded this one.
    HRESULT STDMETHODCALLTYPE progress(float percent, VARIANT_BOOL* go_on) override {
        if (go_on == nullptr)
            return E_POINTER;
        // Whatever fails here (a full or torn-down task queue, memory) must not unwind into the engine:
        // the run is then asked to stop. A job still current when its run stops fails through its lane,
        // so the stop never goes unnoticed.
        *go_on = VARIANT_FALSE;
        try {
            if (callback_ != nullptr && queue_ != nullptr)
                queue_->post_task([callback = callback_, percent](unsigned) { (*callback)(percent); });
            const bool superseded = (callback_ != nullptr || queue_ != nullptr) && is_job_cancelled();
            *go_on = superseded ? VARIANT_FALSE : VARIANT_TRUE;
        } catch (...) {
        }
        return S_OK;
    }
    // As often as the engine likes within reason: enough for a smooth bar, few enough to cost nothing.
    HRESULT STDMETHODCALLTYPE get_limits(INT32* fewest, INT32* most) override {
        if (fewest == nullptr || most == nullptr)
            return E_POINTER;
        *fewest = 8;
        *most = 200;
        return S_OK;
    }

private:
    // Both borrowed: the window that owns them outlives every engine run that reports here.
    const cpp::moveonly_function<void(float)>* callback_;
    system_ui::window_task_queue* queue_;
};

// Deletes the bitmap under an engine image laid over a DIB section once the engine lets go of it.
class dib_deleter final : public automation::engine_callback<zorvane::IObjectManager> {
public:
    HRESULT STDMETHODCALLTYPE unused_slot_3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE unused_slot_4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE unused_slot_5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE release_object(ULONG_PTR cookie) override {
        return DeleteObject(reinterpret_cast<HGDIOBJ>(cookie)) ? S_OK : E_FAIL;
    }
};

} // namespace

// Host planes ---------------------------------------------------------------------------------------------

pixel_format format_for_planes(std::int32_t depth, std::int32_t c0, std::int32_t c1, std::int32_t c2,
                               std::int32_t alpha) noexcept {
    const bool eight = depth == 8;
    if (c0 == 0 && c1 == 0 && c2 == 0)
        return eight ? pixel_format::gray8 : pixel_format::gray16;
    if (alpha == -1)
        return eight ? pixel_format::rgb24 : pixel_format::rgb48;
    return eight ? pixel_format::rgba32 : pixel_format::rgba64;
}

void copy_host_to_frame(const void* source, std::int32_t source_row_bytes, std::int32_t c0, std::int32_t c1,
                        std::int32_t c2, std::int32_t alpha, const std::uint8_t* mask,
                        std::int32_t mask_row_bytes, const image_frame& destination) {
    const frame_buffer to = buffer_of(destination);
    const std::int32_t depth = zorvane::get_channels_bitdepth(to.format);
    const std::int32_t k = channel_count(format_for_planes(depth, c0, c1, c2, alpha));
    if (!has_shape(to, 4, depth) || !row_holds(source_row_bytes, to.width, k, depth) ||
        !row_holds(mask_row_bytes, to.width, 1, 8))
        throw std::invalid_argument(
            "copy_host_to_frame: the destination is not a four-channel frame of the host's rows");
    const std::int32_t rows = to.rows();
    const auto copy = [&]<class Sample, int K>(auto at) {
        for (std::int32_t y = 0; y != rows; ++y)
            host_row_to_frame<Sample, K>(
                samples_at<Sample>(static_cast<const BYTE*>(source) +
                                   static_cast<std::ptrdiff_t>(y) * source_row_bytes),
                mask + static_cast<std::ptrdiff_t>(y) * mask_row_bytes, samples_at<Sample>(to.row(y)),
                to.width, at);
    };
    for_host_layout(depth, k, c0, c1, c2, alpha, "1364", copy);
}

void copy_frame_to_host(const image_frame& unprocessed, const image_frame& processed,
                        const std::uint8_t* mask, std::int32_t mask_row_bytes, void* output,
                        std::int32_t output_row_bytes, std::int32_t c0, std::int32_t c1, std::int32_t c2,
                        std::int32_t alpha) {
    const std::int32_t depth = zorvane::get_channels_bitdepth(processed.format);
    const frame_buffer before = buffer_of(unprocessed);
    const frame_buffer after = buffer_of(processed);
    const std::int32_t k = channel_count(format_for_planes(depth, c0, c1, c2, alpha));
    // The unprocessed frame is the host's area in the host's layout; the processed one must be the same
    // area in four channels of the same depth.
    if (!has_shape(before, k, depth) || !has_shape(after, 4, depth) || after.width != before.width ||
        after.rows() != before.rows() || !row_holds(output_row_bytes, before.width, k, depth) ||
        !row_holds(mask_row_bytes, before.width, 1, 8))
        throw std::invalid_argument(
            "copy_frame_to_host: the frames are not the host's area in its layout and in four channels");
    const std::int32_t rows = after.rows();
    const auto copy = [&]<class Sample, int K>(auto at) {
        for (std::int32_t y = 0; y != rows; ++y)
            frame_row_to_host<Sample, K>(
                samples_at<Sample>(before.row(y)), samples_at<Sample>(after.row(y)),
                mask + static_cast<std::ptrdiff_t>(y) * mask_row_bytes,
                samples_at<Sample>(static_cast<BYTE*>(output) +
                                   static_cast<std::ptrdiff_t>(y) * output_row_bytes),
                before.width, at);
    };
    for_host_layout(depth, k, c0, c1, c2, alpha, "1438", copy);
}

void scale_image_channels(const image_frame& frame, bool to_engine) {
    const frame_buffer buffer = buffer_of(frame);
    const std::int32_t depth = zorvane::get_channels_bitdepth(buffer.format);
    const std::int32_t channels = channel_count(buffer.format);
    if (channels != 1 && channels != 3 && channels != 4)
        throw std::runtime_error(
            cpp::failure_location("scale_image_channels", "1312", AM_PLUGIN_SOURCE("image-processor.cpp"))
                .c_str());
    if (depth != 16)
        return;
    const std::int32_t rows = buffer.rows();
    const std::int32_t samples = buffer.width * channels;
    for (std::int32_t y = 0; y != rows; ++y) {
        std::uint16_t* row = samples_at<std::uint16_t>(buffer.row(y));
        if (to_engine)
            for (std::int32_t i = 0; i != samples; ++i)
                row[i] = widen_sample(row[i]);
        else
            for (std::int32_t i = 0; i != samples; ++i)
                row[i] = narrow_sample(row[i]);
    }
}

bool sample_pixel(const image_frame& frame, std::int32_t x, std::int32_t y,
                  const cpp::moveonly_function<void(std::uint64_t, bool, bool)>& callback) {
    const com_ptr<zorvane::IImageData> data = query<zorvane::IImageData>(frame.image.get());
    // The engine may be writing the image right now; the readout then simply skips this pointer move.
    if (FAILED(data->try_lock()))
        return false;
    const auto unlock = cpp::make_scope_guard([&] { data->unlock(); });
    const frame_buffer buffer = buffer_of(data.get());
    // Unsigned, so that a point left of or above the image is outside too.
    if (static_cast<std::uint32_t>(x) < static_cast<std::uint32_t>(buffer.width) &&
        static_cast<std::uint32_t>(y) < static_cast<std::uint32_t>(buffer.rows()))
        callback(zorvane::select_RGB_RGBA(buffer.format, x, y, buffer.data, buffer.stride),
                 zorvane::get_channels_bitdepth(buffer.format) == 16,
                 zorvane::get_colorspace(buffer.format) == 4);
    else
        callback(0, false, false);
    return true;
}

} // namespace tessolux

namespace tessolux {

// Frames ---------------------------------------------------------------------------------------------------

image_frame_ptr make_image_frame(com_ptr<zorvane::IImage> image) {
    INT32 width = 0;
    INT32 height = 0;
    INT32 bits = 0;
    pixel_format format{};
    check_result(image, image->get_info(&width, &height, &bits, &format));
    return image_frame_ptr(
        std::unique_ptr<image_frame>(new image_frame{std::move(image), width, height, format}));
}

image_frame_ptr frame_from_output(const image_frame_ptr& frame) {
    if (!frame)
        return {};
    com_ptr<zorvane::IImage> copy;
    check_result(frame->image, frame->image->duplicate(0, copy.put()));
    return make_image_frame(std::move(copy));
}

bool copy_image_data(const image_frame_ptr& target, const image_frame_ptr& source) noexcept {
    if (!target || !source)
        return false;
    com_ptr<zorvane::IImageData> data;
    if (FAILED(target->image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void())) || !data)
        return false;
    frame_buffer buffer;
    if (FAILED(
            data->get_buffer(&buffer.data, &buffer.byte_size, &buffer.stride, &buffer.format, &buffer.width)))
        return false;
    return SUCCEEDED(source->image->copy_pixels_to(buffer.data, buffer.byte_size, buffer.stride, 0));
}

HBITMAP frame_to_bitmap(const image_frame& frame) {
    return to_dib_bmp(com_ptr<zorvane::IImage>::retain(frame.image.get()));
}

HBITMAP to_dib_bmp(com_ptr<zorvane::IImage> image) {
    INT32 width = 0;
    INT32 height = 0;
    INT32 bits = 0;
    pixel_format format{};
    check_result(image, image->get_info(&width, &height, &bits, &format));
    const memory_dc dc = make_memory_dc();
    void* memory = nullptr;
    bitmap_holder bitmap = make_dib_section(dc.get(), width, height, bits, memory);
    BITMAP described{};
    if (GetObjectW(bitmap.get(), sizeof described, &described) == 0 || described.bmBits == nullptr)
        throw std::runtime_error(cpp::failure_message("to_dib_bmp", "663",
                                                      AM_PLUGIN_SOURCE("image-processor.cpp"),
                                                      "GetObject resulted in error!")
                                     .c_str());
    check_result(image, image->copy_pixels_to(static_cast<BYTE*>(described.bmBits),
                                              static_cast<UINT32>(described.bmWidthBytes) *
                                                  static_cast<UINT32>(height),
                                              described.bmWidthBytes, 0));
    return bitmap.release();
}

// The engine -----------------------------------------------------------------------------------------------

memoized_data_t::memoized_data_t(zorvane::IProcessor* root) {
    if (root == nullptr)
        throw std::runtime_error(
            cpp::failure_location("memoized_data_t", "498", AM_PLUGIN_SOURCE("image-processor.cpp")).c_str());
    check_result(root, root->create_shared_data(data_.put()));
}

namespace {

// The class id as the registry writes it: {8-4-4-4-12} upper-case hexadecimal digits.
cpp::static_wstring<38> guid_to_text(const GUID& id) {
    const auto pair = [&](int first) {
        return static_cast<std::uint16_t>(id.Data4[first] << 8 | id.Data4[first + 1]);
    };
    const std::uint32_t tail = std::uint32_t{id.Data4[4]} << 24 | std::uint32_t{id.Data4[5]} << 16 |
                               std::uint32_t{id.Data4[6]} << 8 | id.Data4[7];
    return cpp::make_static_string(L"{") + to_hex_text(static_cast<std::uint32_t>(id.Data1)) + L"-" +
           to_hex_text(static_cast<std::uint16_t>(id.Data2)) + L"-" +
           to_hex_text(static_cast<std::uint16_t>(id.Data3)) + L"-" + to_hex_text(pair(0)) + L"-" +
           to_hex_text(pair(2)) + to_hex_text(tail) + L"}";
}

// The default value of the key as a path, when it is a text that fits the buffer with its terminator.
// The registry may hold a text without a terminator, so one is always written.
bool read_server_path(HKEY key, wchar_t (&buffer)[4096]) {
    wchar_t value[4096 + 1];
    DWORD type = 0;
    DWORD bytes = 4096 * sizeof(wchar_t);
    if (RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes) !=
        ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return false;
    std::size_t length = bytes / sizeof(wchar_t);
    if (length != 0 && value[length - 1] == L'\0')
        --length;
    if (length >= 4096)
        return false;
    value[length] = L'\0';
    if (type == REG_EXPAND_SZ) {
        // A path the system finds through an environment variable; one that does not expand into the
        // buffer is no path.
        wchar_t expanded[4096];
        const DWORD expanded_length = ExpandEnvironmentStringsW(value, expanded, 4096);
        if (expanded_length == 0 || expanded_length > 4096)
            return false;
        std::memcpy(buffer, expanded, expanded_length * sizeof(wchar_t));
        return true;
    }
    std::memcpy(buffer, value, (length + 1) * sizeof(wchar_t));
    return true;
}

} // namespace

bool find_engine_server_path(wchar_t (&buffer)[4096]) {
    using registry_key = cpp::unique_any<HKEY, &RegCloseKey>;
    const auto path = cpp::make_static_string(L"SOFTWARE\\Classes\\CLSID\\") +
                      guid_to_text(zorvane::CLSID_ZorvaneProcessor) + L"\\InprocServer32";
    // An installation for the current user alone registers the class there.
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
        HKEY user_root = nullptr;
        if (RegOpenCurrentUser(KEY_READ, &user_root) != ERROR_SUCCESS)
            return false;
        const registry_key user(user_root);
        if (RegOpenKeyExW(user.get(), path.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
            return false;
    }
    const registry_key server(opened);
    return read_server_path(server.get(), buffer);
}

engine_context create_engine_context() {
    engine_context engine;
    check_result<zorvane::IProcessor>(
        nullptr, CoCreateInstance(zorvane::CLSID_ZorvaneProcessor, nullptr, CLSCTX_INPROC_SERVER,
                                  __uuidof(zorvane::IProcessor), engine.root.put_void()));
    return engine;
}

engine_context try_create_engine_context() {
    engine_context engine;
    if (FAILED(CoCreateInstance(zorvane::CLSID_ZorvaneProcessor, nullptr, CLSCTX_INPROC_SERVER,
                                __uuidof(zorvane::IProcessor), engine.root.put_void())) ||
        !engine.root)
        return {};
    engine.handler = make_progress_handler();
    return engine;
}

engine_context make_engine_context(zorvane::IProcessor* root) {
    engine_context engine;
    engine.handler = make_progress_handler();
    engine.root = com_ptr<zorvane::IProcessor>::retain(root);
    return engine;
}

engine_context make_engine_context_with_progress(zorvane::IProcessor* root,
                                                 const cpp::moveonly_function<void(float)>* callback,
                                                 system_ui::window_task_queue* queue) {
    engine_context engine;
    engine.handler = make_progress_handler(callback, queue);
    engine.root = com_ptr<zorvane::IProcessor>::retain(root);
    return engine;
}

image_frame_ptr create_engine_image(const engine_context& engine, std::int32_t width, std::int32_t height,
                                    std::int32_t depth, std::int32_t c0, std::int32_t c1, std::int32_t c2,
                                    std::int32_t alpha) {
    com_ptr<zorvane::IImage> image;
    check_result(engine.root, engine.root->create_image(
                                  width, height, format_for_planes(depth, c0, c1, c2, alpha), image.put()));
    return make_image_frame(std::move(image));
}

namespace {
// An engine image laid over a host buffer, read in place (wrap_input_memory) or written in place
// (wrap_output_memory).
using wrap_memory = HRESULT (STDMETHODCALLTYPE zorvane::IProcessor::*)(BYTE*, INT32, INT32,
                                                                       zorvane::pixel_format, INT32,
                                                                       zorvane::IImage**);
image_frame_ptr wrap_host_buffer(const engine_context& engine, wrap_memory wrap, void* data,
                                 std::int32_t width, std::int32_t height, std::int32_t row_bytes,
                                 std::int32_t depth, std::int32_t c0, std::int32_t c1, std::int32_t c2,
                                 std::int32_t alpha) {
    com_ptr<zorvane::IImage> image;
    check_result(engine.root, (engine.root.get()->*wrap)(static_cast<BYTE*>(data), width, height,
                                                         format_for_planes(depth, c0, c1, c2, alpha),
                                                         row_bytes, image.put()));
    return make_image_frame(std::move(image));
}
} // namespace

image_frame_ptr wrap_host_input(const engine_context& engine, void* data, std::int32_t width,
                                std::int32_t height, std::int32_t row_bytes, std::int32_t depth,
                                std::int32_t c0, std::int32_t c1, std::int32_t c2, std::int32_t alpha) {
    return wrap_host_buffer(engine, &zorvane::IProcessor::wrap_input_memory, data, width, height, row_bytes,
                            depth, c0, c1, c2, alpha);
}

image_frame_ptr wrap_host_output(const engine_context& engine, void* data, std::int32_t width,
                                 std::int32_t height, std::int32_t row_bytes, std::int32_t depth,
                                 std::int32_t c0, std::int32_t c1, std::int32_t c2, std::int32_t alpha) {
    return wrap_host_buffer(engine, &zorvane::IProcessor::wrap_output_memory, data, width, height, row_bytes,
                            depth, c0, c1, c2, alpha);
}

image_frame_ptr clone_frame(const image_frame_ptr& frame) {
    if (!frame)
        return {};
    return make_image_frame(com_ptr<zorvane::IImage>::retain(frame->image.get()));
}

// The preview canvas ---------------------------------------------------------------------------------------

namespace {

// The painter's way of giving the canvas back: selects back what the DC held, then unlocks. Released by
// its call, or when it goes uncalled, so that a painter that fails never leaves the lock taken.
class lock_releaser {
public:
    lock_releaser(cpp::threading::cacheline_lock& lock, HGDIOBJ previous, HDC dc) noexcept
        : lock_(&lock), previous_(previous), dc_(dc) {}
    lock_releaser(lock_releaser&& other) noexcept
        : lock_(std::exchange(other.lock_, nullptr)), previous_(other.previous_), dc_(other.dc_) {}
    lock_releaser(const lock_releaser&) = delete;
    lock_releaser& operator=(const lock_releaser&) = delete;
    ~lock_releaser() { release(dc_); }

    void operator()(HDC dc) noexcept { release(dc); }

private:
    void release(HDC dc) noexcept {
        if (cpp::threading::cacheline_lock* lock = std::exchange(lock_, nullptr)) {
            SelectObject(dc, previous_);
            lock->unlock();
        }
    }

    cpp::threading::cacheline_lock* lock_;
    HGDIOBJ previous_;
    HDC dc_;
};

} // namespace

preview_canvas::preview_canvas(zorvane::IProcessor* root, std::int32_t width, std::int32_t height)
    : memory_dc(make_memory_dc()) {
    void* bits = nullptr;
    bitmap_holder dib = make_dib_section(memory_dc.get(), width, height, 24, bits);
    // The engine owns the bitmap from here on: releasing the canvas image deletes it through the deleter,
    // which the image keeps alive with its own reference.
    const com_ptr<zorvane::IObjectManager> deleter = make_dib_deleter();
    check_result(root, root->create_image_on_memory(
                           static_cast<BYTE*>(bits), width, height, pixel_format::bgr24, stride_for(width),
                           reinterpret_cast<ULONG_PTR>(dib.get()), deleter.get(), image.put()));
    bitmap = dib.release();
}

preview_canvas& get_internals(const preview_canvas_ptr& canvas) {
    if (!canvas)
        throw std::logic_error(
            cpp::failure_location("get_internals", "773", AM_PLUGIN_SOURCE("image-processor.cpp")).c_str());
    return *canvas;
}

locked_canvas::~locked_canvas() {
    if (lock_ != nullptr) {
        if (previous_ != nullptr)
            SelectObject(dc_, previous_);
        lock_->unlock();
    }
}

locked_canvas lock_canvas(preview_canvas& canvas) {
    canvas.lock.lock();
    const HGDIOBJ previous = SelectObject(canvas.memory_dc.get(), canvas.bitmap);
    return locked_canvas(canvas.lock, previous, canvas.memory_dc.get(), nullptr);
}

locked_canvas lock_canvas(preview_canvas& canvas, const preview_rect& impact) {
    canvas.lock.lock();
    canvas.impact = impact;
    return locked_canvas(canvas.lock, nullptr, nullptr, canvas.image.get());
}

std::pair<cpp::moveonly_function<void(HDC)>, HDC> lock_canvas_dc(const preview_canvas_ptr& canvas,
                                                                 preview_rect& impact) {
    preview_canvas& held = get_internals(canvas);
    held.lock.lock();
    const HDC dc = held.memory_dc.get();
    lock_releaser releaser(held.lock, SelectObject(dc, held.bitmap), dc);
    impact = held.impact;
    return {cpp::moveonly_function<void(HDC)>(std::move(releaser)), dc};
}

preview_canvas_ptr make_preview_canvas(const engine_context& engine, std::int32_t width,
                                       std::int32_t height) {
    return std::make_unique<preview_canvas>(engine.root.get(), width, height);
}

namespace {

com_ptr<zorvane::IOperation> build_single_node(zorvane::IProcessor* root, const wchar_t* node_name,
                                               const wchar_t* property, const wchar_t* value) {
    const com_ptr<zorvane::IFilterChain> chain = create_chain(root);
    const com_ptr<zorvane::IFilter> node = add_node(chain, node_name);
    set_property(node, property, value);
    commit(node);
    return build(chain);
}

} // namespace

image_frame_ptr convert_to_bgra32(const engine_context& engine, std::int32_t size,
                                  const image_frame& source) {
    zorvane::IProcessor* const root = engine.root.get();
    com_ptr<zorvane::IImage> scaled;
    check_result(root, root->create_scaled_copy(source.image.get(), size, VARIANT_TRUE, 0, scaled.put()));
    INT32 width = 0;
    INT32 height = 0;
    INT32 bits = 0;
    pixel_format format{};
    check_result(scaled, scaled->get_info(&width, &height, &bits, &format));
    // The picture is centred inside the square's own memory; a copy larger than asked for would be
    // written outside it.
    if (width < 0 || height < 0 || width > size || height > size)
        throw std::runtime_error("convert_to_bgra32: the engine's scaled copy does not fit the square");

    com_ptr<zorvane::IImage> square;
    check_result(root, root->create_image(size, size, pixel_format::bgra32, square.put()));
    const frame_buffer canvas = buffer_of(query<zorvane::IImageData>(square.get()).get());
    // Transparent black around the picture, whatever the engine's new memory holds.
    for (std::int32_t y = 0; y != canvas.rows(); ++y)
        std::memset(canvas.row(y), 0, static_cast<std::size_t>(canvas.width) * 4);

    const com_ptr<zorvane::IOperation> convert = build_single_node(root, L"convert", L"to", L"BGRA32");
    // The picture goes into the middle: an output image over the square's memory at the centred offset.
    BYTE* const centre =
        canvas.row((size - height) / 2) + static_cast<std::ptrdiff_t>((size - width) / 2) * 4;
    com_ptr<zorvane::IImage> window;
    check_result(root, root->wrap_output_memory(centre, width, height, pixel_format::bgra32, canvas.stride,
                                                window.put()));
    check_result(convert, convert->run(scaled.get(), 0, window.get(), 0, engine.handler.get()));
    return make_image_frame(std::move(square));
}

HBITMAP load_png_resource(const engine_context& engine, std::int32_t size, HMODULE module, WORD id) {
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), L"PNG");
    const HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const DWORD bytes = found != nullptr ? SizeofResource(module, found) : 0;
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr || bytes == 0)
        throw std::invalid_argument(cpp::failure_message("load_png_resource", "688",
                                                         AM_PLUGIN_SOURCE("image-processor.cpp"),
                                                         "provided resource could not be found!")
                                        .c_str());
    zorvane::IProcessor* const root = engine.root.get();
    com_ptr<zorvane::IStreamProvider> streams;
    check_result(root, root->create_stream_provider(streams.put()));
    com_ptr<zorvane::IImageDecoder> decoder;
    check_result(root, root->create_image_decoder(decoder.put()));
    com_ptr<IStream> stream;
    check_result(streams, streams->create_memory_stream(static_cast<const BYTE*>(data), bytes, stream.put()));
    const com_ptr<zorvane::IImageReceiver> receiver = make_frame_receiver();
    const com_ptr<zorvane::ICallbackHandler> handler = make_progress_handler();
    check_result(decoder, decoder->decode(stream.get(), pixel_format::bgr24, VARIANT_FALSE, receiver.get(), 0,
                                          handler.get()));
    com_ptr<zorvane::IImage> scaled;
    check_result(root, root->create_scaled_copy(static_cast<frame_receiver*>(receiver.get())->kept(), size,
                                                VARIANT_TRUE, 0, scaled.put()));
    return to_dib_bmp(std::move(scaled));
}

void interrupt_engine(const engine_context& engine) {
    query<zorvane::IProcessorService>(engine.root.get())->interrupt();
}

void shutdown_engine(const engine_context& engine) {
    query<zorvane::IProcessorService>(engine.root.get())->shutdown();
}

// Failure reports ------------------------------------------------------------------------------------------

std::wstring module_string(UINT id) {
    std::wstring text;
    system_ui::load_string(text, module_instance(), id);
    return text;
}

namespace {

// The error code, and for the failures an installation can cause, what is wrong and what may help.
std::wstring component_failure_text(HRESULT result, const std::wstring& component) {
    const std::wstring line =
        cpp::format_text(module_string(IDS_COMPONENT_ERROR_CODE),
                         L"0x" + cpp::to_hex_wstring(static_cast<std::uint32_t>(result)));
    switch (static_cast<std::uint32_t>(result)) {
    case 0x80040154: // class not registered
        return line + L"\n" + cpp::format_text(module_string(IDS_COMPONENT_NOT_REGISTERED), component) +
               L"\r\n" + module_string(IDS_REINSTALL_HINT);
    case 0x80040111: // class not available
    case 0x80004002: // no such interface
        return line + L"\n" + module_string(IDS_WRONG_COMPONENT) + L"\r\n" +
               module_string(IDS_REINSTALL_HINT);
    case 0x8007007E: // module not found
        return line + L"\r\n" + cpp::format_text(module_string(IDS_COMPONENT_NOT_FOUND), component) +
               L"\r\n" + module_string(IDS_REINSTALL_HINT);
    default:
        return line;
    }
}

} // namespace

int report_exception(HWND owner, const std::exception& failure, const wchar_t* component) noexcept {
    try {
        // The system describes its own errors better than we could; their text needs no caption.
        if (const auto* system = dynamic_cast<const std::system_error*>(&failure)) {
            system_ui::show_system_error_box(owner, *system, std::wstring());
            return 0;
        }
        std::wstring text;
        if (dynamic_cast<const std::bad_alloc*>(&failure) != nullptr)
            text = module_string(IDS_NOT_ENOUGH_MEMORY);
        else if (const auto* com = dynamic_cast<const error_handling::interface_exception*>(&failure))
            text = component_failure_text(com->result(), component != nullptr ? component : L"");
        else
            text = module_string(IDS_UNKNOWN_ERROR);
        system_ui::show_error_box(owner, failure, module_string(IDS_FAILURE_CAPTION), text);
        return 0;
    } catch (...) {
        // Nothing more can be shown: the caller tells the host instead.
        return -1;
    }
}

// Callback objects -----------------------------------------------------------------------------------------

com_ptr<zorvane::IImageReceiver> make_frame_receiver() {
    return frame_receiver::make<frame_receiver>();
}

com_ptr<zorvane::ICallbackHandler> make_progress_handler() {
    return progress_handler::make<progress_handler>(nullptr, nullptr);
}

com_ptr<zorvane::ICallbackHandler> make_progress_handler(const cpp::moveonly_function<void(float)>* callback,
                                                         system_ui::window_task_queue* queue) {
    com_ptr<zorvane::ICallbackHandler> handler = progress_handler::make<progress_handler>(callback, queue);
    // The bar starts from nothing on the thread that sets the handler up.
    if (callback != nullptr)
        (*callback)(0.0f);
    return handler;
}

com_ptr<zorvane::IObjectManager> make_dib_deleter() {
    return dib_deleter::make<dib_deleter>();
}

} // namespace tessolux
