// The region tools on the main dialog, built in this process over the stand-in engine and played from
// inside its loop with posted pointer messages. The stand-in's trace shows what the stages ran with.
#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bounded-wait.h"
#include "host/dialog-driver.h"
#include "host/filter-host.h"
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

// Out of every dialog's way, where no move of the real pointer reaches the dialog.
void pointer_to_corner() {
    SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
}

// What the screen shows of a window's client rectangle, as rows of RGB.
std::vector<COLORREF> screen_of(HWND window, RECT area) {
    const filter_host::image shot = filter_host::grab_window(GetAncestor(window, GA_ROOT));
    RECT frame{};
    GetWindowRect(GetAncestor(window, GA_ROOT), &frame);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&area), 2);
    std::vector<COLORREF> seen;
    for (int y = area.top; y != area.bottom; ++y)
        for (int x = area.left; x != area.right; ++x)
            seen.push_back(RGB(shot.at(x - frame.left, y - frame.top, 0),
                               shot.at(x - frame.left, y - frame.top, 1),
                               shot.at(x - frame.left, y - frame.top, 2)));
    return seen;
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
        pointer_to_corner();
    }
    void TearDown() override {
        pointer_to_corner();
        main_window_world::TearDown();
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
    step leave() {
        return act([this] { PostMessageW(window->window_handle(), WM_MOUSELEAVE, 0, 0); });
    }
    // The real pointer over image pixel (x, y); the system then moves it there for the dialog too.
    step pointer_over(int x, int y) {
        return act([=, this] {
            POINT at = client_of(x, y);
            ClientToScreen(window->window_handle(), &at);
            SetCursorPos(at.x, at.y);
        });
    }
    // The cursor shown with the real pointer at client point at, as the system asks for it over window
    // (the dialog or a child of it) with that hit-test code; the pointer goes back out of the way.
    HCURSOR cursor_shown(POINT at, HWND over, UINT hit_test) {
        ClientToScreen(window->window_handle(), &at);
        SetCursorPos(at.x, at.y);
        SetCursor(nullptr);
        SendMessageW(window->window_handle(), WM_SETCURSOR, reinterpret_cast<WPARAM>(over),
                     MAKELPARAM(hit_test, WM_MOUSEMOVE));
        const HCURSOR shown = GetCursor();
        pointer_to_corner();
        return shown;
    }
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
        // The bottom-right corner of 90 x 60 with Shift to 60 x 50: the 3 : 2 of the start keeps the width
        // and cuts the height to 60 x 2 / 3.
        {{move(90, 60), down(90, 60), move(60, 50, MK_LBUTTON | MK_SHIFT), up(60, 50)}, {"0 0 60 40"}},
        // The pointer leaving the dialog in the middle of a band ends nothing: the capture does.
        {{band_mode, down(10, 8), move(25, 20, MK_LBUTTON), leave(), move(40, 30, MK_LBUTTON), up(40, 30)},
         {"10 8 30 22"}},
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
    const auto shown_at = [&](int x, int y, HCURSOR& shown) {
        return act([&, x, y] { shown = cursor_shown(client_of(x, y), window->window_handle(), HTCLIENT); });
    };
    ASSERT_TRUE(run({ready(), show_at_zoom_2(), move(32, 30), shown_at(32, 30, over_border),
                     // the brush's mode: a Shift press over the border pans
                     click_panel(IDC_REDEYE_DRAW), move(32, 30), down(32, 30, MK_SHIFT),
                     move(52, 30, MK_LBUTTON | MK_SHIFT), up(52, 30), pan(),
                     // no tool, tilt-shift off: the hidden border is no handle
                     click_panel(IDC_REDEYE_DRAW), click_panel(IDC_TILTSHIFT_ENABLE), move(52, 30),
                     shown_at(52, 30, tilt_shift_off), down(52, 30), move(42, 30, MK_LBUTTON), up(42, 30),
                     pan(), ready(), press(IDC_CANCEL)}));
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
                     leave(), move(40, 20, MK_LBUTTON), act([&] {
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
TEST_F(region_tools, a_capture_that_ends_after_a_close_in_the_middle_of_a_drag_starts_nothing) {
    with_stages(tilt);
    std::ptrdiff_t runs_at_close = -1;
    ASSERT_TRUE(run({ready(), show_at_zoom_2(), click_panel(IDC_TILTSHIFT_SELECT), move(10, 8), down(10, 8),
                     move(40, 30, MK_LBUTTON), act([&] { runs_at_close = runs_of("tilt-shift"); }),
                     press(IDC_CANCEL)}));
    window->on_capture_changed();
    EXPECT_EQ(runs_of("tilt-shift"), runs_at_close) << "nothing starts after the close";
}

// The dialog's class is every dialog's of the process: the host's, the colour chooser's, the hotkey
// dialog's. Each tool shows its cursor over the preview alone and leaves the class as it was.
TEST_F(region_tools, each_tool_shows_its_cursor_over_the_preview_alone_and_never_changes_the_dialog_class) {
    with_stages(tilt | red_eye);
    const HCURSOR original = dialog_class_cursor();
    // The focused rectangle is the middle third, 32, 21, 32 x 21: its right border on image column 64, its
    // bottom one on row 42.
    const struct {
        const char* name;
        std::vector<step> before;
        POINT at; // image pixel
        LPCWSTR cursor;
        bool over_child = false;
        UINT hit_test = HTCLIENT;
    } cases[] = {
        {"a side of the focused rectangle", {move(32, 30)}, {32, 30}, IDC_SIZEWE},
        {"the top side", {move(48, 21)}, {48, 21}, IDC_SIZENS},
        {"the bottom-right corner", {move(64, 42)}, {64, 42}, IDC_SIZENWSE},
        {"the top-right corner", {move(64, 21)}, {64, 21}, IDC_SIZENESW},
        {"a side with Ctrl", {move(48, 21, MK_CONTROL)}, {48, 21}, IDC_SIZEALL},
        {"the band's tool", {click_panel(IDC_TILTSHIFT_SELECT), move(20, 20)}, {20, 20}, IDC_CROSS},
        {"the band's tool with Shift", {move(20, 20, MK_SHIFT)}, {20, 20}, IDC_ARROW},
        {"the brush",
         {click_panel(IDC_TILTSHIFT_SELECT), click_panel(IDC_REDEYE_DRAW), move(20, 20)},
         {20, 20},
         MAKEINTRESOURCEW(32631)},
        // Outside the viewport, over a child or on the frame, every dialog's own cursor.
        {"the brush beside the preview", {move(20, 20)}, {-6, 20}, IDC_ARROW},
        {"the brush, asked for a child", {move(20, 20)}, {20, 20}, IDC_ARROW, true},
        {"the brush, asked for the frame", {move(20, 20)}, {20, 20}, IDC_ARROW, false, HTCAPTION},
    };
    std::vector<step> steps{ready(), show_at_zoom_2()};
    for (const auto& c : cases) {
        steps.insert(steps.end(), c.before.begin(), c.before.end());
        steps.push_back(act([&] {
            SCOPED_TRACE(c.name);
            const HWND over = c.over_child ? window->status_bar : window->window_handle();
            EXPECT_EQ(cursor_shown(client_of(c.at.x, c.at.y), over, c.hit_test),
                      LoadCursorW(nullptr, c.cursor));
            EXPECT_EQ(dialog_class_cursor(), original);
        }));
    }
    steps.push_back(press(IDC_CANCEL));
    ASSERT_TRUE(run(std::move(steps)));
}

// The real pointer goes over the preview in the brush's tool, then straight onto the panel, where the
// dialog sees no move of its own: the system's word that it left takes the brush's ring off the screen,
// and the statistics go grey (no black text, no channel values).
TEST_F(region_tools, the_brush_ring_and_the_black_statistics_go_when_the_pointer_leaves_onto_the_panel) {
    with_stages(red_eye);
    // Round image pixel (45, 30), where the 10-pixel ring shows, and the status bar's statistics part.
    RECT ring{}, statistics{};
    std::vector<COLORREF> without_brush, last_seen;
    const auto ring_area = [&] { return screen_of(window->window_handle(), ring); };
    const auto black_in_statistics = [&] {
        return std::ranges::count(screen_of(window->status_bar, statistics), RGB(0, 0, 0));
    };
    std::ptrdiff_t black_over_image = -1, black_after = -1, black_after_command = -1;
    const bool ran =
        run({ready(), show_at_zoom_2(), click_panel(IDC_REDEYE_DRAW), act([&] {
                 window->view_flags |= tessolux::main_window::show_pointer_stats;
                 const POINT centre = client_of(45, 30);
                 ring = {centre.x - 12, centre.y - 12, centre.x + 13, centre.y + 13};
                 const tessolux::preview_rect part = window->status_part2;
                 statistics = {part.x, part.y, part.x + part.width, part.y + part.height};
             }),
             // The picture without the brush, once the render at zoom 2 has reached the screen and stays.
             [&](HWND) {
                 tessolux::preview_rect impact{};
                 auto [release, canvas_dc] = tessolux::lock_canvas_dc(window->canvas, impact);
                 release(canvas_dc);
                 if (impact.width != 2 * width)
                     return false;
                 without_brush = std::exchange(last_seen, ring_area());
                 return without_brush == last_seen;
             },
             pointer_over(45, 30), [&](HWND) { return ring_area() != without_brush; },
             // The statistics of the bright square, in black, once the status bar has painted them.
             [&](HWND) { return (black_over_image = black_in_statistics()) > 0; }, act([&] {
                 RECT area{};
                 GetWindowRect(panel(), &area);
                 SetCursorPos((area.left + area.right) / 2, (area.top + area.bottom) / 2);
             }),
             [&](HWND) { return ring_area() == without_brush; },
             [&](HWND) { return (black_after = black_in_statistics()) == 0; },
             // A command that refreshes the view brings back no values of where the pointer was.
             act([&] {
                 // F3 twice: the statistics off and on again.
                 for (int i = 0; i != 2; ++i)
                     SendMessageW(window->window_handle(), WM_COMMAND, ID_SHOW_POINTER_STATS, 0);
             }),
             // The screen shows what was painted only as the thread goes on taking messages.
             [&, ticks = 0](HWND) mutable { return ++ticks > 10; },
             act([&] { black_after_command = black_in_statistics(); }), press(IDC_CANCEL)},
            std::chrono::seconds(20));
    EXPECT_TRUE(ran) << "the ring or the black statistics stayed after the pointer left";
    EXPECT_GT(black_over_image, 0);
    EXPECT_EQ(black_after, 0);
    EXPECT_EQ(black_after_command, 0);
}

// A click with the brush is one circle, however the pointer trembles at once after it: one undo takes it
// back.
TEST_F(region_tools,
       a_press_of_the_brush_with_a_small_move_at_once_adds_one_circle_that_one_undo_takes_back) {
    with_stages(red_eye);
    std::wstring after_click, after_undo;
    // Press and move in one step, well within the half second that would let a second circle in.
    const step click_and_tremble = act([this] {
        const HWND dialog = window->window_handle();
        const POINT pressed = client_of(20, 20), moved = client_of(22, 21); // 5 image pixels squared away
        SendMessageW(dialog, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(pressed.x, pressed.y));
        SendMessageW(dialog, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(moved.x, moved.y));
    });
    ASSERT_TRUE(
        run({ready(), show_at_zoom_2(), click_panel(IDC_REDEYE_DRAW), move(20, 20), click_and_tremble,
             up(22, 21), ready(), act([&] { after_click = control_text(panel(), IDC_REDEYE_HISTORY); }),
             test_support::send_command(ID_UNDO_CIRCLE),
             act([&] { after_undo = control_text(panel(), IDC_REDEYE_HISTORY); }), press(IDC_CANCEL)}));
    EXPECT_EQ(after_click, L"# of circles:\t1\r\n# of redos:\t0");
    EXPECT_EQ(after_undo, L"# of circles:\t0\r\n# of redos:\t1");
}

// While a stage job holds the image, the readout waits for the next tick with one retry, however many
// moves come: the dialog goes on taking its timers meanwhile. Whether it does is seen from another thread,
// which gives the image back once the script has come through, or after the bound when the dialog's own
// queue keeps it from its timers; either way the run goes on to its end and says what happened.
TEST_F(region_tools, a_held_image_delays_the_pointer_readout_to_the_next_tick_without_flooding_the_queue) {
    with_stages(0);
    com_ptr<zorvane::IImageData> held;
    ASSERT_GE(open().source_slot->image->QueryInterface(__uuidof(zorvane::IImageData), held.put_void()), 0);
    using event = cpp::unique_any<HANDLE, &CloseHandle>;
    const event moves_posted(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const event came_through(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const auto hold = [&](HWND) { return SUCCEEDED(held->try_acquire()); };
    // More moves than the window's task queue holds, through the dialog's own message handling.
    const auto moves = [&] {
        const POINT at = client_of(45, 30);
        for (int i = 0; i != 1500; ++i)
            PostMessageW(window->window_handle(), WM_MOUSEMOVE, 0, MAKELPARAM(at.x, at.y));
        SetEvent(moves_posted.get());
    };
    // The script's timer comes only once the dialog's queue is empty: all moves taken, and no retry
    // chasing its own tail.
    std::wstring while_held = L"not read";
    const auto after_moves = [&] {
        while_held = window->pointer_text;
        SetEvent(came_through.get());
    };
    bool starved = false;
    std::thread watcher([&] {
        if (WaitForSingleObject(moves_posted.get(), 120'000) != WAIT_OBJECT_0)
            return;
        starved =
            WaitForSingleObject(came_through.get(),
                                static_cast<DWORD>(std::chrono::milliseconds(test_support::bound).count())) !=
            WAIT_OBJECT_0;
        held->release();
    });
    // The original with the readout and nothing else, so that no tick renders it.
    const bool ran =
        run({ready(), show_at_zoom_2(),
             act([&] { window->view_flags = tessolux::main_window::show_pointer_stats; }), hold, act(moves),
             act(after_moves), [&](HWND) { return !window->pointer_text.empty(); }, press(IDC_CANCEL)});
    watcher.join();
    EXPECT_TRUE(ran);
    EXPECT_FALSE(starved) << "the dialog took no timer while the image was held";
    EXPECT_TRUE(boxes.empty()) << "a failure was shown";
    EXPECT_EQ(while_held, L"") << "read while the image was held";
    // The photo's bright square, 8-bit RGB with no alpha, on the image.
    const std::wstring* c = window->channel_texts;
    EXPECT_EQ(window->pointer_text + L": " + c[0] + L" " + c[1] + L" " + c[2] + L" " + c[3] + L"|" +
                  (window->pointer_inside ? L"in" : L"out"),
              L"Current Position:  45, 30: 250 240 230 |in");
}

} // namespace
