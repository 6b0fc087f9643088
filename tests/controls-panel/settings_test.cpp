#include <string>

#include "panel-test.h"

using namespace panel_test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Optional;

namespace {

using filter_settings = panel_world;

// The 18 slider values in the registry with the defaults a new panel has.
struct slider_default {
    const wchar_t* name;
    DWORD value;
    int id;
};
const slider_default slider_defaults[] = {
    {L"ReduceNoiseIntensity", 25, IDC_DENOISE_INTENSITY},
    {L"ReduceNoiseBlending", 75, IDC_DENOISE_BLENDING},
    {L"ReduceNoiseSearchSize", 8, IDC_DENOISE_SEARCH},
    {L"ReduceNoiseTileSize", 3, IDC_DENOISE_TILE},
    {L"ReduceNoiseIntensityColor", 25, IDC_DENOISE_COLOR},
    {L"NaturalEnhanceIntensity", 70, IDC_ENHANCE_INTENSITY},
    {L"NaturalEnhanceBalance", 80, IDC_ENHANCE_BALANCE},
    {L"NaturalEnhanceTolerance", 5, IDC_ENHANCE_TOLERANCE},
    {L"NaturalEnhanceRed", 100, IDC_ENHANCE_RED},
    {L"NaturalEnhanceGreen", 100, IDC_ENHANCE_GREEN},
    {L"NaturalEnhanceBlue", 100, IDC_ENHANCE_BLUE},
    {L"NaturalEnhanceTileSize", 64, IDC_ENHANCE_TILE}, // suited to the 1000 x 600 picture
    {L"DarkenIntensity", 100, IDC_REDEYE_INTENSITY},
    {L"DarkenBorder", 3, IDC_REDEYE_BORDER},
    {L"TiltShiftBluringRadius", 10, IDC_TILTSHIFT_BLUR},
    {L"TiltShiftBorderSize", 20, IDC_TILTSHIFT_BORDER},
    {L"EffectIntensity", 100, IDC_EFFECT_INTENSITY},
    {L"GrainIntensity", 80, IDC_GRAIN_INTENSITY},
};

constexpr int stage_checks[] = {IDC_DENOISE_ENABLE,   IDC_ENHANCE_ENABLE, IDC_REDEYE_ENABLE,
                                IDC_TILTSHIFT_ENABLE, IDC_EFFECT_ENABLE,  IDC_GRAIN_ENABLE};

} // namespace

TEST(image_tile_size, is_a_sixteenth_of_the_shorter_side_between_64_and_512) {
    const struct {
        std::int32_t width, height, size;
    } cases[] = {{1000, 600, 64}, {9000, 6000, 375}, {12000, 10000, 512}, {600, 9000, 64}, {1, 1, 64}};
    for (const auto& c : cases)
        EXPECT_EQ(tessolux::image_tile_size(c.width, c.height), c.size) << c.width << " x " << c.height;
}

TEST_F(filter_settings, stored_values_load_with_their_labels_and_invalid_ones_keep_their_defaults) {
    make_panel();
    // With the advanced settings hidden the noise intensity stands for both, but the colour intensity
    // still loads its own value after it.
    panel->toggle_advanced_settings();
    store(L"ReduceNoiseIntensity", 120);
    store(L"ReduceNoiseIntensityColor", 40);
    store(L"DenoiseBilateral", 5);
    store(L"ActiveFilters", 0x7F);
    store(L"ReduceNoiseSearchSize", 1);          // below 2
    store(L"ReduceNoiseTileSize", 26);           // above 25
    store(L"NaturalEnhanceBalance", 0xFFFFFFFF); // far out
    store(L"DarkenBorder", 7, REG_BINARY);       // four bytes, but not a number
    store(L"TiltShiftBluringRadius", 150);       // the maximum
    store(L"NaturalEnhanceBlue", 0);             // the minimum
    store(L"NaturalEnhanceTileSize", 24);
    changes.clear();
    panel->load_filter_settings(settings_key);
    EXPECT_THAT(changes, IsEmpty()) << "the caller restarts the chain itself";
    EXPECT_EQ(panel->reduce_noise_search_size, 8);
    EXPECT_EQ(text_of(IDC_DENOISE_SEARCH_VALUE), L"19  ");
    EXPECT_EQ(panel->reduce_noise_tile_size, 3);
    EXPECT_EQ(panel->natural_enhance_balance, 80);
    EXPECT_EQ(panel->eyes.darken_border, 3);
    EXPECT_EQ(panel->tilt_shift_blur_radius, 150);
    EXPECT_EQ(slider(IDC_TILTSHIFT_BLUR), 150);
    EXPECT_EQ(text_of(IDC_TILTSHIFT_BLUR_VALUE), L"150  ");
    EXPECT_EQ(panel->natural_enhance_ratios[2], 0);
    EXPECT_EQ(panel->natural_enhance_tile_size, 24);
    EXPECT_EQ(panel->reduce_noise_intensity, 120);
    EXPECT_EQ(panel->reduce_noise_intensity_color, 40);
    EXPECT_TRUE(panel->bilateral_filter());
    EXPECT_FALSE(enabled(IDC_DENOISE_SEARCH));

    // Saved right away, the invalid values come back as defaults.
    panel->save_filter_settings(settings_key);
    EXPECT_THAT(stored(L"ReduceNoiseSearchSize"), Optional(8ul));
    EXPECT_THAT(stored(L"ReduceNoiseTileSize"), Optional(3ul));
    EXPECT_THAT(stored(L"NaturalEnhanceBalance"), Optional(80ul));
    EXPECT_THAT(stored(L"DarkenBorder"), Optional(3ul));
    EXPECT_THAT(stored(L"TiltShiftBluringRadius"), Optional(150ul));
    EXPECT_THAT(stored(L"DenoiseBilateral"), Optional(1ul));
}

TEST_F(filter_settings, the_active_stages_load_as_check_boxes_and_leave_exactly_one_grain_radio) {
    const struct {
        std::optional<DWORD> stored;
        std::uint32_t stages;
    } cases[] = {{std::nullopt, tessolux::natural_enhance}, {0x7F, 126}, {0x80, 0}, {0x24, 0x24}};
    for (const auto& c : cases) {
        make_panel();
        RegDeleteTreeW(HKEY_CURRENT_USER, settings_path().c_str());
        if (c.stored)
            store(L"ActiveFilters", *c.stored);
        panel->load_filter_settings(settings_key);
        EXPECT_EQ(panel->active_filters & 126u, c.stages);
        for (std::size_t i = 0; i != std::size(stage_checks); ++i)
            EXPECT_EQ(checked(stage_checks[i]), (c.stages & (2u << i)) != 0) << stage_checks[i];
        EXPECT_EQ(checked(IDC_GRAIN_REGULAR) + checked(IDC_GRAIN_FAT) + checked(IDC_GRAIN_FRACTAL), 1);
        // Bit 1 is no stage's: it stays as construction left it, and a save writes it.
        panel->save_filter_settings(settings_key);
        EXPECT_THAT(stored(L"ActiveFilters"), Optional(static_cast<unsigned long>(c.stages | 1)));
        panel.reset();
    }
}

TEST_F(filter_settings, the_grain_kind_loads_as_its_radio_and_any_other_kind_is_fractal) {
    const struct {
        DWORD stored;
        std::uint32_t kind;
        int radio;
    } cases[] = {{0, 0, IDC_GRAIN_REGULAR},
                 {1, 1, IDC_GRAIN_FAT},
                 {2, 2, IDC_GRAIN_FRACTAL},
                 {7, 2, IDC_GRAIN_FRACTAL}};
    for (const auto& c : cases) {
        make_panel();
        click(IDC_GRAIN_FAT);
        store(L"CurrentGrainFilter", c.stored);
        panel->load_filter_settings(settings_key);
        EXPECT_EQ(panel->grain_kind, c.kind);
        for (const int radio : {IDC_GRAIN_REGULAR, IDC_GRAIN_FAT, IDC_GRAIN_FRACTAL})
            EXPECT_EQ(checked(radio), radio == c.radio) << c.stored;
        panel->save_filter_settings(settings_key);
        EXPECT_THAT(stored(L"CurrentGrainFilter"), Optional(static_cast<unsigned long>(c.kind)));
        panel.reset();
    }
}

TEST_F(filter_settings, a_stored_effect_outside_the_list_keeps_the_chosen_one) {
    const struct {
        DWORD stored;
        int selected;
        bool intensity;
    } cases[] = {{2, 2, false}, {20, 20, true}, {50, 10, true}, {0xFFFFFFFF, 10, true}, {39, 10, true}};
    for (const auto& c : cases) {
        make_panel();
        choose_effect(10);
        store(L"CurrentEffectFilter", c.stored);
        store(L"ActiveFilters", 0x7F);
        panel->load_filter_settings(settings_key);
        EXPECT_EQ(SendMessageW(item(IDC_EFFECT_COMBO), CB_GETCURSEL, 0, 0), c.selected) << c.stored;
        EXPECT_EQ(panel->effect_has_intensity, c.intensity) << c.stored;
        EXPECT_EQ(enabled(IDC_EFFECT_INTENSITY), c.intensity) << c.stored;
        EXPECT_NO_THROW(panel->selected_effect_node());
        panel->save_filter_settings(settings_key);
        EXPECT_THAT(stored(L"CurrentEffectFilter"), Optional(static_cast<unsigned long>(c.selected)));
        panel.reset();
    }
}

TEST_F(filter_settings, a_reset_restores_every_default_and_keeps_the_panels_as_they_are) {
    make_panel();
    for (const slider_default& d : slider_defaults)
        drag(d.id, d.id == IDC_ENHANCE_TILE ? 300 : 1);
    click(IDC_DENOISE_BILATERAL);
    choose_effect(20);
    click(IDC_GRAIN_FRACTAL);
    panel->toggle_advanced_settings();
    panel->toggle_expanded(tessolux::tilt_shift);
    const std::uint32_t expanded = panel->expanded_filters;

    panel->load_filter_settings(L"empty");
    for (const slider_default& d : slider_defaults) {
        if (d.id == IDC_DENOISE_COLOR)
            continue; // hidden: the noise intensity stands for it
        EXPECT_EQ(slider(d.id), static_cast<int>(d.value)) << d.name;
    }
    EXPECT_FALSE(checked(IDC_DENOISE_BILATERAL));
    EXPECT_EQ(SendMessageW(item(IDC_EFFECT_COMBO), CB_GETCURSEL, 0, 0), 0);
    EXPECT_FALSE(panel->effect_has_intensity);
    EXPECT_FALSE(enabled(IDC_EFFECT_INTENSITY));
    EXPECT_EQ(panel->grain_kind, 0u);
    EXPECT_TRUE(checked(IDC_GRAIN_REGULAR));
    EXPECT_FALSE(checked(IDC_GRAIN_FRACTAL));
    EXPECT_FALSE(panel->show_advanced);
    EXPECT_EQ(panel->expanded_filters, expanded);

    panel->save_filter_settings(settings_key);
    for (const slider_default& d : slider_defaults)
        EXPECT_THAT(stored(d.name), Optional(static_cast<unsigned long>(d.value))) << d.name;
    EXPECT_THAT(stored(L"ActiveFilters"), Optional(5ul));
    EXPECT_THAT(stored(L"DenoiseBilateral"), Optional(0ul));
    EXPECT_THAT(stored(L"CurrentEffectFilter"), Optional(0ul));
    EXPECT_THAT(stored(L"CurrentGrainFilter"), Optional(0ul));
}

TEST_F(filter_settings, a_settings_key_that_cannot_be_written_is_a_registry_failure) {
    make_panel();
    // A key that must last cannot live under a volatile one.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, settings_path().c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const system_ui::key_handle holder(key);
    try {
        panel->save_filter_settings(settings_key + L"\\inner");
        ADD_FAILURE() << "the save went through";
    } catch (const std::runtime_error& failure) {
        EXPECT_THAT(failure.what(), HasSubstr("\n - registry failure!"));
    }
    EXPECT_FALSE(panel->loading);
}
