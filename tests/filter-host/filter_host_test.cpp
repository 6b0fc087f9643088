#include "host/filter-host.h"
#include "host/image-file.h"

#include <stdexcept>

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

TEST_F(probe_filter, entry_is_found_by_the_name_the_property_list_gives) {
    EXPECT_EQ(probe.properties().name, "Probe");
    EXPECT_EQ(probe.properties().entry, "ProbeMain") << "an unpadded length of 10 is rounded up to 12";
    EXPECT_TRUE(probe.properties().enabled_modes.empty());
    EXPECT_EQ(probe.properties().cases.size(), 7u);
}

TEST_F(probe_filter, every_band_the_filter_asks_for_is_served_and_applied) {
    for (const bool big : {true, false}) {
        image document = make_document(5, 4, 3, 8);
        const image source = document;
        const run_report report = run_filter(probe, document, nullptr, {nullptr, big});
        EXPECT_EQ(report.result, 0);
        EXPECT_TRUE(report.applied);
        EXPECT_THAT(report.selectors, ElementsAre(1, 2, 3, 4, 4, 5));
        for (std::size_t i = 0; i != source.samples.size(); ++i)
            ASSERT_EQ(document.samples[i], 255 - source.samples[i])
                << "sample " << i << (big ? " (32-bit)" : "");
    }
}

TEST_F(probe_filter, host_merges_by_the_selection_when_the_filter_leaves_it_on) {
    image document = make_document(6, 5, 4, 8);
    const image source = document;
    selection mask{6, 5, std::vector<std::uint8_t>(30, 0)};
    mask.bytes[1 * 6 + 2] = 255; // (2, 1)
    mask.bytes[3 * 6 + 4] = 1;   // (4, 3): any non-zero byte selects
    const run_report report = run_filter(probe, document, &mask, {});
    ASSERT_TRUE(report.applied);
    for (std::int32_t y = 0; y != 5; ++y)
        for (std::int32_t x = 0; x != 6; ++x)
            for (std::int32_t p = 0; p != 4; ++p) {
                const bool inverted = (x == 2 && y == 1) || (x == 4 && y == 3);
                ASSERT_EQ(document.at(x, y, p), inverted ? 255 - source.at(x, y, p) : source.at(x, y, p))
                    << x << "," << y << " plane " << p;
            }
}

TEST_F(probe_filter, sixteen_bit_documents_are_handed_over_in_the_host_range) {
    image document = make_document(3, 3, 1, 16);
    document.samples[1] = 32768;
    const image source = document;
    ASSERT_TRUE(run_filter(probe, document, nullptr, {}).applied);
    for (std::size_t i = 0; i != source.samples.size(); ++i)
        ASSERT_EQ(document.samples[i], 32768 - source.samples[i]);
}

TEST_F(probe_filter, a_failing_continue_leaves_the_document_and_still_gets_finish) {
    image document = make_document(4, 4, 1, 8);
    document.samples[0] = 13;
    const image source = document;
    const run_report report = run_filter(probe, document, nullptr, {});
    EXPECT_EQ(report.result, sdk::filterBadParameters);
    EXPECT_FALSE(report.applied);
    EXPECT_THAT(report.selectors, ElementsAre(1, 2, 3, 4, 5));
    EXPECT_EQ(document.samples, source.samples);
}

TEST_F(probe_filter, writing_into_the_input_buffer_is_noticed) {
    image document = make_document(2, 2, 1, 8);
    EXPECT_FALSE(run_filter(probe, document, nullptr, {}).input_changed);
    document.samples[0] = 7;
    EXPECT_TRUE(run_filter(probe, document, nullptr, {}).input_changed);
}

TEST_F(probe_filter, documents_the_filter_does_not_take_are_refused_before_any_call) {
    image large = make_document(1001, 1, 1, 8);
    EXPECT_THROW(run_filter(probe, large, nullptr, {}), std::runtime_error);
    image document = make_document(2, 2, 1, 8);
    selection empty{2, 2, std::vector<std::uint8_t>(4, 0)};
    EXPECT_THROW(run_filter(probe, document, &empty, {}), std::runtime_error);

    plugin_module tessolux(L"Tessolux3.8bf");
    image gray16 = make_document(2, 2, 1, 16);
    EXPECT_THROW(run_filter(tessolux, gray16, nullptr, {}), std::runtime_error)
        << "the enabling condition admits 16-bit RGB but not 16-bit gray";
}

// Image files need COM on this thread, as the host program has it.
class image_files : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0); }
    void TearDown() override { CoUninitialize(); }

    static std::wstring temporary(const wchar_t* name) {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        return std::wstring(folder) + L"filter-host-test-" + name + L".png";
    }
};

TEST_F(image_files, png_round_trip_keeps_kind_depth_and_samples) {
    for (const std::int16_t planes : {1, 3, 4})
        for (const std::int32_t depth : {8, 16}) {
            image document = make_document(7, 3, planes, depth);
            if (depth == 16) {
                document.samples[0] = 32768;
                document.samples[1] = 32767;
                document.samples[2] = 1;
            }
            const std::wstring path = temporary(L"round-trip");
            write_image(path, document);
            const image read = read_image(path);
            DeleteFileW(path.c_str());
            EXPECT_EQ(read.width, 7);
            EXPECT_EQ(read.height, 3);
            EXPECT_EQ(read.planes, planes);
            EXPECT_EQ(read.depth, depth);
            EXPECT_EQ(read.samples, document.samples) << planes << " planes, " << depth << " bits";
        }
}

TEST_F(image_files, selection_is_the_gray_value_of_each_pixel) {
    image gray(3, 1, 1, 8);
    gray.samples = {0, 1, 255};
    const std::wstring path = temporary(L"selection");
    write_image(path, gray);
    const selection mask = read_selection(path);
    DeleteFileW(path.c_str());
    EXPECT_EQ(mask.width, 3);
    EXPECT_EQ(mask.height, 1);
    EXPECT_THAT(mask.bytes, ElementsAre(0, 1, 255));
}

} // namespace
