#include <memory>
#include <string>

#include "panel-test.h"
#include "plugin/hotkey-dialog.h"

using namespace panel_test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

using red_eye_history = panel_world;
using region_tools = panel_world;
using hotkey_dialog_test = panel_world;

std::wstring history(unsigned circles, unsigned redos) {
    return L"# of circles:\t" + std::to_wstring(circles) + L"\r\n# of redos:\t" + std::to_wstring(redos);
}

std::wstring string_table(UINT id) {
    std::wstring text;
    system_ui::load_string(text, nullptr, id);
    return text;
}

} // namespace

TEST_F(red_eye_history, a_circle_pushed_after_undos_replaces_the_undone_ones) {
    make_panel();
    tessolux::eye_region& eyes = panel->eyes;
    EXPECT_EQ(text_of(IDC_REDEYE_HISTORY), history(0, 0));
    panel->push_eye_circle(10, 20, 5, eyes, IDC_REDEYE_HISTORY);
    panel->push_eye_circle(30, 40, 6, eyes, IDC_REDEYE_HISTORY);
    panel->push_eye_circle(50, 60, 7, eyes, IDC_REDEYE_HISTORY);
    EXPECT_EQ(text_of(IDC_REDEYE_HISTORY), history(3, 0));
    EXPECT_THAT(changes, IsEmpty()) << "the circle tool starts the recomputation itself";

    panel->undo_eye_circles(1, eyes, IDC_REDEYE_HISTORY);
    panel->undo_eye_circles(1, eyes, IDC_REDEYE_HISTORY);
    EXPECT_EQ(text_of(IDC_REDEYE_HISTORY), history(1, 2));
    EXPECT_THAT(changes,
                ElementsAre(change{100, tessolux::remove_red_eyes}, change{100, tessolux::remove_red_eyes}));

    panel->push_eye_circle(70, 80, 8, eyes, IDC_REDEYE_HISTORY);
    EXPECT_EQ(text_of(IDC_REDEYE_HISTORY), history(2, 0));
    ASSERT_EQ(eyes.circles.size(), 2u);
    EXPECT_EQ(eyes.position, 2u);
    EXPECT_EQ(eyes.circles[0].x, 10);
    EXPECT_EQ(eyes.circles[1].x, 70);
    EXPECT_EQ(eyes.circles[1].radius, 8);
}

TEST_F(red_eye_history, undo_and_redo_move_at_most_as_far_as_there_is_history_and_notify_once) {
    make_panel();
    tessolux::eye_region& eyes = panel->eyes;
    for (int i = 0; i != 3; ++i)
        panel->push_eye_circle(i, i, 4, eyes, IDC_REDEYE_HISTORY);
    panel->undo_eye_circles(10, eyes, IDC_REDEYE_HISTORY);
    EXPECT_EQ(text_of(IDC_REDEYE_HISTORY), history(0, 3));
    EXPECT_THAT(changes, ElementsAre(change{100, tessolux::remove_red_eyes}));

    changes.clear();
    panel->undo_eye_circles(1, eyes, IDC_REDEYE_HISTORY);
    EXPECT_THAT(changes, IsEmpty()) << "nothing left to undo";
    panel->redo_eye_circles(2, eyes, IDC_REDEYE_HISTORY);
    EXPECT_EQ(text_of(IDC_REDEYE_HISTORY), history(2, 1));
    click(IDC_REDEYE_REDO);
    EXPECT_EQ(text_of(IDC_REDEYE_HISTORY), history(3, 0));
    click(IDC_REDEYE_REDO);
    EXPECT_EQ(changes.size(), 2u) << "a redo with nothing to redo does nothing";
    click(IDC_REDEYE_UNDO);
    EXPECT_EQ(text_of(IDC_REDEYE_HISTORY), history(2, 1));

    // With the stage off the buttons and commands change nothing, also while settings load.
    click(IDC_REDEYE_ENABLE);
    changes.clear();
    panel->undo_eye_circles(1, eyes, IDC_REDEYE_HISTORY);
    panel->redo_eye_circles(1, eyes, IDC_REDEYE_HISTORY);
    EXPECT_EQ(text_of(IDC_REDEYE_HISTORY), history(2, 1));
    EXPECT_THAT(changes, IsEmpty());
    click(IDC_REDEYE_ENABLE);
    panel->loading = true;
    panel->redo_eye_circles(1, eyes, IDC_REDEYE_HISTORY);
    panel->loading = false;
    EXPECT_THAT(changes,
                ElementsAre(change{200, tessolux::remove_red_eyes}, change{100, tessolux::remove_red_eyes}));
}

TEST_F(red_eye_history, texts_for_the_focused_area_and_the_brush) {
    make_panel();
    EXPECT_EQ(text_of(IDC_REDEYE_RADIUS), L"10  ");
    const struct {
        tessolux::preview_rect rect;
        const wchar_t* text;
    } areas[] = {{{10, 20, 100, 50}, L"\t10, 20\r\n\t109, 69\r\n\t100 \u00d7 50"},
                 {{0, 0, 1, 1}, L"\t0, 0\r\n\t0, 0\r\n\t1 \u00d7 1"}};
    for (const auto& area : areas) {
        panel->focused = area.rect;
        panel->update_focus_area_text();
        EXPECT_EQ(text_of(IDC_SELECT_STATS), area.text);
    }
    const struct {
        int radius;
        const wchar_t* text;
    } radii[] = {{0, L"1  "}, {1, L"1  "}, {37, L"37  "}, {-4, L"1  "}};
    for (const auto& r : radii) {
        panel->show_radius_text(r.radius);
        EXPECT_EQ(text_of(IDC_REDEYE_RADIUS), r.text);
    }
}

TEST_F(region_tools, select_focused_and_draw_region_exclude_each_other) {
    make_panel();
    click(IDC_TILTSHIFT_SELECT);
    EXPECT_EQ(panel->selection_mode, 1u);
    EXPECT_TRUE(checked(IDC_TILTSHIFT_SELECT));
    click(IDC_REDEYE_DRAW);
    EXPECT_EQ(panel->selection_mode, 2u);
    EXPECT_FALSE(checked(IDC_TILTSHIFT_SELECT));
    EXPECT_TRUE(checked(IDC_REDEYE_DRAW));
    EXPECT_EQ(panel->circle_record, &panel->eyes);
    click(IDC_TILTSHIFT_SELECT);
    EXPECT_EQ(panel->selection_mode, 1u);
    EXPECT_FALSE(checked(IDC_REDEYE_DRAW));

    // Leaving the focused-rectangle selection applies it, even while settings load.
    changes.clear();
    panel->loading = true;
    click(IDC_TILTSHIFT_SELECT);
    panel->loading = false;
    EXPECT_EQ(panel->selection_mode, 0u);
    EXPECT_THAT(changes, ElementsAre(change{200, tessolux::tilt_shift}));

    // Switching a stage off ends its tool.
    click(IDC_REDEYE_DRAW);
    click(IDC_REDEYE_ENABLE);
    EXPECT_EQ(panel->selection_mode, 0u);
    EXPECT_FALSE(checked(IDC_REDEYE_DRAW));
    click(IDC_TILTSHIFT_SELECT);
    click(IDC_TILTSHIFT_ENABLE);
    EXPECT_EQ(panel->selection_mode, 0u);
    EXPECT_FALSE(checked(IDC_TILTSHIFT_SELECT));
}

TEST_F(hotkey_dialog_test, shows_the_four_parts_and_fills_the_dialog_at_every_size) {
    const HWND main = owner->window_handle();
    auto dialog = std::make_unique<tessolux::hotkey_dialog>(main, main);
    const HWND window = dialog->window_handle();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindowVisible(window)) << "the caller shows it";
    const HWND text = GetDlgItem(window, IDC_HOTKEY_TEXT);
    std::wstring shown(8192, L'\0');
    shown.resize(static_cast<std::size_t>(GetWindowTextW(text, shown.data(), 8192)));
    EXPECT_EQ(shown, string_table(IDS_HOTKEYS_VIEW) + string_table(IDS_HOTKEYS_ZOOM) +
                         string_table(IDS_HOTKEYS_TOOLS) + string_table(IDS_HOTKEYS_WINDOW));

    RECT before_edit, before_dialog;
    GetWindowRect(text, &before_edit);
    GetWindowRect(window, &before_dialog);
    SetWindowPos(window, nullptr, 0, 0, before_dialog.right - before_dialog.left + 100,
                 before_dialog.bottom - before_dialog.top + 50, SWP_NOMOVE | SWP_NOZORDER);
    RECT after_edit;
    GetWindowRect(text, &after_edit);
    EXPECT_EQ(after_edit.right - after_edit.left, before_edit.right - before_edit.left + 100);
    EXPECT_EQ(after_edit.bottom - after_edit.top, before_edit.bottom - before_edit.top + 50);

    // A second one replaces the first, as the hotkey command does.
    dialog = std::make_unique<tessolux::hotkey_dialog>(main, main);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(IsWindow(dialog->window_handle()));

    // Closed by the user, it is gone and its object knows.
    const HWND second = dialog->window_handle();
    SendMessageW(second, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(second));
    EXPECT_EQ(dialog->window_handle(), nullptr);
}
