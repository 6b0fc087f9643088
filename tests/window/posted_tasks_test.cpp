#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test-window.h"

using window_test::test_window;

namespace {

// A window that receives tasks: every message goes to run_posted_tasks first, as in the plug-in's windows.
class task_window : public test_window {
public:
    task_window() : tasks(window_handle(), 1000) {
        on_message = [this](const system_ui::register_function&, HWND window, UINT message, WPARAM wparam,
                            LPARAM) -> INT_PTR {
            if (message == system_ui::posted_task_message)
                ++task_messages;
            const unsigned before = tasks_run;
            if (system_ui::run_posted_tasks(tasks, window, message, wparam)) {
                ran_one_each_time = ran_one_each_time && tasks_run == before + 1;
                return TRUE;
            }
            return 0;
        };
    }

    system_ui::window_task_queue tasks;
    unsigned task_messages = 0;
    unsigned tasks_run = 0;
    bool ran_one_each_time = true;
};

class posted_tasks : public ::testing::Test {
protected:
    void TearDown() override { window_test::drain_messages(); }
};

} // namespace

TEST_F(posted_tasks, tasks_from_several_threads_run_once_each_one_per_message_in_queue_order) {
    constexpr unsigned producers = 4;
    constexpr unsigned per_producer = 500;
    constexpr unsigned total = producers * per_producer;
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
                    if (++window.tasks_run == total)
                        DestroyWindow(window.window_handle());
                });
        });

    window_test::run_bounded({&window});
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(window.tasks_run, total);
    EXPECT_EQ(window.task_messages, total);
    EXPECT_TRUE(window.ran_one_each_time);
    EXPECT_TRUE(in_order) << "each producer's tasks ran in the order it posted them";
}

TEST_F(posted_tasks, a_message_that_names_another_queue_runs_nothing) {
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
        DestroyWindow(target);
    });

    window_test::run_bounded({&window});

    EXPECT_EQ(window.task_messages, 4u);
    EXPECT_EQ(window.tasks_run, 1u);
    EXPECT_FALSE(other_ran);
}

TEST_F(posted_tasks, other_messages_leave_the_queue_untouched) {
    task_window window;
    window.tasks.post_task([&](unsigned) {
        ++window.tasks_run;
        DestroyWindow(window.window_handle());
    });
    EXPECT_FALSE(system_ui::run_posted_tasks(window.tasks, window.window_handle(), WM_APP + 5,
                                             reinterpret_cast<WPARAM>(&window.tasks)));
    EXPECT_EQ(window.tasks_run, 0u);

    window_test::run_bounded({&window});
    EXPECT_EQ(window.tasks_run, 1u);
}

TEST_F(posted_tasks, a_failing_task_comes_out_of_the_loop) {
    task_window window;
    window.tasks.post_task([](unsigned) { throw std::runtime_error("task failed"); });
    try {
        window_test::run_bounded({&window});
        FAIL() << "no exception";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "task failed");
    }
}

TEST_F(posted_tasks, a_queue_without_a_ring_refuses_tasks) {
    system_ui::window_task_queue empty;
    EXPECT_THROW(empty.post_task([](unsigned) {}), std::runtime_error);
    system_ui::window_task_queue real(nullptr, 10);
    system_ui::window_task_queue moved = std::move(real);
    EXPECT_THROW(real.post_task([](unsigned) {}), std::runtime_error);
}
