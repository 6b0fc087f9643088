#include "am-collections.h"
#include "am-resizable-array.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "thrown.h"

namespace {

using cpp::exceptional::allocationFailure;

// The red-eye history's element: three 32-bit values.
struct eye_circle {
    std::int32_t x, y, radius;
    bool operator==(const eye_circle&) const = default;
};
using history = cpp::resizable_array<eye_circle, 5>;

template <class Array> bool is_inline(const Array& array) {
    return address(array.data()) >= address(&array) && address(array.data()) < address(&array + 1);
}

TEST(calc_reserve, grows_by_1_7_up_to_0x3fffffff_and_fails_from_there_on) {
    // With 80-bit x87 intermediates 10 * 1.7 and 100 * 1.7 would truncate to 16 and 169.
    const std::uint32_t rows[][3] = {
        {10, 0, 17}, {100, 0, 170}, {0x1fffffff, 0, 0x3fffffff}, {0x3ffffffe, 5, 0x3fffffff}};
    for (const auto& [length, extra, expected] : rows)
        EXPECT_EQ(cpp::calc_reserve(length, extra), expected) << length;
    for (const std::uint32_t too_long : {0x3fffffffu, 0xffffffffu})
        EXPECT_EQ(
            thrown_text<allocationFailure>([&] { cpp::calc_reserve(too_long, 0); }),
            "calc_reserve failed at 25 in file \"..\\\\..\\\\..\\\\common\\\\cpp\\\\am-collections.cpp\"\n"
            " - new_length is too large: " +
                std::to_string(too_long) + "  - must be < 1073741823");
}

// Stands in for a window's docked controls: an owned resource, and a copy that may throw but no move, so
// growth takes the copying road and must end the originals. Ending one is visible through a volatile flag
// (the compiler may drop any other store to an object whose life is over), and a copy of an ended one says
// so.
struct docked_control {
    static inline int alive = 0;
    std::wstring name;
    volatile bool ended = false;
    explicit docked_control(std::wstring name) : name(std::move(name)) { ++alive; }
    docked_control(const docked_control& other) : docked_control(other.ended ? L"ended" : other.name) {}
    ~docked_control() {
        ended = true;
        --alive;
    }
    bool operator==(const docked_control& other) const { return name == other.name; }
};

// Pushes count elements made by make(i) into an array with N inline, checks that every element came
// through and where the elements live, and answers the capacity.
template <std::uint32_t N, class Make> std::uint32_t capacity_after(int count, Make make) {
    cpp::resizable_array<decltype(make(0)), N> array;
    for (int i = 0; i != count; ++i)
        array.push_back(make(i));
    for (int i = 0; i != count; ++i)
        EXPECT_EQ(array[i], make(i)) << i;
    EXPECT_EQ(is_inline(array), count <= static_cast<int>(N));
    EXPECT_EQ(address(array.data()) % 4, 0u);
    return array.capacity();
}

TEST(resizable_array, keeps_n_elements_inline_then_grows_by_calc_reserve_keeping_every_element) {
    const auto circle = [](int i) { return eye_circle{i, 2 * i, 3 * i}; };
    EXPECT_EQ(capacity_after<5>(5, circle), 5u);
    EXPECT_EQ(capacity_after<5>(6, circle), 12u);
    EXPECT_EQ(capacity_after<50>(51, [](int i) { return std::wstring(40, L'a') + std::to_wstring(i); }),
              102u);
    EXPECT_EQ(capacity_after<1>(2, [](int i) { return docked_control(i == 0 ? L"preview" : L"status"); }),
              4u);
    EXPECT_EQ(docked_control::alive, 0);
}

TEST(resizable_array, pushing_its_own_element_while_growing_copies_it_intact) {
    cpp::resizable_array<docked_control, 1> dockers;
    dockers.emplace_back(L"preview");
    dockers.push_back(dockers[0]); // the growth ends the element the argument refers to
    EXPECT_EQ(dockers[1].name, L"preview");
}

TEST(resizable_array, try_reserve_that_overflows_32_bits_fails_and_changes_nothing) {
    history circles;
    circles.push_back({1, 2, 3});
    EXPECT_FALSE(circles.try_reserve(0x40000000)) << "0x40000000 * 12 bytes wraps in 32 bits";
    EXPECT_EQ(circles.capacity(), 5u);
    EXPECT_THAT(circles, ::testing::ElementsAre(eye_circle{1, 2, 3}));
}

TEST(resizable_array, truncate_with_shrink_moves_back_inline_or_to_a_smaller_block_when_far_too_large) {
    const struct {
        std::uint32_t reserved, filled, truncated;
        bool shrink;
        std::uint32_t size, capacity;
    } rows[] = {{34, 20, 25, true, 20, 34},    // a longer size does nothing
                {34, 20, 3, false, 3, 34},     // without shrink only the size changes
                {34, 20, 3, true, 3, 5},       // back to the inline storage
                {117, 100, 60, true, 60, 117}, // not above calc_reserve(calc_reserve(60)) = 173: kept
                {117, 100, 10, true, 10, 10}};
    for (const auto& row : rows) {
        history circles;
        ASSERT_TRUE(circles.try_reserve(row.reserved));
        for (int i = 0; i != static_cast<int>(row.filled); ++i)
            circles.push_back({i, i, i});
        circles.truncate(row.truncated, row.shrink);
        EXPECT_EQ(circles.size(), row.size) << "truncated to " << row.truncated;
        EXPECT_EQ(circles.capacity(), row.capacity) << "truncated to " << row.truncated;
        EXPECT_EQ(is_inline(circles), row.capacity == 5);
        const int last = static_cast<int>(row.size) - 1;
        EXPECT_EQ(circles[last], (eye_circle{last, last, last}));
    }
}

TEST(aligned_array, a_count_past_the_limit_fails_with_its_true_byte_size) {
    // The elements are never read: the count alone decides (volatile hides the short array from the
    // compiler's bounds warnings).
    static const eye_circle one[1] = {};
    const eye_circle* const volatile nowhere = one;
    for (const std::uint32_t count : {0x0aaaaaabu, 0x20000000u})
        EXPECT_EQ(thrown_text<allocationFailure>([&] {
                      cpp::aligned_array<eye_circle>{
                          cpp::ranges::array_range<const eye_circle>(nowhere, count)};
                  }),
                  "aligned_array failed in " AM_LIBRARY_HEADER_PLAIN(
                      "am-resizable-array.h") "\n - allocation routine returned nullptr:  size == " +
                      std::to_string(std::uint64_t{count} * 12));
}

TEST(array_range, validates_indices_and_inclusive_ranges_comparing_unsigned) {
    int values[] = {1, 2, 3, 4, 5};
    const cpp::ranges::array_range<int> range(values);
    const cpp::ranges::array_range<const int> empty;
    EXPECT_NO_THROW(range.validate_index(4));
    EXPECT_NO_THROW(range.validate_range(0, 4));
    EXPECT_NO_THROW(range.validate_range(5, 4)) << "the empty range at the end";
    EXPECT_NO_THROW(empty.validate_range(0, empty.size() - 1)) << "the whole of an empty view";
    EXPECT_THROW(range.validate_range(0, 5), std::out_of_range);
    EXPECT_THROW(range.validate_range(4, 2), std::out_of_range);
    EXPECT_THROW(range.validate_range(0xfffffffbu, 2), std::out_of_range) << "a first index read as -5";
    EXPECT_THROW(empty.validate_range(0, 0), std::out_of_range);
    EXPECT_EQ(thrown_text<std::out_of_range>([&] { range.validate_index(5); }),
              "validate_index failed at 1366 in file \"" AM_LIBRARY_DIR_QUOTED
              "am-resizable-array.h\"\n - supplied index is out of range!");
    EXPECT_EQ(range(4), 5);
    EXPECT_EQ(thrown_text<std::out_of_range>([&] { range(5); }), "operator ()");
}

TEST(round_to_int, rounds_halves_away_from_zero) {
    EXPECT_EQ(cpp::round_to_int(2.5), 3);
    EXPECT_EQ(cpp::round_to_int(-2.5), -3);
    EXPECT_EQ(cpp::round_to_int(-0.4), 0);
    EXPECT_EQ(cpp::round_to_int(1.49), 1);
    EXPECT_EQ(cpp::round_to_int(2.5f), 3);
    EXPECT_EQ(cpp::round_to_int(-1.5f), -2);
}

TEST(nearly_equal, compares_by_the_last_significand_bits_also_across_a_power_of_two) {
    const double below_two = std::nextafter(2.0, 0.0);
    EXPECT_TRUE(cpp::nearly_equal(1.0, 1.0 + std::ldexp(1.0, -45), 10));
    EXPECT_FALSE(cpp::nearly_equal(1.0, 1.001, 10));
    EXPECT_TRUE(cpp::nearly_equal(2.0, below_two, 10));
    EXPECT_TRUE(cpp::nearly_equal(below_two, 2.0, 10));
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
        cpp::make_scope_guard([&] { runs += 10; }).release();
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
