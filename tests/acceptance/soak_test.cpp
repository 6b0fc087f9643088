// A day in one host: fifty runs of the filter over a photo in one process, ended in turn by Apply, Cancel
// and the close box, with sliders, zoom and the region tools used in between. Whatever the plug-in
// makes in a run it gives back: from the fifth run to the fiftieth nothing grows. The figures of every
// run are printed.
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <ole2.h>

#include <gtest/gtest.h>

#include "acceptance-support.h"
#include "message-box-reader.h"
#include "plugin/image-processor.h"
#include "resource.h"

namespace {

using namespace acceptance;
using test_support::dialog_script;

enum class ending { apply, cancel, close_box };

const char* name_of(ending how) {
    return how == ending::apply ? "apply" : how == ending::cancel ? "cancel" : "close";
}

struct run_figures {
    object_census::counts objects;
    process_figures process;
};

// What the user does in run n: a slider, the zoom, the focused rectangle of tilt-shift, a red-eye circle,
// a pan, the image border, each a little different from run to run; in some runs the hotkey list, the
// about box and a change of scale.
// What the tools left in the panel's texts.
struct tool_traces {
    std::wstring focus_before, focus_after, circles;
};

std::vector<dialog_script::step> user_session(int n, ending how, const std::wstring& done,
                                              tool_traces& traces) {
    const POINT centre{220, 200};
    const int shift = (n * 7) % 40;
    std::vector<dialog_script::step> steps{test_support::wait_until_ready(done)};
    // Now and then the other windows and the scale, before the changes that run the chain again: the
    // hotkey list stays open until the dialog closes, the about box is closed with a click, the scale
    // goes up a step and back.
    if (n % 5 == 0)
        steps.push_back(user::command(ID_HOTKEY_INFO));
    if (n % 5 == 2) {
        // The settings menu opens upward from the status bar; its last item is the about box.
        steps.push_back(user::command(ID_SETTINGS_MENU));
        steps.push_back(user::menu_key(VK_UP));
        steps.push_back(user::menu_key(VK_RETURN));
        steps.push_back(user::close_about_box());
    }
    if (n % 7 == 3) {
        steps.push_back(user::command(ID_SCALE_UP));
        steps.push_back(user::command(ID_SCALE_DOWN));
    }
    const std::vector<dialog_script::step> changes{
        user::move_slider(IDC_DENOISE_INTENSITY, 10 + (n * 13) % 280),
        user::command(n % 2 == 0 ? ID_ZOOM_IN : ID_ZOOM_OUT),
        user::wheel(centre, n % 2 == 0 ? 1 : -1),
        user::ensure_stage_open(IDC_TILTSHIFT_ENABLE, IDC_TILTSHIFT_EXPAND),
        user::read_panel_text(IDC_SELECT_STATS, traces.focus_before),
        user::click_panel(IDC_TILTSHIFT_SELECT),
        user::drag({120 + shift, 110}, {300 + shift, 260}),
        user::click_panel(IDC_TILTSHIFT_SELECT),
        user::read_panel_text(IDC_SELECT_STATS, traces.focus_after),
        user::ensure_stage_open(IDC_REDEYE_ENABLE, IDC_REDEYE_EXPAND),
        user::click_panel(IDC_REDEYE_DRAW),
        user::click({200 + shift, 180}),
        user::click_panel(IDC_REDEYE_DRAW),
        user::read_panel_text(IDC_REDEYE_HISTORY, traces.circles),
        user::drag({150, 150}, {170 + shift, 160}),
        user::command(ID_ZOOM_100),
        user::command(ID_CENTER_VIEW_KEY),
        user::command(ID_SHOW_BORDER),
        user::move_slider(IDC_DENOISE_INTENSITY, 25),
    };
    steps.insert(steps.end(), changes.begin(), changes.end());
    steps.push_back(test_support::wait_until_ready(done));
    switch (how) {
    case ending::apply:
        steps.push_back(test_support::press(IDC_APPLY));
        break;
    case ending::cancel:
        steps.push_back(test_support::press(IDC_CANCEL));
        break;
    case ending::close_box:
        steps.push_back(test_support::close_box());
        break;
    }
    return steps;
}

// The host keeps OLE for its whole life, and the engine's module stays loaded, so that what the engine
// holds alive can be counted between runs.
class host_session {
public:
    host_session() {
        if (FAILED(OleInitialize(nullptr)))
            throw std::runtime_error("the host has no OLE");
        wchar_t path[4096] = {};
        if (tessolux::find_engine_server_path(path))
            engine_.reset(LoadLibraryW(path));
    }
    ~host_session() {
        engine_.reset();
        OleUninitialize();
    }

private:
    struct module_release {
        void operator()(HMODULE module) const noexcept { FreeLibrary(module); }
    };
    std::unique_ptr<std::remove_pointer_t<HMODULE>, module_release> engine_;
};

TEST(soak, fifty_runs_in_one_host_leave_nothing_behind) {
    const host_session host;
    private_module copy(L"soak");
    filter_host::plugin_module& module = copy.module();
    const object_census census(module.handle());
    const std::wstring done = test_support::done_text(module.handle());
    const filter_host::image photo = make_photo(640, 427, 3, 8);
    const filter_host::selection selection = make_selection(640, 427);

    constexpr int runs = 50;
    constexpr int settled = 5; // the runs before it fill caches that stay: fonts, the engine's tables
    constexpr std::uint32_t lazy_lock_handles = 4;
    std::vector<run_figures> figures;
    std::printf(
        "run  ending  GDI made/alive  USER made/alive  handles  threads  engine objects  private KB\n");
    for (int n = 1; n <= runs; ++n) {
        const ending how = n % 3 == 1 ? ending::apply : n % 3 == 2 ? ending::cancel : ending::close_box;
        filter_host::image document = photo;
        filter_host::run_report report;
        std::vector<test_support::message_box> boxes;
        tool_traces traces;
        bool played = false;
        {
            test_support::message_box_reader reader;
            dialog_script script(user_session(n, how, done, traces), std::chrono::seconds(60));
            // Every fourth run filters a selection.
            report = filter_host::run_filter(module, document, n % 4 == 0 ? &selection : nullptr, {});
            played = script.finished() && !script.expired();
            boxes = reader.boxes();
        }
        ASSERT_TRUE(played) << "run " << n << ": the user's session did not play to its end";
        EXPECT_TRUE(boxes.empty()) << "run " << n << ": " << boxes.size() << " failure boxes";
        EXPECT_NE(traces.focus_after, traces.focus_before)
            << "run " << n << ": the focused rectangle was drawn";
        EXPECT_EQ(traces.circles.substr(0, traces.circles.find(L'\r')), L"# of circles:\t1")
            << "run " << n << ": one red-eye circle was painted";
        EXPECT_EQ(report.applied, how == ending::apply) << "run " << n;
        EXPECT_EQ(report.result, how == ending::apply ? 0 : tessolux::host::userCanceledErr) << "run " << n;

        figures.push_back({census.take(), measure_process()});
        const run_figures& f = figures.back();
        std::printf("%3d  %-6s  %6zu/%-6zu   %6zu/%-6zu   %7u  %7u  %14d  %10zu\n", n, name_of(how),
                    f.objects.gdi_made, f.objects.gdi_alive, f.objects.user_made, f.objects.user_alive,
                    f.process.handles, f.process.threads, f.process.engine_objects,
                    f.process.private_bytes / 1024);
        if (figures.size() > 1 && f.objects.gdi_alive > figures[figures.size() - 2].objects.gdi_alive)
            for (const std::string& survivor : census.gdi_survivors())
                std::printf("     alive: %s\n", survivor.c_str());
        std::fflush(stdout);
    }

    for (const std::string& survivor : census.gdi_survivors())
        std::printf("alive after the last run: %s\n", survivor.c_str());
    const run_figures& first = figures[settled - 1];
    const run_figures& last = figures.back();
    EXPECT_GT(last.objects.gdi_made, first.objects.gdi_made) << "the census saw the plug-in's objects";
    EXPECT_LE(last.objects.gdi_alive, first.objects.gdi_alive) << "GDI objects of the plug-in's left alive";
    EXPECT_LE(last.objects.user_alive, first.objects.user_alive)
        << "USER objects of the plug-in's left alive";
    // The threading runtime linked into the module makes the event or semaphore of one of its locks the
    // first time two threads meet at it, and keeps it: a few handles, once, whenever that happens. A
    // handle lost in every run would add 45.
    EXPECT_LE(last.process.handles, first.process.handles + lazy_lock_handles) << "handles";
    EXPECT_LE(last.process.threads, first.process.threads) << "threads";
    EXPECT_LE(last.process.engine_objects, first.process.engine_objects) << "engine objects";
    EXPECT_LE(static_cast<double>(last.process.private_bytes), first.process.private_bytes * 1.05)
        << "private memory";
}

} // namespace
