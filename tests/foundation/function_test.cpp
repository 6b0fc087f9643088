#include "am-functional.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using cpp::moveonly_function;
using cpp::exceptional::empty_functional_invocation;

std::uintptr_t address(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

// What the counting allocator saw; its copies live in the function's block and report here.
struct allocation_log {
    int allocations = 0;
    int deallocations = 0;
    int copies = 0;
    int disposals = 0;
    bool fail = false;
    void* last_block = nullptr;
    std::uint32_t last_size = 0;
    std::uint32_t last_alignment = 0;
    void* last_freed = nullptr;
    std::uint32_t last_freed_size = 0;
};

class counting_allocator final : public cpp::details::allocator_interface {
public:
    explicit counting_allocator(allocation_log& log) noexcept : log_(&log) {}
    counting_allocator(const counting_allocator& other) noexcept : log_(other.log_) { ++log_->copies; }

    void* allocate(std::uint32_t size, std::uint32_t alignment,
                   std::uint32_t& actual) const noexcept override {
        if (log_->fail)
            return nullptr;
        ++log_->allocations;
        log_->last_size = size;
        log_->last_alignment = alignment;
        log_->last_block = heap_.allocate(size, alignment, actual);
        return log_->last_block;
    }
    void deallocate(void* block, std::uint32_t size) const noexcept override {
        ++log_->deallocations;
        log_->last_freed = block;
        log_->last_freed_size = size;
        heap_.deallocate(block, size);
    }
    bool try_expand_in_place(std::uint32_t, void*, std::uint32_t, std::uint32_t&) const noexcept override {
        return false;
    }
    void copy_into(cpp::details::allocator_holder& holder) const noexcept override { holder.emplace(*this); }
    bool equals(const cpp::details::allocator_holder& holder) const noexcept override {
        return holder.get() != nullptr && holder->identity() == identity();
    }
    const void* identity() const noexcept override { return &kind; }
    cpp::details::allocator_disposer get_method() const noexcept override { return &dispose; }

private:
    static constexpr char kind = 0;
    static void dispose(cpp::details::allocator_holder& holder) noexcept {
        const auto* copy = static_cast<const counting_allocator*>(holder.get());
        ++copy->log_->disposals;
        copy->~counting_allocator();
    }

    allocation_log* log_;
    cpp::details::aligned_allocator heap_;
};

// A closure of exactly Size bytes with the given alignment; calling it checks that its bytes survived
// every move and answers where it lives (null when its bytes were damaged).
template <std::size_t Size, std::size_t Alignment> struct sized_closure {
    static_assert(Size % Alignment == 0);
    alignas(Alignment) unsigned char bytes[Size];

    explicit sized_closure(unsigned char seed) noexcept {
        for (std::size_t i = 0; i != Size; ++i)
            bytes[i] = static_cast<unsigned char>(seed + i);
    }
    const void* operator()() const noexcept {
        for (std::size_t i = 1; i != Size; ++i)
            if (bytes[i] != static_cast<unsigned char>(bytes[0] + i))
                return nullptr;
        return this;
    }
};

// The largest closure that still fits beside the interface and relocation function in the 92 bytes (84 on
// the 32-bit build; the native 64-bit build has wider pointers and rounds the implementation to 8).
constexpr std::size_t inline_limit = sizeof(void*) == 4 ? 84 : 72;
using largest_inline = sized_closure<inline_limit, 4>;
using smallest_outside = sized_closure<inline_limit + 4, 4>;
using function = moveonly_function<const void*()>;

static_assert(function::stores_inline<largest_inline>);
static_assert(!function::stores_inline<smallest_outside>);
static_assert(std::is_nothrow_move_constructible_v<function> && std::is_nothrow_move_assignable_v<function>);
static_assert(!std::is_copy_constructible_v<function>);
static_assert(sizeof(function) == sizeof(void*) + 92 + (sizeof(void*) == 4 ? 0 : 4));

TEST(moveonly_function, an_empty_function_is_not_callable_and_throws_when_called) {
    const moveonly_function<int(int)> empty;
    EXPECT_FALSE(empty.is_callable());
    EXPECT_THROW(empty(1), empty_functional_invocation);
    EXPECT_THROW(empty(1), std::exception) << "derives from std::exception";
    EXPECT_FALSE(empty.is_callable()) << "stays empty after the failed call";
}

TEST(moveonly_function, a_moved_from_function_is_empty_and_the_target_calls) {
    moveonly_function<int(int)> source = [offset = 40](int value) { return value + offset; };
    ASSERT_TRUE(source.is_callable());

    moveonly_function<int(int)> constructed(std::move(source));
    EXPECT_FALSE(source.is_callable());
    EXPECT_THROW(source(0), empty_functional_invocation);
    EXPECT_EQ(constructed(2), 42);

    moveonly_function<int(int)> assigned = [](int value) { return -value; };
    assigned = std::move(constructed);
    EXPECT_FALSE(constructed.is_callable());
    EXPECT_EQ(assigned(2), 42);

    auto& self = assigned;
    assigned = std::move(self);
    EXPECT_EQ(assigned(2), 42) << "moving onto itself keeps the callable";
}

TEST(moveonly_function, ends_an_inline_closure_exactly_once) {
    const auto shared = std::make_shared<int>(7);
    {
        moveonly_function<int()> first = [copy = shared] { return *copy; };
        EXPECT_EQ(shared.use_count(), 2);
        moveonly_function<int()> second(std::move(first));
        EXPECT_EQ(shared.use_count(), 2) << "relocation ends the source's closure";
        first = [copy = shared] { return *copy + 1; };
        EXPECT_EQ(shared.use_count(), 3);
        first = std::move(second);
        EXPECT_EQ(shared.use_count(), 2) << "assignment ends the target's closure";
        EXPECT_EQ(first(), 7);
    }
    EXPECT_EQ(shared.use_count(), 1);
}

bool answer_yes() {
    return true;
}

TEST(moveonly_function, holds_a_plain_function_and_makes_a_null_one_empty) {
    const moveonly_function<bool(), 1> predicate = &answer_yes;
    EXPECT_TRUE(predicate());
    bool (*const missing)() = nullptr;
    const moveonly_function<bool(), 1> none = missing;
    EXPECT_FALSE(none.is_callable());
    EXPECT_THROW(none(), empty_functional_invocation);
}

TEST(moveonly_function, passes_arguments_of_every_kind_and_returns_a_pair) {
    int target = 0;
    moveonly_function<std::pair<void*, unsigned>(void*, unsigned, unsigned)> select =
        [&target](void* context, unsigned width, unsigned height) {
            return std::pair<void*, unsigned>(static_cast<char*>(context) + 1, width * height + target);
        };
    target = 5;
    char context[2] = {};
    const auto selected = select(context, 3, 4);
    EXPECT_EQ(selected.first, context + 1);
    EXPECT_EQ(selected.second, 17u);

    moveonly_function<int(std::unique_ptr<int>, std::string&)> take = [](std::unique_ptr<int> value,
                                                                         std::string& out) {
        out = std::to_string(*value);
        return *value + 1;
    };
    std::string text;
    EXPECT_EQ(take(std::make_unique<int>(6), text), 7);
    EXPECT_EQ(text, "6");

    moveonly_function<double(float, long long, double, char)> mix =
        [](float f, long long l, double d, char c) { return f + static_cast<double>(l) + d + c; };
    EXPECT_DOUBLE_EQ(mix(0.5f, 0x100000000LL, 0.25, 2), 4294967298.75);
}

TEST(moveonly_function, a_closure_over_the_limit_goes_to_a_block_of_the_given_allocator_aligned_to_8) {
    allocation_log log;
    void* first_block = nullptr;
    {
        const counting_allocator allocator(log);
        const function large(sized_closure<144, 4>(3), allocator);
        void* const large_block = log.last_block;
        EXPECT_EQ(log.allocations, 1);
        EXPECT_EQ(log.last_alignment, 8u);
        EXPECT_EQ(address(log.last_block) % 8, 0u);
        const void* where = large();
        ASSERT_NE(where, nullptr);
        EXPECT_GT(address(where), address(log.last_block));
        EXPECT_LE(address(where) + 144, address(log.last_block) + log.last_size);
        EXPECT_EQ(log.copies, 1) << "the block keeps one copy of the allocator";

        const function just_over(smallest_outside(5), allocator);
        EXPECT_EQ(log.allocations, 2);
        EXPECT_NE(just_over(), nullptr);
        first_block = large_block;
    }
    EXPECT_EQ(log.deallocations, 2) << "each block goes back through the allocator copy it keeps";
    EXPECT_EQ(log.last_freed, first_block) << "destroyed in reverse order";
    EXPECT_EQ(log.disposals, log.copies) << "every allocator copy is disposed of";
}

TEST(moveonly_function, moving_a_block_function_leaves_the_block_where_it_was) {
    allocation_log log;
    const counting_allocator allocator(log);
    function source(sized_closure<144, 4>(7), allocator);
    const void* before = source();
    function target(std::move(source));
    EXPECT_EQ(target(), before);
    function assigned;
    assigned = std::move(target);
    EXPECT_EQ(assigned(), before);
    EXPECT_EQ(log.allocations, 1) << "moving never allocates";
    EXPECT_EQ(log.deallocations, 0);
}

// Counts live instances, so a test can see that nothing was left behind.
struct tracked {
    static inline int alive = 0;
    static inline bool fail_copy = false;
    std::array<char, 160> payload{};
    tracked() noexcept { ++alive; }
    tracked(const tracked&) {
        if (fail_copy)
            throw std::runtime_error("copy failed");
        ++alive;
    }
    tracked(tracked&&) noexcept { ++alive; }
    ~tracked() { --alive; }
    int operator()() const { return 1; }
};

TEST(moveonly_function, a_failing_allocation_throws_and_leaves_nothing_behind) {
    allocation_log log;
    log.fail = true;
    const counting_allocator allocator(log);
    {
        tracked callable;
        try {
            const moveonly_function<int()> never(std::move(callable), allocator);
            FAIL() << "no exception";
        } catch (const cpp::exceptional::allocationFailure& failure) {
            const std::string expected =
                "moveonly_function_impl failed in " AM_LIBRARY_HEADER_PLAIN(
                    "am-functional.h") "\n - allocation routine returned nullptr:  size == " +
                std::to_string(sizeof(tracked) + 2 * sizeof(void*) + sizeof(cpp::details::allocator_holder));
            EXPECT_EQ(failure.what(), expected);
        }
    }
    EXPECT_EQ(tracked::alive, 0);
    EXPECT_EQ(log.copies, 0);
}

TEST(moveonly_function, a_throwing_copy_of_the_closure_returns_the_block) {
    allocation_log log;
    const counting_allocator allocator(log);
    {
        const tracked callable;
        tracked::fail_copy = true;
        EXPECT_THROW((void)moveonly_function<int()>(callable, allocator), std::runtime_error);
        tracked::fail_copy = false;
    }
    EXPECT_EQ(log.allocations, 1);
    EXPECT_EQ(log.deallocations, 1);
    EXPECT_EQ(log.last_freed, log.last_block);
    EXPECT_EQ(tracked::alive, 0);
}

// Function objects at four addresses that differ modulo 16, each followed by guard bytes that must
// survive whatever the function holds.
class relocation_arena {
public:
    static constexpr std::size_t guard = 32;
    static constexpr std::size_t slot = (sizeof(function) + 15) / 16 * 16 + 16 + guard;

    relocation_arena() {
        std::memset(bytes_, 0xCD, sizeof(bytes_));
        for (std::size_t i = 0; i != 4; ++i)
            ::new (at(i)) function();
    }
    ~relocation_arena() {
        for (std::size_t i = 0; i != 4; ++i)
            at(i)->~function();
    }
    // Object i lies at offset 4 * i from a 64-byte boundary (pointer alignment is all it may rely on).
    function* at(std::size_t i) { return reinterpret_cast<function*>(bytes_ + i * slot + i * sizeof(void*)); }
    bool guards_intact(std::size_t i) {
        const unsigned char* after = reinterpret_cast<unsigned char*>(at(i)) + sizeof(function);
        for (std::size_t k = 0; k != guard; ++k)
            if (after[k] != 0xCD)
                return false;
        return true;
    }

private:
    alignas(64) unsigned char bytes_[4 * slot + 64];
};

template <class Closure> void relocate_around_the_arena(bool expect_inline) {
    allocation_log log;
    const counting_allocator allocator(log);
    relocation_arena arena;
    for (std::size_t first = 0; first != 4; ++first) {
        *arena.at(first) = function(Closure(static_cast<unsigned char>(first)), allocator);
        for (std::size_t hop = 1; hop != 5; ++hop) {
            const std::size_t from = (first + hop - 1) % 4;
            const std::size_t to = (first + hop) % 4;
            *arena.at(to) = std::move(*arena.at(from));
            const void* where = (*arena.at(to))();
            ASSERT_NE(where, nullptr) << "closure damaged moving from object " << from << " to " << to;
            EXPECT_EQ(address(where) % alignof(Closure), 0u);
            const bool inside = address(where) >= address(arena.at(to)) &&
                                address(where) + sizeof(Closure) <= address(arena.at(to)) + sizeof(function);
            EXPECT_EQ(inside, expect_inline);
            EXPECT_TRUE(arena.guards_intact(to)) << "overran the object at " << to;
            EXPECT_FALSE(arena.at(from)->is_callable());
        }
    }
    EXPECT_EQ(log.allocations, expect_inline ? 0 : 4) << "the address never changes where a callable lives";
}

TEST(moveonly_function, placement_does_not_depend_on_the_address_of_the_function_object) {
    relocate_around_the_arena<largest_inline>(true);
    relocate_around_the_arena<smallest_outside>(false);
    // Over-aligned closures need slack inside the area; they live inline only when the worst case fits.
    using aligned_16 = sized_closure<cpp::details::function_inline_size - 28, 16>;
    static_assert(function::stores_inline<aligned_16>);
    relocate_around_the_arena<aligned_16>(true);
    using aligned_32 = sized_closure<32, 32>;
    static_assert(function::stores_inline<aligned_32>);
    relocate_around_the_arena<aligned_32>(true);
    using aligned_64 = sized_closure<64, 64>;
    static_assert(!function::stores_inline<aligned_64>);
    relocate_around_the_arena<aligned_64>(false);
}

} // namespace
