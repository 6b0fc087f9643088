// Foundation: the growable array with inline storage, the fixed-length aligned heap array and the checked
// view of a contiguous array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "am-collections.h"
#include "am-common.h"

namespace cpp {

namespace ranges {

[[noreturn, gnu::cold]] inline void throw_index_out_of_range() {
    constexpr auto message =
        failure_message("validate_index", "1366", AM_LIBRARY_HEADER("am-resizable-array.h"),
                        "supplied index is out of range!");
    throw std::out_of_range(message.c_str());
}

[[noreturn, gnu::cold]] inline void throw_range_out_of_range() {
    constexpr auto message =
        failure_message("validate_range", "1374", AM_LIBRARY_HEADER("am-resizable-array.h"),
                        "range_boundary is out of range!");
    throw std::out_of_range(message.c_str());
}

// A pointer and a count viewing a contiguous array; owns nothing, passed by value.
template <class T> class array_range {
public:
    using value_type = std::remove_const_t<T>;

    constexpr array_range() noexcept = default;
    constexpr array_range(T* data, std::uint32_t count) noexcept : data_(data), count_(count) {}
    template <std::size_t Count>
    constexpr array_range(T (&array)[Count]) noexcept
        : data_(array), count_(static_cast<std::uint32_t>(Count)) {}
    // A view of mutable elements is also a view of constant ones.
    template <class U>
    requires(std::is_same_v<const U, T> &&
             !std::is_same_v<U, T>) constexpr array_range(array_range<U> other) noexcept
        : data_(other.data()), count_(other.size()) {}

    constexpr T* data() const noexcept { return data_; }
    constexpr std::uint32_t size() const noexcept { return count_; }
    constexpr bool empty() const noexcept { return count_ == 0; }
    constexpr T* begin() const noexcept { return data_; }
    constexpr T* end() const noexcept { return data_ + count_; }

    // Unchecked.
    constexpr T& operator[](std::uint32_t index) const noexcept { return data_[index]; }
    // Checked: an index at or past the end throws std::out_of_range.
    T& operator()(std::uint32_t index) const {
        if (index >= count_)
            throw std::out_of_range("operator ()");
        return data_[index];
    }

    void validate_index(std::uint32_t index) const {
        if (index >= count_)
            throw_index_out_of_range();
    }
    // The inclusive range first..last must lie inside; first == last + 1 is the empty range (so 0, count - 1
    // passes on an empty view). Both bounds compare unsigned: a first index that reads as negative is
    // outside, not before the start.
    void validate_range(std::uint32_t first, std::uint32_t last) const {
        const std::uint32_t end = last + 1;
        if (end > count_ || first > end)
            throw_range_out_of_range();
    }

private:
    T* data_ = nullptr;
    std::uint32_t count_ = 0;
};

} // namespace ranges

namespace details {

// Element blocks of the arrays: the aligned heap, at least 4-byte aligned; counts whose byte size does not
// fit 32 bits fail like an exhausted heap.
template <class T> struct element_blocks {
    using heap = storage::typed_allocator<aligned_allocator>;
    static constexpr std::uint32_t alignment = alignof(T) > 4 ? alignof(T) : 4;

    static T* allocate(std::uint32_t count, std::uint32_t& actual_count) noexcept {
        return heap::template allocate_elements<T>(count, alignment, actual_count);
    }
    static void deallocate(T* block, std::uint32_t count) noexcept {
        heap::deallocate_elements(block, count);
    }

    // Moves count elements into uninitialised storage and ends the originals. Types whose move can throw
    // are copied instead, so a throw leaves the originals intact and nothing constructed at the target.
    static void relocate(T* from, std::uint32_t count, T* to) {
        if constexpr (std::is_trivially_copyable_v<T>) {
            if (count != 0)
                std::memcpy(static_cast<void*>(to), static_cast<const void*>(from), count * sizeof(T));
        } else if constexpr (std::is_nothrow_move_constructible_v<T>) {
            for (std::uint32_t i = 0; i != count; ++i) {
                ::new (static_cast<void*>(to + i)) T(std::move(from[i]));
                from[i].~T();
            }
        } else {
            std::uninitialized_copy(from, from + count, to);
            std::destroy(from, from + count);
        }
    }
};

} // namespace details

// A growable array that keeps up to N elements inline and moves to the aligned heap beyond that, growing by
// calc_reserve. Growth that fails throws exceptional::allocationFailure and leaves the array as it was.
template <class T, std::uint32_t N> class resizable_array {
    static_assert(N < 0x1fffffff, "inline capacity beyond the growth rule's range");
    using blocks = details::element_blocks<T>;

public:
    using value_type = T;

    resizable_array() noexcept = default;
    resizable_array(const resizable_array&) = delete;
    resizable_array& operator=(const resizable_array&) = delete;
    ~resizable_array() {
        std::destroy(data_, data_ + size_);
        if (data_ != inline_data())
            blocks::deallocate(data_, capacity_);
    }

    void push_back(const T& element) { emplace_back(element); }
    void push_back(T&& element) { emplace_back(std::move(element)); }

    template <class... Args> T& emplace_back(Args&&... args) {
        // Fields read once, size written last: an element of type int may alias the 32-bit fields as far as
        // the compiler knows, and would otherwise force them back to memory on every push.
        const std::uint32_t size = size_;
        if (size == capacity_) [[unlikely]]
            return emplace_back_growing(std::forward<Args>(args)...);
        T* const element = ::new (static_cast<void*>(data_ + size)) T(std::forward<Args>(args)...);
        size_ = size + 1;
        return *element;
    }

    // Makes room for n elements; false, with the array unchanged, when the block cannot be had.
    bool try_reserve(std::uint32_t n) {
        if (n <= capacity_)
            return true;
        std::uint32_t actual = 0;
        std::uint32_t old_bytes = 0;
        std::uint32_t new_bytes = 0;
        if (data_ != inline_data() && details::checked_byte_size(n, sizeof(T), new_bytes) &&
            details::checked_byte_size(capacity_, sizeof(T), old_bytes) &&
            blocks::heap::try_expand_in_place(old_bytes, data_, new_bytes, actual)) {
            capacity_ = actual / sizeof(T);
            return true;
        }
        T* const block = blocks::allocate(n, actual);
        if (block == nullptr)
            return false;
        adopt(block, actual);
        return true;
    }

    // Ends the elements from new_size on. With shrink, an array much larger than needed moves back to its
    // inline storage or to a smaller block; a shrink that cannot get its block keeps the old one.
    void truncate(std::uint32_t new_size, bool shrink) {
        if (new_size >= size_)
            return;
        std::destroy(data_ + new_size, data_ + size_);
        size_ = new_size;
        if (!shrink || new_size >= 0x0fffffff)
            return;
        const std::uint32_t target = calc_reserve(calc_reserve(new_size, N), N);
        if (capacity_ <= target)
            return;
        if (new_size <= N) {
            blocks::relocate(data_, size_, inline_data());
            blocks::deallocate(data_, capacity_);
            data_ = inline_data();
            capacity_ = N;
            return;
        }
        std::uint32_t actual = 0;
        T* const block = blocks::allocate(new_size, actual);
        if (block != nullptr)
            adopt(block, actual);
    }

    std::uint32_t size() const noexcept { return size_; }
    std::uint32_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    T& operator[](std::uint32_t index) noexcept { return data_[index]; }
    const T& operator[](std::uint32_t index) const noexcept { return data_[index]; }
    ranges::array_range<T> range() noexcept { return {data_, size_}; }
    ranges::array_range<const T> range() const noexcept { return {data_, size_}; }

private:
    T* inline_data() noexcept { return reinterpret_cast<T*>(inline_); }

    template <class... Args> T& emplace_back_growing(Args&&... args) {
        // The arguments may refer to an element of this very array, whose storage the growth frees: build
        // the new element before growing.
        T element(std::forward<Args>(args)...);
        reserve_storage();
        T* const slot = ::new (static_cast<void*>(data_ + size_)) T(std::move(element));
        ++size_;
        return *slot;
    }

    void reserve_storage() {
        const std::uint32_t n = calc_reserve(size_ + 1, N);
        if (!try_reserve(n))
            throw_allocation_failure("reserve_storage", AM_LIBRARY_HEADER_PLAIN("am-resizable-array.h"),
                                     std::uint64_t{n} * sizeof(T));
    }

    // Moves the elements into block (of actual elements) and frees the old heap block.
    void adopt(T* block, std::uint32_t actual) {
        auto guard = make_rollback_guard([&] { blocks::deallocate(block, actual); });
        blocks::relocate(data_, size_, block);
        if (data_ != inline_data())
            blocks::deallocate(data_, capacity_);
        data_ = block;
        capacity_ = actual;
    }

    T* data_ = inline_data();
    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = N;
    alignas(T) unsigned char inline_[N == 0 ? 1 : N * sizeof(T)];
};

// A fixed-length copy of a range on the aligned heap (alignment 4); not growable, movable.
template <class T> class aligned_array {
    using blocks = details::element_blocks<T>;

public:
    using value_type = T;

    aligned_array() noexcept = default;

    explicit aligned_array(ranges::array_range<const T> source) {
        const std::uint32_t count = source.size();
        if (count == 0)
            return;
        std::uint32_t actual = 0;
        T* const block = count < 0x7fffffff / sizeof(T) ? blocks::allocate(count, actual) : nullptr;
        check_allocation(block, "aligned_array", AM_LIBRARY_HEADER_PLAIN("am-resizable-array.h"),
                         std::uint64_t{count} * sizeof(T));
        auto guard = make_rollback_guard([&] { blocks::deallocate(block, count); });
        std::uninitialized_copy(source.begin(), source.end(), block);
        data_ = block;
        count_ = count;
    }
    explicit aligned_array(ranges::array_range<T> source)
        : aligned_array(ranges::array_range<const T>(source)) {}

    aligned_array(aligned_array&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), count_(std::exchange(other.count_, 0)) {}
    aligned_array& operator=(aligned_array&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            count_ = std::exchange(other.count_, 0);
        }
        return *this;
    }
    aligned_array(const aligned_array&) = delete;
    aligned_array& operator=(const aligned_array&) = delete;
    ~aligned_array() { release(); }

    std::uint32_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + count_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + count_; }
    T& operator[](std::uint32_t index) noexcept { return data_[index]; }
    const T& operator[](std::uint32_t index) const noexcept { return data_[index]; }
    ranges::array_range<T> range() noexcept { return {data_, count_}; }
    ranges::array_range<const T> range() const noexcept { return {data_, count_}; }

private:
    void release() noexcept {
        if (data_ != nullptr) {
            std::destroy(data_, data_ + count_);
            blocks::deallocate(data_, count_);
            data_ = nullptr;
            count_ = 0;
        }
    }

    T* data_ = nullptr;
    std::uint32_t count_ = 0;
};

} // namespace cpp
