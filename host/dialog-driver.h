// Runs a filter's preview dialog without a person: waits until the preview is ready, saves a screenshot
// of the dialog and presses Apply. The driver lives on the thread that calls the filter and works from a
// thread timer, which fires inside the filter's own modal loop; a watchdog thread ends the process when
// that thread stops dispatching messages altogether. Every wait is bounded: when a bound passes, the
// driver says what it waited for and closes the dialog.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "am-handle.h"

namespace filter_host {

struct image;

// What the screen shows of a window, brought to the front and repainted first: the only way to see what a
// window draws on WM_PAINT alone.
image grab_window(HWND window);
// What the screen shows in area (screen coordinates) as it is now, 8-bit RGB: what a person sees there,
// which for a window may differ from what it would paint if asked.
image read_screen(const RECT& area);

// The exit code of a run whose dialog the host gave up on.
constexpr int gave_up_exit_code = 4;

struct dialog_limits {
    // From the start of the run until the preview reads ready: building the dialog and the whole first
    // chain run over a large photo under Wine, with room to spare.
    std::chrono::milliseconds ready{120000};
    // From the first ready grab until two grabs a second apart agree: the last render only.
    std::chrono::milliseconds settled{30000};
    // From Apply pressed or the dialog closed until the filter returns: tearing down and writing back.
    std::chrono::milliseconds returning{120000};
    // The longest the filter's thread may dispatch no message at all before the process is ended.
    std::chrono::milliseconds silence{120000};
};

struct dialog_options {
    bool apply_when_ready = false;
    std::wstring screenshot; // a PNG of the dialog once it is ready; empty: none
    dialog_limits limits;

    bool wanted() const noexcept { return apply_when_ready || !screenshot.empty(); }
};

struct dialog_report {
    std::string gave_up;  // why the host gave up and closed the dialog; empty: it did not
    bool applied = false; // the host pressed Apply
    bool screenshot_written = false;
    std::vector<std::string> messages; // message boxes of the filter that the host dismissed
};

// Drives the dialog that filter_module shows while the driver lives. The module's string 148 is the
// status text of a preview that is up to date; throws std::runtime_error when it has none.
class dialog_driver {
public:
    dialog_driver(HMODULE filter_module, const dialog_options& options);
    dialog_driver(const dialog_driver&) = delete;
    dialog_driver& operator=(const dialog_driver&) = delete;
    ~dialog_driver();

    const dialog_report& report() const noexcept { return report_; }

private:
    enum class phase { waiting, settling, returning, done };
    using clock = std::chrono::steady_clock;

    static void CALLBACK on_timer(HWND, UINT, UINT_PTR, DWORD) noexcept;
    static void kill_timer(UINT_PTR id) noexcept;
    void tick();
    void stop(); // no more ticks, and the watchdog goes
    void wait_for_ready(HWND dialog);
    void settle(HWND dialog);
    void press_apply(HWND dialog);
    void give_up(const std::string& why, HWND dialog);
    bool dismiss_message_boxes(HWND dialog);
    void watch();

    dialog_options options_;
    std::wstring ready_text_;
    dialog_report report_;
    phase phase_ = phase::waiting;
    clock::time_point started_ = clock::now();
    clock::time_point phase_started_ = started_;
    clock::time_point last_grab_{};
    std::vector<std::uint16_t> previous_grab_;
    std::vector<HWND> dismissed_;
    bool dialog_seen_ = false;

    // The filter's thread beats at every tick; the watchdog reads the beat. Relaxed: the beat is a
    // time stamp that orders nothing else.
    std::atomic<clock::rep> heartbeat_;
    std::mutex watch_mutex_;
    std::condition_variable watch_stop_;
    bool stopping_ = false; // guarded by watch_mutex_
    std::thread watchdog_;
    cpp::unique_any<UINT_PTR, &kill_timer> timer_;
};

// Ends the process at once with gave_up_exit_code, after saying why: for a filter that no longer
// answers, when nothing else can end the run.
[[noreturn]] void end_process(const std::string& why);

} // namespace filter_host
