// Whole runs of the built module through the filter host, whose output buffer holds a pattern the filter
// must overwrite, and a user who applies once the preview is ready; the expected pictures come from the
// registered engine run directly with the parameter texts that first-run settings send.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/filter-host.h"
#include "main-window-world.h"
#include "plugin/host-entry.h"
#include "reference-engine.h"
#include "standin-engine.h"

namespace {

using ::testing::ElementsAre;
using zorvane::pixel_format;

constexpr std::int32_t width = 45, height = 30;

// A photo-like document: gradients, a bright block, transparency that varies; the 16-bit ones hold the
// host's range with its white (32768) in it.
filter_host::image make_document(std::int16_t planes, std::int32_t depth) {
    filter_host::image document(width, height, planes, depth);
    const std::uint32_t top = depth == 16 ? 32768 : 255;
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 0; x != width; ++x)
            for (std::int32_t c = 0; c != planes; ++c) {
                const bool block = x >= 15 && x < 27 && y >= 9 && y < 18;
                const std::uint32_t v8 = block ? 240 - c * 10 : (x * 5 + y * 3 + c * 40) % 256;
                document.at(x, y, c) =
                    static_cast<std::uint16_t>(c == 3 ? top * (x + 1) / width : (v8 * top + 127) / 255);
            }
    document.at(0, 0, 0) = static_cast<std::uint16_t>(top);
    return document;
}

// The document as an accepted run must leave it: the engine's output over the host's samples as the engine
// sees them (widened into its 16-bit range at 16 bits), halved back into the host's range rounding up, so
// that white stays white.
filter_host::image expected_after_apply(const filter_host::image& document, bool tilt_shift) {
    const bool wide = document.depth == 16;
    const pixel_format formats[2][4] = {
        {pixel_format::gray8, {}, pixel_format::rgb24, pixel_format::rgba32},
        {pixel_format::gray16, {}, pixel_format::rgb48, pixel_format::rgba64}};
    reference::picture input(width, height, formats[wide][document.planes - 1]);
    for (std::size_t i = 0; i != document.samples.size(); ++i)
        input.set(i,
                  wide ? 2u * document.samples[i] - ((2u * document.samples[i]) >> 16) : document.samples[i]);
    reference::picture processed = reference::run(input, reference::natural_enhance(width, height));
    if (tilt_shift)
        processed = reference::run(processed, reference::tilt_shift(width, height));
    filter_host::image expected = document;
    for (std::size_t i = 0; i != expected.samples.size(); ++i)
        expected.samples[i] =
            static_cast<std::uint16_t>(wide ? (processed.sample(i) + 1) >> 1 : processed.sample(i));
    return expected;
}

// The built module runs from a folder of this program's own: its settings key is the hash of its path, so
// no other program's runs share it. Cancel, the close box and the selection on these roads are the host
// entry's tests and the host's.
TEST(whole_runs, apply_writes_the_engines_enhancement_and_with_tilt_shift_active_its_result_on_top) {
    ASSERT_GE(CoInitializeEx(nullptr, COINIT_MULTITHREADED), 0);
    CreateDirectoryW(L"whole-runs", nullptr);
    ASSERT_TRUE(CopyFileW(L"Tessolux3.8bf", L"whole-runs\\Tessolux3.8bf", FALSE));
    filter_host::plugin_module module{L"whole-runs\\Tessolux3.8bf"};
    const std::wstring key = tessolux::instance_key(module.handle());
    // The host offers gray documents at 8 bits only, and no gray with transparency.
    const std::pair<std::int16_t, std::int32_t> layouts[] = {{1, 8}, {3, 8}, {3, 16}, {4, 8}, {4, 16}};
    for (const auto& [planes, depth] : layouts)
        for (const bool tilt_shift : {false, true}) {
            SCOPED_TRACE(testing::Message() << planes << " planes of " << depth << " bits"
                                            << (tilt_shift ? ", tilt-shift" : ""));
            test_support::delete_settings(key);
            if (tilt_shift)
                test_support::write_setting(key, L"ActiveFilters", 4 | 16);
            const filter_host::image original = make_document(planes, depth);
            filter_host::image document = original;
            filter_host::run_report report;
            std::vector<test_support::message_box> boxes;
            bool played = false;
            // The editor's thread, with the user's steps played from inside the dialog's loop.
            std::thread([&] {
                ASSERT_GE(OleInitialize(nullptr), 0);
                test_support::message_box_reader reader;
                test_support::dialog_script user(
                    {test_support::wait_until_ready(test_support::done_text(module.handle())),
                     test_support::press(IDC_APPLY)});
                // RGB in 32-bit coordinates, the others in the host's older 16-bit ones.
                report = filter_host::run_filter(module, document, nullptr, {nullptr, planes == 3});
                played = user.finished() && !user.expired();
                boxes = reader.boxes();
                OleUninitialize();
            }).join();
            ASSERT_TRUE(played) << "the preview got ready and Apply closed the dialog";
            EXPECT_TRUE(boxes.empty());
            EXPECT_FALSE(report.input_changed) << "the input buffer is byte-identical";
            EXPECT_THAT(report.selectors, ElementsAre(1, 2, 3, 4, 5)) << "every request emptied";
            EXPECT_EQ(report.result, 0) << "the host's result word is left as it was";
            EXPECT_EQ(test_support::live_engine_objects(), 0);
            const filter_host::image expected = expected_after_apply(original, tilt_shift);
            const auto wrong =
                std::mismatch(document.samples.begin(), document.samples.end(), expected.samples.begin());
            EXPECT_EQ(wrong.first, document.samples.end())
                << "no sample of the pre-filled output left; first wrong: "
                << wrong.first - document.samples.begin();
            EXPECT_TRUE(!tilt_shift || expected.samples != expected_after_apply(original, false).samples)
                << "tilt-shift changes the enhanced picture";
        }
    test_support::delete_settings(key);
    CoUninitialize();
}

} // namespace
