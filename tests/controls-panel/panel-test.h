// The world of the controls panel's tests: the registered stand-in engine, a picture to work on, a test
// owner dialog with the panel in it as the main window places it, callbacks that record what the panel
// reports, and a settings key of the test's own.
#pragma once

#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>
#include <commctrl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "am-collections.h"
#include "panel-test-resource.h"
#include "plugin/main-controls-frame.h"
#include "resource.h"
#include "win-common.h"

namespace panel_test {

using tessolux::filter_state;
using tessolux::image_frame_ptr;
using tessolux::main_window::controls_frame;

// The owner dialog: a plain popup whose messages go nowhere.
class owner_window : public system_ui::window_base {
public:
    owner_window() {
        dialog_ = system_ui::create_dialog(nullptr, IDD_PANEL_OWNER, nullptr, *this);
        if (dialog_ == nullptr)
            throw std::runtime_error("the owner dialog was not created");
    }
    ~owner_window() override {
        if (dialog_ != nullptr)
            DestroyWindow(dialog_);
    }
    HWND window_handle() const override { return dialog_; }
    HACCEL accelerators() const override { return nullptr; }
    INT_PTR process_message(const system_ui::register_function&, HWND, UINT message, WPARAM,
                            LPARAM) override {
        if (message == WM_NCDESTROY)
            dialog_ = nullptr;
        return message == WM_INITDIALOG ? 1 : 0;
    }

private:
    HWND dialog_ = nullptr;
};

// A picture of size width x height with colour ramps, so thumbnails show something.
inline image_frame_ptr make_picture(const tessolux::engine_context& engine, std::int32_t width,
                                    std::int32_t height) {
    com_ptr<zorvane::IImage> image;
    if (FAILED(engine.root->create_image(width, height, zorvane::pixel_format::bgra32, image.put())))
        throw std::runtime_error("the engine made no image");
    com_ptr<zorvane::IImageData> data;
    BYTE* bits = nullptr;
    UINT32 bytes = 0;
    INT32 stride = 0;
    zorvane::pixel_format format{};
    INT32 pixels_wide = 0;
    if (FAILED(image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void())) ||
        FAILED(data->get_buffer(&bits, &bytes, &stride, &format, &pixels_wide)))
        throw std::runtime_error("an engine image without a buffer");
    for (std::int32_t y = 0; y != height; ++y)
        for (std::int32_t x = 0; x != width; ++x) {
            BYTE* const pixel = bits + static_cast<std::ptrdiff_t>(y) * stride + x * 4;
            pixel[0] = static_cast<BYTE>(255 * x / width);       // blue
            pixel[1] = static_cast<BYTE>(255 * y / height);      // green
            pixel[2] = static_cast<BYTE>(255 - 255 * x / width); // red
            pixel[3] = 255;
        }
    return tessolux::make_image_frame(std::move(image));
}

// The font the main window gives the panel: the message font's face, 16 pixels at scale 1.
inline system_ui::font_handle make_panel_font(double scale) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    return system_ui::font_handle(CreateFontW(cpp::round_to_int(16 * scale), 0, 0, 0, 0, FALSE, FALSE, FALSE,
                                              DEFAULT_CHARSET, 0, 0, CLEARTYPE_QUALITY, 0x30,
                                              metrics.lfMessageFont.lfFaceName));
}

// The main window's back buffer, as the panel borrows it for the focused-area box.
class back_buffer {
public:
    std::pair<HDC, void*> take(HDC screen, unsigned width, unsigned height) {
        if (!dc_)
            dc_.reset(CreateCompatibleDC(screen));
        if (width > width_ || height > height_) {
            bitmap_.reset(CreateCompatibleBitmap(screen, static_cast<int>(width), static_cast<int>(height)));
            width_ = width;
            height_ = height;
        }
        return {dc_.get(), SelectObject(dc_.get(), bitmap_.get())};
    }
    void give_back(void* previous) { SelectObject(dc_.get(), static_cast<HGDIOBJ>(previous)); }

private:
    system_ui::dc_handle dc_;
    system_ui::bitmap_handle bitmap_;
    unsigned width_ = 0;
    unsigned height_ = 0;
};

// One change notification.
struct change {
    unsigned delay;
    filter_state stage;
    friend bool operator==(const change&, const change&) = default;
    friend std::ostream& operator<<(std::ostream& out, const change& c) {
        return out << "(" << c.delay << " ms, stage " << static_cast<unsigned>(c.stage) << ")";
    }
};

// The panel's width for its dialog's layout: the widest column plus the scroll bar.
inline int panel_width(HWND owner, double scale) {
    RECT units{0, 0, 176, 8};
    MapDialogRect(owner, &units);
    return cpp::round_to_int(units.right * scale) + GetSystemMetrics(SM_CXVSCROLL) + 2;
}

// Answers the next context menu the thread opens by typing a mnemonic into it, from a thread timer that
// fires inside the menu's own loop. The menu's handle is kept for the test to look at.
class menu_picker {
public:
    explicit menu_picker(wchar_t mnemonic) {
        current() = this;
        mnemonic_ = mnemonic;
        timer_ = SetTimer(nullptr, 0, 20, &tick);
    }
    menu_picker(const menu_picker&) = delete;
    menu_picker& operator=(const menu_picker&) = delete;
    ~menu_picker() {
        if (timer_ != 0)
            KillTimer(nullptr, timer_);
        current() = nullptr;
    }
    HMENU menu() const { return menu_; }
    bool answered() const { return answered_; }

private:
    static menu_picker*& current() {
        static menu_picker* picker = nullptr;
        return picker;
    }
    static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
        menu_picker* const self = current();
        if (self == nullptr || self->answered_)
            return;
        const HWND popup = FindWindowW(L"#32768", nullptr);
        if (popup == nullptr || !IsWindowVisible(popup))
            return;
        self->menu_ = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
        self->answered_ = true;
        if (self->mnemonic_ == 0)
            PostMessageW(popup, WM_KEYDOWN, VK_ESCAPE, 0);
        else
            PostMessageW(popup, WM_CHAR, self->mnemonic_, 0);
    }

    wchar_t mnemonic_;
    UINT_PTR timer_ = 0;
    HMENU menu_ = nullptr;
    bool answered_ = false;
};

// The registered engine on a single-threaded apartment (the host's thread), a picture, an owner dialog and
// the panel in it at the given scale, and a settings key that the test removes again.
class panel_world : public ::testing::Test {
protected:
    static constexpr std::int32_t picture_width = 1000;
    static constexpr std::int32_t picture_height = 600;

    void SetUp() override {
        ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
        engine = tessolux::create_engine_context();
        source = make_picture(engine, picture_width, picture_height);
        owner = &shared_owner();
        settings_key = L"panel-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                       std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++key_counter);
    }

    void TearDown() override {
        panel.reset();
        source = {};
        engine = {};
        RegDeleteTreeW(HKEY_CURRENT_USER, settings_path().c_str());
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        CoUninitialize();
    }

    // The panel as the main window builds it: placed in the owner, given the source, the effects list, the
    // focused rectangle and its fonts; then the settings load.
    void make_panel(double scale = 1.0, int height = 600) {
        const HWND dialog = owner->window_handle();
        panel = std::make_unique<controls_frame>(
            dialog, 0, 0, panel_width(dialog, scale), height, static_cast<float>(scale),
            [this](unsigned delay, filter_state stage) {
                changes.push_back({delay, stage});
            },
            [this](std::exception_ptr failure) { failures.push_back(failure); },
            [this](HDC screen, unsigned width, unsigned height) {
                return buffer.take(screen, width, height);
            },
            [this](void* previous) { buffer.give_back(previous); }, engine);
        panel->source_frame = &source;
        panel->prepare_effects_combo(engine);
        panel->focused = {picture_width / 3, picture_height / 3, picture_width / 3, picture_height / 3};
        panel->update_focus_area_text();
        font = make_panel_font(scale);
        panel->set_panel_fonts(font.get(), font.get());
        // Shown, so that what the panel shows and hides is visible, and paints.
        ShowWindow(dialog, SW_SHOWNOACTIVATE);
    }

    std::wstring settings_path() const {
        return L"Software\\Veltrin Media\\Tessolux 3 Plugin\\" + settings_key;
    }

    HWND item(int id) const { return GetDlgItem(panel->window_handle(), id); }
    std::wstring text_of(int id) const {
        wchar_t text[512] = {};
        GetWindowTextW(item(id), text, 512);
        return text;
    }
    bool checked(int id) const { return SendMessageW(item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
    bool visible(int id) const { return IsWindowVisible(item(id)) != FALSE; }
    bool enabled(int id) const { return IsWindowEnabled(item(id)) != FALSE; }
    int slider(int id) const { return static_cast<int>(SendMessageW(item(id), TBM_GETPOS, 0, 0)); }
    // The control's rectangle in the panel's client coordinates.
    RECT rect_of(int id) const {
        RECT rect;
        system_ui::control_docker::get_window_rect(rect, item(id), panel->window_handle());
        return rect;
    }
    SCROLLINFO scroll_info() const {
        SCROLLINFO info{};
        info.cbSize = sizeof info;
        info.fMask = SIF_ALL;
        GetScrollInfo(panel->window_handle(), SB_VERT, &info);
        return info;
    }

    // What a user's action sends: the control's notification to the panel.
    void click(int id) {
        const HWND button = item(id);
        const LONG style = GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK;
        if (style == BS_AUTOCHECKBOX)
            SendMessageW(button, BM_SETCHECK, checked(id) ? BST_UNCHECKED : BST_CHECKED, 0);
        else if (style == BS_AUTORADIOBUTTON)
            CheckRadioButton(panel->window_handle(), IDC_GRAIN_REGULAR, IDC_GRAIN_FRACTAL, id);
        SendMessageW(panel->window_handle(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(button));
    }
    // A slider dragged to value by the user.
    void drag(int id, int value) {
        SendMessageW(item(id), TBM_SETPOS, TRUE, value);
        SendMessageW(panel->window_handle(), WM_HSCROLL, MAKEWPARAM(TB_THUMBTRACK, value),
                     reinterpret_cast<LPARAM>(item(id)));
    }
    // What a control gets when the focus comes to it (by Tab, a click or a mnemonic). Sent directly: where
    // the focus really goes also depends on the window manager's activation, which is not the panel's.
    void focus(int id) { SendMessageW(item(id), WM_SETFOCUS, 0, 0); }
    void choose_effect(int index) {
        SendMessageW(item(IDC_EFFECT_COMBO), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        SendMessageW(panel->window_handle(), WM_COMMAND, MAKEWPARAM(IDC_EFFECT_COMBO, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(item(IDC_EFFECT_COMBO)));
    }

    // Registry values of the test's settings key.
    void store(const wchar_t* name, DWORD value, DWORD type = REG_DWORD) {
        ASSERT_EQ(
            RegSetKeyValueW(HKEY_CURRENT_USER, settings_path().c_str(), name, type, &value, sizeof value),
            ERROR_SUCCESS);
    }
    std::optional<DWORD> stored(const wchar_t* name) const {
        DWORD value = 0;
        DWORD size = sizeof value;
        if (RegGetValueW(HKEY_CURRENT_USER, settings_path().c_str(), name, RRF_RT_REG_DWORD, nullptr, &value,
                         &size) != ERROR_SUCCESS)
            return std::nullopt;
        return value;
    }

    tessolux::engine_context engine;
    image_frame_ptr source;
    owner_window* owner = nullptr;
    std::unique_ptr<controls_frame> panel;
    std::vector<change> changes;
    std::vector<std::exception_ptr> failures;
    back_buffer buffer;
    system_ui::font_handle font;
    std::wstring settings_key;

private:
    // One owner for the whole program, shown once: without a window manager a shown window that goes away
    // costs Wine a wait of its own, which every test would pay again.
    static owner_window& shared_owner() {
        static owner_window window;
        return window;
    }

    static inline int key_counter = 0;
};

} // namespace panel_test
