// TEMPORARY stand-in until the hotkey dialog lands.
#pragma once
#include "win-common.h"
namespace tessolux {
class hotkey_dialog {
public:
    HWND window_handle() const { return nullptr; }
};
} // namespace tessolux
