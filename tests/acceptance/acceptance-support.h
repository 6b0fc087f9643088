// What the acceptance tests share: the built module run as a host runs it, a photo-like document, a
// user who plays the preview dialog and the about box, and the process figures a long session is
// judged by, among them a census of the GDI and USER objects the module makes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "dialog-driver.h"
#include "host/filter-host.h"

namespace acceptance {

// The built module copied into a folder of its own: its settings key, which the module makes from its
// path, is then the test's alone, starts empty (a user's first run) and goes with the copy.
class private_module {
public:
    explicit private_module(const std::wstring& name);
    private_module(const private_module&) = delete;
    private_module& operator=(const private_module&) = delete;
    ~private_module();

    filter_host::plugin_module& module() { return *module_; }
    // The settings key below the current user's root.
    const std::wstring& settings_key() const noexcept { return settings_key_; }

private:
    std::wstring folder_;
    std::wstring path_;
    std::optional<filter_host::plugin_module> module_;
    std::wstring settings_key_;
};

// A picture like a photo: smooth light, a few objects with sharp edges, fine noise.
filter_host::image make_photo(std::int32_t width, std::int32_t height, std::int16_t planes,
                              std::int32_t depth);
// An elliptic selection over the middle with a soft edge.
filter_host::selection make_selection(std::int32_t width, std::int32_t height);

// Steps of a user in the preview dialog (test_support::dialog_script). Coordinates are the dialog's
// client coordinates.
namespace user {
using step = test_support::dialog_script::step;
// The controls panel (dialog 130) inside the preview dialog.
HWND panel_of(HWND dialog);
// Drags a slider of the panel to a value and lets go, as the mouse does.
step move_slider(int id, int value);
// Clicks a button or check box of the panel.
step click_panel(int id);
// Switches a stage on and unfolds its panel, where they are not already.
step ensure_stage_open(int check_id, int arrow_id);
// A command of the dialog: a key of its accelerator table or a menu item.
step command(int id);
// The left button pressed at from, moved to to, released there.
step drag(POINT from, POINT to, WPARAM keys = 0);
// One notch of the wheel at a point, away from the user (1) or towards (-1).
step wheel(POINT at, int notches);
// A click of the left button at a point.
step click(POINT at);
// Waits for a popup menu of the dialog to open, then presses a key in it (the menu reads the keys posted
// to its owner).
step menu_key(WPARAM key);
// Waits for the about box that a command opened over the dialog, and closes it with a click.
step close_about_box();
// Reads the text of a control of the panel into text, once the messages posted before it have run.
step read_panel_text(int id, std::wstring& text);
} // namespace user

// Shows the about box through the module and closes it as a person would once it is up: a click, or
// Escape. Returns what the box showed; shown stays false when it never appeared, closed when it had to
// be ended after 30 seconds.
struct about_seen {
    bool shown = false;
    bool closed = true;
    std::wstring heading;
    std::wstring plugin_version;
    std::wstring engine_version;
    HBITMAP logo = nullptr; // the handles the box showed, for a look after it has gone
    SIZE logo_size{};
    HFONT heading_font = nullptr;
};
about_seen show_and_close_about(filter_host::plugin_module& module, bool by_escape);

// The GDI and USER objects the module makes through its imports, recorded while the census lives
// (GetGuiResources answers 0 under Wine), each checked for life when the census is taken. A handle found
// dead, or deleted by the module, is forgotten: the system may hand out its value again for an object
// that is not the module's.
class object_census {
public:
    // Redirects the module's imports of the functions that make objects to the census.
    explicit object_census(HMODULE module);
    object_census(const object_census&) = delete;
    object_census& operator=(const object_census&) = delete;
    // Puts the module's imports back.
    ~object_census();

    struct counts {
        std::size_t gdi_made = 0; // since the census began
        std::size_t user_made = 0;
        std::size_t gdi_alive = 0; // of those, alive now
        std::size_t user_alive = 0;
    };
    counts take() const;
    // What the GDI objects still alive are (kind, size of a bitmap, where the module made it), and where
    // the module asked for a deletion that failed.
    std::vector<std::string> gdi_survivors() const;

private:
    HMODULE module_;
    std::vector<std::pair<void**, void*>> patched_; // import slot, the function it held
};

// Figures of the whole process.
struct process_figures {
    std::uint32_t handles = 0;
    std::uint32_t threads = 0;
    std::int32_t engine_objects = 0; // the stand-in engine's live objects; 0 while it is not loaded
    std::size_t private_bytes = 0;
};
process_figures measure_process();

} // namespace acceptance
