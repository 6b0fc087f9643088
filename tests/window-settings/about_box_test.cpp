// The about box: what it shows, how it closes and what it leaves behind, shown by the built module's
// about selector on threads of every COM state a host may call it on.
#include "plugin/about-box.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include <objbase.h>
#include <ole2.h>

#include <gtest/gtest.h>

#include "host/filter-host.h"
#include "plugin/image-processor.h"
#include "resource.h"

namespace {

std::wstring text_of(HWND window) {
    wchar_t text[256] = {};
    return {text, static_cast<std::size_t>(GetWindowTextW(window, text, 256))};
}

// What the user saw of the box, read from a thread timer inside its modal loop, which then closes it.
struct about_visit {
    enum class closing { click, escape } how = closing::click;
    bool seen = false;
    bool expired = false;
    HBITMAP logo = nullptr;
    BITMAP logo_size{};
    HFONT heading_font = nullptr;
    std::wstring heading, plugin_version, engine_version;
    std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(30);
};

thread_local about_visit* visit = nullptr;

BOOL CALLBACK find_about_box(HWND window, LPARAM found) {
    wchar_t kind[16];
    if (GetClassNameW(window, kind, 16) != 0 && std::wstring(kind) == L"#32770" &&
        GetDlgItem(window, IDC_ABOUT_LOGO) != nullptr) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

void CALLBACK look_at_about_box(HWND, UINT, UINT_PTR, DWORD) {
    HWND box = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &find_about_box, reinterpret_cast<LPARAM>(&box));
    if (box == nullptr || visit == nullptr)
        return;
    if (std::chrono::steady_clock::now() > visit->deadline) {
        visit->expired = true;
        EndDialog(box, 0);
        return;
    }
    if (visit->seen)
        return; // the close is on its way
    visit->seen = true;
    visit->logo =
        reinterpret_cast<HBITMAP>(SendDlgItemMessageW(box, IDC_ABOUT_LOGO, STM_GETIMAGE, IMAGE_BITMAP, 0));
    GetObjectW(visit->logo, sizeof visit->logo_size, &visit->logo_size);
    visit->heading_font =
        reinterpret_cast<HFONT>(SendDlgItemMessageW(box, IDC_ABOUT_HEADING, WM_GETFONT, 0, 0));
    visit->heading = text_of(GetDlgItem(box, IDC_ABOUT_HEADING));
    visit->plugin_version = text_of(GetDlgItem(box, IDC_ABOUT_PLUGIN_VERSION));
    visit->engine_version = text_of(GetDlgItem(box, IDC_ABOUT_ENGINE_VERSION));
    if (visit->how == about_visit::closing::click) {
        // A click on the box's background, below the logo.
        PostMessageW(box, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(20, 230));
        PostMessageW(box, WM_LBUTTONUP, 0, MAKELPARAM(20, 230));
    } else {
        // The key goes where the keyboard focus is, as a person's would.
        const HWND focus = GetFocus();
        PostMessageW(focus != nullptr ? focus : box, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    }
}

enum class apartment { none, single_threaded, multithreaded };

const char* name_of(apartment kind) {
    return kind == apartment::none              ? "no COM"
           : kind == apartment::single_threaded ? "OLE"
                                                : "multithreaded COM";
}

TEST(about_box, the_about_selector_shows_logo_and_versions_on_any_thread_and_leaves_nothing_behind) {
    filter_host::plugin_module module{L"Tessolux3.8bf"};
    for (const apartment kind : {apartment::none, apartment::single_threaded, apartment::multithreaded})
        for (const about_visit::closing how : {about_visit::closing::click, about_visit::closing::escape}) {
            about_visit seen;
            seen.how = how;
            HRESULT after = E_FAIL;
            std::thread([&] {
                if (kind == apartment::single_threaded) {
                    ASSERT_EQ(OleInitialize(nullptr), S_OK);
                }
                if (kind == apartment::multithreaded) {
                    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
                }
                visit = &seen;
                const UINT_PTR timer = SetTimer(nullptr, 0, 20, &look_at_about_box);
                // The host's about call: no record of a run, and a result word it preset.
                tessolux::host::FilterRecord blank{};
                std::int16_t result = 5;
                module.call(tessolux::host::filterSelectorAbout, &blank, &result);
                EXPECT_EQ(result, 5);
                KillTimer(nullptr, timer);
                visit = nullptr;
                // The thread's COM is as the host left it: the box's own apartment is gone.
                after = CoInitializeEx(nullptr, kind == apartment::multithreaded ? COINIT_APARTMENTTHREADED
                                                                                 : COINIT_MULTITHREADED);
                if (SUCCEEDED(after))
                    CoUninitialize();
                if (kind == apartment::single_threaded)
                    OleUninitialize();
                if (kind == apartment::multithreaded)
                    CoUninitialize();
            }).join();
            const std::string road =
                std::string(name_of(kind)) + (how == about_visit::closing::click ? ", click" : ", Escape");
            ASSERT_TRUE(seen.seen) << road;
            EXPECT_FALSE(seen.expired) << road << ": the box did not close";
            EXPECT_EQ(seen.heading, L"Tessolux 3 Plugin") << road;
            EXPECT_EQ(seen.plugin_version, L"3.0.1.0") << road;
            EXPECT_EQ(seen.engine_version, L"2.0.0.1") << road;
            EXPECT_EQ(seen.logo_size.bmWidth, 128) << road;
            EXPECT_EQ(seen.logo_size.bmHeight, 128) << road;
            EXPECT_EQ(GetObjectType(seen.logo), 0u) << road << ": the logo is deleted";
            ASSERT_NE(seen.heading_font, nullptr) << road;
            EXPECT_EQ(GetObjectType(seen.heading_font), 0u) << road << ": the heading font is deleted";
            EXPECT_EQ(after, kind == apartment::none ? S_OK : RPC_E_CHANGED_MODE) << road;
        }
}

// A control to write into, in a window of its own.
class version_control : public ::testing::Test {
protected:
    void SetUp() override {
        parent =
            CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(parent, nullptr);
        CreateWindowExW(0, L"STATIC", L"-.-.-.-", WS_CHILD, 0, 0, 90, 20, parent,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_ABOUT_ENGINE_VERSION)), nullptr,
                        nullptr);
    }
    void TearDown() override { DestroyWindow(parent); }
    HWND parent = nullptr;
};

TEST_F(version_control,
       a_file_version_is_shown_whatever_error_came_before_and_a_file_without_one_changes_nothing) {
    wchar_t engine[4096] = {};
    ASSERT_TRUE(tessolux::find_engine_server_path(engine));
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    // A file with no version resource: a plain text file of our own.
    wchar_t plain[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, plain);
    wcscat_s(plain, L"about-box-plain.txt");
    const HANDLE file =
        CreateFileW(plain, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, "no version here", 15, &written, nullptr);
    CloseHandle(file);

    struct row {
        const wchar_t* path;
        bool shown;
        const wchar_t* text;
    };
    const row rows[] = {{engine, true, L"2.0.0.1"},
                        {self, true, L"3.0.1.0"},
                        {plain, false, L"-.-.-.-"},
                        {L"C:\\no\\such\\file.dll", false, L"-.-.-.-"}};
    for (const row& r : rows) {
        SetWindowTextW(GetDlgItem(parent, IDC_ABOUT_ENGINE_VERSION), L"-.-.-.-");
        // What failed before the call is not the call's failure.
        SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_EQ(tessolux::show_file_version(parent, r.path, IDC_ABOUT_ENGINE_VERSION), r.shown);
        EXPECT_EQ(text_of(GetDlgItem(parent, IDC_ABOUT_ENGINE_VERSION)), r.text);
    }
    DeleteFileW(plain);
}

} // namespace
