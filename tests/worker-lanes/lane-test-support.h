// What the lane and stage-job tests share: a worker lane owned by the test, as the main window will own
// its two, and the bounded waits for what the worker does.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <utility>

#include "am-threading.h"
#include "plugin/worker-lanes.h"

#include "../support/bounded-wait.h"

namespace lane_test {

using test_support::eventually;

// A delay no test waits out: a job that sleeps it to its end shows up as a missed bound.
inline constexpr int endless_delay = 600'000;

// One lane: cell, queue, producer and worker, in the order the main window makes them. Failures are
// counted and the last one kept, with the ticket job_ticket() gave in the callback. Must not move: the
// worker's failure callback points at it.
class test_lane {
public:
    test_lane() {
        producer = cpp::threading::as_producer_user(queue);
        worker = tessolux::start_worker(queue, &cell, tessolux::filter_lane_priority,
                                        [this](std::exception_ptr failure) {
                                            last_failure = failure;
                                            last_failure_ticket = tessolux::job_ticket();
                                            // release: publishes last_failure to failure_count's acquire.
                                            failures.fetch_add(1, std::memory_order_release);
                                        });
    }
    test_lane(const test_lane&) = delete;
    test_lane& operator=(const test_lane&) = delete;
    // The worker goes first: its failure callback reaches the members below.
    ~test_lane() { worker.reset(); }

    template <class Job> std::uint32_t queue_job(Job&& body) {
        cpp::threading::job job(std::forward<Job>(body));
        return tessolux::queue_job(&cell, worker, producer, job);
    }

    // True once the worker has taken every job and is blocked: in a job's delay or poll, or idle.
    bool worker_waits() const {
        return queue.impl().queued_count() == 0 && worker.state() == cpp::threading::thread_state::waiting;
    }

    int failure_count() const { return failures.load(std::memory_order_acquire); }
    // The kept failure rethrown, and its job's ticket; call after failure_count said there is one.
    void rethrow_failure() const { std::rethrow_exception(last_failure); }
    std::uint32_t failure_ticket() const { return last_failure_ticket; }

    std::uint32_t cell = 0;
    cpp::threading::sp_sc_queue queue{tessolux::filter_lane_capacity};
    cpp::threading::producer_user producer;
    cpp::threading::thread_ptr worker;

private:
    std::atomic<int> failures{0};
    std::exception_ptr last_failure;
    std::uint32_t last_failure_ticket = 0;
};

} // namespace lane_test
