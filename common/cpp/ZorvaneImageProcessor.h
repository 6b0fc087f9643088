// The external image-processing engine as the plug-in sees it: its class id, its interfaces with every
// slot in table order, the callback interfaces the plug-in implements for it, and the engine's pixel
// format codes. The engine (or the stand-in that takes its place on a development machine) and the
// plug-in share this header and nothing else, so it needs nothing but the Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>

#include <windows.h>
#include <objidl.h>
#include <oleauto.h>

namespace zorvane {

// The engine names every pixel layout by one 32-bit code. Even codes carry 8 bits per channel, odd
// codes 16; the channels lie interleaved in the order of the name, with no padding inside a pixel.
// Code 1 (one bit per pixel) exists in the engine but has no name because nothing here uses it.
enum class pixel_format : INT32 {
    gray8 = 2,
    gray16 = 3,
    bgr24 = 4,
    bgr48 = 5,
    rgb24 = 6,
    rgb48 = 7,
    bgra32 = 8,
    bgra64 = 9,
    quad32_other = 10, // sample 0 read as B, 1 as R, 2 as G, 3 as A
    quad64_other = 11, // as quad32_other
    rgba32 = 12,
    rgba64 = 13,
};

// What a format code says about its pixels. Bits per pixel answers -1 (all bits set) for a code it does
// not know; the channel depth (8 or 16) and the colour space (1 one channel, 2 three, 4 four) exist only for
// the codes 2 to 13 and throw std::invalid_argument for any other, code 1 included.
INT32 get_bits_per_pixel(pixel_format format) noexcept;
INT32 get_channels_bitdepth(pixel_format format);
INT32 get_colorspace(pixel_format format);

namespace details {
[[noreturn]] void throw_unsupported_format();

// Where R, G, B and A lie among a pixel's samples (-1: not there), for the codes 2 to 13.
struct sample_order {
    signed char red, green, blue, alpha;
};
inline constexpr sample_order sample_orders[14] = {
    {-1, -1, -1, -1}, {-1, -1, -1, -1}, {0, 0, 0, -1}, {0, 0, 0, -1}, // 2, 3: gray in R, G and B
    {2, 1, 0, -1},    {2, 1, 0, -1},                                  // 4, 5: B, G, R
    {0, 1, 2, -1},    {0, 1, 2, -1},                                  // 6, 7: R, G, B
    {2, 1, 0, 3},     {2, 1, 0, 3},                                   // 8, 9: B, G, R, A
    {1, 2, 0, 3},     {1, 2, 0, 3},                                   // 10, 11: B, R, G, A
    {0, 1, 2, 3},     {0, 1, 2, 3},                                   // 12, 13: R, G, B, A
};
inline constexpr signed char sample_counts[14] = {0, 0, 1, 1, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4};
} // namespace details

// The pixel at (x, y) of a buffer in that format as four unscaled 16-bit lanes: R in bits 0-15, G in
// 16-31, B in 32-47, A in 48-63 (8-bit samples stay 0..255). Gray fills R, G and B; formats without
// alpha leave A at 0. Codes outside 2 to 13 throw std::runtime_error. The caller checks the point
// against the buffer.
inline std::uint64_t select_RGB_RGBA(pixel_format format, INT32 x, INT32 y, const BYTE* data, INT32 stride) {
    const INT32 code = static_cast<INT32>(format);
    if (code < 2 || code > 13)
        details::throw_unsupported_format();
    const details::sample_order order = details::sample_orders[code];
    const int samples = details::sample_counts[code];
    const bool wide = (code & 1) != 0;
    const BYTE* pixel = data + static_cast<std::ptrdiff_t>(y) * stride +
                        static_cast<std::ptrdiff_t>(x) * samples * (wide ? 2 : 1);
    const auto sample = [&](signed char index) -> std::uint64_t {
        if (index < 0)
            return 0;
        if (!wide)
            return pixel[index];
        // Host and engine buffers are not bound to 2-byte alignment: read the two bytes one by one.
        return static_cast<std::uint64_t>(pixel[2 * index] | pixel[2 * index + 1] << 8);
    };
    return sample(order.red) | sample(order.green) << 16 | sample(order.blue) << 32 |
           sample(order.alpha) << 48;
}

// The engine's two private result codes. The first is a success code: a run that the progress handler
// asked to stop ends with it. The second is a failure code meaning that the calling thread has been
// asked to stop.
inline constexpr HRESULT job_cancelled_result = static_cast<HRESULT>(0x20000100);
inline constexpr HRESULT thread_stopped_result = static_cast<HRESULT>(0xA0000200);

// The engine's class, created in process for IProcessor.
inline constexpr CLSID CLSID_ZorvaneProcessor = {
    0x47646232, 0xC34B, 0x463A, {0xA8, 0xA0, 0xB6, 0x10, 0x12, 0xE6, 0xD8, 0xCB}};

inline constexpr IID IID_IProcessor = {
    0x7BD2EC85, 0x0832, 0x4324, {0xA9, 0xCA, 0x4A, 0x59, 0xCB, 0x80, 0x3C, 0xFF}};
inline constexpr IID IID_IProcessorService = {
    0x17D68A6A, 0x448B, 0x4247, {0xAE, 0x7C, 0xFA, 0xA3, 0x3B, 0x37, 0xBA, 0x38}};
inline constexpr IID IID_IImage = {
    0x7823D895, 0xEB1F, 0x4E84, {0xA2, 0xBC, 0x86, 0xA6, 0xA4, 0x6B, 0xDF, 0x1E}};
inline constexpr IID IID_IImageData = {
    0x2BC2AB28, 0xD7E4, 0x48C5, {0x97, 0x5B, 0xF4, 0x5B, 0xB5, 0x25, 0x89, 0x4A}};
inline constexpr IID IID_IFilterChain = {
    0xF4F58649, 0x50C7, 0x4A7B, {0x92, 0xA7, 0x9A, 0x29, 0x58, 0x47, 0x2C, 0xCF}};
inline constexpr IID IID_IFilter = {
    0x6B808E1B, 0x0248, 0x42A6, {0xA4, 0xC2, 0xAC, 0xBD, 0xB7, 0x1A, 0x11, 0x52}};
inline constexpr IID IID_IOperation = {
    0x0D6BE433, 0xB5E8, 0x4482, {0x9B, 0x43, 0x2A, 0xEB, 0x40, 0xD3, 0xA1, 0x12}};
inline constexpr IID IID_IStreamProvider = {
    0x2668693D, 0x36BD, 0x44BD, {0xA0, 0x78, 0x41, 0xB6, 0x48, 0x70, 0x4E, 0xA5}};
inline constexpr IID IID_IImageDecoder = {
    0xDEB937DD, 0xCE7F, 0x43E5, {0x89, 0xCF, 0xF1, 0x30, 0x41, 0x3F, 0x94, 0xD0}};
inline constexpr IID IID_IImageReceiver = {
    0x3196771C, 0xF2BA, 0x4716, {0xBE, 0x7A, 0x53, 0xDB, 0x56, 0x5C, 0xA7, 0xA2}};
inline constexpr IID IID_ICallbackHandler = {
    0x021BC152, 0x1539, 0x41C3, {0xAF, 0x77, 0xCB, 0x8F, 0x9F, 0x4A, 0x40, 0x7A}};
inline constexpr IID IID_IObjectManager = {
    0x1D8A3E04, 0x7164, 0x4D07, {0xA0, 0x06, 0xEC, 0x32, 0xCC, 0x59, 0xCC, 0x7F}};

struct IImage;
struct IFilter;
struct IOperation;

// Implemented by the plug-in. The engine asks the receiver which frames of a decoded file it wants and
// hands it each accepted frame as an engine image; the receiver takes its own reference.
struct IImageReceiver : IUnknown {
    // (frame index, frame count, width, height, format of the image to come, reserved 0).
    virtual HRESULT STDMETHODCALLTYPE accept_frame(INT32 index, INT32 frame_count, INT32 width, INT32 height,
                                                   pixel_format format, INT32 reserved,
                                                   VARIANT_BOOL* accept) = 0;
    virtual HRESULT STDMETHODCALLTYPE deliver_frame(INT32 index, IImage* image) = 0;
    // (frames delivered, frames the file holds).
    virtual HRESULT STDMETHODCALLTYPE end_frames(INT32 delivered, INT32 frame_count) = 0;
};

// Implemented by the plug-in; called on the thread that runs the engine's work.
struct ICallbackHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE notify(INT32 code, INT32 first, INT32 second, VARIANT_BOOL* go_on) = 0;
    // percent runs from 0 to 100; go_on = VARIANT_FALSE asks the engine to end the run, which then
    // returns job_cancelled_result.
    virtual HRESULT STDMETHODCALLTYPE progress(float percent, VARIANT_BOOL* go_on) = 0;
    // The fewest and the most progress reports the handler wants in one run.
    virtual HRESULT STDMETHODCALLTYPE get_limits(INT32* fewest, INT32* most) = 0;
};

// Implemented by the plug-in: owns memory that an engine image was laid over. The engine calls
// release_object once with the image's cookie when it lets go of that image.
struct IObjectManager : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE unused_slot_3() = 0;
    virtual HRESULT STDMETHODCALLTYPE unused_slot_4() = 0;
    virtual HRESULT STDMETHODCALLTYPE unused_slot_5() = 0;
    virtual HRESULT STDMETHODCALLTYPE release_object(ULONG_PTR cookie) = 0;
};

struct IImage : IUnknown {
    // A deep copy in engine-owned memory; flags must be 0.
    virtual HRESULT STDMETHODCALLTYPE duplicate(DWORD flags, IImage** copy) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_info(INT32* width, INT32* height, INT32* bits_per_pixel,
                                               pixel_format* format) = 0;
    // The pixels, in the image's own format, into caller memory of that size and row stride.
    virtual HRESULT STDMETHODCALLTYPE copy_pixels_to(BYTE* destination, UINT32 byte_size, INT32 stride,
                                                     DWORD flags) = 0;
};

struct IImageData : IUnknown {
    // byte_size is stride times rows.
    virtual HRESULT STDMETHODCALLTYPE get_buffer(BYTE** data, UINT32* byte_size, INT32* stride,
                                                 pixel_format* format, INT32* width) = 0;
    // Succeeds only while nobody uses the image, and answers a failure at once otherwise.
    virtual HRESULT STDMETHODCALLTYPE try_acquire() = 0;
    virtual HRESULT STDMETHODCALLTYPE release() = 0;
    // A reader's lock: succeeds whenever no writer holds the image.
    virtual HRESULT STDMETHODCALLTYPE try_lock() = 0;
    virtual HRESULT STDMETHODCALLTYPE unlock() = 0;
};

struct IFilter : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE set_property(BSTR name, BSTR text) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_child(BSTR name, IFilter** child) = 0;
    virtual HRESULT STDMETHODCALLTYPE commit() = 0;
};

struct IOperation : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE unused_slot_3() = 0;
    virtual HRESULT STDMETHODCALLTYPE apply_in_place(IImage* image, DWORD flags,
                                                     ICallbackHandler* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE query_output(IImage* source, DWORD flags, INT32* width, INT32* height,
                                                   pixel_format* format) = 0;
    // Writes the output at the destination's top-left; the destination may be larger than the output.
    virtual HRESULT STDMETHODCALLTYPE run(IImage* source, DWORD source_flags, IImage* destination,
                                          DWORD destination_flags, ICallbackHandler* handler) = 0;
};

struct IFilterChain : IUnknown {
    // shared_data: an object from IProcessor::create_shared_data for the nodes that keep state between
    // runs, else null.
    virtual HRESULT STDMETHODCALLTYPE add_node(BSTR name, IUnknown* shared_data, IFilter** node) = 0;
    virtual HRESULT STDMETHODCALLTYPE build(IOperation** operation) = 0;
};

struct IStreamProvider : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE unused_slot_3() = 0;
    virtual HRESULT STDMETHODCALLTYPE unused_slot_4() = 0;
    virtual HRESULT STDMETHODCALLTYPE unused_slot_5() = 0;
    virtual HRESULT STDMETHODCALLTYPE unused_slot_6() = 0;
    virtual HRESULT STDMETHODCALLTYPE unused_slot_7() = 0;
    virtual HRESULT STDMETHODCALLTYPE unused_slot_8() = 0;
    virtual HRESULT STDMETHODCALLTYPE unused_slot_9() = 0;
    // A read-only stream over a copy of the bytes.
    virtual HRESULT STDMETHODCALLTYPE create_memory_stream(const BYTE* data, UINT32 size,
                                                           IStream** stream) = 0;
};

struct IImageDecoder : IUnknown {
    // option must be VARIANT_FALSE and flags 0; the frames arrive through the receiver's calls.
    virtual HRESULT STDMETHODCALLTYPE decode(IStream* stream, pixel_format format, VARIANT_BOOL option,
                                             IImageReceiver* receiver, DWORD flags,
                                             ICallbackHandler* handler) = 0;
};

struct IProcessor : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE create_stream_provider(IStreamProvider** provider) = 0;
    virtual HRESULT STDMETHODCALLTYPE unused_slot_4() = 0;
    virtual HRESULT STDMETHODCALLTYPE create_image_decoder(IImageDecoder** decoder) = 0;
    virtual HRESULT STDMETHODCALLTYPE create_shared_data(IUnknown** shared_data) = 0;
    virtual HRESULT STDMETHODCALLTYPE unused_slot_7() = 0;
    // Engine-owned memory, cleared to zero.
    virtual HRESULT STDMETHODCALLTYPE create_image(INT32 width, INT32 height, pixel_format format,
                                                   IImage** image) = 0;
    virtual HRESULT STDMETHODCALLTYPE unused_slot_9() = 0;
    // Over memory the owner keeps; on the image's last release the engine calls the owner's
    // release_object with the cookie, once.
    virtual HRESULT STDMETHODCALLTYPE create_image_on_memory(BYTE* bits, INT32 width, INT32 height,
                                                             pixel_format format, INT32 stride,
                                                             ULONG_PTR cookie, IObjectManager* owner,
                                                             IImage** image) = 0;
    // Over a caller buffer the engine reads (input) or writes (output); never freed or kept by it.
    virtual HRESULT STDMETHODCALLTYPE wrap_input_memory(BYTE* data, INT32 width, INT32 height,
                                                        pixel_format format, INT32 stride,
                                                        IImage** image) = 0;
    virtual HRESULT STDMETHODCALLTYPE wrap_output_memory(BYTE* data, INT32 width, INT32 height,
                                                         pixel_format format, INT32 stride,
                                                         IImage** image) = 0;
    // Scaled to fit inside size x size; keep_aspect must be VARIANT_TRUE and flags 0.
    virtual HRESULT STDMETHODCALLTYPE create_scaled_copy(IImage* image, INT32 size, VARIANT_BOOL keep_aspect,
                                                         DWORD flags, IImage** copy) = 0;
    virtual HRESULT STDMETHODCALLTYPE unused_slot_14() = 0;
    virtual HRESULT STDMETHODCALLTYPE unused_slot_15() = 0;
    virtual HRESULT STDMETHODCALLTYPE unused_slot_16() = 0;
    virtual HRESULT STDMETHODCALLTYPE unused_slot_17() = 0;
    virtual HRESULT STDMETHODCALLTYPE unused_slot_18() = 0;
    virtual HRESULT STDMETHODCALLTYPE create_chain(IFilterChain** chain) = 0;
};

// Service calls of the engine root; callers ignore their results.
struct IProcessorService : IUnknown {
    // Running operations end promptly with a failure; later runs are not affected.
    virtual HRESULT STDMETHODCALLTYPE interrupt() = 0;
    // As interrupt, and the engine drops what it keeps cached; it goes on serving afterwards.
    virtual HRESULT STDMETHODCALLTYPE shutdown() = 0;
};

} // namespace zorvane

// __uuidof for every interface, so that generic COM code can ask for them by type.
__CRT_UUID_DECL(zorvane::IProcessor, 0x7BD2EC85, 0x0832, 0x4324, 0xA9, 0xCA, 0x4A, 0x59, 0xCB, 0x80, 0x3C,
                0xFF)
__CRT_UUID_DECL(zorvane::IProcessorService, 0x17D68A6A, 0x448B, 0x4247, 0xAE, 0x7C, 0xFA, 0xA3, 0x3B, 0x37,
                0xBA, 0x38)
__CRT_UUID_DECL(zorvane::IImage, 0x7823D895, 0xEB1F, 0x4E84, 0xA2, 0xBC, 0x86, 0xA6, 0xA4, 0x6B, 0xDF, 0x1E)
__CRT_UUID_DECL(zorvane::IImageData, 0x2BC2AB28, 0xD7E4, 0x48C5, 0x97, 0x5B, 0xF4, 0x5B, 0xB5, 0x25, 0x89,
                0x4A)
__CRT_UUID_DECL(zorvane::IFilterChain, 0xF4F58649, 0x50C7, 0x4A7B, 0x92, 0xA7, 0x9A, 0x29, 0x58, 0x47, 0x2C,
                0xCF)
__CRT_UUID_DECL(zorvane::IFilter, 0x6B808E1B, 0x0248, 0x42A6, 0xA4, 0xC2, 0xAC, 0xBD, 0xB7, 0x1A, 0x11, 0x52)
__CRT_UUID_DECL(zorvane::IOperation, 0x0D6BE433, 0xB5E8, 0x4482, 0x9B, 0x43, 0x2A, 0xEB, 0x40, 0xD3, 0xA1,
                0x12)
__CRT_UUID_DECL(zorvane::IStreamProvider, 0x2668693D, 0x36BD, 0x44BD, 0xA0, 0x78, 0x41, 0xB6, 0x48, 0x70,
                0x4E, 0xA5)
__CRT_UUID_DECL(zorvane::IImageDecoder, 0xDEB937DD, 0xCE7F, 0x43E5, 0x89, 0xCF, 0xF1, 0x30, 0x41, 0x3F, 0x94,
                0xD0)
__CRT_UUID_DECL(zorvane::IImageReceiver, 0x3196771C, 0xF2BA, 0x4716, 0xBE, 0x7A, 0x53, 0xDB, 0x56, 0x5C, 0xA7,
                0xA2)
__CRT_UUID_DECL(zorvane::ICallbackHandler, 0x021BC152, 0x1539, 0x41C3, 0xAF, 0x77, 0xCB, 0x8F, 0x9F, 0x4A,
                0x40, 0x7A)
__CRT_UUID_DECL(zorvane::IObjectManager, 0x1D8A3E04, 0x7164, 0x4D07, 0xA0, 0x06, 0xEC, 0x32, 0xCC, 0x59, 0xCC,
                0x7F)
