// The two calls of the main dialog's commands that hand the user to the system: opening a file with the
// shell (the help file) and the colour chooser. Both go through here so that a test can put its own in
// place and see what would be opened or chosen, without a shell or a modal chooser.
#pragma once

#include <functional>

#include <windows.h>
#include <commdlg.h>

namespace tessolux::shell_calls {

// ShellExecuteW's arguments and result.
using open_function = std::function<HINSTANCE(HWND owner, const wchar_t* verb, const wchar_t* file,
                                              const wchar_t* parameters, const wchar_t* directory, int show)>;
// ChooseColorW's: true when the user confirmed a colour, which is then in choice.rgbResult.
using choose_colour_function = std::function<bool(CHOOSECOLORW& choice)>;

HINSTANCE open(HWND owner, const wchar_t* verb, const wchar_t* file, const wchar_t* parameters,
               const wchar_t* directory, int show);
bool choose_colour(CHOOSECOLORW& choice);

// Puts the given functions in place of the system's until it goes (UI thread only); an empty one
// leaves that call as it was. Replacements nest.
class replacement {
public:
    replacement(open_function open, choose_colour_function choose);
    replacement(const replacement&) = delete;
    replacement& operator=(const replacement&) = delete;
    ~replacement();

private:
    open_function previous_open_;
    choose_colour_function previous_choose_;
};

} // namespace tessolux::shell_calls
