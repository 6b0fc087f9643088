// What the concurrency tests share: bounded waits for something another thread does, and elements that
// count their own destruction.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "am-threading.h"

namespace concurrency_test {

// Generous for a loaded CI machine under a sanitizer or Wine; a healthy run takes microseconds.
inline constexpr std::chrono::seconds bound{5};

// Polls cond (yielding, never sleeping) until it holds or the bound has passed; true when it held.
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

// True once the thread's state word says it is blocked on its event.
inline bool blocked_in_wait(const cpp::threading::thread_ptr& thread) {
    return eventually([&] { return thread.state() == cpp::threading::thread_state::waiting; });
}

// A job that holds a share of life: the share's use count tells how many such jobs still exist.
inline cpp::threading::job counted_job(const std::shared_ptr<int>& life) {
    return cpp::threading::job([life](unsigned) {});
}

} // namespace concurrency_test
