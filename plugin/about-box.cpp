#include "about-box.h"

namespace tessolux {

void show_about_box(HWND) noexcept {}

} // namespace tessolux
