// What the main dialog puts on the screen, read back from the screen itself (the preview is drawn only
// on WM_PAINT, which a window capture would not see): the shown frame in the viewport, the frame round
// the viewport, the chosen background beside the image.
#include <gtest/gtest.h>

#include "host/dialog-driver.h"
#include "host/filter-host.h"
#include "host/image-file.h"
#include "main-window-world.h"

namespace {

using tessolux::preview_rect;

class main_window_painting : public test_support::main_window_world {
protected:
    // What the screen shows of the dialog now, and the colour there at a client point.
    struct screen_shot {
        filter_host::image shot;
        POINT client_origin;
        COLORREF at(int x, int y) const {
            const int sx = x + client_origin.x;
            const int sy = y + client_origin.y;
            return RGB(shot.at(sx, sy, 0), shot.at(sx, sy, 1), shot.at(sx, sy, 2));
        }
    };
    screen_shot grab() const {
        const HWND dialog = window->window_handle();
        RECT frame{};
        GetWindowRect(dialog, &frame);
        POINT origin{0, 0};
        ClientToScreen(dialog, &origin);
        return {filter_host::grab_window(dialog), {origin.x - frame.left, origin.y - frame.top}};
    }

    // The shown frame's pixel as the screen would show it (8-bit samples).
    COLORREF frame_pixel(const tessolux::image_frame& frame, int x, int y) const {
        com_ptr<zorvane::IImageData> data;
        BYTE* bits = nullptr;
        INT32 stride = 0;
        EXPECT_GE(frame.image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void()), 0);
        EXPECT_GE(data->get_buffer(&bits, nullptr, &stride, nullptr, nullptr), 0);
        const BYTE* pixel = bits + static_cast<std::ptrdiff_t>(y) * stride + x * 3;
        return frame.format == zorvane::pixel_format::bgr24 ? RGB(pixel[2], pixel[1], pixel[0])
                                                            : RGB(pixel[0], pixel[1], pixel[2]);
    }

    // Paints the whole dialog anew and lets a few ticks of the loop pass: the window system puts what was
    // painted on the screen only as the thread goes on taking messages.
    static test_support::dialog_script::step repaint() {
        return [ticks = 0](HWND dialog) mutable {
            if (ticks++ == 0)
                RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
            return ticks > 10;
        };
    }

    // Sets the view and waits (as a step) until the canvas holds a render of it.
    test_support::dialog_script::step view(double zoom, double pan_x, double pan_y) {
        return [this, zoom, pan_x, pan_y, asked = false](HWND) mutable {
            if (!asked) {
                window->view.zoom = zoom;
                window->view.pan_x = pan_x;
                window->view.pan_y = pan_y;
                window->draw_picture(0);
                asked = true;
                return false;
            }
            preview_rect impact{};
            auto [release, dc] = tessolux::lock_canvas_dc(window->canvas, impact);
            release(dc);
            const preview_rect& port = window->viewport;
            const int shown_width =
                std::min(port.width - static_cast<int>(pan_x), static_cast<int>(width * zoom));
            return impact.x == port.x + static_cast<int>(pan_x) && impact.width == shown_width;
        };
    }
};

TEST_F(main_window_painting, the_viewport_shows_the_frame_and_a_border_one_pixel_outside_it) {
    std::vector<COLORREF> shown;
    std::vector<COLORREF> expected;
    COLORREF border = 0;
    COLORREF outside = 0;
    COLORREF inside = 0;
    const auto read = [&] {
        const preview_rect port = window->viewport;
        const tessolux::image_frame& frame = *window->select_display_frame();
        const screen_shot screen = grab();
        for (const POINT p : {POINT{0, 0}, POINT{45, 30}, POINT{47, 31}, POINT{95, 63}}) {
            shown.push_back(screen.at(port.x + 2 * p.x + 1, port.y + 2 * p.y + 1));
            expected.push_back(frame_pixel(frame, p.x, p.y));
        }
        border = screen.at(port.x - 1, port.y + 20);
        outside = screen.at(port.x - 2, port.y + 20);
        inside = screen.at(port.x, port.y + 20);
    };
    ASSERT_TRUE(run({ready(), view(2.0, 0, 0), repaint(), act(read), test_support::press(IDC_CANCEL)}));
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(border, GetSysColor(COLOR_ACTIVEBORDER));
    EXPECT_EQ(outside, GetSysColor(COLOR_3DFACE));
    EXPECT_EQ(inside, frame_pixel(*window->select_display_frame(), 0, 10));
}

TEST_F(main_window_painting, beside_a_small_image_the_viewport_shows_the_chosen_background) {
    constexpr COLORREF chosen = RGB(10, 200, 30);
    COLORREF beside = 0;
    COLORREF on_image = 0;
    const auto read = [&] {
        const preview_rect port = window->viewport;
        const screen_shot screen = grab();
        beside = screen.at(port.x + port.width - 3, port.y + port.height - 3);
        on_image = screen.at(port.x + 10, port.y + 10);
    };
    ASSERT_TRUE(run({ready(), act([&] { window->background_colour = chosen; }), view(0.5, 5, 5), repaint(),
                     act(read), test_support::press(IDC_CANCEL)}));
    EXPECT_EQ(beside, chosen);
    EXPECT_NE(on_image, chosen);
}

} // namespace
