#include "worker-lanes.h"

#include <atomic>
#include <utility>

#include "am-threading.h"
#include "abi-export.h"

namespace tessolux {

namespace {

using cpp::threading::current_thread_context;
using cpp::threading::stop_requested;
using cpp::threading::thread_cancelation;

// The cell is one aligned word shared between the UI thread, its only writer, and the worker.
std::atomic_ref<std::uint32_t> cell_of(std::uint32_t* cell) noexcept {
    return std::atomic_ref<std::uint32_t>(*cell);
}

// An engine call that was interrupted (the engine's interrupt, or its "cancelled" and "thread stopped"
// answers while the job is still current and its thread not asked to stop) must not vanish silently:
// the stage chain would wait for a result that never comes. It is reported as an aborted COM call.
std::exception_ptr interrupted_failure() {
    return std::make_exception_ptr(error_handling::interface_exception(E_ABORT, std::string()));
}

// Runs one job and destroys it, also when it throws; returns what the lane's failure callback must hear
// of, or nothing. Only a stop request of this thread ends the lane: then whatever the job ended with is
// the stop itself, so the teardown, which also interrupts the engine, reports nothing.
std::exception_ptr run_job(cpp::threading::job& taken) {
    try {
        const cpp::threading::job job = std::move(taken);
        job(1);
        return {};
    } catch (const thread_cancelation&) {
        if (stop_requested())
            throw;
        return interrupted_failure();
    } catch (const cpp::exceptional::user_cancelation&) {
        return is_job_cancelled() ? std::exception_ptr() : interrupted_failure();
    } catch (...) {
        if (stop_requested())
            throw thread_cancelation();
        return std::current_exception();
    }
}

} // namespace

cpp::threading::thread_ptr start_worker(cpp::threading::sp_sc_queue& queue, std::uint32_t* latest_ticket,
                                        int priority, failure_callback&& on_failure) {
    const cpp::details::poly_allocator allocator;
    cpp::threading::thread_ptr worker = cpp::threading::start_thread(cpp::moveonly_function<void()>(
        [closure = worker_closure{&queue, latest_ticket, std::move(on_failure)}]() mutable {
            worker_loop(closure);
        },
        allocator));
    // Only a running thread has a handle to give a priority to.
    worker.set_priority(priority);
    return worker;
}

void worker_loop(worker_closure& closure) {
    const runtime_init_t apartment;
    cpp::threading::consumer_user consumer = cpp::threading::as_consumer_user(*closure.queue);
    cpp::threading::thread_context& record = *current_thread_context();
    record.latest_ticket = closure.latest_ticket;
    while (!stop_requested()) {
        cpp::threading::job job;
        std::uint32_t ticket = 0;
        cpp::threading::pop_status status = cpp::threading::pop_status::stopped;
        cpp::threading::dequeue_wait(consumer, job, ticket, status);
        if (status == cpp::threading::pop_status::stopped)
            throw thread_cancelation();
        if (status != cpp::threading::pop_status::taken)
            continue;
        record.job_ticket = ticket;
        // A superseded job failed at work already replaced: nobody waits for it, and telling the user
        // would offer to retry what a newer job is doing. The callback runs with the job's ticket still
        // in the record, so it can carry it to the UI thread, which tests it once more.
        std::exception_ptr failure = run_job(job);
        if (failure && !is_job_cancelled())
            invoke_failure_callback(closure.on_failure, std::move(failure));
    }
}

void invoke_failure_callback(const failure_callback& callback, std::exception_ptr failure) {
    callback(failure);
}

void store_job_ticket(std::uint32_t* cell, std::uint32_t ticket) noexcept {
    // seq_cst: pairs with the seq_cst change of the worker's state to "waiting" in its wait. The launcher
    // reads that state next: either it sees the worker waiting and wakes it, or the worker, which tests
    // its job again after announcing the wait, sees this ticket. Anything weaker can lose the wake.
    cell_of(cell).store(ticket, std::memory_order_seq_cst);
}

std::uint32_t job_ticket() noexcept {
    return current_thread_context()->job_ticket;
}

bool is_job_cancelled() noexcept {
    const cpp::threading::thread_context& record = *current_thread_context();
    if (record.latest_ticket == nullptr)
        return stop_requested();
    // seq_cst: pairs with the launcher's store in store_job_ticket (see there).
    const std::uint32_t latest = cell_of(record.latest_ticket).load(std::memory_order_seq_cst);
    return is_newer_ticket(latest, record.job_ticket) || stop_requested();
}

void throw_if_job_cancelled() {
    if (stop_requested())
        throw thread_cancelation();
    if (is_job_cancelled())
        throw cpp::exceptional::user_cancelation();
}

bool interruptible_sleep(int milliseconds) {
    cpp::threading::predicate superseded(&is_job_cancelled);
    switch (cpp::threading::this_thread_wait_for(milliseconds > 0 ? milliseconds : 0, superseded)) {
    case cpp::threading::wait_result::timed_out:
        return true;
    case cpp::threading::wait_result::satisfied:
        // The predicate also holds for a stop request, which must unwind the thread, not end one job.
        if (stop_requested())
            throw thread_cancelation();
        return false;
    default:
        throw thread_cancelation();
    }
}

std::uint32_t queue_job(std::uint32_t* cell, cpp::threading::thread_ptr& worker,
                        cpp::threading::producer_user& producer, cpp::threading::job& job) {
    const std::uint32_t ticket = producer->push(job);
    store_job_ticket(cell, ticket);
    wake_if_waiting(worker);
    return ticket;
}

void wake_if_waiting(cpp::threading::thread_ptr& worker) noexcept {
    // seq_cst read of the state (thread_ptr::state): see store_job_ticket.
    if (worker.state() == cpp::threading::thread_state::waiting)
        worker.wake();
}

bool is_superseded_ticket(std::uint32_t* cell, std::uint32_t ticket) noexcept {
    // relaxed: only the UI thread, which calls this, writes the cell, so it reads its own last store.
    return is_newer_ticket(cell_of(cell).load(std::memory_order_relaxed), ticket);
}

bool is_latest_ticket(std::uint32_t* cell, std::uint32_t ticket) noexcept {
    // relaxed: only the UI thread, which calls this, writes the cell, so it reads its own last store.
    return cell_of(cell).load(std::memory_order_relaxed) == ticket;
}

} // namespace tessolux
