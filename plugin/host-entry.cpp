#include "host-entry.h"

#include <ole2.h>

#include <stdexcept>
#include <utility>

#include "about-box.h"
#include "am-common.h"
#include "hotkey-dialog.h"
#include "main-dialog-impl.h"

namespace tessolux {

namespace {

// Written once by DllMain on process attach; the loader finishes that call before anyone can call into
// the module, so every later reader on any thread sees it.
HINSTANCE module_handle = nullptr;

// GetModuleFileNameW's buffer. A path that does not fit is not worth hashing piecemeal: such hosts
// share one fixed key.
constexpr std::uint32_t module_path_capacity = 4096;

// The host supplies planes lo..hi interleaved. A gray document with a transparency plane (2 planes) is
// filtered as plain gray: asking for its second plane would interleave transparency samples between the
// gray ones the engine image reads, so only plane 0 is asked for. Every other count asks for all planes;
// counts that the job cannot read are refused by continue before any buffer is touched.
std::int16_t last_plane_used(std::int16_t planes) noexcept {
    if (planes == 2 || planes < 1)
        return 0;
    return static_cast<std::int16_t>(planes - 1);
}

// The engine images hold gray, colour or colour with transparency at 8 or 16 bits per sample; a host that
// hands us anything else, or buffers shorter than the rows it describes, gets a failure report instead of
// a misread or overrun buffer.
void check_supported(const host::FilterRecord& record, const job_geometry& job) {
    if (record.planes < 1 || record.planes > 4 || (job.bits != 8 && job.bits != 16))
        throw std::invalid_argument(
            "unsupported image: " + cpp::to_decimal_string(static_cast<std::uint32_t>(record.planes)) +
            " planes of " + cpp::to_decimal_string(static_cast<std::uint32_t>(job.bits)) + " bits");
    const std::int64_t samples = job.alpha != -1 ? 4 : job.green != 0 ? 3 : 1;
    const std::int64_t row = std::int64_t{job.width} * samples * (job.bits / 8);
    const bool masked = record.haveMask != 0;
    if (job.width <= 0 || job.height <= 0 || record.inData == nullptr || record.outData == nullptr ||
        record.inRowBytes < row || record.outRowBytes < row ||
        (masked && (record.maskData == nullptr || record.maskRowBytes < job.width)))
        throw std::invalid_argument("the host's image buffers do not hold the filtered area");
}

[[noreturn]] void throw_access_exception(const void* holder) {
    constexpr auto location = cpp::failure_message(
        "throw_access_exception", "2600", AM_PLUGIN_SOURCE("main-controls-frame.cpp"), "window at  ");
    throw std::runtime_error(std::string(location.c_str()) + cpp::to_hex_string(holder) +
                             "  has been destroyed!");
}

// The window a holder must hold; an empty holder is a failure of ours, reported with the holder's address.
template <class Window> system_ui::window_base* checked_window_ptr(const std::unique_ptr<Window>& holder) {
    if (!holder)
        throw_access_exception(&holder);
    return holder.get();
}

// The preview dialog, shown and run by the modal loop until the user applies, cancels or closes it. It is
// destroyed, with both of its worker threads joined, before the outcome is returned.
dialog_outcome run_preview_window(const engine_context& engine, const std::wstring& key,
                                  const image_frame_ptr& source, const image_frame_ptr& result, HWND owner) {
    std::unique_ptr<main_window::impl> window =
        std::make_unique<main_window::impl>(engine, key, source, result, owner);
    system_ui::window_base* const windows[] = {checked_window_ptr(window)};
    ShowWindow(window->window_handle(), SW_SHOWNORMAL);
    const int code = system_ui::run_message_loop(windows);
    if (window->was_cancelled())
        return dialog_outcome::cancelled;
    return code != 0 ? dialog_outcome::loop_failed : dialog_outcome::accepted;
}

// The OLE initialisations that start made on this thread and finish has not undone yet. Finish undoes
// only those: an OleUninitialize without one would undo the host's own OLE on its thread.
constinit thread_local std::uint32_t ole_started = 0;

void filter_start(host::FilterRecord& record, std::int16_t& result) {
    request_whole_image(record);
    if (FAILED(OleInitialize(nullptr)))
        result = host::run_failed;
    else
        ++ole_started;
}

void filter_finish() {
    if (ole_started == 0)
        return;
    --ole_started;
    OleUninitialize();
}

void filter_continue(host::FilterRecord& record, std::int16_t& result) {
    run_filter_job(record, result, &run_preview_window);
}

} // namespace

HINSTANCE module_instance() noexcept {
    return module_handle;
}

std::uint64_t hash_module_path(std::wstring_view path) noexcept {
    std::uint64_t h = 0;
    for (const wchar_t unit : path) {
        h = (h + static_cast<std::uint16_t>(unit)) * 1025;
        h ^= h >> 6;
    }
    h *= 9;
    h ^= h >> 11;
    h *= 32769;
    return h;
}

std::wstring instance_key_from_path(const wchar_t* buffer, std::uint32_t returned_length) {
    if (returned_length >= module_path_capacity)
        return L"Photoshop";
    const std::string digits = cpp::to_decimal_string(hash_module_path({buffer, returned_length}));
    return {digits.begin(), digits.end()};
}

std::wstring instance_key(HMODULE module) {
    wchar_t path[module_path_capacity];
    // A failure returns 0 and hashes the empty path: the key is then "0", still a usable subkey name.
    const DWORD length = GetModuleFileNameW(module, path, module_path_capacity);
    return instance_key_from_path(path, length);
}

job_geometry describe_job(const host::FilterRecord& record) noexcept {
    job_geometry job{};
    job.bits = record.depth > 0 ? record.depth : 8;
    if (record.bigDocumentData != nullptr) {
        const host::VRect& in = record.bigDocumentData->inRect32;
        job.width = in.right - in.left;
        job.height = in.bottom - in.top;
    } else {
        const host::Rect& in = record.inRect;
        job.width = in.right - in.left;
        job.height = in.bottom - in.top;
    }
    const bool colour = record.planes >= 3;
    job.red = 0;
    job.green = colour ? 1 : 0;
    job.blue = colour ? 2 : 0;
    job.alpha = record.planes == 4 ? 3 : -1;
    job.owner = record.platformData != nullptr
                    ? reinterpret_cast<HWND>(static_cast<std::uintptr_t>(record.platformData->hwnd))
                    : nullptr;
    return job;
}

void request_whole_image(host::FilterRecord& record) noexcept {
    if (host::BigDocumentStruct* big = record.bigDocumentData) {
        big->inRect32 = big->filterRect32;
        big->outRect32 = big->filterRect32;
        big->maskRect32 = big->filterRect32;
        big->PluginUsing32BitCoordinates = 1;
    } else {
        record.inRect = record.filterRect;
        record.outRect = record.filterRect;
        record.maskRect = record.filterRect;
    }
    record.autoMask = 0; // we merge by the mask ourselves
    record.outLoPlane = record.inLoPlane = 0;
    record.wantsAbsolute = 1;
    record.outHiPlane = record.inHiPlane = last_plane_used(record.planes);
}

void run_filter_job(host::FilterRecord& record, std::int16_t& result, const preview_window& window) {
    const std::wstring key = instance_key(module_handle);
    const job_geometry job = describe_job(record);
    image_frame_ptr source;
    image_frame_ptr processed;
    // The host's 16-bit input, when the engine reads it in place, is widened to the engine's range; it
    // goes back to the host's range once the engine is done with it, however the run ends, because the
    // input buffer is the host's document.
    const image_frame* widened_input = nullptr;
    const auto restore_input = [&] {
        if (const image_frame* input = std::exchange(widened_input, nullptr))
            scale_image_channels(*input, false);
    };
    try {
        check_supported(record, job);
        const engine_context engine = create_engine_context();
        if (record.haveMask == 0) {
            // The engine reads and writes the host's own buffers.
            source = wrap_host_input(engine, record.inData, job.width, job.height, record.inRowBytes,
                                     job.bits, job.red, job.green, job.blue, job.alpha);
            processed = wrap_host_output(engine, record.outData, job.width, job.height, record.outRowBytes,
                                         job.bits, job.red, job.green, job.blue, job.alpha);
            if (job.bits == 16) {
                scale_image_channels(*source, true);
                widened_input = source.get();
            }
        } else {
            // The selection travels in the alpha sample of engine-owned copies; no host buffer is handed
            // over.
            source = create_engine_image(engine, job.width, job.height, job.bits, 0, 1, 2, 3);
            processed = create_engine_image(engine, job.width, job.height, job.bits, 0, 1, 2, 3);
            copy_host_to_frame(record.inData, record.inRowBytes, job.red, job.green, job.blue, job.alpha,
                               static_cast<const std::uint8_t*>(record.maskData), record.maskRowBytes,
                               *source);
        }
        const dialog_outcome outcome = window(engine, key, source, processed, job.owner);
        restore_input();
        switch (outcome) {
        case dialog_outcome::cancelled:
            result = host::userCanceledErr;
            break;
        case dialog_outcome::loop_failed:
            result = host::run_failed;
            break;
        case dialog_outcome::accepted:
            // The host's own preset result stands.
            if (record.haveMask == 0) {
                // The engine has written the output buffer, in its own range.
                if (job.bits == 16)
                    scale_image_channels(*processed, false);
            } else {
                const image_frame_ptr input =
                    wrap_host_input(engine, record.inData, job.width, job.height, record.inRowBytes, job.bits,
                                    job.red, job.green, job.blue, job.alpha);
                copy_frame_to_host(*input, *processed, static_cast<const std::uint8_t*>(record.maskData),
                                   record.maskRowBytes, record.outData, record.outRowBytes, job.red,
                                   job.green, job.blue, job.alpha);
            }
            break;
        }
    } catch (const std::exception& failure) {
        // The window and the engine context are gone by now; the input goes back before the user sees
        // the box.
        restore_input();
        result = report_exception(job.owner, failure, engine_file_name) == 0 ? host::userCanceledErr
                                                                             : host::filterBadParameters;
    } catch (...) {
        // Nothing of ours to report (a cancellation that got this far, a foreign exception): PluginMain
        // tells the host, which gets its document back first.
        restore_input();
        throw;
    }
    empty_request_rects(record);
}

void empty_request_rects(host::FilterRecord& record) noexcept {
    if (host::BigDocumentStruct* big = record.bigDocumentData) {
        big->inRect32 = {};
        big->outRect32 = {};
        big->maskRect32 = {};
    } else {
        record.inRect = {};
        record.outRect = {};
        record.maskRect = {};
    }
}

} // namespace tessolux

extern "C" void PluginMain(std::int16_t selector, tessolux::host::FilterRecord* record, std::intptr_t*,
                           std::int16_t* result) {
    using namespace tessolux;
    // Nothing may unwind into the host. Where there is no result word there is nobody to tell.
    std::int16_t ignored = 0;
    std::int16_t& code = result != nullptr ? *result : ignored;
    try {
        switch (selector) {
        case host::filterSelectorAbout:
            // Hosts ask for it at any time, also outside a run; it has no owner.
            show_about_box(nullptr);
            break;
        case host::filterSelectorStart:
        case host::filterSelectorContinue:
            // Both work on the record: without one there is nothing to ask for or to filter.
            if (record == nullptr)
                code = host::filterBadParameters;
            else if (selector == host::filterSelectorStart)
                filter_start(*record, code);
            else
                filter_continue(*record, code);
            break;
        case host::filterSelectorFinish:
            filter_finish();
            break;
        default:
            // Parameters and prepare need nothing from us; unknown selectors are not ours to answer.
            break;
        }
    } catch (...) {
        code = host::filterBadParameters;
    }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        tessolux::module_handle = instance;
    return TRUE;
}
