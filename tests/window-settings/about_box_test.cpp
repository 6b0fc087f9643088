// The about box's versions: the file version of a file into one of its controls. (The box itself, shown
// by the module's about selector, is the acceptance tests'.)
#include "plugin/about-box.h"

#include <gtest/gtest.h>

#include "plugin/image-processor.h"
#include "resource.h"
#include "win-common.h"

namespace {

TEST(about_box, a_file_version_is_shown_whatever_error_came_before_and_a_file_without_one_changes_nothing) {
    const cpp::unique_any<HWND, &DestroyWindow> parent{
        CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr)};
    const HWND control = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 90, 20, parent.get(),
                                         reinterpret_cast<HMENU>(IDC_ABOUT_ENGINE_VERSION), nullptr, nullptr);
    wchar_t engine[4096] = {}, self[MAX_PATH] = {}, plain[MAX_PATH] = {};
    ASSERT_TRUE(tessolux::find_engine_server_path(engine));
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    GetWindowsDirectoryW(plain, MAX_PATH);
    wcscat_s(plain, L"\\win.ini"); // a plain text file, with no version resource
    const struct {
        const wchar_t* path;
        bool shown;
        const wchar_t* text;
    } rows[] = {{engine, true, L"2.0.0.1"},
                {self, true, L"3.0.1.0"},
                {plain, false, L"-.-.-.-"},
                {L"C:\\no\\such\\file.dll", false, L"-.-.-.-"}};
    for (const auto& r : rows) {
        SetWindowTextW(control, L"-.-.-.-");
        SetLastError(ERROR_ACCESS_DENIED); // what failed before the call is not the call's failure
        EXPECT_EQ(tessolux::show_file_version(parent.get(), r.path, IDC_ABOUT_ENGINE_VERSION), r.shown);
        wchar_t text[64] = {};
        GetWindowTextW(control, text, 64);
        EXPECT_STREQ(text, r.text);
    }
}

} // namespace
