// The window layer: the base of every window and the one dialog procedure, the modal message loop,
// dialog creation inside the module's common-controls context, tasks posted from other threads, timers,
// control docking, DPI queries, and the string-table, message-box, menu and registry helpers. Everything here
// runs on the UI thread but post_task, which any thread may call.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <system_error>

#include <windows.h>
#include <commctrl.h>

#include "am-common.h"
#include "am-functional.h"
#include "am-handle.h"
#include "am-resizable-array.h"
#include "am-threading.h"

namespace system_ui {

class window_base;

// Holders of the window layer's handles: one owner per handle, closed when the holder goes.
using font_handle = cpp::unique_any<HFONT, &DeleteObject>;
using bitmap_handle = cpp::unique_any<HBITMAP, &DeleteObject>;
using pen_handle = cpp::unique_any<HPEN, &DeleteObject>;
using brush_handle = cpp::unique_any<HBRUSH, &DeleteObject>;
using dc_handle = cpp::unique_any<HDC, &DeleteDC>;
using menu_handle = cpp::unique_any<HMENU, &DestroyMenu>;
using icon_handle = cpp::unique_any<HICON, &DestroyIcon>;
using accelerator_handle = cpp::unique_any<HACCEL, &DestroyAcceleratorTable>;
using key_handle = cpp::unique_any<HKEY, &RegCloseKey>;
using image_list_handle = cpp::unique_any<HIMAGELIST, &ImageList_Destroy>;

// Selects an object into a DC for the scope and selects back what it replaced.
class selection_guard {
public:
    selection_guard(HDC dc, HGDIOBJ object) noexcept : dc_(dc), previous_(SelectObject(dc, object)) {}
    selection_guard(const selection_guard&) = delete;
    selection_guard& operator=(const selection_guard&) = delete;
    ~selection_guard() {
        if (previous_ != nullptr && previous_ != HGDI_ERROR)
            SelectObject(dc_, previous_);
    }

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// The thread's window registration: while a message loop runs it adds a window to that loop's list,
// otherwise it is empty and calling it throws cpp::exceptional::empty_functional_invocation.
using register_function = cpp::moveonly_function<void(window_base&), 1>;

// Base of every window of the system: a modeless dialog bound to this object through dialog_procedure,
// and a place in the running loop's window list (next, then previous; both null: isolated).
class window_base {
public:
    window_base() noexcept = default;
    window_base(const window_base&) = delete;
    window_base& operator=(const window_base&) = delete;

    // Null once the dialog no longer exists; the loop then drops the window.
    virtual HWND window_handle() const = 0;
    // May be null.
    virtual HACCEL accelerators() const = 0;
    // Every message of the window's dialog. register_window lets a window created here join the loop.
    virtual INT_PTR process_message(const register_function& register_window, HWND window, UINT message,
                                    WPARAM wparam, LPARAM lparam) = 0;
    // False keeps accelerators and dialog keyboard handling away from this message.
    virtual bool pre_translate(MSG message);
    // Leaves the list the window is in.
    virtual ~window_base();

    // Inserts xlink, which must be isolated, right behind this window.
    void link_next(window_base& xlink);
    // Takes the window out of its list; its neighbours close ranks.
    void unlink() noexcept;

    bool isolated() const noexcept { return next_ == nullptr && previous_ == nullptr; }
    window_base* next() const noexcept { return next_; }
    window_base* previous() const noexcept { return previous_; }

private:
    window_base* next_ = nullptr;
    window_base* previous_ = nullptr;
};

// The DLGPROC of every dialog of the system: binds the object passed at creation on WM_INITDIALOG and
// routes every message to its process_message until WM_NCDESTROY. An exception that a handler lets
// escape is kept by the thread's innermost handler_failure_trap (it cannot unwind through user32) and
// the message answers 0; with no trap on the thread it is dropped.
INT_PTR CALLBACK dialog_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Keeps the first exception that dialog_procedure catches on this thread while the trap is the innermost
// one, so that the code that called into user32 can rethrow it once that call has returned. Traps nest;
// the message loop and create_dialog set their own.
class handler_failure_trap {
public:
    handler_failure_trap() noexcept;
    handler_failure_trap(const handler_failure_trap&) = delete;
    handler_failure_trap& operator=(const handler_failure_trap&) = delete;
    ~handler_failure_trap();

    bool caught() const noexcept { return static_cast<bool>(failure_); }
    // Rethrows the kept exception, if any, and forgets it.
    void rethrow_if_caught();

    // Hands an exception to the thread's innermost trap; false when the thread has none.
    static bool keep(std::exception_ptr failure) noexcept;

private:
    std::exception_ptr failure_;
    handler_failure_trap* outer_;
};

// Runs the modal loop over the given windows (each created, isolated and listed once; they stay the
// caller's) until WM_QUIT, which it posts itself once no window is left. Returns 0. A WM_QUIT that the
// loop did not post ends it too, and is posted again, with its exit code, for the caller's own loop. An
// exception from a handler comes out of the loop after the user32 call it was raised in has returned;
// the windows then stay linked to each other as they were.
int run_message_loop(cpp::ranges::array_range<window_base* const> windows);

// Creates the modeless dialog template_id of module for window (CreateDialogParamW with
// dialog_procedure and the window's address) inside the module's common-controls-6 activation
// context, after registering the common control classes the dialogs use. A failed creation returns
// null with the last error as CreateDialogParamW left it, for the caller's own failure message. An
// exception that the window's handlers raised during creation destroys the new dialog and is rethrown.
HWND create_dialog(HINSTANCE module, UINT template_id, HWND owner, window_base& window);

// The activation context of a module's own manifest (resource 2, or 1 for a program), active while the
// scope lives. A module without a manifest leaves the thread's current context as it is.
class manifest_activation {
public:
    explicit manifest_activation(HINSTANCE module) noexcept;
    manifest_activation(const manifest_activation&) = delete;
    manifest_activation& operator=(const manifest_activation&) = delete;
    ~manifest_activation();

    bool active() const noexcept { return cookie_ != 0; }

private:
    struct context_traits {
        using handle_type = HANDLE;
        static HANDLE empty() noexcept { return INVALID_HANDLE_VALUE; }
        static bool is_set(HANDLE context) noexcept { return context != INVALID_HANDLE_VALUE; }
        static void close(HANDLE context) noexcept { ReleaseActCtx(context); }
    };
    cpp::unique_handle<context_traits> context_;
    ULONG_PTR cookie_ = 0;
};

// Posted tasks
// ------------------------------------------------------------------------------------------------

// The private message that asks a window to run one task of its queue: wParam the address of that
// window_task_queue, lParam 0.
constexpr UINT posted_task_message = WM_APP + 0x11;

// The callables that other threads hand to a window's thread, one per posted_task_message. Posted
// messages carry the queue's address, so the queue must stay where it is while tasks are posted to it.
class window_task_queue {
public:
    using task = cpp::threading::job;

    // No window and no queue: posting to it throws.
    window_task_queue() noexcept = default;
    // The queue holds capacity tasks, raised to a power of two of at least 256.
    window_task_queue(HWND window, std::uint32_t capacity);
    window_task_queue(window_task_queue&&) noexcept = default;
    window_task_queue& operator=(window_task_queue&&) noexcept = default;

    // Any thread: queues the callable and asks the window to run it. Another thread waits while the
    // queue is full; the window's own thread, which alone empties it, cannot: its post into a full queue
    // throws std::runtime_error and queues nothing.
    void post_task(task callable);

    HWND window() const noexcept { return window_; }

private:
    friend bool run_posted_tasks(window_task_queue& own, HWND window, UINT message, WPARAM wparam);

    HWND window_ = nullptr;
    cpp::threading::task_queue queue_;
    // The thread that runs the window's messages, and so its tasks.
    DWORD window_thread_ = 0;
};

// The first step of the process_message of a window that receives tasks: runs one task of own when the
// message is posted_task_message for this very queue and window, and answers true. Any other message, a
// posted_task_message that names another queue (stray or forged), and one that finds no task queued for
// it (forged, or repeated after its task has run) run nothing and answer false; none of them waits.
bool run_posted_tasks(window_task_queue& own, HWND window, UINT message, WPARAM wparam);

// Timers -------------------------------------------------------------------------------------------------

namespace details {
struct timer_id {
    HWND owner;
    UINT_PTR id;
};
struct timer_traits {
    using handle_type = timer_id;
    static constexpr timer_id empty() noexcept { return {nullptr, 0}; }
    static constexpr bool is_set(const timer_id& timer) noexcept { return timer.id != 0; }
    static void close(const timer_id& timer) noexcept { KillTimer(timer.owner, timer.id); }
};
} // namespace details

// Owns one window timer {owner, id}; a null id means no timer.
class timer_handle : public cpp::unique_handle<details::timer_traits> {
public:
    timer_handle() noexcept = default;
    timer_handle(HWND owner, UINT_PTR id) noexcept : unique_handle(details::timer_id{owner, id}) {}

    HWND owner() const noexcept { return get().owner; }
    UINT_PTR id() const noexcept { return get().id; }
    // Sets the owner window, keeping the timer id.
    void attach(HWND owner) noexcept {
        details::timer_id timer = release();
        timer.owner = owner;
        reset(timer);
    }
    void kill() noexcept { reset(); }
};

// A timer that the system may coalesce within tolerance ms (SetCoalescableTimer, looked up at every
// call); where there is none, or it fails, a plain one.
timer_handle create_timer(HWND window, UINT interval, UINT tolerance);
// A plain SetTimer timer; failure throws cpp::exceptional::allocationFailure.
timer_handle create_simple_timer(HWND window, UINT interval);

// Docking -------------------------------------------------------------------------------------------------

// Keeps a child control anchored to edges of its parent's client area when the parent is resized or
// moved, and rescales it on a DPI change.
class control_docker {
public:
    enum : std::uint32_t { dock_left = 1, dock_right = 2, dock_top = 4, dock_bottom = 8 };

    // Reads the control's place in the parent's client area of the given size.
    control_docker(HWND parent, HWND control, int parent_width, int parent_height, std::uint32_t flags);

    void get_layout(int& left, int& top, int& width, int& height, int& right_margin,
                    int& bottom_margin) const noexcept;

    // The parent's client area now measures width x height; dx, dy is how far the parent moved (0 for a
    // resize). Keeps the docked distances and moves the control without repainting.
    void parent_resized(int dx, int dy, int width, int height);
    void move_control(int dx, int dy);
    // Scales the control's anchored distances and size by factor; the free part absorbs the rest.
    void scale_control(float factor);

    // window's rectangle in parent's client coordinates.
    static void get_window_rect(RECT& rect, HWND window, HWND parent);
    static void make_rect(RECT& rect, int x, int y, int width, int height) noexcept;

    std::uint32_t flags() const noexcept { return flags_; }
    HWND control() const noexcept { return control_; }

private:
    void move_window(bool from_scale);

    std::uint32_t flags_;
    HWND parent_;
    HWND control_;
    std::int32_t left_;
    std::int32_t top_;
    std::int32_t width_;
    std::int32_t height_;
    std::int32_t right_margin_;
    std::int32_t bottom_margin_;
};

// DPI ------------------------------------------------------------------------------------------------------

// Whether the process is DPI aware; true where the system cannot say.
bool is_process_dpi_aware();
// The screen's horizontal DPI.
int get_screen_dpi();
// The effective DPI of the monitor nearest to window; the screen's DPI where the system cannot tell per
// monitor.
UINT get_window_dpi_scaling(HWND window);

// The same with the system's functions passed in, for systems that lack them.
namespace details {
using get_process_dpi_awareness_function = HRESULT(WINAPI*)(HANDLE process, int* awareness);
using is_process_dpi_aware_function = BOOL(WINAPI*)();
using get_dpi_for_monitor_function = HRESULT(WINAPI*)(HMONITOR monitor, int kind, UINT* x, UINT* y);
using set_coalescable_timer_function = UINT_PTR(WINAPI*)(HWND window, UINT_PTR id, UINT interval,
                                                         TIMERPROC procedure, ULONG tolerance);

bool process_dpi_aware(get_process_dpi_awareness_function get_awareness,
                       is_process_dpi_aware_function is_aware);
UINT monitor_dpi(get_dpi_for_monitor_function get_dpi, HMONITOR monitor);
timer_handle create_timer(set_coalescable_timer_function set_timer, HWND window, UINT interval,
                          UINT tolerance);
} // namespace details

// Strings, boxes, menus, registry
// -----------------------------------------------------------------------------

// The string-table entry id of instance (at most 4095 characters). A missing entry throws
// std::system_error, never yields an empty text.
void load_string(std::wstring& text, HINSTANCE instance, UINT id);

// An error box with the text the caller chose for the failure.
void show_error_box(HWND owner, const std::exception& failure, const std::wstring& caption,
                    const std::wstring& text);
// An error box with the system's text for the error's code; none when the system has no text for it.
void show_system_error_box(HWND owner, const std::system_error& failure, const std::wstring& caption);
// The system's text for the error's code, or the fallback.
void format_system_message(std::wstring& text, const std::system_error& failure,
                           const std::wstring& fallback);

// Sets the whole state of the menu item with command id: checked or not, enabled or greyed.
void recheck_menu_item(HMENU menu, UINT id, bool checked, bool enabled);
// The menu's first submenu; a menu without one throws the failure text with a menu error (GetSubMenu
// itself sets no error code).
HMENU checked_submenu(HMENU menu, const char* failure);

// registry_check{} <<= RegXxx(...): any status but ERROR_SUCCESS throws, ERROR_FILE_NOT_FOUND too.
struct registry_check {};
void operator<<=(registry_check, LSTATUS status);

} // namespace system_ui
