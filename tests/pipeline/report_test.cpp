#include "pipeline-test-support.h"

#include <new>
#include <stdexcept>
#include <system_error>

#include "message-box-reader.h"

namespace {

using namespace tessolux;
using test_support::message_box_reader;

const std::wstring caption = L"A failure has occured";
const std::wstring reinstall = L"Reinstalling the application might solve this problem.";

// The one box a report shows, read as the user sees it.
test_support::message_box report(const std::exception& failure, const wchar_t* component = engine_file_name) {
    message_box_reader reader;
    EXPECT_EQ(report_exception(nullptr, failure, component), 0);
    EXPECT_EQ(reader.boxes().size(), 1u) << "exactly one box";
    return reader.boxes().empty() ? test_support::message_box{} : reader.boxes().front();
}

TEST(report_exception, an_engine_that_is_not_registered_names_its_file_and_the_remedy) {
    const test_support::message_box box =
        report(error_handling::interface_exception(REGDB_E_CLASSNOTREG, ""));
    EXPECT_EQ(box.caption, caption);
    EXPECT_EQ(box.text, L"A component failed with error code  0x80040154\n"
                        L"A required component  'ZorvaneImageProcessor2.dll'  is not registered!\r\n" +
                            reinstall);
    EXPECT_EQ(
        report(error_handling::interface_exception(REGDB_E_CLASSNOTREG, ""), L"").text,
        L"A component failed with error code  0x80040154\nA required component  ''  is not registered!\r\n" +
            reinstall)
        << "an empty name leaves empty quotes";
}

TEST(report_exception, a_wrong_or_missing_component_and_other_codes) {
    for (const HRESULT wrong : {CLASS_E_CLASSNOTAVAILABLE, E_NOINTERFACE})
        EXPECT_EQ(report(error_handling::interface_exception(wrong, "")).text,
                  L"A component failed with error code  0x" +
                      cpp::to_hex_wstring(static_cast<std::uint32_t>(wrong)) +
                      L"\nA wrong or obsolete component is registered!\r\n" + reinstall);
    EXPECT_EQ(report(error_handling::interface_exception(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), "")).text,
              L"A component failed with error code  0x8007007e\r\n"
              L"A required component  'ZorvaneImageProcessor2.dll'  could not be found!\r\n" +
                  reinstall);
    const test_support::message_box other =
        report(error_handling::interface_exception(E_FAIL, "engine text"));
    EXPECT_EQ(other.text, L"A component failed with error code  0x80004005")
        << "the engine's text is not shown";
    EXPECT_EQ(other.caption, caption);
}

TEST(report_exception, memory_and_other_failures_show_their_fixed_texts) {
    EXPECT_EQ(report(cpp::exceptional::allocationFailure("resize failed")).text,
              L"Not enough memory available!");
    EXPECT_EQ(report(std::bad_alloc()).text, L"Not enough memory available!");
    const test_support::message_box internal = report(std::runtime_error("operator () failed at 1364"));
    EXPECT_EQ(internal.text, L"An unknown error has occured!") << "a failed check's own message is not shown";
    EXPECT_EQ(internal.caption, caption);
    EXPECT_EQ(report(std::invalid_argument("x")).text, L"An unknown error has occured!");
}

TEST(report_exception, a_system_error_shows_the_systems_text_or_nothing) {
    wchar_t expected[1024];
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        ERROR_FILE_NOT_FOUND, 0x800, expected, 1024, nullptr);
    ASSERT_GT(length, 0u);
    const test_support::message_box box =
        report(std::system_error(ERROR_FILE_NOT_FOUND, std::system_category(), "load_string failed at 65"));
    EXPECT_EQ(box.text, std::wstring(expected, length));

    message_box_reader reader;
    EXPECT_EQ(
        report_exception(nullptr, std::system_error(0x2000ABCD, std::system_category()), engine_file_name), 0)
        << "a code the system cannot describe still counts as reported";
    EXPECT_TRUE(reader.boxes().empty());
}

} // namespace
