// Painting of the main dialog through its back buffer.
#include "main-dialog-impl.h"

#include "hotkey-dialog.h"

namespace tessolux::main_window {

void impl::on_paint() {
    PAINTSTRUCT paint;
    BeginPaint(dialog, &paint);
    FillRect(paint.hdc, &paint.rcPaint, GetSysColorBrush(COLOR_3DFACE));
    EndPaint(dialog, &paint);
}

void impl::ensure_back_buffer(HDC dc, int, int, unsigned width, unsigned height) {
    if (!back_dc) {
        back_dc.reset(CreateCompatibleDC(dc));
        if (!back_dc)
            throw std::bad_alloc();
    }
    if (back_width >= width && back_height >= height)
        return;
    width = std::max(width, back_width);
    height = std::max(height, back_height);
    system_ui::bitmap_handle bitmap(CreateCompatibleBitmap(dc, static_cast<int>(width), static_cast<int>(height)));
    if (!bitmap)
        throw std::bad_alloc();
    back_bitmap = std::move(bitmap);
    back_width = width;
    back_height = height;
}

LRESULT CALLBACK impl::flickerfree_subclass_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                                 UINT_PTR id, DWORD_PTR) {
    if (message == WM_NCDESTROY)
        RemoveWindowSubclass(window, &flickerfree_subclass_proc, id);
    return DefSubclassProc(window, message, wparam, lparam);
}

} // namespace tessolux::main_window
