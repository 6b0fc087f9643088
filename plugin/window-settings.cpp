// The main window's placement and view choices in the current user's registry.
#include "main-dialog-impl.h"

#include "hotkey-dialog.h"

namespace tessolux::main_window {

void impl::load_window_settings() {}
void impl::save_window_settings() {}

} // namespace tessolux::main_window
