#include "dialog-driver.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include <commctrl.h>

#include "filter-host.h"
#include "image-file.h"
#include "resources/resource.h"

namespace filter_host {

namespace {

using namespace std::chrono_literals;

// Often enough that Apply follows the ready text at once, rarely enough to cost the filter nothing.
constexpr UINT tick_period_ms = 100;
// The preview dialog's own timer ticks once a second and may repaint the preview on each tick, so two
// grabs that far apart agree only once the last render is on the screen.
constexpr auto grab_interval = 1s;
// The static control that holds a message box's text, on Windows as under Wine.
constexpr int message_box_text_id = 0xFFFF;

thread_local dialog_driver* driving = nullptr;

bool is_dialog(HWND window) {
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    return std::wstring_view(name) == L"#32770" && IsWindowVisible(window);
}

// The preview dialog: a dialog with Apply and a status bar, among the windows of this thread.
bool is_preview_dialog(HWND window) {
    wchar_t name[32] = {};
    HWND status = GetDlgItem(window, ID_STATUS);
    if (status != nullptr)
        GetClassNameW(status, name, 32);
    return is_dialog(window) && GetDlgItem(window, IDC_APPLY) != nullptr &&
           CompareStringOrdinal(name, -1, STATUSCLASSNAMEW, -1, TRUE) == CSTR_EQUAL;
}

BOOL CALLBACK add_dialog(HWND window, LPARAM list) {
    if (is_dialog(window))
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

// The dialogs of this thread that are on the screen: the filter's and its message boxes.
std::vector<HWND> thread_dialogs() {
    std::vector<HWND> found;
    EnumThreadWindows(GetCurrentThreadId(), add_dialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

HWND find_preview_dialog() {
    for (HWND window : thread_dialogs())
        if (is_preview_dialog(window))
            return window;
    return nullptr;
}

std::wstring window_text(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::wstring status_text(HWND status, int part) {
    const auto length = LOWORD(SendMessageW(status, SB_GETTEXTLENGTHW, part, 0));
    std::wstring text(length + 1u, L'\0');
    SendMessageW(status, SB_GETTEXTW, part, reinterpret_cast<LPARAM>(text.data()));
    text.resize(length);
    return text;
}

void release_screen_dc(HDC dc) noexcept {
    ReleaseDC(nullptr, dc);
}

// The dialog as it is on the screen: whatever the preview painted on WM_PAINT shows only there.
// " (N s)": the bound that passed, for the message that says what the host waited for.
std::string bound_text(std::chrono::milliseconds limit) {
    return " (" + std::to_string(std::chrono::ceil<std::chrono::seconds>(limit).count()) + " s)";
}

} // namespace

image grab_window(HWND window) {
    SetForegroundWindow(window);
    RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    RECT area{};
    if (!GetWindowRect(window, &area) || area.right <= area.left || area.bottom <= area.top)
        throw std::runtime_error("the dialog has no area on the screen");
    return read_screen(area);
}

image read_screen(const RECT& area) {
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    if (width <= 0 || height <= 0)
        throw std::runtime_error("an empty area of the screen cannot be read");

    const cpp::unique_any<HDC, &release_screen_dc> screen(GetDC(nullptr));
    const cpp::unique_any<HDC, &DeleteDC> memory(CreateCompatibleDC(screen.get()));
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = -height; // top-down rows
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const cpp::unique_any<HBITMAP, &DeleteObject> bitmap(
        CreateDIBSection(screen.get(), &format, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!screen || !memory || !bitmap)
        throw std::runtime_error("no bitmap for the screenshot");
    const HGDIOBJ previous = SelectObject(memory.get(), bitmap.get());
    const BOOL copied =
        BitBlt(memory.get(), 0, 0, width, height, screen.get(), area.left, area.top, SRCCOPY | CAPTUREBLT);
    SelectObject(memory.get(), previous);
    GdiFlush();
    if (!copied)
        throw std::runtime_error("the screen could not be read");

    image shot(width, height, 3, 8);
    const auto* pixel = static_cast<const std::uint8_t*>(bits); // blue, green, red, unused
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 0; x != width; ++x, pixel += 4)
            for (std::int32_t p = 0; p != 3; ++p)
                shot.at(x, y, p) = pixel[2 - p];
    return shot;
}

void end_process(const std::string& why) {
    std::fprintf(stderr, "filter-host: %s; ending the run\n", why.c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), gave_up_exit_code);
    std::abort(); // TerminateProcess does not return for the calling process
}

dialog_driver::dialog_driver(HMODULE filter_module, const dialog_options& options)
    : options_(options), heartbeat_(clock::now().time_since_epoch().count()) {
    const wchar_t* text = nullptr;
    const int length = LoadStringW(filter_module, IDS_PREVIEW_DONE, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0)
        throw std::runtime_error("the filter module has no text for an up-to-date preview (string " +
                                 std::to_string(IDS_PREVIEW_DONE) + ")");
    ready_text_.assign(text, static_cast<std::size_t>(length));

    timer_.reset(SetTimer(nullptr, 0, tick_period_ms, on_timer));
    if (!timer_)
        throw std::runtime_error("the dialog driver's timer was not created");
    watchdog_ = std::thread([this] { watch(); });
    // Last: the timer cannot fire before this thread dispatches messages, and nothing above may leave
    // a driver behind that is gone.
    driving = this;
}

dialog_driver::~dialog_driver() {
    stop();
    driving = nullptr;
    if (watchdog_.joinable())
        watchdog_.join();
}

void dialog_driver::stop() {
    timer_.reset();
    {
        const std::lock_guard lock(watch_mutex_);
        stopping_ = true;
    }
    watch_stop_.notify_one();
}

void CALLBACK dialog_driver::on_timer(HWND, UINT, UINT_PTR id, DWORD) noexcept {
    dialog_driver* driver = driving;
    if (driver == nullptr || driver->timer_.get() != id)
        return;
    // The timer fires inside the filter's loop: nothing may unwind into user32.
    try {
        driver->tick();
    } catch (const std::exception& failure) {
        try {
            driver->give_up(std::string("could not go on: ") + failure.what(), find_preview_dialog());
        } catch (...) {
            end_process("the dialog driver failed");
        }
    } catch (...) {
        end_process("the dialog driver failed");
    }
}

void dialog_driver::kill_timer(UINT_PTR id) noexcept {
    KillTimer(nullptr, id);
}

void dialog_driver::tick() {
    const clock::time_point now = clock::now();
    heartbeat_.store(now.time_since_epoch().count(), std::memory_order_relaxed);
    HWND dialog = find_preview_dialog();
    dialog_seen_ = dialog_seen_ || dialog != nullptr;
    switch (phase_) {
    case phase::waiting:
    case phase::settling:
        if (dismiss_message_boxes(dialog))
            give_up("waited for the preview to become ready; the filter showed a message instead", dialog);
        else if (dialog == nullptr && dialog_seen_)
            phase_ = phase::done; // closed by the filter itself
        else if (phase_ == phase::waiting && now - started_ > options_.limits.ready)
            give_up("waited for the preview to become ready" + bound_text(options_.limits.ready), dialog);
        else if (phase_ == phase::waiting)
            wait_for_ready(dialog);
        else
            settle(dialog);
        break;
    case phase::returning:
        dismiss_message_boxes(dialog);
        if (now - phase_started_ <= options_.limits.returning)
            break;
        if (!report_.gave_up.empty())
            end_process("the filter did not return after its dialog was closed");
        give_up("waited for the filter to return after Apply" + bound_text(options_.limits.returning),
                dialog);
        break;
    case phase::done:
        break;
    }
    if (phase_ == phase::done)
        stop(); // the person has the dialog now, or it is gone: nothing is bounded any more
}

void dialog_driver::wait_for_ready(HWND dialog) {
    if (dialog == nullptr)
        return;
    HWND apply = GetDlgItem(dialog, IDC_APPLY);
    if (!IsWindowEnabled(apply) || status_text(GetDlgItem(dialog, ID_STATUS), 1) != ready_text_)
        return;
    if (options_.screenshot.empty()) {
        press_apply(dialog);
        return;
    }
    phase_ = phase::settling;
    phase_started_ = clock::now();
    last_grab_ = {};
    previous_grab_.clear();
    settle(dialog);
}

void dialog_driver::settle(HWND dialog) {
    const clock::time_point now = clock::now();
    if (now - phase_started_ > options_.limits.settled) {
        give_up("waited for the dialog to stop changing for the screenshot" +
                    bound_text(options_.limits.settled),
                dialog);
        return;
    }
    if (last_grab_ != clock::time_point{} && now - last_grab_ < grab_interval)
        return;
    image shot = grab_window(dialog);
    last_grab_ = now;
    if (shot.samples != previous_grab_) {
        previous_grab_ = std::move(shot.samples);
        return;
    }
    write_image(options_.screenshot, shot);
    report_.screenshot_written = true;
    if (options_.apply_when_ready)
        press_apply(dialog);
    else
        phase_ = phase::done;
}

void dialog_driver::press_apply(HWND dialog) {
    HWND apply = GetDlgItem(dialog, IDC_APPLY);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_APPLY, BN_CLICKED), reinterpret_cast<LPARAM>(apply));
    report_.applied = true;
    phase_ = phase::returning;
    phase_started_ = clock::now();
}

void dialog_driver::give_up(const std::string& why, HWND dialog) {
    report_.gave_up = why;
    dismiss_message_boxes(dialog);
    // Posted after the boxes' own close: a box's loop ends before the dialog sees its WM_CLOSE.
    if (dialog != nullptr)
        PostMessageW(dialog, WM_CLOSE, 0, 0);
    phase_ = phase::returning;
    phase_started_ = clock::now();
}

bool dialog_driver::dismiss_message_boxes(HWND dialog) {
    bool any = false;
    for (HWND box : thread_dialogs()) {
        // A box that takes its time to go is reported and closed once.
        if (box == dialog || std::ranges::find(dismissed_, box) != dismissed_.end())
            continue;
        HWND text = GetDlgItem(box, message_box_text_id);
        report_.messages.push_back(utf8(window_text(box)) + ": " + utf8(text ? window_text(text) : L""));
        dismissed_.push_back(box);
        PostMessageW(box, WM_CLOSE, 0, 0);
        any = true;
    }
    return any;
}

void dialog_driver::watch() {
    std::unique_lock lock(watch_mutex_);
    for (;;) {
        const clock::time_point beat{clock::duration{heartbeat_.load(std::memory_order_relaxed)}};
        if (watch_stop_.wait_until(lock, beat + options_.limits.silence, [&] { return stopping_; }))
            return;
        if (clock::now() - clock::time_point{clock::duration{heartbeat_.load(std::memory_order_relaxed)}} >=
            options_.limits.silence)
            end_process("the filter's thread dispatched no message" + bound_text(options_.limits.silence));
    }
}

} // namespace filter_host
