#include "am-threading.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "concurrency_support.h"

namespace {

using namespace cpp::threading;
using concurrency_test::blocked_in_wait;
using concurrency_test::counted_job;
using concurrency_test::eventually;

// Several producers against the window thread's consumer, with a ring small enough that the producers
// keep finding their slots occupied by the lap before, and producers of different laps wait for one slot.
TEST(task_queue, several_producers_lose_nothing_and_tasks_come_out_in_ticket_order) {
    constexpr std::uint32_t producers = 4;
    constexpr std::uint32_t per_producer = 25'000;
    task_queue queue = create_task_queue(1, 8);

    struct record {
        std::uint32_t producer;
        std::uint32_t sequence;
    };
    std::vector<record> ran; // the consumer's alone
    ran.reserve(producers * per_producer);
    std::uint32_t out_of_order_tickets = 0;
    // Parks like the window thread; a lost task would leave it blocked, which the bound below catches.
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
                job task([&ran, p, s](unsigned) { ran.push_back({p, s}); });
                queue.enqueue(task);
            }
        }));
    ASSERT_TRUE(
        eventually([&] { return consumer.state() == thread_state::finished; }, std::chrono::seconds(60)));
    for (thread_ptr& thread : threads) {
        thread.join();
        EXPECT_EQ(thread.state(), thread_state::finished);
    }

    EXPECT_EQ(out_of_order_tickets, 0u);
    ASSERT_EQ(ran.size(), producers * per_producer);
    std::vector<std::uint32_t> next(producers, 0);
    std::uint32_t out_of_order = 0;
    for (const record& r : ran)
        out_of_order += r.sequence != next[r.producer]++ ? 1 : 0;
    EXPECT_EQ(out_of_order, 0u);
    EXPECT_THAT(next, testing::Each(per_producer));
}

TEST(task_queue, tickets_count_the_pushes_and_come_back_with_their_tasks) {
    task_queue queue = create_task_queue(1000, 1);
    std::vector<int> calls;
    for (int i = 0; i != 3; ++i) {
        job task([&calls, i](unsigned argument) { calls.push_back(i * 10 + static_cast<int>(argument)); });
        EXPECT_EQ(queue.enqueue(task), static_cast<std::uint32_t>(i));
        EXPECT_FALSE(task.is_callable());
    }
    for (std::uint32_t i = 0; i != 3; ++i) {
        job task;
        std::uint32_t ticket = 99;
        queue.dequeue(task, ticket);
        EXPECT_EQ(ticket, i);
        task(1);
    }
    job last([&calls](unsigned) { calls.push_back(-1); });
    queue.enqueue(last);
    take_task(queue, last);
    last(1);
    EXPECT_THAT(calls, testing::ElementsAre(1, 11, 21, -1));
}

TEST(task_queue, moved_from_queue_refuses_both_sides) {
    task_queue queue = create_task_queue(256, 1);
    task_queue taken = std::move(queue);
    job task([](unsigned) {});
    try {
        queue.enqueue(task);
        FAIL() << "enqueued into a moved-from queue";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "enqueue failed at 1010 in file " AM_LIBRARY_SOURCE(
                                         "am-threading.cpp") "\n - an attempt was made to enqueue an element "
                                                             "into a moved-from task_queue!");
    }
    EXPECT_TRUE(task.is_callable());
    std::uint32_t ticket = 0;
    try {
        queue.dequeue(task, ticket);
        FAIL() << "dequeued from a moved-from queue";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "dequeue failed at 1031 in file " AM_LIBRARY_SOURCE(
                                         "am-threading.cpp") "\n - an attempt was made to dequeue an element "
                                                             "from a moved-from task_queue!");
    }
    EXPECT_EQ(taken.enqueue(task), 0u);
    task_queue& same = taken;
    taken = std::move(same); // assigning a queue to itself keeps its tasks
    take_task(taken, task);
    EXPECT_TRUE(task.is_callable());
}

TEST(task_queue, destroying_a_queue_destroys_every_task_also_when_full) {
    const auto life = std::make_shared<int>(0);
    {
        task_queue queue = create_task_queue(256, 1);
        for (int i = 0; i != 256; ++i) {
            job task = counted_job(life);
            queue.enqueue(task);
        }
        EXPECT_EQ(life.use_count(), 257);
    }
    EXPECT_EQ(life.use_count(), 1);
    {
        task_queue queue = create_task_queue(256, 1);
        job task = counted_job(life);
        queue.enqueue(task);
        // Move assignment over a queue destroys the tasks of the queue it replaces.
        queue = create_task_queue(256, 1);
        EXPECT_EQ(life.use_count(), 1);
    }
}

TEST(task_queue, stop_request_ends_a_parked_dequeue_with_cancelation) {
    task_queue queue = create_task_queue(256, 1);
    std::atomic<bool> cancelled{false};
    thread_ptr consumer = start_thread([&] {
        job task;
        try {
            take_task(queue, task);
        } catch (const thread_cancelation&) {
            cancelled = !task.is_callable();
            throw;
        }
    });
    ASSERT_TRUE(blocked_in_wait(consumer));
    consumer.request_stop();
    consumer.join();
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(consumer.state(), thread_state::stop_requested);
    // The slot that stopped consumer parked on still takes a task, signalling the waker kept in it (the
    // stopped thread is gone; its waker lives on in the slot), and the task is destroyed with the queue.
    const auto life = std::make_shared<int>(0);
    job task = counted_job(life);
    queue.enqueue(task);
    queue = task_queue();
    EXPECT_EQ(life.use_count(), 1);
}

} // namespace
