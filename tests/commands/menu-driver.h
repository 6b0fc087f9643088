// Plays the popup menus that the main dialog tracks with TrackPopupMenu: a thread timer, set before the
// menu opens, fires inside the menu's own modal loop and runs one step at a time with the popup windows
// that are on the screen, each until it says it is done. The menu keys go to the menu as key messages
// posted to the dialog, which the menu's loop reads from the thread's queue. Bounded: past its limit
// every open menu is ended.
#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include <windows.h>

namespace commands_test {

class menu_driver {
public:
    // menus: the popup windows on the screen, the first-opened first (never empty for a step).
    using step = std::function<bool(const std::vector<HWND>& menus)>;

    explicit menu_driver(std::vector<step> steps, std::chrono::milliseconds limit = std::chrono::seconds(20))
        : steps_(std::move(steps)), deadline_(std::chrono::steady_clock::now() + limit), outer_(current()) {
        current() = this;
        timer_ = SetTimer(nullptr, 0, 20, &menu_driver::tick);
    }
    menu_driver(const menu_driver&) = delete;
    menu_driver& operator=(const menu_driver&) = delete;
    ~menu_driver() {
        KillTimer(nullptr, timer_);
        current() = outer_;
    }

    bool finished() const noexcept { return next_ == steps_.size(); }
    bool expired() const noexcept { return expired_; }

    // Common steps.
    static step key(HWND owner, WPARAM key) {
        return [owner, key](const std::vector<HWND>&) {
            PostMessageW(owner, WM_KEYDOWN, key, 1);
            PostMessageW(owner, WM_KEYUP, key, 0xC0000001);
            return true;
        };
    }
    // Waits until count popups are open (a submenu opened), then goes on.
    static step until_open(std::size_t count) {
        return [count](const std::vector<HWND>& menus) { return menus.size() >= count; };
    }
    static step end_menu() {
        return [](const std::vector<HWND>&) {
            EndMenu();
            return true;
        };
    }

    static std::vector<HWND> open_menus() {
        std::vector<HWND> found;
        EnumWindows(&add_menu, reinterpret_cast<LPARAM>(&found));
        // EnumWindows goes from the top of the z-order down: the last-opened submenu comes first.
        return {found.rbegin(), found.rend()};
    }

private:
    static BOOL CALLBACK add_menu(HWND window, LPARAM list) {
        wchar_t kind[16] = {};
        GetClassNameW(window, kind, 16);
        if (std::wstring(kind) == L"#32768" && IsWindowVisible(window) &&
            GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId())
            reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
        return TRUE;
    }
    static menu_driver*& current() {
        static thread_local menu_driver* driver = nullptr;
        return driver;
    }
    static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
        menu_driver* const driver = current();
        if (driver == nullptr || driver->running_ || driver->finished() || driver->expired_)
            return;
        const std::vector<HWND> menus = open_menus();
        if (std::chrono::steady_clock::now() > driver->deadline_) {
            driver->expired_ = true;
            EndMenu();
            return;
        }
        if (menus.empty())
            return;
        driver->running_ = true;
        if (driver->steps_[driver->next_](menus))
            ++driver->next_;
        driver->running_ = false;
    }

    std::vector<step> steps_;
    std::size_t next_ = 0;
    std::chrono::steady_clock::time_point deadline_;
    bool expired_ = false;
    bool running_ = false;
    UINT_PTR timer_ = 0;
    menu_driver* outer_;
};

} // namespace commands_test
