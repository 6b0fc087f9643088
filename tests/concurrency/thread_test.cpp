#include "am-threading.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "../support/bounded-wait.h"

namespace {

using namespace cpp::threading;
using test_support::blocked_in_wait;
using test_support::eventually;

thread_waker& own_waker() {
    return *current_thread_context()->waker_slot->get();
}

// Both kinds of wait, each true when it ended because of the stop.
bool plain_wait_stopped() {
    predicate never([] { return false; });
    return !wait(own_waker(), never);
}
bool timed_wait_stopped() {
    predicate never([] { return false; });
    return this_thread_wait_for(600'000, never) == wait_result::stopped;
}

TEST(threads, stop_request_ends_a_blocked_wait_promptly_and_every_later_wait_at_once) {
    for (bool (*const stopped_wait)() : {&plain_wait_stopped, &timed_wait_stopped}) {
        std::atomic<int> first{-1};
        std::atomic<int> later{-1};
        thread_ptr thread = start_thread([&, stopped_wait] {
            first = stopped_wait() ? 1 : 0;
            later = stopped_wait() ? 1 : 0;
        });
        ASSERT_TRUE(blocked_in_wait(thread));
        thread.request_stop();
        // The waits are ten minutes or endless: only the stop can end them within the bound.
        ASSERT_TRUE(eventually([&] { return later != -1; }));
        thread.join();
        EXPECT_EQ(first, 1);
        EXPECT_EQ(later, 1);
        EXPECT_EQ(thread.failure(), nullptr);
    }
}

TEST(threads, body_that_throws_is_reported_after_the_join_and_every_end_state_survives_a_stop_request) {
    struct ending {
        void (*body)();
        thread_state state;
        const char* failure;
    };
    const ending endings[] = {
        {[] {}, thread_state::finished, nullptr},
        {[] { throw std::runtime_error("engine went away"); }, thread_state::failed, "engine went away"},
        {[] { throw thread_cancelation(); }, thread_state::stop_requested, nullptr},
    };
    for (const ending& end : endings) {
        thread_ptr thread = start_thread([body = end.body] { body(); });
        thread.join();
        thread.request_stop();
        EXPECT_EQ(thread.state(), end.state);
        if (end.failure == nullptr) {
            EXPECT_EQ(thread.failure(), nullptr);
            continue;
        }
        ASSERT_NE(thread.failure(), nullptr);
        try {
            std::rethrow_exception(thread.failure());
        } catch (const std::runtime_error& failure) {
            EXPECT_STREQ(failure.what(), end.failure);
        }
    }
}

// A thread may end its own life: its function resets its holder (a worker that drops itself). The holder
// is empty at once, but the thread keeps its control and its function until the function has returned,
// and its end state is still recorded.
TEST(threads, a_thread_that_drops_its_own_holder_runs_to_its_end_and_records_how_it_ended) {
    struct ending {
        void (*rest)();
        thread_state state;
    };
    const ending endings[] = {
        {[] {}, thread_state::finished},
        {[] { throw std::runtime_error("engine went away"); }, thread_state::failed},
    };
    for (const ending& end : endings) {
        std::atomic<bool> holder_set{false};
        std::atomic<bool> stop_seen{false};
        std::atomic<thread_waker*> own{nullptr}; // a reference the thread hands to the test
        auto token = std::make_shared<int>(0);
        const std::weak_ptr<int> function_alive = token;
        thread_ptr holder;
        holder = start_thread([&, token = std::move(token), rest = end.rest] {
            while (!holder_set)
                std::this_thread::yield();
            waker_ptr mine = *current_thread_context()->waker_slot;
            holder.reset();
            // The thread's waker is still its own: it sees the stop that dropping the holder asked for.
            predicate never([] { return false; });
            stop_seen = stop_requested() && this_thread_wait_for(1, never) == wait_result::stopped;
            own = mine.detach();
            rest();
        });
        holder_set = true;
        ASSERT_TRUE(eventually([&] { return own.load() != nullptr; }));
        const waker_ptr waker = waker_ptr::adopt(own.load());
        EXPECT_FALSE(holder);
        EXPECT_TRUE(stop_seen);
        EXPECT_TRUE(eventually([&] { return waker->state() == end.state; }));
        EXPECT_TRUE(eventually([&] { return function_alive.expired(); }))
            << "the thread let go of its function once it had returned";
    }
}

TEST(threads, move_assignment_stops_and_joins_the_thread_it_replaces) {
    std::atomic<bool> first_left{false};
    thread_ptr thread = start_thread([&] { first_left = timed_wait_stopped(); });
    ASSERT_TRUE(blocked_in_wait(thread));
    thread = start_thread([] {});
    EXPECT_TRUE(first_left) << "the replaced thread was stopped and had left before the assignment returned";
}

// The launcher of a job stores its ticket and wakes the worker only when the worker is blocked. A ticket
// stored just after the worker's first test, while it still counted as running, gets no wake; the wait
// must find it by testing again once it is announced.
TEST(waits, change_between_first_test_and_announcement_is_not_lost) {
    std::atomic<bool> returned{false};
    wait_result result = wait_result::stopped;
    thread_ptr thread = start_thread([&] {
        bool superseded = false;
        int tests = 0;
        predicate newer_job([&] {
            if (++tests == 1) {
                superseded = true; // stored right after this test; nobody wakes us
                return false;
            }
            return superseded;
        });
        result = this_thread_wait_for(600'000, newer_job);
        returned = true;
    });
    EXPECT_TRUE(eventually([&] { return returned.load(); }));
    thread.reset(); // ends the wait if it was lost
    EXPECT_EQ(result, wait_result::satisfied);
}

// A thread without a waker (the engine's, or the host's before registration) polls instead of blocking.
TEST(waits, time_outs_expire_and_met_predicates_return_with_a_waker_and_without) {
    struct row {
        std::int64_t timeout;
        bool met;
        wait_result expected;
    };
    const row rows[] = {{0, false, wait_result::timed_out},
                        {0, true, wait_result::satisfied},
                        {20, false, wait_result::timed_out},
                        {-5, false, wait_result::timed_out},
                        {INT64_MAX, true, wait_result::satisfied}};
    const auto wait_every_row = [&rows] {
        std::vector<wait_result> results;
        for (const row& r : rows) {
            predicate ready([met = r.met] { return met; });
            results.push_back(this_thread_wait_for(r.timeout, ready));
        }
        return results;
    };
    std::vector<wait_result> expected;
    for (const row& r : rows)
        expected.push_back(r.expected);
    std::vector<wait_result> polled;
    std::thread([&] { polled = wait_every_row(); }).join();
    EXPECT_EQ(polled, expected);
    const thread_registration registration;
    EXPECT_EQ(wait_every_row(), expected);
    EXPECT_EQ(own_waker().state(), thread_state::running);
}

TEST(registration, gives_a_thread_a_waker_once_and_a_nested_one_leaves_it_in_place) {
    EXPECT_EQ(current_thread_context()->waker_slot, nullptr);
    {
        const thread_registration first;
        waker_ptr* const slot = current_thread_context()->waker_slot;
        ASSERT_NE(slot, nullptr);
        { const thread_registration second; }
        EXPECT_EQ(current_thread_context()->waker_slot, slot);
    }
    EXPECT_EQ(current_thread_context()->waker_slot, nullptr);
}

#if defined(_WIN32)
// The priority must reach the thread itself, not whatever handle the library's thread id happens to be.
TEST(threads, priority_is_set_on_the_thread_itself) {
    std::atomic<bool> priority_set{false};
    std::atomic<int> seen{THREAD_PRIORITY_ERROR_RETURN};
    thread_ptr thread = start_thread([&] {
        predicate set([&] { return priority_set.load(); });
        this_thread_wait_for(600'000, set);
        seen = GetThreadPriority(GetCurrentThread());
    });
    thread.set_priority(THREAD_PRIORITY_BELOW_NORMAL);
    priority_set = true;
    thread.wake();
    thread.join();
    EXPECT_EQ(seen, THREAD_PRIORITY_BELOW_NORMAL);
}
#endif

} // namespace
