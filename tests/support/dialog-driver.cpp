#include "dialog-driver.h"

#include <commctrl.h>

namespace test_support {

namespace {

constexpr int apply_id = 1003;
constexpr int status_id = 111;

thread_local dialog_script* current = nullptr;

BOOL CALLBACK find_dialog(HWND window, LPARAM found) {
    wchar_t kind[16];
    if (GetClassNameW(window, kind, 16) != 0 && std::wstring(kind) == L"#32770" &&
        GetDlgItem(window, apply_id) != nullptr && GetDlgItem(window, status_id) != nullptr) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

HWND find_preview_dialog() {
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &find_dialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

std::wstring status_text(HWND dialog, int part) {
    const HWND status = GetDlgItem(dialog, status_id);
    const LRESULT length = LOWORD(SendMessageW(status, SB_GETTEXTLENGTHW, part, 0));
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(status, SB_GETTEXTW, part, reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::wstring done_text(HMODULE module) {
    wchar_t text[256];
    return {text, static_cast<std::size_t>(LoadStringW(module, 148, text, 256))};
}

bool preview_ready(HWND dialog, const std::wstring& done) {
    return status_text(dialog, 1) == done && IsWindowEnabled(GetDlgItem(dialog, apply_id));
}

dialog_script::dialog_script(std::vector<step> steps, std::chrono::milliseconds limit)
    : steps_(std::move(steps)), deadline_(std::chrono::steady_clock::now() + limit), outer_(current) {
    current = this;
    timer_ = SetTimer(nullptr, 0, 20, &dialog_script::tick);
}

dialog_script::~dialog_script() {
    KillTimer(nullptr, timer_);
    current = outer_;
}

void CALLBACK dialog_script::tick(HWND, UINT, UINT_PTR, DWORD) {
    if (current != nullptr && !current->running_)
        current->run_step();
}

void dialog_script::run_step() {
    if (finished() || expired_)
        return;
    const HWND dialog = find_preview_dialog();
    if (std::chrono::steady_clock::now() > deadline_) {
        expired_ = true;
        if (dialog != nullptr)
            PostMessageW(dialog, WM_CLOSE, 0, 0);
        return;
    }
    if (dialog == nullptr)
        return;
    // A step may run a modal loop of its own (a menu, a box), in which the timer fires again.
    running_ = true;
    if (steps_[next_](dialog))
        ++next_;
    running_ = false;
}

dialog_script::step wait_until_ready(const std::wstring& done) {
    return [done](HWND dialog) { return preview_ready(dialog, done); };
}

dialog_script::step press(int button_id) {
    return [button_id](HWND dialog) {
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button_id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, button_id)));
        return true;
    };
}

dialog_script::step close_box() {
    return [](HWND dialog) {
        PostMessageW(dialog, WM_CLOSE, 0, 0);
        return true;
    };
}

dialog_script::step send_command(int id) {
    return [id](HWND dialog) {
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, 0), 0);
        return true;
    };
}

} // namespace test_support
