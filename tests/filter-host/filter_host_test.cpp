#include "host/filter-host.h"
#include "host/image-file.h"

#include <algorithm>
#include <stdexcept>
#include <tuple>

#include <objbase.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;

namespace {

using namespace filter_host;
namespace sdk = tessolux::host;

image make_document(std::int32_t width, std::int32_t height, std::int16_t planes, std::int32_t depth) {
    image document(width, height, planes, depth);
    const std::uint32_t range = depth == 16 ? 32769 : 256;
    for (std::size_t i = 0; i != document.samples.size(); ++i)
        document.samples[i] = static_cast<std::uint16_t>((i * 37 + 5) % range);
    return document;
}

// The probe filter (this folder) inverts the filter rectangle in two bands and leaves the selection to us.
class probe_filter : public ::testing::Test {
protected:
    plugin_module probe{L"probe-filter.8bf"};
};

TEST_F(probe_filter, the_property_list_names_the_entry_and_bounds_the_documents_taken) {
    EXPECT_EQ(probe.properties().name, "Probe");
    EXPECT_EQ(probe.properties().entry, "ProbeMain") << "an unpadded length of 10 is rounded up to 12";
    EXPECT_TRUE(probe.properties().enabled_modes.empty());
    EXPECT_EQ(probe.properties().cases.size(), 7u);

    image large = make_document(1001, 1, 1, 8);
    EXPECT_THROW(run_filter(probe, large, nullptr, {}), std::runtime_error);
    plugin_module tessolux(L"Tessolux3.8bf");
    image gray16 = make_document(2, 2, 1, 16);
    EXPECT_THROW(run_filter(tessolux, gray16, nullptr, {}), std::runtime_error)
        << "the enabling condition admits 16-bit RGB but not 16-bit gray";
}

// The probe fails unless the rows it is given are padded beyond their samples.
TEST_F(probe_filter, every_band_asked_for_is_served_with_padded_rows_and_merged_by_the_selection) {
    selection mask{6, 5, std::vector<std::uint8_t>(30, 0)};
    mask.bytes[1 * 6 + 2] = 255;
    mask.bytes[3 * 6 + 4] = 1; // any non-zero byte selects
    for (const auto& [planes, depth] : {std::pair{3, 8}, std::pair{4, 8}, std::pair{1, 16}, std::pair{4, 16}})
        for (const bool big : {true, false})
            for (const bool masked : {false, true}) {
                SCOPED_TRACE(::testing::Message() << planes << " planes of " << depth << " bits, big " << big
                                                  << ", masked " << masked);
                const int maximum = depth == 16 ? 32768 : 255; // 16-bit documents hold the host's range
                image document = make_document(6, 5, static_cast<std::int16_t>(planes), depth);
                document.samples[1] = static_cast<std::uint16_t>(maximum);
                const image source = document;
                const run_report report =
                    run_filter(probe, document, masked ? &mask : nullptr, {nullptr, big});
                EXPECT_EQ(report.result, 0);
                EXPECT_TRUE(report.applied);
                EXPECT_FALSE(report.input_changed);
                EXPECT_THAT(report.selectors, ElementsAre(1, 2, 3, 4, 4, 5));
                for (std::size_t i = 0; i != source.samples.size(); ++i) {
                    const bool inverted = !masked || mask.bytes[i / planes] != 0;
                    ASSERT_EQ(document.samples[i], inverted ? maximum - source.samples[i] : source.samples[i])
                        << i;
                }
            }
}

// The probe fails when the first sample is 13 and writes into its input when it is 7.
TEST_F(probe_filter, a_failing_continue_still_gets_finish_and_writes_into_the_input_are_noticed) {
    image document = make_document(4, 4, 1, 8);
    document.samples[0] = 13;
    const image source = document;
    const run_report report = run_filter(probe, document, nullptr, {});
    EXPECT_EQ(report.result, sdk::filterBadParameters);
    EXPECT_FALSE(report.applied);
    EXPECT_THAT(report.selectors, ElementsAre(1, 2, 3, 4, 5));
    EXPECT_THAT(report.results, ElementsAre(0, 0, 0, sdk::filterBadParameters, 0))
        << "one result word per call";
    EXPECT_EQ(document.samples, source.samples) << "the document stays as it was";
    document.samples[0] = 7;
    EXPECT_TRUE(run_filter(probe, document, nullptr, {}).input_changed);
}

TEST(image_files, png_round_trip_keeps_kind_depth_and_samples) {
    ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0); // as the host program has it
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring path = std::wstring(folder) + L"filter-host-test.png";
    for (const std::int16_t planes : {1, 3, 4})
        for (const std::int32_t depth : {8, 16}) {
            image document = make_document(7, 3, planes, depth);
            if (depth == 16) // the top of the host range, one below it, one above zero
                std::ranges::copy(std::initializer_list<std::uint16_t>{32768, 32767, 1},
                                  document.samples.begin());
            write_image(path, document);
            const image read = read_image(path);
            EXPECT_EQ((std::tuple{read.width, read.height, read.planes, read.depth}),
                      (std::tuple{7, 3, planes, depth}));
            EXPECT_EQ(read.samples, document.samples) << planes << " planes, " << depth << " bits";
        }
    DeleteFileW(path.c_str());
    CoUninitialize();
}

} // namespace
