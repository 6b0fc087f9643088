#include <string>

#include "panel-test.h"

namespace {

using filter_settings = controls_panel;

const int grain_radios[] = {IDC_GRAIN_REGULAR, IDC_GRAIN_FAT, IDC_GRAIN_FRACTAL};
const int stage_checks[] = {IDC_DENOISE_ENABLE,   IDC_ENHANCE_ENABLE, IDC_REDEYE_ENABLE,
                            IDC_TILTSHIFT_ENABLE, IDC_EFFECT_ENABLE,  IDC_GRAIN_ENABLE};
// The film look's intensity: slider, label and value.
const int film_intensity[] = {IDC_EFFECT_INTENSITY, IDC_EFFECT_INTENSITY_LABEL, IDC_EFFECT_INTENSITY_VALUE};

} // namespace

TEST_F(filter_settings, stored_values_set_slider_and_label_and_invalid_ones_load_and_save_as_defaults) {
    make_panel();
    const struct {
        const wchar_t* name;
        DWORD stored;
        int slider, label;
        int value; // what loads, and what a save writes back
        const wchar_t* text;
        DWORD type = REG_DWORD;
    } cases[] = {
        {L"TiltShiftBluringRadius", 150, IDC_TILTSHIFT_BLUR, IDC_TILTSHIFT_BLUR_VALUE, 150, L"150  "},
        {L"NaturalEnhanceBlue", 0, IDC_ENHANCE_BLUE, IDC_ENHANCE_BLUE_VALUE, 0, L"0 %"},
        {L"NaturalEnhanceTolerance", 17, IDC_ENHANCE_TOLERANCE, IDC_ENHANCE_TOLERANCE_VALUE, 17,
         L"17\u00d710\u207b\u2074"},
        // The search and tile sizes show the odd sizes the engine gets.
        {L"ReduceNoiseSearchSize", 1, IDC_DENOISE_SEARCH, IDC_DENOISE_SEARCH_VALUE, 8, L"19  "},
        {L"ReduceNoiseTileSize", 26, IDC_DENOISE_TILE, IDC_DENOISE_TILE_VALUE, 3, L"7  "},
        {L"NaturalEnhanceBalance", 0xFFFFFFFF, IDC_ENHANCE_BALANCE, IDC_ENHANCE_BALANCE_VALUE, 80, L"80 %"},
        {L"DarkenBorder", 7, IDC_REDEYE_BORDER, IDC_REDEYE_BORDER_VALUE, 3, L"3  ", REG_BINARY}};
    for (const auto& c : cases) {
        drag(c.slider, 40); // neither what is stored nor the default
        store(c.name, c.stored, c.type);
    }
    store(L"ActiveFilters", 0x7F);
    changes.clear();
    panel->load_filter_settings(settings_key);
    EXPECT_THAT(changes, IsEmpty()) << "the caller restarts the chain itself";
    for (const auto& c : cases)
        EXPECT_EQ(std::pair(slider(c.slider), text_of(c.label)), std::pair(c.value, std::wstring(c.text)))
            << c.name;
    panel->save_filter_settings(settings_key);
    for (const auto& c : cases)
        EXPECT_THAT(stored(c.name), Optional(c.value)) << c.name;
}

TEST_F(filter_settings,
       stages_load_as_check_boxes_the_grain_kind_as_one_radio_and_only_a_listed_effect_loads) {
    const struct {
        std::optional<DWORD> stages;
        DWORD kind, effect;
        std::uint32_t active;
        int radio, selected; // 10 is what was chosen before the load
        bool intensity;      // the first four presets take none
    } cases[] = {// Without ActiveFilters only natural enhancement runs: the grain radios are disabled.
                 {std::nullopt, 0, 2, tessolux::natural_enhance, IDC_GRAIN_REGULAR, 2, false},
                 {0x24, 2, 50, 0x24, IDC_GRAIN_FRACTAL, 10, true},
                 {0x80, 7, 0xFFFFFFFF, 0, IDC_GRAIN_FRACTAL, 10, true}, // any other kind is fractal
                 {0x7F, 0, 39, 126, IDC_GRAIN_REGULAR, 10, true},
                 {0x7F, 1, 3, 126, IDC_GRAIN_FAT, 3, false},
                 {0x7F, 2, 20, 126, IDC_GRAIN_FRACTAL, 20, true}};
    for (const auto& c : cases) {
        make_panel();
        click(IDC_GRAIN_FAT);
        choose_effect(10);
        if (c.stages)
            store(L"ActiveFilters", *c.stages);
        store(L"CurrentGrainFilter", c.kind);
        store(L"CurrentEffectFilter", c.effect);
        panel->load_filter_settings(settings_key);
        for (std::size_t i = 0; i != std::size(stage_checks); ++i)
            EXPECT_EQ(checked(stage_checks[i]), (c.active & (2u << i)) != 0) << stage_checks[i];
        for (const int radio : grain_radios)
            EXPECT_EQ(checked(radio), radio == c.radio) << radio;
        EXPECT_EQ(effect(), c.selected);
        // Bit 1 is no stage's: construction sets it and a save keeps it.
        panel->save_filter_settings(settings_key);
        EXPECT_THAT(stored(L"ActiveFilters"), Optional(static_cast<int>(c.active | 1)));
        EXPECT_THAT(stored(L"CurrentGrainFilter"), Optional(c.radio - IDC_GRAIN_REGULAR));
        EXPECT_THAT(stored(L"CurrentEffectFilter"), Optional(c.selected));
        // A switched-off stage disables all its controls: the intensity shows its rule once the stage runs.
        if (!checked(IDC_EFFECT_ENABLE))
            click(IDC_EFFECT_ENABLE);
        ASSERT_NE(panel->expanded_filters & tessolux::film_effect, 0u);
        for (const int id : film_intensity)
            EXPECT_EQ(enabled(id), c.intensity) << id;
        panel.reset();
    }
}

TEST_F(filter_settings, a_reset_restores_every_default_and_keeps_the_panels_as_they_are) {
    make_panel();
    // The tile size is the one that suits a 1000 x 600 picture.
    // clang-format off
    const std::pair<const wchar_t*, int> defaults[] = {
        {L"ReduceNoiseIntensity", 25}, {L"ReduceNoiseBlending", 75}, {L"ReduceNoiseSearchSize", 8},
        {L"ReduceNoiseTileSize", 3}, {L"ReduceNoiseIntensityColor", 25}, {L"NaturalEnhanceIntensity", 70},
        {L"NaturalEnhanceBalance", 80}, {L"NaturalEnhanceTolerance", 5}, {L"NaturalEnhanceRed", 100},
        {L"NaturalEnhanceGreen", 100}, {L"NaturalEnhanceBlue", 100}, {L"NaturalEnhanceTileSize", 64},
        {L"DarkenIntensity", 100}, {L"DarkenBorder", 3}, {L"TiltShiftBluringRadius", 10},
        {L"TiltShiftBorderSize", 20}, {L"EffectIntensity", 100}, {L"GrainIntensity", 80}};
    // clang-format on
    for (const auto& [name, value] : defaults)
        store(name, value - 1);
    store(L"DenoiseBilateral", 1);
    store(L"CurrentEffectFilter", 20);
    store(L"CurrentGrainFilter", 2);
    store(L"ActiveFilters", 0x7F);
    panel->load_filter_settings(settings_key);
    panel->toggle_advanced_settings();
    panel->toggle_expanded(tessolux::tilt_shift);
    const std::uint32_t expanded = panel->expanded_filters;
    ASSERT_NE(expanded & tessolux::film_effect, 0u);
    ASSERT_TRUE(enabled(IDC_EFFECT_INTENSITY)) << "entry 20 takes an intensity";

    panel->load_filter_settings(L"empty");
    EXPECT_FALSE(checked(IDC_DENOISE_BILATERAL));
    EXPECT_EQ(effect(), 0);
    for (const int radio : grain_radios)
        EXPECT_EQ(checked(radio), radio == IDC_GRAIN_REGULAR) << radio;
    EXPECT_FALSE(panel->show_advanced);
    EXPECT_EQ(panel->expanded_filters, expanded);
    // The reset leaves natural enhancement alone running; switched on again, the film stage has entry 0,
    // which takes no intensity.
    click(IDC_EFFECT_ENABLE);
    EXPECT_TRUE(enabled(IDC_EFFECT_COMBO));
    for (const int id : film_intensity)
        EXPECT_FALSE(enabled(id)) << id;
    click(IDC_EFFECT_ENABLE);

    panel->save_filter_settings(settings_key);
    for (const auto& [name, value] : defaults)
        EXPECT_THAT(stored(name), Optional(value)) << name;
    for (const auto& [name, value] :
         {std::pair(L"ActiveFilters", 5), std::pair(L"DenoiseBilateral", 0),
          std::pair(L"CurrentEffectFilter", 0), std::pair(L"CurrentGrainFilter", 0)})
        EXPECT_THAT(stored(name), Optional(value)) << name;
}

TEST_F(filter_settings, the_film_intensity_follows_the_chosen_entry_after_construction_and_every_load) {
    const struct {
        const char* when;
        bool fill_list;
        int chosen;                  // by the user before the load; -1: nothing
        std::optional<DWORD> stored; // CurrentEffectFilter; nothing: none stored
        bool load;
        int selected;
        bool intensity;
    } cases[] = {
        {"a new panel before its list is filled", false, -1, std::nullopt, false, -1, false},
        {"a new panel", true, -1, std::nullopt, false, 0, false},
        {"a load without a stored entry", true, -1, std::nullopt, true, 0, false},
        {"a load of an entry the list lacks", true, -1, 39, true, 0, false},
        {"a load of entry 0", true, -1, 0, true, 0, false},
        {"a load of entry 3", true, 10, 3, true, 3, false},
        {"a load of entry 4", true, -1, 4, true, 4, true},
        {"a load that keeps entry 38", true, 38, std::nullopt, true, 38, true},
        {"a load that keeps entry 4", true, 4, 50, true, 4, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.when);
        make_panel(false, c.fill_list);
        if (c.chosen >= 0)
            choose_effect(c.chosen);
        // Every stage running: the intensity then shows the film entry's rule alone.
        store(L"ActiveFilters", 0x7F);
        if (c.stored)
            store(L"CurrentEffectFilter", *c.stored);
        if (c.load)
            panel->load_filter_settings(settings_key);
        ASSERT_TRUE(checked(IDC_EFFECT_ENABLE));
        ASSERT_NE(panel->expanded_filters & tessolux::film_effect, 0u);
        EXPECT_EQ(effect(), c.selected);
        for (const int id : film_intensity)
            EXPECT_EQ(enabled(id), c.intensity) << id;
        panel.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, settings_path().c_str());
    }
}
