// The "Hotkey Info" dialog: one at a time beside the main dialog, its text made of the four hotkey
// strings, and its text box filling it at every size.
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "main-window-world.h"

namespace {

using tessolux::hotkey_dialog;

// The hotkey dialogs of this thread that still exist, by their caption.
BOOL CALLBACK collect_hotkey_window(HWND window, LPARAM list) {
    wchar_t caption[64] = {};
    GetWindowTextW(window, caption, 64);
    if (std::wstring(caption) == L"Hotkey Info")
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

std::vector<HWND> hotkey_windows() {
    std::vector<HWND> found;
    EnumThreadWindows(GetCurrentThreadId(), &collect_hotkey_window, reinterpret_cast<LPARAM>(&found));
    return found;
}

// A string of the test program's own table (it links the plug-in's resources), read in place.
std::wstring resource_string(UINT id) {
    const wchar_t* text = nullptr;
    const int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<wchar_t*>(&text), 0);
    return length > 0 ? std::wstring(text, static_cast<std::size_t>(length)) : std::wstring();
}

RECT client_rect_of(HWND control, HWND parent) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

using hotkey_info = test_support::main_window_world;

TEST_F(hotkey_info, opening_it_twice_leaves_one_dialog) {
    const struct {
        const char* road;
        bool same; // an open dialog is brought forward rather than made again
    } cases[] = {{"the hotkey command", true}, {"a new dialog in place of the old", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.road);
        HWND first = nullptr, second = nullptr;
        bool first_alive = false;
        std::vector<HWND> open;
        const auto show = [&] {
            if (c.same)
                window->on_command({}, ID_HOTKEY_INFO, 0);
            else
                window->show_hotkey_dialog();
            return window->hotkey_window->window_handle();
        };
        ASSERT_TRUE(run({ready(), act([&] { first = show(); }), act([&] { second = show(); }), act([&] {
                             first_alive = IsWindow(first) != FALSE;
                             open = hotkey_windows();
                         }),
                         test_support::press(IDC_CANCEL)}));
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(first == second, c.same);
        EXPECT_EQ(first_alive, c.same) << "the first dialog is gone when it is replaced";
        EXPECT_EQ(open, std::vector<HWND>{second});
        EXPECT_THAT(hotkey_windows(), ::testing::IsEmpty())
            << "the main dialog takes its hotkey dialog along";
        window.reset();
    }
}

class hotkey_dialog_alone : public ::testing::Test {
protected:
    void SetUp() override {
        owner.reset(CreateWindowExW(0, L"Static", L"Hotkey owner", WS_POPUP | WS_CAPTION, 0, 0, 200, 100,
                                    nullptr, nullptr, nullptr, nullptr));
        ASSERT_NE(owner.get(), nullptr);
        dialog.emplace(owner.get(), owner.get());
    }
    HWND window() const { return dialog->window_handle(); }
    HWND text_box() const { return GetDlgItem(window(), IDC_HOTKEY_TEXT); }

    cpp::unique_any<HWND, &DestroyWindow> owner;
    std::optional<hotkey_dialog> dialog;
};

TEST_F(hotkey_dialog_alone, shows_the_four_hotkey_strings_one_after_another) {
    std::wstring expected;
    for (const UINT id : {IDS_HOTKEYS_VIEW, IDS_HOTKEYS_ZOOM, IDS_HOTKEYS_TOOLS, IDS_HOTKEYS_WINDOW}) {
        const std::wstring part = resource_string(id);
        ASSERT_FALSE(part.empty()) << id;
        expected += part;
    }
    const int length = GetWindowTextLengthW(text_box());
    std::wstring shown(static_cast<std::size_t>(length) + 1, L'\0');
    shown.resize(static_cast<std::size_t>(GetWindowTextW(text_box(), shown.data(), length + 1)));
    EXPECT_EQ(shown, expected);
}

TEST_F(hotkey_dialog_alone, its_text_box_keeps_its_margins_at_every_size) {
    RECT client{};
    GetClientRect(window(), &client);
    const RECT made = client_rect_of(text_box(), window());
    const int right_margin = client.right - made.right, bottom_margin = client.bottom - made.bottom;
    ASSERT_GT(made.left, 0);
    ASSERT_GT(right_margin, 0);

    RECT frame{};
    GetWindowRect(window(), &frame);
    const struct { int grow_x, grow_y; } cases[] = {{160, 90}, {-200, -150}, {0, 240}, {30, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.grow_x << ", " << c.grow_y);
        SetWindowPos(window(), nullptr, 0, 0, frame.right - frame.left + c.grow_x,
                     frame.bottom - frame.top + c.grow_y, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        GetClientRect(window(), &client);
        const RECT now = client_rect_of(text_box(), window());
        EXPECT_EQ(now.left, made.left);
        EXPECT_EQ(now.top, made.top);
        EXPECT_EQ(now.right, client.right - right_margin);
        EXPECT_EQ(now.bottom, client.bottom - bottom_margin);
    }
}

} // namespace
