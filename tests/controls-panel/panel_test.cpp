#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <string>

#include "message-box-reader.h"
#include "panel-test.h"
#include "plugin/hotkey-dialog.h"

using namespace panel_test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

using controls_panel = panel_world;

using field = std::function<std::int32_t&(controls_frame&)>;

// One slider moved by the user: the value, what its label then shows and the field that holds it.
struct slider_case {
    int id;
    int value;
    const wchar_t* label;
    int label_id;
    filter_state stage;
    field value_of;
};

// One row of each kind of label, and the record's nested field.
const slider_case slider_cases[] = {
    {IDC_DENOISE_INTENSITY, 120, L"120  ", IDC_DENOISE_INTENSITY_VALUE, tessolux::reduce_noise,
     [](controls_frame& p) -> std::int32_t& { return p.reduce_noise_intensity; }},
    {IDC_DENOISE_BLENDING, 40, L"40 %", IDC_DENOISE_BLENDING_VALUE, tessolux::reduce_noise,
     [](controls_frame& p) -> std::int32_t& { return p.reduce_noise_blending; }},
    // The search and tile sizes show the engine's odd sizes.
    {IDC_DENOISE_SEARCH, 8, L"19  ", IDC_DENOISE_SEARCH_VALUE, tessolux::reduce_noise,
     [](controls_frame& p) -> std::int32_t& { return p.reduce_noise_search_size; }},
    {IDC_DENOISE_TILE, 3, L"7  ", IDC_DENOISE_TILE_VALUE, tessolux::reduce_noise,
     [](controls_frame& p) -> std::int32_t& { return p.reduce_noise_tile_size; }},
    {IDC_ENHANCE_TOLERANCE, 17, L"17\u00d710\u207b\u2074", IDC_ENHANCE_TOLERANCE_VALUE,
     tessolux::natural_enhance,
     [](controls_frame& p) -> std::int32_t& { return p.natural_enhance_tolerance; }},
    {IDC_REDEYE_BORDER, 0, L"0  ", IDC_REDEYE_BORDER_VALUE, tessolux::remove_red_eyes,
     [](controls_frame& p) -> std::int32_t& { return p.eyes.darken_border; }},
    {IDC_GRAIN_INTENSITY, 12, L"12  ", IDC_GRAIN_INTENSITY_VALUE, tessolux::grain,
     [](controls_frame& p) -> std::int32_t& { return p.grain_intensity; }},
};

// The six panels: stage, check box, arrow, and a control of the panel's basic group.
struct panel_case {
    filter_state stage;
    int check;
    int arrow;
    int control;
};
constexpr panel_case panel_cases[] = {
    {tessolux::reduce_noise, IDC_DENOISE_ENABLE, IDC_DENOISE_EXPAND, IDC_DENOISE_INTENSITY},
    {tessolux::natural_enhance, IDC_ENHANCE_ENABLE, IDC_ENHANCE_EXPAND, IDC_ENHANCE_BALANCE},
    {tessolux::remove_red_eyes, IDC_REDEYE_ENABLE, IDC_REDEYE_EXPAND, IDC_REDEYE_DRAW},
    {tessolux::tilt_shift, IDC_TILTSHIFT_ENABLE, IDC_TILTSHIFT_EXPAND, IDC_TILTSHIFT_SELECT},
    {tessolux::film_effect, IDC_EFFECT_ENABLE, IDC_EFFECT_EXPAND, IDC_EFFECT_COMBO},
    {tessolux::grain, IDC_GRAIN_ENABLE, IDC_GRAIN_EXPAND, IDC_GRAIN_FAT},
};

// Every control of dialog 130.
std::vector<int> all_controls() {
    std::vector<int> ids;
    for (int id = IDC_DENOISE_INTENSITY_LABEL; id <= IDC_REDEYE_RADIUS; ++id)
        ids.push_back(id);
    ids.push_back(IDC_DENOISE_BILATERAL);
    return ids;
}

int rounded(double value) {
    return static_cast<int>(std::floor(value + 0.5));
}

} // namespace

TEST_F(controls_panel, a_moved_slider_sets_its_field_and_label_and_asks_for_its_stage_after_200_ms) {
    make_panel();
    for (const slider_case& c : slider_cases) {
        changes.clear();
        drag(c.id, c.value);
        EXPECT_EQ(c.value_of(*panel), c.value) << c.id;
        EXPECT_EQ(text_of(c.label_id), c.label) << c.id;
        EXPECT_THAT(changes, ElementsAre(change{200, c.stage})) << c.id;
    }
    EXPECT_THAT(failures, IsEmpty());
}

TEST_F(controls_panel, hidden_advanced_settings_average_the_intensities_and_mirror_the_noise_intensity) {
    make_panel();
    drag(IDC_DENOISE_INTENSITY, 20);
    drag(IDC_DENOISE_COLOR, 41);
    changes.clear();
    panel->toggle_advanced_settings();
    EXPECT_FALSE(panel->show_advanced);
    EXPECT_EQ(panel->reduce_noise_intensity, 30);
    EXPECT_EQ(panel->reduce_noise_intensity_color, 30);
    EXPECT_EQ(slider(IDC_DENOISE_INTENSITY), 30);
    EXPECT_EQ(panel->natural_enhance_tile_size, 64) << "the tile size suited to a 1000 x 600 image";
    EXPECT_THAT(changes, ElementsAre(change{10, tessolux::reduce_noise}));
    EXPECT_FALSE(visible(IDC_DENOISE_COLOR));
    EXPECT_FALSE(visible(IDC_ENHANCE_RED));

    drag(IDC_DENOISE_INTENSITY, 120);
    EXPECT_EQ(panel->reduce_noise_intensity_color, 120);

    // Shown again, the hidden sliders show the values that now stand.
    panel->toggle_advanced_settings();
    EXPECT_TRUE(visible(IDC_DENOISE_COLOR));
    EXPECT_EQ(slider(IDC_DENOISE_COLOR), 120);
    EXPECT_EQ(text_of(IDC_DENOISE_COLOR_VALUE), L"120 %");
    EXPECT_EQ(slider(IDC_ENHANCE_TILE), 64);
}

TEST_F(controls_panel, every_choice_asks_for_its_stage_with_its_delay) {
    make_panel();
    const std::pair<std::function<void()>, change> cases[] = {
        {[&] { click(IDC_DENOISE_BILATERAL); }, {200, tessolux::reduce_noise}},
        {[&] { click(IDC_GRAIN_FRACTAL); }, {200, tessolux::grain}},
        {[&] { choose_effect(12); }, {500, tessolux::film_effect}},
        {[&] { click(IDC_TILTSHIFT_ENABLE); }, {200, tessolux::tilt_shift}},
    };
    for (const auto& [act, expected] : cases) {
        changes.clear();
        act();
        EXPECT_THAT(changes, ElementsAre(expected));
    }
    EXPECT_EQ(panel->grain_kind, 2u);

    // With auto expand/collapse a stage switched off folds its panel, and unfolds it when switched on.
    panel->set_auto_expand(true);
    click(IDC_ENHANCE_ENABLE);
    EXPECT_EQ(panel->expanded_filters & tessolux::natural_enhance, 0u);
    EXPECT_FALSE(visible(IDC_ENHANCE_BALANCE));
    click(IDC_ENHANCE_ENABLE);
    EXPECT_TRUE(visible(IDC_ENHANCE_BALANCE));
}

TEST_F(controls_panel, a_stage_switched_off_disables_its_controls_and_asks_for_its_stage) {
    make_panel();
    for (const panel_case& c : panel_cases) {
        changes.clear();
        click(c.check);
        EXPECT_EQ(panel->active_filters & c.stage, 0u) << c.check;
        EXPECT_FALSE(enabled(c.control)) << c.check;
        EXPECT_TRUE(visible(c.control)) << "still expanded: " << c.check;
        EXPECT_THAT(changes, ElementsAre(change{200, c.stage}));
        click(c.check);
        EXPECT_NE(panel->active_filters & c.stage, 0u) << c.check;
        EXPECT_TRUE(enabled(c.control)) << c.check;
    }
}

TEST_F(controls_panel,
       the_noise_search_and_colour_controls_are_enabled_only_while_noise_reduction_runs_without_bilateral) {
    make_panel();
    const int bilateral_unused[] = {IDC_DENOISE_SEARCH, IDC_DENOISE_SEARCH_VALUE, IDC_DENOISE_SEARCH_LABEL,
                                    IDC_DENOISE_COLOR,  IDC_DENOISE_COLOR_VALUE,  IDC_DENOISE_COLOR_LABEL};
    const auto unused_enabled = [&] {
        return std::count_if(std::begin(bilateral_unused), std::end(bilateral_unused),
                             [&](int id) { return enabled(id); });
    };
    click(IDC_DENOISE_BILATERAL);
    EXPECT_EQ(unused_enabled(), 0);
    EXPECT_TRUE(enabled(IDC_DENOISE_TILE)) << "the bilateral filter takes its radius from the tile size";
    click(IDC_DENOISE_ENABLE);    // off
    click(IDC_DENOISE_BILATERAL); // unchecked while the stage is off
    EXPECT_EQ(unused_enabled(), 0) << "an inactive stage keeps every control disabled";
    click(IDC_DENOISE_ENABLE); // on
    EXPECT_EQ(unused_enabled(), 6);
    panel->toggle_advanced_settings();
    click(IDC_DENOISE_BILATERAL);
    panel->toggle_advanced_settings();
    EXPECT_EQ(unused_enabled(), 0) << "showing the advanced settings again keeps the rule";
}

TEST_F(controls_panel,
       the_effects_list_holds_the_39_presets_in_group_and_name_order_with_thumbnails_of_the_scale) {
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
    const auto thumbnail_size = [&] {
        int width = 0, height = 0;
        ImageList_GetIconSize(reinterpret_cast<HIMAGELIST>(SendMessageW(combo, CBEM_GETIMAGELIST, 0, 0)),
                              &width, &height);
        return std::pair{width, height};
    };
    EXPECT_EQ(thumbnail_size(), std::pair(64, 64));
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), 0);

    // A DPI change renders them again at the new size and keeps the choice.
    choose_effect(32);
    const HIMAGELIST old_list = reinterpret_cast<HIMAGELIST>(SendMessageW(combo, CBEM_GETIMAGELIST, 0, 0));
    IMAGEINFO old_info{};
    ASSERT_TRUE(ImageList_GetImageInfo(old_list, 0, &old_info));
    panel->on_dpi_changed(engine, 1.25, 1.25f);
    EXPECT_EQ(thumbnail_size(), std::pair(80, 80));
    EXPECT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 39);
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), 32);
    EXPECT_EQ(panel->selected_effect_node(), L"SEPIA");
    EXPECT_EQ(GetObjectType(old_info.hbmImage), 0u) << "the replaced list is gone with its pictures";
    EXPECT_THAT(failures, IsEmpty());
}

TEST_F(controls_panel, a_preset_without_intensity_disables_the_intensity_slider_and_each_has_its_node) {
    make_panel();
    const struct {
        int index;
        const wchar_t* node;
        bool intensity;
    } cases[] = {
        {3, L"POLAPAN", false}, {4, L"YR1977", true}, {0, L"AGFAAPX100", false}, {38, L"XPROII", true}};
    for (const auto& c : cases) {
        choose_effect(c.index);
        EXPECT_EQ(panel->selected_effect_node(), c.node);
        EXPECT_EQ(panel->effect_has_intensity, c.intensity) << c.index;
        for (const int id : {IDC_EFFECT_INTENSITY, IDC_EFFECT_INTENSITY_VALUE, IDC_EFFECT_INTENSITY_LABEL})
            EXPECT_EQ(enabled(id), c.intensity) << c.index;
    }
    // With the stage off nothing of it is enabled, whatever the preset.
    click(IDC_EFFECT_ENABLE);
    EXPECT_FALSE(enabled(IDC_EFFECT_INTENSITY));
    EXPECT_FALSE(enabled(IDC_EFFECT_COMBO));

    // A name the preset table does not have is a logic failure, with the map's own words.
    const std::wstring text = L"Not a preset";
    COMBOBOXEXITEMW entry{};
    entry.mask = CBEIF_TEXT;
    entry.iItem = -1;
    entry.pszText = const_cast<wchar_t*>(text.c_str());
    SendMessageW(item(IDC_EFFECT_COMBO), CBEM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&entry));
    choose_effect(39);
    try {
        panel->selected_effect_node();
        ADD_FAILURE() << "a name without a node gave one";
    } catch (const std::logic_error& failure) {
        EXPECT_STREQ(failure.what(), "invalid unordered_map<K, T> key");
    }
}

TEST_F(controls_panel, folding_puts_the_next_arrow_under_the_arrow_and_unfolding_back_under_the_controls) {
    for (const double scale : {1.0, 1.25}) {
        SCOPED_TRACE(scale);
        make_panel(1.0);
        if (scale != 1.0)
            panel->on_dpi_changed(engine, scale, static_cast<float>(scale));
        // All arrows have one height; the gaps are 10 pixels under a folded arrow and 4 + 10 under the
        // lowest control of an unfolded panel, at the scale.
        const int folded_gap = rounded(10 * scale);
        const int unfolded_gap = rounded(4 * scale) + rounded(10 * scale);
        std::map<int, RECT> before;
        for (const int id : all_controls())
            before[id] = rect_of(id);
        const SCROLLINFO range = scroll_info();

        for (std::size_t i = 0; i + 1 != std::size(panel_cases); ++i) {
            const panel_case& c = panel_cases[i];
            const int next_arrow = panel_cases[i + 1].arrow;
            int lowest = 0;
            for (const int id : all_controls())
                if (visible(id) && rect_of(id).top > rect_of(c.arrow).top &&
                    rect_of(id).top < rect_of(next_arrow).top)
                    lowest = std::max(lowest, static_cast<int>(rect_of(id).bottom));
            EXPECT_EQ(rect_of(next_arrow).top, lowest + unfolded_gap) << c.arrow;
            panel->toggle_expanded(c.stage);
            EXPECT_FALSE(visible(c.control));
            EXPECT_EQ(text_of(c.arrow), L"\u25bc");
            EXPECT_EQ(rect_of(next_arrow).top, rect_of(c.arrow).bottom + folded_gap) << c.arrow;
        }
        panel->toggle_expanded(tessolux::grain);
        EXPECT_LT(scroll_info().nMax, range.nMax);
        for (const panel_case& c : panel_cases)
            panel->toggle_expanded(c.stage);
        EXPECT_TRUE(visible(IDC_DENOISE_INTENSITY));
        EXPECT_EQ(text_of(IDC_DENOISE_EXPAND), L"\u25b2");
        for (const int id : all_controls()) {
            const RECT after = rect_of(id);
            EXPECT_TRUE(EqualRect(&after, &before[id])) << id;
        }
        EXPECT_EQ(scroll_info().nMax, range.nMax);
        panel.reset();
    }
}

TEST_F(controls_panel, scrolling_moves_every_control_with_the_bar) {
    make_panel(1.0, 300);
    const int top = rect_of(IDC_DENOISE_ENABLE).top;
    const auto scrolled_to = [&](int position) {
        EXPECT_EQ(scroll_info().nPos, position);
        EXPECT_EQ(rect_of(IDC_DENOISE_ENABLE).top, top - position);
    };
    const auto wheel = [&](int notches, WPARAM keys) {
        SendMessageW(panel->window_handle(), WM_MOUSEWHEEL, MAKEWPARAM(keys, notches * WHEEL_DELTA), 0);
    };
    wheel(-1, MK_CONTROL);
    scrolled_to(20);
    wheel(-1, 0);
    wheel(-1, MK_CONTROL | MK_SHIFT);
    scrolled_to(20); // the wheel is the panel's with Ctrl alone
    wheel(3, MK_CONTROL);
    scrolled_to(0);
    const struct {
        WORD code;
        int position;
    } steps[] = {{SB_LINEDOWN, 10}, {SB_PAGEDOWN, 310}, {SB_LINEUP, 300}, {SB_PAGEUP, 0}, {SB_LINEUP, 0}};
    for (const auto& step : steps) {
        SendMessageW(panel->window_handle(), WM_VSCROLL, step.code, 0);
        scrolled_to(step.position);
    }
    // A control that gets the focus comes into view, with its bottom or its top at the panel's edge.
    focus(IDC_GRAIN_ENABLE);
    RECT client;
    GetClientRect(panel->window_handle(), &client);
    EXPECT_EQ(rect_of(IDC_GRAIN_ENABLE).bottom, client.bottom);
    focus(IDC_DENOISE_ENABLE);
    EXPECT_EQ(rect_of(IDC_DENOISE_ENABLE).top, 0);
}

TEST_F(controls_panel, the_bar_never_goes_past_its_ends) {
    make_panel(1.0, 300);
    const int top = rect_of(IDC_DENOISE_ENABLE).top;
    SendMessageW(panel->window_handle(), WM_MOUSEWHEEL, MAKEWPARAM(MK_CONTROL, -250 * WHEEL_DELTA), 0);
    const SCROLLINFO bottom = scroll_info();
    EXPECT_EQ(bottom.nPos, bottom.nMax - static_cast<int>(bottom.nPage));
    SendMessageW(panel->window_handle(), WM_VSCROLL, SB_BOTTOM, 0);
    // Folding everything down there: the controls stay in step with the bar, which now has less to cover.
    for (const panel_case& c : panel_cases)
        panel->toggle_expanded(c.stage);
    EXPECT_EQ(rect_of(IDC_DENOISE_ENABLE).top, top - scroll_info().nPos);
    // All of it fits now: neither the wheel nor the bar moves anything.
    ASSERT_LT(scroll_info().nMax, static_cast<int>(scroll_info().nPage));
    SendMessageW(panel->window_handle(), WM_MOUSEWHEEL, MAKEWPARAM(MK_CONTROL, -WHEEL_DELTA), 0);
    SendMessageW(panel->window_handle(), WM_VSCROLL, SB_PAGEDOWN, 0);
    EXPECT_EQ(scroll_info().nPos, 0);
    EXPECT_EQ(rect_of(IDC_DENOISE_ENABLE).top, top);
}

TEST_F(controls_panel, context_menu_commands_act_on_every_panel) {
    make_panel();
    const auto pick = [&](int control, wchar_t mnemonic) {
        const menu_picker picker(mnemonic);
        SendMessageW(control != 0 ? item(control) : panel->window_handle(), WM_RBUTTONUP, 0,
                     MAKELPARAM(4, 4));
        EXPECT_TRUE(picker.answered());
        return picker.menu();
    };
    pick(0, L'c'); // collapse everything
    EXPECT_EQ(panel->expanded_filters & 126u, 0u);
    click(IDC_ENHANCE_ENABLE);
    click(IDC_GRAIN_ENABLE);
    pick(IDC_DENOISE_ENABLE, L'x'); // expand activated
    EXPECT_EQ(panel->expanded_filters & 126u, 126u & ~(tessolux::natural_enhance | tessolux::grain));
    pick(0, L'e'); // expand everything
    EXPECT_EQ(panel->expanded_filters & 126u, 126u);
    changes.clear();
    pick(IDC_GRAIN_ENABLE, L'd'); // deactivate all
    EXPECT_EQ(panel->active_filters & 126u, 0u);
    for (const panel_case& c : panel_cases)
        EXPECT_FALSE(checked(c.check)) << c.check;
    EXPECT_EQ(changes.size(), 4u) << "one change for each stage that was still on";

    // "Reset value" on a slider: the table's default, or for the tile size the one that suits the image.
    drag(IDC_ENHANCE_BALANCE, 3);
    drag(IDC_ENHANCE_TILE, 400);
    pick(IDC_ENHANCE_BALANCE, L'r');
    EXPECT_EQ(panel->natural_enhance_balance, 80);
    EXPECT_EQ(text_of(IDC_ENHANCE_BALANCE_VALUE), L"80 %");
    pick(IDC_ENHANCE_TILE, L'r');
    EXPECT_EQ(panel->natural_enhance_tile_size, 64);
    EXPECT_EQ(slider(IDC_ENHANCE_TILE), 64);

    // Auto expand/collapse is a check mark.
    const HMENU menu = pick(0, L'a');
    EXPECT_TRUE(panel->auto_expand);
    EXPECT_EQ(GetMenuState(menu, ID_AUTO_EXPAND, MF_BYCOMMAND) & MF_CHECKED, static_cast<UINT>(MF_CHECKED));
    EXPECT_EQ(GetMenuState(menu, ID_RESET_VALUE, MF_BYCOMMAND) & MF_GRAYED, static_cast<UINT>(MF_GRAYED))
        << "no slider under the click, nothing to reset";
    EXPECT_THAT(failures, IsEmpty());
}

TEST_F(controls_panel, a_failure_inside_the_panels_message_handling_reaches_the_failure_callback) {
    make_panel();
    panel.reset();
    // A change callback that fails, inside a click (dialog procedure) and inside a menu command run from a
    // control's subclass.
    const HWND dialog = owner->window_handle();
    panel = std::make_unique<controls_frame>(
        dialog, 0, 0, panel_width(dialog, 1.0), 600, 1.0f,
        [](unsigned, filter_state) { throw std::runtime_error("change failed"); },
        [this](std::exception_ptr failure) { failures.push_back(failure); },
        [this](HDC screen, unsigned width, unsigned height) { return buffer.take(screen, width, height); },
        [this](void* previous) { buffer.give_back(previous); }, engine);
    EXPECT_EQ(SendMessageW(panel->window_handle(), WM_COMMAND, MAKEWPARAM(IDC_GRAIN_FAT, BN_CLICKED),
                           reinterpret_cast<LPARAM>(item(IDC_GRAIN_FAT))),
              0);
    {
        const menu_picker picker(L'd');
        SendMessageW(item(IDC_GRAIN_INTENSITY), WM_RBUTTONUP, 0, MAKELPARAM(4, 4));
    }
    ASSERT_EQ(failures.size(), 2u);
    for (const auto& failure : failures)
        EXPECT_THROW(std::rethrow_exception(failure), std::runtime_error);
}

TEST_F(controls_panel, a_control_out_of_memory_is_said_in_a_box) {
    make_panel();
    const test_support::message_box_reader reader;
    NMHDR header{item(IDC_EFFECT_COMBO), IDC_EFFECT_COMBO, static_cast<UINT>(NM_OUTOFMEMORY)};
    SendMessageW(panel->window_handle(), WM_NOTIFY, IDC_EFFECT_COMBO, reinterpret_cast<LPARAM>(&header));
    ASSERT_EQ(reader.boxes().size(), 1u);
    EXPECT_EQ(reader.boxes()[0].caption, L"A failure has occured");
    EXPECT_EQ(reader.boxes()[0].text, L"Not enough memory available!");
}

TEST_F(controls_panel, a_window_that_cannot_be_created_says_so) {
    const HWND gone =
        CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    const std::pair<std::function<void()>, const char*> windows[] = {
        {[&] {
             controls_frame broken(
                 gone, 0, 0, 100, 100, 1.0f, [](unsigned, filter_state) {}, [](std::exception_ptr) {},
                 [](HDC, unsigned, unsigned) { return std::pair<HDC, void*>{}; }, [](void*) {}, engine);
         },
         "controls_frame failed at 771"},
        {[&] { tessolux::hotkey_dialog broken(gone, gone); }, "hotkey_dialog failed at 2721"},
    };
    for (const auto& [make, place] : windows) {
        try {
            make();
            ADD_FAILURE() << "a window with a destroyed owner was made";
        } catch (const std::system_error& failure) {
            EXPECT_THAT(failure.what(),
                        HasSubstr(std::string(place) + " in file \"main-controls-frame.cpp\"\n - "
                                                       "CreateDialogParam resulted in error!"));
        }
    }
}

TEST_F(controls_panel, nothing_the_panel_made_survives_it) {
    make_panel();
    const auto button_picture = [&](int id) {
        return reinterpret_cast<HBITMAP>(SendMessageW(item(id), BM_GETIMAGE, IMAGE_BITMAP, 0));
    };
    const HBITMAP replaced[] = {button_picture(IDC_TILTSHIFT_SELECT), button_picture(IDC_REDEYE_DRAW),
                                panel->reset_value_bitmap()};
    panel->on_dpi_changed(engine, 1.25, 1.25f);
    for (const HBITMAP picture : replaced)
        EXPECT_EQ(GetObjectType(picture), 0u) << "a picture replaced on a DPI change is deleted";
    BITMAP shown{};
    GetObjectW(button_picture(IDC_REDEYE_DRAW), sizeof shown, &shown);
    EXPECT_EQ(shown.bmWidth, 40) << "32 pixels at 1.25";

    const HBITMAP pictures[] = {
        reinterpret_cast<HBITMAP>(SendMessageW(item(IDC_TILTSHIFT_SELECT), BM_GETIMAGE, IMAGE_BITMAP, 0)),
        reinterpret_cast<HBITMAP>(SendMessageW(item(IDC_REDEYE_DRAW), BM_GETIMAGE, IMAGE_BITMAP, 0)),
        panel->reset_value_bitmap()};
    IMAGEINFO thumbnails{};
    ASSERT_TRUE(ImageList_GetImageInfo(
        reinterpret_cast<HIMAGELIST>(SendMessageW(item(IDC_EFFECT_COMBO), CBEM_GETIMAGELIST, 0, 0)), 0,
        &thumbnails));
    HMENU menu = nullptr;
    {
        const menu_picker picker(0);
        SendMessageW(panel->window_handle(), WM_RBUTTONUP, 0, MAKELPARAM(4, 4));
        menu = picker.menu();
    }
    ASSERT_NE(menu, nullptr);
    MENUITEMINFOW deactivate{};
    deactivate.cbSize = sizeof deactivate;
    deactivate.fMask = MIIM_BITMAP;
    ASSERT_TRUE(GetMenuItemInfoW(menu, ID_DEACTIVATE_ALL, FALSE, &deactivate));
    for (const HBITMAP picture : pictures)
        ASSERT_EQ(GetObjectType(picture), static_cast<DWORD>(OBJ_BITMAP));
    ASSERT_EQ(GetObjectType(deactivate.hbmpItem), static_cast<DWORD>(OBJ_BITMAP));

    panel.reset();
    for (const HBITMAP picture : pictures)
        EXPECT_EQ(GetObjectType(picture), 0u);
    EXPECT_EQ(GetObjectType(deactivate.hbmpItem), 0u);
    EXPECT_EQ(GetObjectType(thumbnails.hbmImage), 0u) << "the thumbnail list went with its pictures";
    EXPECT_FALSE(IsMenu(menu));
}

TEST_F(controls_panel,
       each_panel_has_a_frame_of_its_own_and_the_focused_area_shows_its_icons_while_tilt_shift_is_on) {
    make_panel();
    const HWND dialog = panel->window_handle();
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    const COLORREF face = GetSysColor(COLOR_3DFACE);
    const COLORREF frame = GetSysColor(COLOR_ACTIVEBORDER);
    // The frames' left edges run from above each arrow down past the panel's lowest control; between two
    // frames lies the button face. The next arrow stands 14 pixels below the lowest control, and the frame
    // ends 3r = 6 pixels below it. The first two panels are in view.
    const HDC dc = GetDC(dialog);
    for (std::size_t i = 0; i != 2; ++i) {
        const int arrow = rect_of(panel_cases[i].arrow).top;
        const int next = rect_of(panel_cases[i + 1].arrow).top;
        EXPECT_EQ(GetPixel(dc, 0, arrow + 1), frame) << i;
        EXPECT_EQ(GetPixel(dc, 0, next - 14 + 4), frame) << i << ": the frame's last rows";
        EXPECT_EQ(GetPixel(dc, 0, next - 4), face) << i << ": a gap between two frames";
    }
    ReleaseDC(dialog, dc);

    focus(IDC_TILTSHIFT_SELECT);
    RECT client;
    GetClientRect(dialog, &client);
    ASSERT_LE(rect_of(IDC_SELECT_STATS).top + 17, client.bottom) << "the focused area's icons are in view";
    const auto icon_pixels = [&] {
        const HWND box = item(IDC_SELECT_STATS);
        RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        const HDC dc = GetDC(box);
        int drawn = 0;
        for (int y = 2; y != 2 + 15; ++y)
            for (int x = 3; x != 3 + 15; ++x)
                drawn += GetPixel(dc, x, y) != face;
        ReleaseDC(box, dc);
        return drawn;
    };
    EXPECT_GT(icon_pixels(), 20);
    click(IDC_TILTSHIFT_ENABLE);
    EXPECT_EQ(icon_pixels(), 0);
    EXPECT_THAT(failures, IsEmpty());
}
