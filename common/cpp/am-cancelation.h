// The two ways a piece of work is told to stop. Both are empty classes without a base, so that a
// handler for std::exception never swallows a cancellation by accident: only the worker loop and the
// thread body, which know what a stop means, catch them.
#pragma once

namespace cpp {

namespace exceptional {
// The job that was running has been superseded by a newer one; the worker loop drops it and goes on.
class user_cancelation {};
} // namespace exceptional

namespace threading {
// The thread has been asked to stop; the thread body catches it and ends quietly.
class thread_cancelation {};
} // namespace threading

} // namespace cpp
