#include <algorithm>
#include <map>
#include <string>
#include <tuple>

#include "panel-test.h"

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

TEST_F(controls_panel, hidden_advanced_settings_average_the_noise_intensities_and_one_slider_sets_both) {
    make_panel();
    drag(IDC_DENOISE_INTENSITY, 20);
    EXPECT_THAT(changes, ElementsAre(change(200, tessolux::reduce_noise)));
    drag(IDC_DENOISE_COLOR, 41);
    drag(IDC_ENHANCE_TILE, 300);
    changes.clear();
    panel->toggle_advanced_settings();
    EXPECT_FALSE(IsWindowVisible(item(IDC_DENOISE_COLOR)) || IsWindowVisible(item(IDC_ENHANCE_RED)));
    EXPECT_EQ(slider(IDC_DENOISE_INTENSITY), 30);
    EXPECT_THAT(changes, ElementsAre(change(10, tessolux::reduce_noise)));
    panel->save_filter_settings(settings_key);
    EXPECT_THAT(stored(L"ReduceNoiseIntensityColor"), Optional(30));

    drag(IDC_DENOISE_INTENSITY, 120);
    // Shown again, the hidden sliders show what now stands: the mirrored intensity, the image's tile size.
    panel->toggle_advanced_settings();
    EXPECT_EQ(slider(IDC_DENOISE_COLOR), 120);
    EXPECT_EQ(text_of(IDC_DENOISE_COLOR_VALUE), L"120 %");
    EXPECT_EQ(slider(IDC_ENHANCE_TILE), 64);
}

TEST_F(controls_panel,
       the_noise_search_and_colour_controls_are_enabled_only_while_the_stage_runs_without_bilateral) {
    make_panel();
    const auto enabled_count = [&] {
        return enabled(IDC_DENOISE_SEARCH) + enabled(IDC_DENOISE_SEARCH_VALUE) +
               enabled(IDC_DENOISE_SEARCH_LABEL) + enabled(IDC_DENOISE_COLOR) +
               enabled(IDC_DENOISE_COLOR_VALUE) + enabled(IDC_DENOISE_COLOR_LABEL);
    };
    click(IDC_DENOISE_BILATERAL);
    EXPECT_EQ(enabled_count(), 0);
    EXPECT_TRUE(enabled(IDC_DENOISE_TILE)) << "the bilateral filter takes its radius from the tile size";
    click(IDC_DENOISE_ENABLE);    // off
    click(IDC_DENOISE_BILATERAL); // unchecked while the stage is off
    EXPECT_EQ(enabled_count(), 0) << "an inactive stage keeps every control disabled";
    click(IDC_DENOISE_ENABLE);
    EXPECT_EQ(enabled_count(), 6);
    panel->toggle_advanced_settings();
    click(IDC_DENOISE_BILATERAL);
    panel->toggle_advanced_settings();
    EXPECT_EQ(enabled_count(), 0) << "showing the advanced settings again keeps the rule";
}

TEST_F(controls_panel, the_effects_list_holds_the_39_presets_in_order_with_thumbnails_of_the_scale) {
    make_panel();
    const std::wstring expected =
        L"AF APX 100|KA Panatomic X|KA Plus X 125|Polapan|1977|A Optima|AF Lomo|Alfred|Apollo|Blue Shadows|"
        L"Cross Film|Cyan Shadows|Dacora 35|Dacora Dignette|Dacora Gloria|Dacora Super|Earlybird|FF Lomo|"
        L"FF Provio|FF Senso|Helga Viking|Hip Lomo|Jimmy|KA Lomo|KKE 100 S|Kaimal Mark II|LomoFi|LordKelvin|"
        L"Lucifer VI|Pola 600|Pola Normal|Poprocket|Sepia|Sutro|Technicolor|Tejas|Toaster|Violet|X-Pro II|";
    const HWND combo = item(IDC_EFFECT_COMBO);
    ASSERT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 39);
    std::wstring shown;
    wchar_t text[64] = {};
    COMBOBOXEXITEMW entry{};
    entry.pszText = text;
    entry.cchTextMax = 64;
    for (entry.iItem = 0; entry.iItem != 39; ++entry.iItem) {
        entry.mask = CBEIF_TEXT | CBEIF_IMAGE;
        SendMessageW(combo, CBEM_GETITEMW, 0, reinterpret_cast<LPARAM>(&entry));
        shown += text + std::wstring(entry.iImage == entry.iItem ? L"|" : L" (another picture)|");
    }
    EXPECT_EQ(shown, expected);
    const auto thumbnail_width = [&] {
        IMAGEINFO info{};
        ImageList_GetImageInfo(reinterpret_cast<HIMAGELIST>(SendMessageW(combo, CBEM_GETIMAGELIST, 0, 0)), 38,
                               &info);
        return std::pair(info.rcImage.right - info.rcImage.left, info.hbmImage); // and the strip of them all
    };
    const auto [width, pictures] = thumbnail_width();
    EXPECT_EQ(width, 64);
    // A DPI change renders the 39 again at the new size and keeps the choice.
    choose_effect(32);
    panel->on_dpi_changed(engine, 1.25, 1.25f);
    EXPECT_EQ(thumbnail_width().first, 80);
    EXPECT_EQ(panel->selected_effect_node(), L"SEPIA");
    EXPECT_EQ(GetObjectType(pictures), 0u) << "the replaced list is gone with its pictures";

    // A name the preset table does not have is a logic failure, in the map's own words.
    wcscpy(text, L"Not a preset");
    entry.mask = CBEIF_TEXT;
    entry.iItem = -1;
    SendMessageW(combo, CBEM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&entry));
    choose_effect(39);
    EXPECT_THAT([&] { panel->selected_effect_node(); },
                ThrowsMessage<std::logic_error>(StrEq("invalid unordered_map<K, T> key")));
}

TEST_F(controls_panel,
       collapsing_and_expanding_every_panel_at_scale_1_25_restores_each_control_and_the_range) {
    make_panel();
    panel->on_dpi_changed(engine, 1.25, 1.25f);
    const auto layout = [&] {
        std::map<int, std::tuple<LONG, LONG, LONG, LONG>> all; // the 81 controls of the panel
        for (int id = IDC_DENOISE_INTENSITY_LABEL; id <= IDC_DENOISE_BILATERAL; ++id)
            if (RECT r; item(id) != nullptr) {
                system_ui::control_docker::get_window_rect(r, item(id), panel->window_handle());
                all[id] = {r.left, r.top, r.right, r.bottom};
            }
        int top = 0, bottom = 0;
        GetScrollRange(panel->window_handle(), SB_VERT, &top, &bottom);
        return std::pair(all, bottom);
    };
    const auto before = layout();
    ASSERT_EQ(before.first.size(), 81u);
    for (std::uint32_t stage = tessolux::reduce_noise; stage <= tessolux::grain; stage <<= 1)
        panel->toggle_expanded(static_cast<filter_state>(stage));
    EXPECT_FALSE(IsWindowVisible(item(IDC_GRAIN_INTENSITY)));
    EXPECT_EQ(text_of(IDC_DENOISE_EXPAND), L"\u25bc");
    EXPECT_LT(layout().second, before.second);
    for (std::uint32_t stage = tessolux::reduce_noise; stage <= tessolux::grain; stage <<= 1)
        panel->toggle_expanded(static_cast<filter_state>(stage));
    EXPECT_TRUE(layout() == before);
}

TEST_F(controls_panel, a_failure_inside_the_panels_message_handling_reaches_the_failure_callback) {
    make_panel(true);
    click(IDC_GRAIN_FAT);                                 // the dialog procedure
    pick(IDC_GRAIN_INTENSITY, L'd');                      // a control's subclass: "Deactivate all"
    SendMessageW(item(IDC_SELECT_STATS), WM_PAINT, 0, 0); // the focused area's paint subclass
    EXPECT_EQ(std::count(failures.begin(), failures.end(), "change failed"), 2);
    EXPECT_THAT(failures, Contains("no back buffer"));
    failures.clear(); // all of them expected
}

TEST_F(controls_panel, a_panel_whose_dialog_cannot_be_created_says_so) {
    const HWND gone =
        CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    EXPECT_THAT([&] { controls_frame(gone, 0, 0, 100, 100, 1.0f, {}, {}, {}, {}, engine); },
                ThrowsMessage<std::system_error>(
                    HasSubstr("controls_frame failed at 771 in file \"main-controls-frame.cpp\"\n"
                              " - CreateDialogParam resulted in error!")));
}

TEST_F(controls_panel, no_picture_list_or_menu_the_panel_made_survives_it) {
    make_panel();
    IMAGEINFO thumbnails{};
    ImageList_GetImageInfo(
        reinterpret_cast<HIMAGELIST>(SendMessageW(item(IDC_EFFECT_COMBO), CBEM_GETIMAGELIST, 0, 0)), 0,
        &thumbnails);
    const HMENU menu = pick(0, 0);
    MENUITEMINFOW deactivate{};
    deactivate.cbSize = sizeof deactivate;
    deactivate.fMask = MIIM_BITMAP;
    GetMenuItemInfoW(menu, ID_DEACTIVATE_ALL, FALSE, &deactivate);
    // Buttons and menus never delete the pictures they show.
    const HBITMAP made[] = {
        reinterpret_cast<HBITMAP>(SendMessageW(item(IDC_TILTSHIFT_SELECT), BM_GETIMAGE, IMAGE_BITMAP, 0)),
        reinterpret_cast<HBITMAP>(SendMessageW(item(IDC_REDEYE_DRAW), BM_GETIMAGE, IMAGE_BITMAP, 0)),
        panel->reset_value_bitmap(), deactivate.hbmpItem, thumbnails.hbmImage};
    for (const HBITMAP picture : made)
        ASSERT_EQ(GetObjectType(picture), static_cast<DWORD>(OBJ_BITMAP));
    panel.reset();
    for (const HBITMAP picture : made)
        EXPECT_EQ(GetObjectType(picture), 0u);
    EXPECT_FALSE(IsMenu(menu));
}

TEST_F(controls_panel, three_circles_pushed_two_undone_and_one_pushed_leave_two_circles_and_nothing_to_redo) {
    make_panel();
    const auto history = [&](int circles, int redos) {
        return text_of(IDC_REDEYE_HISTORY) ==
               L"# of circles:\t" + std::to_wstring(circles) + L"\r\n# of redos:\t" + std::to_wstring(redos);
    };
    for (int i = 1; i <= 3; ++i)
        panel->push_eye_circle(10 * i, 20 * i, 4 + i, panel->eyes, IDC_REDEYE_HISTORY);
    EXPECT_TRUE(history(3, 0));
    EXPECT_THAT(changes, IsEmpty()) << "the circle tool starts the recomputation itself";
    click(IDC_REDEYE_UNDO);
    panel->undo_eye_circles(1, panel->eyes, IDC_REDEYE_HISTORY);
    EXPECT_TRUE(history(1, 2));
    panel->push_eye_circle(70, 80, 8, panel->eyes, IDC_REDEYE_HISTORY);
    EXPECT_TRUE(history(2, 0));
    EXPECT_EQ(std::pair(panel->eyes.circles[0].x, panel->eyes.circles[1].x), std::pair(10, 70));
    panel->undo_eye_circles(5, panel->eyes, IDC_REDEYE_HISTORY); // as far as there is history
    EXPECT_TRUE(history(0, 2));
    EXPECT_EQ(changes, std::vector(3, change(100, tessolux::remove_red_eyes)));
}

// The panel paints its focused-area box through a back buffer it borrows; a panel given no way to give the
// buffer back still paints it (calling the missing release would end the process).
TEST_F(controls_panel, the_focused_area_paints_through_a_borrowed_back_buffer_that_has_no_release) {
    const HDC screen = GetDC(nullptr);
    const system_ui::dc_handle buffer(CreateCompatibleDC(screen));
    const system_ui::bitmap_handle pixels(CreateCompatibleBitmap(screen, 400, 200));
    ReleaseDC(nullptr, screen);
    std::vector<std::pair<unsigned, unsigned>> asked;
    panel = std::make_unique<controls_frame>(
        owner(), 0, 0, 300, 600, 1.0f, [](unsigned, filter_state) {},
        [this](std::exception_ptr failure) {
            try {
                std::rethrow_exception(failure);
            } catch (const std::exception& e) {
                failures.emplace_back(e.what());
            }
        },
        [&](HDC, unsigned width, unsigned height) -> std::pair<HDC, void*> {
            asked.emplace_back(width, height);
            return {buffer.get(), SelectObject(buffer.get(), pixels.get())};
        },
        controls_frame::back_buffer_release(), engine);
    RECT box{};
    GetClientRect(item(IDC_SELECT_STATS), &box);
    ASSERT_GT(box.right, 0);
    SendMessageW(item(IDC_SELECT_STATS), WM_PAINT, 0, 0);
    EXPECT_THAT(asked, ElementsAre(std::pair<unsigned, unsigned>(box.right, box.bottom)));
}
