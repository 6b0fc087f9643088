// A filter module that probes the host: it asks for the filter rectangle in two bands, top half first,
// in the coordinates the host offers (32-bit when it can), inverts every sample it is given, and leaves
// merging by the selection to the host. It fails when the host's rows are not padded beyond their samples,
// when the first sample is 13, and scribbles on its input when the first sample is 7. Asked to by the
// environment, it shows a stand-in preview dialog first (probe-filter.h).
#include "probe-filter.h"

#include <string>

#include <windows.h>
#include <commctrl.h>

#include "am-handle.h"
#include "plugin/host-entry.h"
#include "resource.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

using namespace tessolux::host;

namespace {

// The stand-in dialog -------------------------------------------------------------------------------------

using brush_handle = cpp::unique_any<HBRUSH, &DeleteObject>;

// Short enough for a quick test, long enough that a host polling the dialog sees every step.
constexpr UINT step_period_ms = 250;
constexpr UINT_PTR step_timer = 1;

probe_dialog_record record;
int steps_done = 0;
bool dialog_open = false;

std::wstring ready_text() {
    const wchar_t* text = nullptr;
    const int length = LoadStringW(reinterpret_cast<HINSTANCE>(&__ImageBase), IDS_PREVIEW_DONE,
                                   reinterpret_cast<LPWSTR>(&text), 0);
    return {text, static_cast<std::size_t>(length > 0 ? length : 0)};
}

std::wstring summary(HWND dialog) {
    wchar_t text[256] = {};
    if (LOWORD(SendDlgItemMessageW(dialog, ID_STATUS, SB_GETTEXTLENGTHW, 1, 0)) < 256)
        SendDlgItemMessageW(dialog, ID_STATUS, SB_GETTEXTW, 1, reinterpret_cast<LPARAM>(text));
    return text;
}

void end_dialog(HWND dialog, int ended_by) {
    RECT area{};
    GetWindowRect(dialog, &area);
    record.ended_by = ended_by;
    record.ready_text_at_end = summary(dialog) == ready_text();
    record.apply_enabled_at_end = IsWindowEnabled(GetDlgItem(dialog, IDC_APPLY)) != FALSE;
    record.width = area.right - area.left;
    record.height = area.bottom - area.top;
    dialog_open = false;
}

// Ready in steps, as a preview is: the summary, then Apply, then the last render on the screen.
void step(HWND dialog) {
    switch (++steps_done) {
    case 1:
        SendDlgItemMessageW(dialog, ID_STATUS, SB_SETTEXTW, 1,
                            reinterpret_cast<LPARAM>(ready_text().c_str()));
        break;
    case 2:
        EnableWindow(GetDlgItem(dialog, IDC_APPLY), TRUE);
        break;
    default:
        KillTimer(dialog, step_timer);
        InvalidateRect(dialog, nullptr, TRUE);
        break;
    }
}

INT_PTR CALLBACK dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    static const brush_handle rendering(CreateSolidBrush(RGB(255, 0, 0)));
    static const brush_handle rendered(CreateSolidBrush(RGB(0, 255, 0)));
    switch (message) {
    case WM_INITDIALOG: {
        int edges[] = {30, 150, 200, -1};
        SendDlgItemMessageW(dialog, ID_STATUS, SB_SETPARTS, 4, reinterpret_cast<LPARAM>(edges));
        return TRUE;
    }
    case WM_TIMER:
        if (wparam == step_timer)
            step(dialog);
        return TRUE;
    case WM_CTLCOLORDLG:
        return reinterpret_cast<INT_PTR>((steps_done > 2 ? rendered : rendering).get());
    case WM_COMMAND:
        if (LOWORD(wparam) == IDC_APPLY || LOWORD(wparam) == IDC_CANCEL)
            end_dialog(dialog, LOWORD(wparam));
        return TRUE;
    case WM_CLOSE:
        end_dialog(dialog, probe_closed);
        return TRUE;
    default:
        return FALSE;
    }
}

// The dialog over the host window, with a modal loop of its own, as the plug-in runs it.
std::int16_t run_dialog(const FilterRecord& host, const std::wstring& mode) {
    HWND owner = host.platformData != nullptr
                     ? reinterpret_cast<HWND>(static_cast<std::uintptr_t>(host.platformData->hwnd))
                     : nullptr;
    record = {};
    if (mode == L"message") {
        MessageBoxW(owner, L"The probe cannot go on.", L"Probe", MB_OK | MB_ICONERROR);
        return record.result = userCanceledErr;
    }
    if (mode == L"hang")
        Sleep(INFINITE); // a filter stuck before its dialog, dispatching nothing
    const INITCOMMONCONTROLSEX classes{sizeof classes, ICC_BAR_CLASSES};
    InitCommonControlsEx(&classes);
    steps_done = 0;
    HWND dialog = CreateDialogParamW(reinterpret_cast<HINSTANCE>(&__ImageBase), MAKEINTRESOURCEW(IDD_MAIN),
                                     owner, dialog_procedure, 0);
    if (dialog == nullptr)
        return record.result = filterBadParameters;
    if (mode == L"ready")
        SetTimer(dialog, step_timer, step_period_ms, nullptr);
    ShowWindow(dialog, SW_SHOWNORMAL);
    dialog_open = true;
    MSG message;
    while (dialog_open) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0)
            PostQuitMessage(static_cast<int>(message.wParam));
        if (got <= 0)
            break;
        if (!IsDialogMessageW(dialog, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    DestroyWindow(dialog);
    return record.result = record.ended_by == IDC_APPLY ? 0 : userCanceledErr;
}

std::wstring dialog_mode() {
    wchar_t mode[16] = {};
    return GetEnvironmentVariableW(L"PROBE_DIALOG", mode, 16) < 16 ? mode : L"";
}

// The filtering ------------------------------------------------------------------------------------------

VRect widen(const Rect& r) {
    return {r.top, r.left, r.bottom, r.right};
}

// Band 0 is the upper half of the filter rectangle, band 1 the rest; band 2 asks for nothing.
void request_band(FilterRecord& record, std::intptr_t band) {
    BigDocumentStruct* big = record.bigDocumentData;
    VRect area = big != nullptr ? big->filterRect32 : widen(record.filterRect);
    (band == 0 ? area.bottom : area.top) = area.top + (area.bottom - area.top) / 2;
    if (band > 1)
        area = {};
    if (big != nullptr) {
        big->PluginUsing32BitCoordinates = 1;
        big->inRect32 = big->outRect32 = big->maskRect32 = area;
        return;
    }
    const Rect narrow{static_cast<std::int16_t>(area.top), static_cast<std::int16_t>(area.left),
                      static_cast<std::int16_t>(area.bottom), static_cast<std::int16_t>(area.right)};
    record.inRect = record.outRect = record.maskRect = narrow;
}

template <class Sample> std::int16_t invert(FilterRecord& record, Sample maximum) {
    const VRect area =
        record.bigDocumentData != nullptr ? record.bigDocumentData->inRect32 : widen(record.inRect);
    const std::int32_t count = (area.right - area.left) * record.planes;
    const std::int32_t tight = count * static_cast<std::int32_t>(sizeof(Sample));
    const Sample first = *static_cast<const Sample*>(record.inData);
    if (record.inRowBytes <= tight || record.outRowBytes <= tight || first == 13)
        return filterBadParameters;
    for (std::int32_t y = 0; y != area.bottom - area.top; ++y) {
        auto* in = reinterpret_cast<Sample*>(static_cast<char*>(record.inData) + y * record.inRowBytes);
        auto* out = reinterpret_cast<Sample*>(static_cast<char*>(record.outData) + y * record.outRowBytes);
        for (std::int32_t i = 0; i != count; ++i)
            out[i] = static_cast<Sample>(maximum - in[i]);
    }
    if (first == 7)
        *static_cast<Sample*>(record.inData) = 0;
    return 0;
}

} // namespace

extern "C" __declspec(dllexport) void ProbeMain(std::int16_t selector, FilterRecord* record,
                                                std::intptr_t* data, std::int16_t* result) {
    if (selector == filterSelectorStart) {
        record->inLoPlane = record->outLoPlane = 0;
        record->inHiPlane = record->outHiPlane = static_cast<std::int16_t>(record->planes - 1);
        request_band(*record, *data = 0);
    } else if (selector == filterSelectorContinue) {
        if (const std::wstring mode = dialog_mode(); *data == 0 && !mode.empty())
            if ((*result = run_dialog(*record, mode)) != 0)
                return;
        *result =
            record->depth == 16 ? invert<std::uint16_t>(*record, 32768) : invert<std::uint8_t>(*record, 255);
        if (*result == 0)
            request_band(*record, ++*data);
    }
}

extern "C" __declspec(dllexport) const probe_dialog_record* ProbeDialogRecord() {
    return &record;
}
