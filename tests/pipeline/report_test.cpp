#include "pipeline-test-support.h"

#include <new>
#include <stdexcept>

#include "message-box-reader.h"

namespace {

using namespace tessolux;
using test_support::message_box_reader;

// The boxes that reporting the failure shows.
std::vector<test_support::message_box> report(const std::exception_ptr& failure, const wchar_t* component) {
    message_box_reader reader;
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        EXPECT_EQ(report_exception(nullptr, e, component), 0) << "reported";
    }
    return reader.boxes();
}

TEST(report_exception, each_failure_shows_one_box_with_its_string_table_text) {
    const auto com = [](HRESULT code, const char* text = "") {
        return std::make_exception_ptr(error_handling::interface_exception(code, text));
    };
    const std::wstring code = L"A component failed with error code  0x";
    const std::wstring reinstall = L"\r\nReinstalling the application might solve this problem.";
    const std::wstring engine = L"  'ZorvaneImageProcessor2.dll'  ";
    struct row {
        std::exception_ptr failure;
        const wchar_t* component;
        std::wstring text;
    };
    const row rows[] = {
        {com(REGDB_E_CLASSNOTREG), engine_file_name,
         code + L"80040154\nA required component" + engine + L"is not registered!" + reinstall},
        {com(REGDB_E_CLASSNOTREG), L"",
         code + L"80040154\nA required component  ''  is not registered!" + reinstall},
        {com(CLASS_E_CLASSNOTAVAILABLE), engine_file_name,
         code + L"80040111\nA wrong or obsolete component is registered!" + reinstall},
        {com(E_NOINTERFACE), engine_file_name,
         code + L"80004002\nA wrong or obsolete component is registered!" + reinstall},
        {com(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)), engine_file_name,
         code + L"8007007e\r\nA required component" + engine + L"could not be found!" + reinstall},
        {com(E_FAIL, "engine text"), engine_file_name, code + L"80004005"}, // the engine's text is not shown
        {std::make_exception_ptr(cpp::exceptional::allocationFailure("resize failed")), engine_file_name,
         L"Not enough memory available!"},
        {std::make_exception_ptr(std::bad_alloc()), engine_file_name, L"Not enough memory available!"},
        // A failed check's own message is not shown.
        {std::make_exception_ptr(std::runtime_error("operator () failed at 1364")), engine_file_name,
         L"An unknown error has occured!"},
        {std::make_exception_ptr(std::invalid_argument("x")), engine_file_name,
         L"An unknown error has occured!"},
    };
    for (const row& r : rows) {
        const std::vector<test_support::message_box> boxes = report(r.failure, r.component);
        ASSERT_EQ(boxes.size(), 1u) << "exactly one box for " << testing::PrintToString(r.text);
        EXPECT_EQ(boxes[0].text, r.text);
        EXPECT_EQ(boxes[0].caption, L"A failure has occured");
    }
}

} // namespace
