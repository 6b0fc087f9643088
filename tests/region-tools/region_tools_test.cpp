// The region tools on the main dialog, built in this process over the stand-in engine and played from
// inside its loop with posted pointer messages. The stand-in's trace shows what the stages ran with.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "main-window-world.h"
#include "standin-trace.h"

namespace {

using step = test_support::dialog_script::step;
using test_support::press;

constexpr std::uint32_t red_eye = tessolux::remove_red_eyes;
constexpr std::uint32_t tilt = tessolux::tilt_shift;

std::wstring control_text(HWND window, int id) {
    wchar_t text[512] = {};
    GetDlgItemTextW(window, id, text, 512);
    return text;
}

// The main dialog is of the system's dialog class, which every dialog and message box of the host shares.
HCURSOR dialog_class_cursor() {
    WNDCLASSEXW dialog_class{};
    dialog_class.cbSize = sizeof dialog_class;
    GetClassInfoExW(nullptr, WC_DIALOG, &dialog_class);
    return dialog_class.hCursor;
}

class region_tools : public test_support::main_window_world {
protected:
    void SetUp() override {
        DeleteFileW(trace_path);
        // The stand-in reads its hooks when the engine's root is made, in the world's set-up.
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", trace_path);
        main_window_world::SetUp();
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", nullptr);
        // The real pointer stays away from the dialog: only the posted moves reach it.
        SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
    }

    void with_stages(std::uint32_t active) { test_support::write_setting(key, L"ActiveFilters", active); }
    HWND panel() const { return window->controls->window_handle(); }

    // The 96 x 64 photo at zoom 2 from the viewport's corner: image pixel (x, y) lies under client point
    // viewport + (2x + 1, 2y + 1).
    step show_at_zoom_2() {
        return act([this] {
            window->view = {0, 0, 2.0, 0, 0, 1};
            window->draw_picture(0);
        });
    }
    POINT client_of(int x, int y) const {
        return {window->viewport.x + 2 * x + 1, window->viewport.y + 2 * y + 1};
    }
    step post(UINT message, int x, int y, WPARAM keys = 0) {
        return act([=, this] {
            const POINT at = client_of(x, y);
            PostMessageW(window->window_handle(), message, keys, MAKELPARAM(at.x, at.y));
        });
    }
    step move(int x, int y, WPARAM keys = 0) { return post(WM_MOUSEMOVE, x, y, keys); }
    step down(int x, int y, WPARAM keys = 0) { return post(WM_LBUTTONDOWN, x, y, keys | MK_LBUTTON); }
    step up(int x, int y) { return post(WM_LBUTTONUP, x, y); }
    // The wheel's message carries the pointer in screen coordinates.
    step wheel(short delta, WPARAM keys = 0) {
        return act([=, this] {
            POINT at = client_of(48, 32);
            ClientToScreen(window->window_handle(), &at);
            SendMessageW(window->window_handle(), WM_MOUSEWHEEL, MAKEWPARAM(keys, delta),
                         MAKELPARAM(at.x, at.y));
        });
    }
    step click_panel(int id) {
        return act([this, id] { SendMessageW(GetDlgItem(panel(), id), BM_CLICK, 0, 0); });
    }

    // The values set on each child node of that name, in order, as "v1 v2 ...": the plug-in sets a
    // child's values right after adding it.
    std::vector<std::string> children(const std::string& name) const {
        std::vector<std::string> found;
        bool in_child = false;
        for (const std::string& line : test_support::read_trace(trace_path)) {
            in_child = line == "add_child " + name || (in_child && line.starts_with("set "));
            if (line == "add_child " + name)
                found.emplace_back();
            else if (in_child)
                found.back() += (found.back().empty() ? "" : " ") + line.substr(line.find('=') + 1);
        }
        return found;
    }
    std::ptrdiff_t runs_of(const std::string& node) const {
        return std::ranges::count_if(test_support::read_trace(trace_path), [&](const std::string& line) {
            return line.starts_with("add_node " + node + " ");
        });
    }

    static constexpr const wchar_t* trace_path = L"region-tools-trace.txt";
};

TEST_F(region_tools,
       each_focused_rectangle_gesture_hands_its_rectangle_inside_the_image_to_the_tilt_shift_stage) {
    with_stages(tilt);
    const step band_mode = click_panel(IDC_TILTSHIFT_SELECT);
    const struct {
        std::vector<step> gesture;
        std::vector<std::string> handed; // x y width height
    } cases[] = {
        {{band_mode, down(10, 8), move(25, 20, MK_LBUTTON), move(40, 30, MK_LBUTTON), up(40, 30)},
         {"10 8 30 22"}},
        {{band_mode, down(70, 50), up(70, 50)}, {"32 21 32 21"}}, // a click: the middle third
        // Its left border, on image column 32, dragged past its right one.
        {{move(32, 30), down(32, 30), move(80, 30, MK_LBUTTON), up(80, 30)}, {"63 21 1 21"}},
        {{band_mode, down(90, 60), move(200, 150, MK_LBUTTON), move(-30, -20, MK_LBUTTON), up(-30, -20)},
         {"0 0 90 60"}},
        // The bottom-right corner with Shift past the top-left one.
        {{move(90, 60), down(90, 60), move(-50, -50, MK_LBUTTON | MK_SHIFT), up(-50, -50)}, {"0 0 1 1"}},
    };
    std::vector<step> steps{ready(), show_at_zoom_2()};
    // Each gesture ends in one run of the stage, with its rectangle.
    for (const auto& c : cases) {
        steps.push_back(act([] { DeleteFileW(trace_path); }));
        steps.insert(steps.end(), c.gesture.begin(), c.gesture.end());
        steps.push_back(ready());
        steps.push_back(act([&] { EXPECT_EQ(children("focused-rect"), c.handed); }));
    }
    steps.push_back(press(IDC_CANCEL));
    ASSERT_TRUE(run(std::move(steps)));
}

// A press in a tool mode with Shift, or with tilt-shift off, pans: never a handle found before.
TEST_F(region_tools, a_press_never_drags_handles_that_are_not_offered) {
    with_stages(tilt | red_eye);
    HCURSOR over_border = nullptr, tilt_shift_off = nullptr;
    std::vector<double> pans;
    const auto pan = [&] { return act([&] { pans.push_back(window->view.pan_x); }); };
    ASSERT_TRUE(
        run({ready(), show_at_zoom_2(), move(32, 30), act([&] { over_border = dialog_class_cursor(); }),
             // the brush's mode: a Shift press over the border pans
             click_panel(IDC_REDEYE_DRAW), move(32, 30), down(32, 30, MK_SHIFT),
             move(52, 30, MK_LBUTTON | MK_SHIFT), up(52, 30), pan(),
             // no tool, tilt-shift off: the hidden border is no handle
             click_panel(IDC_REDEYE_DRAW), click_panel(IDC_TILTSHIFT_ENABLE), move(52, 30),
             act([&] { tilt_shift_off = dialog_class_cursor(); }), down(52, 30), move(42, 30, MK_LBUTTON),
             up(42, 30), pan(), ready(), press(IDC_CANCEL)}));
    EXPECT_EQ(over_border, LoadCursorW(nullptr, IDC_SIZEWE));
    EXPECT_EQ(tilt_shift_off, LoadCursorW(nullptr, IDC_ARROW));
    EXPECT_EQ(pans, (std::vector<double>{40, 20}));
    EXPECT_EQ(runs_of("tilt-shift"), 1) << "the first preview's only";
}

TEST_F(region_tools, a_far_move_adds_a_circle_at_once_and_one_red_eye_run_follows_the_release) {
    with_stages(red_eye);
    std::wstring history;
    std::ptrdiff_t runs_while_painting = -1;
    ASSERT_TRUE(run({ready(), show_at_zoom_2(), click_panel(IDC_REDEYE_DRAW), move(20, 20), down(20, 20),
                     move(40, 20, MK_LBUTTON), act([&] {
                         history = control_text(panel(), IDC_REDEYE_HISTORY);
                         runs_while_painting = runs_of("remove-red-eyes");
                     }),
                     up(40, 20), ready(), press(IDC_CANCEL)}));
    EXPECT_EQ(history, L"# of circles:\t2\r\n# of redos:\t0");
    EXPECT_EQ(runs_while_painting, 0);
    EXPECT_EQ(runs_of("remove-red-eyes"), 1);
    // The brush's 10 view pixels are 5 image pixels at zoom 2.
    EXPECT_EQ(children("Circle"), (std::vector<std::string>{"20 20 5", "40 20 5"}));
}

TEST_F(region_tools,
       the_wheel_zooms_without_a_tool_and_sizes_the_brush_within_its_bounds_in_the_red_eye_mode) {
    with_stages(red_eye);
    std::vector<std::wstring> seen; // the zoom, then the brush's radius
    const auto read = [&] {
        return act([&] {
            const std::wstring info = control_text(window->window_handle(), IDC_DYNAMIC);
            seen.push_back(info.substr(info.rfind(L'\t') + 1) + L" " +
                           control_text(panel(), IDC_REDEYE_RADIUS));
        });
    };
    // Every step's factor is e^(0.0005 x delta), at least 0.001 and at most 1000.
    ASSERT_TRUE(run({ready(), show_at_zoom_2(), // without a tool the wheel zooms and Shift does nothing
                     wheel(120), read(), wheel(120, MK_SHIFT), read(),
                     // in the red-eye mode it sizes the brush and Shift zooms
                     click_panel(IDC_REDEYE_DRAW), wheel(1200), read(), wheel(-120, MK_SHIFT), read(),
                     wheel(32767), wheel(32767), read(), wheel(-32768), wheel(-32768), read(), wheel(2400),
                     read(), press(IDC_CANCEL)}));
    // 10 view pixels; x e^0.6 = 18.2 at zoom 2.12 (8.6); 10000 at most; 1 at least, and 3.32 after it.
    EXPECT_EQ(seen,
              (std::vector<std::wstring>{L"212.4 % 10  ", L"212.4 % 10  ", L"212.4 % 9  ", L"200.0 % 9  ",
                                         L"200.0 % 5000  ", L"200.0 % 1  ", L"200.0 % 2  "}));
}

// Windows ends the capture while it destroys the capturing dialog; Wine does not, so the message comes
// by hand, after the close.
TEST_F(region_tools, the_dialog_class_has_its_own_cursor_again_after_a_close_in_the_middle_of_a_drag) {
    with_stages(tilt);
    const HCURSOR original = dialog_class_cursor();
    HCURSOR in_band_mode = nullptr;
    std::ptrdiff_t runs_at_close = -1;
    ASSERT_TRUE(
        run({ready(), show_at_zoom_2(), click_panel(IDC_TILTSHIFT_SELECT), move(10, 8),
             act([&] { in_band_mode = dialog_class_cursor(); }), down(10, 8), move(40, 30, MK_LBUTTON),
             act([&] { runs_at_close = runs_of("tilt-shift"); }), press(IDC_CANCEL)}));
    window->on_capture_changed();
    EXPECT_EQ(in_band_mode, LoadCursorW(nullptr, IDC_CROSS));
    EXPECT_EQ(dialog_class_cursor(), original);
    EXPECT_EQ(runs_of("tilt-shift"), runs_at_close) << "nothing starts after the close";
}

TEST_F(region_tools, a_held_image_delays_the_pointer_readout_to_the_next_tick_without_flooding_the_queue) {
    with_stages(0);
    com_ptr<zorvane::IImageData> held;
    ASSERT_GE(open().source_slot->image->QueryInterface(__uuidof(zorvane::IImageData), held.put_void()), 0);
    const auto hold = [&](HWND) { return SUCCEEDED(held->try_acquire()); };
    // More moves than the window's task queue holds, while the engine holds the image.
    const auto moves = [&] {
        const POINT at = client_of(45, 30);
        for (int i = 0; i != 1500; ++i)
            window->on_mouse_move(at.x, at.y, 0);
        EXPECT_EQ(window->pointer_text, L"");
        held->release();
    };
    // The original with the readout and nothing else, so that no tick renders it.
    ASSERT_TRUE(run({ready(), show_at_zoom_2(),
                     act([&] { window->view_flags = tessolux::main_window::show_pointer_stats; }), hold,
                     act(moves), [&](HWND) { return !window->pointer_text.empty(); }, press(IDC_CANCEL)}));
    // The photo's bright square, 8-bit RGB with no alpha, on the image.
    const std::wstring* c = window->channel_texts;
    EXPECT_EQ(window->pointer_text + L": " + c[0] + L" " + c[1] + L" " + c[2] + L" " + c[3] + L"|" +
                  (window->pointer_inside ? L"in" : L"out"),
              L"Current Position:  45, 30: 250 240 230 |in");
}

} // namespace
