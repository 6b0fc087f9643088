#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gmock/gmock.h>
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

TEST(parameter_text, floats_print_what_percent_f_prints_in_the_c_locale) {
    // The edges: signed zeros and tiny negatives, the largest float, exact ties at the seventh decimal
    // (they go to the even digit) and values just beside them.
    std::vector<float> values = {-0.0f,      -0.0000004f, std::numeric_limits<float>::max(),
                                 0.0078125f, 0.0234375f,  std::numeric_limits<float>::denorm_min(),
                                 0.0000005f, 0.0000015f,  16777216.0f};
    // Every product the stages compute from their slider ranges, in single precision.
    for (int value = -20000; value <= 20000; ++value)
        for (const float scale : {0.1f, 0.01f, 0.0001f})
            values.push_back(static_cast<float>(value) * scale);
    // Random floats of every magnitude.
    std::mt19937 random(20240601);
    for (int i = 0; i != 200000; ++i) {
        const float value = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
        if (std::isfinite(value))
            values.push_back(value);
    }
    for (const float value : values)
        ASSERT_EQ(to_text(value), printed(value)) << std::bit_cast<std::uint32_t>(value);
}

// A host may have set a locale with a decimal comma; the engine refuses "0,250000".
TEST(parameter_text, a_locale_with_a_decimal_comma_changes_nothing) {
    ASSERT_NE(std::setlocale(LC_ALL, "German_Germany.1252"), nullptr);
    const std::wstring c_library = printed(0.25f);
    const std::wstring texts[] = {to_text(0.25f), to_text(-12.5f), to_text(1234567), to_text(-2147483647 - 1),
                                  to_text(4294967295u)};
    std::setlocale(LC_ALL, "C");
    ASSERT_EQ(c_library, L"0,250000") << "the locale was in force for the C library";
    EXPECT_THAT(texts,
                testing::ElementsAre(L"0.250000", L"-12.500000", L"1234567", L"-2147483648", L"4294967295"))
        << "no decimal comma, no digit grouping";
}

TEST(parameter_text, hex_texts_have_a_fixed_length_of_upper_case_digits) {
    EXPECT_STREQ(to_hex_text(std::uint16_t{0xabc}).c_str(), L"0ABC");
    EXPECT_STREQ(to_hex_text(std::uint16_t{0xffff}).c_str(), L"FFFF");
    EXPECT_STREQ(to_hex_text(std::uint32_t{0xc34b}).c_str(), L"0000C34B");
    EXPECT_STREQ(to_hex_text(std::uint32_t{0xdeadbeef}).c_str(), L"DEADBEEF");
}

} // namespace
