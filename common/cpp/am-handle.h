// Foundation: the one owner of a system handle. Every kind of handle (DC, bitmap, font, pen, menu,
// registry key, image list, event, timer, activation context) is an instance of this template over its
// type and the function that closes it, so no close call appears outside a holder.
#pragma once

#include <utility>

namespace cpp {

// Traits of the common kind: the empty handle is the value-initialised one and Close releases it.
template <class Handle, auto Close> struct closed_by {
    using handle_type = Handle;
    static constexpr Handle empty() noexcept { return Handle{}; }
    static constexpr bool is_set(const Handle& handle) noexcept { return handle != Handle{}; }
    static void close(const Handle& handle) noexcept { Close(handle); }
};

// Holds one handle described by Traits (handle_type, empty, is_set, close) and closes it when it goes
// out of scope or is replaced. Moves, never copies.
template <class Traits> class unique_handle {
public:
    using handle_type = typename Traits::handle_type;

    unique_handle() noexcept : handle_(Traits::empty()) {}
    explicit unique_handle(handle_type handle) noexcept : handle_(handle) {}
    unique_handle(unique_handle&& other) noexcept : handle_(other.release()) {}
    unique_handle& operator=(unique_handle&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;
    ~unique_handle() { reset(); }

    const handle_type& get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return Traits::is_set(handle_); }

    // Gives the handle up without closing it.
    [[nodiscard]] handle_type release() noexcept { return std::exchange(handle_, Traits::empty()); }

    // Closes the handle held, if any, and takes the given one.
    void reset(handle_type handle = Traits::empty()) noexcept {
        const handle_type old = std::exchange(handle_, handle);
        if (Traits::is_set(old))
            Traits::close(old);
    }

private:
    handle_type handle_;
};

template <class Handle, auto Close> using unique_any = unique_handle<closed_by<Handle, Close>>;

} // namespace cpp
