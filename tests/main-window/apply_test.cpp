// Apply against what else holds the host's image: a superseded stage job that goes on writing it for a
// while, an engine that refuses the teardown, a document of another shape and a document held past
// Apply's limit; and the failure tasks of the two lanes, which drop a failure whose job was superseded
// before the dialog's thread got to it.
#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "main-window-world.h"
#include "reference-engine.h"

namespace {

using test_support::press;

class apply_test : public test_support::main_window_world {
protected:
    // The host's image as it stands, and the source enhanced as first-run settings ask, by the engine itself.
    std::vector<std::uint8_t> document() const { return reference::read_pixels(result->image.get()).bytes; }
    std::vector<std::uint8_t> enhanced() const {
        return reference::run(reference::read_pixels(source->image.get()),
                              reference::natural_enhance(width, height))
            .bytes;
    }
    com_ptr<zorvane::IImageData> document_data() const {
        com_ptr<zorvane::IImageData> data;
        if (FAILED(result->image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void())))
            throw std::runtime_error("the document has no data");
        return data;
    }

    // At the engine's first report inside the tilt-shift stage (its text shows and progress is short of
    // the end, so its run holds the host's image with bands still to write), the user switches tilt-shift
    // off and applies: both posted, so they come at once, ahead of any timer.
    void apply_when_inside_tilt_shift() {
        SetWindowSubclass(window->progress_bar, &watch_bar, 1, reinterpret_cast<DWORD_PTR>(this));
    }
    static LRESULT CALLBACK watch_bar(HWND bar, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                      DWORD_PTR test) {
        auto& self = *reinterpret_cast<apply_test*>(test);
        const HWND dialog = GetParent(bar);
        if (message == PBM_SETPOS && !self.applied && wparam > 0 && wparam < 100 &&
            test_support::status_text(dialog, 1) == tessolux::module_string(IDS_TILTSHIFT_RUNNING)) {
            self.applied = true;
            PostMessageW(GetDlgItem(self.window->controls->window_handle(), IDC_TILTSHIFT_ENABLE), BM_CLICK,
                         0, 0);
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_APPLY, BN_CLICKED), 0);
        }
        return DefSubclassProc(bar, message, wparam, lparam);
    }

    bool applied = false;
};

// The tilt-shift job writes the host's image itself. Switched off while it runs, it is superseded, but the
// engine finishes two more bands of rows before it lets go: Apply waits for that, and the host gets the
// chain's final picture, not the enhancement with bands of the abandoned tilt-shift over it.
TEST_F(apply_test, apply_waits_for_a_superseded_stage_that_still_writes_and_the_host_gets_the_final_pixels) {
    remake_with({{L"ZORVANE_STANDIN_BAND_DELAY_MS", L"25"}, {L"ZORVANE_STANDIN_BANDS_AFTER_STOP", L"2"}});
    test_support::write_setting(key, L"ActiveFilters", 4 | 16);
    open();
    // The run ends with Apply, which may close the dialog before the last step looks again.
    run({ready(), act([this] {
             apply_when_inside_tilt_shift();
             // The blur slider's drag ends: the chain runs tilt-shift again.
             const HWND panel = window->controls->window_handle();
             const HWND slider = GetDlgItem(panel, IDC_TILTSHIFT_BLUR);
             SendMessageW(slider, TBM_SETPOS, TRUE, 30);
             SendMessageW(panel, WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(slider));
         }),
         [this](HWND) { return applied; }});
    ASSERT_TRUE(applied);
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(window->was_cancelled());
    EXPECT_EQ(document(), enhanced()) << "no band of the abandoned tilt-shift";
}

// Once the picture is in the host's image the run has succeeded: an engine that then refuses to drop its
// work and to shut down is torn down without a word, and the run ends accepted.
TEST_F(apply_test, apply_ends_the_run_accepted_without_a_box_where_the_engine_refuses_the_teardown_calls) {
    remake_with({{L"ZORVANE_STANDIN_NO_SERVICE", L"1"}});
    ASSERT_TRUE(run({ready(), press(IDC_APPLY)}));
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(window->was_cancelled());
    EXPECT_EQ(document(), enhanced());
}

// Apply that cannot copy says so and leaves the user where they were: one box, the dialog open, the
// document untouched, the run not accepted. Holding the document past Apply's limit takes its 10 s.
TEST_F(apply_test, apply_that_cannot_copy_shows_one_box_and_keeps_the_dialog_and_the_document) {
    const struct {
        const char* name;
        std::int32_t document_width;
        bool held;
    } cases[] = {
        {"a document of another shape", width - 2, false},
        {"a document that something else holds", width, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        remake_with({});
        result = tessolux::create_engine_image(engine, c.document_width, height, 8, 0, 1, 2, -1);
        const com_ptr<zorvane::IImageData> data = document_data();
        BYTE* bits = nullptr;
        UINT32 size = 0;
        ASSERT_GE(data->get_buffer(&bits, &size, nullptr, nullptr, nullptr), 0);
        std::memset(bits, 0x5a, size);
        const std::vector<std::uint8_t> before = document();
        bool stayed = false;
        ASSERT_TRUE(run({ready(),
                         // A preview that reads the document lets go of it at once: until then, again.
                         [&](HWND) { return !c.held || SUCCEEDED(data->try_acquire()); }, press(IDC_APPLY),
                         [&](HWND dialog) {
                             stayed = IsWindowVisible(dialog) != FALSE;
                             if (c.held)
                                 data->release();
                             return true;
                         },
                         press(IDC_CANCEL)}));
        EXPECT_TRUE(stayed);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, L"An unknown error has occured!");
        EXPECT_TRUE(window->was_cancelled());
        EXPECT_EQ(document(), before);
    }
}

// A failure reaches the dialog as a posted task carrying its job's ticket. A newer job queued before the
// task runs has taken the work over: the failure is dropped, on either lane. The same failure of the
// current job shows: the status text for a preview, a box and "Retry" for a stage.
TEST_F(apply_test, a_failure_whose_job_was_superseded_before_it_arrived_is_dropped_on_either_lane) {
    // Apply's text and the status summary after each failure task.
    std::vector<std::pair<std::wstring, std::wstring>> after;
    ASSERT_TRUE(run({ready(), act([&] {
                         const std::exception_ptr failure =
                             std::make_exception_ptr(std::runtime_error("lost"));
                         const auto look = [&] {
                             wchar_t apply[16] = {};
                             GetWindowTextW(window->apply_button, apply, 16);
                             after.emplace_back(apply, test_support::status_text(window->window_handle(), 1));
                         };
                         // One behind the lane's newest ticket: superseded. The newest itself: current.
                         for (const std::uint32_t back : {1u, 0u}) {
                             window->preview_failure_task(failure, window->preview_lane.latest_ticket - back);
                             look();
                             window->job_failure_task(failure, window->filter_lane.latest_ticket - back);
                             look();
                         }
                     }),
                     press(IDC_CANCEL)}));
    const std::wstring unknown = L"An unknown error has occured!";
    EXPECT_EQ(after, (std::vector<std::pair<std::wstring, std::wstring>>{
                         {L"Apply", done()}, {L"Apply", done()}, {L"Apply", unknown}, {L"Retry", unknown}}));
    ASSERT_EQ(boxes.size(), 1u) << "the current stage's failure only";
    EXPECT_EQ(boxes[0].text, unknown);
}

} // namespace
