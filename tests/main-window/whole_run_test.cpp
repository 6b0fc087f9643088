// Whole runs of the built module through the filter host, which plays the image editor: its selectors,
// its buffers (the output pre-filled with a pattern the filter must overwrite), and a user who waits for
// the preview and then applies, cancels or closes the dialog. The expected pictures come from the
// registered engine run directly with the parameter texts that first-run settings send.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dialog-driver.h"
#include "host/filter-host.h"
#include "message-box-reader.h"
#include "plugin/host-entry.h"
#include "reference-engine.h"
#include "resource.h"
#include "standin-engine.h"

namespace {

using test_support::live_engine_objects;

namespace sdk = tessolux::host;
using reference::picture;
using ::testing::ElementsAre;
using zorvane::pixel_format;

const std::wstring settings_root = L"Software\\Veltrin Media\\Tessolux 3 Plugin";

// The built module under a folder of this program's own: its settings key is the hash of its path, so
// no other program's runs of the module share it.
std::wstring private_module_copy() {
    CreateDirectoryW(L"whole-runs", nullptr);
    const std::wstring path = L"whole-runs\\Tessolux3.8bf";
    if (!CopyFileW(L"Tessolux3.8bf", path.c_str(), FALSE))
        throw std::runtime_error("the module cannot be copied");
    return path;
}

enum class ending { apply, cancel, close_box };

const char* name_of(ending e) {
    return e == ending::apply ? "Apply" : e == ending::cancel ? "Cancel" : "close box";
}

struct layout {
    std::int16_t planes;
    std::int32_t depth;
};
// The host offers gray documents at 8 bits only, and no gray with transparency.
constexpr layout layouts[] = {{1, 8}, {3, 8}, {3, 16}, {4, 8}, {4, 16}};

constexpr std::int32_t width = 45;
constexpr std::int32_t height = 30;

// A photo-like document: gradients, a bright block and a dark corner, transparency that varies; the
// 16-bit ones hold the host's range with its white (32768) in it.
filter_host::image make_document(layout kind) {
    filter_host::image document(width, height, kind.planes, kind.depth);
    const std::uint32_t top = kind.depth == 16 ? 32768 : 255;
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 0; x != width; ++x)
            for (std::int32_t c = 0; c != kind.planes; ++c) {
                const bool block = x >= 15 && x < 27 && y >= 9 && y < 18;
                const std::uint32_t ramp = (x * 5 + y * 3 + c * 40) % 256;
                const std::uint32_t v8 = block ? 240 - c * 10 : x < 4 && y < 4 ? 3 : ramp;
                document.at(x, y, c) =
                    static_cast<std::uint16_t>(c == 3 ? (top * (x + 1)) / width : (v8 * top + 127) / 255);
            }
    document.at(0, 0, 0) = static_cast<std::uint16_t>(top);
    return document;
}

// A selection of every kind of mask byte whose bounding box is the whole document (the host asks the
// filter for that box only).
filter_host::selection make_selection() {
    filter_host::selection mask{width, height, std::vector<std::uint8_t>(width * height)};
    const std::uint8_t bytes[] = {255, 0, 1, 128, 0, 255, 77, 0, 0, 200};
    for (std::size_t i = 0; i != mask.bytes.size(); ++i)
        mask.bytes[i] = bytes[(i / 3 + i % 7) % 10];
    mask.bytes.front() = mask.bytes.back() = 255;
    return mask;
}

// The engine image the plug-in hands the engine: the host's samples in place (widened into the engine's
// 16-bit range), or with a selection a four-channel copy that carries the mask in its last sample.
picture engine_input(const filter_host::image& document, const filter_host::selection* mask) {
    const bool wide = document.depth == 16;
    const auto widen = [wide](std::uint32_t v) { return wide ? 2 * v - ((2 * v) >> 16) : v; };
    if (mask == nullptr) {
        const pixel_format format = document.planes == 1 ? (wide ? pixel_format::gray16 : pixel_format::gray8)
                                    : document.planes == 3
                                        ? (wide ? pixel_format::rgb48 : pixel_format::rgb24)
                                        : (wide ? pixel_format::rgba64 : pixel_format::rgba32);
        picture input(width, height, format);
        for (std::int32_t y = 0; y != height; ++y)
            for (std::int32_t x = 0; x != width; ++x)
                for (std::int32_t c = 0; c != document.planes; ++c)
                    input.set(x, y, c, widen(document.at(x, y, c)));
        return input;
    }
    picture input(width, height, wide ? pixel_format::rgba64 : pixel_format::rgba32);
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 0; x != width; ++x) {
            const std::uint32_t m = mask->bytes[static_cast<std::size_t>(y) * width + x];
            for (std::int32_t c = 0; c != 3; ++c)
                input.set(x, y, c, widen(document.at(x, y, document.planes == 1 ? 0 : c)));
            const std::uint32_t alpha = document.planes == 4
                                            ? widen((document.at(x, y, 3) * m / 255) & 0xffff)
                                        : wide ? m * 256
                                               : m;
            input.set(x, y, 3, alpha);
        }
    return input;
}

// The document as an accepted run must leave it: the engine's output where the selection is (halved back
// into the host's range at 16 bits, rounding up, so that white stays white), the document's own samples
// elsewhere. The transparency of a selected pixel stays the document's: the engine saw it multiplied by the
// mask.
filter_host::image expected_after_apply(const filter_host::image& document,
                                        const filter_host::selection* mask, bool tilt_shift) {
    const picture enhanced = reference::run(
        engine_input(document, mask), reference::natural_enhance(reference::segment_size_for(width, height)));
    const picture processed =
        tilt_shift ? reference::run(enhanced, reference::tilt_shift(width, height)) : enhanced;
    filter_host::image expected = document;
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 0; x != width; ++x) {
            if (mask != nullptr && mask->bytes[static_cast<std::size_t>(y) * width + x] == 0)
                continue;
            const std::int32_t colours = mask != nullptr && document.planes == 4 ? 3 : document.planes;
            for (std::int32_t c = 0; c != colours; ++c) {
                const std::uint32_t v = processed.get(x, y, c);
                expected.at(x, y, c) = static_cast<std::uint16_t>(document.depth == 16 ? (v + 1) >> 1 : v);
            }
        }
    return expected;
}

// Where two documents first differ, for the failure message.
std::string first_difference(const filter_host::image& got, const filter_host::image& want,
                             const filter_host::image& original) {
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 0; x != width; ++x)
            for (std::int32_t c = 0; c != got.planes; ++c)
                if (got.at(x, y, c) != want.at(x, y, c))
                    return "first at " + std::to_string(x) + "," + std::to_string(y) + " sample " +
                           std::to_string(c) + ": " + std::to_string(got.at(x, y, c)) + " instead of " +
                           std::to_string(want.at(x, y, c)) + " (the document had " +
                           std::to_string(original.at(x, y, c)) + ")";
    return "none";
}

struct run_result {
    filter_host::run_report report;
    std::vector<test_support::message_box> boxes;
    bool expired = false;
    bool windows_left = false;
};

BOOL CALLBACK note_window(HWND, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return FALSE;
}

bool has_windows(DWORD thread) {
    bool found = false;
    EnumThreadWindows(thread, &note_window, reinterpret_cast<LPARAM>(&found));
    return found;
}

class whole_runs : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_GE(CoInitializeEx(nullptr, COINIT_MULTITHREADED), 0);
        module_path = new std::wstring(private_module_copy());
    }
    static void TearDownTestSuite() {
        delete module_path;
        CoUninitialize();
    }

    void SetUp() override { reset_settings(); }
    void TearDown() override { reset_settings(); }

    // First-run settings: no settings key at all.
    void reset_settings() { RegDeleteTreeW(HKEY_CURRENT_USER, (settings_root + L"\\" + key).c_str()); }
    void write_setting(const wchar_t* name, DWORD value) {
        HKEY opened = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (settings_root + L"\\" + key).c_str(), 0, nullptr, 0,
                                  KEY_WRITE, nullptr, &opened, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(opened, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        RegCloseKey(opened);
    }

    // Runs the filter on a thread of its own, as the editor's thread, with the user's steps played from
    // inside the dialog's loop; reads the message boxes it shows.
    run_result run(filter_host::image& document, const filter_host::selection* mask,
                   std::vector<test_support::dialog_script::step> steps, bool big_document = true) {
        run_result result;
        std::thread([&] {
            ASSERT_GE(OleInitialize(nullptr), 0);
            {
                test_support::message_box_reader reader;
                test_support::dialog_script user(std::move(steps));
                result.report = filter_host::run_filter(module, document, mask, {nullptr, big_document});
                result.expired = user.expired() || !user.finished();
                result.boxes = reader.boxes();
            }
            result.windows_left = has_windows(GetCurrentThreadId());
            OleUninitialize();
        }).join();
        return result;
    }

    test_support::dialog_script::step ending_step(ending e) {
        return e == ending::apply    ? test_support::press(IDC_APPLY)
               : e == ending::cancel ? test_support::press(IDC_CANCEL)
                                     : test_support::close_box();
    }

    static inline std::wstring* module_path = nullptr;
    filter_host::plugin_module module{*module_path};
    const std::wstring key = tessolux::instance_key(module.handle());
    const std::wstring done = test_support::done_text(module.handle());
};

TEST_F(whole_runs, apply_writes_the_enhanced_picture_where_selected_and_cancel_or_close_leave_the_document) {
    const filter_host::selection selection = make_selection();
    for (const layout kind : layouts)
        for (const bool masked : {false, true})
            for (const ending e : {ending::apply, ending::cancel, ending::close_box}) {
                SCOPED_TRACE(testing::Message() << kind.planes << " planes of " << kind.depth << " bits"
                                                << (masked ? ", selection, " : ", ") << name_of(e));
                reset_settings();
                const filter_host::image original = make_document(kind);
                filter_host::image document = original;
                const filter_host::selection* mask = masked ? &selection : nullptr;
                const run_result r =
                    run(document, mask, {test_support::wait_until_ready(done), ending_step(e)},
                        e != ending::close_box);
                ASSERT_FALSE(r.expired) << "the preview got ready and the dialog ended";
                EXPECT_TRUE(r.boxes.empty());
                EXPECT_FALSE(r.windows_left);
                EXPECT_FALSE(r.report.input_changed) << "the input buffer is byte-identical";
                EXPECT_THAT(r.report.selectors, ElementsAre(1, 2, 3, 4, 5)) << "every request emptied";
                EXPECT_EQ(live_engine_objects(), 0);
                if (e == ending::apply) {
                    EXPECT_EQ(r.report.result, 0) << "the host's result word is left as it was";
                    ASSERT_TRUE(r.report.applied);
                    const filter_host::image expected = expected_after_apply(original, mask, false);
                    EXPECT_TRUE(document.samples == expected.samples)
                        << "every selected pixel is the engine's, every other the document's; "
                        << first_difference(document, expected, original);
                    EXPECT_FALSE(document.samples == original.samples)
                        << "the enhancement changes the picture";
                } else {
                    EXPECT_EQ(r.report.result, sdk::userCanceledErr);
                    EXPECT_FALSE(r.report.applied);
                    EXPECT_TRUE(document.samples == original.samples);
                }
            }
}

TEST_F(whole_runs, with_tilt_shift_active_apply_writes_its_result_on_top_of_the_enhancement) {
    const filter_host::selection selection = make_selection();
    for (const layout kind : layouts)
        for (const bool masked : {false, true}) {
            SCOPED_TRACE(testing::Message() << kind.planes << " planes of " << kind.depth << " bits"
                                            << (masked ? ", selection" : ""));
            reset_settings();
            write_setting(L"ActiveFilters", 4 | 16);
            const filter_host::image original = make_document(kind);
            filter_host::image document = original;
            const filter_host::selection* mask = masked ? &selection : nullptr;
            const run_result r =
                run(document, mask, {test_support::wait_until_ready(done), test_support::press(IDC_APPLY)});
            ASSERT_FALSE(r.expired);
            EXPECT_TRUE(r.boxes.empty());
            ASSERT_TRUE(r.report.applied);
            const filter_host::image expected = expected_after_apply(original, mask, true);
            EXPECT_TRUE(document.samples == expected.samples)
                << first_difference(document, expected, original);
            EXPECT_FALSE(expected.samples == expected_after_apply(original, mask, false).samples)
                << "tilt-shift changes the enhanced picture";
        }
}

TEST_F(whole_runs, a_dialog_that_fails_while_it_is_built_shows_one_box_leaves_no_window_and_cancels) {
    // The thumbnails of the effects list are converted by the engine's "convert" node.
    SetEnvironmentVariableW(L"ZORVANE_STANDIN_FAIL_NODE", L"convert");
    const filter_host::image original = make_document({3, 8});
    filter_host::image document = original;
    const run_result r = run(document, nullptr, {test_support::close_box()});
    SetEnvironmentVariableW(L"ZORVANE_STANDIN_FAIL_NODE", nullptr);
    EXPECT_EQ(r.report.result, sdk::userCanceledErr);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0].text, L"A component failed with error code  0x80004005");
    EXPECT_EQ(r.boxes[0].caption, L"A failure has occured");
    EXPECT_FALSE(r.windows_left) << "the dialog and its panel are gone";
    EXPECT_EQ(live_engine_objects(), 0);
    EXPECT_FALSE(r.report.applied);
    EXPECT_TRUE(document.samples == original.samples);
    EXPECT_THAT(r.report.selectors, ElementsAre(1, 2, 3, 4, 5));
}

// A picture too large for the address space a 32-bit host gives the filter (this program is linked
// large-address-aware, as the filter host and image editors are): the host's own copies fit, the
// plug-in's engine images do not. The user is told, once, and the document stays as it was.
TEST_F(whole_runs,
       a_picture_too_large_for_the_address_space_shows_not_enough_memory_and_leaves_the_document) {
    constexpr std::int32_t huge_width = 11000;
    constexpr std::int32_t huge_height = 8000;
    filter_host::image document(huge_width, huge_height, 3, 8);
    for (std::size_t i = 0; i != document.samples.size(); ++i)
        document.samples[i] = static_cast<std::uint16_t>((i * 7 + i / 33000) & 0xff);
    const auto checksum = [&document] {
        std::uint64_t sum = 0;
        for (const std::uint16_t sample : document.samples)
            sum = sum * 31 + sample;
        return sum;
    };
    const std::uint64_t before = checksum();
    filter_host::selection selection{
        huge_width, huge_height,
        std::vector<std::uint8_t>(static_cast<std::size_t>(huge_width) * huge_height)};
    for (std::size_t i = 0; i != selection.bytes.size(); ++i)
        selection.bytes[i] = (i / huge_width + i % huge_width) % 3 != 0 ? 255 : 0;
    selection.bytes.front() = selection.bytes.back() = 255;
    write_setting(L"ActiveFilters", 127);
    // The failure comes either before the dialog exists or from the first stage; then the user cancels.
    const run_result r = run(document, &selection,
                             {[](HWND dialog) {
                                  wchar_t text[32] = {};
                                  GetDlgItemTextW(dialog, IDC_APPLY, text, 32);
                                  return std::wstring(text) == L"Retry";
                              },
                              test_support::press(IDC_CANCEL)});
    EXPECT_EQ(r.report.result, sdk::userCanceledErr);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0].text, L"Not enough memory available!");
    EXPECT_FALSE(r.report.applied);
    EXPECT_FALSE(r.report.input_changed);
    EXPECT_EQ(checksum(), before) << "the document is untouched";
    EXPECT_FALSE(r.windows_left);
    EXPECT_EQ(live_engine_objects(), 0);
}

} // namespace
