// The main dialog over the stand-in engine, built in this process and played by a dialog script: the
// chain's failures and their Retry, F8, Apply against a registry that refuses the settings and against a
// stage job that still writes, slider bursts, the teardown (also against an engine that refuses its
// service calls), and the timer.
#include <windows.h>
#include <commctrl.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "main-window-world.h"
#include "plugin/worker-lanes.h"
#include "reference-engine.h"

namespace {

using test_support::press;
using test_support::status_text;

class main_window : public test_support::main_window_world {
protected:
    // The engine's test hooks, read when the world makes its engine: the trace into a file of this test's
    // own, and whatever the test asks for.
    void SetUp() override {
        DeleteFileW(trace_path.c_str());
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", trace_path.c_str());
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_FAIL_NODE", failing_node);
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_BAND_DELAY_MS", band_delay_ms);
        main_window_world::SetUp();
        for (const wchar_t* hook :
             {L"ZORVANE_STANDIN_TRACE", L"ZORVANE_STANDIN_FAIL_NODE", L"ZORVANE_STANDIN_BAND_DELAY_MS"})
            SetEnvironmentVariableW(hook, nullptr);
    }
    void TearDown() override {
        main_window_world::TearDown();
        DeleteFileW(trace_path.c_str());
    }

    // The engine's calls so far, one line each.
    std::vector<std::string> trace() const {
        std::vector<std::string> lines;
        std::ifstream file(std::string(trace_path.begin(), trace_path.end()));
        for (std::string line; std::getline(file, line);)
            lines.push_back(line);
        return lines;
    }
    static std::size_t count_of(const std::vector<std::string>& lines, const std::string& part,
                                std::size_t from = 0) {
        std::size_t n = 0;
        for (std::size_t i = from; i < lines.size(); ++i)
            n += lines[i].find(part) != std::string::npos ? 1 : 0;
        return n;
    }

    // The source picture enhanced by the engine itself as first-run settings ask.
    reference::picture enhanced_source(const wchar_t* intensity = L"0.700000") const {
        return reference::run(
            reference::read_pixels(source->image.get()),
            reference::natural_enhance(reference::segment_size_for(width, height), intensity));
    }
    reference::picture applied() const { return reference::read_pixels(result->image.get()); }

    // Steps.
    static test_support::dialog_script::step wait_for(std::function<bool()> condition) {
        return [condition = std::move(condition)](HWND) { return condition(); };
    }
    static std::wstring apply_text(HWND dialog) {
        wchar_t text[64] = {};
        GetDlgItemTextW(dialog, IDC_APPLY, text, 64);
        return text;
    }
    // The failure display: Apply reads "Retry" and can be pressed.
    static test_support::dialog_script::step wait_for_retry() {
        return [](HWND dialog) {
            return apply_text(dialog) == L"Retry" && IsWindowEnabled(GetDlgItem(dialog, IDC_APPLY));
        };
    }
    // The stage is in the engine: its text shows and the engine has reported progress short of the end,
    // so at least one delayed band of rows is still to come. Seen where the report reaches the progress
    // bar, before any other message of the dialog's runs.
    static bool inside_stage(HWND dialog, UINT stage_text, WPARAM position) {
        wchar_t text[128] = {};
        LoadStringW(nullptr, stage_text, text, 128);
        return position > 0 && position < 100 && status_text(dialog, 1) == text;
    }
    // Runs action once, at the first report that shows the stage inside the engine.
    void when_inside_stage(UINT stage_text, std::function<void()> action) {
        inside = {stage_text, std::move(action)};
    }
    static test_support::dialog_script::step wait_for_flag(const bool& flag) {
        return [&flag](HWND) { return flag; };
    }
    // F8, the engine interrupt: the key as it reaches the dialog's loop, which translates it through the
    // dialog's accelerators.
    void press_f8() { PostMessageW(window->cancel_button, WM_KEYDOWN, VK_F8, 1); }
    // Moves a slider of the panel as the user's drag ends.
    void move_slider(int id, int value) {
        const HWND panel = window->controls->window_handle();
        const HWND slider = GetDlgItem(panel, id);
        SendMessageW(slider, TBM_SETPOS, TRUE, value);
        SendMessageW(panel, WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(slider));
    }
    void click_panel_check(int id) {
        SendDlgItemMessageW(window->controls->window_handle(), id, BM_CLICK, 0, 0);
    }

    // The states the progress bar is told, in order (Wine's bar keeps none of its own), and the action
    // that waits for a stage to be inside the engine.
    void watch_progress_bar() {
        SetWindowSubclass(window->progress_bar, &watch_bar, 1, reinterpret_cast<DWORD_PTR>(this));
    }
    static LRESULT CALLBACK watch_bar(HWND bar, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                      DWORD_PTR test) {
        auto& self = *reinterpret_cast<main_window*>(test);
        if (message == PBM_SETSTATE)
            self.progress_states.push_back(wparam);
        if (message == PBM_SETPOS && self.inside.action &&
            inside_stage(GetParent(bar), self.inside.stage_text, wparam))
            std::exchange(self.inside.action, nullptr)();
        return DefSubclassProc(bar, message, wparam, lparam);
    }

    struct stage_action {
        UINT stage_text = 0;
        std::function<void()> action;
    };
    stage_action inside;
    const wchar_t* failing_node = nullptr;
    const wchar_t* band_delay_ms = nullptr;
    const std::wstring trace_path = L"main-window-trace-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    std::vector<WPARAM> progress_states;
};

TEST_F(main_window, cancel_after_the_first_preview_leaves_the_run_not_accepted) {
    ASSERT_TRUE(run({ready(), press(IDC_CANCEL)}));
    EXPECT_TRUE(window->was_cancelled());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(main_window, apply_after_the_first_preview_copies_the_engines_enhancement_into_the_result) {
    ASSERT_TRUE(run({ready(), press(IDC_APPLY)}));
    EXPECT_FALSE(window->was_cancelled());
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(applied().bytes, enhanced_source().bytes);
}

class failing_tilt_shift : public main_window {
protected:
    failing_tilt_shift() { failing_node = L"tilt-shift"; }
};

TEST_F(failing_tilt_shift, shows_one_box_per_failure_and_retry_until_the_stage_is_switched_off) {
    test_support::write_setting(key, L"ActiveFilters", 4 | 16);
    open();
    watch_progress_bar();
    ASSERT_TRUE(run({wait_for_retry(),
                     // Retry runs the whole chain again, which fails again.
                     press(IDC_APPLY), wait_for([this] { return progress_states.size() == 3; }),
                     wait_for_retry(), act([this] { click_panel_check(IDC_TILTSHIFT_ENABLE); }), ready(),
                     wait_for([this] { return apply_text(window->window_handle()) == L"Apply"; }),
                     press(IDC_APPLY)}));
    ASSERT_EQ(boxes.size(), 2u) << "one box per failed run";
    for (const test_support::message_box& box : boxes) {
        EXPECT_EQ(box.text, L"A component failed with error code  80004005");
        EXPECT_EQ(box.caption, L"A failure has occured");
    }
    EXPECT_EQ(progress_states, (std::vector<WPARAM>{PBST_ERROR, PBST_NORMAL, PBST_ERROR, PBST_NORMAL}));
    EXPECT_FALSE(window->was_cancelled());
    EXPECT_EQ(applied().bytes, enhanced_source().bytes) << "the enhancement alone once tilt-shift is off";
}

// Every band of rows of every engine run waits: a stage of the test's small picture takes four bands. The
// stage that the test catches in the engine starts after the first preview, from a slider: the dialog
// has settled then and sees the engine's progress as it comes.
class slow_stages : public main_window {
protected:
    slow_stages() { band_delay_ms = L"25"; }
};

TEST_F(slow_stages, f8_fails_the_running_stage_once_and_retry_then_completes) {
    open();
    watch_progress_bar();
    bool interrupted = false;
    ASSERT_TRUE(
        run({ready(), act([&] {
                 when_inside_stage(IDS_ENHANCE_RUNNING, [&] {
                     press_f8();
                     interrupted = true;
                 });
                 move_slider(IDC_ENHANCE_INTENSITY, 55);
             }),
             wait_for_flag(interrupted), wait_for_retry(), press(IDC_APPLY), ready(), press(IDC_APPLY)}));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"A component failed with error code  80004004");
    EXPECT_EQ(progress_states, (std::vector<WPARAM>{PBST_ERROR, PBST_NORMAL}));
    EXPECT_FALSE(window->was_cancelled());
    EXPECT_EQ(applied().bytes, enhanced_source(L"0.550000").bytes);
}

TEST_F(slow_stages,
       apply_right_after_switching_off_a_running_stage_waits_for_it_and_copies_the_shown_picture) {
    test_support::write_setting(key, L"ActiveFilters", 4 | 16);
    open();
    watch_progress_bar();
    bool inside_tilt_shift = false;
    ASSERT_TRUE(run({ready(), act([&] {
                         when_inside_stage(IDS_TILTSHIFT_RUNNING, [&] { inside_tilt_shift = true; });
                         move_slider(IDC_TILTSHIFT_BLUR, 30);
                     }),
                     wait_for_flag(inside_tilt_shift), act([this] {
                         // The switch ends the chain at once and enables Apply, while the superseded
                         // tilt-shift job still writes into the result image until its next band.
                         click_panel_check(IDC_TILTSHIFT_ENABLE);
                         ASSERT_TRUE(IsWindowEnabled(window->apply_button));
                         SendMessageW(window->window_handle(), WM_COMMAND, MAKEWPARAM(IDC_APPLY, BN_CLICKED),
                                      0);
                     })}));
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(window->was_cancelled());
    EXPECT_EQ(applied().bytes, enhanced_source().bytes) << "not a row of the abandoned tilt-shift";
}

TEST_F(slow_stages, cancel_while_a_stage_is_in_the_engine_ends_the_run_without_a_box) {
    open();
    watch_progress_bar();
    bool inside = false;
    ASSERT_TRUE(run({ready(), act([&] {
                         when_inside_stage(IDS_ENHANCE_RUNNING, [&] { inside = true; });
                         move_slider(IDC_ENHANCE_INTENSITY, 55);
                     }),
                     wait_for_flag(inside), press(IDC_CANCEL)}));
    EXPECT_TRUE(window->was_cancelled());
    EXPECT_TRUE(boxes.empty()) << "the interrupt that ends the stage is no failure to show";
    EXPECT_TRUE(progress_states.empty());
}

// The settings key's parent is volatile: the registry refuses to make the non-volatile settings key.
TEST_F(main_window, a_registry_that_refuses_the_settings_still_applies_and_shows_one_box_per_failed_save) {
    const std::wstring parent = L"volatile-" + std::to_wstring(GetCurrentProcessId());
    for (const bool autosave : {false, true}) {
        SCOPED_TRACE(autosave ? "automatic saving on" : "automatic saving off");
        HKEY volatile_key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (test_support::settings_root + L"\\" + parent).c_str(),
                                  0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &volatile_key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(volatile_key);
        key = parent + L"\\settings";
        ASSERT_TRUE(run({ready(), act([this, autosave] { window->autosave = autosave; }), press(IDC_APPLY)}));
        EXPECT_FALSE(window->was_cancelled()) << "the user's result is not lost to the registry";
        EXPECT_EQ(applied().bytes, enhanced_source().bytes);
        ASSERT_EQ(boxes.size(), autosave ? 2u : 1u) << "the window settings, and the filter settings";
        for (const test_support::message_box& box : boxes)
            EXPECT_EQ(box.text, L"An unknown error has occured!");
        window.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, (test_support::settings_root + L"\\" + parent).c_str());
    }
}

TEST_F(main_window, five_slider_changes_in_one_go_run_the_stage_once_with_the_last_value) {
    std::size_t before = 0;
    ASSERT_TRUE(run({ready(), act([&] {
                         before = trace().size();
                         for (const int value : {10, 20, 30, 40, 55})
                             move_slider(IDC_ENHANCE_INTENSITY, value);
                     }),
                     ready(), press(IDC_APPLY)}));
    const std::vector<std::string> lines = trace();
    EXPECT_EQ(count_of(lines, "name=\"natural-enhance\"", before), 1u);
    EXPECT_EQ(count_of(lines, "name=\"enhance-intensity\"", before), 1u);
    EXPECT_EQ(count_of(lines, "name=\"enhance-intensity\" value=\"0.550000\"", before), 1u);
    EXPECT_EQ(applied().bytes, enhanced_source(L"0.550000").bytes);
}

TEST_F(main_window, closing_twice_tears_down_once) {
    ASSERT_TRUE(run({ready(), press(IDC_APPLY)}));
    window->close_dialog();
    window.reset();
    const std::vector<std::string> lines = trace();
    EXPECT_EQ(count_of(lines, "interrupt hr="), 1u);
    EXPECT_EQ(count_of(lines, "shutdown hr="), 1u);
}

// Messages that arrive while the dialog is destroyed (Windows sends WM_CAPTURECHANGED then, Wine does
// not) reach handlers after the lanes are gone: they must start nothing.
// Calls every handler that could start work, once, when the dialog gets WM_DESTROY.
struct destroy_probe {
    tessolux::main_window::impl* dialog = nullptr;
    bool destroyed = false;

    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                      DWORD_PTR data) {
        auto& probe = *reinterpret_cast<destroy_probe*>(data);
        if (message == WM_DESTROY && !probe.destroyed) {
            probe.destroyed = true;
            tessolux::main_window::impl& dialog = *probe.dialog;
            dialog.on_capture_changed();
            dialog.on_mouse_move(10, 10, MK_LBUTTON);
            dialog.on_left_button_up();
            dialog.restart_chain(0, tessolux::reduce_noise);
            dialog.on_filter_changed(0, tessolux::tilt_shift);
            dialog.draw_picture(0);
            dialog.on_timer();
            SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_APPLY, BN_CLICKED), 0);
        }
        return DefSubclassProc(window, message, wparam, lparam);
    }
};

TEST_F(main_window, once_closing_has_begun_no_handler_starts_work) {
    destroy_probe state;
    std::size_t shut_down_at = 0;
    ASSERT_TRUE(run({ready(), act([&] {
                         state.dialog = window.get();
                         SetWindowSubclass(window->window_handle(), &destroy_probe::procedure, 1,
                                           reinterpret_cast<DWORD_PTR>(&state));
                     }),
                     press(IDC_CANCEL)}));
    ASSERT_TRUE(state.destroyed);
    EXPECT_TRUE(window->was_cancelled()) << "Apply during the teardown accepts nothing";
    EXPECT_TRUE(boxes.empty());
    const std::vector<std::string> lines = trace();
    for (std::size_t i = 0; i != lines.size(); ++i)
        if (lines[i].rfind("shutdown", 0) == 0)
            shut_down_at = i;
    EXPECT_EQ(count_of(lines, "create_chain", shut_down_at), 0u) << "no engine work after the teardown began";
}

// An engine root that answers everything but the service interface (interrupt, shutdown), as an older
// engine would: every other call goes to the registered engine.
class root_without_service final : public zorvane::IProcessor {
public:
    explicit root_without_service(zorvane::IProcessor* inner)
        : inner_(com_ptr<zorvane::IProcessor>::retain(inner)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != zorvane::IID_IProcessor)
            return E_NOINTERFACE;
        *object = static_cast<zorvane::IProcessor*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&references_));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE create_stream_provider(zorvane::IStreamProvider** provider) override {
        return inner_->create_stream_provider(provider);
    }
    HRESULT STDMETHODCALLTYPE unused_slot_4() override { return inner_->unused_slot_4(); }
    HRESULT STDMETHODCALLTYPE create_image_decoder(zorvane::IImageDecoder** decoder) override {
        return inner_->create_image_decoder(decoder);
    }
    HRESULT STDMETHODCALLTYPE create_shared_data(IUnknown** shared_data) override {
        return inner_->create_shared_data(shared_data);
    }
    HRESULT STDMETHODCALLTYPE unused_slot_7() override { return inner_->unused_slot_7(); }
    HRESULT STDMETHODCALLTYPE create_image(INT32 width, INT32 height, zorvane::pixel_format format,
                                           zorvane::IImage** image) override {
        return inner_->create_image(width, height, format, image);
    }
    HRESULT STDMETHODCALLTYPE unused_slot_9() override { return inner_->unused_slot_9(); }
    HRESULT STDMETHODCALLTYPE create_image_on_memory(BYTE* bits, INT32 width, INT32 height,
                                                     zorvane::pixel_format format, INT32 stride,
                                                     ULONG_PTR cookie, zorvane::IObjectManager* owner,
                                                     zorvane::IImage** image) override {
        return inner_->create_image_on_memory(bits, width, height, format, stride, cookie, owner, image);
    }
    HRESULT STDMETHODCALLTYPE wrap_input_memory(BYTE* data, INT32 width, INT32 height,
                                                zorvane::pixel_format format, INT32 stride,
                                                zorvane::IImage** image) override {
        return inner_->wrap_input_memory(data, width, height, format, stride, image);
    }
    HRESULT STDMETHODCALLTYPE wrap_output_memory(BYTE* data, INT32 width, INT32 height,
                                                 zorvane::pixel_format format, INT32 stride,
                                                 zorvane::IImage** image) override {
        return inner_->wrap_output_memory(data, width, height, format, stride, image);
    }
    HRESULT STDMETHODCALLTYPE create_scaled_copy(zorvane::IImage* image, INT32 size, VARIANT_BOOL keep_aspect,
                                                 DWORD flags, zorvane::IImage** copy) override {
        return inner_->create_scaled_copy(image, size, keep_aspect, flags, copy);
    }
    HRESULT STDMETHODCALLTYPE unused_slot_14() override { return inner_->unused_slot_14(); }
    HRESULT STDMETHODCALLTYPE unused_slot_15() override { return inner_->unused_slot_15(); }
    HRESULT STDMETHODCALLTYPE unused_slot_16() override { return inner_->unused_slot_16(); }
    HRESULT STDMETHODCALLTYPE unused_slot_17() override { return inner_->unused_slot_17(); }
    HRESULT STDMETHODCALLTYPE unused_slot_18() override { return inner_->unused_slot_18(); }
    HRESULT STDMETHODCALLTYPE create_chain(zorvane::IFilterChain** chain) override {
        return inner_->create_chain(chain);
    }

private:
    ~root_without_service() = default;
    com_ptr<zorvane::IProcessor> inner_;
    LONG references_ = 1;
};

// The teardown asks the engine to drop its work; an engine that cannot be asked must not leave a dialog
// that answers nothing any more, nor a run that never ends.
TEST_F(main_window, cancel_ends_the_run_even_where_the_engine_refuses_the_teardown_calls) {
    tessolux::engine_context older;
    older.root = com_ptr<zorvane::IProcessor>(new root_without_service(engine.root.get()));
    window = std::make_unique<tessolux::main_window::impl>(older, key, source, result, nullptr);
    ShowWindow(window->window_handle(), SW_SHOWNORMAL);
    const auto give_up_at = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool frozen = false;
    // The last step runs only while the dialog is still there.
    run({ready(), press(IDC_CANCEL), [&](HWND) {
             // Still there: the dialog no longer answers, so the test ends the loop itself.
             if (std::chrono::steady_clock::now() < give_up_at)
                 return false;
             frozen = true;
             PostQuitMessage(1);
             return true;
         }});
    EXPECT_FALSE(frozen) << "Cancel closed the dialog";
    EXPECT_EQ(test_support::find_preview_dialog(), nullptr);
    EXPECT_TRUE(window->was_cancelled());
    ASSERT_EQ(boxes.size(), 1u) << "the refusal is told once";
    EXPECT_EQ(boxes[0].text, L"A component failed with error code  80004001") << "the interface is not there";
}

// A loop ended from outside (the host's own quit) leaves the teardown to the destructor, which must not
// let the refusal out: it would end the host.
TEST_F(main_window,
       a_dialog_left_to_its_destructor_goes_quietly_where_the_engine_refuses_the_teardown_calls) {
    tessolux::engine_context older;
    older.root = com_ptr<zorvane::IProcessor>(new root_without_service(engine.root.get()));
    window = std::make_unique<tessolux::main_window::impl>(older, key, source, result, nullptr);
    ASSERT_TRUE(run({ready(), [](HWND) {
                         PostQuitMessage(0);
                         return true;
                     }}));
    window.reset();
    EXPECT_EQ(test_support::find_preview_dialog(), nullptr);
}

TEST_F(main_window, timer_ticks_count_up_and_render_only_while_an_outline_is_shown) {
    // A probe job's ticket tells how many jobs the preview lane has been given before it.
    std::uint32_t probe_cell = 0;
    const auto pushes = [&] {
        cpp::threading::job probe([](unsigned) {});
        return tessolux::queue_job(&probe_cell, window->preview_lane.thread, window->preview_lane.producer,
                                   probe);
    };
    const auto tick = [&] { SendMessageW(window->window_handle(), WM_TIMER, 0, 0); };
    ASSERT_TRUE(run({ready(), act([&] {
                         // First run: tilt-shift is off, so the focus marker has nothing to outline.
                         ASSERT_EQ(window->controls->active_filters & tessolux::tilt_shift, 0u);
                         window->view_flags =
                             tessolux::main_window::show_result | tessolux::main_window::show_focus_marker;
                         const std::uint32_t ticks = window->timer_ticks;
                         const std::uint32_t first = pushes();
                         for (int i = 0; i != 5; ++i)
                             tick();
                         EXPECT_EQ(window->timer_ticks, ticks + 5);
                         EXPECT_EQ(pushes(), first + 1) << "no render was queued";
                         window->view_flags |= tessolux::main_window::show_border;
                         const std::uint32_t second = pushes();
                         tick();
                         EXPECT_EQ(pushes(), second + 2) << "the image border is redrawn at every tick";
                     }),
                     press(IDC_CANCEL)}));
}

TEST_F(main_window, apply_has_the_focus_when_the_first_preview_is_ready) {
    HWND focused = nullptr;
    HWND apply = nullptr;
    // The dialog manager hands the focus to the control it remembers whenever the dialog is activated.
    ASSERT_TRUE(run({ready(), act([&] {
                         SetForegroundWindow(window->window_handle());
                         focused = GetFocus();
                         apply = GetDlgItem(window->window_handle(), IDC_APPLY);
                     }),
                     press(IDC_CANCEL)}));
    EXPECT_EQ(focused, apply);
}

} // namespace
