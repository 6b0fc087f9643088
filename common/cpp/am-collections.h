// Foundation: scope guards, the growth rule of the resizable arrays and the small numeric helpers that
// the window and preview code use with them.
#pragma once

#include <cstdint>
#include <exception>
#include <type_traits>
#include <utility>

namespace cpp {

// Runs its action when the scope ends, unless released first. For the one-off clean-up that has no
// holder of its own (a block not yet handed to its owner, an object selected into a DC).
template <class Action> class scope_guard {
public:
    explicit scope_guard(Action action) noexcept(std::is_nothrow_move_constructible_v<Action>)
        : action_(std::move(action)) {}
    scope_guard(const scope_guard&) = delete;
    scope_guard& operator=(const scope_guard&) = delete;
    ~scope_guard() {
        if (armed_)
            action_();
    }
    void release() noexcept { armed_ = false; }

private:
    Action action_;
    bool armed_ = true;
};

// Runs its action only when the scope ends by an exception: undoes a half-finished step.
template <class Action> class rollback_guard {
public:
    explicit rollback_guard(Action action) noexcept(std::is_nothrow_move_constructible_v<Action>)
        : action_(std::move(action)) {}
    rollback_guard(const rollback_guard&) = delete;
    rollback_guard& operator=(const rollback_guard&) = delete;
    ~rollback_guard() {
        if (armed_ && std::uncaught_exceptions() > exceptions_)
            action_();
    }
    void release() noexcept { armed_ = false; }

private:
    Action action_;
    int exceptions_ = std::uncaught_exceptions();
    bool armed_ = true;
};

template <class Action> [[nodiscard]] scope_guard<std::decay_t<Action>> make_scope_guard(Action&& action) {
    return scope_guard<std::decay_t<Action>>(std::forward<Action>(action));
}

template <class Action>
[[nodiscard]] rollback_guard<std::decay_t<Action>> make_rollback_guard(Action&& action) {
    return rollback_guard<std::decay_t<Action>>(std::forward<Action>(action));
}

// The capacity to grow to when new_length elements must fit an array with extra elements of inline
// storage: 1.7 times new_length, at least new_length + extra + 1, at most 0x3fffffff. Throws
// exceptional::allocationFailure for a new_length of 0x3fffffff or more, before anything is allocated.
std::uint32_t calc_reserve(std::uint32_t new_length, std::uint32_t extra);

// Halves go away from zero: 2.5 -> 3, -2.5 -> -3.
inline int round_to_int(float x) noexcept {
    return static_cast<int>(x >= 0 ? x + 0.5f : x - 0.5f);
}
inline int round_to_int(double x) noexcept {
    return static_cast<int>(x >= 0 ? x + 0.5 : x - 0.5);
}

// Whether two doubles agree in all but their last 52 - bits significand bits, also across a power of two
// (exponents at most one apart).
bool nearly_equal(double a, double b, unsigned bits) noexcept;

} // namespace cpp
