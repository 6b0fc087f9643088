// The main dialog's life: construction over the engine and the host's frames, its two worker lanes and
// timer, the message handler's frame, Apply, Cancel and close, and the teardown.
#include "main-dialog-impl.h"

#include <mmsystem.h>
#include <ole2.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "am-collections.h"
#include "am-common.h"
#include "am-text.h"
#include "host-entry.h"
#include "hotkey-dialog.h"
#include "resource.h"
#include "worker-lanes.h"

#define DIALOG_SOURCE AM_PLUGIN_SOURCE("main-dialog-impl.cpp")

namespace tessolux::main_window {

namespace {

// The docking of the controls below the panel: they keep their distance to the right and bottom edges.
constexpr std::uint32_t dock_right_bottom =
    system_ui::control_docker::dock_right | system_ui::control_docker::dock_bottom;
// The panel keeps its distance to the right, top and bottom edges: it grows with the dialog's height.
constexpr std::uint32_t dock_panel = system_ui::control_docker::dock_right |
                                     system_ui::control_docker::dock_top |
                                     system_ui::control_docker::dock_bottom;

// How long Apply waits for a superseded stage job to let go of the result image.
constexpr DWORD result_lock_limit_ms = 10'000;

HWND checked_item(HWND dialog, int id, const char* message) {
    HWND item = GetDlgItem(dialog, id);
    if (item == nullptr)
        cpp::throw_last_error(message);
    return item;
}

std::int32_t scaled(float scale, int pixels) noexcept {
    return round_to_int(static_cast<double>(scale) * pixels);
}

// The failure text of the status bar's border query, named after the step that lays the bar out.
template <std::size_t F, std::size_t L>
constexpr auto status_borders_failure(const char (&function)[F], const char (&line)[L]) {
    return cpp::failure_message(function, line, DIALOG_SOURCE,
                                "SendMessage(status, SB_GETBORDERS) resulted in error!");
}

} // namespace

impl::impl(const engine_context& engine, std::wstring key, const image_frame_ptr& source,
           const image_frame_ptr& result, HWND owner)
    : instance_key(std::move(key)), owner_window(owner), filter_lane(filter_lane_capacity),
      preview_lane(preview_lane_capacity), host_result(&result) {
    error_caption = module_string(IDS_FAILURE_CAPTION);
    memory_text = module_string(IDS_NOT_ENOUGH_MEMORY);
    unknown_text = module_string(IDS_UNKNOWN_ERROR);
    view_info_text = module_string(IDS_VIEW_INFO);
    constexpr UINT stage_text_ids[6] = {IDS_DENOISE_RUNNING,   IDS_ENHANCE_RUNNING, IDS_REDEYE_RUNNING,
                                        IDS_TILTSHIFT_RUNNING, IDS_EFFECT_RUNNING,  IDS_GRAIN_RUNNING};
    for (int i = 0; i != 6; ++i)
        stage_texts[i] = module_string(stage_text_ids[i]);
    done_text = module_string(IDS_PREVIEW_DONE);
    pointer_pattern = module_string(IDS_POINTER_POSITION);
    source_text = module_string(IDS_SHOWING_ORIGINAL);
    result_text = module_string(IDS_SHOWING_RESULT);
    stage_engine = make_engine_context(engine.root.get());

    dialog = system_ui::create_dialog(module_instance(), IDD_MAIN, owner_window, *this);
    if (dialog == nullptr) {
        constexpr auto message = cpp::failure_message("operator ()", "1855", DIALOG_SOURCE,
                                                      "CreateDialogParam resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
    // From here on the dialog, its panel and its timer point at this object: a failure takes down what
    // exists before the exception leaves, so that no later message reaches a destroyed object.
    try {
        construct(source, result);
    } catch (...) {
        // The failure that stopped the construction is the one the caller reports. The teardown still
        // runs to its end when the engine refuses its service calls; that refusal would only hide the
        // cause.
        try {
            close_dialog();
        } catch (...) {
        }
        throw;
    }
}

void impl::construct(const image_frame_ptr& source, const image_frame_ptr& result) {
    dpi_aware = system_ui::is_process_dpi_aware();
    scale = static_cast<float>(system_ui::get_screen_dpi()) * 0.010416667f;
    ui_registration = std::make_unique<cpp::threading::thread_registration>();

    // The controls column: the client area, the controls below the panel, and the panel above them.
    RECT client{};
    if (!GetClientRect(dialog, &client)) {
        constexpr auto message = cpp::failure_message("controls_window", "1380", DIALOG_SOURCE,
                                                      "GetClientRect resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
    POINT origin{0, 0};
    if (!ClientToScreen(dialog, &origin)) {
        constexpr auto message = cpp::failure_message("controls_window", "1383", DIALOG_SOURCE,
                                                      "ClientToScreen resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
    window_x = origin.x;
    window_y = origin.y;
    client_width = client.right;
    client_height = client.bottom;
    {
        constexpr auto progress_message = cpp::failure_message("controls_window", "1388", DIALOG_SOURCE,
                                                               "GetDlgItem(IDC_PROGRESS) resulted in error!");
        progress_bar = checked_item(dialog, IDC_PROGRESS, progress_message.c_str());
        constexpr auto dynamic_message = cpp::failure_message("controls_window", "1395", DIALOG_SOURCE,
                                                              "GetDlgItem(IDC_DYNAMIC) resulted in error!");
        dynamic_text = checked_item(dialog, IDC_DYNAMIC, dynamic_message.c_str());
    }
    HWND dimensions = GetDlgItem(dialog, IDC_STATIC);
    dockers.emplace_back(dialog, progress_bar, client_width, client_height, dock_right_bottom);
    dockers.emplace_back(dialog, dimensions, client_width, client_height, dock_right_bottom);
    dockers.emplace_back(dialog, dynamic_text, client_width, client_height, dock_right_bottom);
    RECT column{};
    system_ui::control_docker::get_window_rect(column, progress_bar, dialog);
    panel_width = client_width - column.left;

    // The panel fills the column above the progress bar.
    const std::int32_t margin = scaled(scale, 8);
    controls = std::make_unique<controls_frame>(
        dialog, column.left, margin, column.right - column.left, std::max(0L, column.top - 2 * margin), scale,
        [this](unsigned delay, filter_state stage) { on_filter_changed(delay, stage); },
        [this](std::exception_ptr failure) { show_job_failure(failure, false); },
        [this](HDC dc, unsigned width, unsigned height) -> std::pair<HDC, void*> {
            ensure_back_buffer(dc, width, height);
            return {back_dc.get(), SelectObject(back_dc.get(), back_bitmap.get())};
        },
        [this](void* previous) { SelectObject(back_dc.get(), static_cast<HGDIOBJ>(previous)); },
        stage_engine);
    dockers.emplace_back(dialog, controls->window_handle(), client_width, client_height, dock_panel);

    constructed = true;
    brush_pen.reset(CreatePen(PS_SOLID, 1, 0x808080));
    border_pen.reset(CreatePen(PS_SOLID, 1, 0x404040));
    frame_pen.reset(CreatePen(PS_SOLID, 1, GetSysColor(COLOR_ACTIVEBORDER)));

    source_slot = clone_frame(source);
    result_slot = clone_frame(result);
    controls->source_frame = &source_slot;
    controls->prepare_effects_combo(stage_engine);
    const std::int32_t width = source_slot.frame_width();
    const std::int32_t height = source_slot.frame_height();
    controls->focused = {width / 3, height / 3, width / 3, height / 3};
    controls->update_focus_area_text();

    SetClassLongPtrW(dialog, GCLP_HBRBACKGROUND, reinterpret_cast<LONG_PTR>(GetSysColorBrush(COLOR_BTNFACE)));
    const float monitor_scale =
        static_cast<float>(system_ui::get_window_dpi_scaling(dialog)) * (1.0f / 96.0f);

    wire_workers();
    init_controls();
    canvas = make_preview_canvas(stage_engine, GetSystemMetrics(SM_CXVIRTUALSCREEN),
                                 GetSystemMetrics(SM_CYVIRTUALSCREEN));

    layout_preview_area();
    controls->load_filter_settings(instance_key);
    load_window_settings();
    reload_icons();
    if (monitor_scale != scale)
        change_dpi_scaling(monitor_scale);
    else
        change_font(monitor_scale);

    zoom_to_fit();
    // Through the dialog manager, which gives the focus back to the control it remembers whenever the
    // dialog is activated, the first time when it is shown.
    SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(apply_button), TRUE);
    restart_chain(0, reduce_noise);
}

impl::~impl() {
    // close_dialog tears everything down even when the engine refuses its service calls, and then throws
    // that refusal; a destructor has nobody left to tell.
    try {
        close_dialog();
    } catch (...) {
    }
}

void impl::wire_workers() {
    progress_callback = [this](float percent) {
        SendMessageW(progress_bar, PBM_SETPOS, static_cast<WPARAM>(round_to_int(percent)), 0);
    };
    posted_tasks = system_ui::window_task_queue(dialog, 1000);

    preview_lane.latest_ticket = 0;
    preview_lane.producer = cpp::threading::as_producer_user(preview_lane.queue);
    // The failed job's ticket goes with its failure: a newer job may supersede it before the task runs.
    preview_lane.thread =
        start_worker(preview_lane.queue, &preview_lane.latest_ticket, preview_lane_priority,
                     [this](std::exception_ptr failure) {
                         posted_tasks.post_task([this, failure, ticket = job_ticket()](unsigned) {
                             preview_failure_task(failure, ticket);
                         });
                     });
    filter_lane.latest_ticket = 0;
    filter_lane.producer = cpp::threading::as_producer_user(filter_lane.queue);
    filter_lane.thread =
        start_worker(filter_lane.queue, &filter_lane.latest_ticket, filter_lane_priority,
                     [this](std::exception_ptr failure) {
                         posted_tasks.post_task([this, failure, ticket = job_ticket()](unsigned) {
                             job_failure_task(failure, ticket);
                         });
                     });

    timer.kill();
    timer = system_ui::create_timer(dialog, 1000, 500);
    controls->engine =
        make_engine_context_with_progress(stage_engine.root.get(), &progress_callback, &posted_tasks);
}

void impl::init_controls() {
    accelerator_table.reset(LoadAcceleratorsW(module_instance(), MAKEINTRESOURCEW(IDR_ACCELERATORS)));
    if (!accelerator_table) {
        constexpr auto message = cpp::failure_message("init_controls", "417", DIALOG_SOURCE,
                                                      "LoadAccelerators resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
    {
        constexpr auto apply_message = cpp::failure_message("init_controls", "422", DIALOG_SOURCE,
                                                            "GetDlgItem(IDC_APPLY) resulted in error!");
        apply_button = checked_item(dialog, IDC_APPLY, apply_message.c_str());
        dockers.emplace_back(dialog, apply_button, client_width, client_height, dock_right_bottom);
        constexpr auto cancel_message = cpp::failure_message("init_controls", "429", DIALOG_SOURCE,
                                                             "GetDlgItem(IDC_CANCEL) resulted in error!");
        cancel_button = checked_item(dialog, IDC_CANCEL, cancel_message.c_str());
        dockers.emplace_back(dialog, cancel_button, client_width, client_height, dock_right_bottom);
    }
    const std::wstring dimensions = cpp::format_text(module_string(IDS_IMAGE_DIMENSIONS),
                                                     source_slot.frame_width(), source_slot.frame_height());
    if (!SetWindowTextW(GetDlgItem(dialog, IDC_STATIC), dimensions.c_str())) {
        constexpr auto message = cpp::failure_message("init_controls", "437", DIALOG_SOURCE,
                                                      "SetWindowText(IDC_STATIC) resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
    {
        constexpr auto message = cpp::failure_message("init_controls", "446", DIALOG_SOURCE,
                                                      "GetDlgItem(ID_STATUS) resulted in error!");
        status_bar = checked_item(dialog, ID_STATUS, message.c_str());
    }
    constexpr auto borders_failure = status_borders_failure("init_controls", "461");
    layout_status_bar(borders_failure.c_str());

    if (!SetWindowSubclass(status_bar, &flickerfree_subclass_proc, ID_STATUS,
                           reinterpret_cast<DWORD_PTR>(this)) ||
        !SetWindowSubclass(dynamic_text, &flickerfree_subclass_proc, IDC_DYNAMIC,
                           reinterpret_cast<DWORD_PTR>(this))) {
        constexpr auto message =
            cpp::failure_message("init_controls", "472", DIALOG_SOURCE,
                                 "SetWindowSubclass(flickerfree_subclass_proc) resulted in error!");
        throw std::runtime_error(message.c_str());
    }
    create_tooltips();

    const LPCWSTR cursor_ids[9] = {IDC_ARROW,  IDC_CROSS,  IDC_SIZEALL,  IDC_HAND,    MAKEINTRESOURCEW(32631),
                                   IDC_SIZENS, IDC_SIZEWE, IDC_SIZENESW, IDC_SIZENWSE};
    for (int i = 0; i != 9; ++i)
        cursors[i] = LoadCursorW(nullptr, cursor_ids[i]);
}

// The status bar's parts, its height and where the pointer statistics go; after every change of the
// dialog's width or scale.
void impl::layout_status_bar(const char* borders_failure) {
    status_part2 = rescale_status(status_bar, client_width, scale, status_height);
    SendMessageW(status_bar, SB_SETMINHEIGHT, 0, 0);
    SendMessageW(status_bar, WM_SIZE, 0, 0);
    int borders[3]{};
    if (!SendMessageW(status_bar, SB_GETBORDERS, 0, reinterpret_cast<LPARAM>(borders)))
        cpp::throw_last_error(borders_failure);
    RECT bar{};
    GetWindowRect(status_bar, &bar);
    status_height = bar.bottom - bar.top;
    status_part2.height = status_height;
}

void impl::create_tooltips() {
    tooltip_window = CreateWindowExW(
        WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT,
        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, dialog, nullptr, module_instance(), nullptr);
    if (tooltip_window == nullptr) {
        constexpr auto message = cpp::failure_message("create_tooltips", "348", DIALOG_SOURCE,
                                                      "CreateWindowEx(TOOLTIPS_CLASS) resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
    const auto add_tool = [&](HWND control, UINT text_id) {
        std::wstring text = module_string(text_id);
        TOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = dialog;
        tool.uId = reinterpret_cast<UINT_PTR>(control);
        tool.lpszText = text.data();
        SendMessageW(tooltip_window, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    };
    const HWND panel = controls->window_handle();
    add_tool(GetDlgItem(panel, IDC_TILTSHIFT_SELECT), IDS_TIP_SELECT_FOCUSED);
    add_tool(GetDlgItem(panel, IDC_REDEYE_DRAW), IDS_TIP_DRAW_REGION);
    {
        // The settings button: the status bar's first, square part.
        std::wstring text = module_string(IDS_TIP_SETTINGS);
        TOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_SUBCLASS;
        tool.hwnd = status_bar;
        tool.uId = IDC_DYNAMIC;
        tool.rect = {0, 0, status_height, status_height};
        tool.lpszText = text.data();
        SendMessageW(tooltip_window, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    add_tool(GetDlgItem(panel, IDC_REDEYE_UNDO), IDS_TIP_UNDO);
    add_tool(GetDlgItem(panel, IDC_REDEYE_REDO), IDS_TIP_REDO);
    SendMessageW(tooltip_window, TTM_SETMAXTIPWIDTH, 0, scaled(scale, 400));
}

void impl::change_font(float new_scale) {
    if (!dpi_aware)
        new_scale = 1.0f;
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        constexpr auto message = cpp::failure_message("change_font", "1468", DIALOG_SOURCE,
                                                      "SystemParametersInfo resulted in error!");
        cpp::throw_last_error(message.c_str());
    }
    const int height = scaled(new_scale, 16);
    const auto make_font = [&](const wchar_t* face) {
        HFONT font = CreateFontW(height, 0, 0, 0, 0, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                 CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, 0x30, face);
        if (font == nullptr) {
            constexpr auto message =
                cpp::failure_message("change_font", "1477", DIALOG_SOURCE, "CreateFont resulted in error!");
            throw cpp::exceptional::allocationFailure(message.c_str());
        }
        return system_ui::font_handle(font);
    };
    system_ui::font_handle font = make_font(metrics.lfMessageFont.lfFaceName);
    // Before Windows 7 the message font lacks the arrows of the panel's expand buttons.
    system_ui::font_handle fallback;
    if (cpp::system_info.windows_version < 0x601)
        fallback = make_font(L"Arial");

    const HWND targets[] = {dialog,       apply_button, cancel_button, GetDlgItem(dialog, IDC_STATIC),
                            dynamic_text, status_bar,   tooltip_window};
    for (HWND target : targets)
        SendMessageW(target, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
    controls->set_panel_fonts(font.get(), fallback ? fallback.get() : font.get());
    const int tab_stop = 72;
    SendMessageW(dynamic_text, EM_SETTABSTOPS, 1, reinterpret_cast<LPARAM>(&tab_stop));
    SendMessageW(GetDlgItem(dialog, IDC_STATIC), EM_SETTABSTOPS, 1, reinterpret_cast<LPARAM>(&tab_stop));
    // The controls hold the new fonts now; the old ones go.
    message_font = std::move(font);
    fallback_font = std::move(fallback);
}

void impl::change_dpi_scaling(float new_scale) {
    change_font(new_scale);
    if (!dpi_aware)
        return;
    const float factor = new_scale / scale;
    for (system_ui::control_docker& docker : dockers)
        docker.scale_control(factor);
    controls->on_dpi_changed(stage_engine, new_scale, factor);
    panel_width = round_to_int(static_cast<double>(panel_width) * factor);
    scale = new_scale;
    layout_preview_area();
    update_view_info();
    set_status_summary(cpp::format_text(module_string(IDS_DPI_CHANGED), round_to_int(new_scale * 96.0)));
    reload_icons();
    constexpr auto borders_failure = status_borders_failure("change_dpi_scaling", "1536");
    layout_status_bar(borders_failure.c_str());
    // The status bar's height changed with the scale: the preview takes the rest again, and the settings
    // button's tip covers the button at its new size.
    layout_preview_area();
    update_view_info();
    TOOLINFOW settings_tip{};
    settings_tip.cbSize = sizeof settings_tip;
    settings_tip.hwnd = status_bar;
    settings_tip.uId = IDC_DYNAMIC;
    settings_tip.rect = {0, 0, status_height, status_height};
    SendMessageW(tooltip_window, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&settings_tip));
    SendMessageW(tooltip_window, TTM_SETMAXTIPWIDTH, 0, scaled(scale, 400));
    // The docked controls were moved without repainting: they are redrawn with the dialog.
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void impl::layout_preview_area() {
    const std::int32_t m8 = scaled(scale, 8);
    const std::int32_t m16 = scaled(scale, 16);
    viewport = {m8, m8, std::max(0, client_width - panel_width - m16),
                std::max(0, client_height - status_height - m16)};
}

// Messages -----------------------------------------------------------------------------------------------

INT_PTR impl::process_message(const system_ui::register_function& register_window, HWND window, UINT message,
                              WPARAM wparam, LPARAM lparam) {
    try {
        if (system_ui::run_posted_tasks(posted_tasks, window, message, wparam))
            return 1;
        // Until the object is whole, the dialog answers as a plain dialog.
        if (!constructed)
            return message == WM_INITDIALOG ? 1 : 0;
        switch (message) {
        case WM_MOVE:
            on_move(static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam)));
            return 1;
        case WM_SIZE:
            on_size(LOWORD(lparam), HIWORD(lparam));
            return 1;
        case WM_PAINT:
            on_paint();
            return 1;
        case WM_CLOSE:
            on_close();
            return 1;
        case WM_ERASEBKGND:
            return 1;
        case WM_GETMINMAXINFO: {
            MINMAXINFO& limits = *reinterpret_cast<MINMAXINFO*>(lparam);
            limits.ptMinTrackSize = {scaled(scale, 640), scaled(scale, 450)};
            return 1;
        }
        case WM_NOTIFY: {
            const NMHDR& header = *reinterpret_cast<const NMHDR*>(lparam);
            if (header.idFrom == ID_STATUS && header.code == NM_CLICK &&
                reinterpret_cast<const NMMOUSE*>(lparam)->dwItemSpec == 0)
                on_settings_menu();
            return 1;
        }
        case WM_INITDIALOG:
            return 1;
        case WM_COMMAND:
            on_command(register_window, wparam, lparam);
            return 1;
        case WM_TIMER:
            on_timer();
            return 1;
        case WM_MOUSEMOVE:
            on_mouse_move(static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam)), wparam);
            return 1;
        case WM_LBUTTONDOWN:
            on_left_button_down(static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam)),
                                wparam);
            return 1;
        case WM_LBUTTONUP:
            on_left_button_up();
            return 1;
        case WM_LBUTTONDBLCLK:
            on_left_double_click();
            return 1;
        case WM_RBUTTONUP:
            on_right_button_up(static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam)));
            return 1;
        case WM_MBUTTONUP:
            on_middle_button_up(static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam)));
            return 1;
        case WM_MOUSEWHEEL:
            on_mouse_wheel(wparam, lparam);
            return 1;
        case WM_CAPTURECHANGED:
            on_capture_changed();
            return 1;
        case WM_MOUSELEAVE:
            on_mouse_leave();
            return 1;
        case WM_SETCURSOR:
            if (!on_set_cursor(reinterpret_cast<HWND>(wparam), LOWORD(lparam)))
                return 0;
            // A dialog's answer goes back through its message result: TRUE ends the search for a cursor.
            SetWindowLongPtrW(window, DWLP_MSGRESULT, TRUE);
            return 1;
        case WM_DPICHANGED: {
            const RECT& suggested = *reinterpret_cast<const RECT*>(lparam);
            MoveWindow(dialog, suggested.left, suggested.top, suggested.right - suggested.left,
                       suggested.bottom - suggested.top, FALSE);
            change_dpi_scaling(static_cast<float>(LOWORD(wparam)) / 96.0f);
            return 1;
        }
        default:
            return 0;
        }
    } catch (...) {
        show_failure_and_close(std::current_exception());
        return 0;
    }
}

// An exception that escaped a handler: the user is told, and the run ends as cancelled.
void impl::show_failure_and_close(std::exception_ptr failure) {
    show_job_failure(failure, false);
    close_dialog();
}

void impl::on_move(int x, int y) {
    const int dx = x - window_x;
    const int dy = y - window_y;
    window_x = x;
    window_y = y;
    for (system_ui::control_docker& docker : dockers)
        docker.parent_resized(dx, dy, client_width, client_height);
}

void impl::on_size(int width, int height) {
    client_width = width;
    client_height = height;
    constexpr auto borders_failure = status_borders_failure("process_message", "3370");
    layout_status_bar(borders_failure.c_str());
    layout_preview_area();
    draw_picture(0);
    for (system_ui::control_docker& docker : dockers)
        docker.parent_resized(0, 0, width, height);
    update_view_info();
    // The dockers move the controls without repainting them (the panel's scrolling moves its 81 controls
    // that way), so nobody has asked the moved controls to paint at their new places, nor the dialog to
    // paint over their old ones and over the preview's old frame, which now lie in the controls column.
    // Old and new places together with the preview area make up the client area: all of it is painted
    // again, the controls with it.
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void impl::on_timer() {
    ++timer_ticks;
    if (pointer_stats_retry_pending)
        update_pointer_stats();
    const bool focus_marker =
        (view_flags & show_focus_marker) != 0 && (controls->active_filters & tilt_shift) != 0;
    if ((view_flags & show_border) != 0 || focus_marker)
        draw_picture(drag_state == 0 ? 1 : 0);
}

// Apply, Cancel, close -----------------------------------------------------------------------------------

namespace {

// Takes the image for writing, waiting for a job that still writes or reads it; false after the limit.
bool acquire_for_writing(zorvane::IImage* image) {
    com_ptr<zorvane::IImageData> data;
    if (FAILED(image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void())) || !data)
        return false;
    const DWORD start = GetTickCount();
    while (FAILED(data->try_acquire())) {
        if (GetTickCount() - start >= result_lock_limit_ms)
            return false;
        Sleep(2);
    }
    return true;
}

void release_after_writing(zorvane::IImage* image) noexcept {
    com_ptr<zorvane::IImageData> data;
    if (SUCCEEDED(image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void())) && data)
        data->release();
}

bool same_shape(const image_frame& a, const image_frame& b) noexcept {
    return a.width == b.width && a.height == b.height && a.format == b.format;
}

} // namespace

// The shown picture goes into the host's result image. The user's result is what matters: a failure of
// the copy keeps the dialog open with the user's work in it, and the settings are saved only after the
// copy, each failing on its own.
void impl::on_apply() {
    if (failure_pending) {
        restart_chain(0, reduce_noise);
        return;
    }
    cancel_stage_job();
    const image_frame_ptr& shown = select_display_frame();
    const image_frame_ptr& target = *host_result;
    if (shown->image.get() != target->image.get()) {
        if (!same_shape(*shown, *target) || !acquire_for_writing(target->image.get())) {
            show_failure_box(unknown_text);
            return;
        }
        const bool copied = copy_image_data(target, shown);
        release_after_writing(target->image.get());
        if (!copied) {
            show_failure_box(unknown_text);
            return;
        }
    }
    not_accepted = false;
    try {
        save_window_settings();
    } catch (...) {
        show_exception_box(std::current_exception());
        // The box runs a loop of its own, in which the dialog may have been closed, its panel with it:
        // the panel's settings can no longer be read then.
        if (closing)
            return;
    }
    if (autosave) {
        try {
            controls->save_filter_settings(instance_key);
        } catch (...) {
            show_exception_box(std::current_exception());
        }
    }
    PlaySoundW(L"Media/notify.wav", nullptr, SND_FILENAME | SND_NODEFAULT | SND_ASYNC);
    // The result is in the host's image and the run is accepted. An engine that refuses to drop its work
    // or to shut down is torn down all the same (close_dialog sees to that) and concerns nobody any more:
    // a box and "Retry" now would report a failure of a run that succeeded, on a dialog already gone.
    try {
        close_dialog();
    } catch (...) {
    }
}

void impl::on_cancel() {
    PlaySoundW(L"Media/Windows Pop-up Blocked.wav", nullptr, SND_FILENAME | SND_NODEFAULT | SND_ASYNC);
    close_dialog();
}

void impl::on_close() {
    save_window_settings();
    if (autosave)
        controls->save_filter_settings(instance_key);
    close_dialog();
}

void impl::show_failure_box(const std::wstring& text) {
    MessageBoxW(dialog, text.c_str(), error_caption.c_str(), MB_ICONERROR);
}

void impl::close_dialog() {
    if (closing || dialog == nullptr)
        return;
    closing = true;
    // Both workers stop at their next check; the engine drops what it runs so that they get there soon.
    filter_lane.thread.request_stop();
    preview_lane.thread.request_stop();
    {
        // An engine that refuses these calls must not leave the dialog half torn down, answering nothing
        // any more and never ending the run: the workers and the window go all the same, then the
        // failure goes on to be reported.
        auto unfinished = cpp::make_rollback_guard([this] {
            stop_workers();
            destroy_dialog_window();
            stage_engine = {};
            accelerator_table.reset();
        });
        if (stage_engine.root)
            interrupt_engine(stage_engine);
        stop_workers();
        if (stage_engine.root)
            shutdown_engine(stage_engine);
        unfinished.release();
    }
    destroy_dialog_window();
    for (worker_lane* lane : {&filter_lane, &preview_lane}) {
        lane->producer = {};
        cpp::threading::exclusive_user user = cpp::threading::acquire_exclusive_user(lane->queue);
        lane->queue.rebuild(user, lane->queue.impl().capacity());
    }
    stage_engine = {};
    accelerator_table.reset();
}

// The workers joined and what only they used released; nothing is posted to the dialog after this.
void impl::stop_workers() noexcept {
    filter_lane.thread.reset();
    preview_lane.thread.reset();
    if (controls) {
        controls->eyes.shared_data.reset();
        controls->engine = {};
    }
    timer.kill();
    if (dialog != nullptr)
        RevokeDragDrop(dialog);
}

void impl::destroy_dialog_window() noexcept {
    if (dialog == nullptr)
        return;
    DestroyWindow(std::exchange(dialog, nullptr));
    hotkey_window.reset();
}

} // namespace tessolux::main_window
