#include "am-text.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(to_utf8, composes_to_normalisation_form_c) {
    EXPECT_EQ(cpp::to_utf8(L"e\u0301"), "\xc3\xa9");
    EXPECT_EQ(cpp::to_utf8(L"plain"), "plain");
    EXPECT_EQ(cpp::to_utf8(L""), "");
    EXPECT_EQ(cpp::to_utf8(L"\U0001F600"), "\xf0\x9f\x98\x80") << "a surrogate pair is one character";
}

TEST(to_utf8, text_that_cannot_be_normalised_is_converted_as_it_is) {
    const std::wstring lone_high = std::wstring(L"bad ") + wchar_t(0xD800) + L" surrogate e\u0301";
    EXPECT_EQ(cpp::to_utf8(lone_high), "bad \xef\xbf\xbd surrogate e\xcc\x81")
        << "replacement character for the surrogate, the rest kept unnormalised";
    EXPECT_EQ(cpp::to_utf8(std::wstring(1, wchar_t(0xDC00))), "\xef\xbf\xbd");
}

TEST(to_utf8, long_text_that_grows_when_composed_is_kept_whole) {
    // U+FB2C has no composed form and expands to three characters; the whole text must still arrive.
    const std::wstring text(2000, wchar_t(0xFB2C));
    const std::string utf8 = cpp::to_utf8(text);
    EXPECT_EQ(utf8.size(), 2000u * 3 * 2) << "three two-byte characters each";
    EXPECT_EQ(utf8.substr(0, 6), "\xd7\xa9\xd6\xbc\xd7\x81");
}

} // namespace
