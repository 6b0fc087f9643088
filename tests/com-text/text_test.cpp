#include "am-text.h"

#include <optional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(format_text, fills_one_or_two_digit_placeholders_and_keeps_other_percent_signs_as_text) {
    const std::wstring letters[] = {L"a", L"b", L"c", L"d", L"e", L"f", L"g", L"h", L"i", L"j", L"k", L"l"};
    struct row {
        const wchar_t* pattern;
        std::uint32_t arguments;              // the first ones of the letters
        std::optional<std::wstring> expected; // nothing: std::out_of_range
    };
    const row rows[] = {
        {L"%2 before %1, %1 again", 2, L"b before a, a again"},
        {L"%9%10", 10, L"ij"},
        {L"%01", 1, L"a"},
        {L"%123", 12, L"l3"}, // a third digit is text
        {L"100%%", 0, L"100%"},
        {L"%%%1", 1, L"%a"},
        {L"ends in %", 0, L"ends in %"},
        {L"%x stays", 0, L"%x stays"},
        {L"%0", 9, std::nullopt},
        {L"%10", 9, std::nullopt},
        {L"text %1", 0, std::nullopt},
    };
    for (const row& r : rows) {
        const auto format = [&] {
            return cpp::format_text(r.pattern,
                                    cpp::ranges::array_range<const std::wstring>(letters, r.arguments));
        };
        if (r.expected)
            EXPECT_EQ(format(), *r.expected) << r.pattern;
        else
            EXPECT_THROW(format(), std::out_of_range) << r.pattern;
    }
}

TEST(format_text, typed_forms_write_plain_decimal_and_copy_strings) {
    EXPECT_EQ(cpp::format_text(L"%1 x %2", 640u, 480u), L"640 x 480");
    EXPECT_EQ(cpp::format_text(L"%1 %2 %3", -2147483647 - 1, 4294967295u, 0), L"-2147483648 4294967295 0");
    EXPECT_EQ(cpp::format_text(L"%2 %1", std::wstring(L"world"), std::wstring(L"hello")), L"hello world");
}

TEST(to_utf8, composes_to_normalisation_form_c_and_converts_text_it_cannot_normalise_as_it_is) {
    EXPECT_EQ(cpp::to_utf8(L""), "");
    EXPECT_EQ(cpp::to_utf8(L"e\u0301"), "\xc3\xa9");
    EXPECT_EQ(cpp::to_utf8(L"\U0001F600"), "\xf0\x9f\x98\x80") << "a surrogate pair is one character";
    const std::wstring lone = std::wstring(L"bad ") + wchar_t(0xD800) + L" e\u0301";
    EXPECT_EQ(cpp::to_utf8(lone), "bad \xef\xbf\xbd e\xcc\x81") << "the description is not lost";
    // U+FB2C has no composed form and grows to three characters: more than the first estimate.
    const std::string grown = cpp::to_utf8(std::wstring(2000, wchar_t(0xFB2C)));
    EXPECT_EQ(grown.size(), 2000u * 3 * 2);
    EXPECT_EQ(grown.substr(0, 6), "\xd7\xa9\xd6\xbc\xd7\x81");
}

} // namespace
