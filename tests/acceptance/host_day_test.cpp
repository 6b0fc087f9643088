// The plug-in called as hosts call it: every selector in the host's order on the host's one thread,
// the about box before a run and after one, finish after a start that failed; the request rectangles,
// the planes and the result word checked on every road, and the document changed only by an applied run.
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <objbase.h>
#include <ole2.h>

#include <gtest/gtest.h>

#include "acceptance-support.h"
#include "message-box-reader.h"
#include "resource.h"

namespace {

namespace sdk = tessolux::host;
using namespace acceptance;

// A document as the host hands it over: interleaved planes in rows padded as a host pads them, the
// output buffer filled with a pattern the filter must overwrite or leave, and the selection.
struct host_document {
    std::int32_t width, height, planes, depth, sample_bytes, row_bytes;
    std::vector<std::uint8_t> input, output, mask;
    sdk::BigDocumentStruct big{};
    sdk::PlatformData platform{0};
    sdk::FilterRecord record{};

    host_document(std::int32_t width, std::int32_t height, std::int16_t planes, std::int32_t depth,
                  bool masked, bool big_document)
        : width(width), height(height), planes(planes), depth(depth), sample_bytes(depth / 8),
          row_bytes(width * planes * (depth / 8) + 12) {
        const filter_host::image photo = make_photo(width, height, planes, depth);
        input.assign(static_cast<std::size_t>(row_bytes) * height, 0);
        for (std::int32_t y = 0; y != height; ++y)
            for (std::int32_t x = 0; x != width; ++x)
                for (std::int32_t c = 0; c != planes; ++c) {
                    const std::uint16_t v = photo.at(x, y, static_cast<std::int16_t>(c));
                    std::memcpy(&input[offset(x, y, c)], &v, sample_bytes);
                }
        output.assign(input.size(), 0x5A);
        if (masked) {
            const filter_host::selection selection = make_selection(width, height);
            mask = selection.bytes;
        }
        record.planes = planes;
        record.depth = depth;
        record.filterRect = {0, 0, static_cast<std::int16_t>(height), static_cast<std::int16_t>(width)};
        record.haveMask = masked ? 1 : 0;
        record.autoMask = 1;
        if (big_document) {
            big.filterRect32 = {0, 0, height, width};
            record.bigDocumentData = &big;
        }
    }

    std::size_t offset(std::int32_t x, std::int32_t y, std::int32_t c) const {
        return static_cast<std::size_t>(y) * row_bytes +
               (static_cast<std::size_t>(x) * planes + c) * sample_bytes;
    }
    // The buffers, handed over for continue as the request asked.
    void hand_over() {
        record.inData = input.data();
        record.outData = output.data();
        record.inRowBytes = record.outRowBytes = row_bytes;
        record.maskData = mask.empty() ? nullptr : mask.data();
        record.maskRowBytes = width;
    }
    // The request rectangles, 32-bit or 16-bit as the document offers them.
    std::vector<sdk::VRect> requests() const {
        if (record.bigDocumentData != nullptr)
            return {big.inRect32, big.outRect32, big.maskRect32};
        const auto wide = [](const sdk::Rect& r) { return sdk::VRect{r.top, r.left, r.bottom, r.right}; };
        return {wide(record.inRect), wide(record.outRect), wide(record.maskRect)};
    }
};

enum class ending { apply, cancel, close_box };

struct host_road {
    const char* what;
    std::int16_t planes;
    std::int32_t depth;
    bool masked;
    bool big_document;
    ending how;
};

class host_day : public ::testing::Test {
protected:
    std::int16_t call(std::int16_t selector, sdk::FilterRecord* record, std::int16_t preset = 0) {
        std::int16_t result = preset;
        copy.module().call(selector, record, &result);
        return result;
    }
    std::wstring done() { return test_support::done_text(copy.module().handle()); }

    private_module copy{L"host-day"};
};

TEST_F(host_day, every_road_of_a_run_answers_the_host_as_it_expects) {
    const host_road roads[] = {
        {"RGB applied", 3, 8, false, true, ending::apply},
        {"RGB cancelled", 3, 8, false, true, ending::cancel},
        {"RGB closed", 3, 8, false, false, ending::close_box},
        {"RGBA 16-bit with a selection applied, 16-bit coordinates", 4, 16, true, false, ending::apply},
        {"gray with a selection cancelled", 1, 8, true, true, ending::cancel},
        {"gray 8-bit applied", 1, 8, false, true, ending::apply},
    };
    for (const host_road& road : roads) {
        host_document document(120, 80, road.planes, road.depth, road.masked, road.big_document);
        const std::vector<std::uint8_t> input = document.input;
        const std::vector<std::uint8_t> untouched = document.output;
        std::vector<std::int16_t> results;
        std::vector<test_support::message_box> boxes;
        about_seen about;
        bool played = false;
        // The host's own thread, with nothing of COM on it; the about box first, as a user looks at it
        // before running the filter.
        std::thread([&] {
            about = show_and_close_about(copy.module(), false);
            results.push_back(call(sdk::filterSelectorParameters, &document.record));
            results.push_back(call(sdk::filterSelectorPrepare, &document.record));
            results.push_back(call(sdk::filterSelectorStart, &document.record));
            EXPECT_EQ(document.record.inLoPlane, 0) << road.what;
            EXPECT_EQ(document.record.inHiPlane, road.planes - 1) << road.what;
            EXPECT_EQ(document.record.outLoPlane, 0) << road.what;
            EXPECT_EQ(document.record.outHiPlane, road.planes - 1) << road.what;
            EXPECT_EQ(document.record.autoMask, 0) << road.what;
            for (const sdk::VRect& request : document.requests())
                EXPECT_EQ(request, (sdk::VRect{0, 0, 80, 120}))
                    << road.what << ": the whole image is asked for";
            document.hand_over();
            {
                test_support::message_box_reader reader;
                const auto end = road.how == ending::apply    ? test_support::press(IDC_APPLY)
                                 : road.how == ending::cancel ? test_support::press(IDC_CANCEL)
                                                              : test_support::close_box();
                test_support::dialog_script script({test_support::wait_until_ready(done()), end});
                results.push_back(call(sdk::filterSelectorContinue, &document.record));
                played = script.finished() && !script.expired();
                boxes = reader.boxes();
            }
            for (const sdk::VRect& request : document.requests())
                EXPECT_EQ(request, sdk::VRect{}) << road.what << ": nothing more is asked for";
            results.push_back(call(sdk::filterSelectorFinish, &document.record));
        }).join();

        ASSERT_TRUE(played) << road.what;
        EXPECT_TRUE(about.shown && about.logo != nullptr) << road.what;
        EXPECT_TRUE(boxes.empty()) << road.what;
        const std::int16_t outcome = road.how == ending::apply ? 0 : sdk::userCanceledErr;
        EXPECT_EQ(results, (std::vector<std::int16_t>{0, 0, 0, outcome, 0})) << road.what;
        EXPECT_EQ(document.input, input) << road.what << ": the host's input is never changed";
        if (road.how != ending::apply) {
            EXPECT_EQ(document.output, untouched) << road.what << ": the output is left as the host gave it";
            continue;
        }
        // Applied: the filter's work is in the output, outside a selection the input is, and the rows'
        // padding is the host's.
        std::size_t changed = 0;
        std::size_t changed_outside = 0;
        for (std::int32_t y = 0; y != document.height; ++y)
            for (std::int32_t x = 0; x != document.width; ++x) {
                const bool outside =
                    road.masked && document.mask[static_cast<std::size_t>(y) * document.width + x] == 0;
                for (std::int32_t c = 0; c != road.planes; ++c) {
                    const std::size_t at = document.offset(x, y, c);
                    const bool same =
                        std::memcmp(&document.output[at], &input[at], document.sample_bytes) == 0;
                    changed += same ? 0 : 1;
                    changed_outside += outside && !same ? 1 : 0;
                }
            }
        EXPECT_EQ(changed_outside, 0u) << road.what << ": outside the selection the output is the input";
        EXPECT_GT(changed, 0u) << road.what << ": the filter's work reached the host";
        const std::size_t row_end =
            static_cast<std::size_t>(document.width) * road.planes * document.sample_bytes;
        for (std::int32_t y = 0; y != document.height; ++y)
            for (std::size_t at = y * document.row_bytes + row_end; at != (y + 1u) * document.row_bytes; ++at)
                ASSERT_EQ(document.output[at], untouched[at]) << road.what << ": padding of row " << y;
    }
}

// A host whose thread is in COM's multithreaded apartment cannot give the plug-in OLE: start fails, and
// the host still calls finish, and may show the about box again.
TEST_F(host_day, finish_after_a_failed_start_leaves_the_hosts_com_and_the_about_box_still_shows) {
    host_document document(40, 30, 3, 8, false, true);
    std::vector<std::int16_t> results;
    HRESULT afterwards = E_FAIL;
    about_seen about;
    std::thread([&] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        results.push_back(call(sdk::filterSelectorParameters, &document.record));
        results.push_back(call(sdk::filterSelectorPrepare, &document.record));
        results.push_back(call(sdk::filterSelectorStart, &document.record));
        results.push_back(call(sdk::filterSelectorFinish, &document.record));
        about = show_and_close_about(copy.module(), true);
        afterwards = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        CoUninitialize();
        CoUninitialize();
    }).join();
    EXPECT_EQ(results, (std::vector<std::int16_t>{0, 0, sdk::run_failed, 0}));
    EXPECT_EQ(afterwards, S_FALSE) << "the host's apartment is still there";
    EXPECT_TRUE(about.shown && about.logo != nullptr);
    EXPECT_EQ(about.plugin_version, L"3.0.1.0");
}

// The about selector comes at any time, also before a run, on a thread with or without COM: the box
// shows the logo and both versions, closes on a click and on Escape, and leaves neither its logo nor its
// font behind, nor an apartment of its own on the thread.
TEST_F(host_day, the_about_box_shows_logo_and_versions_on_any_thread_and_leaves_nothing_behind) {
    enum class apartment { none, single_threaded, multithreaded };
    for (const apartment kind : {apartment::none, apartment::single_threaded, apartment::multithreaded})
        for (const bool by_escape : {false, true}) {
            const std::string road = std::string(kind == apartment::none              ? "no COM"
                                                 : kind == apartment::single_threaded ? "OLE"
                                                                                      : "multithreaded COM") +
                                     (by_escape ? ", Escape" : ", click");
            about_seen about;
            HRESULT afterwards = E_FAIL;
            std::thread([&] {
                const HRESULT host = kind == apartment::single_threaded ? OleInitialize(nullptr)
                                     : kind == apartment::multithreaded
                                         ? CoInitializeEx(nullptr, COINIT_MULTITHREADED)
                                         : S_OK;
                EXPECT_EQ(host, S_OK) << road;
                about = show_and_close_about(copy.module(), by_escape);
                // The other kind of apartment is refused exactly where the host has one.
                afterwards =
                    CoInitializeEx(nullptr, kind == apartment::multithreaded ? COINIT_APARTMENTTHREADED
                                                                             : COINIT_MULTITHREADED);
                if (SUCCEEDED(afterwards))
                    CoUninitialize();
                if (kind == apartment::single_threaded)
                    OleUninitialize();
                if (kind == apartment::multithreaded)
                    CoUninitialize();
            }).join();
            ASSERT_TRUE(about.shown) << road;
            EXPECT_TRUE(about.closed) << road;
            EXPECT_EQ(about.heading, L"Tessolux 3 Plugin") << road;
            EXPECT_EQ(about.plugin_version, L"3.0.1.0") << road;
            EXPECT_EQ(about.engine_version, L"2.0.0.1") << road;
            EXPECT_EQ(about.logo_size.cx, 128) << road;
            EXPECT_EQ(about.logo_size.cy, 128) << road;
            EXPECT_EQ(GetObjectType(about.logo), 0u) << road << ": the logo is deleted";
            ASSERT_NE(about.heading_font, nullptr) << road;
            EXPECT_EQ(GetObjectType(about.heading_font), 0u) << road << ": the heading font is deleted";
            EXPECT_EQ(afterwards, kind == apartment::none ? S_OK : RPC_E_CHANGED_MODE) << road;
        }
}

} // namespace
