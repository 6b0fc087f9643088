#include "am-functional.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "thrown.h"

namespace {

using namespace cpp::details;
using cpp::moveonly_function;
using cpp::exceptional::empty_functional_invocation;
using std::uint32_t;

// What the counting allocator saw; its copies live in the function's block and report here.
struct allocation_log {
    int allocations = 0, deallocations = 0, copies = 0, disposals = 0;
    bool fail = false;
    uint32_t last_alignment = 0;
};

class counting_allocator final : public allocator_interface {
public:
    explicit counting_allocator(allocation_log& log) noexcept : log_(&log) {}
    counting_allocator(const counting_allocator& other) noexcept : log_(other.log_) { ++log_->copies; }

    void* allocate(uint32_t size, uint32_t alignment, uint32_t& actual) const noexcept override {
        if (log_->fail)
            return nullptr;
        ++log_->allocations;
        log_->last_alignment = alignment;
        return aligned_allocator::allocate(size, alignment, actual);
    }
    void deallocate(void* block, uint32_t size) const noexcept override {
        ++log_->deallocations;
        aligned_allocator::deallocate(block, size);
    }
    bool try_expand_in_place(uint32_t, void*, uint32_t, uint32_t&) const noexcept override { return false; }
    void copy_into(allocator_holder& holder) const noexcept override { holder.emplace(*this); }
    bool equals(const allocator_holder& holder) const noexcept override {
        return holder.get() != nullptr && holder->identity() == identity();
    }
    // Copies that report to one log are interchangeable.
    const void* identity() const noexcept override { return log_; }
    allocator_disposer get_method() const noexcept override { return &dispose; }

private:
    static void dispose(allocator_holder& holder) noexcept {
        const auto* copy = static_cast<const counting_allocator*>(holder.get());
        ++copy->log_->disposals;
        copy->~counting_allocator();
    }

    allocation_log* log_;
};

TEST(moveonly_function, moving_leaves_the_source_empty_and_calling_an_empty_function_throws) {
    EXPECT_THROW(moveonly_function<int(int)>()(1), empty_functional_invocation);
    int (*const missing)(int) = nullptr;
    EXPECT_FALSE(moveonly_function<int(int)>(missing).is_callable()) << "a null function pointer is empty";
    EXPECT_EQ(moveonly_function<int(int)>(+[](int value) { return 2 * value; })(21), 42);

    moveonly_function<int(int)> source = [offset = 40](int value) { return value + offset; };
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

TEST(moveonly_function, passes_arguments_of_every_kind_and_returns_a_pair) {
    using result = std::pair<void*, double>;
    moveonly_function<result(void*, std::unique_ptr<int>, std::string&, float, long long, double, char)>
        call = [](void* context, std::unique_ptr<int> value, std::string& out, float f, long long l, double d,
                  char c) {
            out = std::to_string(*value);
            return result(static_cast<char*>(context) + 1, f + static_cast<double>(l) + d + c);
        };
    char context[2] = {};
    std::string text;
    EXPECT_EQ(call(context, std::make_unique<int>(6), text, 0.5f, 0x100000000LL, 0.25, 2),
              result(context + 1, 4294967298.75));
    EXPECT_EQ(text, "6");
}

// Too large for the inline area; it moves, but copying it throws.
struct bulky {
    char payload[160] = {};
    bulky() = default;
    bulky(bulky&&) noexcept = default;
    bulky(const bulky&) { throw std::runtime_error("copy failed"); }
    int operator()() const { return 1; }
};

TEST(moveonly_function, a_failing_allocation_or_closure_copy_throws_and_leaves_nothing_behind) {
    allocation_log log;
    {
        const counting_allocator allocator(log);
        bulky callable;
        log.fail = true;
        EXPECT_EQ(thrown_text<cpp::exceptional::allocationFailure>(
                      [&] { moveonly_function<int()>(std::move(callable), allocator); }),
                  "moveonly_function_impl failed in " AM_LIBRARY_HEADER_PLAIN(
                      "am-functional.h") "\n - allocation routine returned nullptr:  size == " +
                      std::to_string(sizeof(bulky) + 2 * sizeof(void*) + sizeof(allocator_holder)));
        EXPECT_EQ(log.copies, 0);
        log.fail = false;
        EXPECT_THROW((void)moveonly_function<int()>(callable, allocator), std::runtime_error);
        EXPECT_EQ(log.allocations, 1);
        EXPECT_EQ(log.deallocations, 1) << "the block goes back when the closure cannot be copied in";
    }
    EXPECT_EQ(log.disposals, log.copies);
}

// A closure of exactly Size bytes with the given alignment that counts its live instances; calling it
// checks that its bytes survived every move and answers where it lives (null when they were damaged).
template <std::size_t Size, std::size_t Alignment> struct sized_closure {
    static inline int alive = 0;
    alignas(Alignment) unsigned char bytes[Size];

    explicit sized_closure(unsigned char seed) noexcept {
        for (std::size_t i = 0; i != Size; ++i)
            bytes[i] = static_cast<unsigned char>(seed + i);
        ++alive;
    }
    sized_closure(const sized_closure& other) noexcept {
        std::memcpy(bytes, other.bytes, Size);
        ++alive;
    }
    ~sized_closure() { --alive; }
    const void* operator()() const noexcept {
        for (std::size_t i = 1; i != Size; ++i)
            if (bytes[i] != static_cast<unsigned char>(bytes[0] + i))
                return nullptr;
        return this;
    }
};

using function = moveonly_function<const void*()>;
static_assert(std::is_nothrow_move_constructible_v<function> && std::is_nothrow_move_assignable_v<function>);

// Builds a function holding Closure in each of four objects whose addresses differ modulo 16, with an
// allocator that is gone before the function is, and moves it once round them, over the functions left
// there. Guard bytes after each object must survive whatever it holds.
template <class Closure, bool Inline> void relocate_around_four_addresses() {
    static_assert(function::stores_inline<Closure> == Inline);
    constexpr std::size_t guard = 32, stride = (sizeof(function) + guard + 15) / 16 * 16 + sizeof(void*);
    alignas(64) unsigned char bytes[4 * stride];
    std::memset(bytes, 0xCD, sizeof(bytes));
    const auto at = [&](std::size_t i) { return reinterpret_cast<function*>(bytes + i * stride); };
    allocation_log log;
    for (std::size_t i = 0; i != 4; ++i)
        ::new (at(i)) function();
    for (std::size_t first = 0; first != 4; ++first) {
        *at(first) = function(Closure(static_cast<unsigned char>(first)), counting_allocator(log));
        for (std::size_t hop = 1; hop != 5; ++hop) {
            const std::size_t from = (first + hop - 1) % 4, to = (first + hop) % 4;
            *at(to) = std::move(*at(from));
            const void* where = (*at(to))();
            ASSERT_NE(where, nullptr) << "closure damaged moving from object " << from << " to " << to;
            EXPECT_EQ(address(where) % alignof(Closure), 0u);
            EXPECT_EQ(address(where) >= address(at(to)) &&
                          address(where) + sizeof(Closure) <= address(at(to) + 1),
                      Inline);
            const auto* after = reinterpret_cast<unsigned char*>(at(to) + 1);
            EXPECT_TRUE(std::all_of(after, after + guard, [](unsigned char b) { return b == 0xCD; })) << to;
        }
    }
    EXPECT_EQ(log.allocations, Inline ? 0 : 4) << "moving never allocates";
    EXPECT_EQ(log.last_alignment, Inline ? 0u : std::max<uint32_t>(alignof(Closure), 8));
    for (std::size_t i = 0; i != 4; ++i)
        at(i)->~function();
    EXPECT_EQ(log.deallocations, log.allocations)
        << "each block goes back through the allocator copy it keeps";
    EXPECT_EQ(log.disposals, log.copies) << "every allocator copy is disposed of";
    EXPECT_EQ(Closure::alive, 0) << "every closure is ended exactly once";
}

// The largest closure that still fits beside the interface and relocation function in the 92 bytes.
constexpr std::size_t inline_limit = 84;

TEST(moveonly_function, placement_does_not_depend_on_the_address_of_the_function_object) {
    relocate_around_four_addresses<sized_closure<inline_limit, 4>, true>();
    relocate_around_four_addresses<sized_closure<inline_limit + 4, 4>, false>();
    // Over-aligned closures need slack inside the area; they live inline only when the worst case fits.
    relocate_around_four_addresses<sized_closure<cpp::details::function_inline_size - 28, 16>, true>();
    relocate_around_four_addresses<sized_closure<32, 32>, true>();
    relocate_around_four_addresses<sized_closure<64, 64>, false>();
}

} // namespace
