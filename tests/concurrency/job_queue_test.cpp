#include "am-threading.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "concurrency_support.h"

namespace {

using namespace cpp::threading;
using concurrency_test::blocked_in_wait;
using concurrency_test::counted_job;
using concurrency_test::eventually;
using testing::HasSubstr;

constexpr std::uint32_t ticket_mask = 0x3fffffff;

struct popped {
    job element;
    std::uint32_t ticket = 0xdeadbeef;
    pop_status status = pop_status::stopped;
};

popped pop_now(consumer_user& consumer, std::int64_t timeout = 0) {
    popped result;
    predicate keep_waiting([] { return true; });
    consumer->pop(result.element, timeout, result.ticket, result.status, keep_waiting);
    return result;
}

void restart_at(sp_sc_queue& queue, std::uint32_t position) {
    exclusive_user user = acquire_exclusive_user(queue);
    cpp::threading::details::restart_positions(user, position);
}

// One producer (this thread) and one consumer (a started thread). The producer alternates stretches in
// which it lets the consumer drain the queue, so that the consumer keeps parking on an empty slot, with
// stretches in which it pushes flat out and meets a full queue.
void push_against_a_parking_consumer(std::uint32_t count, std::uint32_t first_position) {
    sp_sc_queue queue(256);
    restart_at(queue, first_position);
    std::vector<std::uint8_t> runs(count, 0);
    std::uint32_t next = 0; // the consumer's alone
    std::uint32_t out_of_order = 0;
    std::uint32_t wrong_tickets = 0;
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
            out_of_order += i != next ? 1 : 0;
            wrong_tickets += ticket != expected_ticket ? 1 : 0;
            ++next;
        });
        wrong_push_tickets += producer->push(element) != expected_ticket ? 1 : 0;
        if ((i / 4096) % 2 != 0)
            continue;
        // Now and then the next push meets a consumer that has parked, or one that has just emptied the
        // queue and is on its way to park.
        if (i % 97 == 0) {
            ASSERT_TRUE(eventually(
                [&] { return queued_count(producer) == 0 && consumer.state() == thread_state::waiting; }));
        } else if (i % 13 == 0) {
            ASSERT_TRUE(eventually([&] { return queued_count(producer) == 0; }));
        }
    }
    ASSERT_TRUE(
        eventually([&] { return consumer.state() == thread_state::finished; }, std::chrono::seconds(60)));
    consumer.reset();
    EXPECT_EQ(wrong_push_tickets, 0u);
    EXPECT_EQ(next, count);
    EXPECT_EQ(out_of_order, 0u);
    EXPECT_EQ(wrong_tickets, 0u);
    std::uint32_t not_once = 0;
    for (const std::uint8_t run : runs)
        not_once += run != 1 ? 1 : 0;
    EXPECT_EQ(not_once, 0u);
}

TEST(job_queue, pushes_against_a_parking_consumer_arrive_once_and_in_ticket_order) {
    // Starts short of the 30-bit ticket wrap, so the tickets wrap to 0 half way through.
    push_against_a_parking_consumer(100'000, ticket_mask - 49'999);
}

TEST(job_queue, tickets_wrap_at_30_bits_and_positions_at_32) {
    for (const std::uint32_t start : {ticket_mask - 1, 0xfffffffeu}) {
        sp_sc_queue queue(256);
        restart_at(queue, start);
        producer_user producer = as_producer_user(queue);
        consumer_user consumer = as_consumer_user(queue);
        std::vector<std::uint32_t> calls;
        std::vector<std::uint32_t> pushed;
        for (std::uint32_t i = 0; i != 4; ++i) {
            job element([&calls, i](unsigned) { calls.push_back(i); });
            pushed.push_back(producer->push(element));
        }
        EXPECT_THAT(pushed, testing::ElementsAre(0x3ffffffe, 0x3fffffff, 0, 1));
        EXPECT_EQ(queued_count(producer), 4u);
        std::vector<std::uint32_t> taken;
        for (int i = 0; i != 4; ++i) {
            popped p = pop_now(consumer);
            ASSERT_EQ(p.status, pop_status::taken);
            taken.push_back(p.ticket);
            p.element(1);
        }
        EXPECT_EQ(taken, pushed);
        EXPECT_THAT(calls, testing::ElementsAre(0, 1, 2, 3));
        EXPECT_EQ(queued_count(producer), 0u);
    }
}

TEST(job_queue, first_ticket_of_a_fresh_queue_is_zero) {
    sp_sc_queue queue(200);
    producer_user producer = as_producer_user(queue);
    consumer_user consumer = as_consumer_user(queue);
    job element([](unsigned) {});
    EXPECT_EQ(producer->push(element), 0u);
    EXPECT_FALSE(element.is_callable()); // moved into the queue
    const popped p = pop_now(consumer);
    EXPECT_EQ(p.status, pop_status::taken);
    EXPECT_EQ(p.ticket, 0u);
    EXPECT_TRUE(p.element.is_callable());
}

TEST(job_queue, capacity_is_clamped_and_rounded_up) {
    EXPECT_EQ(sp_sc_queue(200).impl().capacity(), 256u);
    EXPECT_EQ(sp_sc_queue(1000).impl().capacity(), 1024u);
    EXPECT_EQ(sp_sc_queue(0).impl().capacity(), 256u);
    // Clamped to 0x1000000 slots of 128 bytes: 2 GB, which no 32-bit process gets.
    try {
        sp_sc_queue huge(0x2000000);
        FAIL() << "a 2 GB slot array was allocated";
    } catch (const cpp::exceptional::allocationFailure& failure) {
        EXPECT_STREQ(
            failure.what(),
            "concurrent_storage failed in " AM_LIBRARY_HEADER_PLAIN(
                "am-concurrent-array.h") "\n - allocation routine returned nullptr:  size == 2147483648");
    }
}

TEST(job_queue, each_side_takes_one_user_at_a_time) {
    sp_sc_queue queue(256);
    producer_user producer = as_producer_user(queue);
    try {
        producer_user second = as_producer_user(queue);
        FAIL() << "a second producer joined";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(),
                     "as_queue_user failed at 2559 in file " AM_LIBRARY_SOURCE(
                         "am-threading.cpp") "\n - maximum number of users has been exceeded!");
    }
    consumer_user consumer = as_consumer_user(queue);
    EXPECT_THROW(as_consumer_user(queue), std::runtime_error);
    // The refusals left the counts alone: once the users leave, new ones are taken.
    producer = producer_user();
    consumer = consumer_user();
    EXPECT_NO_THROW(producer = as_producer_user(queue));
    EXPECT_NO_THROW(consumer = as_consumer_user(queue));
}

TEST(job_queue, exclusive_use_excludes_every_other_user) {
    sp_sc_queue queue(256);
    const std::string exceeded = "throw_exceeding failed at 1755 in file " AM_LIBRARY_SOURCE(
        "am-threading.cpp") "\n - maximum number of users has been exceeded!";
    {
        producer_user producer = as_producer_user(queue);
        try {
            acquire_exclusive_user(queue);
            FAIL() << "exclusive use beside a producer";
        } catch (const std::runtime_error& failure) {
            EXPECT_EQ(failure.what(), exceeded);
        }
    }
    {
        consumer_user consumer = as_consumer_user(queue);
        EXPECT_THROW(acquire_exclusive_user(queue), std::runtime_error);
        // The refused claim did not leave the producer side marked as taken.
        EXPECT_NO_THROW(as_producer_user(queue));
    }
    {
        exclusive_user user = acquire_exclusive_user(queue);
        EXPECT_THROW(as_producer_user(queue), std::runtime_error);
        EXPECT_THROW(as_consumer_user(queue), std::runtime_error);
        EXPECT_THROW(acquire_exclusive_user(queue), std::runtime_error);
    }
    EXPECT_NO_THROW(as_producer_user(queue));
    EXPECT_NO_THROW(as_consumer_user(queue));
}

TEST(job_queue, pop_on_an_empty_queue_without_time_times_out) {
    sp_sc_queue queue(256);
    consumer_user consumer = as_consumer_user(queue);
    const popped p = pop_now(consumer, 0);
    EXPECT_EQ(p.status, pop_status::timed_out);
    EXPECT_FALSE(p.element.is_callable());
}

TEST(job_queue, parked_pop_ends_by_time_or_keep_waiting_and_frees_the_slot) {
    thread_registration registration; // so the pops park rather than spin
    sp_sc_queue queue(256);
    producer_user producer = as_producer_user(queue);
    consumer_user consumer = as_consumer_user(queue);

    EXPECT_EQ(pop_now(consumer, 20).status, pop_status::timed_out);

    // A parked pop tests the predicate when it parks and whenever its waker is signalled.
    predicate keep_waiting([] { return false; });
    popped p;
    consumer->pop(p.element, -1, p.ticket, p.status, keep_waiting);
    EXPECT_EQ(p.status, pop_status::ended);
    consumer->pop(p.element, 600'000, p.ticket, p.status, keep_waiting);
    EXPECT_EQ(p.status, pop_status::ended);

    // The slot was given back: a push needs no waker and the element is there to take.
    job element([](unsigned) {});
    EXPECT_EQ(producer->push(element), 0u);
    p = pop_now(consumer);
    EXPECT_EQ(p.status, pop_status::taken);
    EXPECT_EQ(p.ticket, 0u);
}

TEST(job_queue, stop_request_ends_a_parked_pop) {
    sp_sc_queue queue(256);
    std::atomic<pop_status> status{pop_status::taken};
    thread_ptr worker = start_thread([&] {
        consumer_user consumer = as_consumer_user(queue);
        job element;
        std::uint32_t ticket = 0;
        pop_status result = pop_status::taken;
        dequeue_wait(consumer, element, ticket, result);
        status = result;
    });
    ASSERT_TRUE(blocked_in_wait(worker));
    worker.request_stop();
    worker.join();
    EXPECT_EQ(status, pop_status::stopped);
    // The parked slot was rolled back: the next consumer takes the next push.
    producer_user producer = as_producer_user(queue);
    consumer_user consumer = as_consumer_user(queue);
    job element([](unsigned) {});
    producer->push(element);
    EXPECT_EQ(pop_now(consumer).status, pop_status::taken);
}

TEST(job_queue, consumer_without_waker_spins_and_takes_everything) {
    constexpr std::uint32_t count = 2000;
    sp_sc_queue queue(256);
    std::uint32_t in_order = 0;
    std::thread consumer([&] {
        consumer_user user = as_consumer_user(queue);
        for (std::uint32_t i = 0; i != count; ++i) {
            popped p;
            predicate keep_waiting([] { return true; });
            user->pop(p.element, -1, p.ticket, p.status, keep_waiting);
            in_order += p.status == pop_status::taken && p.ticket == i ? 1 : 0;
        }
    });
    producer_user producer = as_producer_user(queue);
    for (std::uint32_t i = 0; i != count; ++i) {
        job element([](unsigned) {});
        producer->push(element);
    }
    consumer.join();
    EXPECT_EQ(in_order, count);
}

TEST(job_queue, full_queue_counts_its_whole_capacity) {
    sp_sc_queue queue(256);
    producer_user producer = as_producer_user(queue);
    consumer_user consumer = as_consumer_user(queue);
    for (int i = 0; i != 256; ++i) {
        job element([](unsigned) {});
        producer->push(element);
    }
    EXPECT_EQ(queued_count(producer), 256u);
    // A full queue refuses one more attempt and leaves the element with the caller.
    job extra([](unsigned) {});
    bool busy = false;
    EXPECT_EQ(producer->try_push(extra, busy), 0u);
    EXPECT_TRUE(busy);
    EXPECT_TRUE(extra.is_callable());
    pop_now(consumer);
    EXPECT_EQ(producer->try_push(extra, busy), 256u);
    EXPECT_FALSE(busy);
    EXPECT_EQ(queued_count(producer), 256u);
    while (pop_now(consumer).status == pop_status::taken) {
    }
    EXPECT_EQ(queued_count(producer), 0u);
}

TEST(job_queue, producer_waiting_on_a_full_queue_is_stopped_and_keeps_its_element) {
    sp_sc_queue queue(256);
    std::atomic<bool> kept{false};
    thread_ptr producer_thread = start_thread([&] {
        producer_user producer = as_producer_user(queue);
        for (int i = 0; i != 256; ++i) {
            job element([](unsigned) {});
            producer->push_uninterruptible(element);
        }
        job extra([](unsigned) {});
        try {
            producer->push(extra);
        } catch (const thread_cancelation&) {
            kept = extra.is_callable();
            throw;
        }
    });
    producer_thread.request_stop();
    producer_thread.join();
    EXPECT_EQ(producer_thread.state(), thread_state::stop_requested);
    EXPECT_TRUE(kept);
}

TEST(job_queue, destroying_a_queue_destroys_every_element_also_when_full) {
    const auto life = std::make_shared<int>(0);
    {
        sp_sc_queue full(256);
        producer_user producer = as_producer_user(full);
        for (int i = 0; i != 256; ++i) {
            job element = counted_job(life);
            producer->push(element);
        }
        EXPECT_EQ(life.use_count(), 257);
    }
    EXPECT_EQ(life.use_count(), 1);
    {
        // Gone round the ring: the elements lie on both sides of the slot array's end.
        sp_sc_queue wrapped(256);
        producer_user producer = as_producer_user(wrapped);
        consumer_user consumer = as_consumer_user(wrapped);
        for (int i = 0; i != 200; ++i) {
            job element = counted_job(life);
            producer->push(element);
        }
        for (int i = 0; i != 150; ++i)
            pop_now(consumer);
        for (int i = 0; i != 200; ++i) {
            job element = counted_job(life);
            producer->push(element);
        }
        EXPECT_EQ(life.use_count(), 251);
    }
    EXPECT_EQ(life.use_count(), 1);
}

TEST(job_queue, rebuild_destroys_the_elements_and_starts_over) {
    const auto life = std::make_shared<int>(0);
    sp_sc_queue queue(256);
    {
        producer_user producer = as_producer_user(queue);
        for (int i = 0; i != 10; ++i) {
            job element = counted_job(life);
            producer->push(element);
        }
    }
    exclusive_user nobody;
    try {
        queue.rebuild(nobody, 0);
        FAIL() << "rebuilt without exclusive use";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "rebuild failed at 2892 in file " AM_LIBRARY_SOURCE(
                                         "am-threading.cpp") "\n - exclusive_user must not be empty!");
    }
    {
        exclusive_user user = acquire_exclusive_user(queue);
        // A length the slot array cannot have, and one it cannot get: both leave the queue as it was.
        try {
            queue.rebuild(user, 0x40000001);
            FAIL() << "rebuilt with more than 0x40000000 slots";
        } catch (const cpp::exceptional::allocationFailure& failure) {
            EXPECT_STREQ(
                failure.what(),
                "reconstruct failed at 112 in file " AM_LIBRARY_HEADER(
                    "am-concurrent-array.h") "\n - length of concurrent array must not exceed 0x40000000!");
        }
        EXPECT_THROW(queue.rebuild(user, 0x1000000), cpp::exceptional::allocationFailure);
        EXPECT_EQ(life.use_count(), 11);
        queue.rebuild(user, 0);
        EXPECT_EQ(queue.impl().capacity(), 1u);
        EXPECT_EQ(life.use_count(), 1);
    }
    producer_user producer = as_producer_user(queue);
    consumer_user consumer = as_consumer_user(queue);
    EXPECT_EQ(queued_count(producer), 0u);
    for (std::uint32_t i = 0; i != 3; ++i) {
        job element([](unsigned) {});
        EXPECT_EQ(producer->push(element), i);
        const popped p = pop_now(consumer);
        EXPECT_EQ(p.status, pop_status::taken);
        EXPECT_EQ(p.ticket, i);
    }
}

} // namespace
