// Foundation: scope guards, the growth rule of the resizable arrays and the small numeric helpers that
// the window and preview code use with them.
#pragma once

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

} // namespace cpp
