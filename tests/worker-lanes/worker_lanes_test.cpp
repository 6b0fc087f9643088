#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "abi-export.h"
#include "lane-test-support.h"

namespace {

using cpp::threading::thread_state;
using lane_test::endless_delay;
using lane_test::eventually;
using lane_test::test_lane;
using tessolux::interruptible_sleep;
using tessolux::is_job_cancelled;

class worker_lanes : public ::testing::Test {
protected:
    // The tests' main thread plays the UI thread.
    cpp::threading::thread_registration ui_thread;
};

TEST_F(worker_lanes, a_job_sees_its_own_ticket_and_runs_in_the_multithreaded_apartment_at_the_lane_priority) {
    test_lane lane;
    std::atomic<std::uint32_t> seen_ticket{0xffffffff};
    std::atomic<int> apartment{-1};
    std::atomic<int> priority{99};
    lane.queue_job([](unsigned) {});
    const std::uint32_t ticket = lane.queue_job([&](unsigned) {
        APTTYPE type{};
        APTTYPEQUALIFIER qualifier{};
        if (SUCCEEDED(CoGetApartmentType(&type, &qualifier)))
            apartment = type;
        priority = GetThreadPriority(GetCurrentThread());
        seen_ticket = tessolux::job_ticket();
    });
    ASSERT_TRUE(eventually([&] { return seen_ticket == ticket; }));
    EXPECT_EQ(apartment, APTTYPE_MTA);
    EXPECT_EQ(priority, THREAD_PRIORITY_BELOW_NORMAL);
}

// Tickets are 30 bits wide and wrap: a cell up to half the range ahead of a job's ticket supersedes it,
// also across the wrap; one behind it never does.
TEST(job_tickets, a_newer_ticket_is_up_to_half_the_range_ahead_across_the_wrap_and_never_behind) {
    struct row {
        std::uint32_t latest;
        std::uint32_t mine;
        bool newer;
    };
    const row rows[] = {{1, 0, true},          {0, 0, false},          {0, 1, false},
                        {0, 0x3fffffff, true}, {0x1fffffff, 0, true},  {0x20000000, 0, false},
                        {5, 0x3ffffff0, true}, {0x3ffffff0, 5, false}, {0x3fffffff, 0, false}};
    for (const row& r : rows)
        EXPECT_EQ(tessolux::is_newer_ticket(r.latest, r.mine), r.newer) << r.latest << " against " << r.mine;
}

// A job may start, and test itself, while its launcher is between the push and the store of its ticket.
TEST_F(worker_lanes, a_job_that_starts_before_its_ticket_is_stored_is_not_superseded) {
    test_lane lane;
    lane.cell = 0x3fffffff; // one behind the first ticket
    std::atomic<int> current{-1};
    cpp::threading::job job(
        [&](unsigned) { current = !is_job_cancelled() && interruptible_sleep(0) ? 1 : 0; });
    lane.producer->push(job);
    ASSERT_TRUE(eventually([&] { return current != -1; }));
    EXPECT_EQ(current, 1);
}

TEST_F(worker_lanes, a_job_that_throws_gives_exactly_one_failure_callback_and_the_next_job_still_runs) {
    test_lane lane;
    std::atomic<bool> next_ran{false};
    lane.queue_job([](unsigned) { throw std::runtime_error("stage failed"); });
    // Pushed without storing its ticket: a newer ticket would make the failure a superseded job's.
    cpp::threading::job next([&](unsigned) { next_ran = true; });
    lane.producer->push(next);
    ASSERT_TRUE(eventually([&] { return next_ran.load(); }));
    EXPECT_EQ(lane.failure_count(), 1);
    EXPECT_THROW(lane.rethrow_failure(), std::runtime_error);
}

// At teardown the stop request ends the lane quietly: a job sleeping out its delay unwinds, and a job
// whose engine call fails because the teardown then interrupts the engine reports nothing.
TEST_F(worker_lanes, a_stop_ends_the_lane_without_a_failure_callback_while_a_job_sleeps_or_fails) {
    for (const bool fails : {false, true}) {
        test_lane lane;
        const auto life = std::make_shared<int>(0);
        std::atomic<bool> started{false};
        std::atomic<bool> interrupted{false};
        std::atomic<bool> later_ran{false};
        lane.queue_job([&, life, fails](unsigned) {
            started = true;
            if (!fails)
                interruptible_sleep(endless_delay);
            while (!interrupted)
                std::this_thread::yield();
            throw error_handling::interface_exception(E_ABORT, "");
        });
        // Pushed without storing its ticket, so the first job stays current; it must not run after the stop.
        cpp::threading::job later([&](unsigned) { later_ran = true; });
        lane.producer->push(later);
        ASSERT_TRUE(
            eventually([&] { return started && (fails || lane.worker.state() == thread_state::waiting); }));
        lane.worker.request_stop();
        interrupted = true;
        lane.worker.join();
        EXPECT_EQ(lane.failure_count(), 0);
        EXPECT_EQ(lane.worker.state(), thread_state::stop_requested);
        EXPECT_EQ(lane.worker.failure(), nullptr);
        EXPECT_FALSE(later_ran);
        EXPECT_EQ(life.use_count(), 1) << "the job was destroyed as it unwound";
    }
}

// The engine's interrupt (F8, and the teardown) can make a call answer "cancelled" or "thread stopped"
// although the job is current and its thread not stopped. The stage chain waits for every current job's
// result or failure, so such a job must fail as an aborted call, never end silently.
TEST_F(worker_lanes, an_interrupted_engine_call_of_a_current_job_reaches_the_failure_callback) {
    test_lane lane;
    for (const HRESULT answer :
         {error_handling::engine_job_cancelled, error_handling::engine_thread_stopped}) {
        const int before = lane.failure_count();
        lane.queue_job([answer](unsigned) {
            error_handling::check_result(error_handling::check_context{nullptr, IID_IUnknown, "", 0}, answer);
        });
        ASSERT_TRUE(eventually([&] { return lane.failure_count() == before + 1; }));
        try {
            lane.rethrow_failure();
        } catch (const error_handling::interface_exception& failure) {
            EXPECT_EQ(failure.result(), E_ABORT);
        }
    }
}

// A job that fails once a newer job has superseded it failed at work already replaced: whatever it threw,
// nothing reaches the failure callback. The same failure of a current job does, and the callback can
// still read that job's ticket, which the main window sends on with it.
TEST_F(worker_lanes, a_superseded_jobs_failure_is_dropped_and_a_current_ones_comes_with_its_ticket) {
    const auto engine_answer = [](HRESULT answer) {
        error_handling::check_result(error_handling::check_context{nullptr, IID_IUnknown, "", 0}, answer);
    };
    const struct {
        const char* kind;
        std::function<void()> fail;
    } failures[] = {
        {"a plain exception", [] { throw std::runtime_error("stage failed"); }},
        {"a failed engine call", [] { throw error_handling::interface_exception(E_FAIL, ""); }},
        {"no memory", [] { throw std::bad_alloc(); }},
        {"the engine's cancelled answer", [=] { engine_answer(error_handling::engine_job_cancelled); }},
        {"the engine's thread-stopped answer", [=] { engine_answer(error_handling::engine_thread_stopped); }},
    };
    for (const auto& failure : failures)
        for (const bool superseded : {false, true}) {
            SCOPED_TRACE(std::string(failure.kind) + (superseded ? ", superseded" : ", current"));
            test_lane lane;
            std::atomic<bool> go{false};
            std::atomic<bool> next_ran{false};
            const std::uint32_t failing = lane.queue_job([&](unsigned) {
                eventually([&] { return go.load(); });
                failure.fail();
            });
            // The next job supersedes the failing one only when its ticket is stored.
            cpp::threading::job next([&](unsigned) { next_ran = true; });
            if (superseded)
                tessolux::queue_job(&lane.cell, lane.worker, lane.producer, next);
            else
                lane.producer->push(next);
            go = true;
            ASSERT_TRUE(eventually([&] { return next_ran.load(); }));
            ASSERT_EQ(lane.failure_count(), superseded ? 0 : 1);
            if (!superseded) {
                EXPECT_EQ(lane.failure_ticket(), failing);
            }
        }
}

// The engine's threads and the UI thread ask too, through the progress handler: they have no lane, and
// nothing cancels them.
TEST_F(worker_lanes, off_a_worker_no_job_is_cancelled) {
    EXPECT_FALSE(is_job_cancelled()) << "the UI thread";
    std::atomic<int> plain{-1};
    std::thread([&] { plain = is_job_cancelled() ? 1 : 0; }).join();
    EXPECT_EQ(plain, 0) << "a thread the system did not start, as the engine's own";
}

} // namespace
