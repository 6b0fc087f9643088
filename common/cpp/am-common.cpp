#include "am-common.h"

#include <algorithm>
#include <cstring>
#include <system_error>

// The only system calls of the allocation core and the throwing helpers go through the seam, so the
// native sanitizer build can compile this file unchanged.
#include "am-platform.h"

namespace cpp {

void throw_last_error(const char* message) {
    // First thing: nothing may run between the failed call and this read.
    const std::uint32_t code = platform::last_error();
    throw std::system_error(static_cast<int>(code), std::system_category(), message);
}

std::string to_decimal_string(std::uint64_t value) {
    char digits[20];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    std::string text;
    text.reserve(count);
    while (count != 0)
        text.push_back(digits[--count]);
    return text;
}

void throw_allocation_failure(const char* method, const char* file, std::uint64_t size) {
    std::string message(method);
    message += " failed in ";
    message += file;
    message += "\n - allocation routine returned nullptr:  size == ";
    message += to_decimal_string(size);
    throw exceptional::allocationFailure(std::move(message));
}

namespace {
template <class Ch> std::basic_string<Ch> hex_digits(std::uint32_t value) {
    std::basic_string<Ch> text(8, Ch('0'));
    for (int i = 7; i >= 0; --i, value >>= 4) {
        const unsigned digit = value & 0xF;
        text[i] = static_cast<Ch>(digit < 10 ? '0' + digit : 'a' + digit - 10);
    }
    return text;
}
} // namespace

std::string to_hex_string(std::uint32_t value) { return hex_digits<char>(value); }
std::string to_hex_string(const void* address) {
    return hex_digits<char>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address)));
}
std::wstring to_hex_wstring(std::uint32_t value) { return hex_digits<wchar_t>(value); }

namespace details {

void* aligned_allocator::allocate(std::uint32_t size, std::uint32_t alignment, std::uint32_t& actual_size) noexcept {
    std::uint32_t rounded = 0;
    if (alignment == 0 || (alignment & (alignment - 1)) != 0 || !checked_round_up(size, alignment, rounded))
        return nullptr;
    void* block = platform::aligned_allocate(rounded, alignment);
    if (block != nullptr)
        actual_size = rounded;
    return block;
}

void aligned_allocator::deallocate(void* block, std::uint32_t) noexcept {
    platform::aligned_free(block);
}

std::uint32_t windows_version_code(version_test at_least) {
    if (!at_least(6, 0, 2))
        return 0x0501;
    std::uint32_t code = 0x0600;
    code += at_least(6, 1, 1) ? 1 : 0;
    code += at_least(6, 2, 0) ? 1 : 0;
    code += at_least(6, 3, 0) ? 1 : 0;
    return code;
}

} // namespace details

alignedBuffer::alignedBuffer(std::uint32_t size, std::uint32_t alignment) {
    if (size == 0)
        return;
    const std::uint32_t a = std::max(alignment, minimum_alignment);
    std::uint32_t rounded = 0;
    data_ = static_cast<std::byte*>(details::aligned_allocator{}.allocate(size, a, rounded));
    if (data_ == nullptr) {
        // This older message names line 99 whatever line the check sits on: the number is part of the text.
        std::string message = "alignedBuffer  [size == ";
        message += to_decimal_string(size);
        message += "]  at line: 99  failed in " AM_LIBRARY_SOURCE_PLAIN("am-common.cpp");
        message += "\n - default_allocator::allocate returned nullptr!";
        throw exceptional::allocationFailure(std::move(message));
    }
    capacity_ = rounded;
}

alignedBuffer& alignedBuffer::operator=(alignedBuffer&& other) noexcept {
    if (this != &other) {
        details::aligned_allocator{}.deallocate(data_, capacity_);
        capacity_ = std::exchange(other.capacity_, 0);
        data_ = std::exchange(other.data_, nullptr);
    }
    return *this;
}

alignedBuffer::~alignedBuffer() {
    if (data_ != nullptr)
        details::aligned_allocator{}.deallocate(data_, capacity_);
}

void alignedBuffer::resize(std::uint32_t size, std::uint32_t alignment) {
    const std::uint32_t a = std::max(alignment, minimum_alignment);
    const bool usable = data_ != nullptr && reinterpret_cast<std::uintptr_t>(data_) % a == 0;
    const bool needed = capacity_ < size || !usable;
    // Keep the block unless it is more than twice as large as needed.
    if (!needed && capacity_ / 2 <= size)
        return;
    const details::aligned_allocator allocator;
    if (size == 0) {
        // Like construction with size 0: no block at all.
        allocator.deallocate(data_, capacity_);
        data_ = nullptr;
        capacity_ = 0;
        return;
    }
    std::uint32_t rounded = 0;
    auto* block = static_cast<std::byte*>(allocator.allocate(size, a, rounded));
    if (block == nullptr) {
        if (needed)
            check_allocation(block, "resize", AM_LIBRARY_SOURCE_PLAIN("am-common.cpp"), size);
        return; // only shrinking: the old block still serves
    }
    if (data_ != nullptr) {
        std::memcpy(block, data_, std::min(capacity_, rounded));
        allocator.deallocate(data_, capacity_);
    }
    data_ = block;
    capacity_ = rounded;
}

// Constructed before every other static object of the module: the spin loops of static objects elsewhere
// may already read it.
extern const system_information system_info __attribute__((init_priority(101))) = {
    platform::processor_count(), details::windows_version_code(&platform::version_at_least)};

} // namespace cpp
