// The preview's view on the main window: zoom, fit, centring, the view information and the render of
// the shown frame.
#include "main-dialog-impl.h"

#include "hotkey-dialog.h"

namespace tessolux::main_window {

void impl::zoom_at(double, double, double) {}
void impl::zoom_to_fit() {}
void impl::center_view() {}
void impl::update_view_info() {}
image_point impl::view_to_image_point(int, int) {
    return {0, 0};
}
void impl::render_preview(bool) {}

} // namespace tessolux::main_window
