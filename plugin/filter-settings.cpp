// The controls panel's filter settings in the current user's registry: the 18 slider values, the active
// stages, the bilateral switch, the film effect and the grain kind, one key per host installation.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include <windows.h>
#include <commctrl.h>

#include "am-collections.h"
#include "main-controls-frame.h"
#include "resource.h"
#include "settings-key.h"

namespace tessolux::main_window {

void controls_frame::load_filter_settings(const std::wstring& key) {
    const system_ui::key_handle root = open_current_user(KEY_READ);
    // The defaults go in once the root is open: a load that cannot start leaves the fields as the sliders
    // show them.
    for (const trackbar_definition& row : trackbar_definitions)
        row.field(*this) = static_cast<std::int32_t>(row.default_value);
    natural_enhance_tile_size = image_tile_size();
    // A key that does not open is a first run or a reset: every default stands.
    const system_ui::key_handle settings = open_settings_key(root.get(), key);
    const HKEY values = settings.get();

    const bool was_loading = std::exchange(loading, true);
    const auto restore = cpp::make_scope_guard([&] { loading = was_loading; });

    for (const trackbar_definition& row : trackbar_definitions) {
        if (const auto stored = read_dword(values, row.value_name);
            stored && *stored - static_cast<std::uint32_t>(row.minimum) <
                          static_cast<std::uint32_t>(row.maximum - row.minimum + 1))
            row.field(*this) = static_cast<std::int32_t>(*stored);
        set_trackbar_position(row.id, row.field(*this));
    }

    set_active_stages(read_dword(values, L"ActiveFilters").value_or(natural_enhance));

    // Without a key the three choices go back to what a new panel has, so that a reset resets them too.
    const auto choice = [&](const wchar_t* name) {
        return values != nullptr ? read_dword(values, name) : std::optional<std::uint32_t>(0);
    };
    if (const auto bilateral = choice(L"DenoiseBilateral");
        bilateral && (*bilateral != 0) != bilateral_filter()) {
        set_check(IDC_DENOISE_BILATERAL, *bilateral != 0);
        on_bilateral();
    }
    // An index the list does not have would leave the film stage without a preset, and a save would write
    // it back: it is ignored like an out-of-range slider value.
    const auto count =
        static_cast<std::uint32_t>(SendDlgItemMessageW(dialog_.get(), IDC_EFFECT_COMBO, CB_GETCOUNT, 0, 0));
    if (const auto effect = choice(L"CurrentEffectFilter"); effect && *effect < count)
        SendDlgItemMessageW(dialog_.get(), IDC_EFFECT_COMBO, CB_SETCURSEL, *effect, 0);
    // Also a load that keeps the choice leaves the intensity controls as the choice wants them.
    follow_effect_choice();
    if (const auto kind = choice(L"CurrentGrainFilter")) {
        const std::uint32_t radio = *kind == 0   ? IDC_GRAIN_REGULAR
                                    : *kind == 1 ? IDC_GRAIN_FAT
                                                 : IDC_GRAIN_FRACTAL;
        CheckRadioButton(dialog_.get(), IDC_GRAIN_REGULAR, IDC_GRAIN_FRACTAL, static_cast<int>(radio));
        on_grain(radio - IDC_GRAIN_REGULAR);
    }
}

void controls_frame::save_filter_settings(const std::wstring& key) {
    const system_ui::key_handle root = open_current_user(KEY_WRITE);
    const system_ui::key_handle settings = create_settings_key(root.get(), key);
    for (const trackbar_definition& row : trackbar_definitions)
        write_dword(settings.get(), row.value_name, static_cast<std::uint32_t>(row.field(*this)));
    write_dword(settings.get(), L"ActiveFilters", active_filters);
    write_dword(settings.get(), L"DenoiseBilateral", bilateral_filter() ? 1 : 0);
    write_dword(
        settings.get(), L"CurrentEffectFilter",
        static_cast<std::uint32_t>(SendDlgItemMessageW(dialog_.get(), IDC_EFFECT_COMBO, CB_GETCURSEL, 0, 0)));
    write_dword(settings.get(), L"CurrentGrainFilter", grain_kind);
}

} // namespace tessolux::main_window
