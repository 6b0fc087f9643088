#include "shell-calls.h"

#include <shellapi.h>

#include <utility>

namespace tessolux::shell_calls {

namespace {

// Empty: the system's own call.
open_function installed_open;
choose_colour_function installed_choose;

} // namespace

HINSTANCE open(HWND owner, const wchar_t* verb, const wchar_t* file, const wchar_t* parameters,
               const wchar_t* directory, int show) {
    if (installed_open)
        return installed_open(owner, verb, file, parameters, directory, show);
    return ShellExecuteW(owner, verb, file, parameters, directory, show);
}

bool choose_colour(CHOOSECOLORW& choice) {
    if (installed_choose)
        return installed_choose(choice);
    return ChooseColorW(&choice) != FALSE;
}

replacement::replacement(open_function open, choose_colour_function choose)
    : previous_open_(installed_open), previous_choose_(installed_choose) {
    if (open)
        installed_open = std::move(open);
    if (choose)
        installed_choose = std::move(choose);
}

replacement::~replacement() {
    installed_open = std::move(previous_open_);
    installed_choose = std::move(previous_choose_);
}

} // namespace tessolux::shell_calls
