// Painting of the main dialog without flicker: every paint is composed in one back buffer (the
// background, the canvas the preview render filled, the red-eye brush and the viewport's frame) and
// copied to the screen at once. The same buffer serves the status bar, which also shows the pointer
// statistics, and the view-information text.
#include "main-dialog-impl.h"

#include <algorithm>
#include <new>

#include "resource.h"

namespace tessolux::main_window {

namespace {

// One WM_PAINT's device context, ended however the painting leaves: a paint begun and never ended keeps
// the window's update region and the caret hidden. A DC that the sender passed along (wParam of
// WM_PAINT, as a parent painting its child into its own buffer) is used as it is and not ended here.
struct paint_scope {
    explicit paint_scope(HWND window, HDC given = nullptr)
        : window(window), dc(given != nullptr ? given : BeginPaint(window, &paint)), began(given == nullptr) {
    }
    paint_scope(const paint_scope&) = delete;
    paint_scope& operator=(const paint_scope&) = delete;
    ~paint_scope() {
        if (began)
            EndPaint(window, &paint);
    }

    HWND window;
    PAINTSTRUCT paint{};
    HDC dc;
    bool began;
};

preview_rect rect_of(const RECT& r) noexcept {
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

} // namespace

void impl::ensure_back_buffer(HDC dc, unsigned width, unsigned height) {
    if (!back_dc) {
        back_dc.reset(CreateCompatibleDC(dc));
        if (!back_dc)
            throw std::bad_alloc();
    }
    // The status bar, the view text and the panel's controls paint themselves into this DC too, and some
    // leave a clip region behind: every user starts unclipped, or its drawing lands only where the last
    // control's rectangle was.
    SelectClipRgn(back_dc.get(), nullptr);
    if (back_width >= width && back_height >= height)
        return;
    // The buffer only grows: the next paint of any size reuses it.
    width = std::max(width, back_width);
    height = std::max(height, back_height);
    system_ui::bitmap_handle bitmap(
        CreateCompatibleBitmap(dc, static_cast<int>(width), static_cast<int>(height)));
    if (!bitmap)
        throw std::bad_alloc();
    back_bitmap = std::move(bitmap);
    back_width = width;
    back_height = height;
}

void impl::on_paint() {
    const paint_scope paint(dialog);
    const preview_rect area = rect_of(paint.paint.rcPaint);
    if (area.width <= 0 || area.height <= 0)
        return;
    ensure_back_buffer(paint.dc, static_cast<unsigned>(area.width), static_cast<unsigned>(area.height));
    const HDC back = back_dc.get();
    const system_ui::selection_guard buffer(back, back_bitmap.get());

    const RECT whole{0, 0, area.width, area.height};
    if (background_colour == -1) {
        FillRect(back, &whole, GetSysColorBrush(COLOR_3DFACE));
    } else {
        const system_ui::brush_handle brush(CreateSolidBrush(static_cast<COLORREF>(background_colour)));
        FillRect(back, &whole, brush.get());
    }
    const system_ui::selection_guard hollow(back, GetStockObject(NULL_BRUSH));

    paint_canvas(back, area);
    if (brush_position.x >= 0)
        paint_brush(back, area);
    else
        discard_circle_mask();

    {
        const system_ui::selection_guard pen(back, frame_pen.get());
        Rectangle(back, viewport.x - area.x - 1, viewport.y - area.y - 1,
                  viewport.x + viewport.width - area.x + 1, viewport.y + viewport.height - area.y + 1);
    }
    BitBlt(paint.dc, area.x, area.y, area.width, area.height, back, 0, 0, SRCCOPY);
}

// The canvas holds the last render at its impact rectangle; only what lies in the paint area and the
// viewport is copied, under the canvas lock, which is held for this one copy.
void impl::paint_canvas(HDC back, const preview_rect& area) {
    if (!canvas)
        return;
    preview_rect impact{};
    auto [release, canvas_dc] = lock_canvas_dc(canvas, impact);
    const preview_rect shown = intersect_signed_rect(intersect_signed_rect(impact, area), viewport);
    if (!is_empty_rect(shown))
        BitBlt(back, shown.x - area.x, shown.y - area.y, shown.width, shown.height, canvas_dc,
               shown.x - impact.x, shown.y - impact.y, SRCCOPY);
    release(canvas_dc);
}

// The red-eye brush: its outline (and the darkening border's, where that is wide enough to see), and while
// the button is down the trail of the press inverted over the image.
void impl::paint_brush(HDC back, const preview_rect& area) {
    const eye_region& record = *controls->circle_record;
    const std::int32_t r = round_to_int(record.radius);
    if (drag_state == painting_circles) {
        const system_ui::dc_handle mask_dc(CreateCompatibleDC(back));
        if (!mask_dc) {
            constexpr auto message =
                cpp::failure_message("on_paint", "3062", AM_PLUGIN_SOURCE("main-dialog-impl.cpp"),
                                     "CreateCompatibleDC returned nullptr");
            throw cpp::exceptional::allocationFailure(message.c_str());
        }
        if (circle_mask_width != client_width || circle_mask_height != client_height) {
            circle_mask_bitmap.reset(CreateCompatibleBitmap(back, client_width, client_height));
            if (!circle_mask_bitmap)
                throw std::bad_alloc();
            circle_mask_width = client_width;
            circle_mask_height = client_height;
            const system_ui::selection_guard cleared(mask_dc.get(), circle_mask_bitmap.get());
            const RECT all{0, 0, client_width, client_height};
            FillRect(mask_dc.get(), &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        }
        // The discs of one press accumulate: the mask is cleared only when a new one is made.
        const system_ui::selection_guard mask(mask_dc.get(), circle_mask_bitmap.get());
        const system_ui::brush_handle disc_brush(CreateSolidBrush(0x404040));
        const system_ui::selection_guard no_pen(mask_dc.get(), GetStockObject(NULL_PEN));
        const system_ui::selection_guard disc(mask_dc.get(), disc_brush.get());
        Ellipse(mask_dc.get(), brush_position.x - r, brush_position.y - r, brush_position.x + r,
                brush_position.y + r);
        BitBlt(back, 0, 0, area.width, area.height, mask_dc.get(), area.x, area.y, SRCINVERT);
    } else {
        discard_circle_mask();
    }

    const int previous_mode = SetROP2(back, R2_XORPEN);
    const std::int32_t cx = brush_position.x - area.x;
    const std::int32_t cy = brush_position.y - area.y;
    {
        const system_ui::selection_guard pen(back, brush_pen.get());
        Ellipse(back, cx - r, cy - r, cx + r, cy + r);
    }
    const std::int32_t border = round_to_int(record.darken_border * view.zoom);
    if (border > 4) {
        const system_ui::selection_guard pen(back, border_pen.get());
        Ellipse(back, cx - r - border, cy - r - border, cx + r + border, cy + r + border);
    }
    SetROP2(back, previous_mode);
}

void impl::discard_circle_mask() noexcept {
    circle_mask_bitmap.reset();
    circle_mask_width = 0;
    circle_mask_height = 0;
}

// The status bar's pointer statistics: the position, then the channel values right-aligned in columns
// that widen for 16-bit samples.
void impl::paint_pointer_stats(HDC dc) {
    const system_ui::selection_guard font(dc, message_font.get());
    SetBkMode(dc, TRANSPARENT);
    const std::int32_t left = status_part2.x;
    const std::int32_t top = status_part2.y + round_to_int(5.0 * scale);
    SetTextColor(dc, pointer_inside ? RGB(0, 0, 0) : GetSysColor(COLOR_ACTIVEBORDER));
    SetTextAlign(dc, TA_LEFT | TA_TOP);
    TextOutW(dc, left + round_to_int(5.0 * scale), top, pointer_text.c_str(),
             static_cast<int>(pointer_text.size()));
    if (!pointer_inside)
        return;
    const int wide = pointer_wide ? 1 : 0;
    const auto column = [&](int c, COLORREF colour, const std::wstring& text) {
        SetTextColor(dc, colour);
        TextOutW(dc, left + round_to_int((c + 5) * static_cast<double>(scale)), top, text.c_str(),
                 static_cast<int>(text.size()));
    };
    SetTextAlign(dc, TA_RIGHT | TA_TOP);
    // A fully transparent pixel has no colour worth reading.
    if (channel_texts[3] != L"0") {
        column(200, RGB(128, 0, 0), channel_texts[0]);
        column(230 + 14 * wide, RGB(0, 128, 0), channel_texts[1]);
        column(260 + 28 * wide, RGB(0, 0, 128), channel_texts[2]);
    }
    if (!channel_texts[3].empty())
        column(290 + 42 * wide, RGB(128, 128, 128), channel_texts[3]);
    SetTextAlign(dc, TA_LEFT | TA_TOP);
}

LRESULT impl::paint_flicker_free(HWND window, WPARAM wparam, UINT_PTR id) {
    const paint_scope paint(window, reinterpret_cast<HDC>(wparam));
    const HDC dc = paint.dc;
    RECT client{};
    GetClientRect(window, &client);
    ensure_back_buffer(dc, static_cast<unsigned>(client.right), static_cast<unsigned>(client.bottom));
    const HDC back = back_dc.get();
    {
        const system_ui::selection_guard buffer(back, back_bitmap.get());
        FillRect(back, &client, GetSysColorBrush(COLOR_3DFACE));
        DefSubclassProc(window, WM_PAINT, reinterpret_cast<WPARAM>(back), 0);
        if (id == ID_STATUS) {
            const system_ui::selection_guard pen(back, frame_pen.get());
            MoveToEx(back, 0, 0, nullptr);
            LineTo(back, client.right, 0);
            if ((view_flags & show_pointer_stats) != 0)
                paint_pointer_stats(back);
        }
        BitBlt(dc, 0, 0, client.right, client.bottom, back, 0, 0, SRCCOPY);
    }
    if (id == IDC_DYNAMIC)
        SelectClipRgn(dc, nullptr);
    return 0;
}

LRESULT CALLBACK impl::flickerfree_subclass_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                                 UINT_PTR id, DWORD_PTR reference) {
    impl& self = *reinterpret_cast<impl*>(reference);
    try {
        switch (message) {
        case WM_ERASEBKGND:
            return 1;
        case WM_NCDESTROY:
            RemoveWindowSubclass(window, &flickerfree_subclass_proc, id);
            break;
        case WM_PAINT:
            return self.paint_flicker_free(window, wparam, id);
        default:
            break;
        }
    } catch (...) {
        // user32 called us: the failure goes to the dialog's own road, after this message.
        self.post_failure(std::current_exception());
        return 0;
    }
    return DefSubclassProc(window, message, wparam, lparam);
}

// A failure raised where user32 called in: shown and the dialog closed once the current message is done.
void impl::post_failure(std::exception_ptr failure) noexcept {
    try {
        posted_tasks.post_task([this, failure](unsigned) { show_failure_and_close(failure); });
    } catch (...) {
        // Nowhere to go: the queue is full of work that will end the dialog soon enough anyway.
    }
}

} // namespace tessolux::main_window
