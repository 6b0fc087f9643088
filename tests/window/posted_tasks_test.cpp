#include <thread>

#include "test-window.h"

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
