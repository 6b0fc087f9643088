#include <bit>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "plugin/parameter-text.h"

namespace {

using tessolux::to_hex_text;
using tessolux::to_text;

// What the C library's "%f" prints for the float widened to double, in the locale of the moment.
std::wstring printed(float value) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%f", static_cast<double>(value));
    return std::wstring(buffer, buffer + std::char_traits<char>::length(buffer));
}

// Sets a locale for the test's length and puts the C locale back after it.
class scoped_locale {
public:
    explicit scoped_locale(const char* name) : set_(std::setlocale(LC_ALL, name) != nullptr) {}
    ~scoped_locale() { std::setlocale(LC_ALL, "C"); }
    bool set() const { return set_; }

private:
    bool set_;
};

TEST(parameter_text, floats_print_six_decimals_of_the_single_precision_value) {
    EXPECT_EQ(to_text(0.25f), L"0.250000");
    EXPECT_EQ(to_text(0.0f), L"0.000000");
    EXPECT_EQ(to_text(-0.0f), L"-0.000000");
    EXPECT_EQ(to_text(1.0f), L"1.000000");
    EXPECT_EQ(to_text(-1.5f), L"-1.500000");
    // Scaled in single precision: the product is not the decimal one, and six decimals show it rounded.
    EXPECT_EQ(to_text(5 * 0.0001f), L"0.000500");
    EXPECT_EQ(to_text(70 * 0.01f), L"0.700000");
    EXPECT_EQ(to_text(150 * 0.01f), L"1.500000");
    EXPECT_EQ(to_text(3 * 0.1f), L"0.300000");
    EXPECT_EQ(to_text(16777216.0f), L"16777216.000000");
    EXPECT_EQ(to_text(std::numeric_limits<float>::max()), L"340282346638528859811704183484516925440.000000");
    EXPECT_EQ(to_text(std::numeric_limits<float>::denorm_min()), L"0.000000");
    EXPECT_EQ(to_text(-0.0000004f), L"-0.000000");
    // Exact ties at the seventh decimal go to the even digit: 1/128 = 0.0078125, 3/128 = 0.0234375.
    EXPECT_EQ(to_text(0.0078125f), L"0.007812");
    EXPECT_EQ(to_text(0.0234375f), L"0.023438");
    EXPECT_EQ(to_text(0.0000005f), L"0.000000") << "just below the tie of half a millionth";
    EXPECT_EQ(to_text(0.0000015f), L"0.000002");
}

TEST(parameter_text, floats_match_the_c_librarys_percent_f_in_the_c_locale) {
    const scoped_locale c_locale("C");
    // Every product the stages compute from their slider ranges, and random floats of every magnitude
    // that prints without an exponent.
    for (int value = -20000; value <= 20000; ++value)
        for (const float scale : {0.1f, 0.01f, 0.0001f}) {
            const float product = static_cast<float>(value) * scale;
            ASSERT_EQ(to_text(product), printed(product)) << value << " x " << scale;
        }
    std::mt19937 random(20240601);
    for (int i = 0; i != 200000; ++i) {
        const float value = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
        if (value != value || value == std::numeric_limits<float>::infinity() ||
            value == -std::numeric_limits<float>::infinity())
            continue;
        ASSERT_EQ(to_text(value), printed(value)) << std::bit_cast<std::uint32_t>(value);
    }
}

TEST(parameter_text, a_locale_with_a_decimal_comma_changes_nothing) {
    const scoped_locale german("German_Germany.1252");
    ASSERT_TRUE(german.set()) << "the decimal-comma locale could not be set";
    ASSERT_EQ(printed(0.25f), L"0,250000") << "the locale is in force for the C library";
    EXPECT_EQ(to_text(0.25f), L"0.250000");
    EXPECT_EQ(to_text(-12.5f), L"-12.500000");
    EXPECT_EQ(to_text(1234567), L"1234567") << "no digit grouping either";
    EXPECT_EQ(to_text(-2147483647 - 1), L"-2147483648");
    EXPECT_EQ(to_text(4294967295u), L"4294967295");
}

TEST(parameter_text, hex_texts_have_a_fixed_length_of_upper_case_digits) {
    EXPECT_STREQ(to_hex_text(std::uint16_t{0}).c_str(), L"0000");
    EXPECT_STREQ(to_hex_text(std::uint16_t{0xabc}).c_str(), L"0ABC");
    EXPECT_STREQ(to_hex_text(std::uint16_t{0xffff}).c_str(), L"FFFF");
    EXPECT_STREQ(to_hex_text(std::uint32_t{0x47646232}).c_str(), L"47646232");
    EXPECT_STREQ(to_hex_text(std::uint32_t{0xc34b}).c_str(), L"0000C34B");
    EXPECT_STREQ(to_hex_text(std::uint32_t{0xdeadbeef}).c_str(), L"DEADBEEF");
    static_assert(decltype(to_hex_text(std::uint16_t{}))::size() == 4);
    static_assert(decltype(to_hex_text(std::uint32_t{}))::size() == 8);
}

} // namespace
