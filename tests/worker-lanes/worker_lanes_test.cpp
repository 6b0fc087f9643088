#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "lane-test-support.h"
#include "abi-export.h"

namespace {

using lane_test::eventually;
using lane_test::test_lane;
using tessolux::interruptible_sleep;
using tessolux::is_job_cancelled;

// A delay no test waits out: a job that sleeps it to its end shows up as a missed bound.
constexpr int endless_delay = 600'000;

class worker_lanes : public ::testing::Test {
protected:
    // The tests' main thread plays the UI thread.
    cpp::threading::thread_registration ui_thread;
};

TEST_F(worker_lanes, two_jobs_queued_within_one_delay_run_only_the_second) {
    test_lane lane;
    std::atomic<bool> first_started{false};
    std::atomic<int> first_slept{-1};
    std::atomic<int> second_slept{-1};
    lane.queue_job([&](unsigned) {
        first_started = true;
        first_slept = interruptible_sleep(endless_delay) ? 1 : 0;
    });
    // The first job sleeps out its delay on the worker's event: the launcher's wake must end it.
    ASSERT_TRUE(eventually(
        [&] { return first_started && lane.worker.state() == cpp::threading::thread_state::waiting; }));
    lane.queue_job([&](unsigned) { second_slept = interruptible_sleep(1) ? 1 : 0; });

    ASSERT_TRUE(eventually([&] { return second_slept != -1; }));
    EXPECT_EQ(first_slept, 0) << "the superseded job's sleep ends early and says so";
    EXPECT_EQ(second_slept, 1) << "the newest job sleeps its whole delay";
    EXPECT_EQ(lane.failure_count(), 0);
}

TEST_F(worker_lanes, a_job_sees_its_own_ticket_and_runs_in_the_multithreaded_apartment_at_the_lane_priority) {
    test_lane lane(tessolux::filter_lane_priority);
    std::atomic<std::uint32_t> seen_ticket{0xffffffff};
    std::atomic<int> apartment{-1};
    std::atomic<int> priority{99};
    std::atomic<bool> done{false};
    lane.queue_job([](unsigned) {});
    const std::uint32_t ticket = lane.queue_job([&](unsigned argument) {
        EXPECT_EQ(argument, 1u);
        seen_ticket = tessolux::job_ticket();
        APTTYPE type{};
        APTTYPEQUALIFIER qualifier{};
        if (SUCCEEDED(CoGetApartmentType(&type, &qualifier)))
            apartment = type;
        priority = GetThreadPriority(GetCurrentThread());
        done = true;
    });
    ASSERT_TRUE(eventually([&] { return done.load(); }));
    EXPECT_EQ(ticket, 1u) << "the second job of a fresh queue";
    EXPECT_EQ(seen_ticket, ticket);
    EXPECT_EQ(apartment, APTTYPE_MTA);
    EXPECT_EQ(priority, THREAD_PRIORITY_BELOW_NORMAL);
}

TEST_F(worker_lanes, a_job_that_starts_before_its_ticket_is_stored_is_not_superseded) {
    test_lane lane;
    std::atomic<bool> first_done{false};
    lane.queue_job([&](unsigned) { first_done = true; });
    ASSERT_TRUE(eventually([&] { return first_done.load(); }));
    // Pushed without storing its ticket: the cell stays below it, as while a launcher is between the two.
    std::atomic<int> cancelled{-1};
    std::atomic<int> slept{-1};
    cpp::threading::job second([&](unsigned) {
        cancelled = is_job_cancelled() ? 1 : 0;
        slept = interruptible_sleep(0) ? 1 : 0;
    });
    EXPECT_EQ(lane.producer->push(second), 1u);
    lane.worker.wake();
    ASSERT_TRUE(eventually([&] { return slept != -1; }));
    EXPECT_EQ(cancelled, 0);
    EXPECT_EQ(slept, 1) << "a sleep of 0 ms of a current job returns true";
    EXPECT_EQ(lane.cell, 0u);
}

TEST_F(worker_lanes, a_superseded_job_sleeping_zero_returns_false_and_its_checks_throw_user_cancelation) {
    test_lane lane;
    std::atomic<bool> release{false};
    std::atomic<int> slept{-1};
    std::atomic<int> threw{-1};
    lane.queue_job([&](unsigned) {
        while (!release)
            std::this_thread::yield();
        slept = interruptible_sleep(0) ? 1 : 0;
        try {
            tessolux::throw_if_job_cancelled();
            threw = 0;
        } catch (const cpp::exceptional::user_cancelation&) {
            threw = 1;
            throw;
        }
    });
    lane.queue_job([](unsigned) {});
    release = true;
    ASSERT_TRUE(eventually([&] { return threw != -1; }));
    EXPECT_EQ(slept, 0);
    EXPECT_EQ(threw, 1);
    ASSERT_TRUE(eventually([&] { return lane.queue.impl().queued_count() == 0; }));
    EXPECT_EQ(lane.failure_count(), 0) << "a superseded job ends silently";
}

TEST_F(worker_lanes, a_job_that_throws_gives_exactly_one_failure_callback_and_the_next_job_still_runs) {
    test_lane lane;
    auto life = std::make_shared<int>(0);
    std::atomic<bool> next_ran{false};
    lane.queue_job([life](unsigned) { throw std::runtime_error("stage failed"); });
    life.reset();
    lane.queue_job([&](unsigned) { next_ran = true; });

    ASSERT_TRUE(eventually([&] { return next_ran.load(); }));
    ASSERT_EQ(lane.failure_count(), 1);
    try {
        lane.rethrow_failure();
        FAIL() << "no failure was kept";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "stage failed");
    }
}

TEST_F(worker_lanes, a_stop_while_a_job_sleeps_ends_the_lane_without_a_failure_callback) {
    auto lane = std::make_unique<test_lane>();
    auto life = std::make_shared<int>(0);
    std::atomic<bool> later_ran{false};
    std::atomic<bool> started{false};
    lane->queue_job([life, &started](unsigned) {
        started = true;
        interruptible_sleep(endless_delay);
    });
    // The second job is queued with no newer one behind the first: push it unstored so the first sleeps on.
    cpp::threading::job later([&](unsigned) { later_ran = true; });
    lane->producer->push(later);
    ASSERT_TRUE(
        eventually([&] { return started && lane->worker.state() == cpp::threading::thread_state::waiting; }));

    lane->worker.request_stop();
    lane->worker.join();
    EXPECT_EQ(lane->worker.state(), cpp::threading::thread_state::stop_requested);
    EXPECT_EQ(lane->worker.failure(), nullptr);
    EXPECT_EQ(lane->failure_count(), 0);
    EXPECT_FALSE(later_ran);
    EXPECT_EQ(life.use_count(), 1) << "the job was destroyed when it unwound";
}

// The engine's interrupt (F8, and the teardown) can make a run answer "cancelled" or "thread stopped"
// although the job is current and its thread not stopped. The stage chain waits for every current job's
// result or failure, so such a job must fail, never end silently.
TEST_F(worker_lanes, an_interrupted_engine_call_of_a_current_job_reaches_the_failure_callback) {
    test_lane lane;
    std::atomic<bool> last_ran{false};
    lane.queue_job([](unsigned) {
        error_handling::check_result(error_handling::check_context{nullptr, IID_IUnknown, "", 0},
                                     error_handling::engine_job_cancelled);
    });
    ASSERT_TRUE(eventually([&] { return lane.failure_count() == 1; }));
    lane.queue_job([](unsigned) {
        error_handling::check_result(error_handling::check_context{nullptr, IID_IUnknown, "", 0},
                                     error_handling::engine_thread_stopped);
    });
    ASSERT_TRUE(eventually([&] { return lane.failure_count() == 2; }));
    lane.queue_job([&](unsigned) { last_ran = true; });

    ASSERT_TRUE(eventually([&] { return last_ran.load(); })) << "the lane goes on after both";
    EXPECT_EQ(lane.failure_count(), 2);
    try {
        lane.rethrow_failure();
    } catch (const error_handling::interface_exception& failure) {
        EXPECT_EQ(failure.result(), E_ABORT);
    } catch (...) {
        ADD_FAILURE() << "an interrupted call fails as an aborted COM call";
    }
}

TEST_F(worker_lanes, a_job_failing_after_the_stop_request_ends_the_lane_quietly) {
    test_lane lane;
    std::atomic<bool> started{false};
    std::atomic<bool> fail_now{false};
    // Stands for a job inside an engine call when the teardown asks the worker to stop and then
    // interrupts the engine, which makes the call fail.
    lane.queue_job([&](unsigned) {
        started = true;
        while (!fail_now)
            std::this_thread::yield();
        throw error_handling::interface_exception(E_ABORT, "");
    });
    ASSERT_TRUE(eventually([&] { return started.load(); }));
    lane.worker.request_stop();
    fail_now = true;
    lane.worker.join();
    EXPECT_EQ(lane.failure_count(), 0);
    EXPECT_EQ(lane.worker.state(), cpp::threading::thread_state::stop_requested);
    EXPECT_EQ(lane.worker.failure(), nullptr);
}

TEST_F(worker_lanes, a_failure_callback_that_throws_ends_the_worker_with_that_exception) {
    std::uint32_t cell = 0;
    cpp::threading::sp_sc_queue queue(tessolux::filter_lane_capacity);
    cpp::threading::producer_user producer = cpp::threading::as_producer_user(queue);
    cpp::threading::thread_ptr worker = tessolux::start_worker(
        queue, &cell, 0, [](std::exception_ptr) { throw std::logic_error("the window is gone"); });
    cpp::threading::job failing([](unsigned) { throw std::runtime_error("stage failed"); });
    tessolux::queue_job(&cell, worker, producer, failing);
    worker.join();
    EXPECT_EQ(worker.state(), cpp::threading::thread_state::failed);
    ASSERT_NE(worker.failure(), nullptr);
    EXPECT_THROW(std::rethrow_exception(worker.failure()), std::logic_error);
}

TEST_F(worker_lanes, a_job_just_below_the_ticket_wrap_is_superseded_by_a_wrapped_ticket) {
    test_lane lane(tessolux::filter_lane_priority, 0x3fffffff);
    std::atomic<int> slept{-1};
    const std::uint32_t last_before_wrap =
        lane.queue_job([&](unsigned) { slept = interruptible_sleep(endless_delay) ? 1 : 0; });
    ASSERT_TRUE(eventually([&] { return lane.worker.state() == cpp::threading::thread_state::waiting; }));
    const std::uint32_t wrapped = lane.queue_job([](unsigned) {});
    ASSERT_TRUE(eventually([&] { return slept != -1; }));
    EXPECT_EQ(last_before_wrap, 0x3fffffffu);
    EXPECT_EQ(wrapped, 0u);
    EXPECT_EQ(slept, 0);
}

TEST_F(worker_lanes, off_a_worker_only_the_threads_own_stop_request_cancels) {
    EXPECT_FALSE(is_job_cancelled()) << "the UI thread";
    EXPECT_NO_THROW(tessolux::throw_if_job_cancelled());
    std::atomic<int> plain{-1};
    std::thread([&] { plain = is_job_cancelled() ? 1 : 0; }).join();
    EXPECT_EQ(plain, 0) << "a thread the system did not start, as the engine's own";

    std::atomic<bool> stop_seen{false};
    std::atomic<bool> sleep_threw{false};
    cpp::threading::thread_ptr thread = cpp::threading::start_thread([&] {
        while (!is_job_cancelled())
            std::this_thread::yield();
        stop_seen = true;
        try {
            interruptible_sleep(endless_delay);
        } catch (const cpp::threading::thread_cancelation&) {
            sleep_threw = true;
        }
    });
    thread.request_stop();
    thread.join();
    EXPECT_TRUE(stop_seen);
    EXPECT_TRUE(sleep_threw) << "a sleep of a stopped thread unwinds it";
}

} // namespace
