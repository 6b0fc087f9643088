// The main dialog over the stand-in engine, built in this process and played by a dialog script: failures,
// Retry and F8, Apply against a stage job still writing and against a refusing registry, the teardown (also
// of a dialog that fails while built, before and after its workers start), what the preview puts on the
// screen, and the stage chain: the values its stages send the engine and what a skipped stage leaves.
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "host/dialog-driver.h"
#include "host/filter-host.h"
#include "main-window-world.h"
#include "reference-engine.h"
#include "standin-engine.h"
#include "standin-trace.h"

namespace {

using test_support::press;

class main_window : public test_support::main_window_world {
protected:
    // The engine reads its test hooks when the world makes it: the trace goes into a file of this test's own.
    void SetUp() override {
        DeleteFileW(trace_path.c_str());
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", trace_path.c_str());
        main_window_world::SetUp();
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", nullptr);
    }
    void TearDown() override {
        main_window_world::TearDown();
        DeleteFileW(trace_path.c_str());
    }

    // The engine's calls so far, one line each, and how many of them from an offset on name a part.
    std::string trace() const {
        std::ifstream file(std::string(trace_path.begin(), trace_path.end()));
        return {std::istreambuf_iterator<char>(file), {}};
    }
    static std::size_t count_of(const std::string& trace, const char* part, std::size_t from = 0) {
        std::size_t n = 0;
        for (std::size_t at = trace.find(part, from); at != std::string::npos; at = trace.find(part, at + 1))
            ++n;
        return n;
    }

    // The source enhanced by the engine itself as first-run settings ask, or with the slider's intensity.
    reference::picture enhanced(const wchar_t* intensity = L"0.700000") const {
        return reference::run(reference::read_pixels(source->image.get()),
                              reference::natural_enhance(width, height, intensity));
    }
    std::vector<std::uint8_t> applied() const { return reference::read_pixels(result->image.get()).bytes; }

    // The failure display: Apply reads "Retry" and can be pressed.
    static bool shows_retry(HWND dialog) {
        wchar_t text[16] = {};
        GetDlgItemTextW(dialog, IDC_APPLY, text, 16);
        return std::wstring(text) == L"Retry" && IsWindowEnabled(GetDlgItem(dialog, IDC_APPLY));
    }
    // Moves a slider of the panel as the user's drag ends, or clicks a check box of it.
    void move_slider(int id, int value) {
        const HWND slider = GetDlgItem(window->controls->window_handle(), id);
        SendMessageW(slider, TBM_SETPOS, TRUE, value);
        SendMessageW(window->controls->window_handle(), WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0),
                     reinterpret_cast<LPARAM>(slider));
    }
    void click_panel_check(int id) {
        SendDlgItemMessageW(window->controls->window_handle(), id, BM_CLICK, 0, 0);
    }

    // Keeps the states the progress bar is told, in order (Wine's bar keeps none of its own), and runs the
    // action set by when_inside_stage once, at the first report of that stage inside the engine: its text
    // shows and progress is short of the end, so at least one delayed band of rows is still to come. The
    // step until_inside waits for that.
    void watch_progress_bar() {
        SetWindowSubclass(window->progress_bar, &watch_bar, 1, reinterpret_cast<DWORD_PTR>(this));
    }
    void when_inside_stage(UINT stage_text, std::function<void()> action) {
        inside_text = tessolux::module_string(stage_text);
        inside_action = std::move(action);
    }
    test_support::dialog_script::step until_inside() {
        return [this](HWND) { return !inside_action; };
    }
    static LRESULT CALLBACK watch_bar(HWND bar, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                      DWORD_PTR test) {
        auto& self = *reinterpret_cast<main_window*>(test);
        if (message == PBM_SETSTATE)
            self.progress_states.push_back(wparam);
        if (message == PBM_SETPOS && self.inside_action && wparam > 0 && wparam < 100 &&
            test_support::status_text(GetParent(bar), 1) == self.inside_text)
            std::exchange(self.inside_action, nullptr)();
        return DefSubclassProc(bar, message, wparam, lparam);
    }

    const std::wstring trace_path = L"main-window-trace-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    std::vector<WPARAM> progress_states;
    std::wstring inside_text;
    std::function<void()> inside_action;
};

TEST_F(main_window, a_failing_stage_shows_one_box_per_failure_and_retry_until_it_is_switched_off) {
    remake_with({{L"ZORVANE_STANDIN_FAIL_NODE", L"tilt-shift"}});
    test_support::write_setting(key, L"ActiveFilters", 4 | 16);
    open();
    watch_progress_bar();
    ASSERT_TRUE(run({shows_retry,
                     // Retry runs the whole chain again, which fails again.
                     press(IDC_APPLY), [this](HWND) { return progress_states.size() == 3; }, shows_retry,
                     act([this] { click_panel_check(IDC_TILTSHIFT_ENABLE); }), ready(), press(IDC_APPLY)}));
    ASSERT_EQ(boxes.size(), 2u) << "one box per failed run";
    for (const test_support::message_box& box : boxes) {
        EXPECT_EQ(box.text, L"A component failed with error code  80004005");
        EXPECT_EQ(box.caption, L"A failure has occured");
    }
    EXPECT_EQ(progress_states, (std::vector<WPARAM>{PBST_ERROR, PBST_NORMAL, PBST_ERROR, PBST_NORMAL}));
    EXPECT_FALSE(window->was_cancelled());
    EXPECT_EQ(applied(), enhanced().bytes) << "the enhancement alone once tilt-shift is off";
}

// The dialog and its timer point at the object being built: they go before the exception leaves, so that
// no later message reaches a destroyed object.
TEST_F(main_window, a_dialog_that_fails_while_it_is_built_leaves_no_window_and_no_engine_object) {
    // The thumbnails of the effects list are converted by the engine's "convert" node while it is built.
    remake_with({{L"ZORVANE_STANDIN_FAIL_NODE", L"convert"}});
    EXPECT_THROW(open(), error_handling::interface_exception);
    EXPECT_EQ(test_support::find_preview_dialog(), nullptr);
    source = {};
    result = {};
    engine = {};
    EXPECT_EQ(test_support::live_engine_objects(), 0);
}

TEST_F(main_window,
       f8_fails_the_running_stage_once_and_apply_after_a_running_stage_is_switched_off_waits_for_it) {
    // Every band of rows of every engine run waits: a stage of the test's small picture takes four bands.
    // The stages caught in the engine start after the first preview, from a slider: the dialog has settled
    // then and sees the engine's progress as it comes.
    remake_with({{L"ZORVANE_STANDIN_BAND_DELAY_MS", L"25"}});
    test_support::write_setting(key, L"ActiveFilters", 4 | 16);
    open();
    watch_progress_bar();
    ASSERT_TRUE(
        run({ready(), act([&] {
                 // The key as it reaches the dialog's loop, which translates it by the accelerators.
                 when_inside_stage(IDS_ENHANCE_RUNNING,
                                   [this] { PostMessageW(window->cancel_button, WM_KEYDOWN, VK_F8, 1); });
                 move_slider(IDC_ENHANCE_INTENSITY, 55);
             }),
             until_inside(), shows_retry, press(IDC_APPLY), ready(), act([&] {
                 when_inside_stage(IDS_TILTSHIFT_RUNNING, [] {});
                 move_slider(IDC_TILTSHIFT_BLUR, 30);
             }),
             until_inside(), act([this] {
                 // The switch ends the chain at once and enables Apply, while the superseded
                 // tilt-shift job still writes into the result image until its next band.
                 click_panel_check(IDC_TILTSHIFT_ENABLE);
                 ASSERT_TRUE(IsWindowEnabled(window->apply_button));
                 SendMessageW(window->window_handle(), WM_COMMAND, MAKEWPARAM(IDC_APPLY, BN_CLICKED), 0);
             })}));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"A component failed with error code  80004004");
    EXPECT_EQ(progress_states, (std::vector<WPARAM>{PBST_ERROR, PBST_NORMAL}));
    EXPECT_FALSE(window->was_cancelled());
    EXPECT_EQ(applied(), enhanced(L"0.550000").bytes) << "not a row of the abandoned tilt-shift";
}

// The settings key's parent is volatile: the registry refuses to make the non-volatile settings key.
TEST_F(main_window, a_registry_that_refuses_the_settings_still_applies_and_shows_one_box_per_failed_save) {
    const std::wstring parent = L"volatile-" + std::to_wstring(GetCurrentProcessId());
    test_support::make_volatile_settings_key(parent);
    key = parent + L"\\settings";
    ASSERT_TRUE(run({ready(), act([this] { window->autosave = true; }), press(IDC_APPLY)}));
    test_support::delete_settings(parent);
    EXPECT_FALSE(window->was_cancelled()) << "the user's result is not lost to the registry";
    EXPECT_EQ(applied(), enhanced().bytes);
    // The window settings, and the filter settings: the first failure does not keep the second from trying.
    EXPECT_EQ(boxes.size(), 2u);
    for (const test_support::message_box& box : boxes)
        EXPECT_EQ(box.text, L"An unknown error has occured!");
}

// Messages that arrive while the dialog is destroyed (Windows sends WM_CAPTURECHANGED then, Wine does not)
// reach handlers after the lanes are gone: they must start nothing. When the dialog gets WM_DESTROY the
// probe delivers the work that could start anew (a slider the user lets go of, a stage's result, the
// cancel of a superseded job, a draw) and calls every other handler that could start work, and notes
// before and after what would show that any of it started: the jobs queued on either lane, the lanes'
// latest tickets, the status texts and Apply's text. The stage has failed: Apply reads "Retry", which a
// restart would put back to "Apply".
struct lanes_and_texts {
    std::uint32_t filter_jobs, filter_ticket, preview_jobs, preview_ticket;
    std::wstring summary, shown, apply;
    bool operator==(const lanes_and_texts&) const = default;
};

void PrintTo(const lanes_and_texts& v, std::ostream* out) {
    *out << "filter lane " << v.filter_jobs << " queued, ticket " << v.filter_ticket << "; preview lane "
         << v.preview_jobs << " queued, ticket " << v.preview_ticket << "; summary "
         << testing::PrintToString(v.summary) << ", shown " << testing::PrintToString(v.shown) << ", Apply "
         << testing::PrintToString(v.apply);
}

lanes_and_texts read_lanes_and_texts(tessolux::main_window::impl& dialog, HWND window) {
    wchar_t apply[32] = {};
    GetWindowTextW(dialog.apply_button, apply, 32);
    return {cpp::threading::queued_count(dialog.filter_lane.producer),
            dialog.filter_lane.latest_ticket,
            cpp::threading::queued_count(dialog.preview_lane.producer),
            dialog.preview_lane.latest_ticket,
            test_support::status_text(window, 1),
            test_support::status_text(window, 3),
            apply};
}

struct teardown_probe {
    tessolux::main_window::impl* dialog = nullptr;
    std::optional<lanes_and_texts> before{}, after{};
};

LRESULT CALLBACK probe_destroy(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                               DWORD_PTR data) {
    if (message == WM_DESTROY) {
        teardown_probe& probe = *reinterpret_cast<teardown_probe*>(data);
        tessolux::main_window::impl& dialog = *probe.dialog;
        probe.before = read_lanes_and_texts(dialog, window);
        const HWND panel = dialog.controls->window_handle();
        const HWND slider = GetDlgItem(panel, IDC_ENHANCE_INTENSITY);
        SendMessageW(slider, TBM_SETPOS, TRUE, 33);
        SendMessageW(panel, WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(slider));
        dialog.stage_delivered(tessolux::reduce_noise);
        dialog.cancel_stage_job();
        dialog.draw_picture(0);
        dialog.on_capture_changed();
        dialog.on_mouse_move(10, 10, MK_LBUTTON);
        dialog.on_left_button_up();
        dialog.restart_chain(0, tessolux::reduce_noise);
        dialog.on_filter_changed(0, tessolux::tilt_shift);
        dialog.on_timer();
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_APPLY, BN_CLICKED), 0);
        probe.after = read_lanes_and_texts(dialog, window);
    }
    return DefSubclassProc(window, message, wparam, lparam);
}

TEST_F(main_window, closing_tears_down_once_and_once_it_has_begun_no_handler_starts_work) {
    remake_with({{L"ZORVANE_STANDIN_FAIL_NODE", L"natural-enhance"}});
    teardown_probe probe;
    probe.dialog = &open();
    ASSERT_TRUE(run({shows_retry, act([&] {
                         SetWindowSubclass(window->window_handle(), &probe_destroy, 1,
                                           reinterpret_cast<DWORD_PTR>(&probe));
                     }),
                     press(IDC_CANCEL)}));
    ASSERT_TRUE(probe.after.has_value());
    EXPECT_EQ(probe.before->apply, L"Retry");
    EXPECT_EQ(*probe.after, *probe.before) << "nothing queued, no ticket stored, no text changed";
    window->close_dialog();
    EXPECT_TRUE(window->was_cancelled()) << "Apply during the teardown accepts nothing";
    EXPECT_EQ(boxes.size(), 1u) << "the stage's failure, and nothing after it";
    window.reset();
    const std::string lines = trace();
    EXPECT_EQ(count_of(lines, "interrupt hr="), 1u);
    EXPECT_EQ(count_of(lines, "shutdown hr="), 1u);
}

// The teardown asks the engine to drop its work; an engine that cannot be asked must not leave a dialog
// that answers nothing any more, nor a run that never ends.
TEST_F(main_window, cancel_ends_the_run_even_where_the_engine_refuses_the_teardown_calls) {
    remake_with({{L"ZORVANE_STANDIN_NO_SERVICE", L"1"}});
    const auto give_up_at = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool frozen = false;
    // The last step runs only while the dialog is still there: then it no longer answers.
    run({ready(), press(IDC_CANCEL), [&](HWND) {
             if (std::chrono::steady_clock::now() < give_up_at)
                 return false;
             frozen = true;
             PostQuitMessage(1);
             return true;
         }});
    EXPECT_FALSE(frozen) << "Cancel closed the dialog";
    EXPECT_TRUE(window->was_cancelled());
    ASSERT_EQ(boxes.size(), 1u) << "the refusal is told once";
    EXPECT_EQ(boxes[0].text, L"A component failed with error code  80004001");
}

// A loop ended from outside (the host's own quit) leaves the teardown to the destructor, which must not
// let the refusal out: it would end the host.
TEST_F(main_window,
       a_dialog_left_to_its_destructor_goes_quietly_where_the_engine_refuses_the_teardown_calls) {
    remake_with({{L"ZORVANE_STANDIN_NO_SERVICE", L"1"}});
    ASSERT_TRUE(run({ready(), [](HWND) {
                         PostQuitMessage(0);
                         return true;
                     }}));
    window.reset();
    EXPECT_EQ(test_support::find_preview_dialog(), nullptr);
}

// What the preview puts on the screen at twice the image's size, read back from the screen itself after a
// repaint (the preview is drawn only on WM_PAINT, which a window capture would not see).
TEST_F(main_window,
       the_viewport_shows_the_frame_with_its_border_one_pixel_outside_and_the_background_beside_it) {
    constexpr COLORREF chosen = RGB(10, 200, 30);
    const auto zoomed = [this, asked = false](HWND) mutable {
        // The image at the viewport's top left; done once the canvas holds that render.
        if (!std::exchange(asked, true)) {
            window->background_colour = chosen;
            window->view.zoom = 2.0;
            window->view.pan_x = window->view.pan_y = 0;
            window->draw_picture(0);
            return false;
        }
        tessolux::preview_rect impact{};
        auto [release, dc] = tessolux::lock_canvas_dc(window->canvas, impact);
        release(dc);
        return impact.x == window->viewport.x && impact.width == std::min(window->viewport.width, 2 * width);
    };
    const auto repainted = [ticks = 0](HWND dialog) mutable {
        // The window system puts what was painted on the screen only as the thread goes on taking messages.
        if (ticks++ == 0)
            RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        return ticks > 10;
    };
    std::vector<COLORREF> shown;
    const auto read_screen = [&] {
        const tessolux::preview_rect port = window->viewport;
        RECT frame{};
        GetWindowRect(window->window_handle(), &frame);
        POINT corner{port.x, port.y};
        ClientToScreen(window->window_handle(), &corner);
        const filter_host::image shot = filter_host::grab_window(window->window_handle());
        for (const POINT p : {POINT{1, 1}, POINT{91, 61}, POINT{95, 63}, POINT{191, 127}, POINT{-1, 20},
                              POINT{0, 20}, POINT{port.width - 3, port.height - 3}}) {
            const int x = corner.x - frame.left + p.x, y = corner.y - frame.top + p.y;
            shown.push_back(RGB(shot.at(x, y, 0), shot.at(x, y, 1), shot.at(x, y, 2)));
        }
    };
    ASSERT_TRUE(run({ready(), zoomed, repainted, act(read_screen), press(IDC_CANCEL)}));
    const reference::picture picture = enhanced();
    const auto pixel = [&picture](int x, int y) {
        const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
        const bool bgr = picture.format == zorvane::pixel_format::bgr24;
        return RGB(picture.sample(at + (bgr ? 2 : 0)), picture.sample(at + 1),
                   picture.sample(at + (bgr ? 0 : 2)));
    };
    EXPECT_EQ(shown, (std::vector<COLORREF>{pixel(0, 0), pixel(45, 30), pixel(47, 31), pixel(95, 63),
                                            GetSysColor(COLOR_ACTIVEBORDER), pixel(0, 10), chosen}))
        << "four pixels of the frame; left of and on the viewport's left edge; beside the image";
}

// The stage chain through the dialog --------------------------------------------------------------------

// One filter setting, stored before the dialog is made, which loads it.
struct stored_setting {
    const wchar_t* name;
    std::uint32_t value;
};

// What noise reduction, red-eye removal, the film effect and grain send the engine, as the engine saw it,
// from the settings the dialog loaded and the circles the user drew. The texts are written out from those
// values: slider x 0.1 or x 0.01 with six decimals, sizes 2 x slider + 1 and 2 x slider + 3, a circle of
// radius 0 as 1. The film list holds the four presets without intensity first, then the others, each
// group sorted by its display texts: entry 3 is "Polapan", 4 "1977", 5 "A Optima".
TEST_F(main_window, the_stages_send_the_engine_the_values_the_sliders_hold) {
    using lines = std::vector<std::string>;
    const struct {
        const char* what;
        std::vector<stored_setting> settings;
        std::vector<tessolux::eye_circle> circles;
        std::vector<std::pair<const char*, lines>> sent;
    } cases[] = {
        {"noise reduction, two circles, an entry with intensity, fat grain",
         {{L"ActiveFilters", 2 | 8 | 32 | 64},
          {L"ReduceNoiseIntensity", 40},
          {L"ReduceNoiseIntensityColor", 60},
          {L"ReduceNoiseBlending", 55},
          {L"ReduceNoiseTileSize", 4},
          {L"ReduceNoiseSearchSize", 5},
          {L"DarkenIntensity", 120},
          {L"DarkenBorder", 7},
          {L"CurrentEffectFilter", 5},
          {L"EffectIntensity", 35},
          {L"CurrentGrainFilter", 1},
          {L"GrainIntensity", 45}},
         {{10, 12, 4}, {30, 20, 0}},
         {{"reduce-noise",
           {"add_node reduce-noise shared=0", "set reduce-intensity=4.000000", "set intensity-color=6.000000",
            "set tile-size=9", "set search-size=13", "set blend-intensity=0.550000", "commit"}},
          {"remove-red-eyes",
           {"add_node remove-red-eyes shared=1", "add_child Circle", "set X=10", "set Y=12", "set radius=4",
            "commit", "add_child Circle", "set X=30", "set Y=20", "set radius=1", "commit",
            "set border-width=7", "set intensity=1.200000", "commit"}},
          {"AGFAOPTIMA", {"add_node AGFAOPTIMA shared=0", "set intensity=0.350000", "commit"}},
          {"grain-fat", {"add_node grain-fat shared=0", "set intensity=0.450000", "commit"}}}},
        {"the bilateral filter, one circle, the last entry without intensity, fractal grain",
         {{L"ActiveFilters", 2 | 8 | 32 | 64},
          {L"DenoiseBilateral", 1},
          {L"ReduceNoiseIntensity", 25},
          {L"ReduceNoiseTileSize", 3},
          {L"ReduceNoiseBlending", 75},
          {L"DarkenIntensity", 0},
          {L"DarkenBorder", 0},
          {L"CurrentEffectFilter", 3},
          {L"CurrentGrainFilter", 2},
          {L"GrainIntensity", 80}},
         {{5, 6, 9}},
         {{"bilateral-filter",
           {"add_node bilateral-filter shared=0", "set val-square-sigma=100", "set pos-square-sigma=25",
            "set radius=3", "set blending=0.750000", "commit"}},
          {"remove-red-eyes",
           {"add_node remove-red-eyes shared=1", "add_child Circle", "set X=5", "set Y=6", "set radius=9",
            "commit", "set border-width=0", "set intensity=0.000000", "commit"}},
          {"POLAPAN", {"add_node POLAPAN shared=0", "commit"}},
          {"grain-fractal", {"add_node grain-fractal shared=0", "set intensity=0.800000", "commit"}}}},
        {"the first entry with intensity, regular grain",
         {{L"ActiveFilters", 32 | 64},
          {L"CurrentEffectFilter", 4},
          {L"EffectIntensity", 100},
          {L"CurrentGrainFilter", 0},
          {L"GrainIntensity", 1}},
         {},
         {{"YR1977", {"add_node YR1977 shared=0", "set intensity=1.000000", "commit"}},
          {"grain-regular", {"add_node grain-regular shared=0", "set intensity=0.010000", "commit"}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        window.reset();
        DeleteFileW(trace_path.c_str());
        test_support::delete_settings(key);
        for (const stored_setting& setting : c.settings)
            test_support::write_setting(key, setting.name, setting.value);
        open();
        // As the circle tool adds them: each one restarts the chain at red-eye removal.
        ASSERT_TRUE(run({act([&] {
                             for (const tessolux::eye_circle& circle : c.circles) {
                                 window->controls->push_eye_circle(circle.x, circle.y, circle.radius,
                                                                   window->controls->eyes,
                                                                   IDC_REDEYE_HISTORY);
                                 window->restart_chain(10, tessolux::remove_red_eyes);
                             }
                         }),
                         ready(), press(IDC_CANCEL)}));
        EXPECT_TRUE(boxes.empty());
        for (const auto& [node, expected] : c.sent)
            EXPECT_EQ(test_support::last_run_node(trace_path, node), expected) << node;
    }
}

// A stage switched off, or left with nothing to do, no longer reaches the picture: the first two empty
// their slots, so that the next stage reads the source again and an idle chain shows it; a film or grain
// result is no longer shown. What Apply writes is compared with the engine's enhancement of the source.
TEST_F(main_window, a_stage_switched_off_or_without_work_no_longer_reaches_the_applied_picture) {
    const std::vector<std::uint8_t> original = reference::read_pixels(source->image.get()).bytes;
    const std::vector<std::uint8_t> enhanced_source = enhanced().bytes;
    constexpr int click = -1;
    const struct {
        const char* what;
        std::uint32_t active;
        int control, slider_value;
        const std::vector<std::uint8_t>& expected;
    } cases[] = {
        {"noise reduction switched off", 2 | 4, IDC_DENOISE_ENABLE, click, enhanced_source},
        {"noise reduction without blending", 2 | 4, IDC_DENOISE_BLENDING, 0, enhanced_source},
        {"noise reduction alone switched off", 2, IDC_DENOISE_ENABLE, click, original},
        {"natural enhancement alone switched off", 4, IDC_ENHANCE_ENABLE, click, original},
        {"the film effect switched off", 4 | 32, IDC_EFFECT_ENABLE, click, enhanced_source},
        {"grain switched off", 4 | 64, IDC_GRAIN_ENABLE, click, enhanced_source},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        window.reset();
        test_support::delete_settings(key);
        test_support::write_setting(key, L"ActiveFilters", c.active);
        ASSERT_TRUE(run({ready(), act([&] {
                             if (c.slider_value == click)
                                 click_panel_check(c.control);
                             else
                                 move_slider(c.control, c.slider_value);
                         }),
                         ready(), press(IDC_APPLY)}));
        EXPECT_TRUE(boxes.empty());
        EXPECT_EQ(applied(), c.expected);
    }
}

// The threads of this process, as the system lists them.
std::size_t process_threads() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    std::size_t count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    CloseHandle(snapshot);
    return count;
}

// The preview canvas is made after the workers have started. Its failure takes the workers and the dialog
// down before it reaches the caller, unchanged also where the engine refuses the teardown's own calls.
TEST_F(main_window, a_dialog_that_fails_after_its_workers_started_leaves_no_thread_and_no_window_behind) {
    for (const bool refusing : {false, true}) {
        SCOPED_TRACE(refusing ? "an engine that refuses the teardown's calls" : "an engine that takes them");
        remake_with({{L"ZORVANE_STANDIN_FAIL_MEMORY_IMAGE", L"1"},
                     {L"ZORVANE_STANDIN_NO_SERVICE", refusing ? L"1" : nullptr}});
        const std::size_t threads = process_threads();
        std::string reported;
        try {
            open();
        } catch (const std::bad_alloc& failure) {
            reported = failure.what();
        } catch (const std::exception& failure) {
            reported = std::string("another failure: ") + failure.what();
        }
        EXPECT_NE(reported.find("forced by ZORVANE_STANDIN_FAIL_MEMORY_IMAGE"), std::string::npos)
            << reported;
        EXPECT_EQ(process_threads(), threads);
        EXPECT_EQ(test_support::find_preview_dialog(), nullptr);
        source = {};
        result = {};
        engine = {};
        EXPECT_EQ(test_support::live_engine_objects(), 0);
    }
}

} // namespace
