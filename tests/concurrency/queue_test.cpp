#include "am-threading.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../support/bounded-wait.h"

namespace {

using namespace cpp::threading;
using test_support::blocked_in_wait;
using test_support::eventually;

constexpr std::uint32_t ticket_mask = details::sp_sc_impl::ticket_mask;

struct popped {
    job element;
    std::uint32_t ticket = 0xdeadbeef;
    pop_status status = pop_status::stopped;
};

popped pop_now(consumer_user& consumer, std::int64_t timeout = 0, bool keep_waiting = true) {
    popped result;
    predicate keep([keep_waiting] { return keep_waiting; });
    consumer->pop(result.element, timeout, result.ticket, result.status, keep);
    return result;
}

void restart_at(sp_sc_queue& queue, std::uint32_t position) {
    exclusive_user user = acquire_exclusive_user(queue);
    details::restart_positions(user, position);
}

// One producer (this thread) against a consumer that parks. In alternate stretches the producer lets the
// consumer drain the queue, so that the next push meets a parked consumer or one on its way to park,
// and pushes flat out into a full queue. The positions start short of the 30-bit ticket wrap.
TEST(job_queue, pushes_against_a_parking_consumer_arrive_once_and_in_ticket_order) {
    constexpr std::uint32_t count = 100'000;
    constexpr std::uint32_t first_position = ticket_mask - count / 2 + 1;
    sp_sc_queue queue(256);
    restart_at(queue, first_position);
    std::vector<std::uint8_t> runs(count, 0);
    std::uint32_t next = 0;   // the consumer's alone
    std::uint32_t faults = 0; // the consumer's: out of order, or with a ticket not its own
    thread_ptr consumer = start_thread([&] {
        consumer_user user = as_consumer_user(queue);
        while (next != count) {
            job element;
            std::uint32_t ticket = 0;
            pop_status status = pop_status::timed_out;
            dequeue_wait(user, element, ticket, status);
            if (status != pop_status::taken)
                throw thread_cancelation();
            element(ticket);
        }
    });
    producer_user producer = as_producer_user(queue);
    std::uint32_t wrong_push_tickets = 0;
    for (std::uint32_t i = 0; i != count; ++i) {
        const std::uint32_t expected_ticket = (first_position + i) & ticket_mask;
        job element([&, i, expected_ticket](unsigned ticket) {
            ++runs[i];
            faults += i != next++ || ticket != expected_ticket ? 1 : 0;
        });
        wrong_push_tickets += producer->push(element) != expected_ticket ? 1 : 0;
        const bool until_parked = i % 97 == 0;
        if ((i / 4096) % 2 == 0 && (until_parked || i % 13 == 0)) {
            ASSERT_TRUE(eventually([&] {
                return queued_count(producer) == 0 &&
                       (!until_parked || consumer.state() == thread_state::waiting);
            }));
        }
    }
    ASSERT_TRUE(
        eventually([&] { return consumer.state() == thread_state::finished; }, std::chrono::seconds(60)));
    consumer.reset();
    EXPECT_EQ(wrong_push_tickets, 0u);
    EXPECT_EQ(faults, 0u);
    EXPECT_TRUE(std::all_of(runs.begin(), runs.end(), [](std::uint8_t run) { return run == 1; }))
        << "every job ran exactly once";
}

TEST(job_queue, tickets_wrap_at_30_bits_and_positions_at_32) {
    for (const std::uint32_t start : {ticket_mask - 1, 0xfffffffeu}) {
        sp_sc_queue queue(256);
        restart_at(queue, start);
        producer_user producer = as_producer_user(queue);
        consumer_user consumer = as_consumer_user(queue);
        std::vector<std::uint32_t> pushed;
        for (std::uint32_t i = 0; i != 4; ++i) {
            job element([](unsigned) {});
            pushed.push_back(producer->push(element));
        }
        EXPECT_THAT(pushed, testing::ElementsAre(0x3ffffffe, 0x3fffffff, 0, 1));
        EXPECT_EQ(queued_count(producer), 4u);
        std::vector<std::uint32_t> taken;
        for (popped p = pop_now(consumer); p.status == pop_status::taken; p = pop_now(consumer))
            taken.push_back(p.ticket);
        EXPECT_EQ(taken, pushed);
    }
}

TEST(job_queue, each_side_takes_one_user_and_a_refused_claim_leaves_the_counts_alone) {
    sp_sc_queue queue(256);
    {
        consumer_user consumer = as_consumer_user(queue);
        EXPECT_THROW(as_consumer_user(queue), std::runtime_error);
        // Refused on the consumer side after it claimed the producer side: it gives that back.
        EXPECT_THROW(acquire_exclusive_user(queue), std::runtime_error);
        producer_user producer = as_producer_user(queue);
        EXPECT_THROW(as_producer_user(queue), std::runtime_error);
    }
    {
        exclusive_user exclusive = acquire_exclusive_user(queue);
        EXPECT_THROW(as_producer_user(queue), std::runtime_error);
        EXPECT_THROW(as_consumer_user(queue), std::runtime_error);
    }
    EXPECT_NO_THROW(as_producer_user(queue));
    EXPECT_NO_THROW(as_consumer_user(queue));
}

// Every exit of a parked pop without an element gives the slot back: the next push needs no waker and
// the next consumer takes it.
TEST(job_queue, parked_pop_ends_by_time_out_keep_waiting_or_stop_and_gives_its_slot_back) {
    struct row {
        std::int64_t timeout;
        bool keep_waiting;
        bool stop;
        pop_status expected;
    };
    const row rows[] = {{0, true, false, pop_status::timed_out},
                        {20, true, false, pop_status::timed_out},
                        {-1, false, false, pop_status::ended},
                        {600'000, false, false, pop_status::ended},
                        {-1, true, true, pop_status::stopped}};
    for (const row& r : rows) {
        sp_sc_queue queue(256);
        std::atomic<bool> done{false};
        popped p;
        thread_ptr consumer = start_thread([&] {
            consumer_user user = as_consumer_user(queue);
            p = pop_now(user, r.timeout, r.keep_waiting);
            done = true;
        });
        if (r.stop) {
            ASSERT_TRUE(blocked_in_wait(consumer));
            consumer.request_stop();
        }
        ASSERT_TRUE(eventually([&] { return done.load(); }));
        consumer.join();
        EXPECT_EQ(p.status, r.expected);
        EXPECT_FALSE(p.element.is_callable());
        producer_user producer = as_producer_user(queue);
        consumer_user user = as_consumer_user(queue);
        job element([](unsigned) {});
        EXPECT_EQ(producer->push(element), 0u);
        EXPECT_EQ(pop_now(user).status, pop_status::taken);
    }
}

// A full ring's (producer - consumer) AND mask is 0; its destruction must still find every element, as
// it must when they lie on both sides of the slot array's end.
TEST(queues, destroying_a_queue_destroys_every_element_also_when_full) {
    const auto life = std::make_shared<int>(0);
    const auto counted = [&life] { return job([life](unsigned) {}); };
    for (const auto& [start, count] : {std::pair{0u, 256}, std::pair{200u, 100}}) {
        {
            sp_sc_queue queue(256);
            restart_at(queue, start);
            producer_user producer = as_producer_user(queue);
            for (int i = 0; i != count; ++i) {
                job element = counted();
                producer->push(element);
            }
            EXPECT_EQ(queued_count(producer), static_cast<std::uint32_t>(count));
        }
        EXPECT_EQ(life.use_count(), 1) << "job queue from " << start;
    }
    {
        task_queue queue = create_task_queue(256, 1);
        for (int i = 0; i != 256; ++i) {
            job task = counted();
            queue.enqueue(task);
        }
        EXPECT_EQ(life.use_count(), 257);
    }
    EXPECT_EQ(life.use_count(), 1) << "task queue";
}

// Several producers against a consumer that parks like the window thread, with a ring small enough that
// the producers keep finding their slots occupied by the lap before, and producers of different laps wait
// for one slot.
TEST(task_queue, several_producers_lose_nothing_and_tasks_come_out_in_ticket_order) {
    constexpr std::uint32_t producers = 4;
    constexpr std::uint32_t per_producer = 25'000;
    task_queue queue = create_task_queue(1, 8);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ran; // producer and sequence; the consumer's alone
    ran.reserve(producers * per_producer);
    std::uint32_t out_of_order_tickets = 0;
    thread_ptr consumer = start_thread([&] {
        for (std::uint32_t i = 0; i != producers * per_producer; ++i) {
            job task;
            std::uint32_t ticket = 0;
            queue.dequeue(task, ticket);
            out_of_order_tickets += ticket != i ? 1 : 0;
            task(1);
        }
    });
    std::vector<thread_ptr> threads;
    for (std::uint32_t p = 0; p != producers; ++p)
        threads.push_back(start_thread([&queue, &ran, p] {
            for (std::uint32_t s = 0; s != per_producer; ++s) {
                job task([&ran, p, s](unsigned) { ran.emplace_back(p, s); });
                queue.enqueue(task);
            }
        }));
    // A lost task would leave the consumer blocked.
    ASSERT_TRUE(
        eventually([&] { return consumer.state() == thread_state::finished; }, std::chrono::seconds(60)));
    EXPECT_EQ(out_of_order_tickets, 0u);
    std::vector<std::uint32_t> next(producers, 0);
    std::uint32_t out_of_order = 0;
    for (const auto& [producer, sequence] : ran)
        out_of_order += sequence != next[producer]++ ? 1 : 0;
    EXPECT_EQ(out_of_order, 0u);
    EXPECT_THAT(next, testing::Each(per_producer));
}

// A producer stopped while it waits for room in a full ring (a worker asked to stop while the window
// thread is busy) leaves nothing behind that a later push or pop would wait for.
TEST(task_queue, a_producer_stopped_while_the_ring_is_full_holds_up_no_later_push_or_pop) {
    constexpr std::uint32_t capacity = 256;
    task_queue queue = create_task_queue(capacity, 1);
    std::vector<std::uint32_t> ran; // the consumer's alone
    const auto numbered = [&ran](std::uint32_t n) { return job([&ran, n](unsigned) { ran.push_back(n); }); };
    for (std::uint32_t n = 0; n != capacity; ++n) {
        job task = numbered(n);
        queue.enqueue(task);
    }
    const auto life = std::make_shared<int>(0);
    thread_ptr stopped = start_thread([&] {
        job task([life](unsigned) { ADD_FAILURE() << "the stopped push ran"; });
        queue.enqueue(task);
    });
    stopped.request_stop();
    stopped.join();
    EXPECT_EQ(stopped.state(), thread_state::stop_requested) << "the push ended by the stop";
    EXPECT_EQ(life.use_count(), 1) << "and its task is gone, not queued";

    // The consumer takes the full ring, then a second ring's worth that is pushed only once the first
    // has been taken.
    std::atomic<bool> first_taken{false};
    thread_ptr consumer = start_thread([&] {
        for (std::uint32_t i = 0; i != 2 * capacity; ++i) {
            job task;
            take_task(queue, task);
            task(1);
            first_taken = i + 1 >= capacity;
        }
    });
    thread_ptr producer = start_thread([&] {
        while (!first_taken)
            std::this_thread::yield();
        for (std::uint32_t n = capacity; n != 2 * capacity; ++n) {
            job task = numbered(n);
            queue.enqueue(task);
        }
    });
    ASSERT_TRUE(eventually([&] { return consumer.state() == thread_state::finished; }))
        << "a push or a pop waits for the stopped push";
    std::vector<std::uint32_t> expected(2 * capacity);
    std::iota(expected.begin(), expected.end(), 0u);
    EXPECT_EQ(ran, expected);
}

// The stopped consumer's waker stays in the slot it parked on, after its thread is gone: the next task
// signals it there.
TEST(task_queue, stop_request_ends_a_parked_dequeue_and_the_slot_still_takes_a_task) {
    task_queue queue = create_task_queue(256, 1);
    thread_ptr consumer = start_thread([&] {
        job task;
        take_task(queue, task);
    });
    ASSERT_TRUE(blocked_in_wait(consumer));
    consumer.request_stop();
    consumer.join();
    EXPECT_EQ(consumer.state(), thread_state::stop_requested) << "ended by thread_cancelation";
    consumer.reset();
    const auto life = std::make_shared<int>(0);
    job task([life](unsigned) {});
    queue.enqueue(task);
    queue = task_queue();
    EXPECT_EQ(life.use_count(), 1);
}

} // namespace
