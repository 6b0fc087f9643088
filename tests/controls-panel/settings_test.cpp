#include <string>

#include "panel-test.h"

namespace {

using filter_settings = controls_panel;

const int grain_radios[] = {IDC_GRAIN_REGULAR, IDC_GRAIN_FAT, IDC_GRAIN_FRACTAL};
const int stage_checks[] = {IDC_DENOISE_ENABLE,   IDC_ENHANCE_ENABLE, IDC_REDEYE_ENABLE,
                            IDC_TILTSHIFT_ENABLE, IDC_EFFECT_ENABLE,  IDC_GRAIN_ENABLE};

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
        for (const int id : {IDC_EFFECT_INTENSITY, IDC_EFFECT_INTENSITY_VALUE, IDC_EFFECT_INTENSITY_LABEL})
            EXPECT_EQ(enabled(id), c.intensity && (c.active & tessolux::film_effect) != 0) << id;
        // Bit 1 is no stage's: construction sets it and a save keeps it.
        panel->save_filter_settings(settings_key);
        EXPECT_THAT(stored(L"ActiveFilters"), Optional(static_cast<int>(c.active | 1)));
        EXPECT_THAT(stored(L"CurrentGrainFilter"), Optional(c.radio - IDC_GRAIN_REGULAR));
        EXPECT_THAT(stored(L"CurrentEffectFilter"), Optional(c.selected));
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
    panel->load_filter_settings(settings_key);
    panel->toggle_advanced_settings();
    panel->toggle_expanded(tessolux::tilt_shift);
    const std::uint32_t expanded = panel->expanded_filters;

    panel->load_filter_settings(L"empty");
    EXPECT_FALSE(checked(IDC_DENOISE_BILATERAL));
    EXPECT_EQ(effect(), 0);
    EXPECT_FALSE(enabled(IDC_EFFECT_INTENSITY));
    for (const int radio : grain_radios)
        EXPECT_EQ(checked(radio), radio == IDC_GRAIN_REGULAR) << radio;
    EXPECT_FALSE(panel->show_advanced);
    EXPECT_EQ(panel->expanded_filters, expanded);

    panel->save_filter_settings(settings_key);
    for (const auto& [name, value] : defaults)
        EXPECT_THAT(stored(name), Optional(value)) << name;
    for (const auto& [name, value] :
         {std::pair(L"ActiveFilters", 5), std::pair(L"DenoiseBilateral", 0),
          std::pair(L"CurrentEffectFilter", 0), std::pair(L"CurrentGrainFilter", 0)})
        EXPECT_THAT(stored(name), Optional(value)) << name;
}
