// Every picture the dialog shows decodes from the resources at the size a 96-DPI screen asks for.
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "pipeline-test-support.h"
#include "resource.h"
#include "win-common.h"

namespace {

struct picture {
    const char* name;
    WORD id;
    std::int32_t size; // at 96 DPI
};

constexpr picture pictures[] = {
    {"select focused", IDP_SELECT_FOCUSED, 32},
    {"draw region", IDP_DRAW_REGION, 32},
    {"area top left", IDP_AREA_TOP_LEFT, 15},
    {"area bottom right", IDP_AREA_BOTTOM_RIGHT, 15},
    {"area size", IDP_AREA_SIZE, 15},
    {"reset value", IDP_RESET_VALUE, 16},
    {"deactivate all", IDP_DEACTIVATE_ALL, 16},
    {"settings", IDP_SETTINGS, 24},
    {"load settings", IDP_LOAD_SETTINGS, 16},
    {"save settings", IDP_SAVE_SETTINGS, 16},
    {"help", IDP_HELP, 16},
    {"hotkeys", IDP_HOTKEYS, 16},
    {"about", IDP_ABOUT, 16},
    {"center view", IDP_CENTER_VIEW, 16},
    {"zoom to", IDP_ZOOM_TO, 16},
    {"zoom to fit", IDP_ZOOM_TO_FIT, 16},
    {"background color", IDP_BACKGROUND_COLOR, 16},
    {"logo", IDP_LOGO, 128},
};

class images : public pipeline_test::engine_world {};

// Whether any pixel of the 24-bit bitmap differs from its top-left one.
bool shows_something(const BITMAP& bitmap) {
    const auto* bits = static_cast<const std::uint8_t*>(bitmap.bmBits);
    for (int y = 0; y != bitmap.bmHeight; ++y)
        for (int x = 0; x != bitmap.bmWidth; ++x)
            if (std::memcmp(bits + y * bitmap.bmWidthBytes + x * 3, bits, 3) != 0)
                return true;
    return false;
}

TEST_F(images, every_picture_decodes_at_its_96_dpi_size) {
    for (const picture& p : pictures) {
        SCOPED_TRACE(p.name);
        const system_ui::bitmap_handle bitmap(
            tessolux::load_png_resource(engine, p.size, GetModuleHandleW(nullptr), p.id));
        ASSERT_TRUE(bitmap);
        DIBSECTION dib{};
        ASSERT_EQ(GetObjectW(bitmap.get(), sizeof dib, &dib), static_cast<int>(sizeof dib));
        EXPECT_EQ(dib.dsBm.bmWidth, p.size);
        EXPECT_EQ(dib.dsBm.bmHeight, p.size);
        ASSERT_EQ(dib.dsBm.bmBitsPixel, 24);
        EXPECT_TRUE(shows_something(dib.dsBm)) << "not a single flat colour";
    }
}

} // namespace
