// The dialog's controls after its size changes, read from the screen as a person sees them: the built
// module run by the filter host, the dialog resized as the size grip, the caption's buttons and the
// window-size keys do it. What a control shows must be what it paints when the whole dialog is repainted
// on purpose; a control that was moved but never asked to paint shows black, blank or what was there
// before.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/filter-host.h"
#include "main-window-world.h"
#include "plugin/host-entry.h"

namespace {

// What one area of the dialog shows on the screen.
struct reading {
    std::string area;
    filter_host::image shown;
};

RECT window_rect(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return r;
}

// The areas read after each change: the controls below the panel one by one, and the whole controls
// column from the client's top to the status bar, which shows anything of the old layout left in it.
std::vector<reading> read_areas(HWND dialog) {
    std::vector<reading> readings;
    const auto add = [&](const char* name, const RECT& r) {
        readings.push_back({name, filter_host::read_screen(r)});
    };
    for (const auto& [name, id] :
         {std::pair{"Apply", IDC_APPLY}, std::pair{"Cancel", IDC_CANCEL},
          std::pair{"the progress bar", IDC_PROGRESS}, std::pair{"the image dimensions", IDC_STATIC},
          std::pair{"the image information", IDC_DYNAMIC}})
        add(name, window_rect(GetDlgItem(dialog, id)));
    RECT client{};
    GetClientRect(dialog, &client);
    MapWindowPoints(dialog, nullptr, reinterpret_cast<POINT*>(&client), 2);
    const RECT progress = window_rect(GetDlgItem(dialog, IDC_PROGRESS));
    const RECT status = window_rect(GetDlgItem(dialog, ID_STATUS));
    add("the controls column", {progress.left, client.top, client.right, status.top});
    return readings;
}

bool same(const std::vector<reading>& a, const std::vector<reading>& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i != a.size(); ++i)
        if (a[i].shown.width != b[i].shown.width || a[i].shown.samples != b[i].shown.samples)
            return false;
    return true;
}

// How many pixels of two readings of one area differ; all of them when the area's size differs.
std::size_t differing_pixels(const filter_host::image& a, const filter_host::image& b) {
    if (a.width != b.width || a.height != b.height)
        return static_cast<std::size_t>(a.width) * a.height;
    std::size_t n = 0;
    for (std::int32_t y = 0; y != a.height; ++y)
        for (std::int32_t x = 0; x != a.width; ++x)
            n += a.at(x, y, 0) != b.at(x, y, 0) || a.at(x, y, 1) != b.at(x, y, 1) ||
                 a.at(x, y, 2) != b.at(x, y, 2);
    return n;
}

// A push button as a person recognises it: mostly its face, a light colour (which one is the theme's),
// and its caption in dark pixels along the middle, away from its frame and the focus rectangle.
struct button_look {
    double face_share; // of the button's most common colour, when that is light; else 0
    int caption_pixels;
};
button_look look_of_button(const filter_host::image& b) {
    std::map<COLORREF, int> colours;
    int dark = 0;
    for (std::int32_t y = 0; y != b.height; ++y)
        for (std::int32_t x = 0; x != b.width; ++x) {
            const int r = b.at(x, y, 0), g = b.at(x, y, 1), bl = b.at(x, y, 2);
            ++colours[RGB(r, g, bl)];
            const bool middle = y >= b.height / 4 && y < b.height - b.height / 4 && x >= 6 && x < b.width - 6;
            dark += middle && r < 100 && g < 100 && bl < 100;
        }
    const auto face = std::ranges::max_element(colours, {}, &std::pair<const COLORREF, int>::second);
    const bool light =
        GetRValue(face->first) >= 200 && GetGValue(face->first) >= 200 && GetBValue(face->first) >= 200;
    return {light ? face->second / (static_cast<double>(b.width) * b.height) : 0.0, dark};
}

// A 512 by 384 photo-like RGB document: gradients and a bright block.
filter_host::image photo() {
    filter_host::image document(512, 384, 3, 8);
    for (std::int32_t y = 0; y != document.height; ++y)
        for (std::int32_t x = 0; x != document.width; ++x) {
            const bool block = x >= 200 && x < 300 && y >= 150 && y < 230;
            document.at(x, y, 0) = static_cast<std::uint16_t>(block ? 245 : (x / 2) % 256);
            document.at(x, y, 1) = static_cast<std::uint16_t>(block ? 235 : (y * 2 / 3) % 256);
            document.at(x, y, 2) = static_cast<std::uint16_t>(block ? 225 : 60 + (x + y) % 120);
        }
    return document;
}

// The dialog's size changed as the size grip changes it: one step of the grip's drag. Where the work area
// leaves no room for it the dialog is first moved back as a person would (at a larger scale the dialog
// takes more of the screen, and what lies off the screen cannot be read from it).
void resize_by(HWND dialog, int dx, int dy) {
    const RECT r = window_rect(dialog);
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int width = r.right - r.left + dx, height = r.bottom - r.top + dy;
    SetWindowPos(dialog, nullptr, std::min<int>(r.left, work.right - width),
                 std::min<int>(r.top, work.bottom - height), width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

// A key of the dialog's accelerator table, as the table turns it into a command.
void key_command(HWND dialog, int command) {
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(command, 1), 0);
}

struct size_change {
    const char* name;
    std::function<void(HWND)> make;
};

class dialog_on_screen : public ::testing::Test {
protected:
    // The built module from a folder of this test's own: its settings key is the hash of its path. The
    // scale keys rescale only a DPI-aware dialog.
    void SetUp() override {
        SetProcessDPIAware();
        CreateDirectoryW(L"repaint-runs", nullptr);
        ASSERT_TRUE(CopyFileW(L"Tessolux3.8bf", L"repaint-runs\\Tessolux3.8bf", FALSE));
        module = std::make_unique<filter_host::plugin_module>(L"repaint-runs\\Tessolux3.8bf");
        key = tessolux::instance_key(module->handle());
        test_support::delete_settings(key);
    }
    void TearDown() override {
        module.reset();
        test_support::delete_settings(key);
    }

    // For each change in turn: the change, the areas as the screen shows them once the dialog is idle,
    // then as it shows them after the whole dialog was repainted on purpose. Then Cancel.
    void run_changes(const std::vector<size_change>& changes) {
        const std::wstring done = test_support::done_text(module->handle());
        std::vector<test_support::dialog_script::step> steps{test_support::wait_until_ready(done)};
        for (const size_change& change : changes) {
            steps.push_back([&change](HWND dialog) {
                change.make(dialog);
                return true;
            });
            steps.push_back(settled(shown));
            steps.push_back([](HWND dialog) {
                RedrawWindow(dialog, nullptr, nullptr,
                             RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
                return true;
            });
            steps.push_back(settled(repainted));
        }
        steps.push_back(test_support::press(IDC_CANCEL));
        bool played = false;
        // The editor's thread, with the user's steps played from inside the dialog's loop.
        std::thread([&] {
            ASSERT_GE(OleInitialize(nullptr), 0);
            test_support::dialog_script user(std::move(steps), std::chrono::seconds(120));
            filter_host::image document = photo();
            filter_host::run_filter(*module, document, nullptr, {});
            played = user.finished() && !user.expired();
            OleUninitialize();
        }).join();
        ASSERT_TRUE(played) << "every change was made and read, and Cancel closed the dialog";
        ASSERT_EQ(shown.size(), changes.size());
        ASSERT_EQ(repainted.size(), changes.size());
    }

    // A step that waits until the screen has stopped changing over the areas (two readings on successive
    // ticks agree; the window system puts what was painted on the screen only as the thread goes on
    // taking messages), then keeps that reading. The chain ran to its end before the first change and no
    // change starts it again: Apply stays enabled and the progress bar still.
    static test_support::dialog_script::step settled(std::vector<std::vector<reading>>& into) {
        return [&into, last = std::vector<reading>{}](HWND dialog) mutable {
            if (!IsWindowEnabled(GetDlgItem(dialog, IDC_APPLY)))
                return false;
            std::vector<reading> now = read_areas(dialog);
            if (!same(now, last)) {
                last = std::move(now);
                return false;
            }
            into.push_back(std::move(now));
            last.clear();
            return true;
        };
    }

    std::unique_ptr<filter_host::plugin_module> module;
    std::wstring key;
    std::vector<std::vector<reading>> shown;
    std::vector<std::vector<reading>> repainted;
};

TEST_F(dialog_on_screen,
       after_each_size_change_the_controls_are_drawn_in_their_new_places_and_nothing_old_is_left) {
    const std::vector<size_change> changes = {
        {"enlarged with the size grip", [](HWND d) { resize_by(d, 160, 120); }},
        {"shrunk with the size grip", [](HWND d) { resize_by(d, -260, -200); }},
        {"maximised", [](HWND d) { ShowWindow(d, SW_MAXIMIZE); }},
        {"restored", [](HWND d) { ShowWindow(d, SW_RESTORE); }},
        {"F11 pressed", [](HWND d) { key_command(d, ID_MAXIMIZE); }},
        {"F11 pressed again", [](HWND d) { key_command(d, ID_MAXIMIZE); }},
        {"Ctrl+F5 pressed", [](HWND d) { key_command(d, ID_DESKTOP_INSET); }},
        {"Alt+PageUp pressed", [](HWND d) { key_command(d, ID_SCALE_UP); }},
        {"Alt+PageDown pressed", [](HWND d) { key_command(d, ID_SCALE_DOWN); }},
    };
    run_changes(changes);
    for (std::size_t c = 0; c != changes.size(); ++c)
        for (std::size_t a = 0; a != shown[c].size(); ++a) {
            const reading& on_screen = shown[c][a];
            SCOPED_TRACE(std::string(changes[c].name) + ": " + on_screen.area);
            EXPECT_EQ(differing_pixels(on_screen.shown, repainted[c][a].shown), 0u)
                << "what the screen shows is what the dialog paints when asked";
            if (on_screen.area == "Apply" || on_screen.area == "Cancel") {
                const button_look look = look_of_button(on_screen.shown);
                EXPECT_GT(look.face_share, 0.5) << "mostly the button's light face";
                EXPECT_GE(look.caption_pixels, 20) << "its caption in dark pixels";
            }
        }
}

} // namespace
