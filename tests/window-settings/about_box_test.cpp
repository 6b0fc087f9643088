// The about box's versions: the file version of a file into one of its controls. (The box itself, shown
// by the module's about selector, is the acceptance tests'.)
#include "plugin/about-box.h"

#include <string>

#include <gtest/gtest.h>

#include "plugin/image-processor.h"
#include "resource.h"

namespace {

std::wstring text_of(HWND window) {
    wchar_t text[256] = {};
    return {text, static_cast<std::size_t>(GetWindowTextW(window, text, 256))};
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
