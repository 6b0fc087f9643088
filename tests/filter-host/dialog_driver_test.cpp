// The filter host in the filter's dialog: the probe filter's stand-in preview dialog (probe-filter.h)
// driven through the host's own code, and the host program's exit codes around it.
#include "am-handle.h"
#include "host/filter-host.h"
#include "host/image-file.h"
#include "probe-filter.h"
#include "resources/resource.h"

#include <array>
#include <filesystem>
#include <string>

#include <objbase.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

using namespace filter_host;
namespace fs = std::filesystem;
using handle = cpp::unique_any<HANDLE, &CloseHandle>;

image gray_document() {
    image document(16, 12, 1, 8);
    for (std::size_t i = 0; i != document.samples.size(); ++i)
        document.samples[i] = static_cast<std::uint16_t>(i * 5 % 251 + 1); // never 7 or 13 first
    return document;
}

fs::path temp_file(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const fs::path path = fs::path(folder) / name;
    fs::remove(path);
    return path;
}

// Apply pressed by the host, a screenshot when a path is given, and the ready wait bounded as given.
dialog_options applying(const fs::path& screenshot = {},
                        std::chrono::milliseconds ready = dialog_limits{}.ready) {
    dialog_options options;
    options.apply_when_ready = true;
    options.screenshot = screenshot.wstring();
    options.limits.ready = ready;
    return options;
}

// One run of the probe with its dialog in the given mode, on this thread, as the host program has it.
class probe_dialog : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0); }
    void TearDown() override {
        SetEnvironmentVariableW(L"PROBE_DIALOG", nullptr); // the other tests run the probe without it
        CoUninitialize();
    }

    run_report run(const wchar_t* mode, const dialog_options& dialog) {
        SetEnvironmentVariableW(L"PROBE_DIALOG", mode);
        return run_filter(probe, document, nullptr, {}, dialog);
    }
    const probe_dialog_record& record() const {
        auto* read = reinterpret_cast<probe_dialog_record_function*>(
            reinterpret_cast<void*>(GetProcAddress(probe.handle(), "ProbeDialogRecord")));
        return *read();
    }

    plugin_module probe{L"probe-filter.8bf"};
    image document = gray_document();
    const image source = document;
};

// The probe shows its ready text a step before it enables Apply: a press on the text alone, or on
// neither, shows in what the dialog held when Apply arrived.
TEST_F(probe_dialog, apply_is_pressed_once_the_summary_reads_ready_and_apply_is_enabled) {
    const run_report report = run(L"ready", applying());
    EXPECT_EQ(record().ended_by, IDC_APPLY);
    EXPECT_TRUE(record().ready_text_at_end);
    EXPECT_TRUE(record().apply_enabled_at_end);
    EXPECT_EQ(record().result, 0);
    EXPECT_TRUE(report.dialog.applied);
    EXPECT_THAT(report.dialog.gave_up, IsEmpty());
    ASSERT_TRUE(report.applied);
    for (std::size_t i = 0; i != source.samples.size(); ++i)
        ASSERT_EQ(document.samples[i], 255 - source.samples[i]) << i;
}

// The probe's last render turns its background from red to green after Apply is enabled; the
// screenshot waits for the screen to settle, so it shows green.
TEST_F(probe_dialog, the_screenshot_is_the_settled_dialog_at_its_size) {
    const fs::path shot = temp_file(L"probe-dialog.png");
    const run_report report = run(L"ready", applying(shot));
    EXPECT_TRUE(report.dialog.screenshot_written);
    EXPECT_EQ(record().ended_by, IDC_APPLY);
    EXPECT_TRUE(report.applied);
    ASSERT_TRUE(fs::exists(shot));
    const image picture = read_image(shot.wstring());
    EXPECT_EQ(picture.width, record().width);
    EXPECT_EQ(picture.height, record().height);
    const std::int32_t x = picture.width / 4, y = picture.height / 2; // background, clear of the controls
    EXPECT_EQ((std::array{picture.at(x, y, 0), picture.at(x, y, 1), picture.at(x, y, 2)}),
              (std::array<std::uint16_t, 3>{0, 255, 0}));
    fs::remove(shot);
}

TEST_F(probe_dialog, a_dialog_that_never_gets_ready_or_a_message_box_is_closed_and_said_so) {
    struct row {
        const wchar_t* mode;
        const char* said;
        std::size_t boxes;
        int ended_by;
    };
    for (const row& expected :
         {row{L"never", "waited for the preview to become ready (1 s)", 0, probe_closed},
          row{L"message", "the filter showed a message instead", 1, 0}}) {
        SCOPED_TRACE(fs::path(expected.mode).string());
        const run_report report = run(expected.mode, applying({}, std::chrono::seconds(1)));
        EXPECT_THAT(report.dialog.gave_up, HasSubstr(expected.said));
        EXPECT_EQ(report.dialog.messages.size(), expected.boxes);
        if (expected.boxes != 0) {
            EXPECT_THAT(report.dialog.messages[0], HasSubstr("The probe cannot go on."));
        }
        EXPECT_FALSE(report.dialog.applied);
        EXPECT_EQ(record().ended_by, expected.ended_by);
        EXPECT_EQ(report.result, tessolux::host::userCanceledErr);
        EXPECT_FALSE(report.applied);
        EXPECT_EQ(document.samples, source.samples);
    }
}

// The host program itself: its options, and its exit codes for a run applied and for runs given up, also
// when the filter stops answering altogether.
TEST_F(probe_dialog, the_host_program_exits_applied_or_with_its_own_code_when_it_gives_up) {
    struct row {
        const wchar_t* mode;
        const wchar_t* options;
        DWORD exit_code;
        bool written;
    };
    const fs::path input = temp_file(L"probe-input.png");
    const fs::path output = temp_file(L"probe-output.png");
    const fs::path shot = temp_file(L"probe-shot.png");
    write_image(input.wstring(), document);
    for (const row& expected : {row{L"ready", L"--apply-when-ready --screenshot", 0, true},
                                row{L"never", L"--apply-when-ready --wait-limit 1 --screenshot", 4, false},
                                row{L"hang", L"--apply-when-ready --wait-limit 1 --screenshot", 4, false}}) {
        SCOPED_TRACE(fs::path(expected.mode).string());
        SetEnvironmentVariableW(L"PROBE_DIALOG", expected.mode);
        std::wstring command = L"filter-host.exe " + std::wstring(expected.options) + L" \"" +
                               shot.wstring() + L"\" probe-filter.8bf \"" + input.wstring() + L"\" \"" +
                               output.wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &process));
        const handle thread(process.hThread), host(process.hProcess);
        // Far beyond the host's own bounds here: a host that hangs fails instead of holding the test.
        const bool ended = WaitForSingleObject(host.get(), 60000) == WAIT_OBJECT_0;
        if (!ended)
            TerminateProcess(host.get(), 99);
        DWORD code = 99;
        GetExitCodeProcess(host.get(), &code);
        ASSERT_TRUE(ended);
        EXPECT_EQ(code, expected.exit_code);
        EXPECT_EQ(fs::exists(output), expected.written);
        EXPECT_EQ(fs::exists(shot), expected.written);
        if (expected.written) {
            EXPECT_EQ(read_image(output.wstring()).samples[0], 255 - document.samples[0]);
        }
        fs::remove(output);
        fs::remove(shot);
    }
    fs::remove(input);
}

} // namespace
