#include <algorithm>
#include <map>
#include <string>
#include <tuple>

#include "panel-test.h"

using namespace panel_test;
using ::testing::HasSubstr;

namespace {

using controls_panel = panel_world;

constexpr filter_state all_panels[] = {tessolux::reduce_noise,    tessolux::natural_enhance,
                                       tessolux::remove_red_eyes, tessolux::tilt_shift,
                                       tessolux::film_effect,     tessolux::grain};

} // namespace

TEST_F(controls_panel, hidden_advanced_settings_average_the_noise_intensities_and_one_slider_sets_both) {
    make_panel();
    drag(IDC_DENOISE_INTENSITY, 20);
    EXPECT_THAT(changes, ElementsAre(change{200, tessolux::reduce_noise}));
    drag(IDC_DENOISE_COLOR, 41);
    drag(IDC_ENHANCE_TILE, 300);
    changes.clear();
    panel->toggle_advanced_settings();
    EXPECT_FALSE(visible(IDC_DENOISE_COLOR) || visible(IDC_ENHANCE_RED));
    EXPECT_EQ(slider(IDC_DENOISE_INTENSITY), 30);
    EXPECT_EQ(text_of(IDC_DENOISE_INTENSITY_VALUE), L"30  ");
    EXPECT_THAT(changes, ElementsAre(change{10, tessolux::reduce_noise}));
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
    const wchar_t* const expected[] = {
        L"AF APX 100",     L"KA Panatomic X", L"KA Plus X 125", L"Polapan",         L"1977",
        L"A Optima",       L"AF Lomo",        L"Alfred",        L"Apollo",          L"Blue Shadows",
        L"Cross Film",     L"Cyan Shadows",   L"Dacora 35",     L"Dacora Dignette", L"Dacora Gloria",
        L"Dacora Super",   L"Earlybird",      L"FF Lomo",       L"FF Provio",       L"FF Senso",
        L"Helga Viking",   L"Hip Lomo",       L"Jimmy",         L"KA Lomo",         L"KKE 100 S",
        L"Kaimal Mark II", L"LomoFi",         L"LordKelvin",    L"Lucifer VI",      L"Pola 600",
        L"Pola Normal",    L"Poprocket",      L"Sepia",         L"Sutro",           L"Technicolor",
        L"Tejas",          L"Toaster",        L"Violet",        L"X-Pro II"};
    const HWND combo = item(IDC_EFFECT_COMBO);
    ASSERT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 39);
    for (int i = 0; i != 39; ++i) {
        wchar_t text[64] = {};
        COMBOBOXEXITEMW entry{};
        entry.mask = CBEIF_TEXT | CBEIF_IMAGE;
        entry.iItem = i;
        entry.pszText = text;
        entry.cchTextMax = 64;
        SendMessageW(combo, CBEM_GETITEMW, 0, reinterpret_cast<LPARAM>(&entry));
        EXPECT_STREQ(text, expected[i]);
        EXPECT_EQ(entry.iImage, i);
    }
    const auto thumbnails = [&] {
        const auto list = reinterpret_cast<HIMAGELIST>(SendMessageW(combo, CBEM_GETIMAGELIST, 0, 0));
        int width = 0, height = 0;
        ImageList_GetIconSize(list, &width, &height);
        IMAGEINFO info{};
        ImageList_GetImageInfo(list, 0, &info);
        return std::tuple(width, height, ImageList_GetImageCount(list), info.hbmImage);
    };
    const auto [width, height, count, pictures] = thumbnails();
    EXPECT_EQ(std::tuple(width, height, count), std::tuple(64, 64, 39));

    // A DPI change renders them again at the new size and keeps the choice.
    choose_effect(32);
    panel->on_dpi_changed(engine, 1.25, 1.25f);
    EXPECT_EQ(std::get<0>(thumbnails()), 80);
    EXPECT_EQ(std::get<2>(thumbnails()), 39);
    EXPECT_EQ(effect(), 32);
    EXPECT_EQ(panel->selected_effect_node(), L"SEPIA");
    EXPECT_EQ(GetObjectType(pictures), 0u) << "the replaced list is gone with its pictures";
    EXPECT_THAT(failures, IsEmpty());

    // A name the preset table does not have is a logic failure, in the map's own words.
    wchar_t stranger[] = L"Not a preset";
    COMBOBOXEXITEMW entry{};
    entry.mask = CBEIF_TEXT;
    entry.iItem = -1;
    entry.pszText = stranger;
    SendMessageW(combo, CBEM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&entry));
    choose_effect(39);
    try {
        panel->selected_effect_node();
        ADD_FAILURE() << "a name without a node gave one";
    } catch (const std::logic_error& failure) {
        EXPECT_STREQ(failure.what(), "invalid unordered_map<K, T> key");
    }
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
        SCROLLINFO info{};
        info.cbSize = sizeof info;
        info.fMask = SIF_RANGE;
        GetScrollInfo(panel->window_handle(), SB_VERT, &info);
        return std::pair(all, info.nMax);
    };
    const auto before = layout();
    ASSERT_EQ(before.first.size(), 81u);
    for (const filter_state stage : all_panels)
        panel->toggle_expanded(stage);
    EXPECT_FALSE(visible(IDC_GRAIN_INTENSITY));
    EXPECT_EQ(text_of(IDC_DENOISE_EXPAND), L"\u25bc");
    EXPECT_LT(layout().second, before.second);
    for (const filter_state stage : all_panels)
        panel->toggle_expanded(stage);
    EXPECT_EQ(text_of(IDC_DENOISE_EXPAND), L"\u25b2");
    EXPECT_TRUE(layout() == before);
}

TEST_F(controls_panel, the_wheel_stops_at_the_end_and_moves_nothing_when_everything_fits) {
    make_panel(1.0, 300);
    const auto position = [&] {
        SCROLLINFO info{};
        info.cbSize = sizeof info;
        info.fMask = SIF_ALL;
        GetScrollInfo(panel->window_handle(), SB_VERT, &info);
        return std::pair(info.nPos, info.nMax - static_cast<int>(info.nPage));
    };
    const auto wheel = [&](int notches) {
        SendMessageW(panel->window_handle(), WM_MOUSEWHEEL, MAKEWPARAM(MK_CONTROL, notches * WHEEL_DELTA), 0);
    };
    wheel(-250);
    EXPECT_EQ(position().first, position().second);
    for (const filter_state stage : all_panels)
        panel->toggle_expanded(stage);
    ASSERT_LT(position().second, 0) << "a page larger than the range";
    wheel(-1);
    EXPECT_EQ(position().first, 0);
}

TEST_F(controls_panel, a_failure_inside_the_panels_message_handling_reaches_the_failure_callback) {
    make_panel(1.0, 600, true);
    const auto failed = [&](const std::string& text) {
        return std::count_if(failures.begin(), failures.end(), [&](const std::exception_ptr& failure) {
            try {
                std::rethrow_exception(failure);
            } catch (const std::exception& e) {
                return text == e.what();
            }
        });
    };
    click(IDC_GRAIN_FAT);                                 // the dialog procedure
    pick(IDC_GRAIN_INTENSITY, L'd');                      // a control's subclass: "Deactivate all"
    SendMessageW(item(IDC_SELECT_STATS), WM_PAINT, 0, 0); // the focused area's paint subclass
    EXPECT_EQ(failed("change failed"), 2);
    EXPECT_GE(failed("no back buffer"), 1);
}

TEST_F(controls_panel, a_panel_whose_dialog_cannot_be_created_says_so) {
    const HWND gone =
        CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    try {
        controls_frame broken(
            gone, 0, 0, 100, 100, 1.0f, [](unsigned, filter_state) {}, [](std::exception_ptr) {}, {},
            [](void*) {}, engine);
        ADD_FAILURE() << "a panel with a destroyed owner was made";
    } catch (const std::system_error& failure) {
        EXPECT_THAT(failure.what(),
                    HasSubstr("controls_frame failed at 771 in file \"main-controls-frame.cpp\"\n - "
                              "CreateDialogParam resulted in error!"));
    }
}

TEST_F(controls_panel, no_picture_list_or_menu_the_panel_made_survives_it) {
    make_panel();
    const auto pictures = [&] {
        return std::vector{
            reinterpret_cast<HBITMAP>(SendMessageW(item(IDC_TILTSHIFT_SELECT), BM_GETIMAGE, IMAGE_BITMAP, 0)),
            reinterpret_cast<HBITMAP>(SendMessageW(item(IDC_REDEYE_DRAW), BM_GETIMAGE, IMAGE_BITMAP, 0)),
            panel->reset_value_bitmap()};
    };
    const std::vector<HBITMAP> replaced = pictures();
    panel->on_dpi_changed(engine, 1.25, 1.25f);
    for (const HBITMAP picture : replaced)
        EXPECT_EQ(GetObjectType(picture), 0u) << "a picture replaced on a DPI change is deleted";

    std::vector<HBITMAP> made = pictures();
    IMAGEINFO thumbnails{};
    ImageList_GetImageInfo(
        reinterpret_cast<HIMAGELIST>(SendMessageW(item(IDC_EFFECT_COMBO), CBEM_GETIMAGELIST, 0, 0)), 0,
        &thumbnails);
    made.push_back(thumbnails.hbmImage);
    const HMENU menu = pick(0, 0);
    MENUITEMINFOW deactivate{};
    deactivate.cbSize = sizeof deactivate;
    deactivate.fMask = MIIM_BITMAP;
    GetMenuItemInfoW(menu, ID_DEACTIVATE_ALL, FALSE, &deactivate);
    made.push_back(deactivate.hbmpItem);
    for (const HBITMAP picture : made)
        ASSERT_EQ(GetObjectType(picture), static_cast<DWORD>(OBJ_BITMAP));

    panel.reset();
    for (const HBITMAP picture : made)
        EXPECT_EQ(GetObjectType(picture), 0u);
    EXPECT_FALSE(IsMenu(menu));
}
