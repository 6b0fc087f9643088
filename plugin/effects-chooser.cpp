// The film presets of the "Retro Effects" panel: the preset table, the map from display name to engine node,
// the list with a thumbnail of the user's own image per preset, and the choice in it.
#include <algorithm>
#include <stdexcept>
#include <string>

#include <windows.h>
#include <commctrl.h>

#include "am-collections.h"
#include "am-common.h"
#include "am-resizable-array.h"
#include "host-entry.h"
#include "main-controls-frame.h"
#include "resource.h"

#define CONTROLS_FRAME AM_PLUGIN_SOURCE("main-controls-frame.cpp")

namespace tessolux {

// The first four are black-and-white films that take no intensity.
const film_preset film_presets[39] = {
    // Display names are string-table entries IDS_PRESET_FIRST to IDS_PRESET_LAST, in this order.
    {IDS_PRESET_FIRST + 0, L"KODAKPLUSX125"},
    {IDS_PRESET_FIRST + 1, L"AGFAAPX100"},
    {IDS_PRESET_FIRST + 2, L"KODAKPANATOMX"},
    {IDS_PRESET_FIRST + 3, L"POLAPAN"},
    {IDS_PRESET_FIRST + 4, L"PRINT100"},
    {IDS_PRESET_FIRST + 5, L"AGFAOPTIMA"},
    {IDS_PRESET_FIRST + 6, L"EPPHIGHCONTRASTCYAN"},
    {IDS_PRESET_FIRST + 7, L"EPPHIGHCONTRASTBLUE"},
    {IDS_PRESET_FIRST + 8, L"FUJIPROVIA100F"},
    {IDS_PRESET_FIRST + 9, L"FUJISENSIA"},
    {IDS_PRESET_FIRST + 10, L"KODAKE100S"},
    {IDS_PRESET_FIRST + 11, L"OWNVIOLET"},
    {IDS_PRESET_FIRST + 12, L"LOMOAGFA"},
    {IDS_PRESET_FIRST + 13, L"LOMOFUJI"},
    {IDS_PRESET_FIRST + 14, L"LOMOKONICA"},
    {IDS_PRESET_FIRST + 15, L"TECHNICOLORPROCESS2STRIP"},
    {IDS_PRESET_FIRST + 16, L"HELGA"},
    {IDS_PRESET_FIRST + 17, L"TEJAS"},
    {IDS_PRESET_FIRST + 18, L"KAIMAL"},
    {IDS_PRESET_FIRST + 19, L"ALFRED"},
    {IDS_PRESET_FIRST + 20, L"LUCIFER"},
    {IDS_PRESET_FIRST + 21, L"VIOLET"},
    {IDS_PRESET_FIRST + 22, L"JIMMY"},
    {IDS_PRESET_FIRST + 23, L"LORDKELVIN"},
    {IDS_PRESET_FIRST + 24, L"XPROII"},
    {IDS_PRESET_FIRST + 25, L"SUTRO"},
    {IDS_PRESET_FIRST + 26, L"LOMOFI"},
    {IDS_PRESET_FIRST + 27, L"APOLLO"},
    {IDS_PRESET_FIRST + 28, L"EARLYBIRD"},
    {IDS_PRESET_FIRST + 29, L"TOASTER"},
    {IDS_PRESET_FIRST + 30, L"POPROCKET"},
    {IDS_PRESET_FIRST + 31, L"YR1977"},
    {IDS_PRESET_FIRST + 32, L"POLAROID"},
    {IDS_PRESET_FIRST + 33, L"POLA600"},
    {IDS_PRESET_FIRST + 34, L"VIGNCROSSED"},
    {IDS_PRESET_FIRST + 35, L"CYANSPOT"},
    {IDS_PRESET_FIRST + 36, L"WARMGREEN"},
    {IDS_PRESET_FIRST + 37, L"HOLGASEPIA"},
    {IDS_PRESET_FIRST + 38, L"SEPIA"},
};

namespace main_window {

namespace {

// The presets without an intensity come first in the list, each group in the order of its names.
constexpr std::uint32_t presets_without_intensity = 4;

} // namespace

void controls_frame::build_preset_map() {
    for (const film_preset& preset : film_presets) {
        std::wstring text;
        system_ui::load_string(text, module_instance(), preset.string_id);
        presets_.emplace(std::move(text), preset.node_name);
    }
}

const std::wstring& controls_frame::preset_node(const std::wstring& display_text) const {
    const auto found = presets_.find(display_text);
    if (found == presets_.end())
        throw std::out_of_range("invalid unordered_map<K, T> key");
    return found->second;
}

void controls_frame::prepare_effects_combo(const engine_context& engine) {
    const HWND combo = item(IDC_EFFECT_COMBO);
    const auto previous =
        thumbnails_ ? static_cast<std::int32_t>(SendMessageW(combo, CB_GETCURSEL, 0, 0)) : std::int32_t{-1};
    const int size = cpp::round_to_int(scale_ * 64);
    const image_frame_ptr base = convert_to_bgra32(engine, size, **source_frame);
    const image_frame_ptr work = frame_from_output(base);

    system_ui::image_list_handle list(ImageList_Create(size, size, ILC_COLOR32, 20, 80));
    if (!list) {
        constexpr auto message = cpp::failure_message("prepare_effects_combo", "2165", CONTROLS_FRAME,
                                                      "ImageList_Create resulted in error!");
        throw std::runtime_error(message.c_str());
    }
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    // The list shows the new pictures before the old ones go.
    SendMessageW(combo, CBEM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(list.get()));
    thumbnails_ = std::move(list);
    // Entries as tall as their pictures, also when a list of another size replaces the first one.
    SendMessageW(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), size + 2);
    SendMessageW(combo, CB_SETITEMHEIGHT, 0, size);

    int added = 0;
    const auto add_entry = [&](const std::wstring& text, int intensity) {
        set_intensity(engine, preset_node(text), *work, intensity);
        const system_ui::bitmap_handle bitmap(frame_to_bitmap(*work));
        if (ImageList_Add(thumbnails_.get(), bitmap.get(), nullptr) < 0) {
            constexpr auto message = cpp::failure_message("operator ()", "2248", CONTROLS_FRAME,
                                                          "ImageList_Add resulted in error!");
            throw std::runtime_error(message.c_str());
        }
        // The next preset starts from the unfiltered picture again.
        copy_image_data(work, base);
        COMBOBOXEXITEMW entry{};
        entry.mask = CBEIF_TEXT | CBEIF_IMAGE | CBEIF_SELECTEDIMAGE;
        entry.iItem = -1;
        entry.pszText = const_cast<wchar_t*>(text.c_str());
        entry.cchTextMax = static_cast<int>(text.size());
        entry.iImage = added;
        entry.iSelectedImage = added;
        SendMessageW(combo, CBEM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&entry));
        ++added;
    };
    cpp::resizable_array<std::wstring, 50> texts;
    const auto add_group = [&](const film_preset* first, const film_preset* last, int intensity) {
        texts.truncate(0, false);
        for (const film_preset* preset = first; preset != last; ++preset) {
            std::wstring text;
            system_ui::load_string(text, module_instance(), preset->string_id);
            texts.push_back(std::move(text));
        }
        std::sort(texts.begin(), texts.end());
        for (const std::wstring& text : texts)
            add_entry(text, intensity);
    };
    add_group(film_presets, film_presets + presets_without_intensity, -1);
    add_group(film_presets + presets_without_intensity, std::end(film_presets), 100);
    SendMessageW(combo, CB_SETCURSEL, previous > 0 ? static_cast<WPARAM>(previous) : 0, 0);
    follow_effect_choice();
}

void controls_frame::follow_effect_choice() {
    // Nothing chosen (the list still empty) takes no intensity either.
    const auto index =
        static_cast<std::int32_t>(SendDlgItemMessageW(dialog_.get(), IDC_EFFECT_COMBO, CB_GETCURSEL, 0, 0));
    effect_has_intensity = index >= static_cast<std::int32_t>(presets_without_intensity);
    refresh_panel(panel_of(film_effect));
}

void controls_frame::on_effect_selected() {
    follow_effect_choice();
    notify(500, film_effect);
}

std::wstring controls_frame::selected_effect_node() const {
    const auto index =
        static_cast<int>(SendDlgItemMessageW(dialog_.get(), IDC_EFFECT_COMBO, CB_GETCURSEL, 0, 0));
    if (index < 0) {
        constexpr auto message =
            cpp::failure_message("selected_effect_node", "2290", CONTROLS_FRAME, "no film effect is chosen!");
        throw std::out_of_range(message.c_str());
    }
    // The extended combo box keeps the entries' texts itself.
    wchar_t text[256] = {};
    COMBOBOXEXITEMW entry{};
    entry.mask = CBEIF_TEXT;
    entry.iItem = index;
    entry.pszText = text;
    entry.cchTextMax = static_cast<int>(std::size(text));
    SendDlgItemMessageW(dialog_.get(), IDC_EFFECT_COMBO, CBEM_GETITEMW, 0, reinterpret_cast<LPARAM>(&entry));
    return preset_node(entry.pszText);
}

} // namespace main_window
} // namespace tessolux

static_assert(IDS_PRESET_LAST - IDS_PRESET_FIRST + 1 == std::size(tessolux::film_presets));
