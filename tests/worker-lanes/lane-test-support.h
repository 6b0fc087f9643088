// What the lane and stage-job tests share: a worker lane owned by the test, as the main window will own
// its two, and bounded waits for what the worker does.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <thread>

#include "am-threading.h"
#include "plugin/worker-lanes.h"

namespace lane_test {

// Generous for a loaded CI machine under Wine; a healthy run takes milliseconds.
inline constexpr std::chrono::seconds bound{10};

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

// One lane: cell, queue, producer and worker, in the order the main window makes them. Failures are
// counted and the last one kept. Must not move: the worker's failure callback points at it.
class test_lane {
public:
    // first_ticket: the queue continues from there instead of 0 (for the ticket wrap).
    explicit test_lane(int priority = tessolux::filter_lane_priority, std::uint32_t first_ticket = 0)
        : cell(first_ticket == 0 ? 0 : first_ticket - 1) {
        if (first_ticket != 0) {
            cpp::threading::exclusive_user exclusive = cpp::threading::acquire_exclusive_user(queue);
            cpp::threading::details::restart_positions(exclusive, first_ticket);
        }
        producer = cpp::threading::as_producer_user(queue);
        worker = tessolux::start_worker(queue, &cell, priority, [this](std::exception_ptr failure) {
            last_failure = failure;
            // release: publishes last_failure to the test's acquire load of the count.
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

    int failure_count() const { return failures.load(std::memory_order_acquire); }
    // The kept failure rethrown; call after failure_count said there is one.
    void rethrow_failure() const { std::rethrow_exception(last_failure); }

    std::uint32_t cell;
    cpp::threading::sp_sc_queue queue{tessolux::filter_lane_capacity};
    cpp::threading::producer_user producer;
    cpp::threading::thread_ptr worker;

private:
    std::atomic<int> failures{0};
    std::exception_ptr last_failure;
};

} // namespace lane_test
