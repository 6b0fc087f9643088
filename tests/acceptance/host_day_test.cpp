// The plug-in called as hosts call it: the selectors in the host's order on the host's own thread, the
// about box before a run and after a failed start; the request rectangles, planes and result word checked
// on every road, and the document changed only by an applied run.
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "acceptance-support.h"
#include "dialog-driver.h"
#include "message-box-reader.h"
#include "resource.h"

namespace {

namespace sdk = tessolux::host;
using namespace acceptance;

struct about_box {
    // The box is modal: the active window of its thread.
    static bool find(HWND& box) { return GetDlgItem(box = GetActiveWindow(), IDC_ABOUT_LOGO) != nullptr; }
    static void end(const HWND& box) { EndDialog(box, 0); }
};

// Shows the about box through the module's selector and, once it is up, closes it with a click or Escape.
// It shows the logo and both versions, and once it has gone neither its logo nor its heading font is left.
void expect_about_box(filter_host::plugin_module& module, bool by_escape, const std::string& road) {
    HGDIOBJ logo = nullptr, font = nullptr;
    const auto look_and_close = [&](HWND box) {
        wchar_t versions[2][32] = {};
        GetDlgItemTextW(box, IDC_ABOUT_PLUGIN_VERSION, versions[0], 32);
        GetDlgItemTextW(box, IDC_ABOUT_ENGINE_VERSION, versions[1], 32);
        EXPECT_EQ(std::wstring(versions[0]) + L" " + versions[1], L"3.0.1.0 2.0.0.1") << road;
        logo = reinterpret_cast<HGDIOBJ>(
            SendDlgItemMessageW(box, IDC_ABOUT_LOGO, STM_GETIMAGE, IMAGE_BITMAP, 0));
        font = reinterpret_cast<HGDIOBJ>(SendDlgItemMessageW(box, IDC_ABOUT_HEADING, WM_GETFONT, 0, 0));
        BITMAP shape{};
        EXPECT_TRUE(GetObjectW(logo, sizeof shape, &shape) && shape.bmWidth == 128 && shape.bmHeight == 128)
            << road << ": the logo, 128 by 128";
        if (by_escape) // where the keyboard focus is
            return PostMessageW(GetFocus() != nullptr ? GetFocus() : box, WM_KEYDOWN, VK_ESCAPE,
                                0x00010001) != 0;
        return PostMessageW(box, WM_LBUTTONUP, 0, MAKELPARAM(20, 230)) != 0; // below the logo
    };
    // The second step waits for the box to go; past the limit the script ends it.
    const test_support::timed_script<HWND, &about_box::find, &about_box::end> script(
        {look_and_close, [](HWND) { return false; }}, std::chrono::seconds(30));
    filter_host::show_about(module);
    EXPECT_FALSE(script.expired()) << road << ": the box closed";
    EXPECT_NE(font, nullptr) << road << ": the box was shown";
    EXPECT_EQ(GetObjectType(logo), 0u) << road << ": the logo is deleted";
    EXPECT_EQ(GetObjectType(font), 0u) << road << ": the heading font is deleted";
}

class host_day : public ::testing::Test {
protected:
    // Calls the selectors in turn, each with the result word at "no error", and keeps the words.
    void call(std::initializer_list<std::int16_t> selectors, sdk::FilterRecord& record) {
        for (const std::int16_t selector : selectors)
            copy.module().call(selector, &record, &results.emplace_back(0));
    }
    private_module copy{L"host-day"};
    std::vector<std::int16_t> results;
};

TEST_F(host_day, every_road_of_a_run_answers_the_host_as_it_expects) {
    enum class ending { apply, cancel, close_box };
    const struct {
        const char* what;
        std::int16_t planes, bytes;
        bool masked, big_document;
        ending how;
    } roads[] = {
        {"RGB applied", 3, 1, false, true, ending::apply},
        {"RGB closed by the close box, 16-bit coordinates", 3, 1, false, false, ending::close_box},
        {"RGBA 16-bit with a selection applied, 16-bit coordinates", 4, 2, true, false, ending::apply},
        {"gray with a selection cancelled", 1, 1, true, true, ending::cancel},
    };
    constexpr std::int16_t width = 120, height = 80;
    for (const auto& r : roads) {
        // The document as a host hands it over: interleaved samples in rows padded past their end, and an
        // output buffer filled with a pattern the filter must overwrite or leave.
        const std::size_t samples = width * r.planes, row_bytes = samples * r.bytes + 12;
        const filter_host::image photo = make_photo(width, height, r.planes, r.bytes * 8);
        std::vector<std::uint8_t> input(row_bytes * height), output(input.size(), 0x5A);
        auto mask = r.masked ? make_selection(width, height).bytes : std::vector<std::uint8_t>();
        for (std::size_t y = 0; y != height; ++y)
            for (std::size_t i = 0; i != samples; ++i)
                std::memcpy(&input[y * row_bytes + i * r.bytes], &photo.samples[y * samples + i], r.bytes);
        const std::vector<std::uint8_t> given = input;
        sdk::BigDocumentStruct big{};
        big.filterRect32 = {0, 0, height, width};
        sdk::FilterRecord record{};
        record.planes = r.planes;
        record.depth = r.bytes * 8;
        record.filterRect = {0, 0, height, width};
        record.haveMask = r.masked;
        record.autoMask = 1;
        record.bigDocumentData = r.big_document ? &big : nullptr;
        // The in, out and mask requests, in the coordinates the document offers.
        const auto requests = [&] {
            const auto wide = [](const sdk::Rect& a) { return sdk::VRect{a.top, a.left, a.bottom, a.right}; };
            return r.big_document
                       ? std::vector{big.inRect32, big.outRect32, big.maskRect32}
                       : std::vector{wide(record.inRect), wide(record.outRect), wide(record.maskRect)};
        };
        results.clear();
        // The host's own thread, with nothing of COM on it; the about box first, as a user looks at it
        // before running the filter, and it leaves no apartment of its own.
        std::thread([&] {
            expect_about_box(copy.module(), false, r.what);
            EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK)
                << r.what << ": no apartment is left";
            CoUninitialize();
            call({sdk::filterSelectorParameters, sdk::filterSelectorPrepare, sdk::filterSelectorStart},
                 record);
            EXPECT_EQ((std::vector<int>{record.inLoPlane, record.inHiPlane, record.outLoPlane,
                                        record.outHiPlane, record.autoMask}),
                      (std::vector<int>{0, r.planes - 1, 0, r.planes - 1, 0}))
                << r.what << ": all planes, and the filter applies the selection itself";
            EXPECT_EQ(requests(), std::vector<sdk::VRect>(3, {0, 0, height, width}))
                << r.what << ": all at once";
            record.inData = input.data();
            record.outData = output.data();
            record.inRowBytes = record.outRowBytes = static_cast<std::int32_t>(row_bytes);
            record.maskData = r.masked ? mask.data() : nullptr;
            record.maskRowBytes = width;
            {
                const test_support::message_box_reader reader;
                const test_support::dialog_script script(
                    {test_support::wait_until_ready(test_support::done_text(copy.module().handle())),
                     r.how == ending::apply    ? test_support::press(IDC_APPLY)
                     : r.how == ending::cancel ? test_support::press(IDC_CANCEL)
                                               : test_support::close_box()});
                call({sdk::filterSelectorContinue}, record);
                EXPECT_TRUE(script.finished() && !script.expired())
                    << r.what << ": the dialog played to its end";
                EXPECT_TRUE(reader.boxes().empty()) << r.what << ": failure boxes";
            }
            EXPECT_EQ(requests(), std::vector<sdk::VRect>(3)) << r.what << ": nothing more is asked for";
            call({sdk::filterSelectorFinish}, record);
        }).join();

        const std::int16_t outcome = r.how == ending::apply ? 0 : sdk::userCanceledErr;
        EXPECT_EQ(results, (std::vector<std::int16_t>{0, 0, 0, outcome, 0})) << r.what;
        EXPECT_EQ(input, given) << r.what << ": the host's input is never changed";
        if (r.how != ending::apply) {
            EXPECT_EQ(output, std::vector<std::uint8_t>(output.size(), 0x5A))
                << r.what << ": as the host gave it";
            continue;
        }
        // Applied: the work is in the output, outside the selection the output is the input, and the rows'
        // padding is the host's.
        std::size_t changed = 0, changed_outside = 0;
        for (std::size_t y = 0; y != height; ++y) {
            const std::size_t row = y * row_bytes, end = row + samples * r.bytes;
            for (std::size_t i = 0; i != samples; ++i) {
                const bool same =
                    std::memcmp(&output[row + i * r.bytes], &given[row + i * r.bytes], r.bytes) == 0;
                changed += same ? 0 : 1;
                changed_outside += !same && r.masked && mask[y * width + i / r.planes] == 0 ? 1 : 0;
            }
            EXPECT_EQ(std::count(&output[end], &output[end] + 12, 0x5A), 12)
                << r.what << ": padding of row " << y;
        }
        EXPECT_GT(changed, 0u) << r.what << ": the filter's work reached the host";
        EXPECT_EQ(changed_outside, 0u) << r.what;
    }
}

// A host whose thread is in COM's multithreaded apartment cannot give the plug-in OLE: start fails, the
// host still calls finish, and the host's apartment stays; the about box shows there too.
TEST_F(host_day, finish_after_a_failed_start_leaves_the_hosts_apartment_and_the_about_box_still_shows) {
    sdk::FilterRecord record{};
    record.planes = 3;
    record.depth = 8;
    record.filterRect = {0, 0, 30, 40};
    std::thread([&] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        call({sdk::filterSelectorParameters, sdk::filterSelectorPrepare, sdk::filterSelectorStart,
              sdk::filterSelectorFinish},
             record);
        expect_about_box(copy.module(), true, "after a failed start, closed by Escape");
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE)
            << "the host's apartment is still there";
        CoUninitialize();
        CoUninitialize();
    }).join();
    EXPECT_EQ(results, (std::vector<std::int16_t>{0, 0, sdk::run_failed, 0}));
}

} // namespace
