// The host entry: the settings key, the selectors called through the built module's exported entry,
// the continue selector's filter run over the registered engine with a stand-in for the preview window
// that plays the user (it looks at the frames it is given, writes a "processed" picture into the result
// frame and says how the run ended). Whole runs through the filter host are the main window's tests.
#include "plugin/host-entry.h"

#include "host/filter-host.h"
#include "message-box-reader.h"
#include "resource.h"
#include "pipeline-test-support.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <objbase.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::Each;
using ::testing::ElementsAre;

namespace {

namespace sdk = tessolux::host;
using pipeline_test::live_engine_objects;
using pipeline_test::pixels_of;
using sdk::FilterRecord;
using tessolux::dialog_outcome;
using tessolux::engine_context;
using tessolux::image_frame_ptr;

TEST(instance_key,
     is_the_one_at_a_time_hash_of_the_path_in_decimal_or_the_fixed_key_when_the_path_fills_the_buffer) {
    EXPECT_EQ(tessolux::hash_module_path(L""), 0u);
    EXPECT_EQ(tessolux::hash_module_path(L"a"), 29161854018u) << "no truncation to 32 bits";
    EXPECT_EQ(tessolux::hash_module_path(L"C:\\Program Files\\Adobe\\Plug-ins\\Tessolux3.8bf"),
              15217476628186483461u);
    EXPECT_EQ(tessolux::hash_module_path(L"\xD83D\xDE00"), 17175568092369786u)
        << "code units, not code points";
    EXPECT_EQ(tessolux::hash_module_path(L"\xFFFF"), 20127196097415u) << "units are zero-extended";
    const std::wstring full(4096, L'x');
    EXPECT_EQ(tessolux::instance_key_from_path(full.c_str(), 4096), L"Photoshop");
    EXPECT_EQ(tessolux::instance_key_from_path(full.c_str(), 5000), L"Photoshop");
    EXPECT_EQ(tessolux::instance_key_from_path(full.c_str(), 4095),
              std::to_wstring(tessolux::hash_module_path(std::wstring_view(full).substr(0, 4095))));
    EXPECT_EQ(tessolux::instance_key_from_path(L"", 0), L"0");
}

// One document as the host hands it to continue: rows padded as a host pads them, every sample different,
// the host's 16-bit range with its black and white in it, and a selection of every kind of mask byte.
struct host_job {
    static constexpr std::int32_t width = 7, height = 3, mask_row_bytes = width + 2;
    std::int32_t depth, channels, sample_bytes, row_bytes;
    std::vector<std::uint8_t> input, output, mask;
    std::string name;
    std::vector<test_support::message_box> boxes; // what the run showed
    sdk::PlatformData platform{0x4321};           // a window that exists only for the window stand-in
    FilterRecord record{};

    host_job(std::int16_t planes, std::int32_t depth, bool masked)
        : depth(depth), channels(planes == 2 ? 1 : planes), sample_bytes(depth / 8),
          row_bytes(width * channels * sample_bytes + 6),
          input(static_cast<std::size_t>(row_bytes) * height, 0xEE), output(input.size(), 0x5A),
          mask(static_cast<std::size_t>(mask_row_bytes) * height, 0xCC),
          name(std::to_string(planes) + " planes of " + std::to_string(depth) + " bits" +
               (masked ? " with a selection" : "")) {
        const std::uint32_t top = depth == 16 ? 32768 : 255;
        for (std::int32_t y = 0; y != height; ++y)
            for (std::int32_t x = 0; x != width; ++x)
                for (std::int32_t c = 0; c != channels; ++c) {
                    const std::uint16_t v = x == 0   ? top
                                            : x == 1 ? 0
                                                     : (x * 977 + y * 131 + c * 37) % (top + 1);
                    std::memcpy(&input[offset(x, y, c)], &v, sample_bytes);
                }
        const std::uint8_t selection[] = {255, 0, 1, 128, 255, 0, 77, 0};
        for (std::size_t i = 0; i != mask.size(); ++i)
            mask[i] = selection[i % 8];
        record.planes = planes;
        record.depth = depth;
        record.filterRect = {0, 0, height, width};
        tessolux::request_whole_image(record);
        record.inData = input.data();
        record.outData = output.data();
        record.inRowBytes = record.outRowBytes = row_bytes;
        record.haveMask = masked ? 1 : 0;
        record.maskData = masked ? mask.data() : nullptr;
        record.maskRowBytes = mask_row_bytes;
    }

    std::size_t offset(std::int32_t x, std::int32_t y, std::int32_t c) const {
        return static_cast<std::size_t>(y) * row_bytes +
               (static_cast<std::size_t>(x) * channels + c) * sample_bytes;
    }
    std::uint32_t sample(const std::vector<std::uint8_t>& bytes, std::int32_t x, std::int32_t y,
                         std::int32_t c) const {
        std::uint16_t value = 0;
        std::memcpy(&value, &bytes[offset(x, y, c)], sample_bytes);
        return value;
    }
};

// The built module, called through its exported entry as a host calls it.
class host_entry : public ::testing::Test {
protected:
    filter_host::plugin_module module{L"Tessolux3.8bf"};

    std::int16_t call(std::int16_t selector, FilterRecord* record, std::int16_t preset = 0) {
        std::int16_t result = preset;
        module.call(selector, record, &result);
        return result;
    }
    // Start, what the body does, then finish, on a thread whose COM state nobody else shares.
    template <class Body> void between_start_and_finish(FilterRecord& record, Body body) {
        std::thread([&] {
            EXPECT_EQ(call(sdk::filterSelectorStart, &record, 7), 7) << "success leaves the host's result";
            body();
            call(sdk::filterSelectorFinish, &record);
        }).join();
    }
};

TEST_F(host_entry, start_asks_for_the_whole_image_and_the_planes_it_filters_in_the_coordinates_offered) {
    // A gray document with transparency is filtered as plain gray: its transparency plane is not asked
    // for, or it would sit between the gray samples the engine reads. Other counts ask for every plane
    // (continue refuses the ones it cannot read).
    struct row {
        std::int16_t planes, last;
        bool big;
    };
    for (const row r : {row{1, 0, false}, {2, 0, true}, {3, 2, false}, {4, 3, true}, {5, 4, false}}) {
        sdk::BigDocumentStruct big{};
        big.filterRect32 = {0, 5, 50000, 40005};
        FilterRecord record{};
        record.planes = r.planes;
        record.filterRect = {10, 20, 110, 220};
        const sdk::Rect untouched{1, 2, 3, 4};
        record.inRect = record.outRect = record.maskRect = untouched;
        record.inLoPlane = record.outLoPlane = 2;
        record.autoMask = 1;
        record.bigDocumentData = r.big ? &big : nullptr;
        between_start_and_finish(record, [] {});
        // With 32-bit coordinates the 16-bit fields are not ours.
        EXPECT_THAT((std::vector{record.inRect, record.outRect, record.maskRect}),
                    Each(r.big ? untouched : sdk::Rect{10, 20, 110, 220}));
        EXPECT_THAT((std::vector{big.inRect32, big.outRect32, big.maskRect32}),
                    Each(r.big ? big.filterRect32 : sdk::VRect{}));
        EXPECT_EQ(big.PluginUsing32BitCoordinates, r.big ? 1 : 0);
        EXPECT_THAT(
            (std::vector<int>{record.inLoPlane, record.outLoPlane, record.inHiPlane, record.outHiPlane}),
            ElementsAre(0, 0, r.last, r.last))
            << r.planes << " planes";
        EXPECT_EQ(record.autoMask, 0);
        EXPECT_EQ(record.wantsAbsolute, 1);
    }
}

TEST_F(host_entry, start_enters_a_single_threaded_apartment_that_finish_leaves_and_fails_where_it_cannot) {
    std::thread([&] {
        FilterRecord record{};
        record.filterRect = {0, 0, 2, 2};
        ASSERT_EQ(call(sdk::filterSelectorStart, &record), 0);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        call(sdk::filterSelectorFinish, &record);
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK) << "finish released what start took";
        record.inRect = {};
        EXPECT_EQ(call(sdk::filterSelectorStart, &record), sdk::run_failed);
        EXPECT_EQ(record.inRect, (sdk::Rect{0, 0, 2, 2})) << "the request is made before OLE starts";
        CoUninitialize();
    }).join();
}

// The host's thread has OLE or COM of its own; finish gives back only what start took on that thread.
TEST_F(host_entry, finish_leaves_the_hosts_own_ole_and_com_alone_when_start_did_not_initialise_ole) {
    struct row {
        const char* host;
        bool host_ole; // the host's own OleInitialize, else its own multithreaded apartment
        bool start;
        std::int16_t start_result;
    };
    const row rows[] = {
        {"the host's OLE, finish without start", true, false, 0},
        {"the host's multithreaded apartment, where start fails", false, true, sdk::run_failed},
        {"the host's OLE, where start succeeds", true, true, 0}};
    for (const row& r : rows) {
        std::thread([&] {
            ASSERT_EQ(r.host_ole ? OleInitialize(nullptr) : CoInitializeEx(nullptr, COINIT_MULTITHREADED),
                      S_OK);
            FilterRecord record{};
            record.filterRect = {0, 0, 2, 2};
            if (r.start) {
                EXPECT_EQ(call(sdk::filterSelectorStart, &record), r.start_result) << r.host;
            }
            call(sdk::filterSelectorFinish, &record);
            APTTYPE type;
            APTTYPEQUALIFIER qualifier;
            EXPECT_EQ(CoGetApartmentType(&type, &qualifier), S_OK)
                << "the host's COM is still there: " << r.host;
            EXPECT_EQ(type == APTTYPE_MTA, !r.host_ole) << r.host; // an STA may be the process's main one
            if (r.host_ole)
                OleUninitialize();
            else
                CoUninitialize();
        }).join();
    }
}

TEST_F(host_entry, continue_refuses_unreadable_layouts_once_touching_no_buffer_and_empties_every_request) {
    struct layout {
        std::int16_t planes;
        std::int32_t depth, row_bytes;
        bool big;
    };
    // Unknown plane counts and depths, and rows shorter than the area they should hold.
    const layout refused[] = {{5, 8, 32, false}, {0, 8, 32, true}, {3, 32, 32, false},
                              {1, 12, 32, true}, {4, 8, 7, false}, {3, 16, 11, true}};
    for (const layout l : refused) {
        host_job job(3, 8, false);
        const std::vector<std::uint8_t> original = job.input;
        sdk::BigDocumentStruct big{};
        big.filterRect32 = {0, 0, 2, 2};
        job.record.planes = l.planes;
        job.record.depth = l.depth;
        job.record.inRowBytes = job.record.outRowBytes = l.row_bytes;
        job.record.bigDocumentData = l.big ? &big : nullptr;
        between_start_and_finish(job.record, [&] {
            test_support::message_box_reader reader;
            EXPECT_EQ(call(sdk::filterSelectorContinue, &job.record), sdk::userCanceledErr)
                << l.planes << " planes of " << l.depth << " bits";
            ASSERT_EQ(reader.boxes().size(), 1u) << "the refusal is shown, once";
            EXPECT_EQ(reader.boxes()[0].text, L"An unknown error has occured!");
        });
        EXPECT_THAT((std::vector{big.inRect32, big.outRect32, big.maskRect32}), Each(sdk::VRect{}));
        if (!l.big) { // the 16-bit fields are ours only without 32-bit coordinates
            EXPECT_THAT((std::vector{job.record.inRect, job.record.outRect, job.record.maskRect}),
                        Each(sdk::Rect{}));
        }
        EXPECT_EQ(job.input, original);
        EXPECT_THAT(job.output, Each(0x5A));
    }
}

TEST_F(host_entry, selectors_without_work_change_nothing) {
    for (const std::int16_t selector : {1, 2, 6, 100, 32767, -1, -32768}) {
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
    EXPECT_EQ(call(sdk::filterSelectorStart, nullptr), sdk::filterBadParameters);
    EXPECT_EQ(call(sdk::filterSelectorContinue, nullptr), sdk::filterBadParameters);
}

TEST_F(host_entry, property_list_16000_in_us_english_holds_nine_padded_properties_of_an_rgb_and_gray_filter) {
    HRSRC found = FindResourceExW(module.handle(), L"PIPL", MAKEINTRESOURCEW(16000),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(found, nullptr);
    const auto* bytes = static_cast<const std::uint8_t*>(LockResource(LoadResource(module.handle(), found)));
    const DWORD size = SizeofResource(module.handle(), found);
    const auto read = [&](std::size_t at) {
        std::uint32_t word = 0;
        std::memcpy(&word, bytes + at, 4);
        return word;
    };
    EXPECT_EQ(bytes[0] | bytes[1] << 8, 1) << "version";
    EXPECT_EQ(read(2), 0u) << "kind";
    ASSERT_EQ(read(6), 9u) << "properties";
    std::size_t at = 10;
    for (int i = 0; i != 9; ++i) {
        ASSERT_LE(at + 16, size);
        EXPECT_EQ(std::memcmp(bytes + at, "MIB8", 4), 0) << "vendor of property " << i;
        EXPECT_EQ(read(at + 8), 0u) << "id of property " << i;
        EXPECT_EQ(read(at + 12) % 4, 0u) << "padded length of property " << i;
        at += 16 + read(at + 12);
    }
    EXPECT_EQ(at, size);

    const filter_host::plugin_properties& list = module.properties();
    EXPECT_EQ(list.name, "Tessolux 3...");
    EXPECT_EQ(list.category, "Veltrin Media");
    EXPECT_EQ(list.version, 0x00040000u);
    EXPECT_EQ(list.mode_flags, 0x50);
    EXPECT_THAT(list.enabled_modes, ElementsAre("RGBMode", "RGB48Mode", "GrayScaleMode"));
    EXPECT_EQ(list.max_width, 40960);
    EXPECT_EQ(list.max_height, 40960);
    ASSERT_EQ(list.cases.size(), 7u);
    for (const filter_host::filter_case& c : list.cases)
        EXPECT_THAT((std::vector<int>{c.input_handling, c.output_handling, c.flags1, c.flags2}),
                    ElementsAre(1, 1, 1, 0))
            << "flags1: the host need not copy the source into the output";
}

// The engine's work as the stand-in window does it: every sample of the source inverted into the result
// (65535 - v at 16 bits, 255 - v at 8: every byte's bits flipped).
void invert_into_result(const image_frame_ptr& source, const image_frame_ptr& result) {
    const pipeline_test::pixels from = pixels_of(*source), to = pixels_of(*result);
    const std::int32_t row = source.frame_width() * zorvane::get_bits_per_pixel(source->format) / 8;
    for (std::int32_t y = 0; y != from.rows(); ++y)
        for (std::int32_t i = 0; i != row; ++i)
            to.data[y * to.stride + i] = static_cast<BYTE>(~from.data[y * from.stride + i]);
}

// The mark of a run that let an exception out (one that is no failure of ours, which PluginMain answers
// with bad parameters).
constexpr std::int16_t escaped = 1;

// Runs continue's filter run on a thread of its own in a single-threaded apartment, as the host's
// thread is after start.
std::int16_t run_on_host_thread(host_job& job, const tessolux::preview_window& window) {
    std::int16_t result = 7; // the host's preset, which an accepted run leaves
    std::thread([&] {
        ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
        {
            test_support::message_box_reader reader;
            try {
                tessolux::run_filter_job(job.record, result, window);
            } catch (const cpp::exceptional::user_cancelation&) {
                result = escaped;
            }
            job.boxes = reader.boxes();
        }
        CoUninitialize();
    }).join();
    if (result != escaped) {
        EXPECT_THAT((std::vector{job.record.inRect, job.record.outRect, job.record.maskRect}),
                    Each(sdk::Rect{}))
            << "every request emptied: " << job.name;
    }
    EXPECT_EQ(live_engine_objects(), 0) << "the engine is released: " << job.name;
    return result;
}

struct layout {
    std::int16_t planes;
    std::int32_t depth;
};
constexpr layout layouts[] = {{1, 8}, {1, 16}, {2, 8}, {3, 8}, {3, 16}, {4, 8}, {4, 16}};

TEST(filter_run, an_accepted_run_writes_the_engines_work_back_under_the_mask_and_leaves_the_input) {
    for (const layout l : layouts)
        for (const bool masked : {false, true}) {
            host_job job(l.planes, l.depth, masked);
            if (l.depth == 8 && !masked)
                job.record.depth = 0;                // the host's other way of saying 8
            job.record.platformData = &job.platform; // the host's window, which owns the preview
            const std::vector<std::uint8_t> original = job.input;
            const bool wide = l.depth == 16;
            const auto outcome = run_on_host_thread(
                job, [&](const engine_context& engine, const std::wstring& key, const image_frame_ptr& source,
                         const image_frame_ptr& result, HWND owner) {
                    EXPECT_FALSE(engine.handler) << "no progress handler";
                    EXPECT_EQ(key, tessolux::instance_key(nullptr));
                    EXPECT_EQ(owner, reinterpret_cast<HWND>(0x4321));
                    const BYTE* data = pixels_of(*source).data;
                    if (masked) {
                        EXPECT_TRUE(data < job.input.data() || data >= job.input.data() + job.input.size())
                            << "no host buffer is handed to the engine: " << job.name;
                        EXPECT_THAT(job.output, Each(0x5A)) << "the output is written only on Apply";
                    } else {
                        EXPECT_EQ(data, job.input.data()) << "read in place: " << job.name;
                        EXPECT_EQ(pixels_of(*result).data, job.output.data())
                            << "written in place: " << job.name;
                        EXPECT_EQ(job.sample(job.input, 0, 0, 0), wide ? 65535u : 255u)
                            << "the engine sees white in its own range: " << job.name;
                    }
                    invert_into_result(source, result);
                    return dialog_outcome::accepted;
                });
            EXPECT_EQ(outcome, 7) << "an accepted run leaves the host's result: " << job.name;
            EXPECT_TRUE(job.boxes.empty()) << job.name;
            EXPECT_EQ(job.input, original) << "the input is the host's: " << job.name;
            for (std::int32_t y = 0; y != host_job::height; ++y) {
                for (std::int32_t x = 0; x != host_job::width; ++x)
                    for (std::int32_t c = 0; c != job.channels; ++c) {
                        const std::uint32_t v = job.sample(original, x, y, c);
                        // Into the engine's range (0..32767 doubled, 32768 to 65535), inverted there,
                        // and halved back, rounding up.
                        const std::uint32_t inverted =
                            wide ? (65535 - std::min(2 * v, 65535u) + 1) / 2 : 255 - v;
                        const bool merged =
                            !masked || (job.mask[y * host_job::mask_row_bytes + x] != 0 && c != 3);
                        ASSERT_EQ(job.sample(job.output, x, y, c), merged ? inverted : v)
                            << job.name << " at " << x << "," << y << " sample " << c;
                    }
                for (std::size_t i = job.offset(host_job::width, y, 0); i != job.offset(0, y + 1, 0); ++i)
                    ASSERT_EQ(job.output[i], 0x5A) << "row padding: " << job.name;
            }
        }
}

TEST(filter_run, every_other_ending_leaves_input_and_output_as_they_were) {
    struct road {
        const char* name;
        std::int16_t result;
        const wchar_t* box; // the text shown, or none
        tessolux::preview_window window;
    };
    road roads[] = {
        {"cancelled", sdk::userCanceledErr, nullptr, [](auto&&...) { return dialog_outcome::cancelled; }},
        {"loop failed", sdk::run_failed, nullptr, [](auto&&...) { return dialog_outcome::loop_failed; }},
        {"window failed", sdk::userCanceledErr, L"An unknown error has occured!",
         [](auto&&...) -> dialog_outcome {
             throw std::runtime_error("CreateDialogParam resulted in error!");
         }},
        {"out of memory", sdk::userCanceledErr, L"Not enough memory available!",
         [](auto&&...) -> dialog_outcome { throw std::bad_alloc(); }},
        {"foreign exception", escaped, nullptr,
         [](auto&&...) -> dialog_outcome { throw cpp::exceptional::user_cancelation(); }},
    };
    for (road& r : roads)
        for (const layout l : layouts)
            for (const bool masked : {false, true}) {
                host_job job(l.planes, l.depth, masked);
                const std::vector<std::uint8_t> original = job.input;
                EXPECT_EQ(run_on_host_thread(job, r.window), r.result) << r.name << ", " << job.name;
                EXPECT_EQ(job.input, original) << r.name << ", " << job.name;
                EXPECT_THAT(job.output, Each(0x5A)) << r.name << ", " << job.name;
                ASSERT_EQ(job.boxes.size(), r.box != nullptr ? 1u : 0u) << r.name;
                if (r.box != nullptr) {
                    EXPECT_EQ(job.boxes[0].text, r.box);
                    EXPECT_EQ(job.boxes[0].caption, L"A failure has occured");
                }
            }
}

} // namespace
