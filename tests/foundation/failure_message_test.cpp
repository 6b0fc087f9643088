#include "am-common.h"

#include <cstring>
#include <system_error>

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::EndsWith;
using ::testing::StartsWith;

TEST(failure_message, joins_the_pieces_in_order_without_separators) {
    constexpr auto message = cpp::failure_message(
        "get_window_rect", "152", AM_LIBRARY_SOURCE("win-common.cpp"), "GetWindowRect resulted in error!");
    EXPECT_STREQ(
        message.c_str(),
        "get_window_rect failed at 152 in file \"..\\\\..\\\\..\\\\common\\\\cpp\\\\win-common.cpp\"\n"
        " - GetWindowRect resulted in error!");
    EXPECT_EQ(message.size(), std::strlen(message.c_str()));
}

TEST(failure_message, location_only_ends_with_the_closing_quote) {
    constexpr auto message =
        cpp::failure_location("draw_picture", "118", AM_PLUGIN_SOURCE("main-dialog-impl.cpp"));
    EXPECT_STREQ(message.c_str(), "draw_picture failed at 118 in file \"main-dialog-impl.cpp\"");
}

TEST(failure_message, library_header_path_is_absolute_and_doubled) {
    constexpr auto message =
        cpp::failure_message("validate_index", "1366", AM_LIBRARY_HEADER("am-resizable-array.h"),
                             "supplied index is out of range!");
    const std::string text = message.c_str();
    EXPECT_THAT(text, StartsWith("validate_index failed at 1366 in file \"Z:\\\\"));
    EXPECT_THAT(text, ::testing::HasSubstr("\\\\common\\\\cpp\\\\am-resizable-array.h\"\n - "));
    EXPECT_EQ(text.find("\\\\\\"), std::string::npos) << "no run of three backslashes";
}

TEST(static_string, literal_constructor_copies_exactly_n_characters_and_terminates) {
    const char with_zero[] = {'a', '\0', 'b', 'c'};
    const cpp::static_string<3> text(with_zero);
    EXPECT_EQ(text[0], 'a');
    EXPECT_EQ(text[1], '\0');
    EXPECT_EQ(text[2], 'b');
    EXPECT_EQ(text[3], '\0') << "position N is always the terminator, not the literal's last character";
}

TEST(static_string, joins_have_the_summed_length) {
    const auto joined = cpp::make_static_string("ab") + "cde";
    static_assert(sizeof(joined) == 6 * sizeof(char));
    EXPECT_STREQ(joined.c_str(), "abcde");

    cpp::static_wstring<2> digits;
    digits[0] = L'4';
    digits[1] = L'2';
    const auto wide = cpp::make_static_string(L"{") + digits + cpp::make_static_string(L"}");
    static_assert(decltype(wide)::size() == 4);
    EXPECT_STREQ(wide.c_str(), L"{42}");
}

TEST(hex_formatters, keep_leading_zeros_and_use_lower_case) {
    EXPECT_EQ(cpp::to_hex_string(0u), "00000000");
    EXPECT_EQ(cpp::to_hex_string(255u), "000000ff");
    EXPECT_EQ(cpp::to_hex_string(0xffffffffu), "ffffffff");
    EXPECT_EQ(cpp::to_hex_string(reinterpret_cast<const void*>(0x00ab12cdu)), "00ab12cd");
    EXPECT_EQ(cpp::to_hex_wstring(0xA0000200u), L"a0000200");
}

TEST(check_allocation, passes_a_pointer_and_reports_a_null_with_its_size) {
    int object = 0;
    EXPECT_NO_THROW(cpp::check_allocation(&object, "resize", AM_LIBRARY_SOURCE_PLAIN("am-common.cpp"), 12));
    try {
        cpp::check_allocation(nullptr, "resize", AM_LIBRARY_SOURCE_PLAIN("am-common.cpp"), 12);
        FAIL() << "no exception";
    } catch (const cpp::exceptional::allocationFailure& failure) {
        EXPECT_STREQ(failure.what(), "resize failed in ..\\..\\..\\common\\cpp\\am-common.cpp\n"
                                     " - allocation routine returned nullptr:  size == 12");
        const std::bad_alloc& base = failure;
        EXPECT_STREQ(base.what(), failure.what());
    }
}

TEST(check_last_error, throws_the_last_error_only_for_zero) {
    const cpp::check_last_error check(cpp::failure_message("process_message", "3450",
                                                           AM_PLUGIN_SOURCE("main-dialog-impl.cpp"),
                                                           "ScreenToClient resulted in error!"));
    const BOOL succeeded = TRUE;
    EXPECT_NO_THROW(check(succeeded));
    try {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        const BOOL failed = FALSE;
        check(failed);
        FAIL() << "no exception";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ERROR_INVALID_WINDOW_HANDLE);
        EXPECT_EQ(error.code().category(), std::system_category());
        EXPECT_THAT(error.what(),
                    StartsWith("process_message failed at 3450 in file \"main-dialog-impl.cpp\"\n"
                               " - ScreenToClient resulted in error!"));
    }
}
