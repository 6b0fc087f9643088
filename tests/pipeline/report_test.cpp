#include "pipeline-test-support.h"

#include <new>
#include <stdexcept>

#include "message-box-reader.h"

namespace {

using namespace tessolux;

TEST(report_exception, each_failure_shows_one_box_with_its_string_table_text) {
    const auto com = [](HRESULT code, const char* text = "") {
        return std::make_exception_ptr(error_handling::interface_exception(code, text));
    };
    const std::wstring code = L"A component failed with error code  0x";
    const std::wstring reinstall = L"\r\nReinstalling the application might solve this problem.";
    const std::wstring engine = L"  'ZorvaneImageProcessor2.dll'  ";
    const std::pair<std::exception_ptr, std::wstring> rows[] = {
        {com(REGDB_E_CLASSNOTREG),
         code + L"80040154\nA required component" + engine + L"is not registered!" + reinstall},
        {com(CLASS_E_CLASSNOTAVAILABLE),
         code + L"80040111\nA wrong or obsolete component is registered!" + reinstall},
        {com(E_NOINTERFACE), code + L"80004002\nA wrong or obsolete component is registered!" + reinstall},
        {com(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)),
         code + L"8007007e\r\nA required component" + engine + L"could not be found!" + reinstall},
        {com(E_FAIL, "engine text"), code + L"80004005"}, // the engine's text is not shown
        {std::make_exception_ptr(cpp::exceptional::allocationFailure("resize failed")),
         L"Not enough memory available!"},
        {std::make_exception_ptr(std::bad_alloc()), L"Not enough memory available!"},
        // A failed check's own message is not shown.
        {std::make_exception_ptr(std::runtime_error("operator () failed at 1364")),
         L"An unknown error has occured!"},
        {std::make_exception_ptr(std::invalid_argument("x")), L"An unknown error has occured!"},
    };
    for (const auto& [failure, text] : rows) {
        test_support::message_box_reader reader;
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            EXPECT_EQ(report_exception(nullptr, e, engine_file_name), 0) << "reported";
        }
        ASSERT_EQ(reader.boxes().size(), 1u) << "exactly one box for " << testing::PrintToString(text);
        EXPECT_EQ(reader.boxes()[0].text, text);
        EXPECT_EQ(reader.boxes()[0].caption, L"A failure has occured");
    }
}

} // namespace
