// What the probe filter's stand-in preview dialog saw when it ended, read by the tests through the
// module's export "ProbeDialogRecord".
//
// The dialog comes up in the first continue call when the environment variable PROBE_DIALOG is set:
// "ready" makes it ready step by step from its own timer (status summary first, then Apply enabled,
// then the last render turns the background from red to green); "never" leaves it as it came up;
// "message" shows a message box in its place; "hang" never returns and dispatches no message.
#pragma once

#include <cstdint>

struct probe_dialog_record {
    int ended_by = 0;                  // IDC_APPLY, IDC_CANCEL, or probe_closed; 0: not ended
    bool ready_text_at_end = false;    // the status summary read the probe's string 148 then
    bool apply_enabled_at_end = false; // and Apply was enabled
    int width = 0;                     // the dialog's window size
    int height = 0;
    std::int16_t result = 0; // the result word of the continue call that showed it
};

// The dialog was closed with its close box or WM_CLOSE.
constexpr int probe_closed = -1;

using probe_dialog_record_function = const probe_dialog_record*();
