#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "test-window.h"

using ::testing::StrEq;
using ::testing::ThrowsMessage;
using namespace window_test;

namespace {

// A window that receives tasks: every message goes to run_posted_tasks first, as in the plug-in's windows.
class task_window : public test_window {
public:
    task_window() : tasks(window_handle(), 1000) {
        on_message = [this](HWND window, UINT message, WPARAM wparam) -> INT_PTR {
            task_messages += message == system_ui::posted_task_message;
            const unsigned before = tasks_run;
            if (!system_ui::run_posted_tasks(tasks, window, message, wparam))
                return 0;
            ran_one_each_time = ran_one_each_time && tasks_run == before + 1;
            return TRUE;
        };
    }

    system_ui::window_task_queue tasks;
    unsigned task_messages = 0;
    unsigned tasks_run = 0;
    bool ran_one_each_time = true;
};

// Gives this thread a waker, as the plug-in gives its UI thread one, and bounds every wait of it that
// would otherwise never end: once the bound has passed the thread is asked to stop, so a blocked queue
// operation throws thread_cancelation and the test fails instead of hanging.
class bounded_ui_thread {
public:
    bounded_ui_thread()
        : waker_(*cpp::threading::current_thread_context()->waker_slot), done_(ended_.get_future()),
          watchdog_([this] {
              if (done_.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
                  return;
              expired_ = true;
              if (waker_->exchange_state(cpp::threading::thread_state::stop_requested) ==
                  cpp::threading::thread_state::waiting)
                  waker_->signal();
          }) {}
    bounded_ui_thread(const bounded_ui_thread&) = delete;
    bounded_ui_thread& operator=(const bounded_ui_thread&) = delete;
    ~bounded_ui_thread() {
        ended_.set_value();
        watchdog_.join();
    }

    bool expired() const { return expired_; }

private:
    cpp::threading::thread_registration registration_;
    cpp::threading::waker_ptr waker_;
    std::promise<void> ended_;
    std::future<void> done_;
    std::atomic<bool> expired_{false};
    std::thread watchdog_;
};

using posted_tasks = loop_test;

} // namespace

TEST_F(posted_tasks, tasks_from_several_threads_run_once_each_one_per_message_in_queue_order) {
    constexpr unsigned producers = 4;
    constexpr unsigned per_producer = 500;
    task_window window;
    std::vector<unsigned> last_seen(producers, 0);
    bool in_order = true;

    std::vector<std::thread> threads;
    for (unsigned p = 0; p != producers; ++p)
        threads.emplace_back([&, p] {
            for (unsigned i = 1; i <= per_producer; ++i)
                window.tasks.post_task([&, p, i](unsigned argument) {
                    EXPECT_EQ(argument, 1u);
                    in_order = in_order && last_seen[p] + 1 == i;
                    last_seen[p] = i;
                    if (++window.tasks_run == producers * per_producer)
                        window.close_later();
                });
        });

    run_bounded({&window});
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(window.tasks_run, producers * per_producer);
    EXPECT_EQ(window.task_messages, producers * per_producer);
    EXPECT_TRUE(window.ran_one_each_time);
    EXPECT_TRUE(in_order) << "each producer's tasks ran in the order it posted them";
}

TEST_F(posted_tasks, a_message_that_names_no_queue_of_the_window_runs_nothing) {
    task_window window;
    // A queue with a task whose own message reaches no window.
    system_ui::window_task_queue other(nullptr, 16);
    bool other_ran = false;
    other.post_task([&](unsigned) { other_ran = true; });
    const HWND target = window.window_handle();
    // Another window's queue, an address that is no queue at all, and no address.
    PostMessageW(target, system_ui::posted_task_message, reinterpret_cast<WPARAM>(&other), 0);
    PostMessageW(target, system_ui::posted_task_message, 0x12345678, 0);
    PostMessageW(target, system_ui::posted_task_message, 0, 0);
    window.tasks.post_task([&](unsigned) {
        ++window.tasks_run;
        window.close_later();
    });
    // Another message with the right address.
    EXPECT_FALSE(system_ui::run_posted_tasks(window.tasks, target, WM_APP + 5,
                                             reinterpret_cast<WPARAM>(&window.tasks)));

    run_bounded({&window});

    EXPECT_EQ(window.task_messages, 4u);
    EXPECT_EQ(window.tasks_run, 1u);
    EXPECT_FALSE(other_ran);
}

// Anyone can post the message, and the message of one task may come before or after another task's: a
// message that finds no task waiting for it runs nothing, and waits for nothing.
TEST_F(posted_tasks, a_forged_or_repeated_message_for_the_windows_own_empty_queue_runs_nothing) {
    const bounded_ui_thread bound;
    task_window window;
    const HWND target = window.window_handle();
    const WPARAM own = reinterpret_cast<WPARAM>(&window.tasks);
    PostMessageW(target, system_ui::posted_task_message, own, 0); // nothing queued yet
    window.tasks.post_task([&](unsigned) { ++window.tasks_run; });
    PostMessageW(target, system_ui::posted_task_message, own, 0); // its task has run by now
    window.tasks.post_task([&](unsigned) {
        ++window.tasks_run;
        window.close_later();
    });

    run_bounded({&window});

    EXPECT_FALSE(bound.expired()) << "the window thread waited for a task nobody had queued";
    EXPECT_EQ(window.task_messages, 4u);
    EXPECT_EQ(window.tasks_run, 2u);
    EXPECT_TRUE(window.ran_one_each_time);
}

// Only the window thread empties its queue, so it must not wait for room in it: its post is refused.
// Another thread's post waits until the window thread has made room.
TEST_F(posted_tasks, the_window_threads_post_into_its_own_full_queue_is_refused_and_another_threads_waits) {
    constexpr unsigned capacity = 1024; // the 1000 tasks the window asks for, as the queue rounds them
    const bounded_ui_thread bound;
    task_window window;
    unsigned first_ran = 0;
    bool refused_ran = false, waiting_ran = false;
    for (unsigned i = 0; i != capacity; ++i)
        window.tasks.post_task([&](unsigned) { ++first_ran; });
    EXPECT_THAT([&] { window.tasks.post_task([&](unsigned) { refused_ran = true; }); },
                ThrowsMessage<std::runtime_error>(StrEq("task queue is full!")));
    cpp::threading::thread_ptr worker = cpp::threading::start_thread([&] {
        window.tasks.post_task([&](unsigned) {
            waiting_ran = true;
            window.close_later();
        });
    });

    run_bounded({&window});
    worker.join();

    EXPECT_FALSE(bound.expired());
    EXPECT_EQ(first_ran, capacity);
    EXPECT_TRUE(waiting_ran);
    EXPECT_FALSE(refused_ran) << "the refused task was not queued";
    EXPECT_EQ(window.task_messages, capacity + 1);
}
