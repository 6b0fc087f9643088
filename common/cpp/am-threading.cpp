#include "am-threading.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

#include "am-collections.h"
#include "am-platform.h"

namespace cpp::threading {

namespace {

constinit thread_local thread_context context{};

thread_waker* current_waker() noexcept {
    const waker_ptr* const slot = context.waker_slot;
    return slot != nullptr ? slot->get() : nullptr;
}

// Spin rhythm: the expensive step of a round runs when (rounds AND mask) is 0.
std::uint32_t spin_mask() noexcept {
    return system_info.processor_count > 0 ? 255 : 0;
}
// The job queue's producer: on a single processor the consumer cannot run while we spin, so sleep at once.
std::uint32_t producer_spin_mask() noexcept {
    return system_info.processor_count > 1 ? 255 : 0;
}
bool expensive_round(std::uint32_t& rounds, std::uint32_t mask) noexcept {
    platform::pause();
    return (++rounds & mask) == 0;
}

using clock = std::chrono::steady_clock;

std::int64_t nanoseconds_since(clock::time_point start) noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - start).count();
}

// timeout milliseconds as nanoseconds; a time-out too long to count in nanoseconds waits "forever".
std::int64_t limit_in_nanoseconds(std::int64_t timeout) noexcept {
    constexpr std::int64_t longest = std::numeric_limits<std::int64_t>::max() / 1'000'000;
    return timeout > longest ? std::numeric_limits<std::int64_t>::max() : timeout * 1'000'000;
}

// Leaves a wait's announcement if the predicate throws, so the waker does not stay in "waiting".
class announced_wait {
public:
    explicit announced_wait(thread_waker& waker) noexcept : waker_(waker) {}
    announced_wait(const announced_wait&) = delete;
    announced_wait& operator=(const announced_wait&) = delete;
    ~announced_wait() {
        if (armed_) {
            thread_state expected = thread_state::waiting;
            waker_.change_state(expected, thread_state::running);
        }
    }
    // Ends the wait normally: false when the state was changed under it (a stop request).
    bool finish() noexcept {
        armed_ = false;
        thread_state expected = thread_state::waiting;
        return waker_.change_state(expected, thread_state::running);
    }
    // Ends the wait leaving the state as it is (a stop request has replaced it).
    void abandon() noexcept { armed_ = false; }

private:
    thread_waker& waker_;
    bool armed_ = true;
};

} // namespace

// ---- Waker -------------------------------------------------------------------------------------------

waker_ptr thread_waker::create() {
    constexpr std::uint32_t size = sizeof(thread_waker);
    constexpr std::uint32_t alignment = std::max<std::uint32_t>(4, alignof(thread_waker));
    std::uint32_t actual = 0;
    void* const block = cpp::details::aligned_allocator::allocate(size, alignment, actual);
    check_allocation(block, "operator new", AM_LIBRARY_HEADER_PLAIN("am-async.h"), size);
    // Frees the block when the event cannot be made; runs after throw_last_error has read the error.
    auto guard = make_scope_guard([block] { cpp::details::aligned_allocator::deallocate(block, size); });
    void* const event = platform::create_event();
    if (event == nullptr) {
        constexpr auto message =
            failure_location("thread_waker", "165", AM_LIBRARY_SOURCE("am-threading.cpp"));
        throw_last_error(message.c_str());
    }
    guard.release();
    return waker_ptr::adopt(::new (block) thread_waker(event));
}

void thread_waker::signal() noexcept {
    platform::set_event(event_);
}

void thread_waker::block(std::uint32_t milliseconds) noexcept {
    platform::wait_event(event_, milliseconds);
}

void thread_waker::release() noexcept {
    // acq_rel: the last holder must see every other holder's use of the waker before it frees it.
    if (references_.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    if (event_ != nullptr)
        platform::close_event(event_);
    this->~thread_waker();
    cpp::details::aligned_allocator::deallocate(this, sizeof(thread_waker));
}

// ---- Threads -----------------------------------------------------------------------------------------

thread_context* current_thread_context() noexcept {
    return &context;
}

bool stop_requested() noexcept {
    thread_waker* const waker = current_waker();
    return waker != nullptr && waker->state() == thread_state::stop_requested;
}

void throw_if_stop_requested() {
    if (stop_requested())
        throw thread_cancelation();
}

// The edge of every started thread: no exception leaves it.
void run_thread_body(thread_control& control) noexcept {
    context.waker_slot = &control.waker_;
    try {
        control.function_();
        control.waker_->store_state(thread_state::finished);
    } catch (const thread_cancelation&) {
        control.waker_->store_state(thread_state::stop_requested);
    } catch (...) {
        // Kept before the state says so: whoever sees "failed" finds the exception.
        control.failure_ = std::current_exception();
        control.waker_->store_state(thread_state::failed);
    }
    // The last use of the control by this thread: if its holder has gone meanwhile, the control goes now.
    control.release();
}

void thread_control::request_stop() noexcept {
    if (!waker_)
        return;
    const thread_state old = waker_->exchange_state(thread_state::stop_requested);
    if (old == thread_state::waiting)
        waker_->signal();
    else if (old == thread_state::finished || old == thread_state::failed)
        waker_->store_state(old); // an ended thread keeps its final state
}

void thread_control::let_go() noexcept {
    request_stop();
    // Only a started, not yet joined thread is joined. A thread cannot join itself: if its own function
    // lets go of its holder, it is left to end on its own and frees the control when it does.
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }
    release();
}

void thread_control::release() noexcept {
    // acq_rel: whichever side frees the control sees everything the other did with it.
    if (owners_.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete this;
}

thread_ptr start_thread(moveonly_function<void()>&& body) {
    // From here the control owns the body; if the waker or the thread cannot be made, both are destroyed.
    std::unique_ptr<thread_control> control(new thread_control(std::move(body)));
    control->waker_ = thread_waker::create();
    thread_control* const running = control.get();
    // The running thread's share, taken before it can start; a thread that cannot be made never takes
    // it, and the control goes with the unique_ptr.
    control->owners_.store(2, std::memory_order_relaxed);
    control->thread_ = std::thread([running] { run_thread_body(*running); });
    return thread_ptr(control.release());
}

thread_ptr& thread_ptr::operator=(thread_ptr&& other) noexcept {
    if (this != &other) {
        thread_control* const previous = std::exchange(control_, std::exchange(other.control_, nullptr));
        if (previous != nullptr)
            previous->let_go();
    }
    return *this;
}

void thread_ptr::set_priority(int priority) noexcept {
    if (control_ != nullptr)
        platform::set_thread_priority(control_->thread_, priority);
}

thread_state thread_ptr::state() const noexcept {
    return control_ != nullptr ? control_->waker_->state() : thread_state::finished;
}

void thread_ptr::request_stop() noexcept {
    if (control_ != nullptr)
        control_->request_stop();
}

void thread_ptr::wake() noexcept {
    if (control_ != nullptr)
        control_->waker_->signal();
}

void thread_ptr::join() {
    if (control_ != nullptr && control_->thread_.joinable())
        control_->thread_.join();
}

std::exception_ptr thread_ptr::failure() const noexcept {
    return control_ != nullptr ? control_->failure_ : std::exception_ptr();
}

void thread_ptr::reset() noexcept {
    if (thread_control* const control = std::exchange(control_, nullptr))
        control->let_go();
}

thread_registration::thread_registration()
    : waker_(thread_waker::create()), thread_(platform::current_thread()) {
    if (context.waker_slot == nullptr)
        context.waker_slot = &waker_;
    else
        waker_.reset(); // the thread is known already; its first waker stays
}

thread_registration::~thread_registration() {
    if (waker_) {
        context.waker_slot = nullptr;
        waker_.reset();
    }
}

// ---- Waits -------------------------------------------------------------------------------------------

bool wait(thread_waker& waker, predicate& ready) {
    thread_state expected = thread_state::running;
    if (!waker.change_state(expected, thread_state::waiting))
        return false;
    announced_wait announced(waker);
    if (!ready()) {
        for (;;) {
            waker.block(platform::infinite_wait);
            if (stop_requested()) {
                announced.abandon();
                return false;
            }
            if (ready())
                break;
        }
    }
    return announced.finish();
}

wait_result wait_for(thread_waker& waker, std::int64_t timeout, predicate& ready) {
    if (ready())
        return wait_result::satisfied;
    if (timeout == 0)
        return wait_result::timed_out;
    const clock::time_point start = clock::now();
    thread_state expected = thread_state::running;
    if (!waker.change_state(expected, thread_state::waiting))
        return wait_result::stopped;
    announced_wait announced(waker);
    // Test again now that the wait is announced: a waker that came between the first test and the
    // announcement saw no waiting thread and may not have signalled.
    if (!ready()) {
        const std::int64_t limit = limit_in_nanoseconds(timeout);
        for (;;) {
            const std::int64_t elapsed = nanoseconds_since(start);
            if (elapsed >= limit)
                break;
            const std::int64_t remaining = (limit - elapsed) / 1'000'000;
            if (remaining == 0)
                break;
            // The event takes 32-bit milliseconds, and 0xffffffff would mean no limit at all.
            waker.block(
                static_cast<std::uint32_t>(std::min<std::int64_t>(remaining, platform::infinite_wait - 1)));
            if (stop_requested()) {
                announced.abandon();
                return wait_result::stopped;
            }
            if (ready())
                break;
        }
    }
    if (!announced.finish())
        return wait_result::stopped;
    return ready() ? wait_result::satisfied : wait_result::timed_out;
}

wait_result this_thread_wait_for(std::int64_t timeout, predicate& ready) {
    if (thread_waker* const waker = current_waker())
        return wait_for(*waker, timeout, ready);
    // Nobody can wake a thread without a waker: poll.
    const clock::time_point start = clock::now();
    if (!ready()) {
        const std::int64_t limit = limit_in_nanoseconds(timeout);
        while (nanoseconds_since(start) < limit) {
            platform::sleep(1);
            if (ready())
                break;
        }
    }
    return ready() ? wait_result::satisfied : wait_result::timed_out;
}

// ---- Job queue ---------------------------------------------------------------------------------------

namespace details {

sp_sc_impl::sp_sc_impl(std::uint32_t capacity, std::uint32_t maximum_producers,
                       std::uint32_t maximum_consumers)
    : storage_(std::clamp<std::uint32_t>(capacity, 256, 0x1000000)), consumer_users_(maximum_consumers << 16),
      producer_users_(maximum_producers << 16) {}

std::uint32_t sp_sc_impl::push_into_slot(job& element, bool stoppable) {
    const std::uint32_t ticket = producer_position_ & ticket_mask;
    job_slot& slot = storage_[ticket];
    const std::uint32_t mask = producer_spin_mask();
    std::uint32_t expected = slot_free;
    std::uint32_t rounds = 0;
    // acquire: pairs with the consumer's release store of slot_free in take (the old element has been
    // moved out) and with its release when it parks (its waker is in the slot).
    while (!slot.state.compare_exchange_strong(expected, slot_busy, std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
        // Full: the queue has gone round and the consumer has not taken this slot's element yet.
        while (expected != slot_free && expected != slot_parked) {
            if (expensive_round(rounds, mask)) {
                if (stoppable && stop_requested())
                    throw thread_cancelation();
                platform::sleep(2);
            }
            expected = slot.state.load(std::memory_order_relaxed);
        }
    }
    const bool parked = expected == slot_parked;
    slot.element = std::move(element);
    if (!parked) {
        // release: publishes the element to the consumer's acquire load of slot_full.
        slot.state.store(slot_full, std::memory_order_release);
    } else {
        // Take the waker before the slot is full: from then on the consumer may take the element and park
        // on the slot again with a waker of its own.
        const waker_ptr waker = std::move(slot.waker);
        slot.state.store(slot_full, std::memory_order_release); // as above
        if (waker)
            waker->signal();
    }
    ++producer_position_;
    // release: queued_count and an exclusive user read it with acquire.
    published_producer_position_.store(producer_position_, std::memory_order_release);
    return ticket;
}

std::uint32_t sp_sc_impl::try_push(job& element, bool& busy) {
    const std::uint32_t ticket = producer_position_ & ticket_mask;
    job_slot& slot = storage_[ticket];
    std::uint32_t expected = slot_free;
    // acquire: as in push_into_slot.
    while (!slot.state.compare_exchange_strong(expected, slot_busy, std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
        if (expected != slot_free && expected != slot_parked) {
            busy = true;
            return 0;
        }
    }
    busy = false;
    const bool parked = expected == slot_parked;
    slot.element = std::move(element);
    const waker_ptr waker = parked ? std::move(slot.waker) : waker_ptr();
    slot.state.store(slot_full, std::memory_order_release); // release: as in push_into_slot
    if (waker)
        waker->signal();
    ++producer_position_;
    published_producer_position_.store(producer_position_, std::memory_order_release); // as in push_into_slot
    return ticket;
}

void sp_sc_impl::take(job_slot& slot, job& element, std::uint32_t my_ticket, std::uint32_t& ticket,
                      pop_status& status) noexcept {
    consumer_parked_ = false;
    element = std::move(slot.element);
    ticket = my_ticket;
    status = pop_status::taken;
    ++consumer_position_;
    // release: queued_count on the producer's side reads it with acquire.
    published_consumer_position_.store(consumer_position_, std::memory_order_release);
    // release: pairs with the producer's acquire compare-exchange; the element has been moved out.
    slot.state.store(slot_free, std::memory_order_release);
}

void sp_sc_impl::pop(job& element, std::int64_t timeout, std::uint32_t& ticket, pop_status& status,
                     predicate& keep_waiting) {
    element = job();
    const std::uint32_t my_ticket = consumer_position_ & ticket_mask;
    job_slot& slot = storage_[my_ticket];
    // acquire: pairs with the producer's release store of slot_full; the element is complete.
    std::uint32_t seen = slot.state.load(std::memory_order_acquire);
    if (seen == slot_full)
        return take(slot, element, my_ticket, ticket, status);
    if (timeout == 0) {
        status = pop_status::timed_out;
        return;
    }
    // Parking is the expensive step of the consumer's spin and comes at its 256th round: a job that
    // follows closely is taken without a sleep and a wake-up, which cost far more than the spin.
    const std::uint32_t mask = spin_mask();
    for (std::uint32_t rounds = 0; seen != slot_full && !expensive_round(rounds, mask);)
        seen = slot.state.load(std::memory_order_acquire); // acquire: as the first load
    if (seen == slot_full)
        return take(slot, element, my_ticket, ticket, status);
    thread_waker* const waker = current_waker();
    if (consumer_parked_ || waker == nullptr)
        return spin_pop(slot, seen, element, timeout, my_ticket, ticket, status, keep_waiting);

    // The waker goes into the slot before the slot says that the consumer is parked on it, so a producer
    // that sees "parked" always finds a waker to signal.
    waker->add_reference();
    slot.waker = waker_ptr::adopt(waker);
    seen = slot_free;
    // release: publishes the waker to the producer's acquire compare-exchange from slot_parked.
    if (!slot.state.compare_exchange_strong(seen, slot_parked, std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
        slot.waker.reset(); // a producer took the slot meanwhile; it does not look at the waker
        return spin_pop(slot, seen, element, timeout, my_ticket, ticket, status, keep_waiting);
    }
    consumer_parked_ = true;
    // Every exit without an element un-parks, unless a producer has claimed the slot meanwhile: then it
    // owns the waker and signals it, and the next pop takes the element.
    auto rollback = make_scope_guard([&] {
        std::uint32_t parked = slot_parked;
        if (slot.state.compare_exchange_strong(parked, slot_free, std::memory_order_acq_rel)) {
            consumer_parked_ = false;
            slot.waker.reset();
        }
    });
    const auto filled = [&slot] {
        // acquire: as the first load in pop.
        return slot.state.load(std::memory_order_acquire) == slot_full;
    };
    if (timeout < 0) {
        predicate ready([&] { return filled() || !keep_waiting(); });
        if (!wait(*waker, ready)) {
            status = pop_status::stopped;
            return;
        }
        if (filled()) {
            rollback.release();
            return take(slot, element, my_ticket, ticket, status);
        }
        status = pop_status::ended;
        return;
    }
    bool ended = false;
    predicate ready([&] {
        if (filled())
            return true;
        ended = !keep_waiting();
        return ended;
    });
    if (wait_for(*waker, timeout, ready) == wait_result::stopped) {
        status = pop_status::stopped;
        return;
    }
    if (filled()) {
        rollback.release();
        return take(slot, element, my_ticket, ticket, status);
    }
    status = ended ? pop_status::ended : pop_status::timed_out;
}

void sp_sc_impl::spin_pop(job_slot& slot, std::uint32_t seen, job& element, std::int64_t timeout,
                          std::uint32_t my_ticket, std::uint32_t& ticket, pop_status& status,
                          predicate& keep_waiting) {
    const std::uint32_t mask = spin_mask();
    const clock::time_point start = clock::now();
    std::uint32_t rounds = 0;
    for (;;) {
        if (seen == slot_full)
            return take(slot, element, my_ticket, ticket, status);
        if (expensive_round(rounds, mask)) {
            if (stop_requested()) {
                status = pop_status::stopped;
                return;
            }
            if (!keep_waiting()) {
                status = pop_status::ended;
                return;
            }
            if (timeout < 0) {
                platform::sleep(1);
            } else {
                platform::sleep(5);
                if (nanoseconds_since(start) / 1'000'000 >= timeout) {
                    // acquire: as the first load in pop.
                    if (slot.state.load(std::memory_order_acquire) == slot_full)
                        return take(slot, element, my_ticket, ticket, status);
                    status = pop_status::timed_out;
                    return;
                }
            }
        }
        seen = slot.state.load(std::memory_order_acquire); // acquire: as the first load in pop
    }
}

bool sp_sc_impl::join(std::atomic<std::uint32_t>& users) noexcept {
    // acq_rel: a new user sees what the previous user of its side did before it left.
    const std::uint32_t old = users.fetch_add(1, std::memory_order_acq_rel);
    if ((old & 0xffff) < (old >> 16))
        return true;
    users.fetch_sub(1, std::memory_order_acq_rel);
    return false;
}

void sp_sc_impl::leave(std::atomic<std::uint32_t>& users) noexcept {
    users.fetch_sub(1, std::memory_order_acq_rel); // acq_rel: as in join
}

// Marks a side without users as taken by raising its current count to the maximum; false when it has a
// user.
bool sp_sc_impl::claim_all(std::atomic<std::uint32_t>& users) noexcept {
    std::uint32_t unused = users.load(std::memory_order_relaxed) & 0xffff0000;
    // acq_rel: as in join.
    return users.compare_exchange_strong(unused, unused | (unused >> 16), std::memory_order_acq_rel);
}

// Takes back exactly what claim_all added, so a user refused meanwhile cannot upset the count.
void sp_sc_impl::unclaim_all(std::atomic<std::uint32_t>& users) noexcept {
    users.fetch_sub(users.load(std::memory_order_relaxed) >> 16, std::memory_order_acq_rel);
}

std::uint32_t sp_sc_impl::queued_count() const noexcept {
    // acquire: pairs with the release stores of both sides. Not masked: a full queue counts its whole
    // capacity, not 0.
    return published_producer_position_.load(std::memory_order_acquire) -
           published_consumer_position_.load(std::memory_order_acquire);
}

[[noreturn]] void throw_exceeding() {
    constexpr auto message = failure_message("throw_exceeding", "1755", AM_LIBRARY_SOURCE("am-threading.cpp"),
                                             "maximum number of users has been exceeded!");
    throw std::runtime_error(message.c_str());
}

void sp_sc_impl::acquire_exclusive() {
    if (!claim_all(producer_users_))
        throw_exceeding();
    if (!claim_all(consumer_users_)) {
        unclaim_all(producer_users_);
        throw_exceeding();
    }
    // acquire: pairs with the release stores of the last users of both sides.
    producer_position_ = published_producer_position_.load(std::memory_order_acquire);
    consumer_position_ = published_consumer_position_.load(std::memory_order_acquire);
}

void sp_sc_impl::release_exclusive() noexcept {
    // release: the next users of either side read them with acquire.
    published_producer_position_.store(producer_position_, std::memory_order_release);
    published_consumer_position_.store(consumer_position_, std::memory_order_release);
    unclaim_all(producer_users_);
    unclaim_all(consumer_users_);
}

void sp_sc_impl::rebuild(std::uint32_t capacity) {
    // Fresh slots replace the old ones, whose destruction destroys the queued elements unrun.
    storage_.reconstruct(capacity);
    restart_at(0);
}

void sp_sc_impl::restart_at(std::uint32_t position) noexcept {
    producer_position_ = position;
    consumer_position_ = position;
    consumer_parked_ = false;
}

void restart_positions(exclusive_user& user, std::uint32_t position) {
    if (user)
        user.get()->restart_at(position);
}

} // namespace details

sp_sc_queue::sp_sc_queue(std::uint32_t capacity) {
    constexpr std::uintptr_t alignment = alignof(details::sp_sc_impl);
    const std::uintptr_t start =
        (reinterpret_cast<std::uintptr_t>(storage_) + alignment - 1) & ~(alignment - 1);
    impl_ = ::new (reinterpret_cast<void*>(start)) details::sp_sc_impl(capacity, 1, 1);
}

sp_sc_queue::~sp_sc_queue() {
    impl_->~sp_sc_impl();
}

void sp_sc_queue::rebuild(exclusive_user& user, std::uint32_t capacity) {
    if (!user) {
        constexpr auto message = failure_message("rebuild", "2892", AM_LIBRARY_SOURCE("am-threading.cpp"),
                                                 "exclusive_user must not be empty!");
        throw std::runtime_error(message.c_str());
    }
    impl_->rebuild(capacity);
}

namespace {
[[noreturn]] void throw_too_many_users() {
    constexpr auto message = failure_message("as_queue_user", "2559", AM_LIBRARY_SOURCE("am-threading.cpp"),
                                             "maximum number of users has been exceeded!");
    throw std::runtime_error(message.c_str());
}

template <class Side> as_queue_user<Side> join_side(sp_sc_queue& queue) {
    details::sp_sc_impl& impl = queue.impl();
    Side& side = impl;
    if (!impl.join(side))
        throw_too_many_users();
    return as_queue_user<Side>::adopt(side);
}
} // namespace

consumer_user as_consumer_user(sp_sc_queue& queue) {
    return join_side<details::consumer_base>(queue);
}

producer_user as_producer_user(sp_sc_queue& queue) {
    return join_side<details::producer_base>(queue);
}

exclusive_user acquire_exclusive_user(sp_sc_queue& queue) {
    queue.impl().acquire_exclusive();
    return exclusive_user(&queue.impl());
}

void dequeue_wait(consumer_user& consumer, job& element, std::uint32_t& ticket, pop_status& status) {
    predicate always([] { return true; });
    consumer->pop(element, -1, ticket, status, always);
}

std::uint32_t queued_count(const producer_user& producer) noexcept {
    return static_cast<const details::sp_sc_impl&>(*producer).queued_count();
}

// ---- Task queue --------------------------------------------------------------------------------------

namespace details {

struct alignas(64) task_slot {
    job task;
    // The ticket of the task last written here. A slot starts with the ticket one lap before its first
    // task, so a producer can tell whether the previous lap of its slot has been written.
    std::atomic<std::uint32_t> ticket{0};
    std::atomic<std::uint32_t> state{slot_free};
    waker_ptr waker;
};
static_assert(sizeof(task_slot) == 128);
static_assert(sizeof(job_slot) == 128);

class task_ring {
public:
    explicit task_ring(std::uint32_t capacity)
        : storage_(std::clamp<std::uint32_t>(capacity, 256, 0x1000000)) {
        std::uint32_t index = 0;
        for (task_slot& slot : storage_)
            slot.ticket.store(index++ - storage_.capacity(), std::memory_order_relaxed);
    }

    // False, with nothing taken and task untouched, when the ring is full and wait_for_room is false.
    bool push(job& task, bool stoppable, bool wait_for_room, std::uint32_t& ticket);
    void pop(job& task, std::uint32_t& ticket);
    // Whether a push has taken the ticket at the pop position; its task is written or being written.
    bool next_claimed() const noexcept {
        // acquire: pairs with the claiming compare-exchange; a claim seen here is one whose slot the pop
        // may wait for.
        return push_counter_.load(std::memory_order_acquire) != pop_position_;
    }

private:
    void take(task_slot& slot, job& task, std::uint32_t& ticket) noexcept;

    cpp::details::concurrent_storage<task_slot> storage_;
    alignas(64) std::atomic<std::uint32_t> push_counter_{0};
    // Written by the consumer only.
    alignas(64) std::uint32_t pop_position_ = 0;
    bool consumer_parked_ = false;
    std::atomic<std::uint32_t> published_pop_position_{0};
};

// A push takes the next ticket only when that ticket's slot is free: the previous lap's task has been
// written and taken. So a claimed ticket is always written a few instructions later, and a producer that
// waits for room holds no ticket: stopping it, or refusing a push to a full ring, leaves no slot that a
// later push or the consumer would wait for. Tickets still come out in the order they were taken.
bool task_ring::push(job& task, bool stoppable, bool wait_for_room, std::uint32_t& ticket) {
    const std::uint32_t capacity = storage_.capacity();
    const std::uint32_t mask = spin_mask();
    std::uint32_t rounds = 0;
    // relaxed: a guess that the compare-exchange below confirms or corrects.
    ticket = push_counter_.load(std::memory_order_relaxed);
    task_slot* slot = nullptr;
    std::uint32_t seen = slot_free;
    for (;;) {
        slot = &storage_[ticket];
        // acquire: pairs with the release store of the previous lap's ticket, so the state read next is
        // no older than that lap's claim.
        const std::uint32_t written = slot->ticket.load(std::memory_order_acquire);
        if (written == ticket - capacity) {
            // acquire: pairs with the consumer's release store of slot_free (the old task has been moved
            // out) and its release when it parks (its waker is in the slot).
            seen = slot->state.load(std::memory_order_acquire);
            if (seen == slot_free || seen == slot_parked) {
                // relaxed: the ticket only has to be ours alone; the slot's words order the rest. A
                // failure leaves the newer counter in ticket.
                if (push_counter_.compare_exchange_weak(ticket, ticket + 1, std::memory_order_relaxed))
                    break;
                continue;
            }
        } else if (static_cast<std::int32_t>(written - (ticket - capacity)) > 0) {
            // The slot is past that lap: another producer took the ticket meanwhile.
            ticket = push_counter_.load(std::memory_order_relaxed);
            continue;
        }
        // Full: the previous lap's task is still in the slot, or still being written.
        if (!wait_for_room)
            return false;
        if (expensive_round(rounds, mask)) {
            if (stoppable && stop_requested())
                throw thread_cancelation();
            platform::sleep(2);
        }
        ticket = push_counter_.load(std::memory_order_relaxed);
    }
    // The ticket is ours, and the slot free or parked on: only the consumer parking on it can change its
    // state now, and a failed exchange has read that change into seen. acquire: as the load above.
    while (!slot->state.compare_exchange_weak(seen, slot_busy, std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
    }
    const bool parked = seen == slot_parked;
    slot->task = std::move(task);
    // release: the next lap's producer reads it with acquire before it looks at the state.
    slot->ticket.store(ticket, std::memory_order_release);
    // Take the waker before the slot is full (the consumer may park on it again once it is taken).
    const waker_ptr waker = parked ? std::move(slot->waker) : waker_ptr();
    // release: publishes the task to the consumer's acquire load of slot_full.
    slot->state.store(slot_full, std::memory_order_release);
    if (waker)
        waker->signal();
    return true;
}

void task_ring::take(task_slot& slot, job& task, std::uint32_t& ticket) noexcept {
    consumer_parked_ = false;
    task = std::move(slot.task);
    ticket = slot.ticket.load(std::memory_order_relaxed);
    // release: pairs with the next producer's acquire compare-exchange; the task has been moved out.
    slot.state.store(slot_free, std::memory_order_release);
    ++pop_position_;
    published_pop_position_.store(pop_position_, std::memory_order_release); // release: for readers of it
}

void task_ring::pop(job& task, std::uint32_t& ticket) {
    task = job();
    task_slot& slot = storage_[pop_position_];
    const auto filled = [&slot] {
        // acquire: pairs with the producer's release store of slot_full; the task is complete.
        return slot.state.load(std::memory_order_acquire) == slot_full;
    };
    if (filled())
        return take(slot, task, ticket);
    thread_waker* const waker = current_waker();
    bool parked = false;
    if (!consumer_parked_ && waker != nullptr) {
        // The waker goes in before the state says "parked"; see the job queue.
        waker->add_reference();
        slot.waker = waker_ptr::adopt(waker);
        std::uint32_t expected = slot_free;
        // release: publishes the waker to the producer's acquire compare-exchange from slot_parked.
        parked = slot.state.compare_exchange_strong(expected, slot_parked, std::memory_order_acq_rel,
                                                    std::memory_order_acquire);
        if (!parked)
            slot.waker.reset(); // a producer took the slot meanwhile; it does not look at the waker
    }
    if (parked) {
        consumer_parked_ = true;
        predicate ready(filled);
        // A failed wait leaves the slot parked and the flag set: the producer that fills the slot still
        // signals the waker kept in it, and the next pop spins instead of parking twice.
        if (!wait(*waker, ready))
            return;
        return take(slot, task, ticket);
    }
    const std::uint32_t mask = spin_mask();
    std::uint32_t rounds = 0;
    while (!filled()) {
        if (expensive_round(rounds, mask)) {
            if (stop_requested())
                return;
            platform::sleep(1);
        }
    }
    take(slot, task, ticket);
}

} // namespace details

task_queue& task_queue::operator=(task_queue&& other) noexcept {
    if (this != &other) {
        delete ring_;
        ring_ = std::exchange(other.ring_, nullptr);
    }
    return *this;
}

task_queue::~task_queue() {
    delete ring_;
}

namespace {

details::task_ring& pushing_ring(details::task_ring* ring) {
    if (ring == nullptr) {
        constexpr auto message =
            failure_message("enqueue", "1010", AM_LIBRARY_SOURCE("am-threading.cpp"),
                            "an attempt was made to enqueue an element into a moved-from task_queue!");
        throw std::runtime_error(message.c_str());
    }
    return *ring;
}

details::task_ring& popping_ring(details::task_ring* ring) {
    if (ring == nullptr) {
        constexpr auto message =
            failure_message("dequeue", "1031", AM_LIBRARY_SOURCE("am-threading.cpp"),
                            "an attempt was made to dequeue an element from a moved-from task_queue!");
        throw std::runtime_error(message.c_str());
    }
    return *ring;
}

} // namespace

std::uint32_t task_queue::enqueue(job& task) {
    std::uint32_t ticket = 0;
    pushing_ring(ring_).push(task, true, true, ticket);
    return ticket;
}

bool task_queue::try_enqueue(job& task) {
    std::uint32_t ticket = 0;
    return pushing_ring(ring_).push(task, true, false, ticket);
}

void task_queue::dequeue(job& task, std::uint32_t& ticket) {
    popping_ring(ring_).pop(task, ticket);
    if (!task.is_callable())
        throw thread_cancelation();
}

bool task_queue::try_dequeue(job& task, std::uint32_t& ticket) {
    if (!popping_ring(ring_).next_claimed())
        return false;
    dequeue(task, ticket);
    return true;
}

task_queue create_task_queue(std::uint32_t capacity, std::uint32_t) {
    return task_queue(new details::task_ring(capacity));
}

void take_task(task_queue& queue, job& task) {
    std::uint32_t ticket = 0;
    queue.dequeue(task, ticket);
}

bool try_take_task(task_queue& queue, job& task) {
    std::uint32_t ticket = 0;
    return queue.try_dequeue(task, ticket);
}

// ---- Cache-line lock ---------------------------------------------------------------------------------

namespace details {

struct alignas(64) lock_waiter {
    // 1 while a thread is parked on the waiter: at most one thread parks at a time.
    std::atomic<std::uint8_t> parked{0};
    // The parked thread's waker, one reference.
    std::atomic<thread_waker*> waker{nullptr};
};
static_assert(sizeof(lock_waiter) == 64);

} // namespace details

namespace {
// Every holder adds holder_weight; a parked waiter adds parked_weight. Nothing sets the low 16 bits.
constexpr std::int32_t holder_weight = -0x10000;
constexpr std::int32_t parked_weight = -0x1000000;
// At or below it the word carries a parked mark.
constexpr std::int32_t parked_threshold = -0x800000;
constexpr std::uint32_t waiter_size = sizeof(details::lock_waiter);
} // namespace

cacheline_lock::cacheline_lock() noexcept : area_{} {
    const auto start = reinterpret_cast<std::uintptr_t>(area_);
    const std::uintptr_t line = (start + 63) & ~std::uintptr_t{63};
    word_ = ::new (reinterpret_cast<void*>(line)) std::atomic<std::int32_t>(0);
}

cacheline_lock::~cacheline_lock() {
    if (details::lock_waiter* const waiter = waiter_.load(std::memory_order_acquire)) {
        waker_ptr::adopt(waiter->waker.load(std::memory_order_relaxed)).reset();
        waiter->~lock_waiter();
        cpp::details::aligned_allocator::deallocate(waiter, waiter_size);
    }
}

void cacheline_lock::lock() {
    std::int32_t expected = 0;
    // acquire: pairs with the release in unlock; the previous holder's writes are seen.
    while (!word_->compare_exchange_strong(expected, expected + holder_weight, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
        // A word without holder is claimed at once. A parked mark without a holder is an unlock between
        // its two additions: claiming then would let a second unlock remove the same mark again and wake
        // a thread that is not parked, so it counts as held until the unlock has finished.
        if (expected < 0)
            expected = wait_for_release();
    }
    // Holders wait for the count in the low 16 bits to drain; nothing in the system sets it.
    while (expected % 0x10000 != 0) {
        platform::pause();
        expected = word_->load(std::memory_order_acquire);
    }
}

std::int32_t cacheline_lock::wait_for_release() {
    const std::uint32_t mask = spin_mask();
    std::uint32_t back_off = 1;
    std::uint32_t rounds = 0;
    for (;;) {
        if (expensive_round(rounds, mask) && !park(ensure_waiter())) {
            if (stop_requested())
                throw thread_cancelation();
            platform::sleep(back_off);
            back_off = std::min<std::uint32_t>(back_off + 1, 10);
        }
        const std::int32_t seen = word_->load(std::memory_order_relaxed);
        if (seen >= 0)
            return seen;
    }
}

bool cacheline_lock::park(details::lock_waiter& waiter) {
    const auto parkable = [](std::int32_t word) { return word < 0 && word > parked_threshold; };
    if (!parkable(word_->load(std::memory_order_relaxed)))
        return false;
    std::uint8_t idle = 0;
    // acquire: pairs with the release that cleared the flag; the waiter's waker field is settled.
    if (!waiter.parked.compare_exchange_strong(idle, 1, std::memory_order_acquire))
        return false;
    // release: pairs with the acquire above in the next thread to park.
    auto unflag = make_scope_guard([&waiter] { waiter.parked.store(0, std::memory_order_release); });
    thread_waker* const waker = current_waker();
    if (waker == nullptr)
        return false;
    std::int32_t seen = word_->load(std::memory_order_relaxed);
    if (!parkable(seen))
        return false;
    // The waker goes into the waiter before the word says that a thread is parked, so the unlock that
    // sees the mark finds it.
    waker->add_reference();
    waker_ptr::adopt(waiter.waker.exchange(waker, std::memory_order_acq_rel)).reset();
    // release: publishes the waker to the unlock that reads the mark.
    if (!word_->compare_exchange_strong(seen, seen + parked_weight, std::memory_order_acq_rel,
                                        std::memory_order_relaxed)) {
        waker_ptr::adopt(waiter.waker.exchange(nullptr, std::memory_order_acq_rel)).reset();
        return false;
    }
    // acquire: pairs with the unlock's removal of the mark.
    predicate released([this] { return word_->load(std::memory_order_acquire) > parked_threshold; });
    return wait(*waker, released);
}

details::lock_waiter& cacheline_lock::ensure_waiter() {
    // acquire: pairs with the release that installed it; its fields are initialised.
    if (details::lock_waiter* const installed = waiter_.load(std::memory_order_acquire))
        return *installed;
    std::uint32_t actual = 0;
    void* const block = cpp::details::aligned_allocator::allocate(waiter_size, 64, actual);
    check_allocation(block, "operator new", AM_LIBRARY_SOURCE_PLAIN("am-threading.cpp"), waiter_size);
    auto* const fresh = ::new (block) details::lock_waiter();
    details::lock_waiter* installed = nullptr;
    // acq_rel: publishes the fresh waiter, or (acquire on failure) sees the one another thread installed.
    if (waiter_.compare_exchange_strong(installed, fresh, std::memory_order_acq_rel,
                                        std::memory_order_acquire))
        return *fresh;
    fresh->~lock_waiter();
    cpp::details::aligned_allocator::deallocate(fresh, waiter_size);
    return *installed;
}

void cacheline_lock::unlock() noexcept {
    // release: publishes the holder's writes to the next lock's acquire; acquire: a parked mark read here
    // comes with the waker the parked thread put into the waiter.
    const std::int32_t old = word_->fetch_add(-holder_weight, std::memory_order_acq_rel);
    if (old >= parked_threshold)
        return;
    // Take the waker out before the mark goes: once it is gone, another thread may park and put its own
    // waker into the waiter.
    details::lock_waiter* const waiter = waiter_.load(std::memory_order_acquire);
    const waker_ptr waker = waker_ptr::adopt(
        waiter != nullptr ? waiter->waker.exchange(nullptr, std::memory_order_acq_rel) : nullptr);
    // release: the parked thread's predicate reads the word with acquire.
    word_->fetch_add(-parked_weight, std::memory_order_acq_rel);
    if (waker)
        waker->signal();
}

} // namespace cpp::threading
