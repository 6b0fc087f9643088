// Bounded waits for what another thread does, shared by the concurrency and the worker-lane tests. They
// poll, yielding and never sleeping, and give up after the bound so that a lost wake fails the test
// instead of hanging it. Header only: the native sanitizer build of the concurrency tests uses it too.
#pragma once

#include <chrono>
#include <thread>

#include "am-threading.h"

namespace test_support {

// Generous for a loaded CI machine under Wine or a sanitizer; a healthy run takes milliseconds.
inline constexpr std::chrono::seconds bound{10};

// Polls cond until it holds or the limit has passed; true when it held.
template <class Condition>
bool eventually(Condition cond, std::chrono::steady_clock::duration limit = bound) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// True once the thread's state word says it is blocked on its event (a wait, a parked pop or lock).
inline bool blocked_in_wait(const cpp::threading::thread_ptr& thread) {
    return eventually([&] { return thread.state() == cpp::threading::thread_state::waiting; });
}

} // namespace test_support
