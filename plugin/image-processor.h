// The image pipeline's ground floor: the engine's images as owned frames, the host's interleaved planes
// in and out of engine images, the preview canvas, the engine and its contexts, the objects the engine
// calls back (the progress handler answers with the worker lanes' is_job_cancelled), and the failure
// report the host entry shows.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <utility>

#include <windows.h>

#include "ZorvaneImageProcessor.h"
#include "abi-export.h"
#include "am-functional.h"
#include "am-handle.h"
#include "am-threading.h"

namespace system_ui {
class window_task_queue;
}

namespace tessolux {

using zorvane::pixel_format;

// Frames ----------------------------------------------------------------------------------------------

// One engine image with its size and format, read once from the image when the frame is made.
struct image_frame {
    com_ptr<zorvane::IImage> image;
    std::int32_t width;
    std::int32_t height;
    pixel_format format;
};

// Owns one frame; moves, never copies. A second holder of the same image is made explicitly
// (clone_frame), so that handing a frame to another thread always says who keeps it.
class image_frame_ptr {
public:
    image_frame_ptr() noexcept = default;
    explicit image_frame_ptr(std::unique_ptr<image_frame> frame) noexcept : frame_(std::move(frame)) {}

    explicit operator bool() const noexcept { return frame_ != nullptr; }
    image_frame* get() const noexcept { return frame_.get(); }
    image_frame* operator->() const noexcept { return frame_.get(); }
    image_frame& operator*() const noexcept { return *frame_; }
    std::int32_t frame_width() const noexcept { return frame_->width; }
    std::int32_t frame_height() const noexcept { return frame_->height; }

private:
    std::unique_ptr<image_frame> frame_;
};

// Takes the image over; its size and format come from the engine.
image_frame_ptr make_image_frame(com_ptr<zorvane::IImage> image);

// A new frame over the engine's own copy of the frame's image (engine-owned memory, so it stays valid
// when the memory under the original goes); an empty frame gives an empty result.
image_frame_ptr frame_from_output(const image_frame_ptr& frame);

// The source's pixels into the target's memory. False, and nothing thrown, when either is missing or
// an engine call fails: the caller decides whether that matters.
bool copy_image_data(const image_frame_ptr& target, const image_frame_ptr& source) noexcept;

// The frame's image as a top-down DIB section of the image's bit depth; the caller owns the bitmap.
HBITMAP frame_to_bitmap(const image_frame& frame);
HBITMAP to_dib_bmp(com_ptr<zorvane::IImage> image);

// Host planes -----------------------------------------------------------------------------------------

// The engine format for the host's interleaved planes: gray when c0, c1 and c2 are all 0, else colour
// without (alpha -1) or with an alpha sample; 8 bits for a depth of exactly 8, 16 for any other.
pixel_format format_for_planes(std::int32_t depth, std::int32_t c0, std::int32_t c1, std::int32_t c2,
                               std::int32_t alpha) noexcept;

// Host planes and the selection mask (one byte per pixel, 0 not selected) into a four-channel engine
// image of the matching depth: gray v becomes (v, v, v, m), colour (s0, s1, s2, m), colour with alpha
// (s0, s1, s2, a x m / 255). At 16 bits the host's samples are widened to the engine's range and the
// mask byte becomes m x 256. The mask goes into the alpha sample so the engine can see the selection.
void copy_host_to_frame(const void* source, std::int32_t source_row_bytes, std::int32_t c0, std::int32_t c1,
                        std::int32_t c2, std::int32_t alpha, const std::uint8_t* mask,
                        std::int32_t mask_row_bytes, const image_frame& destination);

// The processed four-channel image back into the host's output buffer where the mask is set, the
// unprocessed host-layout image elsewhere. The alpha sample always comes from the unprocessed pixel:
// the processed alpha carries the mask, not the layer's opacity.
void copy_frame_to_host(const image_frame& unprocessed, const image_frame& processed,
                        const std::uint8_t* mask, std::int32_t mask_row_bytes, void* output,
                        std::int32_t output_row_bytes, std::int32_t c0, std::int32_t c1, std::int32_t c2,
                        std::int32_t alpha);

// In place, between the host's 16-bit range (0..32768) and the engine's (0..65535); 8-bit frames are
// left as they are. Going back is the exact inverse of going in.
void scale_image_channels(const image_frame& frame, bool to_engine);

// The 16-bit range conversions of one sample. Widening doubles 0..32767 and takes 32768 to 65535;
// narrowing rounds half up, so that every widened value comes back as it went in.
// Both are written in 16-bit arithmetic (2v - (2v >> 16) and (v + 1) >> 1 without the wider
// intermediate), so that the image loops run eight samples per vector instruction.
constexpr std::uint16_t widen_sample(std::uint16_t v) noexcept {
    return static_cast<std::uint16_t>((v << 1) - (v >> 15));
}
constexpr std::uint16_t narrow_sample(std::uint16_t v) noexcept {
    return static_cast<std::uint16_t>((v >> 1) + (v & 1));
}

// Reads one pixel for the pointer readout: the callback gets the colour (select_RGB_RGBA's lanes),
// whether the samples are 16-bit and whether there is alpha; outside the image (0, false, false).
// False, and no call, while the engine is writing the image.
bool sample_pixel(const image_frame& frame, std::int32_t x, std::int32_t y,
                  const cpp::moveonly_function<void(std::uint64_t, bool, bool)>& callback);

// The preview canvas ----------------------------------------------------------------------------------

// A rectangle of the preview view.
struct preview_rect {
    std::int32_t x, y, width, height;
};

// What the preview is painted from: a 24-bit top-down DIB section in a memory DC that is at the same time
// an engine image, so the engine renders straight into the bitmap the window blits. The preview lane
// writes it and the UI thread paints it, each under the canvas lock.
class preview_canvas {
public:
    // A failure of the DC or the DIB section throws std::bad_alloc.
    preview_canvas(zorvane::IProcessor* root, std::int32_t width, std::int32_t height);
    preview_canvas(const preview_canvas&) = delete;
    preview_canvas& operator=(const preview_canvas&) = delete;

    // Rows of 3-byte pixels rounded up to whole 32-bit words, as a DIB section lays them out.
    static constexpr std::int32_t stride_for(std::int32_t width) noexcept { return ((width + 1) * 3) & ~3; }

    // Fields in this order, so that they go in the reverse: the lock, then the image (whose release by
    // the engine deletes the bitmap through the deleter), then the DC.
    cpp::unique_any<HDC, &DeleteDC> memory_dc;
    com_ptr<zorvane::IImage> image;
    cpp::threading::cacheline_lock lock;
    HBITMAP bitmap;
    // Where in the preview view the canvas's top-left pixel was rendered to; empty until the first render.
    preview_rect impact{};
};

using preview_canvas_ptr = std::unique_ptr<preview_canvas>;

// The canvas of a holder that must have one; an empty holder throws std::logic_error.
preview_canvas& get_internals(const preview_canvas_ptr& canvas);

// The canvas held under its lock: the DC with the canvas bitmap selected (for drawing on it), or the
// canvas image (for the engine to render into). Gives the lock back, and the DC what it held, when it
// goes, also when an exception leaves the holder's scope.
class locked_canvas {
public:
    locked_canvas(cpp::threading::cacheline_lock& lock, HGDIOBJ previous, HDC dc,
                  zorvane::IImage* image) noexcept
        : lock_(&lock), previous_(previous), dc_(dc), image_(image) {}
    locked_canvas(locked_canvas&& other) noexcept
        : lock_(std::exchange(other.lock_, nullptr)), previous_(other.previous_), dc_(other.dc_),
          image_(other.image_) {}
    locked_canvas(const locked_canvas&) = delete;
    locked_canvas& operator=(const locked_canvas&) = delete;
    ~locked_canvas();

    HDC dc() const noexcept { return dc_; }
    zorvane::IImage* image() const noexcept { return image_; }

private:
    cpp::threading::cacheline_lock* lock_;
    HGDIOBJ previous_;
    HDC dc_;
    zorvane::IImage* image_;
};

locked_canvas lock_canvas(preview_canvas& canvas);
// Records where the render about to happen lands in the preview view.
locked_canvas lock_canvas(preview_canvas& canvas, const preview_rect& impact);

// For painting: the DC with the canvas bitmap selected, with the impact rectangle copied out under the
// lock, and the releaser that the painter calls with the DC when it is done (or that releases when it
// goes uncalled). Empty canvas: std::logic_error.
std::pair<cpp::moveonly_function<void(HDC)>, HDC> lock_canvas_dc(const preview_canvas_ptr& canvas,
                                                                 preview_rect& impact);

// The engine ------------------------------------------------------------------------------------------

// An engine root and the progress handler its runs report to; either may be empty. Moves, never copies.
struct engine_context {
    com_ptr<zorvane::IProcessor> root;
    com_ptr<zorvane::ICallbackHandler> handler;
};

// The engine object that nodes keeping state between runs share.
class memoized_data_t {
public:
    explicit memoized_data_t(zorvane::IProcessor* root);
    IUnknown* get() const noexcept { return data_.get(); }

private:
    com_ptr<IUnknown> data_;
};

// The engine's file name, as the failure reports name it.
inline constexpr wchar_t engine_file_name[] = L"ZorvaneImageProcessor2.dll";

// The engine DLL's registered path, under the local machine, else under the current user, into a buffer
// of 4096 characters, always terminated. False, and the buffer untouched, when there is none.
bool find_engine_server_path(wchar_t (&buffer)[4096]);

// A new engine and no progress handler; an engine that cannot be created throws.
engine_context create_engine_context();
// The root shared with a progress handler that posts every report to callback through queue; both are
// borrowed and must outlive the context.
engine_context make_engine_context_with_progress(zorvane::IProcessor* root,
                                                 const cpp::moveonly_function<void(float)>* callback,
                                                 system_ui::window_task_queue* queue);
// A new engine with a plain progress handler, or an empty context when the engine cannot be created.
engine_context try_create_engine_context();
// The root shared with a new plain progress handler.
engine_context make_engine_context(zorvane::IProcessor* root);

// Engine images: new ones in the format of the host's planes, or laid over a host buffer that the engine
// reads (input) or writes (output) in place for as long as the host keeps it.
image_frame_ptr create_engine_image(const engine_context& engine, std::int32_t width, std::int32_t height,
                                    std::int32_t depth, std::int32_t c0, std::int32_t c1, std::int32_t c2,
                                    std::int32_t alpha);
image_frame_ptr wrap_host_input(const engine_context& engine, void* data, std::int32_t width,
                                std::int32_t height, std::int32_t row_bytes, std::int32_t depth,
                                std::int32_t c0, std::int32_t c1, std::int32_t c2, std::int32_t alpha);
image_frame_ptr wrap_host_output(const engine_context& engine, void* data, std::int32_t width,
                                 std::int32_t height, std::int32_t row_bytes, std::int32_t depth,
                                 std::int32_t c0, std::int32_t c1, std::int32_t c2, std::int32_t alpha);

// A second frame over the same engine image.
image_frame_ptr clone_frame(const image_frame_ptr& frame);

// A square size x size BGRA32 picture with the source scaled to fit, centred on transparent black.
image_frame_ptr convert_to_bgra32(const engine_context& engine, std::int32_t size, const image_frame& source);

// PNG resource id of the module, decoded by the engine and scaled to fit size x size.
HBITMAP load_png_resource(const engine_context& engine, std::int32_t size, HMODULE module, WORD id);

// A canvas of that size over the context's engine.
preview_canvas_ptr make_preview_canvas(const engine_context& engine, std::int32_t width, std::int32_t height);

// Running operations end promptly; shutting down also drops what the engine caches. Results are ignored.
void interrupt_engine(const engine_context& engine);
void shutdown_engine(const engine_context& engine);

// The module's string-table entry id; a missing entry throws std::system_error.
std::wstring module_string(UINT id);

// Failure reports -------------------------------------------------------------------------------------

// Shows one box saying what went wrong, in terms of the outside engine where a COM call failed: missing
// memory, a component (file name, may be empty) that is not registered, wrong or missing, or its error
// code; a system error's own text; anything else as an unknown error. 0 when the report ran to its end
// (shown, or a system error the system has no text for), -1 when building or showing it failed.
int report_exception(HWND owner, const std::exception& failure, const wchar_t* component) noexcept;

// Callback objects ------------------------------------------------------------------------------------

// Each answers QueryInterface for IUnknown, its interface and ISupportErrorInfo and may be called on any
// thread. The caller owns the one reference a new object starts with.
com_ptr<zorvane::IImageReceiver> make_frame_receiver();
com_ptr<zorvane::ICallbackHandler> make_progress_handler();
// Posts each progress report (a percentage, 0 to 100) through queue to callback on the queue's thread,
// and answers stop once the calling job is superseded. Calls callback with 0 before it returns.
// Both are borrowed: their owner keeps them alive as long as the handler can be called.
com_ptr<zorvane::ICallbackHandler> make_progress_handler(const cpp::moveonly_function<void(float)>* callback,
                                                         system_ui::window_task_queue* queue);
com_ptr<zorvane::IObjectManager> make_dib_deleter();

} // namespace tessolux
