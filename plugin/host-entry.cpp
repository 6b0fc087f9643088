#include "host-entry.h"

#include <ole2.h>

#include <stdexcept>

#include "am-common.h"

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
// hands us anything else gets a failure report instead of a misread buffer.
void check_supported(const host::FilterRecord& record, const job_geometry& job) {
    if (record.planes < 1 || record.planes > 4 || (job.bits != 8 && job.bits != 16))
        throw std::invalid_argument(
            "unsupported image: " + cpp::to_decimal_string(static_cast<std::uint32_t>(record.planes)) +
            " planes of " + cpp::to_decimal_string(static_cast<std::uint32_t>(job.bits)) + " bits");
}

// Shows a failure of the run to the user. Until the failure reports exist the failure is only
// reflected in the result: the run ends as cancelled.
std::int16_t report_failure(HWND, const std::exception&) {
    return host::userCanceledErr;
}

// What the preview dialog made of the run.
enum class dialog_outcome { cancelled, loop_failed, accepted };

// The engine over the host's buffers and the modal preview dialog. Neither is part of the module yet;
// with no window there is nobody to accept the run, so it counts as cancelled and the host keeps its
// image.
dialog_outcome run_dialog(host::FilterRecord&, const job_geometry&, const std::wstring&) {
    return dialog_outcome::cancelled;
}

void filter_start(host::FilterRecord& record, std::int16_t& result) {
    request_whole_image(record);
    if (FAILED(OleInitialize(nullptr)))
        result = host::run_failed;
}

void filter_continue(host::FilterRecord& record, std::int16_t& result) {
    const std::wstring key = instance_key(module_handle);
    const job_geometry job = describe_job(record);
    try {
        check_supported(record, job);
        switch (run_dialog(record, job, key)) {
        case dialog_outcome::cancelled:
            result = host::userCanceledErr;
            break;
        case dialog_outcome::loop_failed:
            result = host::run_failed;
            break;
        case dialog_outcome::accepted:
            // The host's own preset result stands.
            break;
        }
    } catch (const std::exception& failure) {
        result = report_failure(job.owner, failure);
    }
    empty_request_rects(record);
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
            // The about box (dialog 101) is not part of the module yet: the call returns as if the user had
            // closed it.
            break;
        case host::filterSelectorStart:
            if (record == nullptr)
                code = host::filterBadParameters;
            else
                filter_start(*record, code);
            break;
        case host::filterSelectorContinue:
            if (record == nullptr)
                code = host::filterBadParameters;
            else
                filter_continue(*record, code);
            break;
        case host::filterSelectorFinish:
            OleUninitialize();
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
