// Saves what the screen shows of a rectangle as a 24-bit BMP, for a person to look at: the showcase
// programs use it, the tests read pixels instead.
#pragma once

#include <string>

#include <windows.h>

namespace test_support {

bool save_screen(const RECT& rect, const std::string& path);

} // namespace test_support
