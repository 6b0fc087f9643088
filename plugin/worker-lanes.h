// Worker lanes: a background thread fed by its own job queue, and the job tickets by which a job learns
// that a newer job of its lane has superseded it.
//
// A lane is a thread, its queue, the producer user the UI thread pushes through and a 32-bit
// latest-ticket cell that only the UI thread writes. Queuing a job returns its ticket and stores it in
// the cell; a job whose ticket is older than the cell's (or whose thread is asked to stop) is superseded
// and stops at its next check: the end of its debounce sleep, every poll, the checks between its engine
// calls and every engine progress report. A result is handed on only if, when the UI thread runs it,
// the cell still holds exactly that job's ticket.
#pragma once

#include <cstdint>
#include <exception>

#include "am-functional.h"
#include "am-threading.h"

namespace tessolux {

// The two lanes of the filter dialog: the six stages run below normal priority so the preview, which
// is what the user looks at, wins the processor.
inline constexpr std::uint32_t filter_lane_capacity = 200;
inline constexpr int filter_lane_priority = -1; // THREAD_PRIORITY_BELOW_NORMAL
inline constexpr std::uint32_t preview_lane_capacity = 1000;
inline constexpr int preview_lane_priority = 0; // THREAD_PRIORITY_NORMAL

// Called on the worker thread with every failure of a job that is still current, while job_ticket()
// gives that job's ticket.
using failure_callback = cpp::moveonly_function<void(std::exception_ptr)>;

// What a lane's thread runs: the queue it consumes, the lane's latest-ticket cell and where failures go.
struct worker_closure {
    cpp::threading::sp_sc_queue* queue;
    std::uint32_t* latest_ticket;
    failure_callback on_failure;
};

// Starts the lane's thread over queue and cell (both must outlive it), then sets its priority. Jobs that
// fail go to on_failure on the worker thread; cancellations, and failures of superseded jobs, end a job
// silently.
cpp::threading::thread_ptr start_worker(cpp::threading::sp_sc_queue& queue, std::uint32_t* latest_ticket,
                                        int priority, failure_callback&& on_failure);

// The thread body: in COM's multithreaded apartment, takes and runs jobs until the thread is asked to
// stop. A failing job never ends the lane.
void worker_loop(worker_closure& closure);

void invoke_failure_callback(const failure_callback& callback, std::exception_ptr failure);

// UI thread only: records the newest ticket queued on the lane.
void store_job_ticket(std::uint32_t* cell, std::uint32_t ticket) noexcept;

// The ticket of the job running on the calling thread.
std::uint32_t job_ticket() noexcept;

// Whether the job running on the calling thread is superseded or its thread asked to stop. On a thread
// that is not a worker (the UI thread, an engine thread) only that thread's stop request counts.
bool is_job_cancelled() noexcept;

// Throws cpp::threading::thread_cancelation when the thread is asked to stop, else
// cpp::exceptional::user_cancelation when the job is superseded.
void throw_if_job_cancelled();

// Sleeps while the job stays current: true when the whole time passed, false as soon as the job is
// superseded; throws cpp::threading::thread_cancelation when the thread is asked to stop.
bool interruptible_sleep(int milliseconds);

// The queuing sequence of every stage launcher, on the UI thread: push, store the ticket, and wake the
// worker if it waits, so a job sleeping out its delay re-tests itself at once. The job is moved out.
std::uint32_t queue_job(std::uint32_t* cell, cpp::threading::thread_ptr& worker,
                        cpp::threading::producer_user& producer, cpp::threading::job& job);
void wake_if_waiting(cpp::threading::thread_ptr& worker) noexcept;

// The result-delivery check, on the UI thread: whether the cell still holds exactly this ticket.
bool is_latest_ticket(std::uint32_t* cell, std::uint32_t ticket) noexcept;
// The failure-delivery check, on the UI thread: whether a newer ticket has been stored since, as the job
// itself tests (a preview's own ticket may never have been stored).
bool is_superseded_ticket(std::uint32_t* cell, std::uint32_t ticket) noexcept;

// Whether ticket latest was queued after ticket mine. Tickets are 30 bits wide and wrap; a latest
// ticket up to half the ticket range ahead counts as newer, so the wrap does not let a superseded job
// run on. A latest ticket behind mine does not count: a job may start, and test itself, before its
// launcher has stored its ticket.
constexpr bool is_newer_ticket(std::uint32_t latest, std::uint32_t mine) noexcept {
    const std::uint32_t ahead = (latest - mine) & cpp::threading::details::sp_sc_impl::ticket_mask;
    return ahead != 0 && ahead < (cpp::threading::details::sp_sc_impl::ticket_mask + 1) / 2;
}

} // namespace tessolux
