#include "am-common.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <vector>

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "thrown.h"

namespace {

using cpp::exceptional::allocationFailure;
using ::testing::StartsWith;

template <std::size_t N> std::string text(const cpp::static_string<N>& message) {
    return std::string(message.c_str(), N);
}

TEST(failure_message, joins_function_line_quoted_path_and_text_without_separators) {
    EXPECT_EQ(text(cpp::failure_message("get_window_rect", "152", AM_LIBRARY_SOURCE("win-common.cpp"),
                                        "GetWindowRect resulted in error!")),
              "get_window_rect failed at 152 in file \"..\\\\..\\\\..\\\\common\\\\cpp\\\\win-common.cpp\"\n"
              " - GetWindowRect resulted in error!");
}

TEST(failure_message, location_only_ends_with_the_closing_quote) {
    EXPECT_EQ(text(cpp::failure_location("draw_picture", "118", AM_PLUGIN_SOURCE("main-dialog-impl.cpp"))),
              "draw_picture failed at 118 in file \"main-dialog-impl.cpp\"");
}

TEST(failure_message, library_header_path_is_absolute_and_doubled) {
    const std::string message =
        text(cpp::failure_location("validate_index", "1366", AM_LIBRARY_HEADER("am-resizable-array.h")));
    EXPECT_THAT(message, StartsWith("validate_index failed at 1366 in file \"Z:\\\\"));
    EXPECT_THAT(message, ::testing::EndsWith("\\\\common\\\\cpp\\\\am-resizable-array.h\""));
    EXPECT_EQ(message.find("\\\\\\"), std::string::npos) << "no run of three backslashes";
}

TEST(static_string, literal_constructor_copies_exactly_n_characters_and_terminates) {
    const char with_zero[] = {'a', '\0', 'b', 'c'};
    EXPECT_EQ(std::string(cpp::static_string<3>(with_zero).c_str(), 4), std::string("a\0b\0", 4))
        << "position N is always the terminator, not the literal's last character";
}

TEST(hex_formatters, keep_leading_zeros_and_use_lower_case) {
    EXPECT_EQ(cpp::to_hex_string(0u), "00000000");
    EXPECT_EQ(cpp::to_hex_string(0xffffffffu), "ffffffff");
    EXPECT_EQ(cpp::to_hex_string(reinterpret_cast<const void*>(0x00ab12cdu)), "00ab12cd");
    EXPECT_EQ(cpp::to_hex_wstring(0xA0000200u), L"a0000200");
}

TEST(check_allocation, passes_a_pointer_and_reports_a_null_with_its_size) {
    const auto check = [](const void* pointer) {
        cpp::check_allocation(pointer, "resize", AM_LIBRARY_SOURCE_PLAIN("am-common.cpp"), 12);
    };
    EXPECT_NO_THROW(check(&check));
    EXPECT_EQ(thrown_text<allocationFailure>([&] { check(nullptr); }),
              "resize failed in ..\\..\\..\\common\\cpp\\am-common.cpp\n"
              " - allocation routine returned nullptr:  size == 12");
}

TEST(check_last_error, throws_the_last_error_only_for_zero) {
    const cpp::check_last_error check(cpp::failure_message("process_message", "3450",
                                                           AM_PLUGIN_SOURCE("main-dialog-impl.cpp"),
                                                           "ScreenToClient resulted in error!"));
    EXPECT_NO_THROW(check(BOOL{TRUE}));
    try {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        check(BOOL{FALSE});
        FAIL() << "no exception";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::error_code(ERROR_INVALID_WINDOW_HANDLE, std::system_category()));
        EXPECT_THAT(error.what(),
                    StartsWith("process_message failed at 3450 in file \"main-dialog-impl.cpp\"\n"
                               " - ScreenToClient resulted in error!"));
    }
}

const char* text(const cpp::alignedBuffer& buffer) {
    return reinterpret_cast<const char*>(buffer.data());
}

TEST(aligned_buffer, grows_to_aligned_blocks_and_shrinks_only_when_more_than_twice_as_large) {
    cpp::alignedBuffer empty(0, 16);
    empty.reserve(0);
    EXPECT_EQ(empty.data(), nullptr) << "size 0 has no block";
    cpp::alignedBuffer buffer(1, 16);
    EXPECT_EQ(buffer.capacity(), 128u);
    std::memcpy(buffer.data(), "contents", 9);
    buffer.reserve(50);
    EXPECT_EQ(buffer.capacity(), 128u) << "reserve never shrinks";
    buffer.reserve(1000);
    EXPECT_EQ(buffer.capacity(), 1024u);
    EXPECT_EQ(address(buffer.data()) % 128, 0u);
    const std::byte* const grown = buffer.data();
    buffer.resize(600, 128);
    EXPECT_EQ(buffer.data(), grown);
    buffer.resize(500, 128);
    EXPECT_EQ(buffer.capacity(), 512u);
    EXPECT_STREQ(text(buffer), "contents");
}

TEST(aligned_buffer, realigns_a_block_that_does_not_meet_a_larger_alignment) {
    // Keep making buffers until one lies on a 128-byte but not a 256-byte boundary.
    std::vector<cpp::alignedBuffer> buffers;
    do
        buffers.emplace_back(300, 128);
    while (address(buffers.back().data()) % 256 == 0 && buffers.size() != 64);
    cpp::alignedBuffer& misaligned = buffers.back();
    ASSERT_NE(address(misaligned.data()) % 256, 0u);
    std::memcpy(misaligned.data(), "kept", 5);
    misaligned.resize(300, 256);
    EXPECT_EQ(address(misaligned.data()) % 256, 0u);
    EXPECT_EQ(misaligned.capacity(), 512u);
    EXPECT_STREQ(text(misaligned), "kept");
}

TEST(aligned_buffer, sizes_whose_rounding_overflows_32_bits_fail_as_allocation_failures) {
    std::uint32_t actual = 7;
    EXPECT_EQ(cpp::details::aligned_allocator::allocate(0xFFFFFFF1u, 16, actual), nullptr)
        << "no 0-byte block";
    EXPECT_EQ(actual, 7u);
    cpp::alignedBuffer buffer(200, 128);
    std::memcpy(buffer.data(), "still here", 11);
    EXPECT_EQ(thrown_text<allocationFailure>([&] { buffer.resize(0xFFFFFF90u, 128); }),
              "resize failed in ..\\..\\..\\common\\cpp\\am-common.cpp\n"
              " - allocation routine returned nullptr:  size == 4294967184");
    EXPECT_EQ(buffer.capacity(), 256u) << "a failed growth leaves the buffer unchanged";
    EXPECT_STREQ(text(buffer), "still here");
    EXPECT_EQ(thrown_text<allocationFailure>([] { cpp::alignedBuffer(0xFFFFFFF0u, 16); }),
              "alignedBuffer  [size == 4294967280]  at line: 99  failed in "
              "..\\..\\..\\common\\cpp\\am-common.cpp\n - default_allocator::allocate returned nullptr!");
}

// The system windows_version_code asks about: major, minor, service pack.
unsigned system_version[3];

bool at_least(unsigned major, unsigned minor, unsigned pack) {
    const unsigned asked[3] = {major, minor, pack};
    return !std::lexicographical_compare(system_version, system_version + 3, asked, asked + 3);
}

TEST(system_information, version_code_counts_the_versions_that_hold) {
    const unsigned rows[][4] = {{5, 1, 3, 0x0501}, {6, 0, 1, 0x0501}, {6, 0, 2, 0x0600}, {6, 1, 0, 0x0600},
                                {6, 1, 1, 0x0601}, {6, 2, 0, 0x0602}, {10, 0, 0, 0x0603}};
    for (const auto& row : rows) {
        std::copy(row, row + 3, system_version);
        EXPECT_EQ(cpp::details::windows_version_code(&at_least), row[3])
            << row[0] << "." << row[1] << " SP" << row[2];
    }
}

} // namespace
