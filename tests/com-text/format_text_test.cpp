#include "am-text.h"

#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

std::wstring format_with(const std::wstring& pattern, std::initializer_list<std::wstring> arguments) {
    return cpp::format_text(pattern, cpp::ranges::array_range<const std::wstring>(
                                         arguments.begin(), static_cast<std::uint32_t>(arguments.size())));
}

void expect_out_of_range(const std::wstring& pattern, std::initializer_list<std::wstring> arguments) {
    try {
        format_with(pattern, arguments);
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& failure) {
        EXPECT_STREQ(failure.what(), "operator ()");
    }
}

TEST(format_text, replaces_placeholders_by_position) {
    EXPECT_EQ(format_with(L"%1/%2", {L"3", L"7"}), L"3/7");
    EXPECT_EQ(format_with(L"%2 before %1, %1 again", {L"a", L"b"}), L"b before a, a again");
    EXPECT_EQ(format_with(L"no placeholders", {L"unused"}), L"no placeholders");
    EXPECT_EQ(format_with(L"", {}), L"");
}

TEST(format_text, percent_signs_that_are_not_placeholders_stay_text) {
    EXPECT_EQ(format_with(L"100%%", {}), L"100%");
    EXPECT_EQ(format_with(L"ends in %", {}), L"ends in %");
    EXPECT_EQ(format_with(L"%x stays", {}), L"%x stays");
    EXPECT_EQ(format_with(L"%%1 is literal", {L"a"}), L"%1 is literal");
    EXPECT_EQ(format_with(L"%%%1", {L"a"}), L"%a") << "an escaped % then a placeholder";
}

TEST(format_text, placeholders_take_one_or_two_digits) {
    const std::initializer_list<std::wstring> ten = {L"a", L"b", L"c", L"d", L"e",
                                                     L"f", L"g", L"h", L"i", L"j"};
    EXPECT_EQ(format_with(L"[%10]", ten), L"[j]");
    EXPECT_EQ(format_with(L"%9%10", ten), L"ij");
    const std::initializer_list<std::wstring> twelve = {L"a", L"b", L"c", L"d", L"e", L"f",
                                                        L"g", L"h", L"i", L"j", L"k", L"l"};
    EXPECT_EQ(format_with(L"%123", twelve), L"l3") << "a third digit is ordinary text";
    EXPECT_EQ(format_with(L"%01", {L"a"}), L"a") << "a leading zero still names argument 1";
}

TEST(format_text, a_placeholder_without_its_argument_throws_out_of_range) {
    expect_out_of_range(L"%0", {L"a", L"b"});
    expect_out_of_range(L"%10", {L"a", L"b", L"c", L"d", L"e", L"f", L"g", L"h", L"i"});
    expect_out_of_range(L"%3", {L"a", L"b"});
    expect_out_of_range(L"text %1", {});
}

TEST(format_text, typed_forms_format_numbers_and_copy_strings) {
    EXPECT_EQ(cpp::format_text(L"%1 x %2", 640u, 480u), L"640 x 480");
    EXPECT_EQ(cpp::format_text(L"(%1, %2)", -5, 0), L"(-5, 0)");
    EXPECT_EQ(cpp::format_text(L"%1 dpi", 96u), L"96 dpi");
    EXPECT_EQ(cpp::format_text(L"%1%2%3%4%5%6", 1u, 2u, 3u, 4u, 5u, 6u), L"123456");
    EXPECT_EQ(cpp::format_text(L"%1,%2 %3x%4 %5:%6", 10u, 20u, 300u, 400u, -1, 250), L"10,20 300x400 -1:250");
    EXPECT_EQ(cpp::format_text(L"<%1>", std::wstring(L"one")), L"<one>");
    EXPECT_EQ(cpp::format_text(L"%2 %1", std::wstring(L"world"), std::wstring(L"hello")), L"hello world");
}

TEST(format_argument, writes_plain_decimal) {
    EXPECT_EQ(cpp::format_argument(-5), L"-5");
    EXPECT_EQ(cpp::format_argument(4294967295u), L"4294967295");
    EXPECT_EQ(cpp::format_argument(0u), L"0");
    EXPECT_EQ(cpp::format_argument(-2147483647 - 1), L"-2147483648");
}

} // namespace
