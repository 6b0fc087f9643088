#include "am-collections.h"
#include "am-resizable-array.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using ::testing::ElementsAre;

// The red-eye history's element: three 32-bit values.
struct eye_circle {
    std::int32_t x;
    std::int32_t y;
    std::int32_t radius;
    bool operator==(const eye_circle&) const = default;
};

bool lies_inside(const void* pointer, const void* object, std::size_t size) {
    const auto p = reinterpret_cast<std::uintptr_t>(pointer);
    const auto o = reinterpret_cast<std::uintptr_t>(object);
    return p >= o && p < o + size;
}

TEST(calc_reserve, grows_by_1_7_or_past_the_inline_capacity) {
    EXPECT_EQ(cpp::calc_reserve(6, 5), 12u);
    EXPECT_EQ(cpp::calc_reserve(51, 50), 102u);
    EXPECT_EQ(cpp::calc_reserve(2, 1), 4u);
    // Truncating 10 * 1.7 and 100 * 1.7 with 80-bit intermediates gives 16 and 169.
    EXPECT_EQ(cpp::calc_reserve(10, 0), 17u);
    EXPECT_EQ(cpp::calc_reserve(100, 0), 170u);
    EXPECT_EQ(cpp::calc_reserve(0x1ffffffe, 0), static_cast<std::uint32_t>(0x1ffffffe * 1.7));
}

TEST(calc_reserve, caps_at_0x3fffffff_and_fails_from_there_on) {
    EXPECT_EQ(cpp::calc_reserve(0x1fffffff, 0), 0x3fffffffu);
    EXPECT_EQ(cpp::calc_reserve(0x3ffffffe, 5), 0x3fffffffu);
    for (const std::uint32_t too_long : {0x3fffffffu, 0xffffffffu}) {
        try {
            cpp::calc_reserve(too_long, 0);
            FAIL() << "no exception for " << too_long;
        } catch (const cpp::exceptional::allocationFailure& failure) {
            EXPECT_EQ(std::string(failure.what()),
                      "calc_reserve failed at 25 in file "
                      "\"..\\\\..\\\\..\\\\common\\\\cpp\\\\am-collections.cpp\"\n"
                      " - new_length is too large: " +
                          std::to_string(too_long) + "  - must be < 1073741823");
        }
    }
}

TEST(resizable_array, keeps_up_to_n_elements_inline_and_grows_by_calc_reserve) {
    cpp::resizable_array<eye_circle, 5> history;
    for (int i = 0; i != 5; ++i)
        history.push_back({i, 2 * i, 3 * i});
    EXPECT_EQ(history.capacity(), 5u);
    EXPECT_TRUE(lies_inside(history.data(), &history, sizeof(history))) << "no heap block for five circles";

    history.emplace_back(5, 10, 15);
    EXPECT_EQ(history.capacity(), 12u);
    EXPECT_FALSE(lies_inside(history.data(), &history, sizeof(history)));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(history.data()) % 4, 0u);
    ASSERT_EQ(history.size(), 6u);
    for (int i = 0; i != 6; ++i)
        EXPECT_EQ(history[i], (eye_circle{i, 2 * i, 3 * i}));
}

TEST(resizable_array, moves_strings_when_growing_past_fifty) {
    cpp::resizable_array<std::wstring, 50> texts;
    for (int i = 0; i != 51; ++i)
        texts.push_back(std::wstring(40, static_cast<wchar_t>(L'A' + i % 26)) + std::to_wstring(i));
    EXPECT_EQ(texts.capacity(), 102u);
    ASSERT_EQ(texts.size(), 51u);
    for (int i = 0; i != 51; ++i)
        EXPECT_EQ(texts[i], std::wstring(40, static_cast<wchar_t>(L'A' + i % 26)) + std::to_wstring(i));
}

// Stands in for a window's docked controls: five constructor arguments, an owned resource.
struct docked_control {
    static inline int alive = 0;
    std::wstring name;
    int left, top, right, bottom;
    docked_control(const wchar_t* name, int left, int top, int right, int bottom)
        : name(name), left(left), top(top), right(right), bottom(bottom) {
        ++alive;
    }
    docked_control(docked_control&& other) noexcept
        : name(std::move(other.name)), left(other.left), top(other.top), right(other.right),
          bottom(other.bottom) {
        ++alive;
    }
    ~docked_control() { --alive; }
};

TEST(resizable_array, emplaces_with_constructor_arguments_and_ends_every_element) {
    {
        cpp::resizable_array<docked_control, 1> dockers;
        dockers.emplace_back(L"preview", 0, 0, 10, 10);
        EXPECT_EQ(dockers.capacity(), 1u);
        dockers.emplace_back(L"status", 0, 10, 10, 12);
        EXPECT_EQ(dockers.capacity(), 4u);
        EXPECT_EQ(dockers[0].name, L"preview");
        EXPECT_EQ(dockers[1].name, L"status");
        EXPECT_EQ(dockers[1].bottom, 12);
        EXPECT_EQ(docked_control::alive, 2);
    }
    EXPECT_EQ(docked_control::alive, 0);
}

TEST(resizable_array, pushing_its_own_element_while_growing_copies_it_intact) {
    cpp::resizable_array<std::wstring, 2> texts;
    texts.push_back(std::wstring(64, L'x'));
    texts.push_back(L"second");
    texts.push_back(texts[0]); // the growth frees the storage texts[0] lives in
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[2], std::wstring(64, L'x'));
    EXPECT_EQ(texts[0], std::wstring(64, L'x'));
}

TEST(resizable_array, try_reserve_that_overflows_32_bits_fails_and_changes_nothing) {
    cpp::resizable_array<eye_circle, 5> history;
    history.push_back({1, 2, 3});
    EXPECT_FALSE(history.try_reserve(0x40000000)) << "0x40000000 * 12 bytes wraps in 32 bits";
    EXPECT_EQ(history.capacity(), 5u);
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0], (eye_circle{1, 2, 3}));
    EXPECT_TRUE(history.try_reserve(34));
    EXPECT_EQ(history.capacity(), 34u);
    EXPECT_EQ(history[0], (eye_circle{1, 2, 3}));
}

cpp::resizable_array<eye_circle, 5>& fill(cpp::resizable_array<eye_circle, 5>& history, int count) {
    for (int i = 0; i != count; ++i)
        history.push_back({i, i, i});
    return history;
}

TEST(resizable_array, truncate_with_shrink_moves_back_inline) {
    cpp::resizable_array<eye_circle, 5> history;
    ASSERT_TRUE(history.try_reserve(34));
    fill(history, 20);
    ASSERT_EQ(history.capacity(), 34u);

    history.truncate(25, true);
    EXPECT_EQ(history.size(), 20u) << "a longer size does nothing";
    EXPECT_EQ(history.capacity(), 34u);

    history.truncate(3, true);
    EXPECT_EQ(history.size(), 3u);
    EXPECT_EQ(history.capacity(), 5u);
    EXPECT_TRUE(lies_inside(history.data(), &history, sizeof(history)));
    EXPECT_EQ(history[2], (eye_circle{2, 2, 2}));

    cpp::resizable_array<eye_circle, 5> unshrunk;
    ASSERT_TRUE(unshrunk.try_reserve(34));
    fill(unshrunk, 20).truncate(3, false);
    EXPECT_EQ(unshrunk.size(), 3u);
    EXPECT_EQ(unshrunk.capacity(), 34u) << "without shrink only the size changes";
}

TEST(resizable_array, truncate_with_shrink_moves_to_a_smaller_block_when_far_too_large) {
    cpp::resizable_array<std::wstring, 5> texts;
    for (int i = 0; i != 100; ++i)
        texts.push_back(std::wstring(30, L'a') + std::to_wstring(i));
    ASSERT_EQ(texts.capacity(), 117u);
    texts.truncate(60, true);
    EXPECT_EQ(texts.capacity(), 117u) << "not above calc_reserve(calc_reserve(60)) = 173: kept";
    texts.truncate(10, true);
    EXPECT_EQ(texts.capacity(), 10u);
    ASSERT_EQ(texts.size(), 10u);
    EXPECT_EQ(texts[9], std::wstring(30, L'a') + L"9");
}

TEST(aligned_array, copies_the_range_into_its_own_block) {
    const eye_circle circles[] = {{1, 2, 3}, {4, 5, 6}};
    cpp::aligned_array<eye_circle> copy{cpp::ranges::array_range<const eye_circle>(circles)};
    ASSERT_EQ(copy.size(), 2u);
    EXPECT_NE(copy.data(), circles);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(copy.data()) % 4, 0u);
    EXPECT_THAT(copy, ElementsAre(eye_circle{1, 2, 3}, eye_circle{4, 5, 6}));

    cpp::aligned_array<eye_circle> moved(std::move(copy));
    EXPECT_EQ(copy.size(), 0u);
    EXPECT_EQ(copy.data(), nullptr);
    EXPECT_EQ(moved[1], (eye_circle{4, 5, 6}));

    const cpp::aligned_array<eye_circle> empty{cpp::ranges::array_range<const eye_circle>()};
    EXPECT_TRUE(empty.empty());
}

TEST(aligned_array, a_count_past_the_limit_fails_with_its_true_byte_size) {
    // The elements are never read: the count alone decides. (volatile hides the short array from the
    // compiler's bounds warnings.)
    static const eye_circle one[1] = {};
    const eye_circle* const volatile nowhere = one;
    const std::string header = AM_LIBRARY_HEADER_PLAIN("am-resizable-array.h");
    for (const std::uint32_t count : {0x0aaaaaabu, 0x20000000u}) {
        try {
            cpp::aligned_array<eye_circle> never{cpp::ranges::array_range<const eye_circle>(nowhere, count)};
            FAIL() << "no exception for " << count;
        } catch (const cpp::exceptional::allocationFailure& failure) {
            EXPECT_EQ(failure.what(), "aligned_array failed in " + header +
                                          "\n - allocation routine returned nullptr:  size == " +
                                          std::to_string(std::uint64_t{count} * 12));
        }
    }
}

TEST(array_range, validates_indices_and_inclusive_ranges) {
    int values[] = {1, 2, 3, 4, 5};
    const cpp::ranges::array_range<int> range(values);
    EXPECT_NO_THROW(range.validate_index(4));
    EXPECT_NO_THROW(range.validate_range(0, 4));
    EXPECT_NO_THROW(range.validate_range(5, 4)) << "the empty range at the end";
    EXPECT_THROW(range.validate_range(0, 5), std::out_of_range);
    EXPECT_THROW(range.validate_range(4, 2), std::out_of_range);
    EXPECT_THROW(range.validate_range(0xfffffffbu, 2), std::out_of_range) << "a first index read as -5";
    EXPECT_EQ(range(4), 5);
    const cpp::ranges::array_range<const int> empty;
    EXPECT_NO_THROW(empty.validate_range(0, empty.size() - 1)) << "the whole of an empty view";
    EXPECT_THROW(empty.validate_range(0, 0), std::out_of_range);
    try {
        range.validate_index(5);
        FAIL() << "no exception";
    } catch (const std::out_of_range& failure) {
        EXPECT_STREQ(failure.what(), "validate_index failed at 1366 in file \"" AM_LIBRARY_DIR_QUOTED
                                     "am-resizable-array.h\"\n - supplied index is out of range!");
    }
    try {
        range(5);
        FAIL() << "no exception";
    } catch (const std::out_of_range& failure) {
        EXPECT_STREQ(failure.what(), "operator ()");
    }
}

TEST(round_to_int, rounds_halves_away_from_zero) {
    EXPECT_EQ(cpp::round_to_int(2.5), 3);
    EXPECT_EQ(cpp::round_to_int(-2.5), -3);
    EXPECT_EQ(cpp::round_to_int(-0.4), 0);
    EXPECT_EQ(cpp::round_to_int(2.5f), 3);
    EXPECT_EQ(cpp::round_to_int(-1.5f), -2);
    EXPECT_EQ(cpp::round_to_int(1.49), 1);
}

TEST(nearly_equal, compares_by_the_last_significand_bits) {
    EXPECT_TRUE(cpp::nearly_equal(1.0, 1.0 + std::ldexp(1.0, -45), 10));
    EXPECT_FALSE(cpp::nearly_equal(1.0, 1.001, 10));
    EXPECT_TRUE(cpp::nearly_equal(2.0, std::nextafter(2.0, 0.0), 10)) << "neighbours across a power of two";
    EXPECT_TRUE(cpp::nearly_equal(std::nextafter(2.0, 0.0), 2.0, 10));
    EXPECT_FALSE(cpp::nearly_equal(1.0, 4.0, 10));
    EXPECT_FALSE(cpp::nearly_equal(1.0, -1.0, 10));
    EXPECT_TRUE(cpp::nearly_equal(-3.0, -3.0 - std::ldexp(1.0, -40), 10));
    EXPECT_TRUE(cpp::nearly_equal(0.75, 0.75, 60)) << "more bits than the significand has means exact";
    EXPECT_FALSE(cpp::nearly_equal(0.75, std::nextafter(0.75, 1.0), 60));
}

TEST(scope_guard, runs_at_scope_end_unless_released_and_rollback_only_on_exceptions) {
    int runs = 0;
    {
        auto guard = cpp::make_scope_guard([&] { ++runs; });
        auto released = cpp::make_scope_guard([&] { runs += 10; });
        released.release();
        auto rollback = cpp::make_rollback_guard([&] { runs += 100; });
    }
    EXPECT_EQ(runs, 1);
    try {
        auto rollback = cpp::make_rollback_guard([&] { runs += 100; });
        throw std::runtime_error("step failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(runs, 101);
}

} // namespace
