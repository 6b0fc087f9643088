// The concurrency core against plain references measured in the same run: the job queue against a
// minimal two-index lock-free ring and a mutex/condition-variable queue, the wake-up of a parked worker,
// the task queue against a mutex-protected deque, the cache-line lock against an SRW lock. Every line ends
// in ratio=<ours/reference>; for throughputs higher is better, for times lower is better.
#include "am-threading.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <windows.h>

namespace {

using namespace cpp::threading;
using clock_type = std::chrono::steady_clock;

constexpr std::uint32_t capacity = 256;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

double microseconds_between(clock_type::time_point from, clock_type::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

void relax() {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

// Ours and the reference measured turn about, five times each; the medians of both. Taking turns keeps a
// slow spell of the machine from falling on one side only.
struct pair_of_medians {
    double ours;
    double reference;
};
pair_of_medians turn_about(const std::function<double()>& ours, const std::function<double()>& reference) {
    constexpr int runs = 5;
    double a[runs];
    double b[runs];
    for (int i = 0; i != runs; ++i) {
        a[i] = ours();
        b[i] = reference();
    }
    std::sort(a, a + runs);
    std::sort(b, b + runs);
    return {a[runs / 2], b[runs / 2]};
}

// ---- References -------------------------------------------------------------------------------------

// The least a single-producer single-consumer ring can do: two indices, no parking, no tickets.
class two_index_ring {
public:
    bool try_push(job& element) {
        const std::uint32_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == capacity) // acquire: pairs with try_pop's release
            return false;
        slots_[tail % capacity] = std::move(element);
        tail_.store(tail + 1, std::memory_order_release); // release: publishes the slot to try_pop
        return true;
    }
    bool try_pop(job& element) {
        const std::uint32_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) // acquire: pairs with try_push's release
            return false;
        element = std::move(slots_[head % capacity]);
        head_.store(head + 1, std::memory_order_release); // release: gives the slot back to try_push
        return true;
    }

private:
    alignas(64) std::atomic<std::uint32_t> head_{0};
    alignas(64) std::atomic<std::uint32_t> tail_{0};
    alignas(64) job slots_[capacity];
};

// A bounded queue the ordinary way: one mutex, two condition variables.
class mutex_queue {
public:
    void push(job& element) {
        std::unique_lock lock(mutex_);
        not_full_.wait(lock, [&] { return items_.size() < capacity; });
        items_.push_back(std::move(element));
        lock.unlock();
        not_empty_.notify_one();
    }
    void pop(job& element) {
        std::unique_lock lock(mutex_);
        waiting_ = true;
        not_empty_.wait(lock, [&] { return !items_.empty(); });
        waiting_ = false;
        element = std::move(items_.front());
        items_.pop_front();
        lock.unlock();
        not_full_.notify_one();
    }
    bool consumer_waiting() {
        std::lock_guard lock(mutex_);
        return waiting_ && items_.empty();
    }

private:
    std::mutex mutex_;
    std::condition_variable not_empty_;
    std::condition_variable not_full_;
    std::deque<job> items_;
    bool waiting_ = false;
};

// ---- Job queue throughput ---------------------------------------------------------------------------

constexpr std::uint32_t jobs = 300'000;

double job_queue_throughput() {
    sp_sc_queue queue(capacity);
    std::uint64_t sum = 0;
    thread_ptr consumer = start_thread([&] {
        consumer_user user = as_consumer_user(queue);
        for (std::uint32_t i = 0; i != jobs; ++i) {
            job element;
            std::uint32_t ticket = 0;
            pop_status status = pop_status::timed_out;
            dequeue_wait(user, element, ticket, status);
            element(1);
        }
    });
    producer_user producer = as_producer_user(queue);
    const auto start = clock_type::now();
    for (std::uint32_t i = 0; i != jobs; ++i) {
        job element([&sum](unsigned v) { sum += v; });
        producer->push(element);
    }
    consumer.join();
    return jobs / seconds_since(start);
}

double two_index_ring_throughput() {
    auto ring = std::make_unique<two_index_ring>();
    std::uint64_t sum = 0;
    std::thread consumer([&] {
        for (std::uint32_t i = 0; i != jobs; ++i) {
            job element;
            while (!ring->try_pop(element))
                relax();
            element(1);
        }
    });
    const auto start = clock_type::now();
    for (std::uint32_t i = 0; i != jobs; ++i) {
        job element([&sum](unsigned v) { sum += v; });
        while (!ring->try_push(element))
            relax();
    }
    consumer.join();
    return jobs / seconds_since(start);
}

double mutex_queue_throughput() {
    mutex_queue queue;
    std::uint64_t sum = 0;
    std::thread consumer([&] {
        for (std::uint32_t i = 0; i != jobs; ++i) {
            job element;
            queue.pop(element);
            element(1);
        }
    });
    const auto start = clock_type::now();
    for (std::uint32_t i = 0; i != jobs; ++i) {
        job element([&sum](unsigned v) { sum += v; });
        queue.push(element);
    }
    consumer.join();
    return jobs / seconds_since(start);
}

// ---- Wake latency -----------------------------------------------------------------------------------

constexpr int wake_samples = 2000;

struct latency {
    double median;
    double p99;
};

latency summarise(std::vector<double>& samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

// From the push to the job running on a worker that was parked on the empty queue.
latency job_queue_wake_latency() {
    sp_sc_queue queue(capacity);
    std::vector<double> samples(wake_samples);
    clock_type::time_point pushed;
    thread_ptr consumer = start_thread([&] {
        consumer_user user = as_consumer_user(queue);
        for (int i = 0; i != wake_samples; ++i) {
            job element;
            std::uint32_t ticket = 0;
            pop_status status = pop_status::timed_out;
            dequeue_wait(user, element, ticket, status);
            element(static_cast<unsigned>(i));
        }
    });
    producer_user producer = as_producer_user(queue);
    for (int i = 0; i != wake_samples; ++i) {
        while (consumer.state() != thread_state::waiting)
            std::this_thread::yield();
        job element([&](unsigned n) { samples[n] = microseconds_between(pushed, clock_type::now()); });
        pushed = clock_type::now();
        producer->push(element);
        while (queued_count(producer) != 0)
            std::this_thread::yield();
    }
    consumer.join();
    return summarise(samples);
}

latency mutex_queue_wake_latency() {
    mutex_queue queue;
    std::vector<double> samples(wake_samples);
    clock_type::time_point pushed;
    std::atomic<int> done{0};
    std::thread consumer([&] {
        for (int i = 0; i != wake_samples; ++i) {
            job element;
            queue.pop(element);
            element(static_cast<unsigned>(i));
            done = i + 1;
        }
    });
    for (int i = 0; i != wake_samples; ++i) {
        while (!queue.consumer_waiting())
            std::this_thread::yield();
        job element([&](unsigned n) { samples[n] = microseconds_between(pushed, clock_type::now()); });
        pushed = clock_type::now();
        queue.push(element);
        while (done.load() != i + 1)
            std::this_thread::yield();
    }
    consumer.join();
    return summarise(samples);
}

// ---- Task queue with four producers -----------------------------------------------------------------

constexpr std::uint32_t task_producers = 4;
constexpr std::uint32_t tasks_per_producer = 50'000;

// slots: 1000 is what a window asks for; producers that find the ring full back off by sleeping.
double task_queue_throughput(std::uint32_t slots) {
    task_queue queue = create_task_queue(slots, task_producers);
    std::uint64_t sum = 0;
    std::atomic<bool> go{false};
    std::vector<thread_ptr> producers;
    for (std::uint32_t p = 0; p != task_producers; ++p)
        producers.push_back(start_thread([&] {
            while (!go.load())
                std::this_thread::yield();
            for (std::uint32_t i = 0; i != tasks_per_producer; ++i) {
                job task([&sum](unsigned v) { sum += v; });
                queue.enqueue(task);
            }
        }));
    thread_registration registration; // the consumer parks like a window thread
    const auto start = clock_type::now();
    go = true;
    for (std::uint32_t i = 0; i != task_producers * tasks_per_producer; ++i) {
        job task;
        take_task(queue, task);
        task(1);
    }
    const double elapsed = seconds_since(start);
    for (thread_ptr& producer : producers)
        producer.join();
    return task_producers * tasks_per_producer / elapsed;
}

double mutex_deque_throughput() {
    std::mutex mutex;
    std::condition_variable not_empty;
    std::deque<job> items;
    std::uint64_t sum = 0;
    std::atomic<bool> go{false};
    std::vector<std::thread> producers;
    for (std::uint32_t p = 0; p != task_producers; ++p)
        producers.emplace_back([&] {
            while (!go.load())
                std::this_thread::yield();
            for (std::uint32_t i = 0; i != tasks_per_producer; ++i) {
                {
                    std::lock_guard lock(mutex);
                    items.emplace_back([&sum](unsigned v) { sum += v; });
                }
                not_empty.notify_one();
            }
        });
    const auto start = clock_type::now();
    go = true;
    for (std::uint32_t i = 0; i != task_producers * tasks_per_producer; ++i) {
        job task;
        {
            std::unique_lock lock(mutex);
            not_empty.wait(lock, [&] { return !items.empty(); });
            task = std::move(items.front());
            items.pop_front();
        }
        task(1);
    }
    const double elapsed = seconds_since(start);
    for (std::thread& producer : producers)
        producer.join();
    return task_producers * tasks_per_producer / elapsed;
}

// ---- Cache-line lock ---------------------------------------------------------------------------------

constexpr std::uint32_t uncontended_rounds = 5'000'000;
constexpr std::uint32_t contended_threads = 4;
constexpr std::uint32_t contended_rounds = 200'000;

struct srw_lock {
    SRWLOCK lock = SRWLOCK_INIT;
    void acquire() { AcquireSRWLockExclusive(&lock); }
    void release() { ReleaseSRWLockExclusive(&lock); }
};

struct line_lock {
    cacheline_lock lock;
    void acquire() { lock.lock(); }
    void release() { lock.unlock(); }
};

// Nanoseconds per lock and unlock on one thread.
template <class Lock> double uncontended_nanoseconds() {
    Lock lock;
    volatile std::uint64_t counter = 0;
    const auto start = clock_type::now();
    for (std::uint32_t i = 0; i != uncontended_rounds; ++i) {
        lock.acquire();
        counter = counter + 1;
        lock.release();
    }
    return seconds_since(start) * 1e9 / uncontended_rounds;
}

// Lock and unlock pairs per second, all threads together.
template <class Lock> double contended_throughput() {
    Lock lock;
    std::uint64_t counter = 0;
    std::atomic<bool> go{false};
    std::vector<thread_ptr> threads;
    for (std::uint32_t t = 0; t != contended_threads; ++t)
        threads.push_back(start_thread([&] {
            while (!go.load())
                std::this_thread::yield();
            for (std::uint32_t i = 0; i != contended_rounds; ++i) {
                lock.acquire();
                ++counter;
                lock.release();
            }
        }));
    const auto start = clock_type::now();
    go = true;
    for (thread_ptr& thread : threads)
        thread.join();
    return contended_threads * contended_rounds / seconds_since(start);
}

} // namespace

int main() {
    const pair_of_medians ring = turn_about(job_queue_throughput, two_index_ring_throughput);
    std::printf("job_queue push+pop vs two-index ring: %.2f vs %.2f Mjobs/s (higher is better) ratio=%.2f\n",
                ring.ours / 1e6, ring.reference / 1e6, ring.ours / ring.reference);
    const pair_of_medians mutex = turn_about(job_queue_throughput, mutex_queue_throughput);
    std::printf("job_queue push+pop vs mutex+condvar: %.2f vs %.2f Mjobs/s (higher is better) ratio=%.2f\n",
                mutex.ours / 1e6, mutex.reference / 1e6, mutex.ours / mutex.reference);

    const latency parked = job_queue_wake_latency();
    const latency condvar = mutex_queue_wake_latency();
    std::printf("job_queue wake of a parked worker, median: %.1f vs mutex+condvar %.1f us (lower is better) "
                "ratio=%.2f\n",
                parked.median, condvar.median, parked.median / condvar.median);
    std::printf("job_queue wake of a parked worker, p99: %.1f vs mutex+condvar %.1f us (lower is better) "
                "ratio=%.2f\n",
                parked.p99, condvar.p99, parked.p99 / condvar.p99);

    for (const std::uint32_t slots : {1000u, 1u << 18}) {
        const pair_of_medians tasks =
            turn_about([slots] { return task_queue_throughput(slots); }, mutex_deque_throughput);
        std::printf(
            "task_queue 4 producers (%u slots) vs mutex deque: %.2f vs %.2f Mtasks/s (higher is better) "
            "ratio=%.2f\n",
            slots, tasks.ours / 1e6, tasks.reference / 1e6, tasks.ours / tasks.reference);
    }

    const pair_of_medians alone =
        turn_about(uncontended_nanoseconds<line_lock>, uncontended_nanoseconds<srw_lock>);
    std::printf(
        "cacheline_lock uncontended vs SRW lock: %.1f vs %.1f ns per pair (lower is better) ratio=%.2f\n",
        alone.ours, alone.reference, alone.ours / alone.reference);
    const pair_of_medians shared =
        turn_about(contended_throughput<line_lock>, contended_throughput<srw_lock>);
    std::printf("cacheline_lock 4 threads vs SRW lock: %.2f vs %.2f Mpairs/s (higher is better) ratio=%.2f\n",
                shared.ours / 1e6, shared.reference / 1e6, shared.ours / shared.reference);
    return 0;
}
