#include "plugin/host-entry.h"

#include "host/filter-host.h"
#include "message-box-reader.h"

#include <cstring>
#include <cwctype>
#include <thread>

#include <objbase.h>
#include <ole2.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;

namespace {

namespace sdk = tessolux::host;
using sdk::FilterRecord;

std::wstring module_path(HMODULE module) {
    wchar_t path[4096];
    return {path, GetModuleFileNameW(module, path, 4096)};
}

TEST(hash_module_path, is_the_one_at_a_time_hash_over_code_units_in_64_bits) {
    EXPECT_EQ(tessolux::hash_module_path(L""), 0u);
    EXPECT_EQ(tessolux::hash_module_path(L"a"), 29161854018u) << "no truncation to 32 bits";
    EXPECT_EQ(tessolux::hash_module_path(L"C:\\Program Files\\Adobe\\Plug-ins\\Tessolux3.8bf"),
              15217476628186483461u);
    EXPECT_EQ(tessolux::hash_module_path(L"\xD83D\xDE00"), 17175568092369786u)
        << "code units, not code points";
    EXPECT_EQ(tessolux::hash_module_path(L"\xFFFF"), 20127196097415u) << "units are zero-extended";
}

TEST(instance_key, a_path_that_fills_the_buffer_gives_the_fixed_key) {
    const std::wstring full(4096, L'x');
    EXPECT_EQ(tessolux::instance_key_from_path(full.c_str(), 4096), L"Photoshop");
    EXPECT_EQ(tessolux::instance_key_from_path(full.c_str(), 5000), L"Photoshop");
    EXPECT_EQ(tessolux::instance_key_from_path(full.c_str(), 4095),
              std::to_wstring(tessolux::hash_module_path(std::wstring_view(full).substr(0, 4095))));
    EXPECT_EQ(tessolux::instance_key_from_path(L"", 0), L"0");
}

TEST(instance_key, of_the_module_is_the_decimal_hash_of_its_path) {
    HMODULE module = LoadLibraryW(L"Tessolux3.8bf");
    ASSERT_NE(module, nullptr);
    const std::wstring key = tessolux::instance_key(module);
    EXPECT_EQ(key, std::to_wstring(tessolux::hash_module_path(module_path(module))));
    ASSERT_FALSE(key.empty());
    EXPECT_NE(key.front(), L'0');
    for (const wchar_t c : key)
        EXPECT_TRUE(std::iswdigit(c)) << "no sign, no separators";
    FreeLibrary(module);
}

TEST(describe_job, channel_offsets_follow_the_planes) {
    FilterRecord record{};
    struct expected {
        std::int16_t planes;
        std::int32_t red, green, blue, alpha;
    };
    for (const expected e : {expected{1, 0, 0, 0, -1}, expected{2, 0, 0, 0, -1}, expected{3, 0, 1, 2, -1},
                             expected{4, 0, 1, 2, 3}}) {
        record.planes = e.planes;
        const tessolux::job_geometry job = tessolux::describe_job(record);
        EXPECT_EQ(job.red, e.red) << e.planes;
        EXPECT_EQ(job.green, e.green) << e.planes;
        EXPECT_EQ(job.blue, e.blue) << e.planes;
        EXPECT_EQ(job.alpha, e.alpha) << e.planes;
    }
}

TEST(describe_job, size_depth_and_owner_come_from_the_record) {
    FilterRecord record{};
    record.inRect = {10, 20, 110, 320};
    EXPECT_EQ(tessolux::describe_job(record).bits, 8) << "depth 0 counts as 8";
    record.depth = -3;
    EXPECT_EQ(tessolux::describe_job(record).bits, 8);
    record.depth = 16;
    tessolux::job_geometry job = tessolux::describe_job(record);
    EXPECT_EQ(job.bits, 16);
    EXPECT_EQ(job.width, 300);
    EXPECT_EQ(job.height, 100);
    EXPECT_EQ(job.owner, nullptr) << "no platform data, no owner";

    sdk::BigDocumentStruct big{};
    big.inRect32 = {0, 0, 50000, 40000};
    sdk::PlatformData platform{0x1234};
    record.bigDocumentData = &big;
    record.platformData = &platform;
    job = tessolux::describe_job(record);
    EXPECT_EQ(job.width, 40000) << "the 32-bit rectangle wins when the host offers it";
    EXPECT_EQ(job.height, 50000);
    EXPECT_EQ(job.owner, reinterpret_cast<HWND>(0x1234));
}

// The built module, called through its exported entry as a host calls it.
class host_entry : public ::testing::Test {
protected:
    filter_host::plugin_module module{L"Tessolux3.8bf"};

    std::int16_t call(std::int16_t selector, FilterRecord* record, std::int16_t preset = 0) {
        std::int16_t result = preset;
        module.call(selector, record, &result);
        return result;
    }
    // Runs the selectors on a thread of its own, whose COM state nobody else shares.
    template <class Body> static void on_fresh_thread(Body body) { std::thread(body).join(); }
};

TEST_F(host_entry, start_asks_for_the_whole_image_in_16_bit_coordinates) {
    FilterRecord record{};
    record.planes = 3;
    record.filterRect = {10, 20, 110, 220};
    record.inRect = record.outRect = record.maskRect = {1, 2, 3, 4};
    record.inLoPlane = record.outLoPlane = 2;
    record.autoMask = 1;
    on_fresh_thread([&] {
        EXPECT_EQ(call(sdk::filterSelectorStart, &record, 7), 7) << "success leaves the host's result";
        call(sdk::filterSelectorFinish, &record);
    });
    const sdk::Rect whole{10, 20, 110, 220};
    EXPECT_EQ(record.inRect, whole);
    EXPECT_EQ(record.outRect, whole);
    EXPECT_EQ(record.maskRect, whole);
    EXPECT_EQ(record.inLoPlane, 0);
    EXPECT_EQ(record.outLoPlane, 0);
    EXPECT_EQ(record.inHiPlane, 2);
    EXPECT_EQ(record.outHiPlane, 2);
    EXPECT_EQ(record.autoMask, 0);
    EXPECT_EQ(record.wantsAbsolute, 1);
}

TEST_F(host_entry, start_uses_32_bit_coordinates_when_the_host_offers_them) {
    sdk::BigDocumentStruct big{};
    big.filterRect32 = {0, 5, 50000, 40005};
    FilterRecord record{};
    record.planes = 4;
    const sdk::Rect untouched{1, 2, 3, 4};
    record.inRect = record.outRect = record.maskRect = untouched;
    record.bigDocumentData = &big;
    on_fresh_thread([&] {
        call(sdk::filterSelectorStart, &record);
        call(sdk::filterSelectorFinish, &record);
    });
    EXPECT_EQ(big.PluginUsing32BitCoordinates, 1);
    EXPECT_EQ(big.inRect32, big.filterRect32);
    EXPECT_EQ(big.outRect32, big.filterRect32);
    EXPECT_EQ(big.maskRect32, big.filterRect32);
    EXPECT_EQ(record.inRect, untouched) << "the 16-bit fields are not ours then";
    EXPECT_EQ(record.outRect, untouched);
    EXPECT_EQ(record.inHiPlane, 3);
}

TEST_F(host_entry, start_asks_only_for_the_planes_that_are_filtered) {
    // A gray document with transparency is filtered as plain gray: its transparency plane is not asked
    // for, or it would sit between the gray samples the engine reads. Other counts ask for every plane
    // (continue refuses the ones it cannot read).
    struct expected {
        std::int16_t planes, last;
    };
    for (const expected e :
         {expected{1, 0}, expected{2, 0}, expected{3, 2}, expected{4, 3}, expected{5, 4}}) {
        FilterRecord record{};
        record.planes = e.planes;
        on_fresh_thread([&] {
            call(sdk::filterSelectorStart, &record);
            call(sdk::filterSelectorFinish, &record);
        });
        EXPECT_EQ(record.inHiPlane, e.last) << e.planes << " planes";
        EXPECT_EQ(record.outHiPlane, e.last) << e.planes << " planes";
    }
}

TEST_F(host_entry, start_and_finish_hold_the_thread_in_a_single_threaded_apartment) {
    on_fresh_thread([&] {
        FilterRecord record{};
        ASSERT_EQ(call(sdk::filterSelectorStart, &record), 0);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        call(sdk::filterSelectorFinish, &record);
        const HRESULT after = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        EXPECT_EQ(after, S_OK) << "finish released what start took";
        if (SUCCEEDED(after))
            CoUninitialize();
    });
}

TEST_F(host_entry, start_reports_minus_one_when_ole_cannot_start) {
    on_fresh_thread([&] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        FilterRecord record{};
        record.planes = 1;
        record.filterRect = {0, 0, 2, 2};
        EXPECT_EQ(call(sdk::filterSelectorStart, &record), sdk::run_failed);
        EXPECT_EQ(record.inRect, (sdk::Rect{0, 0, 2, 2})) << "the request is made before OLE starts";
        CoUninitialize();
    });
}

TEST_F(host_entry, continue_ends_with_every_request_empty_and_the_output_untouched) {
    for (const bool big_document : {false, true}) {
        std::uint8_t input[2 * 3 * 3] = {};
        std::uint8_t output[2 * 3 * 3];
        std::memset(output, 0x5A, sizeof output);
        sdk::BigDocumentStruct big{};
        big.filterRect32 = {0, 0, 2, 3};
        FilterRecord record{};
        record.planes = 3;
        record.depth = 8;
        record.filterRect = {0, 0, 2, 3};
        record.bigDocumentData = big_document ? &big : nullptr;
        on_fresh_thread([&] {
            ASSERT_EQ(call(sdk::filterSelectorStart, &record), 0);
            record.inData = input;
            record.outData = output;
            record.inRowBytes = record.outRowBytes = 9;
            // With no dialog to accept it the run ends as cancelled: the host keeps its image.
            EXPECT_EQ(call(sdk::filterSelectorContinue, &record), sdk::userCanceledErr);
            call(sdk::filterSelectorFinish, &record);
        });
        const sdk::Rect empty16{};
        const sdk::VRect empty32{};
        EXPECT_EQ(record.inRect, empty16);
        EXPECT_EQ(record.outRect, empty16);
        EXPECT_EQ(record.maskRect, empty16);
        EXPECT_EQ(big.inRect32, empty32);
        EXPECT_EQ(big.outRect32, empty32);
        EXPECT_EQ(big.maskRect32, empty32);
        for (const std::uint8_t byte : output)
            ASSERT_EQ(byte, 0x5A);
    }
}

TEST_F(host_entry, continue_refuses_unreadable_layouts_without_touching_a_buffer) {
    struct layout {
        std::int16_t planes;
        std::int32_t depth;
        std::int32_t row_bytes;
    };
    // Unknown plane counts and depths, and rows shorter than the area they should hold.
    for (const layout l : {layout{5, 8, 32}, layout{0, 8, 32}, layout{3, 32, 32}, layout{1, 12, 32},
                           layout{4, 8, 7}, layout{3, 16, 11}}) {
        std::uint8_t input[64];
        std::uint8_t output[64];
        std::memset(input, 0x11, sizeof input);
        std::memset(output, 0x22, sizeof output);
        FilterRecord record{};
        record.planes = l.planes;
        record.depth = l.depth;
        record.filterRect = {0, 0, 2, 2};
        on_fresh_thread([&] {
            call(sdk::filterSelectorStart, &record);
            record.inData = input;
            record.outData = output;
            record.inRowBytes = record.outRowBytes = l.row_bytes;
            test_support::message_box_reader reader;
            EXPECT_EQ(call(sdk::filterSelectorContinue, &record), sdk::userCanceledErr)
                << l.planes << " planes of " << l.depth << " bits";
            ASSERT_EQ(reader.boxes().size(), 1u) << "the refusal is shown, once";
            EXPECT_EQ(reader.boxes()[0].text, L"An unknown error has occured!");
            call(sdk::filterSelectorFinish, &record);
        });
        EXPECT_EQ(record.inRect, sdk::Rect{});
        for (std::size_t i = 0; i != sizeof input; ++i) {
            ASSERT_EQ(input[i], 0x11);
            ASSERT_EQ(output[i], 0x22);
        }
    }
}

TEST_F(host_entry, selectors_without_work_change_nothing) {
    for (const std::int16_t selector : {std::int16_t{1}, std::int16_t{2}, std::int16_t{6}, std::int16_t{100},
                                        std::int16_t{32767}, std::int16_t{-1}, std::int16_t{-32768}}) {
        FilterRecord record;
        std::memset(&record, 0x3C, sizeof record);
        record.bigDocumentData = nullptr;
        record.platformData = nullptr;
        record.inData = record.outData = record.maskData = nullptr;
        FilterRecord before;
        std::memcpy(&before, &record, sizeof record);
        EXPECT_EQ(call(selector, &record, 42), 42) << "selector " << selector;
        EXPECT_EQ(std::memcmp(&before, &record, sizeof record), 0) << "selector " << selector;
    }
}

TEST_F(host_entry, a_missing_filter_record_is_bad_parameters) {
    on_fresh_thread([&] {
        EXPECT_EQ(call(sdk::filterSelectorStart, nullptr), sdk::filterBadParameters);
        EXPECT_EQ(call(sdk::filterSelectorContinue, nullptr), sdk::filterBadParameters);
    });
}

TEST_F(host_entry, property_list_describes_an_rgb_and_gray_filter) {
    const filter_host::plugin_properties& list = module.properties();
    EXPECT_EQ(list.kind, filter_host::filter_kind);
    EXPECT_EQ(list.name, "Tessolux 3...");
    EXPECT_EQ(list.category, "Veltrin Media");
    EXPECT_EQ(list.version, 0x00040000u);
    EXPECT_EQ(list.entry, "PluginMain");
    EXPECT_EQ(list.mode_flags, 0x50);
    EXPECT_THAT(list.enabled_modes, ElementsAre("RGBMode", "RGB48Mode", "GrayScaleMode"));
    EXPECT_EQ(list.max_width, 40960);
    EXPECT_EQ(list.max_height, 40960);
    ASSERT_EQ(list.cases.size(), 7u);
    for (const filter_host::filter_case& c : list.cases) {
        EXPECT_EQ(c.input_handling, 1);
        EXPECT_EQ(c.output_handling, 1);
        EXPECT_EQ(c.flags1, 1) << "the host need not copy the source into the output";
        EXPECT_EQ(c.flags2, 0);
    }
}

TEST_F(host_entry, property_list_is_resource_16000_in_us_english_with_padded_properties) {
    HRSRC found = FindResourceExW(module.handle(), L"PIPL", MAKEINTRESOURCEW(16000),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(found, nullptr);
    const auto* bytes = static_cast<const std::uint8_t*>(LockResource(LoadResource(module.handle(), found)));
    const DWORD size = SizeofResource(module.handle(), found);
    std::uint32_t word = 0;
    auto read = [&](std::size_t at) { return std::memcpy(&word, bytes + at, 4), word; };
    EXPECT_EQ(bytes[0] | bytes[1] << 8, 1) << "version";
    EXPECT_EQ(read(2), 0u) << "kind";
    ASSERT_EQ(read(6), 9u) << "properties";
    std::size_t at = 10;
    for (int i = 0; i != 9; ++i) {
        ASSERT_LE(at + 16, size);
        EXPECT_EQ(std::memcmp(bytes + at, "MIB8", 4), 0) << "vendor of property " << i;
        EXPECT_EQ(read(at + 8), 0u) << "id of property " << i;
        const std::uint32_t length = read(at + 12);
        EXPECT_EQ(length % 4, 0u) << "property " << i;
        at += 16 + length;
    }
    EXPECT_EQ(at, size);
}

TEST_F(host_entry, a_whole_run_through_the_host_is_cancelled_and_leaves_the_document) {
    for (const bool big_document : {true, false}) {
        filter_host::image document(4, 3, 3, 16);
        for (std::size_t i = 0; i != document.samples.size(); ++i)
            document.samples[i] = static_cast<std::uint16_t>(i * 900);
        const filter_host::image source = document;
        filter_host::selection mask{4, 3, std::vector<std::uint8_t>(12, 255)};
        filter_host::run_report report;
        on_fresh_thread([&] {
            report = filter_host::run_filter(module, document, &mask, {nullptr, big_document});
        });
        EXPECT_EQ(report.result, sdk::userCanceledErr);
        EXPECT_FALSE(report.applied);
        EXPECT_THAT(report.selectors, ElementsAre(1, 2, 3, 4, 5))
            << "one continue: nothing more is asked for";
        EXPECT_EQ(document.samples, source.samples);
    }
}

} // namespace
