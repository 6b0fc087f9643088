// The world of the controls panel's tests: the registered stand-in engine, a 1000 x 600 picture, the panel
// in an owner window as the main window places it, callbacks that record what the panel reports, and a
// settings key of the test's own.
#pragma once

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

#include "plugin/main-controls-frame.h"
#include "resource.h"
#include "win-common.h"

using tessolux::filter_state;
using tessolux::main_window::controls_frame;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Optional;

// A change notification: the delay in milliseconds and the stage to recompute.
using change = std::pair<unsigned, filter_state>;

class controls_panel : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
        engine = tessolux::create_engine_context();
        com_ptr<zorvane::IImage> image;
        ASSERT_GE(engine.root->create_image(1000, 600, zorvane::pixel_format::bgra32, image.put()), 0);
        source = tessolux::make_image_frame(std::move(image));
        settings_key =
            L"panel-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++key_counter);
    }
    void TearDown() override {
        panel.reset();
        source = {};
        engine = {};
        RegDeleteTreeW(HKEY_CURRENT_USER, settings_path().c_str());
        CoUninitialize();
        EXPECT_THAT(failures, IsEmpty()) << "a failure inside the panel's message handling";
    }

    // The panel as the main window builds it, its effects list filled unless asked not to. A failing
    // world's change callback and back buffer throw.
    void make_panel(bool failing = false, bool fill_effects = true) {
        controls_frame::back_buffer_callback back_buffer;
        if (failing)
            back_buffer = [](HDC, unsigned, unsigned) -> std::pair<HDC, void*> {
                throw std::runtime_error("no back buffer");
            };
        panel = std::make_unique<controls_frame>(
            owner(), 0, 0, 300, 600, 1.0f,
            [this, failing](unsigned delay, filter_state stage) {
                if (failing)
                    throw std::runtime_error("change failed");
                changes.push_back({delay, stage});
            },
            [this](std::exception_ptr failure) {
                try {
                    std::rethrow_exception(failure);
                } catch (const std::exception& e) {
                    failures.emplace_back(e.what());
                }
            },
            std::move(back_buffer), [](void*) {}, engine);
        panel->source_frame = &source;
        if (fill_effects)
            panel->prepare_effects_combo(engine);
    }
    // One for the whole program, shown once: without a window manager every window that goes away costs
    // Wine a wait of its own.
    static HWND owner() {
        static const cpp::unique_any<HWND, &DestroyWindow> window(CreateWindowExW(
            0, L"Static", L"Controls panel under test", WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN, 0, 0, 600,
            700, nullptr, nullptr, nullptr, nullptr));
        ShowWindow(window.get(), SW_SHOWNOACTIVATE);
        return window.get();
    }

    HWND item(int id) const { return GetDlgItem(panel->window_handle(), id); }
    std::wstring text_of(int id) const {
        wchar_t text[512] = {};
        GetWindowTextW(item(id), text, 512);
        return text;
    }
    bool checked(int id) const { return SendMessageW(item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
    bool enabled(int id) const { return IsWindowEnabled(item(id)) != FALSE; }
    int slider(int id) const { return static_cast<int>(SendMessageW(item(id), TBM_GETPOS, 0, 0)); }
    int effect() const { return static_cast<int>(SendMessageW(item(IDC_EFFECT_COMBO), CB_GETCURSEL, 0, 0)); }

    // What a user's action sends: the control's state changes, then its notification reaches the panel.
    void click(int id) {
        const LONG kind = GetWindowLongW(item(id), GWL_STYLE) & BS_TYPEMASK;
        if (kind == BS_AUTOCHECKBOX)
            SendMessageW(item(id), BM_SETCHECK, checked(id) ? BST_UNCHECKED : BST_CHECKED, 0);
        else if (kind == BS_AUTORADIOBUTTON)
            CheckRadioButton(panel->window_handle(), IDC_GRAIN_REGULAR, IDC_GRAIN_FRACTAL, id);
        notify(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), id);
    }
    void drag(int id, int value) {
        SendMessageW(item(id), TBM_SETPOS, TRUE, value);
        notify(WM_HSCROLL, MAKEWPARAM(TB_THUMBTRACK, value), id);
    }
    void choose_effect(int index) {
        SendMessageW(item(IDC_EFFECT_COMBO), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        notify(WM_COMMAND, MAKEWPARAM(IDC_EFFECT_COMBO, CBN_SELCHANGE), IDC_EFFECT_COMBO);
    }
    void notify(UINT message, WPARAM wparam, int id) {
        SendMessageW(panel->window_handle(), message, wparam, reinterpret_cast<LPARAM>(item(id)));
    }
    // Right click on a control (0: the panel), the menu answered with a mnemonic (0: Esc) from a thread
    // timer that fires inside the menu's own loop; gives the menu's handle.
    HMENU pick(int control, wchar_t mnemonic) {
        picked = {nullptr, mnemonic};
        const UINT_PTR timer = SetTimer(nullptr, 0, 20, &answer_menu);
        SendMessageW(control != 0 ? item(control) : panel->window_handle(), WM_RBUTTONUP, 0,
                     MAKELPARAM(4, 4));
        KillTimer(nullptr, timer);
        EXPECT_NE(picked.first, nullptr);
        return picked.first;
    }
    static void CALLBACK answer_menu(HWND, UINT, UINT_PTR, DWORD) {
        const HWND popup = FindWindowW(L"#32768", nullptr);
        if (picked.first != nullptr || popup == nullptr || !IsWindowVisible(popup))
            return;
        picked.first = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
        PostMessageW(popup, picked.second != 0 ? WM_CHAR : WM_KEYDOWN,
                     picked.second != 0 ? picked.second : VK_ESCAPE, 0);
    }

    std::wstring settings_path() const {
        return L"Software\\Veltrin Media\\Tessolux 3 Plugin\\" + settings_key;
    }
    void store(const wchar_t* name, DWORD value, DWORD type = REG_DWORD) {
        ASSERT_EQ(
            RegSetKeyValueW(HKEY_CURRENT_USER, settings_path().c_str(), name, type, &value, sizeof value),
            ERROR_SUCCESS);
    }
    std::optional<int> stored(const wchar_t* name) const {
        DWORD value = 0, size = sizeof value;
        if (RegGetValueW(HKEY_CURRENT_USER, settings_path().c_str(), name, RRF_RT_REG_DWORD, nullptr, &value,
                         &size) != ERROR_SUCCESS)
            return std::nullopt;
        return static_cast<int>(value);
    }

    tessolux::engine_context engine;
    tessolux::image_frame_ptr source;
    std::unique_ptr<controls_frame> panel;
    std::vector<change> changes;
    std::vector<std::string> failures; // what the failure callback got
    std::wstring settings_key;
    static inline int key_counter = 0;
    static inline std::pair<HMENU, wchar_t> picked;
};
