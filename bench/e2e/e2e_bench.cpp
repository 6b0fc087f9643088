// The whole road through the filter host: a generated 24-megapixel 8-bit RGB photo (6000 x 4000), without
// and with a selection, all six stages switched on (ActiveFilters 127; red-eye removal has no circles and
// skips), the host pressing Apply once the preview is ready. Every figure is a ratio against one memcpy of
// the image (72 MB) measured in the same run:
//   (a) continue until the dialog is shown, less the engine's work in that time, and its two parts: the
//       host entry before the dialog exists (with a selection, the copy of the host's planes), and the
//       dialog's construction (its windows and panel, which cost the same for any image). The engine's work
//       is replayed directly in the same run: the two engine images of a selection, and the effects
//       list's scaled copy, conversion and 39 preset thumbnails;
//   (b) Apply, from the dialog receiving the press until PluginMain returns, and its two parts: until the
//       dialog's window is destroyed (the copy into the result, stopping the lanes, destroying the dialog
//       and its panel), and the rest (the window object's release, the write-back under the selection);
//   peak memory: the host process's peak working set against the image's bytes, and what remains of it
//       without the filter host's own buffers (it keeps 16 bits per sample, a working copy, the blocks it
//       hands the filter and a copy of the input block).
// Each run is a process of its own, so that each peak is its own; three runs of each kind, medians printed.
// The plug-in's entry is timed by a proxy module (TimingProxy.8bf) that forwards to Tessolux3.8bf.
#include <windows.h>
#include <objbase.h>
#include <ole2.h>
#include <psapi.h>
#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "ZorvaneImageProcessor.h"
#include "abi-export.h"
#include "host/filter-host.h"
#include "plugin/host-entry.h"

namespace {

constexpr std::int32_t image_width = 6000;
constexpr std::int32_t image_height = 4000;
constexpr std::size_t image_bytes = static_cast<std::size_t>(image_width) * image_height * 3;
constexpr int runs_per_kind = 3;
const std::wstring settings_root = L"Software\\Veltrin Media\\Tessolux 3 Plugin";

double counter_ms(std::int64_t ticks) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

std::int64_t counter_now() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

template <class Body> double median_ms(int repeats, Body body) {
    std::vector<double> samples;
    for (int i = 0; i != repeats; ++i) {
        const std::int64_t start = counter_now();
        body();
        samples.push_back(counter_ms(counter_now() - start));
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

void check(HRESULT hr, const char* what) {
    if (FAILED(hr))
        throw std::runtime_error(std::string(what) + " failed");
}

// The folder of this program, where the build puts the modules too; scripts run it from anywhere.
std::wstring program_folder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.erase(folder.find_last_of(L'\\') + 1);
}

// The plug-in's module and the proxy in a folder of the benchmark's own: the settings key is the hash of
// the plug-in's path, so that no test's runs share it.
std::wstring prepare_modules() {
    const std::wstring from = program_folder();
    const std::wstring to = from + L"bench-e2e\\";
    CreateDirectoryW(to.c_str(), nullptr);
    if (!CopyFileW((from + L"Tessolux3.8bf").c_str(), (to + L"Tessolux3.8bf").c_str(), FALSE) ||
        !CopyFileW((from + L"TimingProxy.8bf").c_str(), (to + L"TimingProxy.8bf").c_str(), FALSE))
        throw std::runtime_error("the modules cannot be copied");
    return to + L"TimingProxy.8bf";
}

// All six stages on, everything else as on a first run.
void prepare_settings() {
    const HMODULE plugin = LoadLibraryW((program_folder() + L"bench-e2e\\Tessolux3.8bf").c_str());
    const std::wstring key = settings_root + L"\\" + tessolux::instance_key(plugin);
    FreeLibrary(plugin);
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    HKEY opened = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &opened,
                        nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("the settings key cannot be made");
    const DWORD all = 127;
    RegSetValueExW(opened, L"ActiveFilters", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&all), sizeof all);
    RegCloseKey(opened);
}

// A photo-like picture: smooth light, a few hard edges and some grain.
filter_host::image make_photo() {
    filter_host::image photo(image_width, image_height, 3, 8);
    std::uint32_t seed = 12345;
    for (std::int32_t y = 0; y != image_height; ++y)
        for (std::int32_t x = 0; x != image_width; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int grain = static_cast<int>(seed >> 28) - 8;
            const bool building = (x / 700) % 2 == 0 && y > 1500 + (x % 700);
            const int light = building ? 60 : 90 + (x + y) / 80;
            for (std::int32_t c = 0; c != 3; ++c)
                photo.at(x, y, c) = static_cast<std::uint16_t>(std::clamp(light + c * 25 + grain, 0, 255));
        }
    return photo;
}

// An elliptic selection with a soft edge whose box is the whole picture (its corners are selected).
filter_host::selection make_selection() {
    filter_host::selection mask{
        image_width, image_height,
        std::vector<std::uint8_t>(static_cast<std::size_t>(image_width) * image_height)};
    for (std::int32_t y = 0; y != image_height; ++y)
        for (std::int32_t x = 0; x != image_width; ++x) {
            const double dx = (x - image_width / 2.0) / (image_width / 2.0);
            const double dy = (y - image_height / 2.0) / (image_height / 2.0);
            const double r = dx * dx + dy * dy;
            mask.bytes[static_cast<std::size_t>(y) * image_width + x] =
                r < 0.8   ? 255
                : r < 1.0 ? static_cast<std::uint8_t>((1.0 - r) * 1275)
                          : 0;
        }
    mask.bytes.front() = mask.bytes.back() = 255;
    return mask;
}

std::uint64_t checksum(const filter_host::image& picture) {
    std::uint64_t sum = 0;
    for (const std::uint16_t sample : picture.samples)
        sum = sum * 31 + sample;
    return sum;
}

// When the preview dialog is created, shown, receives Apply and is gone, seen by hooks on the host's thread.
struct dialog_moments {
    std::int64_t created = 0;
    std::int64_t shown = 0;
    std::int64_t apply_received = 0;
    std::int64_t gone = 0;
    HWND dialog = nullptr;
};
dialog_moments moments;

bool is_preview_dialog(HWND window) {
    wchar_t kind[16];
    return GetClassNameW(window, kind, 16) != 0 && std::wstring(kind) == L"#32770" &&
           GetDlgItem(window, 1003) != nullptr && GetDlgItem(window, 111) != nullptr;
}

// The first dialog the plug-in creates is its preview dialog (its controls do not exist yet).
LRESULT CALLBACK on_created(int code, WPARAM wparam, LPARAM lparam) {
    if (code == HCBT_CREATEWND && moments.created == 0) {
        const LPCWSTR kind = reinterpret_cast<const CBT_CREATEWNDW*>(lparam)->lpcs->lpszClass;
        if (IS_INTRESOURCE(kind) && reinterpret_cast<std::uintptr_t>(kind) == 32770)
            moments.created = counter_now();
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

LRESULT CALLBACK on_sent(int code, WPARAM wparam, LPARAM lparam) {
    const auto& message = *reinterpret_cast<const CWPSTRUCT*>(lparam);
    if (code == HC_ACTION && message.message == WM_SHOWWINDOW && message.wParam && moments.shown == 0 &&
        is_preview_dialog(message.hwnd)) {
        moments.shown = counter_now();
        moments.dialog = message.hwnd;
    }
    // The dialog's last message: its controls and its panel are gone before it.
    if (code == HC_ACTION && message.message == WM_NCDESTROY && message.hwnd == moments.dialog &&
        moments.apply_received != 0 && moments.gone == 0)
        moments.gone = counter_now();
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

LRESULT CALLBACK on_posted(int code, WPARAM wparam, LPARAM lparam) {
    const auto& message = *reinterpret_cast<const MSG*>(lparam);
    if (code == HC_ACTION && wparam == PM_REMOVE && message.message == WM_COMMAND &&
        LOWORD(message.wParam) == 1003 && moments.apply_received == 0 && is_preview_dialog(message.hwnd))
        moments.apply_received = counter_now();
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

struct engine_share {
    double before_dialog_ms;
    double construction_ms;
};

// The engine's work before the dialog is shown, replayed directly on this thread.
engine_share replay_engine_work(const filter_host::image& photo, bool masked) {
    com_ptr<zorvane::IProcessor> root;
    check(CoCreateInstance(zorvane::CLSID_ZorvaneProcessor, nullptr, CLSCTX_INPROC_SERVER,
                           zorvane::IID_IProcessor, root.put_void()),
          "the engine's creation");
    // The source as the dialog gets it: the host's rows in place, or an engine copy with the selection.
    const zorvane::pixel_format format =
        masked ? zorvane::pixel_format::rgba32 : zorvane::pixel_format::rgb24;
    const std::int32_t channels = masked ? 4 : 3;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(image_width) * image_height * channels);
    for (std::size_t i = 0, p = 0; i != pixels.size(); i += channels, p += 3)
        for (std::int32_t c = 0; c != 3; ++c)
            pixels[i + c] = static_cast<std::uint8_t>(photo.samples[p + c]);
    com_ptr<zorvane::IImage> source;
    check(root->wrap_input_memory(pixels.data(), image_width, image_height, format, image_width * channels,
                                  source.put()),
          "wrap_input_memory");

    const auto node = [&](const wchar_t* name, const wchar_t* property, const wchar_t* value) {
        com_ptr<zorvane::IFilterChain> chain;
        check(root->create_chain(chain.put()), "create_chain");
        com_ptr<zorvane::IFilter> filter;
        check(chain->add_node(string_owner(std::wstring{name}).get(), nullptr, filter.put()), "add_node");
        if (property != nullptr)
            check(filter->set_property(string_owner(std::wstring{property}).get(),
                                       string_owner(std::wstring{value}).get()),
                  "set_property");
        check(filter->commit(), "commit");
        com_ptr<zorvane::IOperation> operation;
        check(chain->build(operation.put()), "build");
        return operation;
    };
    static const wchar_t* const presets[39] = {L"KODAKPLUSX125",
                                               L"AGFAAPX100",
                                               L"KODAKPANATOMX",
                                               L"POLAPAN",
                                               L"PRINT100",
                                               L"AGFAOPTIMA",
                                               L"EPPHIGHCONTRASTCYAN",
                                               L"EPPHIGHCONTRASTBLUE",
                                               L"FUJIPROVIA100F",
                                               L"FUJISENSIA",
                                               L"KODAKE100S",
                                               L"OWNVIOLET",
                                               L"LOMOAGFA",
                                               L"LOMOFUJI",
                                               L"LOMOKONICA",
                                               L"TECHNICOLORPROCESS2STRIP",
                                               L"HELGA",
                                               L"TEJAS",
                                               L"KAIMAL",
                                               L"ALFRED",
                                               L"LUCIFER",
                                               L"VIOLET",
                                               L"JIMMY",
                                               L"LORDKELVIN",
                                               L"XPROII",
                                               L"SUTRO",
                                               L"LOMOFI",
                                               L"APOLLO",
                                               L"EARLYBIRD",
                                               L"TOASTER",
                                               L"POPROCKET",
                                               L"YR1977",
                                               L"POLAROID",
                                               L"POLA600",
                                               L"VIGNCROSSED",
                                               L"CYANSPOT",
                                               L"WARMGREEN",
                                               L"HOLGASEPIA",
                                               L"SEPIA"};
    engine_share share{};
    share.construction_ms = median_ms(3, [&] {
        com_ptr<zorvane::IImage> scaled;
        check(root->create_scaled_copy(source.get(), 64, VARIANT_TRUE, 0, scaled.put()),
              "create_scaled_copy");
        com_ptr<zorvane::IImage> square;
        check(root->create_image(64, 64, zorvane::pixel_format::bgra32, square.put()), "create_image");
        check(node(L"convert", L"to", L"BGRA32")->run(scaled.get(), 0, square.get(), 0, nullptr), "convert");
        for (int i = 0; i != 39; ++i)
            check(node(presets[i], i < 4 ? nullptr : L"intensity", L"1.000000")
                      ->apply_in_place(square.get(), 0, nullptr),
                  "apply_in_place");
    });
    // With a selection the host entry has the engine make two images of the whole picture.
    share.before_dialog_ms = !masked ? 0.0 : median_ms(3, [&] {
        for (int i = 0; i != 2; ++i) {
            com_ptr<zorvane::IImage> copy;
            check(root->create_image(image_width, image_height, zorvane::pixel_format::rgba32, copy.put()),
                  "create_image");
        }
    });
    return share;
}

int run_scenario(bool masked) {
    if (FAILED(OleInitialize(nullptr)))
        throw std::runtime_error("OLE does not start");
    const std::wstring proxy = prepare_modules();
    prepare_settings();

    filter_host::image document = make_photo();
    const std::uint64_t before = checksum(document);
    const filter_host::selection selection = masked ? make_selection() : filter_host::selection{};

    filter_host::plugin_module module(proxy);
    const auto stamp = reinterpret_cast<std::int64_t (*)(int, int)>(
        reinterpret_cast<void*>(GetProcAddress(module.handle(), "TimingProxyStamp")));
    const HHOOK created = SetWindowsHookExW(WH_CBT, &on_created, nullptr, GetCurrentThreadId());
    const HHOOK sent = SetWindowsHookExW(WH_CALLWNDPROC, &on_sent, nullptr, GetCurrentThreadId());
    const HHOOK posted = SetWindowsHookExW(WH_GETMESSAGE, &on_posted, nullptr, GetCurrentThreadId());
    filter_host::dialog_options dialog;
    dialog.apply_when_ready = true;
    const std::chrono::minutes patient(20);
    dialog.limits = {patient, patient, patient, patient};
    const filter_host::run_report report =
        filter_host::run_filter(module, document, masked ? &selection : nullptr, {nullptr, true}, dialog);
    UnhookWindowsHookEx(created);
    UnhookWindowsHookEx(sent);
    UnhookWindowsHookEx(posted);

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);

    if (!report.applied || report.result != 0 || moments.created == 0 || moments.shown == 0 ||
        moments.apply_received == 0 || moments.gone == 0 || stamp == nullptr) {
        std::fprintf(stderr, "e2e: the run did not apply (result %d%s%s)\n", report.result,
                     report.dialog.gave_up.empty() ? "" : ", ", report.dialog.gave_up.c_str());
        return 1;
    }
    if (checksum(document) == before)
        std::fprintf(stderr, "e2e: warning: the document did not change\n");

    // The reference: one memcpy of the image, after the run so that it adds nothing to its peak.
    const double copy_ms = [] {
        std::vector<std::uint8_t> from(image_bytes, 1), to(image_bytes, 2);
        return median_ms(7, [&] {
            std::memcpy(to.data(), from.data(), image_bytes);
            asm volatile("" : : "g"(to.data()) : "memory");
        });
    }();
    // The engine's speed hardly depends on the pixels: the processed picture stands in for the original,
    // so that the benchmark keeps no copy of it that would add to the peak.
    const engine_share engine = replay_engine_work(document, masked);
    // One line for the parent.
    std::printf("%.3f %.3f %.3f %.3f %.3f %.3f %.4f %.0f\n", counter_ms(moments.created - stamp(4, 0)),
                engine.before_dialog_ms, counter_ms(moments.shown - moments.created), engine.construction_ms,
                counter_ms(moments.gone - moments.apply_received), counter_ms(stamp(4, 1) - moments.gone),
                copy_ms, static_cast<double>(memory.PeakWorkingSetSize));
    std::fflush(stdout);
    OleUninitialize();
    return 0;
}

struct figures {
    double entry_ms, entry_engine_ms, construction_ms, construction_engine_ms, teardown_ms, write_back_ms,
        copy_ms, peak_bytes;
    double until_shown() const {
        return entry_ms - entry_engine_ms + construction_ms - construction_engine_ms;
    }
    double apply() const { return teardown_ms + write_back_ms; }
};

// Runs one scenario in a process of its own and reads its line.
figures run_child(const std::wstring& scenario) {
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(program) + L"\" " + scenario;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 0))
        throw std::runtime_error("no pipe for the scenario's process");
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(program, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &process);
    CloseHandle(write_end);
    if (!started) {
        CloseHandle(read_end);
        throw std::runtime_error("the scenario's process does not start");
    }
    std::string output;
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got != 0)
        output.append(buffer, got);
    CloseHandle(read_end);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    figures f{};
    if (code != 0 || std::sscanf(output.c_str(), "%lf %lf %lf %lf %lf %lf %lf %lf", &f.entry_ms,
                                 &f.entry_engine_ms, &f.construction_ms, &f.construction_engine_ms,
                                 &f.teardown_ms, &f.write_back_ms, &f.copy_ms, &f.peak_bytes) != 8)
        throw std::runtime_error("a scenario failed");
    return f;
}

template <class Figure> double median_of(const std::vector<figures>& runs, Figure figure) {
    std::vector<double> values;
    for (const figures& f : runs)
        values.push_back(figure(f));
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void print_ratio(const std::string& name, double ours_ms, double reference_ms) {
    std::printf("%-50s ours=%7.1fms reference=%5.2fms ratio=%.2f\n", name.c_str(), ours_ms, reference_ms,
                ours_ms / reference_ms);
    std::fflush(stdout);
}

void report_kind(bool masked) {
    const std::string label = masked ? ", selection" : ", no selection";
    std::vector<figures> runs;
    for (int i = 0; i != runs_per_kind; ++i)
        runs.push_back(run_child(masked ? L"masked" : L"plain"));
    const double copy_ms = median_of(runs, [](const figures& f) { return f.copy_ms; });
    std::printf(
        "e2e%s: until shown %.0f ms, the engine's share %.0f ms; Apply %.0f ms\n", label.c_str(),
        median_of(runs, [](const figures& f) { return f.entry_ms + f.construction_ms; }),
        median_of(runs, [](const figures& f) { return f.entry_engine_ms + f.construction_engine_ms; }),
        median_of(runs, [](const figures& f) { return f.apply(); }));
    print_ratio("(a) continue to dialog shown, less engine" + label,
                median_of(runs, [](const figures& f) { return f.until_shown(); }), copy_ms);
    print_ratio("(a)   host entry before the dialog" + label,
                median_of(runs, [](const figures& f) { return f.entry_ms - f.entry_engine_ms; }), copy_ms);
    print_ratio(
        "(a)   the dialog's construction" + label,
        median_of(runs, [](const figures& f) { return f.construction_ms - f.construction_engine_ms; }),
        copy_ms);
    print_ratio("(b) Apply to PluginMain's return" + label,
                median_of(runs, [](const figures& f) { return f.apply(); }), copy_ms);
    print_ratio("(b)   until the dialog is destroyed" + label,
                median_of(runs, [](const figures& f) { return f.teardown_ms; }), copy_ms);
    print_ratio("(b)   release and write-back after it" + label,
                median_of(runs, [](const figures& f) { return f.write_back_ms; }), copy_ms);
    double peak = 0;
    for (const figures& f : runs)
        peak = std::max(peak, f.peak_bytes);
    const double mb = 1024.0 * 1024.0;
    const double pixels = static_cast<double>(image_width) * image_height;
    // Document and working copy at 2 bytes per sample, the input and output blocks and the copy of the
    // input block at 1, and with a selection the selection and its block.
    const double host_buffers = pixels * (2 * 3 * 2 + 3 * 3 + (masked ? 2 : 0));
    std::printf("%-50s peak=%5.0fMB image=%3.0fMB ratio=%.2f\n",
                ("peak working set of the host" + label).c_str(), peak / mb,
                static_cast<double>(image_bytes) / mb, peak / static_cast<double>(image_bytes));
    std::printf("%-50s rest=%5.0fMB image=%3.0fMB ratio=%.2f\n",
                ("  less the filter host's own buffers" + label).c_str(), (peak - host_buffers) / mb,
                static_cast<double>(image_bytes) / mb,
                (peak - host_buffers) / static_cast<double>(image_bytes));
    std::fflush(stdout);
}

} // namespace

int main() {
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    const std::wstring scenario = count == 2 ? words[1] : L"";
    LocalFree(words);
    try {
        if (scenario == L"plain" || scenario == L"masked")
            return run_scenario(scenario == L"masked");
        report_kind(false);
        report_kind(true);
        return 0;
    } catch (const std::exception& failure) {
        std::printf("e2e: %s\n", failure.what());
        return 1;
    }
}
