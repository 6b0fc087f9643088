// Foundation: the slot array under the ring queues. A power-of-two number of 128-byte slots in one
// 64-byte-aligned block, so that two neighbouring slots never share a cache line and a position maps to
// its slot by a mask.
#pragma once

#include <cstdint>
#include <new>
#include <string>

#include "am-common.h"

namespace cpp::details {

[[noreturn, gnu::cold]] inline void throw_concurrent_length_in_constructor() {
    constexpr auto message =
        failure_message("concurrent_storage", "75", AM_LIBRARY_HEADER("am-concurrent-array.h"),
                        "length of concurrent array must not exceed 0x40000000!");
    throw exceptional::allocationFailure(std::string(message.c_str(), message.size()));
}

[[noreturn, gnu::cold]] inline void throw_concurrent_length_in_reconstruct() {
    constexpr auto message = failure_message("reconstruct", "112", AM_LIBRARY_HEADER("am-concurrent-array.h"),
                                             "length of concurrent array must not exceed 0x40000000!");
    throw exceptional::allocationFailure(std::string(message.c_str(), message.size()));
}

// Slot is the queue's slot type: exactly 128 bytes, default-constructed into the free state.
template <class Slot> class concurrent_storage {
    static_assert(sizeof(Slot) == 128, "a slot fills exactly two cache lines");

public:
    static constexpr std::uint32_t slot_alignment = 64;
    static constexpr std::uint32_t longest_length = 0x40000000;

    // The capacity is length (at least 1) rounded up to a power of two.
    explicit concurrent_storage(std::uint32_t length) {
        if (length > longest_length)
            throw_concurrent_length_in_constructor();
        install(allocate(length, "concurrent_storage"));
    }

    concurrent_storage(const concurrent_storage&) = delete;
    concurrent_storage& operator=(const concurrent_storage&) = delete;
    ~concurrent_storage() { release(slots_, mask_ + 1); }

    // Replaces every slot by a fresh one for a new capacity. The new block is taken before the old one is
    // given back, so a failure leaves the storage as it was. The elements must have been destroyed.
    void reconstruct(std::uint32_t length) {
        if (length > longest_length)
            throw_concurrent_length_in_reconstruct();
        const block fresh = allocate(length, "reconstruct");
        release(slots_, mask_ + 1);
        install(fresh);
    }

    Slot& operator[](std::uint32_t position) const noexcept { return slots_[position & mask_]; }
    Slot* begin() const noexcept { return slots_; }
    Slot* end() const noexcept { return slots_ + mask_ + 1; }
    std::uint32_t mask() const noexcept { return mask_; }
    std::uint32_t capacity() const noexcept { return mask_ + 1; }
    std::uint32_t line_mask() const noexcept { return line_mask_; }
    std::uint32_t line_shift() const noexcept { return line_shift_; }

private:
    struct block {
        Slot* slots;
        std::uint32_t capacity;
    };

    static std::uint32_t round_up_to_power_of_two(std::uint32_t length) noexcept {
        std::uint32_t capacity = 1;
        while (capacity < length)
            capacity <<= 1;
        return capacity;
    }

    static block allocate(std::uint32_t length, const char* method) {
        const std::uint32_t capacity = round_up_to_power_of_two(length);
        const std::uint64_t size = std::uint64_t{capacity} * sizeof(Slot);
        // Blocks beyond 2 GB do not exist in a 32-bit process; the largest capacity counts as exhausted
        // memory on every build.
        void* memory = nullptr;
        if (capacity < 0xffffff) {
            std::uint32_t actual = 0;
            memory = aligned_allocator::allocate(static_cast<std::uint32_t>(size), slot_alignment, actual);
        }
        check_allocation(memory, method, AM_LIBRARY_HEADER_PLAIN("am-concurrent-array.h"), size);
        auto* slots = static_cast<Slot*>(memory);
        for (std::uint32_t i = 0; i != capacity; ++i)
            ::new (static_cast<void*>(slots + i)) Slot();
        return {slots, capacity};
    }

    static void release(Slot* slots, std::uint32_t capacity) noexcept {
        for (std::uint32_t i = 0; i != capacity; ++i)
            slots[i].~Slot();
        aligned_allocator::deallocate(slots, capacity * static_cast<std::uint32_t>(sizeof(Slot)));
    }

    void install(block fresh) noexcept {
        slots_ = fresh.slots;
        mask_ = fresh.capacity - 1;
        const std::uint32_t lines = fresh.capacity * (sizeof(Slot) / slot_alignment);
        line_mask_ = lines - 1;
        line_shift_ = 0;
        while ((std::uint32_t{1} << line_shift_) < lines)
            ++line_shift_;
    }

    Slot* slots_ = nullptr;
    std::uint32_t mask_ = 0;
    std::uint32_t line_mask_ = 0;
    std::uint32_t line_shift_ = 0;
};

} // namespace cpp::details
