// The host entry of the plug-in module: the host's filter record as far as we use it, the exported
// PluginMain, the module handle and the settings key of the host installation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <windows.h>

#include "image-processor.h"

namespace tessolux {

// The host's structures, declared from their byte offsets. Only the named fields are ours to read or
// write; the gaps belong to the host. The host program of this repository builds the same structures.
namespace host {

struct Rect {
    std::int16_t top, left, bottom, right;
    friend bool operator==(const Rect&, const Rect&) = default;
};

struct VRect {
    std::int32_t top, left, bottom, right;
    friend bool operator==(const VRect&, const VRect&) = default;
};

// The 32-bit coordinates a host offers for documents beyond 32767 pixels.
struct BigDocumentStruct {
    std::int32_t PluginUsing32BitCoordinates;
    std::byte reserved_4[8];
    VRect filterRect32;
    VRect inRect32;
    VRect outRect32;
    VRect maskRect32;
};

// Its first word is the host's main window.
struct PlatformData {
    std::uint32_t hwnd;
};

struct FilterRecord {
    std::byte reserved_0[20];
    std::int16_t planes;
    Rect filterRect;
    std::byte reserved_30[22];
    Rect inRect;
    std::int16_t inLoPlane;
    std::int16_t inHiPlane;
    Rect outRect;
    std::int16_t outLoPlane;
    std::int16_t outHiPlane;
    void* inData;
    std::int32_t inRowBytes;
    void* outData;
    std::int32_t outRowBytes;
    std::byte reserved_92[1];
    std::uint8_t haveMask;
    std::uint8_t autoMask;
    std::byte reserved_95[1];
    Rect maskRect;
    void* maskData;
    std::int32_t maskRowBytes;
    std::byte reserved_112[76];
    PlatformData* platformData;
    std::byte reserved_192[37];
    std::uint8_t wantsAbsolute;
    std::byte reserved_230[150];
    std::int32_t depth;
    std::byte reserved_384[16];
    BigDocumentStruct* bigDocumentData;
};

static_assert(offsetof(BigDocumentStruct, filterRect32) == 12 &&
              offsetof(BigDocumentStruct, inRect32) == 28 && offsetof(BigDocumentStruct, outRect32) == 44 &&
              offsetof(BigDocumentStruct, maskRect32) == 60);
static_assert(offsetof(FilterRecord, planes) == 20 && offsetof(FilterRecord, filterRect) == 22 &&
              offsetof(FilterRecord, inRect) == 52 && offsetof(FilterRecord, inLoPlane) == 60 &&
              offsetof(FilterRecord, inHiPlane) == 62 && offsetof(FilterRecord, outRect) == 64 &&
              offsetof(FilterRecord, outLoPlane) == 72 && offsetof(FilterRecord, outHiPlane) == 74 &&
              offsetof(FilterRecord, inData) == 76 && offsetof(FilterRecord, inRowBytes) == 80 &&
              offsetof(FilterRecord, outData) == 84 && offsetof(FilterRecord, outRowBytes) == 88 &&
              offsetof(FilterRecord, haveMask) == 93 && offsetof(FilterRecord, autoMask) == 94 &&
              offsetof(FilterRecord, maskRect) == 96 && offsetof(FilterRecord, maskData) == 104 &&
              offsetof(FilterRecord, maskRowBytes) == 108 && offsetof(FilterRecord, platformData) == 188 &&
              offsetof(FilterRecord, wantsAbsolute) == 229 && offsetof(FilterRecord, depth) == 380 &&
              offsetof(FilterRecord, bigDocumentData) == 400);

enum selector : std::int16_t {
    filterSelectorAbout = 0,
    filterSelectorParameters = 1,
    filterSelectorPrepare = 2,
    filterSelectorStart = 3,
    filterSelectorContinue = 4,
    filterSelectorFinish = 5,
};

// Result codes we write. On success the host's own preset value stays.
constexpr std::int16_t run_failed = -1; // OLE could not be initialised, or the message loop failed
constexpr std::int16_t userCanceledErr = -128;
constexpr std::int16_t filterBadParameters = -30100;

using entry_point = void (*)(std::int16_t selector, FilterRecord* record, std::intptr_t* data,
                             std::int16_t* result);

} // namespace host

// The plug-in module's instance handle, kept by DllMain. Null where this code is linked into a
// program rather than the module, which makes resource loads and the module path fall back on the
// program itself.
HINSTANCE module_instance() noexcept;

// One-at-a-time hash over the UTF-16 code units of a path, in 64-bit arithmetic.
std::uint64_t hash_module_path(std::wstring_view path) noexcept;

// The name of this host installation's settings subkey, from what GetModuleFileNameW left in a buffer
// of 4096 characters and the length it returned.
std::wstring instance_key_from_path(const wchar_t* buffer, std::uint32_t returned_length);
// The same for a loaded module.
std::wstring instance_key(HMODULE module);

// How the host's interleaved planes are laid out for one filter run.
struct job_geometry {
    std::int32_t bits;
    std::int32_t width;
    std::int32_t height;
    std::int32_t red, green, blue;
    std::int32_t alpha; // -1: no alpha plane
    HWND owner;
};
job_geometry describe_job(const host::FilterRecord& record) noexcept;

// How the preview window ended the run.
enum class dialog_outcome { cancelled, loop_failed, accepted };

// The modal preview window over the engine, the settings key, the source and result frames and the host
// window: it returns when the user has applied, cancelled or closed it, and on Apply has copied the shown
// picture into the result frame.
using preview_window = cpp::moveonly_function<dialog_outcome(
    const engine_context& engine, const std::wstring& key, const image_frame_ptr& source,
    const image_frame_ptr& result, HWND owner)>;

// The continue selector's filter run: the engine over the host's buffers, the window, the write-back of
// an accepted run, and the failure report. The module passes its own preview window.
void run_filter_job(host::FilterRecord& record, std::int16_t& result, const preview_window& window);

// The start selector's request: the whole image in one piece, the planes we process.
void request_whole_image(host::FilterRecord& record) noexcept;
// Empties every request rectangle, so that the host asks for nothing more.
void empty_request_rects(host::FilterRecord& record) noexcept;

} // namespace tessolux

extern "C" __declspec(dllexport) void PluginMain(std::int16_t selector, tessolux::host::FilterRecord* record,
                                                 std::intptr_t* data, std::int16_t* result);
