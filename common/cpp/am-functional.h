// Foundation: the move-only, type-erased callable that carries every callback, job, posted task and
// thread body of the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

#include "am-collections.h"
#include "am-common.h"

namespace cpp {

namespace exceptional {

// A function that holds nothing was called. No text of its own.
class empty_functional_invocation : public virtual std::exception {};

} // namespace exceptional

namespace details {

// Bytes a function object keeps callables in without going to an allocator.
inline constexpr std::size_t function_inline_size = 92;
// The inline area follows the implementation pointer, so this is all its address is known to be aligned to.
inline constexpr std::size_t function_area_alignment = alignof(void*);

// The room an implementation needs in the area wherever the area lies: its size plus the most that
// aligning it inside the area can skip.
template <class Impl>
inline constexpr std::size_t inline_footprint = sizeof(Impl) + (alignof(Impl) > function_area_alignment
                                                                    ? alignof(Impl) - function_area_alignment
                                                                    : 0);

template <class R, class... Args> class f_interface;

// What the implementations of a function act on: the implementation pointer, then the inline area.
template <class R, class... Args> struct function_slots {
    f_interface<R, Args...>* impl;
    alignas(function_area_alignment) unsigned char area[function_inline_size];
};

#if defined(__i386__)
// Member functions default to thiscall on 32-bit Windows: arguments on the stack, popped by the callee,
// the caller re-adjusting its stack pointer after every call. Passing the first three in registers makes a
// call through a function object as cheap as one through a plain function pointer that gets its state
// address for free. Caller and callee always see the same declaration, so the convention is internal.
#define AM_INVOKE_CONVENTION __attribute__((regparm(3)))
#else
#define AM_INVOKE_CONVENTION
#endif

// Scalars travel to the implementation by value, everything else by reference, so a call forwards its
// arguments once and copies nothing that is expensive to copy.
template <class T> using call_param = std::conditional_t<std::is_scalar_v<T>, T, T&&>;

// What every implementation begins with: its virtual operations, then its relocation function.
template <class R, class... Args> class f_interface {
public:
    using slots = function_slots<R, Args...>;
    // Destroys the implementation held by the given function object; get_destroyer answers null when that
    // takes no work (an empty function, a trivially destructible closure kept inline).
    using destroyer = void (*)(slots& function) noexcept;
    // Makes destination hold what source holds, ending source's implementation; leaves source's pointer
    // for the caller to reset.
    using relocator = void (*)(slots& source, slots& destination) noexcept;

    virtual R AM_INVOKE_CONVENTION invoke(call_param<Args>... args) = 0;
    virtual bool is_callable() const noexcept = 0;
    virtual destroyer get_destroyer() const noexcept = 0;

    const relocator relocate;

protected:
    explicit f_interface(relocator relocate) noexcept : relocate(relocate) {}
    // Implementations end through their destroyer, never through this base.
    ~f_interface() = default;
};

template <class Signature, unsigned N = 0> class moveonly_function_impl;

// A callable that a function object of type Function and signature R(Args...) can hold.
template <class F, class Function, class R, class... Args>
concept holdable_callable =
    !std::is_same_v<std::remove_cvref_t<F>, Function> && std::is_invocable_r_v<R, std::decay_t<F>&, Args...>;

// Small callables live in the inline area; larger ones, and those whose move could throw, live in a block
// from an allocator that the block keeps a copy of. Moving never allocates. N only tells instances apart.
template <class R, class... Args, unsigned N> class moveonly_function_impl<R(Args...), N> {
    using impl_interface = f_interface<R, Args...>;
    using slots = function_slots<R, Args...>;

public:
    // The empty function.
    class default_impl final : public impl_interface {
    public:
        default_impl() noexcept : impl_interface(&relocate_empty) {}
        R AM_INVOKE_CONVENTION invoke(call_param<Args>...) override {
            throw exceptional::empty_functional_invocation();
        }
        bool is_callable() const noexcept override { return false; }
        typename impl_interface::destroyer get_destroyer() const noexcept override { return nullptr; }

    private:
        static void relocate_empty(slots&, slots& destination) noexcept { emplace_empty(destination); }
    };
    static_assert(std::is_trivially_destructible_v<default_impl>);

    // A callable kept in the inline area.
    template <class F> class func_inplace_impl final : public impl_interface {
    public:
        template <class G>
        explicit func_inplace_impl(G&& closure)
            : impl_interface(&relocate_inplace), closure_(std::forward<G>(closure)) {}
        R AM_INVOKE_CONVENTION invoke(call_param<Args>... args) override {
            return std::invoke_r<R>(closure_, std::forward<call_param<Args>>(args)...);
        }
        bool is_callable() const noexcept override { return true; }
        typename impl_interface::destroyer get_destroyer() const noexcept override {
            if constexpr (std::is_trivially_destructible_v<F>)
                return nullptr;
            else
                return &destroy;
        }

    private:
        static void relocate_inplace(slots& source, slots& destination) noexcept {
            auto* const from = static_cast<func_inplace_impl*>(source.impl);
            destination.impl =
                ::new (place<func_inplace_impl>(destination)) func_inplace_impl(std::move(from->closure_));
            from->~func_inplace_impl();
        }
        static void destroy(slots& function) noexcept {
            static_cast<func_inplace_impl*>(function.impl)->~func_inplace_impl();
        }

        F closure_;
    };

    // A callable kept in an allocator block, followed by a copy of that allocator.
    template <class F> class func_alloc_impl final : public impl_interface {
    public:
        static constexpr std::uint32_t block_size = sizeof(func_alloc_impl);
        static constexpr std::uint32_t block_alignment = alignof(func_alloc_impl) > 8
                                                             ? alignof(func_alloc_impl)
                                                             : 8;

        template <class G>
        func_alloc_impl(G&& closure, const allocator_interface& allocator)
            : impl_interface(&relocate_block), closure_(std::forward<G>(closure)), allocator_(allocator) {}
        R AM_INVOKE_CONVENTION invoke(call_param<Args>... args) override {
            return std::invoke_r<R>(closure_, std::forward<call_param<Args>>(args)...);
        }
        bool is_callable() const noexcept override { return true; }
        typename impl_interface::destroyer get_destroyer() const noexcept override { return &destroy; }

    private:
        // The block stays where it is; only its address changes hands.
        static void relocate_block(slots& source, slots& destination) noexcept {
            destination.impl = source.impl;
        }
        static void destroy(slots& function) noexcept {
            auto* const block = static_cast<func_alloc_impl*>(function.impl);
            // The allocator copy in the block goes with the block, so free it through a copy of its own.
            const allocator_holder allocator(*block->allocator_);
            block->~func_alloc_impl();
            allocator->deallocate(block, block_size);
        }

        F closure_;
        allocator_holder allocator_;
    };

    // Whether a callable of type F lives inline. Decided when the program is built, from the worst case:
    // the implementation's size plus the slack that aligning it inside the area can cost at any address.
    // So a function moved into an object at another address always finds room for what it holds.
    template <class F>
    static constexpr bool stores_inline = (inline_footprint<func_inplace_impl<F>> <= function_inline_size) &&
                                          std::is_nothrow_move_constructible_v<F>;

    moveonly_function_impl() noexcept { emplace_empty(slots_); }

    // A callable that does not fit inline goes to a block of a temporary aligned-heap allocator.
    template <holdable_callable<moveonly_function_impl, R, Args...> F>
    moveonly_function_impl(F&& callable)
        : moveonly_function_impl(std::forward<F>(callable), poly_allocator{}) {}

    // A callable that does not fit inline goes to a block of the given allocator.
    template <holdable_callable<moveonly_function_impl, R, Args...> F>
    moveonly_function_impl(F&& callable, const allocator_interface& allocator) {
        using closure = std::decay_t<F>;
        if constexpr (std::is_pointer_v<closure> || std::is_member_pointer_v<closure>) {
            // A null function pointer would crash when called; it makes an empty function instead.
            if (callable == nullptr) {
                emplace_empty(slots_);
                return;
            }
        }
        if constexpr (stores_inline<closure>)
            slots_.impl = ::new (place<func_inplace_impl<closure>>(slots_))
                func_inplace_impl<closure>(std::forward<F>(callable));
        else
            emplace_block<closure>(std::forward<F>(callable), allocator);
    }

    // The source is left empty, never invalid.
    moveonly_function_impl(moveonly_function_impl&& other) noexcept {
        other.slots_.impl->relocate(other.slots_, slots_);
        emplace_empty(other.slots_);
    }

    moveonly_function_impl& operator=(moveonly_function_impl&& other) noexcept {
        if (this != &other) {
            destroy();
            other.slots_.impl->relocate(other.slots_, slots_);
            emplace_empty(other.slots_);
        }
        return *this;
    }

    moveonly_function_impl(const moveonly_function_impl&) = delete;
    moveonly_function_impl& operator=(const moveonly_function_impl&) = delete;

    ~moveonly_function_impl() { destroy(); }

    // Throws exceptional::empty_functional_invocation when empty.
    R operator()(Args... args) const { return slots_.impl->invoke(std::forward<Args>(args)...); }

    bool is_callable() const noexcept { return slots_.impl->is_callable(); }

private:
    static void emplace_empty(slots& function) noexcept {
        function.impl = ::new (static_cast<void*>(function.area)) default_impl();
    }

    // The first address in the area aligned for Impl; stores_inline guarantees that Impl fits from there.
    template <class Impl> static void* place(slots& function) noexcept {
        if constexpr (alignof(Impl) <= function_area_alignment) {
            return function.area;
        } else {
            const auto start = reinterpret_cast<std::uintptr_t>(function.area);
            return reinterpret_cast<void*>((start + alignof(Impl) - 1) & ~std::uintptr_t{alignof(Impl) - 1});
        }
    }

    template <class F, class G> void emplace_block(G&& callable, const allocator_interface& allocator) {
        using impl = func_alloc_impl<F>;
        std::uint32_t actual_size = 0;
        void* const block = allocator.allocate(impl::block_size, impl::block_alignment, actual_size);
        check_allocation(block, "moveonly_function_impl", AM_LIBRARY_HEADER_PLAIN("am-functional.h"),
                         impl::block_size);
        // Returns the block if moving or copying the callable in throws.
        auto guard = make_scope_guard([&] { allocator.deallocate(block, impl::block_size); });
        slots_.impl = ::new (block) impl(std::forward<G>(callable), allocator);
        guard.release();
    }

    void destroy() noexcept {
        if (const auto end = slots_.impl->get_destroyer())
            end(slots_);
    }

    slots slots_;
};

} // namespace details

// The system's one type-erased callable: move-only; calling an empty one throws
// exceptional::empty_functional_invocation.
template <class Signature, unsigned N = 0>
using moveonly_function = details::moveonly_function_impl<Signature, N>;

} // namespace cpp
