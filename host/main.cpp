// filter-host: runs a filter module over an image file as an image editor would.
//
//   filter-host [--mask selection.png] [--16bit-coordinates] [--no-owner] [--apply-when-ready]
//               [--screenshot dialog.png] [--wait-limit seconds] module.8bf input.png output.png
//   filter-host --about module.8bf
//
// --apply-when-ready presses Apply in the filter's dialog once its preview is up to date (the status
// bar's second part reads the module's string 148 and Apply is enabled); --screenshot saves a PNG of the
// dialog as it is on the screen at that moment, once it has stopped changing. --wait-limit bounds each
// wait on the dialog in seconds: for the preview, for the screen to settle, for the filter to return
// once the dialog is closed, and for a filter that dispatches no messages at all (120, 30, 120 and 120
// by default).
//
// Exit codes: 0 the filter was applied and the output written; 1 the user cancelled; 2 the filter
// reported a failure; 3 the host could not run the filter; 4 the host gave up on the filter's dialog
// (the preview never became ready, the dialog never settled, the filter showed a message box or did not
// return): it closed the dialog, said what it had waited for, and wrote no output.
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <exception>
#include <string>
#include <vector>

#include <ole2.h>
#include <shellapi.h>
#include <windows.h>

#include "filter-host.h"
#include "image-file.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: filter-host [--mask selection.png] [--16bit-coordinates] [--no-owner]\n"
                 "                   [--apply-when-ready] [--screenshot dialog.png] [--wait-limit seconds]\n"
                 "                   module.8bf input.png output.png\n"
                 "       filter-host --about module.8bf\n");
    return 3;
}

// The editor's main window: the owner of whatever the filter shows.
HWND create_host_window() {
    WNDCLASSW type{};
    type.lpfnWndProc = DefWindowProcW;
    type.hInstance = GetModuleHandleW(nullptr);
    type.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
    type.lpszClassName = L"FilterHostWindow";
    RegisterClassW(&type);
    HWND window = CreateWindowExW(0, type.lpszClassName, L"Filter host", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 800, 600, nullptr, nullptr, type.hInstance, nullptr);
    if (window != nullptr)
        ShowWindow(window, SW_SHOWNORMAL);
    return window;
}

int run(const std::vector<std::wstring>& arguments) {
    std::wstring mask_path;
    bool about = false;
    bool owner = true;
    filter_host::run_options options;
    filter_host::dialog_options dialog;
    std::vector<std::wstring> files;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (argument == L"--mask" && i + 1 < arguments.size())
            mask_path = arguments[++i];
        else if (argument == L"--16bit-coordinates")
            options.big_document = false;
        else if (argument == L"--no-owner")
            owner = false;
        else if (argument == L"--about")
            about = true;
        else if (argument == L"--apply-when-ready")
            dialog.apply_when_ready = true;
        else if (argument == L"--screenshot" && i + 1 < arguments.size())
            dialog.screenshot = arguments[++i];
        else if (argument == L"--wait-limit" && i + 1 < arguments.size()) {
            wchar_t* end = nullptr;
            const long seconds = std::wcstol(arguments[++i].c_str(), &end, 10);
            if (*end != L'\0' || seconds <= 0)
                return usage();
            const std::chrono::seconds limit(seconds);
            dialog.limits = {limit, limit, limit, limit};
        } else if (argument.starts_with(L"--"))
            return usage();
        else
            files.push_back(argument);
    }
    if (files.size() != (about ? 1u : 3u))
        return usage();

    filter_host::plugin_module module(files[0]);
    if (about) {
        filter_host::show_about(module);
        return 0;
    }
    filter_host::image document = filter_host::read_image(files[1]);
    filter_host::check_writable(files[2]);
    filter_host::selection mask;
    if (!mask_path.empty())
        mask = filter_host::read_selection(mask_path);
    if (owner)
        options.owner = create_host_window();

    const filter_host::run_report report =
        filter_host::run_filter(module, document, mask_path.empty() ? nullptr : &mask, options, dialog);
    if (options.owner != nullptr)
        DestroyWindow(options.owner);
    const std::string name = module.properties().name;
    static const char* const selector_names[] = {"about", "parameters", "prepare",
                                                 "start", "continue",   "finish"};
    for (std::size_t i = 0; i != report.selectors.size(); ++i) {
        const std::int16_t selector = report.selectors[i];
        std::printf("selector %d (%s): result %d\n", selector,
                    selector >= 0 && selector <= 5 ? selector_names[selector] : "?", report.results[i]);
    }
    if (report.input_changed)
        std::fprintf(stderr, "filter-host: warning: %s wrote into its input buffer\n", name.c_str());
    for (const std::string& message : report.dialog.messages)
        std::printf("%s showed a message box: %s\n", name.c_str(), message.c_str());
    if (report.dialog.screenshot_written)
        std::printf("screenshot of the dialog: %s\n", filter_host::utf8(dialog.screenshot).c_str());
    else if (!dialog.screenshot.empty())
        std::fprintf(stderr, "filter-host: no screenshot was taken, the preview was never ready\n");
    if (!report.dialog.gave_up.empty()) {
        std::printf("filter-host: gave up on the dialog of %s: %s; closed it, nothing was written\n",
                    name.c_str(), report.dialog.gave_up.c_str());
        return filter_host::gave_up_exit_code;
    }
    if (report.applied) {
        filter_host::write_image(files[2], document);
        std::printf("%s: applied, wrote %s\n", name.c_str(), filter_host::utf8(files[2]).c_str());
        return 0;
    }
    if (report.result == tessolux::host::userCanceledErr) {
        std::printf("%s: cancelled, the image is unchanged and nothing was written\n", name.c_str());
        return 1;
    }
    std::printf("%s: failed with result %d, nothing was written\n", name.c_str(), report.result);
    return 2;
}

} // namespace

int main() {
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    const std::vector<std::wstring> arguments(words, words + count);
    LocalFree(words);
    // The editor's thread is a single-threaded apartment, as the filter's own OLE start expects.
    if (FAILED(OleInitialize(nullptr))) {
        std::fprintf(stderr, "filter-host: OLE does not start\n");
        return 3;
    }
    int code = 3;
    try {
        code = run(arguments);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "filter-host: %s\n", failure.what());
    }
    OleUninitialize();
    return code;
}
