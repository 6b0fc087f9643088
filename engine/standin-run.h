// What one engine root shares with everything made from it: the test hooks read when it was created,
// the interrupt generation that ends running work, the trace file, and the one cache it keeps (the
// imaging factory behind PNG decoding). Also the control of one run: bands, progress, stop and delay.
#pragma once

#include <windows.h>
#include <wincodec.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "standin-com.h"

namespace standin {

struct test_hooks {
    int band_delay_ms = 0;
    int bands_after_stop = 0;
    std::wstring failing_node;
    std::wstring trace_path;
    bool without_service = false;
    bool refuse_memory_images = false;

    static test_hooks from_environment();
};

class engine_state {
public:
    engine_state();
    ~engine_state();

    const test_hooks& hooks() const noexcept { return hooks_; }
    long next_id() noexcept;

    // Work started before the generation changes ends with a failure at its next check.
    unsigned generation() const noexcept;
    bool interrupted_since(unsigned generation) const noexcept { return this->generation() != generation; }
    void interrupt() noexcept;
    void drop_caches() noexcept;
    // Waits the milliseconds out; false as soon as an interrupt ends the wait.
    bool wait(unsigned generation, int milliseconds);

    // Appends one line to the trace file when the hook names one; never throws.
    template <class MakeLine> void trace(MakeLine&& make_line) noexcept {
        if (hooks_.trace_path.empty())
            return;
        try {
            append_trace_line(make_line());
        } catch (...) {
        }
    }

    com_ptr<IWICImagingFactory> imaging_factory();

private:
    void append_trace_line(const std::wstring& line);

    test_hooks hooks_;
    std::atomic<long> next_id_{1};
    std::atomic<unsigned> generation_{0};
    std::mutex wait_lock_;
    std::condition_variable woken_;
    std::mutex cache_lock_;
    com_ptr<IWICImagingFactory> imaging_factory_;
};

// A failure to describe the interrupt: never one of the two cancellation codes, so the caller sees a
// failed operation, not a cancelled job.
[[noreturn]] void fail_interrupted();

// One run's checkpoints. Work goes in bands of rows; after each band the run waits the hook's delay,
// ends with a failure when interrupted, and reports progress, ending with run_cancelled when the
// handler says stop. One report before the first band and one after each band: the band count is
// chosen so that the reports stay within the handler's limits (as far as the rows allow). With the
// bands-after-stop hook a stop (the handler's or an interrupt) is obeyed late: the run writes that many
// more bands first (as far as it has rows), each after its delay, reporting nothing more; an interrupt
// then only cuts the delays short.
class run_control {
public:
    // total_rows: all rows the run will produce; handler may be null.
    run_control(engine_state& state, unsigned generation, zorvane::ICallbackHandler* handler,
                long total_rows);

    // Reads the limits and reports 0, so a job that is already stale stops before any work.
    void start();
    void row_done() {
        if (++rows_done_ == band_end_)
            checkpoint();
    }
    // Reports 100 unless the last band already did.
    void finish();
    void check_interrupted() const;
    engine_state& state() const noexcept { return state_; }

private:
    void checkpoint();
    // A stop seen: ends the run now, or with the hook after its late bands.
    void stop(bool interrupted);
    [[noreturn]] void end_stopped();
    long band_end(long band) const;
    void report(float percent);

    engine_state& state_;
    unsigned generation_;
    zorvane::ICallbackHandler* handler_;
    long total_rows_;
    long bands_ = 1;
    long band_ = 0;
    long rows_done_ = 0;
    long band_end_ = 0;
    float last_percent_ = -1.0f;
    // Bands still to write after a stop; -1 while there was none.
    long bands_after_stop_ = -1;
    bool stopped_by_interrupt_ = false;
};

} // namespace standin
