// Foundation: threads that stop cooperatively, the waits they are stopped in, the ring queues that carry
// work between threads and the cache-line lock. There is no mutex: threads meet through atomic words and
// the auto-reset event of each thread's waker.
//
// A stop request only sets the thread's state word to stop_requested and signals its event. Waits report
// it (false, wait_result::stopped, pop_status::stopped); spin loops, the queues and the lock throw
// thread_cancelation, which the thread body catches. Spin loops pause every round and do their expensive
// step (stop check, park, sleep) only every 256th round.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <thread>
#include <type_traits>

#include "am-async.h"
#include "am-cancelation.h"
#include "am-common.h"
#include "am-concurrent-array.h"
#include "am-functional.h"

namespace cpp::threading {

// What the waits test: true when the awaited condition holds.
using predicate = moveonly_function<bool(), 1>;
// The element of both ring queues: a job or posted task, called with 1.
using job = moveonly_function<void(unsigned)>;

enum class wait_result : std::uint32_t {
    timed_out = 0,
    satisfied = 1,
    stopped = 2, // the calling thread's stop was requested, or the state was changed under the wait
};

// ---- Threads ---------------------------------------------------------------------------------------

// The calling thread's own record. Zero on every thread at its start; trivially destructible, because
// the host's threads outlive the module and nothing may run for them when they end.
struct thread_context {
    // The word that holds the thread's waker: inside its thread_control, or its thread_registration.
    // Null on a thread that is neither started by start_thread nor registered.
    waker_ptr* waker_slot;
    // The ticket of the job that the worker loop is running.
    std::uint32_t job_ticket;
    // Where the thread's owner records the newest ticket it has queued.
    std::uint32_t* latest_ticket;
};
static_assert(std::is_trivially_destructible_v<thread_context>);

thread_context* current_thread_context() noexcept;

// True when the calling thread has a waker and its stop has been requested.
bool stop_requested() noexcept;
void throw_if_stop_requested();

class thread_control;
class thread_ptr;
thread_ptr start_thread(moveonly_function<void()>&& body);
void run_thread_body(thread_control& control) noexcept;

// One thread running one function. Owned by two: its thread_ptr, from start_thread until it lets go, and
// the running thread, until its function has returned and its end state is stored. The last of the two
// frees it, so a function that drops its own thread_ptr keeps its control (its waker, its own closure)
// to the end.
class thread_control {
public:
    thread_control(const thread_control&) = delete;
    thread_control& operator=(const thread_control&) = delete;

private:
    friend class thread_ptr;
    friend thread_ptr start_thread(moveonly_function<void()>&& body);
    friend void run_thread_body(thread_control& control) noexcept;
    friend struct std::default_delete<thread_control>;

    explicit thread_control(moveonly_function<void()>&& body) noexcept : function_(std::move(body)) {}
    ~thread_control() = default;
    void request_stop() noexcept;
    // The holder's side: asks the thread to stop, joins it (or, called from the thread itself, leaves it
    // to end on its own) and gives up the holder's share. Never throws.
    void let_go() noexcept;
    // Gives up one share; the last frees the control.
    void release() noexcept;

    moveonly_function<void()> function_;
    std::thread thread_;
    // Empty unless the function ended with an exception other than thread_cancelation.
    std::exception_ptr failure_;
    waker_ptr waker_;
    // The holder's share and, from the thread's start to its end, the running thread's.
    std::atomic<std::uint32_t> owners_{1};
};

// Owns one thread_control; destroying or resetting it stops and joins the thread.
class thread_ptr {
public:
    thread_ptr() noexcept = default;
    thread_ptr(thread_ptr&& other) noexcept : control_(std::exchange(other.control_, nullptr)) {}
    thread_ptr& operator=(thread_ptr&& other) noexcept;
    thread_ptr(const thread_ptr&) = delete;
    thread_ptr& operator=(const thread_ptr&) = delete;
    ~thread_ptr() { reset(); }

    // SetThreadPriority on the thread's own handle; the result is not looked at.
    void set_priority(int priority) noexcept;
    // The state word; finished when empty.
    thread_state state() const noexcept;
    // Sets the state to stop_requested and wakes the thread if it is blocked in a wait. An ended thread
    // keeps its final state.
    void request_stop() noexcept;
    // Signals the thread's event: a wait re-tests its predicate, an idle wait takes what was queued.
    void wake() noexcept;
    // Waits for the thread to end without asking it to stop. Errors of the join are the standard
    // library's exceptions.
    void join();
    // The exception the thread's function ended with; read it after the thread has ended.
    std::exception_ptr failure() const noexcept;
    // Stops, joins and frees the thread; the pointer becomes empty. Called from the thread's own
    // function, it stops the thread and leaves it to run to its end, where its control is freed.
    void reset() noexcept;

    explicit operator bool() const noexcept { return control_ != nullptr; }

private:
    friend thread_ptr start_thread(moveonly_function<void()>&& body);
    explicit thread_ptr(thread_control* control) noexcept : control_(control) {}

    thread_control* control_ = nullptr;
};

// Runs body on a new thread. The body is moved in; if the waker or the thread cannot be made, the body is
// destroyed and the failure thrown, nothing is left behind.
thread_ptr start_thread(moveonly_function<void()>&& body);

// Gives a waker to a thread that start_thread did not start (the host's UI thread), so that it can park
// in the queues and the lock. Made and destroyed on the same thread; must not move while it lives.
class thread_registration {
public:
    thread_registration();
    thread_registration(const thread_registration&) = delete;
    thread_registration& operator=(const thread_registration&) = delete;
    ~thread_registration();

private:
    // Null when the thread had a waker already.
    waker_ptr waker_;
    void* thread_;
};

// Waits on waker until ready holds. False when the wait could not be announced (a stop was requested, or
// another thread waits on this waker), when the calling thread's stop is requested, or when the state was
// changed under the wait.
bool wait(thread_waker& waker, predicate& ready);
// Like wait, for at most timeout milliseconds.
wait_result wait_for(thread_waker& waker, std::int64_t timeout, predicate& ready);
// wait_for on the calling thread's own waker; a thread without one polls every millisecond.
wait_result this_thread_wait_for(std::int64_t timeout, predicate& ready);

// ---- Job queue: one producer, one consumer ---------------------------------------------------------

enum class pop_status : std::uint32_t {
    timed_out = 0,
    taken = 1,
    stopped = 2, // the calling thread's stop was requested or its wait failed
    ended = 3,   // the keep-waiting predicate returned false
};

namespace details {

// The states of a queue slot; only these values occur.
enum slot_state : std::uint32_t {
    slot_free = 1,
    slot_parked = 2, // free, and the consumer sleeps on this slot; its waker is in the slot
    slot_busy = 4,   // a producer is writing the slot
    slot_full = 8,   // holds an element for the consumer
};

struct alignas(64) job_slot {
    job element;
    std::atomic<std::uint32_t> state{slot_free};
    // The parked consumer's waker; set only around the parked state.
    waker_ptr waker;
};

class consumer_base {
public:
    // Takes the next element. timeout in milliseconds, -1 for none; the wait goes on while keep_waiting
    // returns true. Every exit without an element leaves element empty.
    virtual void pop(job& element, std::int64_t timeout, std::uint32_t& ticket, pop_status& status,
                     predicate& keep_waiting) = 0;

protected:
    ~consumer_base() = default;
};

class producer_base {
public:
    // Moves element into the queue and returns its ticket; waits while the queue is full and throws
    // thread_cancelation when the calling thread is asked to stop meanwhile.
    virtual std::uint32_t push(job& element) = 0;
    // As push, but never stopped.
    virtual std::uint32_t push_uninterruptible(job& element) = 0;
    // One attempt: when the queue is full nothing is pushed, busy is set and 0 returned.
    virtual std::uint32_t try_push(job& element, bool& busy) = 0;

protected:
    ~producer_base() = default;
};

// The ring behind sp_sc_queue. Positions count pushes and pops from 0 and wrap at 2^32; a ticket is a
// position's low 30 bits.
class alignas(64) sp_sc_impl final : public consumer_base, public producer_base {
public:
    static constexpr std::uint32_t ticket_mask = 0x3fffffff;

    // The capacity is clamped to [256, 0x1000000] and rounded up to a power of two.
    sp_sc_impl(std::uint32_t capacity, std::uint32_t maximum_producers, std::uint32_t maximum_consumers);
    sp_sc_impl(const sp_sc_impl&) = delete;
    sp_sc_impl& operator=(const sp_sc_impl&) = delete;
    // Destroys every element still stored.
    ~sp_sc_impl() = default;

    void pop(job& element, std::int64_t timeout, std::uint32_t& ticket, pop_status& status,
             predicate& keep_waiting) override;
    std::uint32_t push(job& element) override { return push_into_slot(element, true); }
    std::uint32_t push_uninterruptible(job& element) override { return push_into_slot(element, false); }
    std::uint32_t try_push(job& element, bool& busy) override;

    // Users of each side: the current number in the low 16 bits of the counter, the maximum in the high.
    bool join(consumer_base&) noexcept { return join(consumer_users_); }
    bool join(producer_base&) noexcept { return join(producer_users_); }
    void leave(consumer_base&) noexcept { leave(consumer_users_); }
    void leave(producer_base&) noexcept { leave(producer_users_); }

    // Elements pushed and not yet taken, as published by both sides.
    std::uint32_t queued_count() const noexcept;

    // Exclusive use: both sides are marked as taken until release_exclusive.
    void acquire_exclusive();
    void release_exclusive() noexcept;
    // With exclusive use: destroys every element and starts over with a new capacity (not clamped).
    void rebuild(std::uint32_t capacity);
    // With exclusive use of an empty queue: both positions continue from position.
    void restart_at(std::uint32_t position) noexcept;

    std::uint32_t capacity() const noexcept { return storage_.capacity(); }

private:
    std::uint32_t push_into_slot(job& element, bool stoppable);
    void take(job_slot& slot, job& element, std::uint32_t my_ticket, std::uint32_t& ticket,
              pop_status& status) noexcept;
    void spin_pop(job_slot& slot, std::uint32_t seen, job& element, std::int64_t timeout,
                  std::uint32_t my_ticket, std::uint32_t& ticket, pop_status& status,
                  predicate& keep_waiting);
    static bool join(std::atomic<std::uint32_t>& users) noexcept;
    static void leave(std::atomic<std::uint32_t>& users) noexcept;
    static bool claim_all(std::atomic<std::uint32_t>& users) noexcept;
    static void unclaim_all(std::atomic<std::uint32_t>& users) noexcept;

    cpp::details::concurrent_storage<job_slot> storage_;
    std::atomic<std::uint32_t> consumer_users_;
    std::atomic<std::uint32_t> producer_users_;
    // Written by the producer only.
    alignas(64) std::uint32_t producer_position_ = 0;
    std::atomic<std::uint32_t> published_producer_position_{0};
    // Written by the consumer only.
    alignas(64) std::uint32_t consumer_position_ = 0;
    std::atomic<std::uint32_t> published_consumer_position_{0};
    bool consumer_parked_ = false;
};

} // namespace details

// A counted user of one side of a job queue (details::consumer_base or details::producer_base).
template <class Side> class as_queue_user {
public:
    as_queue_user() noexcept = default;
    as_queue_user(as_queue_user&& other) noexcept : side_(std::exchange(other.side_, nullptr)) {}
    as_queue_user& operator=(as_queue_user&& other) noexcept {
        if (this != &other) {
            release();
            side_ = std::exchange(other.side_, nullptr);
        }
        return *this;
    }
    as_queue_user(const as_queue_user&) = delete;
    as_queue_user& operator=(const as_queue_user&) = delete;
    ~as_queue_user() { release(); }

    Side* operator->() const noexcept { return side_; }
    Side& operator*() const noexcept { return *side_; }
    explicit operator bool() const noexcept { return side_ != nullptr; }

    // Adopts a user already counted in its side's counter.
    static as_queue_user adopt(Side& side) noexcept {
        as_queue_user user;
        user.side_ = &side;
        return user;
    }

private:
    void release() noexcept {
        if (Side* const side = std::exchange(side_, nullptr))
            static_cast<details::sp_sc_impl&>(*side).leave(*side);
    }

    Side* side_ = nullptr;
};

using consumer_user = as_queue_user<details::consumer_base>;
using producer_user = as_queue_user<details::producer_base>;

class sp_sc_queue;

// Use of a whole job queue with no other user; needed to rebuild it.
class exclusive_user {
public:
    exclusive_user() noexcept = default;
    exclusive_user(exclusive_user&& other) noexcept : impl_(std::exchange(other.impl_, nullptr)) {}
    exclusive_user& operator=(exclusive_user&& other) noexcept {
        if (this != &other) {
            release();
            impl_ = std::exchange(other.impl_, nullptr);
        }
        return *this;
    }
    exclusive_user(const exclusive_user&) = delete;
    exclusive_user& operator=(const exclusive_user&) = delete;
    ~exclusive_user() { release(); }

    explicit operator bool() const noexcept { return impl_ != nullptr; }
    details::sp_sc_impl* get() const noexcept { return impl_; }

private:
    friend class sp_sc_queue;
    friend exclusive_user acquire_exclusive_user(sp_sc_queue& queue);
    explicit exclusive_user(details::sp_sc_impl* impl) noexcept : impl_(impl) {}
    void release() noexcept {
        if (impl_ != nullptr)
            std::exchange(impl_, nullptr)->release_exclusive();
    }

    details::sp_sc_impl* impl_ = nullptr;
};

// The job queue of a worker: one producer user and one consumer user at a time. Holds its ring in place
// at the first 64-byte boundary of its own storage, so it does not move.
class sp_sc_queue {
public:
    explicit sp_sc_queue(std::uint32_t capacity);
    sp_sc_queue(const sp_sc_queue&) = delete;
    sp_sc_queue& operator=(const sp_sc_queue&) = delete;
    ~sp_sc_queue();

    // Destroys the queued elements unrun and starts over with the new capacity (at least 1, rounded up to
    // a power of two). Throws when user is empty.
    void rebuild(exclusive_user& user, std::uint32_t capacity);

    details::sp_sc_impl& impl() const noexcept { return *impl_; }

private:
    details::sp_sc_impl* impl_;
    unsigned char storage_[sizeof(details::sp_sc_impl) + alignof(details::sp_sc_impl) - 1];
};

// Each throws std::runtime_error when the side already has its maximum of users.
consumer_user as_consumer_user(sp_sc_queue& queue);
producer_user as_producer_user(sp_sc_queue& queue);
// Throws std::runtime_error when either side has a user.
exclusive_user acquire_exclusive_user(sp_sc_queue& queue);

// Takes the next job, waiting without limit; status stopped when the thread is asked to stop.
void dequeue_wait(consumer_user& consumer, job& element, std::uint32_t& ticket, pop_status& status);
// Jobs pushed and not yet taken.
std::uint32_t queued_count(const producer_user& producer) noexcept;

namespace details {
// For tests of the ticket wrap: an empty queue continues from position instead of 0.
void restart_positions(exclusive_user& user, std::uint32_t position);
} // namespace details

// ---- Task queue: many producers, one consumer ------------------------------------------------------

namespace details {
class task_ring;
}

// The queue of callables that other threads post to a window's thread. Owns its ring; a moved-from
// queue is empty and refuses to be used.
class task_queue {
public:
    task_queue() noexcept = default;
    task_queue(task_queue&& other) noexcept : ring_(std::exchange(other.ring_, nullptr)) {}
    task_queue& operator=(task_queue&& other) noexcept;
    task_queue(const task_queue&) = delete;
    task_queue& operator=(const task_queue&) = delete;
    // Destroys every task still queued.
    ~task_queue();

    // Any thread. Moves task in and returns its ticket (the number of tasks pushed before it); waits
    // while the ring is full and throws thread_cancelation if asked to stop meanwhile. A push takes its
    // ticket only once its slot is free, so a push that is stopped leaves nothing behind.
    std::uint32_t enqueue(job& task);
    // As enqueue, but never waits: false, and task left as it was, when the ring is full.
    bool try_enqueue(job& task);
    // The one consumer. Waits until the next task is there; throws thread_cancelation when the wait ends
    // without one (the thread was asked to stop).
    void dequeue(job& task, std::uint32_t& ticket);
    // The one consumer. False at once when no push has taken the next ticket; otherwise dequeue, whose
    // wait is then only for that push to finish writing its task.
    bool try_dequeue(job& task, std::uint32_t& ticket);

    explicit operator bool() const noexcept { return ring_ != nullptr; }

private:
    friend task_queue create_task_queue(std::uint32_t capacity, std::uint32_t user_limit);
    explicit task_queue(details::task_ring* ring) noexcept : ring_(ring) {}

    details::task_ring* ring_ = nullptr;
};

// The capacity is clamped to [256, 0x1000000] and rounded up to a power of two; user_limit is not used.
task_queue create_task_queue(std::uint32_t capacity, std::uint32_t user_limit);
// dequeue without the ticket.
void take_task(task_queue& queue, job& task);
// try_dequeue without the ticket.
bool try_take_task(task_queue& queue, job& task);

// ---- Cache-line lock ---------------------------------------------------------------------------------

namespace details {
struct lock_waiter;
}

// An exclusive, non-recursive lock whose word sits alone on its cache line. Waiting threads spin, then
// one of them parks on its waker and the others sleep with a growing back-off.
class cacheline_lock {
public:
    cacheline_lock() noexcept;
    cacheline_lock(const cacheline_lock&) = delete;
    cacheline_lock& operator=(const cacheline_lock&) = delete;
    ~cacheline_lock();

    // Throws thread_cancelation when the calling thread is asked to stop while it waits for the holder.
    void lock();
    // Never blocks. Unlocking a lock the calling thread does not hold is not detected.
    void unlock() noexcept;

private:
    std::int32_t wait_for_release();
    bool park(details::lock_waiter& waiter);
    details::lock_waiter& ensure_waiter();

    std::atomic<details::lock_waiter*> waiter_{nullptr};
    // The word lives at the first 64-byte boundary inside, so its whole line is ours.
    unsigned char area_[248];
    std::atomic<std::int32_t>* word_;
};

} // namespace cpp::threading
