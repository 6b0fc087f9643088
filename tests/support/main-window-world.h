// The world of the main dialog's tests: the dialog built in this process, as the host entry builds it,
// over the registered stand-in engine and a generated photo, with a settings key of the test's own, run by
// the modal loop while a dialog script plays the user. Header only; the test program links the plug-in's
// code and resources, so string and dialog loads find them in the program itself.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <ole2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "dialog-driver.h"
#include "message-box-reader.h"
#include "plugin/hotkey-dialog.h"
#include "plugin/main-dialog-impl.h"
#include "resource.h"

namespace test_support {

// Where the plug-in keeps its settings, below the current user's root.
inline const std::wstring settings_root = L"Software\\Veltrin Media\\Tessolux 3 Plugin";

inline void delete_settings(const std::wstring& key) {
    RegDeleteTreeW(HKEY_CURRENT_USER, (settings_root + L"\\" + key).c_str());
}

// Writes one REG_DWORD value into the settings key (made if missing).
inline void write_setting(const std::wstring& key, const wchar_t* name, std::uint32_t value) {
    HKEY opened = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, (settings_root + L"\\" + key).c_str(), 0, nullptr, 0, KEY_WRITE,
                        nullptr, &opened, nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("the settings key cannot be made");
    RegSetValueExW(opened, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(opened);
}

// Makes a volatile key of that name below the settings root: the registry refuses to make a non-volatile
// settings key below it. The root is made first as a plain key: made along with the volatile one it would
// be volatile too, and refuse every settings key until the registry restarts.
inline void make_volatile_settings_key(const std::wstring& name) {
    HKEY made = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, settings_root.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &made,
                        nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("the settings root cannot be made");
    RegCloseKey(made);
    if (RegCreateKeyExW(HKEY_CURRENT_USER, (settings_root + L"\\" + name).c_str(), 0, nullptr,
                        REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &made, nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("the volatile key cannot be made");
    RegCloseKey(made);
}

// A REG_DWORD of the settings key; false when it is missing or of another type.
inline bool read_setting(const std::wstring& key, const wchar_t* name, std::uint32_t& value) {
    DWORD size = sizeof value;
    DWORD type = 0;
    return RegGetValueW(HKEY_CURRENT_USER, (settings_root + L"\\" + key).c_str(), name, RRF_RT_ANY, &type,
                        &value, &size) == ERROR_SUCCESS &&
           type == REG_DWORD;
}

class main_window_world : public ::testing::Test {
protected:
    // A photo-like 8-bit RGB picture: smooth gradients with a sharp bright square in the middle.
    static constexpr std::int32_t width = 96;
    static constexpr std::int32_t height = 64;

    void SetUp() override {
        ASSERT_GE(OleInitialize(nullptr), 0);
        key = std::wstring(L"test-") + std::to_wstring(GetCurrentProcessId()) + L"-" +
              std::to_wstring(++counter());
        delete_settings(key);
        engine = tessolux::create_engine_context();
        source = tessolux::create_engine_image(engine, width, height, 8, 0, 1, 2, -1);
        result = tessolux::create_engine_image(engine, width, height, 8, 0, 1, 2, -1);
        fill_photo();
    }
    void TearDown() override {
        window.reset();
        source = {};
        result = {};
        engine = {};
        delete_settings(key);
        OleUninitialize();
        // Whatever the dialog left in this thread's queue must not reach the next test.
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            if (msg.message != WM_QUIT)
                DispatchMessageW(&msg);
    }

    // Makes the world anew over an engine that reads these test hooks (name, value) as it is made.
    void remake_with(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> hooks) {
        TearDown();
        for (const auto& [name, value] : hooks)
            SetEnvironmentVariableW(name, value);
        SetUp();
        for (const auto& [name, value] : hooks)
            SetEnvironmentVariableW(name, nullptr);
    }

    // Builds the dialog as the host entry does and shows it.
    tessolux::main_window::impl& open() {
        window = std::make_unique<tessolux::main_window::impl>(engine, key, source, result, nullptr);
        ShowWindow(window->window_handle(), SW_SHOWNORMAL);
        return *window;
    }

    // Opens the dialog and runs its loop while steps play the user; true when the script ran to its end
    // within its limit. Message boxes shown meanwhile are read, closed and kept in boxes.
    bool run(std::vector<dialog_script::step> steps,
             std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        message_box_reader reader;
        dialog_script script(std::move(steps), limit);
        tessolux::main_window::impl& dialog = window ? *window : open();
        system_ui::window_base* const windows[] = {&dialog};
        system_ui::run_message_loop(windows);
        boxes = reader.boxes();
        return script.finished() && !script.expired();
    }

    // String 148: the chain has run to its end.
    static std::wstring done() { return done_text(nullptr); }
    // A step that waits for the chain to end.
    static dialog_script::step ready() { return wait_until_ready(done()); }
    // A step that runs code on the dialog's thread, inside its loop.
    static dialog_script::step act(std::function<void()> action) {
        return [action = std::move(action)](HWND) {
            action();
            return true;
        };
    }

    std::wstring key;
    tessolux::engine_context engine;
    tessolux::image_frame_ptr source;
    tessolux::image_frame_ptr result;
    std::unique_ptr<tessolux::main_window::impl> window;
    std::vector<message_box> boxes;

private:
    static int& counter() {
        static int n = 0;
        return n;
    }
    void fill_photo() {
        com_ptr<zorvane::IImageData> data;
        BYTE* bits = nullptr;
        INT32 stride = 0;
        if (FAILED(source->image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void())) ||
            FAILED(data->get_buffer(&bits, nullptr, &stride, nullptr, nullptr)))
            throw std::runtime_error("the source has no buffer");
        for (std::int32_t y = 0; y != height; ++y)
            for (std::int32_t x = 0; x != width; ++x) {
                BYTE* pixel = bits + static_cast<std::ptrdiff_t>(y) * stride + x * 3;
                const bool square = x >= 40 && x < 56 && y >= 24 && y < 40;
                pixel[0] = square ? 250 : static_cast<BYTE>(40 + x * 2);
                pixel[1] = square ? 240 : static_cast<BYTE>(30 + y * 3);
                pixel[2] = square ? 230 : static_cast<BYTE>(90 + (x + y) % 50);
            }
    }
};

} // namespace test_support
