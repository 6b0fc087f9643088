// A day in one host: fifty runs of the filter over a photo in one process, ended in turn by Apply, Cancel
// and the close box, with sliders, zoom and the region tools used in between. Whatever the plug-in makes
// in a run it gives back: from the fifth run to the fiftieth nothing grows. The figures of every run are
// printed.
#include <windows.h>

#include <commctrl.h>
#include <ole2.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <mutex>
#include <ranges>
#include <unordered_map>

#include <gtest/gtest.h>

#include "acceptance-support.h"
#include "dialog-driver.h"
#include "message-box-reader.h"
#include "plugin/image-processor.h"
#include "resource.h"
#include "standin-engine.h"

namespace {

using namespace acceptance;
using test_support::dialog_script;
using step = dialog_script::step;
using test_support::send_command;

// The user's hand in the preview dialog, in its client coordinates, and in its controls panel.
struct hand {
    static HWND panel_of(HWND dialog) { return FindWindowExW(dialog, nullptr, L"#32770", nullptr); }
    static void press(HWND panel, int id) {
        SendMessageW(panel, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(panel, id)));
    }
    static step click_panel(int id) {
        return [id](HWND dialog) { return press(panel_of(dialog), id), true; };
    }
    // Switches a stage on (its check box checks before it tells) and unfolds it, where not already.
    static step open_stage(int check_id, int arrow_id) {
        return [=](HWND dialog) {
            const HWND panel = panel_of(dialog);
            if (!IsDlgButtonChecked(panel, check_id))
                CheckDlgButton(panel, check_id, BST_CHECKED), press(panel, check_id);
            wchar_t arrow[4] = {};
            if (GetDlgItemTextW(panel, arrow_id, arrow, 4), std::wstring(arrow) != L"\u25b2")
                press(panel, arrow_id);
            return true;
        };
    }
    // Drags a slider of the panel and lets go.
    static step slide(int id, int value) {
        return [=](HWND dialog) {
            const HWND panel = panel_of(dialog);
            SendDlgItemMessageW(panel, id, TBM_SETPOS, TRUE, value);
            const auto slider = reinterpret_cast<LPARAM>(GetDlgItem(panel, id));
            return SendMessageW(panel, WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), slider), true;
        };
    }
    // Steps run from a timer, which comes only once no posted message waits: the text is what they left.
    static step read_panel(int id, std::wstring& text) {
        return [id, &text](HWND dialog) {
            wchar_t buffer[256] = {};
            return GetDlgItemTextW(panel_of(dialog), id, buffer, 256), text.assign(buffer), true;
        };
    }
    // The left button pressed at from and released at to; a click (from == to) has no move in between.
    static step drag(POINT from, POINT to) {
        return [=](HWND dialog) {
            PostMessageW(dialog, WM_MOUSEMOVE, 0, MAKELPARAM(from.x, from.y));
            PostMessageW(dialog, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(from.x, from.y));
            for (int i = 1; i <= 4 && (from.x != to.x || from.y != to.y); ++i)
                PostMessageW(dialog, WM_MOUSEMOVE, MK_LBUTTON,
                             MAKELPARAM(from.x + (to.x - from.x) * i / 4, from.y + (to.y - from.y) * i / 4));
            return PostMessageW(dialog, WM_LBUTTONUP, 0, MAKELPARAM(to.x, to.y)), true;
        };
    }
};

// The GDI and USER objects the module makes (GetGuiResources answers 0 under Wine), each with the test of its
// life, until known to be gone: a handle once gone may come back as another's object, not the module's.
using alive_test = bool (*)(HANDLE);
struct census_record {
    std::mutex lock;
    std::unordered_map<HANDLE, alive_test> objects;
    std::size_t gdi_made = 0, user_made = 0;
} census;

struct alive {
    static bool gdi(HANDLE h) { return GetObjectType(h) != 0; }
    static bool window(HANDLE h) { return IsWindow(static_cast<HWND>(h)) != FALSE; }
    static bool menu(HANDLE h) { return IsMenu(static_cast<HMENU>(h)) != FALSE; }
    static bool table(HANDLE h) { return CopyAcceleratorTableW(static_cast<HACCEL>(h), nullptr, 0) > 0; }
};
template <alive_test Alive> struct made {
    template <class Handle, class... Arguments> Handle operator()(Handle object, Arguments...) const {
        const std::lock_guard guard(census.lock);
        if (object != nullptr) {
            census.objects[object] = Alive;
            ++(Alive == &alive::gdi ? census.gdi_made : census.user_made);
        }
        return object;
    }
};
// An object deleted while selected into a DC lives until it is selected out (Wine): only the gone go.
struct deleted {
    BOOL operator()(BOOL done, HGDIOBJ object) const {
        const std::lock_guard guard(census.lock);
        if (GetObjectType(object) == 0)
            census.objects.erase(object);
        return done;
    }
};
// Stands in for Function in the module's imports: calls it, and hands the result and arguments to Census.
template <auto Function, class Census> struct hook_of;
template <class Result, class... Args, Result(WINAPI* Function)(Args...), class Census>
struct hook_of<Function, Census> {
    static Result WINAPI call(Args... args) { return Census{}(Function(args...), args...); }
};
template <auto Function, class Census> std::pair<const char*, void*> hook(const char* name) {
    return {name, reinterpret_cast<void*>(&hook_of<Function, Census>::call)};
}
using gdi = made<&alive::gdi>;

// Redirects the module's imports that make or delete objects to the census: for each DLL the names it
// imports (the lookup table) and the slots the calls go through (the address table).
void count_objects_of(HMODULE module) {
    const std::pair<const char*, void*> hooks[] = {
        hook<&CreateCompatibleBitmap, gdi>("CreateCompatibleBitmap"),
        hook<&CreateCompatibleDC, gdi>("CreateCompatibleDC"),
        hook<&CreateDIBSection, gdi>("CreateDIBSection"),
        hook<&CreateFontW, gdi>("CreateFontW"),
        hook<&CreatePen, gdi>("CreatePen"),
        hook<&CreateSolidBrush, gdi>("CreateSolidBrush"),
        hook<&DeleteObject, deleted>("DeleteObject"),
        hook<&DeleteDC, deleted>("DeleteDC"),
        hook<&CreateWindowExW, made<&alive::window>>("CreateWindowExW"),
        hook<&CreateDialogParamW, made<&alive::window>>("CreateDialogParamW"),
        hook<&LoadMenuW, made<&alive::menu>>("LoadMenuW"),
        hook<&LoadAcceleratorsW, made<&alive::table>>("LoadAcceleratorsW")};
    auto* const base = reinterpret_cast<BYTE*>(module);
    const auto* nt =
        reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports); dll->Name != 0; ++dll) {
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
             names->u1.AddressOfData != 0; ++names, ++slot)
            for (const auto& [name, function] : hooks)
                if (!IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) &&
                    lstrcmpA(name,
                             reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name) ==
                        0) {
                    // The address table may lie in a read-only section once the loader is done with it.
                    DWORD protection = 0;
                    VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &protection);
                    slot->u1.Function = reinterpret_cast<DWORD_PTR>(function);
                    VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
                }
    }
}

struct figures {
    std::size_t gdi_made, gdi_alive, user_made, user_alive;
    std::size_t handles = 0, threads = 0, engine_objects = 0, private_bytes = 0;
};

figures measure() {
    const std::lock_guard guard(census.lock);
    std::erase_if(census.objects, [](const auto& object) { return !object.second(object.first); });
    const std::size_t gdi_alive = std::ranges::count(census.objects | std::views::values, &alive::gdi);
    figures now{census.gdi_made, gdi_alive, census.user_made, census.objects.size() - gdi_alive};
    now.engine_objects = static_cast<std::size_t>(test_support::live_engine_objects());
    // GetProcessHandleCount answers 0 under Wine: every value a handle may have is asked after instead (the
    // system hands out the lowest free ones).
    for (std::uintptr_t value = 4; value != 0x4000; value += 4) {
        DWORD flags = 0;
        now.handles += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    }
    const cpp::unique_any<HANDLE, &CloseHandle> threads(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 thread{};
    thread.dwSize = sizeof thread;
    for (BOOL more = Thread32First(threads.get(), &thread); more; more = Thread32Next(threads.get(), &thread))
        now.threads += thread.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                         sizeof memory);
    // Wine leaves the private usage 0 and counts the process's anonymous memory as its page-file usage.
    now.private_bytes = memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage;
    return now;
}

enum class ending { apply, cancel, close_box };

// Run n: a slider, the zoom, tilt-shift's focused rectangle, a red-eye circle, a pan, the border, each a
// little different in each run; in some the hotkey list (open until the dialog closes) and a scale step.
std::vector<step> user_session(int n, ending how, const std::wstring& done, std::wstring& circles) {
    const LONG shift = (n * 7) % 40;
    std::vector<step> steps{test_support::wait_until_ready(done)};
    if (n % 5 == 0)
        steps.push_back(send_command(ID_HOTKEY_INFO));
    if (n % 7 == 3)
        steps.insert(steps.end(), {send_command(ID_SCALE_UP), send_command(ID_SCALE_DOWN)});
    steps.insert(steps.end(),
                 {hand::slide(IDC_DENOISE_INTENSITY, 10 + (n * 13) % 280),
                  send_command(n % 2 == 0 ? ID_ZOOM_IN : ID_ZOOM_OUT),
                  hand::open_stage(IDC_TILTSHIFT_ENABLE, IDC_TILTSHIFT_EXPAND),
                  hand::click_panel(IDC_TILTSHIFT_SELECT), hand::drag({120 + shift, 110}, {300 + shift, 260}),
                  hand::click_panel(IDC_TILTSHIFT_SELECT),
                  hand::open_stage(IDC_REDEYE_ENABLE, IDC_REDEYE_EXPAND), hand::click_panel(IDC_REDEYE_DRAW),
                  hand::drag({200 + shift, 180}, {200 + shift, 180}), hand::click_panel(IDC_REDEYE_DRAW),
                  hand::read_panel(IDC_REDEYE_HISTORY, circles), hand::drag({150, 150}, {170 + shift, 160}),
                  send_command(ID_ZOOM_100), send_command(ID_CENTER_VIEW_KEY), send_command(ID_SHOW_BORDER),
                  hand::slide(IDC_DENOISE_INTENSITY, 25), test_support::wait_until_ready(done),
                  how == ending::apply    ? test_support::press(IDC_APPLY)
                  : how == ending::cancel ? test_support::press(IDC_CANCEL)
                                          : test_support::close_box()});
    return steps;
}

TEST(soak, fifty_runs_in_one_host_leave_nothing_behind) {
    // The host keeps OLE for its whole life, and the engine's module stays loaded, so that what the engine
    // holds alive can be counted between runs.
    ASSERT_EQ(OleInitialize(nullptr), S_OK);
    wchar_t engine_path[4096] = {};
    ASSERT_TRUE(tessolux::find_engine_server_path(engine_path));
    const cpp::unique_any<HMODULE, &FreeLibrary> engine(LoadLibraryW(engine_path));
    private_module copy(L"soak");
    count_objects_of(copy.module().handle());
    const std::wstring done = test_support::done_text(copy.module().handle());
    const filter_host::image photo = make_photo(640, 427, 3, 8);
    const filter_host::selection selection = make_selection(640, 427);

    std::vector<figures> runs;
    const char* const endings[] = {"apply", "cancel", "close"};
    std::printf(
        "run  ending  GDI made/alive  USER made/alive  handles  threads  engine objects  private KB\n");
    for (int n = 1; n <= 50; ++n) {
        const ending how = static_cast<ending>((n - 1) % 3);
        filter_host::image document = photo;
        std::wstring circles; // what the red-eye tool's history says
        {
            const test_support::message_box_reader reader;
            const dialog_script script(user_session(n, how, done, circles), std::chrono::seconds(60));
            // Every fourth run filters a selection.
            const auto report =
                filter_host::run_filter(copy.module(), document, n % 4 == 0 ? &selection : nullptr, {});
            ASSERT_TRUE(script.finished() && !script.expired()) << "run " << n << ": the session did not end";
            EXPECT_TRUE(reader.boxes().empty()) << "run " << n << ": failure boxes";
            EXPECT_EQ(report.applied, how == ending::apply) << "run " << n;
            EXPECT_EQ(report.result, how == ending::apply ? 0 : tessolux::host::userCanceledErr)
                << "run " << n;
        }
        EXPECT_EQ(circles.substr(0, circles.find(L'\r')), L"# of circles:\t1") << "run " << n;

        const figures& f = runs.emplace_back(measure());
        std::printf("%3d  %-6s  %6zu/%-6zu   %6zu/%-6zu   %7zu  %7zu  %14zu  %10zu\n", n,
                    endings[(n - 1) % 3], f.gdi_made, f.gdi_alive, f.user_made, f.user_alive, f.handles,
                    f.threads, f.engine_objects, f.private_bytes / 1024);
        std::fflush(stdout);
    }

    // The first runs fill caches that stay: fonts, the engine's tables.
    const figures& first = runs[4];
    const figures& last = runs.back();
    EXPECT_GT(last.gdi_made, first.gdi_made) << "the census saw the plug-in's GDI objects";
    EXPECT_LE(last.gdi_alive, first.gdi_alive) << "GDI objects of the plug-in's left alive";
    EXPECT_LE(last.user_alive, first.user_alive) << "USER objects of the plug-in's left alive";
    // The threading runtime linked into the module makes the event or semaphore of one of its locks the
    // first time two threads meet at it, and keeps it: a few handles, once, whenever that happens. A handle
    // lost in every run would add 45.
    EXPECT_LE(last.handles, first.handles + 4) << "handles";
    EXPECT_LE(last.threads, first.threads) << "threads";
    EXPECT_LE(last.engine_objects, first.engine_objects) << "engine objects";
    EXPECT_LE(last.private_bytes, first.private_bytes / 20 * 21) << "private memory, within 5 %";
    OleUninitialize();
}

} // namespace
