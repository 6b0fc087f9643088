#include "am-common.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

std::uintptr_t address(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

TEST(aligned_allocator, rounds_the_size_up_to_the_alignment_and_reports_it) {
    const cpp::details::aligned_allocator allocator;
    std::uint32_t actual = 0;
    void* block = allocator.allocate(100, 64, actual);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(actual, 128u);
    EXPECT_EQ(address(block) % 64, 0u);
    std::memset(block, 0xAB, actual);
    allocator.deallocate(block, actual);
}

TEST(aligned_allocator, fails_with_null_when_rounding_up_would_overflow_32_bits) {
    const cpp::details::aligned_allocator allocator;
    std::uint32_t actual = 7;
    EXPECT_EQ(allocator.allocate(0xFFFFFFF1u, 16, actual), nullptr) << "must not wrap to a 0-byte block";
    EXPECT_EQ(allocator.allocate(0xFFFFFF81u, 128, actual), nullptr);
    EXPECT_EQ(actual, 7u) << "a failure leaves the out parameter alone";
}

TEST(poly_allocator, any_two_compare_equal_through_a_holder) {
    const cpp::details::poly_allocator first;
    const cpp::details::poly_allocator second;
    const cpp::details::allocator_holder held(second);
    ASSERT_NE(held.get(), nullptr);
    EXPECT_NE(held.get(), static_cast<const cpp::details::allocator_interface*>(&second))
        << "the holder keeps a copy";
    EXPECT_TRUE(first.equals(held));
    EXPECT_EQ(first.identity(), held->identity());
    EXPECT_STREQ(static_cast<const char*>(first.identity()), "get_method_str");
    EXPECT_FALSE(first.equals(cpp::details::allocator_holder{}));
}

TEST(aligned_buffer, a_small_request_gets_a_128_byte_block_aligned_to_128) {
    const cpp::alignedBuffer buffer(1, 16);
    ASSERT_NE(buffer.data(), nullptr);
    EXPECT_EQ(buffer.capacity(), 128u);
    EXPECT_EQ(address(buffer.data()) % 128, 0u);
}

TEST(aligned_buffer, size_zero_has_no_block_and_reserving_zero_keeps_it_so) {
    cpp::alignedBuffer buffer(0, 16);
    EXPECT_EQ(buffer.data(), nullptr);
    EXPECT_EQ(buffer.capacity(), 0u);
    buffer.reserve(0);
    EXPECT_EQ(buffer.data(), nullptr);
    EXPECT_EQ(buffer.capacity(), 0u);
}

TEST(aligned_buffer, reserve_grows_and_keeps_the_contents) {
    cpp::alignedBuffer buffer(100, 0);
    std::memcpy(buffer.data(), "contents", 9);
    buffer.reserve(50);
    EXPECT_EQ(buffer.capacity(), 128u) << "reserve never shrinks";
    buffer.reserve(1000);
    EXPECT_EQ(buffer.capacity(), 1024u);
    EXPECT_EQ(address(buffer.data()) % 128, 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()), "contents");
}

TEST(aligned_buffer, shrinks_only_when_the_block_is_more_than_twice_as_large) {
    cpp::alignedBuffer buffer(1024, 128);
    for (std::uint32_t i = 0; i != 1024; ++i)
        buffer.data()[i] = static_cast<std::byte>(i * 7);
    const std::byte* const original = buffer.data();

    buffer.resize(600, 128);
    EXPECT_EQ(buffer.data(), original);
    EXPECT_EQ(buffer.capacity(), 1024u);

    buffer.resize(500, 128);
    EXPECT_EQ(buffer.capacity(), 512u);
    for (std::uint32_t i = 0; i != 512; ++i)
        ASSERT_EQ(buffer.data()[i], static_cast<std::byte>(i * 7)) << "byte " << i;
}

TEST(aligned_buffer, realigns_a_block_that_does_not_meet_a_larger_alignment) {
    // Keep making buffers until one lies on a 128-byte but not a 256-byte boundary.
    std::vector<std::unique_ptr<cpp::alignedBuffer>> buffers;
    cpp::alignedBuffer* misaligned = nullptr;
    for (int attempt = 0; attempt != 64 && misaligned == nullptr; ++attempt) {
        buffers.push_back(std::make_unique<cpp::alignedBuffer>(300, 128));
        if (address(buffers.back()->data()) % 256 != 0)
            misaligned = buffers.back().get();
    }
    ASSERT_NE(misaligned, nullptr);
    std::memcpy(misaligned->data(), "kept", 5);
    ASSERT_GE(misaligned->capacity(), 300u);

    misaligned->resize(300, 256);
    EXPECT_EQ(address(misaligned->data()) % 256, 0u);
    EXPECT_EQ(misaligned->capacity(), 512u);
    EXPECT_STREQ(reinterpret_cast<const char*>(misaligned->data()), "kept");
}

TEST(aligned_buffer, growth_whose_rounding_overflows_fails_and_leaves_the_buffer_unchanged) {
    cpp::alignedBuffer buffer(200, 128);
    std::memcpy(buffer.data(), "still here", 11);
    const std::byte* const original = buffer.data();
    try {
        buffer.resize(0xFFFFFF90u, 128);
        FAIL() << "no exception";
    } catch (const cpp::exceptional::allocationFailure& failure) {
        EXPECT_STREQ(failure.what(), "resize failed in ..\\..\\..\\common\\cpp\\am-common.cpp\n"
                                     " - allocation routine returned nullptr:  size == 4294967184");
    }
    EXPECT_EQ(buffer.data(), original);
    EXPECT_EQ(buffer.capacity(), 256u);
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()), "still here");
}

TEST(aligned_buffer, construction_failure_carries_the_buffer_message) {
    try {
        cpp::alignedBuffer buffer(0xFFFFFFF0u, 16);
        FAIL() << "no exception";
    } catch (const cpp::exceptional::allocationFailure& failure) {
        EXPECT_STREQ(failure.what(), "alignedBuffer  [size == 4294967280]  at line: 99  failed in "
                                     "..\\..\\..\\common\\cpp\\am-common.cpp\n"
                                     " - default_allocator::allocate returned nullptr!");
    }
}

TEST(system_information, version_code_counts_the_versions_that_hold) {
    using cpp::details::windows_version_code;
    EXPECT_EQ(windows_version_code([](unsigned, unsigned, unsigned) { return false; }), 0x0501u);
    EXPECT_EQ(windows_version_code([](unsigned major, unsigned minor, unsigned pack) {
                  return major == 6 && minor == 0 && pack <= 1;
              }),
              0x0501u)
        << "Windows 6.0 before service pack 2 counts as 5.1";
    EXPECT_EQ(windows_version_code([](unsigned major, unsigned minor, unsigned pack) {
                  return major < 6 || (major == 6 && (minor == 0 || (minor == 1 && pack == 0)));
              }),
              0x0600u)
        << "Windows 7 without service pack 1";
    EXPECT_EQ(windows_version_code(
                  [](unsigned major, unsigned minor, unsigned) { return major <= 6 && minor <= 1; }),
              0x0601u);
    EXPECT_EQ(windows_version_code([](unsigned, unsigned, unsigned) { return true; }), 0x0603u);
}

TEST(system_information, is_filled_before_tests_run) {
    EXPECT_GE(cpp::system_info.processor_count, 1u);
    EXPECT_THAT(cpp::system_info.windows_version,
                ::testing::AnyOf(0x0501u, 0x0600u, 0x0601u, 0x0602u, 0x0603u));
}

} // namespace
