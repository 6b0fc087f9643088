#include "am-threading.h"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "concurrency_support.h"

namespace {

using namespace cpp::threading;
using concurrency_test::blocked_in_wait;
using concurrency_test::eventually;

thread_waker& own_waker() {
    return *current_thread_context()->waker_slot->get();
}

TEST(threads, stop_request_ends_a_blocked_wait_within_moments) {
    std::atomic<wait_result> result{wait_result::satisfied};
    thread_ptr thread = start_thread([&] {
        predicate never([] { return false; });
        result = this_thread_wait_for(600'000, never);
    });
    ASSERT_TRUE(blocked_in_wait(thread));
    const auto asked = std::chrono::steady_clock::now();
    thread.request_stop();
    thread.join();
    // An upper bound for a loaded machine, not a timing: the wait must not run to its ten minutes.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2));
    EXPECT_EQ(result, wait_result::stopped);
    EXPECT_EQ(thread.failure(), nullptr);
}

TEST(threads, stop_request_ends_an_unlimited_wait) {
    std::atomic<int> result{-1};
    thread_ptr thread = start_thread([&] {
        predicate never([] { return false; });
        result = wait(own_waker(), never) ? 1 : 0;
    });
    ASSERT_TRUE(blocked_in_wait(thread));
    thread.request_stop();
    thread.join();
    EXPECT_EQ(result, 0);
}

TEST(threads, body_that_throws_is_reported_with_its_exception_after_the_join) {
    thread_ptr thread = start_thread([] { throw std::runtime_error("engine went away"); });
    thread.join();
    EXPECT_EQ(thread.state(), thread_state::failed);
    ASSERT_NE(thread.failure(), nullptr);
    try {
        std::rethrow_exception(thread.failure());
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "engine went away");
    }
    // The failure survives a stop request to the ended thread.
    thread.request_stop();
    EXPECT_EQ(thread.state(), thread_state::failed);
}

TEST(threads, cancelation_ends_the_thread_as_stopped_without_a_failure) {
    thread_ptr thread = start_thread([] { throw thread_cancelation(); });
    thread.join();
    EXPECT_EQ(thread.state(), thread_state::stop_requested);
    EXPECT_EQ(thread.failure(), nullptr);
}

TEST(threads, ended_thread_keeps_its_final_state) {
    thread_ptr thread = start_thread([] {});
    thread.join();
    EXPECT_EQ(thread.state(), thread_state::finished);
    thread.request_stop();
    EXPECT_EQ(thread.state(), thread_state::finished);
    // Resetting a thread that was joined already joins nothing and throws nothing.
    thread.reset();
    EXPECT_FALSE(thread);
}

TEST(threads, empty_pointer_reports_finished_and_ignores_requests) {
    thread_ptr thread;
    EXPECT_EQ(thread.state(), thread_state::finished);
    thread.request_stop();
    thread.wake();
    thread.set_priority(-1);
    thread.join();
    EXPECT_EQ(thread.failure(), nullptr);
}

TEST(threads, move_assignment_stops_the_thread_it_replaces) {
    std::atomic<bool> first_left{false};
    thread_ptr first = start_thread([&] {
        predicate never([] { return false; });
        this_thread_wait_for(600'000, never);
        first_left = true;
    });
    ASSERT_TRUE(blocked_in_wait(first));
    first = start_thread([] {});
    EXPECT_TRUE(first_left);
    thread_ptr& same = first;
    first = std::move(same); // assigning a pointer to itself keeps its thread
    first.join();
    EXPECT_EQ(first.state(), thread_state::finished);
}

TEST(threads, after_a_stop_request_waits_end_at_once) {
    std::atomic<bool> stop_seen{false};
    std::atomic<bool> go{false};
    bool plain_wait = true;
    wait_result unsatisfied = wait_result::satisfied;
    wait_result satisfied = wait_result::stopped;
    wait_result no_time = wait_result::stopped;
    thread_ptr thread = start_thread([&] {
        predicate gone([&] { return go.load(); });
        this_thread_wait_for(600'000, gone);
        stop_seen = stop_requested();
        predicate never([] { return false; });
        predicate always([] { return true; });
        plain_wait = wait(own_waker(), never);
        unsatisfied = wait_for(own_waker(), 600'000, never);
        satisfied = wait_for(own_waker(), 600'000, always);
        no_time = wait_for(own_waker(), 0, never);
        throw_if_stop_requested();
    });
    ASSERT_TRUE(blocked_in_wait(thread));
    thread.request_stop();
    thread.join();
    EXPECT_TRUE(stop_seen);
    EXPECT_FALSE(plain_wait);
    EXPECT_EQ(unsatisfied, wait_result::stopped);
    EXPECT_EQ(satisfied, wait_result::satisfied);
    EXPECT_EQ(no_time, wait_result::timed_out);
    EXPECT_EQ(thread.state(), thread_state::stop_requested);
}

TEST(threads, wake_makes_a_waiting_thread_test_again) {
    std::atomic<bool> ready{false};
    std::atomic<wait_result> result{wait_result::stopped};
    thread_ptr thread = start_thread([&] {
        predicate condition([&] { return ready.load(); });
        result = this_thread_wait_for(600'000, condition);
    });
    ASSERT_TRUE(blocked_in_wait(thread));
    ready = true;
    thread.wake();
    EXPECT_TRUE(eventually([&] { return thread.state() == thread_state::finished; }));
    EXPECT_EQ(result, wait_result::satisfied);
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

TEST(waits, zero_time_out_answers_without_blocking) {
    thread_registration registration;
    predicate never([] { return false; });
    predicate always([] { return true; });
    EXPECT_EQ(wait_for(own_waker(), 0, never), wait_result::timed_out);
    EXPECT_EQ(wait_for(own_waker(), 0, always), wait_result::satisfied);
    EXPECT_EQ(own_waker().state(), thread_state::running);
}

TEST(waits, short_time_out_expires_and_leaves_the_thread_running) {
    thread_registration registration;
    int tests = 0;
    predicate never([&] {
        ++tests;
        return false;
    });
    EXPECT_EQ(this_thread_wait_for(20, never), wait_result::timed_out);
    EXPECT_EQ(own_waker().state(), thread_state::running);
    EXPECT_GE(tests, 2); // tested before and after the wait
    // Negative and overlong time-outs neither wrap nor overflow.
    predicate always([] { return true; });
    EXPECT_EQ(this_thread_wait_for(-5, never), wait_result::timed_out);
    EXPECT_EQ(this_thread_wait_for(INT64_MAX, always), wait_result::satisfied);
}

TEST(waits, thread_without_waker_polls_and_is_never_stopped) {
    wait_result expired = wait_result::stopped;
    wait_result met = wait_result::stopped;
    bool stopped = true;
    std::thread plain([&] {
        predicate never([] { return false; });
        std::atomic<int> tests{0};
        predicate third_time([&] { return ++tests >= 3; });
        expired = this_thread_wait_for(15, never);
        met = this_thread_wait_for(600'000, third_time);
        stopped = stop_requested();
    });
    plain.join();
    EXPECT_EQ(expired, wait_result::timed_out);
    EXPECT_EQ(met, wait_result::satisfied);
    EXPECT_FALSE(stopped);
}

TEST(registration, gives_a_thread_a_waker_once) {
    EXPECT_EQ(current_thread_context()->waker_slot, nullptr);
    {
        thread_registration first;
        waker_ptr* const slot = current_thread_context()->waker_slot;
        ASSERT_NE(slot, nullptr);
        {
            thread_registration second;
            EXPECT_EQ(current_thread_context()->waker_slot, slot);
        }
        // The second one's end leaves the first one's waker in place.
        EXPECT_EQ(current_thread_context()->waker_slot, slot);
        EXPECT_FALSE(stop_requested());
    }
    EXPECT_EQ(current_thread_context()->waker_slot, nullptr);
}

TEST(registration, started_threads_have_their_waker_and_a_clear_job_record) {
    thread_context copy{};
    bool kept = false;
    thread_ptr thread = start_thread([&] {
        copy = *current_thread_context();
        thread_registration again; // already known: gets no waker of its own
        kept = current_thread_context()->waker_slot == copy.waker_slot;
    });
    thread.join();
    EXPECT_NE(copy.waker_slot, nullptr);
    EXPECT_TRUE(kept);
    EXPECT_EQ(copy.job_ticket, 0u);
    EXPECT_EQ(copy.latest_ticket, nullptr);
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
