// Foundation: the thread waker, the one thing a waiting thread sleeps on. An auto-reset event together
// with the thread's state word, shared by reference count between the thread's owner and whoever may
// have to wake it (a queue slot a consumer is parked on, the waiter of a lock).
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "am-common.h"

namespace cpp::threading {

// The values of a waker's state word; each is a single bit and only these occur.
enum class thread_state : std::uint32_t {
    running = 1,        // also idle, not waiting
    stop_requested = 2, // the thread notices at its next wait, spin or check
    finished = 4,       // the body returned
    waiting = 8,        // blocked in a wait on its event
    failed = 32,        // the body ended with an exception, which its control keeps
};

class waker_ptr;

// Allocated from the aligned heap; lives until its last reference is released.
class thread_waker {
public:
    // A fresh waker in state running, with one reference owned by the result. Throws when the block or
    // the event cannot be had.
    static waker_ptr create();

    thread_state state() const noexcept {
        // seq_cst like every change of the word: a launcher reads it after storing a job's ticket and the
        // waiting thread re-reads the ticket after announcing its wait; either one sees the other.
        return static_cast<thread_state>(state_.load(std::memory_order_seq_cst));
    }
    thread_state exchange_state(thread_state desired) noexcept {
        return static_cast<thread_state>(
            state_.exchange(static_cast<std::uint32_t>(desired), std::memory_order_seq_cst));
    }
    // On failure, expected receives the state seen.
    bool change_state(thread_state& expected, thread_state desired) noexcept {
        auto seen = static_cast<std::uint32_t>(expected);
        const bool changed = state_.compare_exchange_strong(seen, static_cast<std::uint32_t>(desired),
                                                            std::memory_order_seq_cst);
        expected = static_cast<thread_state>(seen);
        return changed;
    }
    void store_state(thread_state state) noexcept {
        state_.store(static_cast<std::uint32_t>(state), std::memory_order_seq_cst);
    }

    // SetEvent: wakes the thread blocked on the event, or makes its next wait return at once.
    void signal() noexcept;
    // Blocks on the event for at most the given milliseconds (0xffffffff: no limit).
    void block(std::uint32_t milliseconds) noexcept;

    void add_reference() noexcept {
        // relaxed: a new reference is made from one already held, which keeps the waker alive.
        references_.fetch_add(1, std::memory_order_relaxed);
    }
    void release() noexcept;

private:
    thread_waker(void* event) noexcept : event_(event), state_(1), references_(1) {}

    void* event_;
    std::atomic<std::uint32_t> state_;
    std::atomic<std::uint32_t> references_;
};

// One counted reference to a waker, or none.
class waker_ptr {
public:
    waker_ptr() noexcept = default;
    // Takes over a reference the caller holds.
    static waker_ptr adopt(thread_waker* waker) noexcept {
        waker_ptr result;
        result.waker_ = waker;
        return result;
    }
    waker_ptr(const waker_ptr& other) noexcept : waker_(other.waker_) {
        if (waker_ != nullptr)
            waker_->add_reference();
    }
    waker_ptr(waker_ptr&& other) noexcept : waker_(std::exchange(other.waker_, nullptr)) {}
    waker_ptr& operator=(waker_ptr other) noexcept {
        std::swap(waker_, other.waker_);
        return *this;
    }
    ~waker_ptr() { reset(); }

    void reset() noexcept {
        if (waker_ != nullptr)
            std::exchange(waker_, nullptr)->release();
    }
    // Hands the reference to the caller.
    [[nodiscard]] thread_waker* detach() noexcept { return std::exchange(waker_, nullptr); }

    thread_waker* get() const noexcept { return waker_; }
    thread_waker* operator->() const noexcept { return waker_; }
    explicit operator bool() const noexcept { return waker_ != nullptr; }

private:
    thread_waker* waker_ = nullptr;
};

} // namespace cpp::threading
