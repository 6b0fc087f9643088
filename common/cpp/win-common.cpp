#include "win-common.h"

#include <atomic>
#include <stdexcept>

#include <commctrl.h>

#define WIN_COMMON AM_LIBRARY_SOURCE("win-common.cpp")

namespace system_ui {

namespace {

// A system function that older systems lack, looked up by name; null where it is missing.
template <class Function> Function lookup(HMODULE module, const char* name) noexcept {
    if (module == nullptr)
        return nullptr;
    // Through void*: the looked-up address has the generic FARPROC type.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The head of a running loop's window list. It never gets a message and the walks start behind it.
template <int> class win_trivial final : public window_base {
public:
    HWND window_handle() const override { return nullptr; }
    HACCEL accelerators() const override { return nullptr; }
    INT_PTR process_message(const register_function&, HWND, UINT, WPARAM, LPARAM) override { return 1; }
};

struct loop_frame;

// Both are plain pointers into frames of the running code, so the thread-local state needs no
// destruction when a thread ends.
constinit thread_local loop_frame* running_loop = nullptr;
constinit thread_local handler_failure_trap* innermost_trap = nullptr;

// What a handler receives as register_window outside every loop: calling it throws.
const register_function no_loop_registration;

// What one run of the message loop keeps where its windows and dialog_procedure can reach it. Made at
// the loop's start, so that every way out of the loop, normal or by an exception, empties the thread's
// registration (the outer loop's comes back when loops nest) and takes the head out of the list.
struct loop_frame {
    loop_frame() noexcept
        : register_window([head = &head](window_base& window) { head->link_next(window); }),
          outer(running_loop) {
        running_loop = this;
    }
    loop_frame(const loop_frame&) = delete;
    loop_frame& operator=(const loop_frame&) = delete;
    ~loop_frame() {
        running_loop = outer;
        head.unlink();
    }

    win_trivial<1> head;
    register_function register_window;
    handler_failure_trap trap;
    // The window that the walk over the list visits next. A handler may destroy that window's object
    // while the walk waits for user32; its unlink then moves this on to the window behind it.
    window_base* walk_next = nullptr;
    loop_frame* const outer;
};

const register_function& current_registration() noexcept {
    return running_loop != nullptr ? running_loop->register_window : no_loop_registration;
}

// Links head, windows[0], windows[1], ... in that order. All or nothing: when a window is not isolated,
// the windows linked so far are taken out again, and the one in the way keeps the links of its own list.
void link_windows(window_base& head, cpp::ranges::array_range<window_base* const> windows) {
    std::uint32_t linked = 0;
    auto rollback = cpp::make_rollback_guard([&] {
        for (std::uint32_t i = 0; i != linked; ++i)
            windows[i]->unlink();
    });
    head.link_next(*windows[0]);
    linked = 1;
    for (std::uint32_t i = 1; i != windows.size(); ++i) {
        windows[i - 1]->link_next(*windows[i]);
        linked = i + 1;
    }
}

// Offers msg to the windows whose dialog contains its target: accelerators first, then dialog
// keyboard handling. True when a dialog handled it.
bool offer_to_windows(loop_frame& loop, MSG& msg) {
    for (window_base* window = loop.head.next(); window != nullptr; window = loop.walk_next) {
        loop.walk_next = window->next();
        const HWND handle = window->window_handle();
        // A message to the dialog itself, or to no window, is not for dialog keyboard handling.
        if (handle == nullptr || !IsChild(handle, msg.hwnd))
            continue;
        if (!window->pre_translate(msg))
            continue;
        // Whether an accelerator fired does not matter: the keystroke is still offered to the dialog.
        TranslateAcceleratorW(handle, window->accelerators(), &msg);
        loop.trap.rethrow_if_caught();
        if (IsDialogMessageW(handle, &msg))
            return true;
        loop.trap.rethrow_if_caught();
    }
    return false;
}

// Takes out every window whose dialog is gone, keeping the order of the others.
void drop_destroyed(window_base& head) {
    for (window_base* window = head.next(); window != nullptr;) {
        window_base* const next = window->next();
        if (window->window_handle() == nullptr)
            window->unlink();
        window = next;
    }
}

void register_common_controls() noexcept {
    INITCOMMONCONTROLSEX classes{};
    classes.dwSize = sizeof classes;
    classes.dwICC = ICC_BAR_CLASSES | ICC_USEREX_CLASSES | ICC_PROGRESS_CLASS | ICC_LINK_CLASS;
    // Classes that are missing make the dialog's creation fail, which its creator reports.
    InitCommonControlsEx(&classes);
}

} // namespace

// Window base ---------------------------------------------------------------------------------------------

bool window_base::pre_translate(MSG) {
    return true;
}

window_base::~window_base() {
    unlink();
}

void window_base::link_next(window_base& xlink) {
    if (!xlink.isolated()) {
        constexpr auto message = cpp::failure_message("link_next", "587", WIN_COMMON,
                                                      "insert_next's argument xlink must be isolated!");
        throw std::runtime_error(message.c_str());
    }
    xlink.previous_ = this;
    xlink.next_ = next_;
    if (next_ != nullptr)
        next_->previous_ = &xlink;
    next_ = &xlink;
}

void window_base::unlink() noexcept {
    for (loop_frame* loop = running_loop; loop != nullptr; loop = loop->outer)
        if (loop->walk_next == this)
            loop->walk_next = next_;
    if (next_ != nullptr)
        next_->previous_ = previous_;
    if (previous_ != nullptr)
        previous_->next_ = next_;
    next_ = nullptr;
    previous_ = nullptr;
}

// Dialog procedure, failure trap, loop ----------------------------------------------------------------------

INT_PTR CALLBACK dialog_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG)
        SetWindowLongPtrW(window, GWLP_USERDATA, lparam);
    auto* const object = reinterpret_cast<window_base*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (object == nullptr)
        return 0;
    INT_PTR result = 0;
    try {
        result = object->process_message(current_registration(), window, message, wparam, lparam);
    } catch (...) {
        // Unwinding must stop here: user32's frames below cannot be unwound through.
        handler_failure_trap::keep(std::current_exception());
    }
    if (message == WM_NCDESTROY)
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    return result;
}

handler_failure_trap::handler_failure_trap() noexcept : outer_(innermost_trap) {
    innermost_trap = this;
}

handler_failure_trap::~handler_failure_trap() {
    innermost_trap = outer_;
}

void handler_failure_trap::rethrow_if_caught() {
    if (failure_)
        std::rethrow_exception(std::exchange(failure_, nullptr));
}

bool handler_failure_trap::keep(std::exception_ptr failure) noexcept {
    handler_failure_trap* const trap = innermost_trap;
    if (trap == nullptr)
        return false;
    // The first failure is the cause; what follows while user32 finishes the call is mostly its echo.
    if (!trap->failure_)
        trap->failure_ = std::move(failure);
    return true;
}

int run_message_loop(cpp::ranges::array_range<window_base* const> windows) {
    if (windows.empty()) {
        constexpr auto message =
            cpp::failure_message("run_message_loop", "643", WIN_COMMON, "# of dialogs must be > 0!");
        throw std::runtime_error(message.c_str());
    }
    loop_frame loop;
    link_windows(loop.head, windows);

    // The loop ends at the first WM_QUIT. Once no window is left it posts one itself, unless one is
    // waiting already. Any other quit is a request of whoever runs the loop around ours (the host): it is
    // posted again when ours ends, with its exit code, so that the outer loop still sees it.
    bool ending = false;
    bool own_quit = false;
    MSG msg;
    for (;;) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1) {
            constexpr auto message =
                cpp::failure_message("run_message_loop", "693", WIN_COMMON, "GetMessage resulted in error!");
            cpp::throw_last_error(message.c_str());
        }
        // A quit that is not ours goes back before anything else can leave the loop.
        if (got == 0 && (!own_quit || msg.wParam != 0))
            PostQuitMessage(static_cast<int>(msg.wParam));
        // Sent messages are delivered inside GetMessageW.
        loop.trap.rethrow_if_caught();
        if (got == 0)
            break;
        const bool handled = offer_to_windows(loop, msg);
        loop.walk_next = nullptr;
        if (!handled) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        loop.trap.rethrow_if_caught();
        drop_destroyed(loop.head);
        if (loop.head.next() == nullptr && !ending) {
            ending = true;
            // Posting ours over a waiting quit would replace its exit code. (A quit of exit code 0 that
            // someone posts after ours cannot be told from ours: the system keeps one quit per thread.)
            MSG waiting;
            own_quit = !PeekMessageW(&waiting, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE);
            loop.trap.rethrow_if_caught(); // sent messages are delivered inside PeekMessageW too
            if (own_quit)
                PostQuitMessage(0);
        }
    }
    return 0;
}

// Dialog creation ------------------------------------------------------------------------------------------

manifest_activation::manifest_activation(HINSTANCE module) noexcept {
    if (module == nullptr)
        module = GetModuleHandleW(nullptr);
    // A module names its own manifest with id 2; a program's is id 1, and the process runs in it already.
    for (const LPCWSTR id : {ISOLATIONAWARE_MANIFEST_RESOURCE_ID, CREATEPROCESS_MANIFEST_RESOURCE_ID}) {
        if (FindResourceW(module, id, RT_MANIFEST) == nullptr)
            continue;
        ACTCTXW description{};
        description.cbSize = sizeof description;
        description.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
        description.hModule = module;
        description.lpResourceName = id;
        context_.reset(CreateActCtxW(&description));
        break;
    }
    if (context_ && !ActivateActCtx(context_.get(), &cookie_))
        cookie_ = 0;
}

manifest_activation::~manifest_activation() {
    if (cookie_ != 0)
        DeactivateActCtx(0, cookie_);
}

HWND create_dialog(HINSTANCE module, UINT template_id, HWND owner, window_base& window) {
    handler_failure_trap trap;
    HWND dialog = nullptr;
    DWORD error = 0;
    {
        const manifest_activation context(module);
        register_common_controls();
        dialog = CreateDialogParamW(module, MAKEINTRESOURCEW(template_id), owner, &dialog_procedure,
                                    reinterpret_cast<LPARAM>(&window));
        error = GetLastError();
    }
    if (trap.caught()) {
        // The window sees its dialog go, as it would any other time; a failure on the way is its echo.
        if (dialog != nullptr)
            DestroyWindow(dialog);
        trap.rethrow_if_caught();
    }
    SetLastError(error);
    return dialog;
}

// Posted tasks ---------------------------------------------------------------------------------------------

window_task_queue::window_task_queue(HWND window, std::uint32_t capacity)
    : window_(window), queue_(cpp::threading::create_task_queue(capacity, 0)),
      window_thread_(window != nullptr ? GetWindowThreadProcessId(window, nullptr) : 0) {}

void window_task_queue::post_task(task callable) {
    if (window_thread_ != 0 && window_thread_ == GetCurrentThreadId()) {
        // Only this thread makes room in the queue, by running its tasks: it must not wait for room.
        if (!queue_.try_enqueue(callable))
            throw std::runtime_error("task queue is full!");
    } else {
        queue_.enqueue(callable);
    }
    // One message per task: the window runs one task per message, so a burst stays in queue order.
    PostMessageW(window_, posted_task_message, reinterpret_cast<WPARAM>(this), 0);
}

bool run_posted_tasks(window_task_queue& own, HWND window, UINT message, WPARAM wparam) {
    // Anyone can post this message to the window; only the queue the window owns is trusted, never an
    // address read from the message.
    if (message != posted_task_message || wparam != reinterpret_cast<WPARAM>(&own) || window != own.window_)
        return false;
    // Messages and tasks of different threads may arrive in either order: a message runs the task at the
    // head of the queue, and one that finds none claimed there (its task ran with an earlier message, or
    // it is forged) runs nothing rather than wait for a task that may never come.
    window_task_queue::task task;
    if (!cpp::threading::try_take_task(own.queue_, task))
        return false;
    task(1);
    return true;
}

// Timers ---------------------------------------------------------------------------------------------------

namespace {

// Every timer gets an id of its own, never 0: asked for a window timer of id 0, the system answers 1
// while the timer runs as 0, and killing timer 1 then misses it. Ids start clear of the small ones that
// windows pick by hand.
UINT_PTR next_timer_id() noexcept {
    static std::atomic<UINT_PTR> last{0x1000};
    UINT_PTR id;
    do
        id = last.fetch_add(1, std::memory_order_relaxed) + 1;
    while (id == 0);
    return id;
}

// A window timer keeps the id it was asked for; a thread timer (no window) is known by the result.
timer_handle timer_from(HWND window, UINT_PTR id, UINT_PTR result) noexcept {
    return timer_handle(window, window != nullptr ? id : result);
}

} // namespace

timer_handle details::create_timer(set_coalescable_timer_function set_timer, HWND window, UINT interval,
                                   UINT tolerance) {
    if (set_timer != nullptr) {
        const UINT_PTR id = next_timer_id();
        if (const UINT_PTR result = set_timer(window, id, interval, nullptr, tolerance); result != 0)
            return timer_from(window, id, result);
    }
    return create_simple_timer(window, interval);
}

timer_handle create_timer(HWND window, UINT interval, UINT tolerance) {
    return details::create_timer(lookup<details::set_coalescable_timer_function>(
                                     GetModuleHandleW(L"user32.dll"), "SetCoalescableTimer"),
                                 window, interval, tolerance);
}

timer_handle create_simple_timer(HWND window, UINT interval) {
    const UINT_PTR id = next_timer_id();
    const UINT_PTR result = SetTimer(window, id, interval, nullptr);
    if (result == 0) {
        constexpr auto message = cpp::failure_location("create_simple_timer", "77", WIN_COMMON);
        throw cpp::exceptional::allocationFailure(message.c_str());
    }
    return timer_from(window, id, result);
}

// Docking --------------------------------------------------------------------------------------------------

namespace {

// The control's rectangle, its top-left corner mapped into the parent's client coordinates.
template <std::size_t G, std::size_t S>
RECT place_in_parent(HWND control, HWND parent, const cpp::static_string<G>& get_failed,
                     const cpp::static_string<S>& map_failed) {
    RECT rect;
    if (!GetWindowRect(control, &rect))
        cpp::throw_last_error(get_failed.c_str());
    POINT corner{rect.left, rect.top};
    if (!ScreenToClient(parent, &corner))
        cpp::throw_last_error(map_failed.c_str());
    return RECT{corner.x, corner.y, corner.x + (rect.right - rect.left), corner.y + (rect.bottom - rect.top)};
}

// One axis of the layout rule: bits 1 near edge, 2 far edge.
void lay_out_axis(std::uint32_t bits, int moved, int extent, std::int32_t& position, std::int32_t& size,
                  std::int32_t& margin) noexcept {
    switch (bits) {
    case 3: // both distances kept: the control stretches
        size = extent - margin - position;
        break;
    case 2: // follows the far edge
        position = extent - margin - size;
        break;
    case 1: // stays; the far distance follows
        margin = extent - size - position;
        break;
    default: // keeps its place on the screen while the parent moves
        position -= moved;
        break;
    }
}

// One axis of the scaling rule; the part that is not anchored takes up the difference.
void scale_axis(std::uint32_t bits, float factor, std::int32_t& position, std::int32_t& size,
                std::int32_t& margin) noexcept {
    const auto scaled = [factor](std::int32_t value) {
        return cpp::round_to_int(static_cast<float>(value) * factor);
    };
    switch (bits) {
    case 3: {
        const std::int32_t new_position = scaled(position);
        const std::int32_t new_margin = scaled(margin);
        size += (position - new_position) + (margin - new_margin);
        position = new_position;
        margin = new_margin;
        break;
    }
    case 2: {
        const std::int32_t new_size = scaled(size);
        const std::int32_t new_margin = scaled(margin);
        position += (size - new_size) + (margin - new_margin);
        size = new_size;
        margin = new_margin;
        break;
    }
    case 1: {
        const std::int32_t new_size = scaled(size);
        const std::int32_t new_position = scaled(position);
        margin += (size - new_size) + (position - new_position);
        size = new_size;
        position = new_position;
        break;
    }
    default:
        break;
    }
}

} // namespace

control_docker::control_docker(HWND parent, HWND control, int parent_width, int parent_height,
                               std::uint32_t flags)
    : flags_(flags), parent_(parent), control_(control) {
    constexpr auto get_failed =
        cpp::failure_message("control_docker", "177", WIN_COMMON, "GetWindowRect resulted in error!");
    constexpr auto map_failed =
        cpp::failure_message("control_docker", "181", WIN_COMMON, "ScreenToClient resulted in error!");
    const RECT place = place_in_parent(control, parent, get_failed, map_failed);
    left_ = place.left;
    top_ = place.top;
    width_ = place.right - place.left;
    height_ = place.bottom - place.top;
    right_margin_ = parent_width - width_ - left_;
    bottom_margin_ = parent_height - height_ - top_;
}

void control_docker::get_layout(int& left, int& top, int& width, int& height, int& right_margin,
                                int& bottom_margin) const noexcept {
    left = left_;
    top = top_;
    width = width_;
    height = height_;
    right_margin = right_margin_;
    bottom_margin = bottom_margin_;
}

void control_docker::parent_resized(int dx, int dy, int width, int height) {
    constexpr auto get_failed =
        cpp::failure_message("parent_resized", "331", WIN_COMMON, "GetWindowRect resulted in error!");
    constexpr auto map_failed =
        cpp::failure_message("parent_resized", "337", WIN_COMMON, "ScreenToClient resulted in error!");
    // Only a check that the control and its parent are still there: the rule works on the record.
    place_in_parent(control_, parent_, get_failed, map_failed);
    lay_out_axis(flags_ & 3, dx, width, left_, width_, right_margin_);
    lay_out_axis((flags_ >> 2) & 3, dy, height, top_, height_, bottom_margin_);
    if (!MoveWindow(control_, left_, top_, width_, height_, FALSE)) {
        constexpr auto message =
            cpp::failure_message("parent_resized", "387", WIN_COMMON, "MoveWindow resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
}

void control_docker::move_control(int dx, int dy) {
    left_ += dx;
    top_ += dy;
    right_margin_ -= dx;
    bottom_margin_ -= dy;
    if (!MoveWindow(control_, left_, top_, width_, height_, FALSE)) {
        constexpr auto message =
            cpp::failure_message("move_control", "215", WIN_COMMON, "MoveWindow resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
}

void control_docker::scale_control(float factor) {
    scale_axis(flags_ & 3, factor, left_, width_, right_margin_);
    scale_axis((flags_ >> 2) & 3, factor, top_, height_, bottom_margin_);
    if (!MoveWindow(control_, left_, top_, width_, height_, FALSE)) {
        constexpr auto message =
            cpp::failure_message("scale_control", "319", WIN_COMMON, "MoveWindow resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
}

void control_docker::get_window_rect(RECT& rect, HWND window, HWND parent) {
    if (!GetWindowRect(window, &rect)) {
        constexpr auto message =
            cpp::failure_message("get_window_rect", "152", WIN_COMMON, "GetWindowRect resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
    auto* const corners = reinterpret_cast<POINT*>(&rect);
    if (!ScreenToClient(parent, &corners[0])) {
        constexpr auto message =
            cpp::failure_message("get_window_rect", "156", WIN_COMMON, "ScreenToClient resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
    if (!ScreenToClient(parent, &corners[1])) {
        constexpr auto message =
            cpp::failure_message("get_window_rect", "162", WIN_COMMON, "ScreenToClient resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
}

void control_docker::make_rect(RECT& rect, int x, int y, int width, int height) noexcept {
    rect = RECT{x, y, x + width, y + height};
}

// DPI ------------------------------------------------------------------------------------------------------

bool details::process_dpi_aware(get_process_dpi_awareness_function get_awareness,
                                is_process_dpi_aware_function is_aware) {
    if (get_awareness != nullptr) {
        int awareness = 0;
        return get_awareness(nullptr, &awareness) == S_OK && awareness != 0;
    }
    if (is_aware != nullptr)
        return is_aware() != 0;
    return true;
}

bool is_process_dpi_aware() {
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    return details::process_dpi_aware(
        lookup<details::get_process_dpi_awareness_function>(user32, "GetProcessDPIAwareness"),
        lookup<details::is_process_dpi_aware_function>(user32, "IsProcessDPIAware"));
}

int get_screen_dpi() {
    const HDC screen = GetDC(nullptr);
    const auto release = cpp::make_scope_guard([screen] {
        if (screen != nullptr)
            ReleaseDC(nullptr, screen);
    });
    return GetDeviceCaps(screen, LOGPIXELSX);
}

UINT details::monitor_dpi(get_dpi_for_monitor_function get_dpi, HMONITOR monitor) {
    UINT x = 0;
    UINT y = 0;
    // A system that cannot tell the monitor's DPI still has the screen's; the dialog opens with that.
    if (get_dpi == nullptr || monitor == nullptr || FAILED(get_dpi(monitor, 0, &x, &y)))
        return static_cast<UINT>(get_screen_dpi());
    // One scale serves both axes; a monitor that differs per axis is beyond the layout.
    if (x != y) {
        constexpr auto message = cpp::failure_message("get_window_dpi_scaling", "137", WIN_COMMON,
                                                      "GetDpiForMonitor resulted in error!");
        throw std::runtime_error(message.c_str());
    }
    return x;
}

UINT get_window_dpi_scaling(HWND window) {
    const cpp::unique_any<HMODULE, &FreeLibrary> shcore(LoadLibraryW(L"Shcore.dll"));
    if (!shcore)
        return static_cast<UINT>(get_screen_dpi());
    return details::monitor_dpi(
        lookup<details::get_dpi_for_monitor_function>(shcore.get(), "GetDpiForMonitor"),
        MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST));
}

// Strings, boxes, menus, registry -------------------------------------------------------------------------

void load_string(std::wstring& text, HINSTANCE instance, UINT id) {
    wchar_t buffer[4096];
    SetLastError(ERROR_SUCCESS);
    if (LoadStringW(instance, id, buffer, 4096) == 0) {
        // A missing entry in a block that exists leaves no error behind; the user must not read "The
        // operation completed successfully" for it.
        if (GetLastError() == ERROR_SUCCESS)
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        constexpr auto message = cpp::failure_location("load_string", "65", WIN_COMMON);
        cpp::throw_last_error(message.c_str());
    }
    text.assign(buffer);
}

namespace {

constexpr DWORD system_text_length = 1024;

// The system's text for the error's code in the system's default language; 0 characters when it has none.
DWORD system_text(wchar_t (&buffer)[system_text_length], const std::system_error& failure) noexcept {
    return FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                          static_cast<DWORD>(failure.code().value()),
                          MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT), buffer, system_text_length, nullptr);
}

} // namespace

void show_error_box(HWND owner, const std::exception&, const std::wstring& caption,
                    const std::wstring& text) {
    MessageBoxW(owner, text.c_str(), caption.c_str(), MB_ICONERROR);
}

void show_system_error_box(HWND owner, const std::system_error& failure, const std::wstring& caption) {
    wchar_t buffer[system_text_length];
    if (system_text(buffer, failure) != 0)
        MessageBoxW(owner, buffer, caption.c_str(), MB_ICONERROR);
}

void format_system_message(std::wstring& text, const std::system_error& failure,
                           const std::wstring& fallback) {
    wchar_t buffer[system_text_length];
    const DWORD length = system_text(buffer, failure);
    if (length != 0)
        text.assign(buffer, length);
    else
        text = fallback;
}

void recheck_menu_item(HMENU menu, UINT id, bool checked, bool enabled) {
    MENUITEMINFOW item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_STATE;
    item.fState = (checked ? MFS_CHECKED : 0u) | (enabled ? 0u : MFS_DISABLED);
    if (!SetMenuItemInfoW(menu, id, FALSE, &item)) {
        constexpr auto message = cpp::failure_location("recheck_menu_item", "538", WIN_COMMON);
        cpp::throw_last_error(message.c_str());
    }
}

HMENU checked_submenu(HMENU menu, const char* failure) {
    SetLastError(ERROR_SUCCESS);
    const HMENU items = GetSubMenu(menu, 0);
    if (items == nullptr) {
        if (GetLastError() == ERROR_SUCCESS)
            SetLastError(ERROR_INVALID_MENU_HANDLE);
        cpp::throw_last_error(failure);
    }
    return items;
}

void operator<<=(registry_check, LSTATUS status) {
    if (status != ERROR_SUCCESS) {
        constexpr auto message = cpp::failure_message("operator <<=", "444", WIN_COMMON, "registry failure!");
        throw std::runtime_error(message.c_str());
    }
}

} // namespace system_ui
