// The region tools on the main dialog, built in this process over the stand-in engine and played from
// inside its loop with posted pointer messages. The stand-in's trace shows what the stages ran with.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <windowsx.h>

#include <gtest/gtest.h>

#include "main-window-world.h"

namespace {

using tessolux::main_window::impl;
using test_support::press;

// The 96 x 64 photo is shown at zoom 2 from the viewport's top-left corner: image pixel (x, y) covers
// client pixels viewport + (2x, 2y) to viewport + (2x + 1, 2y + 1).
constexpr double test_zoom = 2.0;

std::wstring control_text(HWND window, int id) {
    wchar_t text[512] = {};
    GetDlgItemTextW(window, id, text, 512);
    return text;
}

class region_tools : public test_support::main_window_world {
protected:
    using dialog_script_step = test_support::dialog_script::step;

    void SetUp() override {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        trace_path =
            std::wstring(folder) + L"region-tools-trace-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
        DeleteFileW(trace_path.c_str());
        // The stand-in reads its hooks when the engine's root is made, in the world's set-up.
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", trace_path.c_str());
        main_window_world::SetUp();
        SetEnvironmentVariableW(L"ZORVANE_STANDIN_TRACE", nullptr);
        WNDCLASSEXW dialog_class{};
        dialog_class.cbSize = sizeof dialog_class;
        GetClassInfoExW(nullptr, WC_DIALOG, &dialog_class);
        original_class_cursor = dialog_class.hCursor;
        // The real pointer stays away from the dialog, so that only the posted moves reach it.
        SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
    }
    void TearDown() override {
        main_window_world::TearDown();
        DeleteFileW(trace_path.c_str());
    }

    void with_stages(std::uint32_t active) { test_support::write_setting(key, L"ActiveFilters", active); }

    HWND panel() const { return window->controls->window_handle(); }

    // Zoom 2 from the viewport's corner; the viewport must show the whole photo so.
    dialog_script_step show_at_test_zoom() {
        return act([this] {
            impl& w = *window;
            ASSERT_GE(w.viewport.width, width * test_zoom);
            ASSERT_GE(w.viewport.height, height * test_zoom);
            w.view.pan_x = 0;
            w.view.pan_y = 0;
            w.view.zoom = test_zoom;
            w.draw_picture(0);
            w.update_view_info();
        });
    }
    POINT client_of(int x, int y) const {
        return {window->viewport.x + static_cast<int>(x * test_zoom) + 1,
                window->viewport.y + static_cast<int>(y * test_zoom) + 1};
    }

    // Pointer messages as the system posts them, at image pixel (x, y).
    dialog_script_step post(UINT message, int x, int y, WPARAM keys = 0) {
        return act([=, this] {
            const POINT at = client_of(x, y);
            PostMessageW(window->window_handle(), message, keys, MAKELPARAM(at.x, at.y));
        });
    }
    dialog_script_step move(int x, int y, WPARAM keys = 0) { return post(WM_MOUSEMOVE, x, y, keys); }
    dialog_script_step down(int x, int y, WPARAM keys = 0) {
        return post(WM_LBUTTONDOWN, x, y, keys | MK_LBUTTON);
    }
    dialog_script_step up(int x, int y, WPARAM keys = 0) { return post(WM_LBUTTONUP, x, y, keys); }
    // The wheel's message carries the pointer in screen coordinates.
    dialog_script_step wheel(int x, int y, short delta, WPARAM keys = 0) {
        return act([=, this] {
            POINT at = client_of(x, y);
            ClientToScreen(window->window_handle(), &at);
            SendMessageW(window->window_handle(), WM_MOUSEWHEEL, MAKEWPARAM(keys, delta),
                         MAKELPARAM(at.x, at.y));
        });
    }
    // A push button of the controls panel, as a click on it.
    dialog_script_step click_panel(int id) {
        return act([this, id] { SendMessageW(GetDlgItem(panel(), id), BM_CLICK, 0, 0); });
    }

    HCURSOR class_cursor() const {
        return reinterpret_cast<HCURSOR>(GetClassLongPtrW(window->window_handle(), GCLP_HCURSOR));
    }

    std::vector<std::string> trace() const {
        std::ifstream file(trace_path.c_str());
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);)
            lines.push_back(line);
        return lines;
    }

    // The values a node was given, by its id.
    static std::string property(const std::vector<std::string>& lines, const std::string& node,
                                const char* name) {
        const std::regex pattern("set_property node=" + node + " name=\"" + name + "\" value=\"([^\"]*)\"");
        std::smatch found;
        for (const std::string& line : lines)
            if (std::regex_search(line, found, pattern))
                return found[1];
        return "?";
    }

    // The focused rectangle of every tilt-shift run, in order, as "x,y wxh".
    std::vector<std::string> focused_rect_runs() const {
        const std::vector<std::string> lines = trace();
        const std::regex child("add_child node=\\d+ name=\"focused-rect\" child=(\\d+) hr=0x00000000");
        std::vector<std::string> runs;
        std::smatch found;
        for (const std::string& line : lines)
            if (std::regex_search(line, found, child)) {
                const std::string id = found[1];
                runs.push_back(property(lines, id, "x") + "," + property(lines, id, "y") + " " +
                               property(lines, id, "width") + "x" + property(lines, id, "height"));
            }
        return runs;
    }
    std::size_t tilt_shift_runs() const { return count(R"(add_node chain=\d+ name="tilt-shift")"); }

    // The circles of every red-eye run, in order, each as "x,y r".
    std::vector<std::vector<std::string>> red_eye_runs() const {
        const std::vector<std::string> lines = trace();
        const std::regex node(
            "add_node chain=\\d+ name=\"remove-red-eyes\" shared=\\d node=(\\d+) hr=0x00000000");
        const std::regex circle("add_child node=(\\d+) name=\"Circle\" child=(\\d+) hr=0x00000000");
        std::vector<std::string> nodes;
        std::vector<std::vector<std::string>> runs;
        std::smatch found;
        for (const std::string& line : lines) {
            if (std::regex_search(line, found, node)) {
                nodes.push_back(found[1]);
                runs.emplace_back();
            } else if (std::regex_search(line, found, circle)) {
                const auto run = std::find(nodes.begin(), nodes.end(), found[1].str());
                if (run != nodes.end()) {
                    const std::string id = found[2];
                    runs[static_cast<std::size_t>(run - nodes.begin())].push_back(
                        property(lines, id, "X") + "," + property(lines, id, "Y") + " " +
                        property(lines, id, "radius"));
                }
            }
        }
        return runs;
    }

    std::size_t count(const char* pattern) const {
        const std::regex wanted(pattern);
        const std::vector<std::string> lines = trace();
        return static_cast<std::size_t>(
            std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& line) { return std::regex_search(line, wanted); }));
    }

    std::wstring focus_text() const { return control_text(panel(), IDC_SELECT_STATS); }

    std::wstring trace_path;
    HCURSOR original_class_cursor = nullptr;
};

// What the panel shows for a focused rectangle: corners and size.
std::wstring focus_text_of(int x, int y, int w, int h) {
    return L"\t" + std::to_wstring(x) + L", " + std::to_wstring(y) + L"\r\n\t" + std::to_wstring(x + w - 1) +
           L", " + std::to_wstring(y + h - 1) + L"\r\n\t" + std::to_wstring(w) + L" \u00d7 " +
           std::to_wstring(h);
}

constexpr std::uint32_t red_eye = tessolux::remove_red_eyes;
constexpr std::uint32_t tilt = tessolux::tilt_shift;

// Focused rectangle -----------------------------------------------------------------------------------------

TEST_F(region_tools, a_rubber_band_sets_the_focused_rectangle_that_the_tilt_shift_stage_runs_with) {
    with_stages(tilt);
    std::wstring during;
    ASSERT_TRUE(run({ready(), show_at_test_zoom(), click_panel(IDC_TILTSHIFT_SELECT), move(10, 8),
                     down(10, 8), move(25, 20, MK_LBUTTON), act([&] { during = focus_text(); }),
                     move(40, 30, MK_LBUTTON), up(40, 30), ready(), act([&] {
                         EXPECT_EQ(focus_text(), focus_text_of(10, 8, 30, 22));
                         EXPECT_EQ(IsDlgButtonChecked(panel(), IDC_TILTSHIFT_SELECT), BST_UNCHECKED);
                         EXPECT_EQ(class_cursor(), LoadCursorW(nullptr, IDC_ARROW));
                     }),
                     press(IDC_CANCEL)}));
    EXPECT_EQ(during, focus_text_of(10, 8, 15, 12));
    ASSERT_FALSE(focused_rect_runs().empty());
    EXPECT_EQ(focused_rect_runs().back(), "10,8 30x22");
    EXPECT_TRUE(boxes.empty());
}

TEST_F(region_tools, a_click_without_movement_gives_the_middle_third) {
    with_stages(tilt);
    ASSERT_TRUE(
        run({ready(), show_at_test_zoom(), click_panel(IDC_TILTSHIFT_SELECT), down(10, 8),
             move(40, 30, MK_LBUTTON), up(40, 30), ready(), click_panel(IDC_TILTSHIFT_SELECT), down(70, 50),
             up(70, 50), ready(), act([&] { EXPECT_EQ(focus_text(), focus_text_of(32, 21, 32, 21)); }),
             press(IDC_CANCEL)}));
    const std::vector<std::string> runs = focused_rect_runs();
    ASSERT_GE(runs.size(), 2u);
    EXPECT_EQ(runs[runs.size() - 2], "10,8 30x22");
    EXPECT_EQ(runs.back(), "32,21 32x21");
}

TEST_F(region_tools, a_band_dragged_past_the_image_is_cut_to_it) {
    with_stages(tilt);
    ASSERT_TRUE(run({ready(), show_at_test_zoom(), click_panel(IDC_TILTSHIFT_SELECT), down(90, 60),
                     move(200, 150, MK_LBUTTON), move(-30, -20, MK_LBUTTON), up(-30, -20), ready(),
                     press(IDC_CANCEL)}));
    ASSERT_FALSE(focused_rect_runs().empty());
    EXPECT_EQ(focused_rect_runs().back(), "0,0 90x60");
}

TEST_F(region_tools, the_left_border_dragged_past_the_right_one_stops_at_width_1) {
    with_stages(tilt);
    // The middle third is 32 x 21 at (32, 21): its left border lies on image column 32.
    HCURSOR over_border = nullptr;
    ASSERT_TRUE(
        run({ready(), show_at_test_zoom(), move(32, 30), act([&] { over_border = class_cursor(); }),
             down(32, 30), move(80, 30, MK_LBUTTON), up(80, 30), ready(),
             act([&] { EXPECT_EQ(focus_text(), focus_text_of(63, 21, 1, 21)); }), press(IDC_CANCEL)}));
    EXPECT_EQ(over_border, LoadCursorW(nullptr, IDC_SIZEWE));
    ASSERT_FALSE(focused_rect_runs().empty());
    EXPECT_EQ(focused_rect_runs().back(), "63,21 1x21");
}

TEST_F(region_tools, a_shift_corner_drag_past_the_opposite_corner_keeps_one_pixel) {
    with_stages(tilt);
    HCURSOR over_corner = nullptr;
    ASSERT_TRUE(
        run({ready(), show_at_test_zoom(), move(32, 21), act([&] { over_corner = class_cursor(); }),
             down(32, 21), move(132, 121, MK_LBUTTON | MK_SHIFT), up(132, 121), ready(), press(IDC_CANCEL)}));
    EXPECT_EQ(over_corner, LoadCursorW(nullptr, IDC_SIZENWSE));
    ASSERT_FALSE(focused_rect_runs().empty());
    EXPECT_EQ(focused_rect_runs().back(), "63,41 1x1");
}

TEST_F(region_tools, a_press_in_a_tool_mode_never_drags_a_handle_found_before) {
    with_stages(tilt | red_eye);
    std::size_t runs_before = 0;
    ASSERT_TRUE(
        run({ready(), show_at_test_zoom(), move(32, 30),
             act([&] { ASSERT_EQ(class_cursor(), LoadCursorW(nullptr, IDC_SIZEWE)); }),
             click_panel(IDC_REDEYE_DRAW), move(32, 30), act([&] { runs_before = tilt_shift_runs(); }),
             // Shift turns the brush off: the press pans.
             down(32, 30, MK_SHIFT), move(52, 30, MK_LBUTTON | MK_SHIFT), up(52, 30), act([&] {
                 EXPECT_EQ(window->view.pan_x, 40.0);
                 EXPECT_EQ(focus_text(), focus_text_of(32, 21, 32, 21));
             }),
             ready(), press(IDC_CANCEL)}));
    EXPECT_EQ(tilt_shift_runs(), runs_before);
}

TEST_F(region_tools, with_tilt_shift_off_no_handles_are_offered_and_every_press_pans) {
    with_stages(tessolux::natural_enhance);
    HCURSOR over_border = nullptr;
    ASSERT_TRUE(run({ready(), show_at_test_zoom(), move(32, 30), act([&] { over_border = class_cursor(); }),
                     down(32, 30), move(22, 25, MK_LBUTTON), up(22, 25), act([&] {
                         EXPECT_EQ(window->view.pan_x, -20.0);
                         EXPECT_EQ(window->view.pan_y, -10.0);
                     }),
                     press(IDC_CANCEL)}));
    EXPECT_EQ(over_border, LoadCursorW(nullptr, IDC_ARROW));
    EXPECT_EQ(tilt_shift_runs(), 0u);
}

// Red-eye circles
// ---------------------------------------------------------------------------------------------

TEST_F(region_tools, a_far_move_adds_a_circle_at_once_and_one_red_eye_run_follows_the_release) {
    with_stages(red_eye);
    std::wstring history_during;
    std::size_t runs_during = 0;
    ASSERT_TRUE(run({ready(), show_at_test_zoom(), click_panel(IDC_REDEYE_DRAW), move(20, 20), down(20, 20),
                     move(40, 20, MK_LBUTTON), act([&] {
                         history_during = control_text(panel(), IDC_REDEYE_HISTORY);
                         runs_during = red_eye_runs().size();
                     }),
                     up(40, 20), ready(), press(IDC_CANCEL)}));
    // The brush's 10 view pixels are 5 image pixels at zoom 2.
    EXPECT_EQ(history_during, L"# of circles:\t2\r\n# of redos:\t0");
    EXPECT_EQ(runs_during, 0u);
    const std::vector<std::vector<std::string>> runs = red_eye_runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0], (std::vector<std::string>{"20,20 5", "40,20 5"}));
}

TEST_F(region_tools, a_press_outside_the_image_paints_nothing) {
    with_stages(red_eye);
    ASSERT_TRUE(run({ready(), show_at_test_zoom(), click_panel(IDC_REDEYE_DRAW), down(100, 20),
                     move(40, 20, MK_LBUTTON), up(40, 20), act([&] {
                         EXPECT_EQ(control_text(panel(), IDC_REDEYE_HISTORY),
                                   L"# of circles:\t0\r\n# of redos:\t0");
                     }),
                     press(IDC_CANCEL)}));
    EXPECT_TRUE(red_eye_runs().empty());
}

// The wheel
// ----------------------------------------------------------------------------------------------------

TEST_F(region_tools, the_wheel_zooms_without_a_tool_and_sizes_the_brush_in_the_red_eye_mode) {
    with_stages(red_eye);
    std::wstring zoomed, shift_without_tool, radius_before, brush_sized, zoom_with_brush, shift_in_mode;
    const auto view_info = [this] { return control_text(window->window_handle(), IDC_DYNAMIC); };
    ASSERT_TRUE(
        run({ready(), show_at_test_zoom(),
             // e^(0.0005 x 120) x 200 % = 212.37 %
             wheel(48, 32, 120), act([&] { zoomed = view_info(); }), wheel(48, 32, 120, MK_SHIFT),
             act([&] { shift_without_tool = view_info(); }), click_panel(IDC_REDEYE_DRAW),
             act([&] { radius_before = control_text(panel(), IDC_REDEYE_RADIUS); }),
             // e^(0.0005 x 1200) x 10 = 18.22 view pixels, at zoom 2.1237 8.58 image pixels
             wheel(48, 32, 1200), act([&] {
                 brush_sized = control_text(panel(), IDC_REDEYE_RADIUS);
                 zoom_with_brush = view_info();
             }),
             // Shift + wheel zooms in a tool mode: e^(-0.06) x 212.37 % = 200.0 %
             wheel(48, 32, -120, MK_SHIFT), act([&] { shift_in_mode = view_info(); }), press(IDC_CANCEL)}));
    EXPECT_NE(zoomed.find(L"212.4 %"), std::wstring::npos) << zoomed;
    EXPECT_EQ(shift_without_tool, zoomed);
    EXPECT_EQ(radius_before, L"10  ");
    EXPECT_EQ(brush_sized, L"9  ");
    EXPECT_EQ(zoom_with_brush, zoomed);
    EXPECT_NE(shift_in_mode.find(L"200.0 %"), std::wstring::npos) << shift_in_mode;
}

// Cursors and the end of a drag
// ------------------------------------------------------------------------------

TEST_F(region_tools, the_dialog_class_gets_its_own_cursor_back_when_the_dialog_closes) {
    with_stages(tilt);
    HCURSOR in_mode = nullptr;
    ASSERT_TRUE(run({ready(), show_at_test_zoom(), click_panel(IDC_TILTSHIFT_SELECT), move(48, 32),
                     act([&] { in_mode = class_cursor(); }), press(IDC_CANCEL)}));
    EXPECT_EQ(in_mode, LoadCursorW(nullptr, IDC_CROSS));
    WNDCLASSEXW dialog_class{};
    dialog_class.cbSize = sizeof dialog_class;
    ASSERT_TRUE(GetClassInfoExW(nullptr, WC_DIALOG, &dialog_class));
    EXPECT_EQ(dialog_class.hCursor, original_class_cursor);
}

// Windows ends the capture while it destroys the capturing dialog; Wine does not, so the message comes
// here by hand, after the close.
TEST_F(region_tools, a_drag_cut_short_by_the_close_starts_no_work_and_leaves_the_class_cursor_alone) {
    with_stages(tilt);
    std::size_t runs_at_close = 0;
    ASSERT_TRUE(
        run({ready(), show_at_test_zoom(), click_panel(IDC_TILTSHIFT_SELECT), move(10, 8), down(10, 8),
             move(40, 30, MK_LBUTTON), act([&] { runs_at_close = tilt_shift_runs(); }), press(IDC_CANCEL)}));
    window->on_capture_changed();
    EXPECT_TRUE(window->was_cancelled());
    EXPECT_EQ(tilt_shift_runs(), runs_at_close);
    WNDCLASSEXW dialog_class{};
    dialog_class.cbSize = sizeof dialog_class;
    ASSERT_TRUE(GetClassInfoExW(nullptr, WC_DIALOG, &dialog_class));
    EXPECT_EQ(dialog_class.hCursor, original_class_cursor);
}

// Pointer statistics
// -------------------------------------------------------------------------------------------

TEST_F(region_tools, a_held_image_delays_the_pointer_readout_to_the_next_tick_without_flooding_the_queue) {
    with_stages(0);
    com_ptr<zorvane::IImageData> held;
    ASSERT_TRUE(run({ready(), show_at_test_zoom(),
                     // The original with the readout and nothing else: no tick renders it.
                     act([&] { window->view_flags = tessolux::main_window::show_pointer_stats; }),
                     [&](HWND) {
                         if (!held)
                             window->source_slot->image->QueryInterface(__uuidof(zorvane::IImageData),
                                                                        held.put_void());
                         return held && SUCCEEDED(held->try_acquire());
                     },
                     // More moves than the window's task queue holds.
                     act([&] {
                         const POINT at = client_of(45, 30);
                         for (int i = 0; i != 1500; ++i)
                             window->on_mouse_move(at.x, at.y, 0);
                         EXPECT_EQ(window->pointer_text, L"");
                         held->release();
                     }),
                     [&](HWND) { return !window->pointer_text.empty(); }, press(IDC_CANCEL)}));
    EXPECT_EQ(window->pointer_text, L"Current Position:  45, 30");
    EXPECT_TRUE(window->pointer_inside);
    // The photo's bright square.
    EXPECT_EQ(window->channel_texts[0], L"250");
    EXPECT_EQ(window->channel_texts[1], L"240");
    EXPECT_EQ(window->channel_texts[2], L"230");
    EXPECT_EQ(window->channel_texts[3], L"");
}

} // namespace
