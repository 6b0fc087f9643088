#include "am-threading.h"

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../support/bounded-wait.h"

namespace {

using namespace cpp::threading;
using test_support::blocked_in_wait;
using test_support::eventually;

// A thread that takes the lock once, notes it and gives it back.
thread_ptr take_once(cacheline_lock& lock, std::atomic<bool>& acquired) {
    return start_thread([&lock, &acquired] {
        lock.lock();
        acquired = true;
        lock.unlock();
    });
}

bool has_finished(const thread_ptr& thread) {
    return eventually([&] { return thread.state() == thread_state::finished; });
}

// Started threads park or sleep, plain threads (no waker) only sleep; the counter is plain memory, so a
// second holder would also show as a data race under the thread sanitizer.
TEST(cacheline_lock, holders_exclude_each_other_under_contention) {
    constexpr int rounds = 20'000;
    cacheline_lock lock;
    std::uint64_t counter = 0;
    std::atomic<bool> inside{false};
    std::atomic<int> overlaps{0};
    const auto contend = [&] {
        for (int i = 0; i != rounds; ++i) {
            lock.lock();
            overlaps += inside.exchange(true) ? 1 : 0;
            ++counter;
            inside = false;
            lock.unlock();
        }
    };
    std::vector<thread_ptr> started;
    for (int i = 0; i != 4; ++i)
        started.push_back(start_thread(contend));
    std::thread plain_a(contend);
    std::thread plain_b(contend);
    plain_a.join();
    plain_b.join();
    for (thread_ptr& thread : started) {
        thread.join();
        EXPECT_EQ(thread.state(), thread_state::finished);
    }
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(counter, 6u * rounds);
}

TEST(cacheline_lock, stopped_waiter_leaves_cleanly_and_the_next_unlock_wakes_the_right_one) {
    cacheline_lock lock;
    lock.lock();

    // A parked waiter is stopped: it leaves without the lock, its mark stays in the word.
    std::atomic<bool> stopped_one_acquired{false};
    thread_ptr stopped_one = take_once(lock, stopped_one_acquired);
    ASSERT_TRUE(blocked_in_wait(stopped_one));
    stopped_one.request_stop();
    stopped_one.join();
    EXPECT_EQ(stopped_one.state(), thread_state::stop_requested);
    EXPECT_FALSE(stopped_one_acquired);
    // Its thread is gone; the lock's waiter keeps its waker alive for the unlock that clears the mark.
    stopped_one.reset();

    // A second waiter cannot park beside the stale mark and waits by sleeping.
    std::atomic<bool> second_acquired{false};
    thread_ptr second = take_once(lock, second_acquired);
    lock.unlock();
    EXPECT_TRUE(has_finished(second));
    EXPECT_TRUE(second_acquired);

    // The word is whole again: a new waiter parks, gets nothing while the lock is held, and the next
    // unlock wakes exactly it.
    lock.lock();
    std::atomic<bool> third_acquired{false};
    thread_ptr third = take_once(lock, third_acquired);
    ASSERT_TRUE(blocked_in_wait(third));
    EXPECT_FALSE(third_acquired);
    lock.unlock();
    EXPECT_TRUE(has_finished(third));
    EXPECT_TRUE(third_acquired);
    lock.lock();
    lock.unlock();
}

} // namespace
