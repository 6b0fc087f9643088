// Plays the user of the plug-in's preview dialog from inside its own modal loop: a thread timer, set
// before the loop starts, runs a script of steps on the dialog's thread, one step at a time, each until
// it says it is done. Every script is bounded: past its limit the dialog is closed and the script
// reports that it expired, so a dialog that never gets ready fails a test instead of hanging it.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <windows.h>

namespace test_support {

// The preview dialog of the calling thread (a dialog with an Apply button 1003 and a status bar 111),
// or null.
HWND find_preview_dialog();
// The text of one part of the dialog's status bar.
std::wstring status_text(HWND dialog, int part);
// String 148 of module: what the status summary reads once the preview is up to date.
std::wstring done_text(HMODULE module);
// The chain has run to its end: the summary says so and Apply is enabled.
bool preview_ready(HWND dialog, const std::wstring& done);

class dialog_script {
public:
    // A step gets the dialog (never null) and answers true when it is done.
    using step = std::function<bool(HWND dialog)>;

    explicit dialog_script(std::vector<step> steps,
                           std::chrono::milliseconds limit = std::chrono::seconds(60));
    dialog_script(const dialog_script&) = delete;
    dialog_script& operator=(const dialog_script&) = delete;
    ~dialog_script();

    bool finished() const noexcept { return next_ == steps_.size(); }
    bool expired() const noexcept { return expired_; }

private:
    static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD);
    void run_step();

    std::vector<step> steps_;
    std::size_t next_ = 0;
    std::chrono::steady_clock::time_point deadline_;
    bool expired_ = false;
    bool running_ = false;
    UINT_PTR timer_ = 0;
    dialog_script* outer_ = nullptr;
};

// Common steps.
dialog_script::step wait_until_ready(const std::wstring& done);
dialog_script::step press(int button_id);
dialog_script::step close_box();
dialog_script::step send_command(int id);

} // namespace test_support
