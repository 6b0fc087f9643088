// Plays the user of the plug-in's windows from inside their own modal loops: a thread timer, set before a
// loop starts, runs a script of steps on the loop's thread, one step at a time, each until it says it is
// done. A step gets what it works on (the preview dialog, or the popup menus on the screen) once that is
// there. Every script is bounded: past its limit what it works on is closed and the script reports that
// it expired, so a window that never gets ready fails a test instead of hanging it.
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
// The popup menus of the calling thread on the screen, the first-opened first.
std::vector<HWND> open_menus();

// Target: what the steps work on. Finder: gives it, or false while it is not there. Closer: ends it when
// the limit has passed.
template <class Target, bool (*Finder)(Target&), void (*Closer)(const Target&)> class timed_script {
public:
    using step = std::function<bool(const Target& target)>;

    explicit timed_script(std::vector<step> steps, std::chrono::milliseconds limit = std::chrono::seconds(60))
        : steps_(std::move(steps)), deadline_(std::chrono::steady_clock::now() + limit), outer_(current()) {
        current() = this;
        timer_ = SetTimer(nullptr, 0, 20, &timed_script::tick);
    }
    timed_script(const timed_script&) = delete;
    timed_script& operator=(const timed_script&) = delete;
    ~timed_script() {
        KillTimer(nullptr, timer_);
        current() = outer_;
    }

    bool finished() const noexcept { return next_ == steps_.size(); }
    bool expired() const noexcept { return expired_; }

private:
    static timed_script*& current() {
        static thread_local timed_script* script = nullptr;
        return script;
    }
    static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
        if (current() != nullptr && !current()->running_)
            current()->run_step();
    }
    void run_step() {
        if (finished() || expired_)
            return;
        Target target{};
        const bool there = Finder(target);
        if (std::chrono::steady_clock::now() > deadline_) {
            expired_ = true;
            if (there)
                Closer(target);
            return;
        }
        if (!there)
            return;
        // A step may run a modal loop of its own (a menu, a box), in which the timer fires again.
        running_ = true;
        if (steps_[next_](target))
            ++next_;
        running_ = false;
    }

    std::vector<step> steps_;
    std::size_t next_ = 0;
    std::chrono::steady_clock::time_point deadline_;
    bool expired_ = false;
    bool running_ = false;
    UINT_PTR timer_ = 0;
    timed_script* outer_;
};

namespace details {
bool find_dialog(HWND& dialog);
void close_dialog(const HWND& dialog);
bool find_menus(std::vector<HWND>& menus);
void end_menus(const std::vector<HWND>& menus);
} // namespace details

// Steps over the preview dialog; closing it posts WM_CLOSE.
using dialog_script = timed_script<HWND, &details::find_dialog, &details::close_dialog>;
// Steps over the popup menus on the screen, run while a menu's own loop runs; ending them is EndMenu.
using menu_script = timed_script<std::vector<HWND>, &details::find_menus, &details::end_menus>;

// Common steps.
dialog_script::step wait_until_ready(const std::wstring& done);
dialog_script::step press(int button_id);
dialog_script::step close_box();
dialog_script::step send_command(int id);
// A key pressed and released, posted to owner: the menu's loop reads it from the thread's queue.
menu_script::step menu_key(HWND owner, WPARAM key);
// Waits until count popups are open (a submenu opened).
menu_script::step until_open(std::size_t count);
menu_script::step end_menu();

} // namespace test_support
