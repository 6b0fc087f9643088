#include <memory>
#include <string>

#include "panel-test.h"
#include "plugin/hotkey-dialog.h"

using namespace panel_test;

namespace {

using red_eye_history = panel_world;
using hotkey_dialog_test = panel_world;

std::wstring history(unsigned circles, unsigned redos) {
    return L"# of circles:\t" + std::to_wstring(circles) + L"\r\n# of redos:\t" + std::to_wstring(redos);
}

} // namespace

TEST_F(red_eye_history, a_circle_pushed_after_undos_replaces_them_and_undo_and_redo_stop_at_the_ends) {
    make_panel();
    tessolux::eye_region& eyes = panel->eyes;
    const auto shown = [&] { return text_of(IDC_REDEYE_HISTORY); };
    const change undo_or_redo{100, tessolux::remove_red_eyes};
    EXPECT_EQ(shown(), history(0, 0));
    for (int i = 1; i <= 3; ++i)
        panel->push_eye_circle(10 * i, 20 * i, 4 + i, eyes, IDC_REDEYE_HISTORY);
    EXPECT_EQ(shown(), history(3, 0));
    EXPECT_THAT(changes, IsEmpty()) << "the circle tool starts the recomputation itself";
    click(IDC_REDEYE_UNDO);
    panel->undo_eye_circles(1, eyes, IDC_REDEYE_HISTORY);
    EXPECT_EQ(shown(), history(1, 2));
    EXPECT_THAT(changes, ElementsAre(undo_or_redo, undo_or_redo));
    panel->push_eye_circle(70, 80, 8, eyes, IDC_REDEYE_HISTORY);
    EXPECT_EQ(shown(), history(2, 0));
    ASSERT_EQ(eyes.circles.size(), 2u);
    EXPECT_EQ(eyes.circles[0].x, 10);
    EXPECT_EQ(eyes.circles[1].x, 70);

    // As far as there is history, with one notification; none where there is nothing to move.
    changes.clear();
    panel->undo_eye_circles(10, eyes, IDC_REDEYE_HISTORY);
    click(IDC_REDEYE_UNDO);
    EXPECT_EQ(shown(), history(0, 2));
    panel->redo_eye_circles(5, eyes, IDC_REDEYE_HISTORY);
    click(IDC_REDEYE_REDO);
    EXPECT_EQ(shown(), history(2, 0));
    EXPECT_THAT(changes, ElementsAre(undo_or_redo, undo_or_redo));
    // With the stage off the buttons change nothing.
    click(IDC_REDEYE_ENABLE);
    changes.clear();
    click(IDC_REDEYE_UNDO);
    EXPECT_EQ(shown(), history(2, 0));
    EXPECT_THAT(changes, IsEmpty());
}

TEST_F(red_eye_history, the_focused_area_and_the_brush_radius_read_in_image_pixels) {
    make_panel();
    EXPECT_EQ(text_of(IDC_REDEYE_RADIUS), L"10  ");
    panel->focused = {10, 20, 100, 50};
    panel->update_focus_area_text();
    EXPECT_EQ(text_of(IDC_SELECT_STATS), L"\t10, 20\r\n\t109, 69\r\n\t100 \u00d7 50");
    const struct {
        int radius;
        const wchar_t* text;
    } radii[] = {{0, L"1  "}, {37, L"37  "}, {-4, L"1  "}};
    for (const auto& r : radii) {
        panel->show_radius_text(r.radius);
        EXPECT_EQ(text_of(IDC_REDEYE_RADIUS), r.text) << r.radius;
    }
}

TEST_F(hotkey_dialog_test, shows_the_four_parts_fills_the_dialog_at_every_size_and_closes_for_good) {
    auto dialog = std::make_unique<tessolux::hotkey_dialog>(owner(), owner());
    const HWND window = dialog->window_handle();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindowVisible(window)) << "the caller shows it";
    const HWND text = GetDlgItem(window, IDC_HOTKEY_TEXT);
    std::wstring shown(8192, L'\0');
    shown.resize(static_cast<std::size_t>(GetWindowTextW(text, shown.data(), 8192)));
    std::wstring expected;
    for (const UINT id : {IDS_HOTKEYS_VIEW, IDS_HOTKEYS_ZOOM, IDS_HOTKEYS_TOOLS, IDS_HOTKEYS_WINDOW}) {
        std::wstring part;
        system_ui::load_string(part, nullptr, id);
        expected += part;
    }
    EXPECT_EQ(shown, expected);

    RECT edit, frame;
    GetWindowRect(text, &edit);
    GetWindowRect(window, &frame);
    SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left + 100, frame.bottom - frame.top + 50,
                 SWP_NOMOVE | SWP_NOZORDER);
    RECT grown;
    GetWindowRect(text, &grown);
    EXPECT_EQ(grown.right - grown.left, edit.right - edit.left + 100);
    EXPECT_EQ(grown.bottom - grown.top, edit.bottom - edit.top + 50);

    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(dialog->window_handle(), nullptr);
}
