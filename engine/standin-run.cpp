#include "standin-run.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace standin {

namespace {

std::wstring environment(const wchar_t* name) {
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0)
        return {};
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

std::string to_utf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                   nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                        nullptr);
    return bytes;
}

// Lines of several roots, or of several processes, may go to one file: each line is one append.
std::mutex trace_file_lock;

} // namespace

test_hooks test_hooks::from_environment() {
    test_hooks hooks;
    std::wstring delay = environment(L"ZORVANE_STANDIN_BAND_DELAY_MS");
    if (!delay.empty())
        hooks.band_delay_ms = std::clamp(_wtoi(delay.c_str()), 0, 60000);
    std::wstring late = environment(L"ZORVANE_STANDIN_BANDS_AFTER_STOP");
    if (!late.empty())
        hooks.bands_after_stop = std::clamp(_wtoi(late.c_str()), 0, 1000);
    hooks.failing_node = environment(L"ZORVANE_STANDIN_FAIL_NODE");
    hooks.trace_path = environment(L"ZORVANE_STANDIN_TRACE");
    hooks.without_service = environment(L"ZORVANE_STANDIN_NO_SERVICE") == L"1";
    hooks.refuse_memory_images = environment(L"ZORVANE_STANDIN_FAIL_MEMORY_IMAGE") == L"1";
    return hooks;
}

engine_state::engine_state() : hooks_(test_hooks::from_environment()) {}

engine_state::~engine_state() = default;

long engine_state::next_id() noexcept {
    // relaxed: ids only have to be unique, they order nothing.
    return next_id_.fetch_add(1, std::memory_order_relaxed);
}

unsigned engine_state::generation() const noexcept {
    // acquire: pairs with the release in interrupt.
    return generation_.load(std::memory_order_acquire);
}

void engine_state::interrupt() noexcept {
    {
        // Changed under the wait lock, so a waiter cannot test the old value and then miss the wake.
        std::lock_guard<std::mutex> hold(wait_lock_);
        // release: pairs with the acquire in generation.
        generation_.fetch_add(1, std::memory_order_release);
    }
    woken_.notify_all();
}

void engine_state::drop_caches() noexcept {
    com_ptr<IWICImagingFactory> dropped;
    std::lock_guard<std::mutex> hold(cache_lock_);
    std::swap(dropped, imaging_factory_);
}

bool engine_state::wait(unsigned generation, int milliseconds) {
    std::unique_lock<std::mutex> hold(wait_lock_);
    return !woken_.wait_for(hold, std::chrono::milliseconds(milliseconds),
                            [&] { return interrupted_since(generation); });
}

com_ptr<IWICImagingFactory> engine_state::imaging_factory() {
    std::lock_guard<std::mutex> hold(cache_lock_);
    if (!imaging_factory_) {
        HRESULT hr =
            CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                             reinterpret_cast<void**>(imaging_factory_.put()));
        if (FAILED(hr))
            fail(hr, L"the Windows Imaging Component is not available");
    }
    return imaging_factory_;
}

void engine_state::append_trace_line(const std::wstring& line) {
    std::string bytes = to_utf8(line + L"\n");
    std::lock_guard<std::mutex> hold(trace_file_lock);
    HANDLE opened =
        CreateFileW(hooks_.trace_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    unique_file file(opened == INVALID_HANDLE_VALUE ? nullptr : opened);
    DWORD written = 0;
    if (file.get() != nullptr)
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void fail_interrupted() {
    fail(E_ABORT, L"the operation was interrupted");
}

run_control::run_control(engine_state& state, unsigned generation, zorvane::ICallbackHandler* handler,
                         long total_rows)
    : state_(state), generation_(generation), handler_(handler), total_rows_(std::max(total_rows, 1L)) {}

void run_control::start() {
    long fewest = 1, most = 100;
    if (handler_) {
        INT32 low = 0, high = 0;
        if (SUCCEEDED(handler_->get_limits(&low, &high)) && low >= 1 && high >= low) {
            fewest = low;
            most = high;
        }
    }
    // About one band per 16 rows, and the first report comes on top of one per band. Band ends are
    // spread evenly, so the count holds exactly.
    const long most_bands = std::max(most - 1, 1L);
    bands_ = std::clamp((total_rows_ + 15) / 16, std::min(std::max(fewest - 1, 1L), most_bands), most_bands);
    bands_ = std::min(bands_, total_rows_);
    band_end_ = band_end(0);
    check_interrupted();
    report(0.0f);
}

long run_control::band_end(long band) const {
    return static_cast<long>(static_cast<long long>(band + 1) * total_rows_ / bands_);
}

void run_control::checkpoint() {
    band_end_ = band_end(++band_);
    const int delay = state_.hooks().band_delay_ms;
    if (bands_after_stop_ >= 0) {
        // Stopped late: the band goes on all the same, and an interrupt only shortens its delay.
        if (delay > 0)
            state_.wait(generation_, delay);
        if (--bands_after_stop_ <= 0 || rows_done_ >= total_rows_)
            end_stopped();
        return;
    }
    if ((delay > 0 && !state_.wait(generation_, delay)) || state_.interrupted_since(generation_)) {
        stop(true);
        return;
    }
    report(std::min(100.0f, 100.0f * static_cast<float>(rows_done_) / static_cast<float>(total_rows_)));
}

void run_control::finish() {
    if (bands_after_stop_ >= 0)
        end_stopped();
    if (last_percent_ < 100.0f) {
        rows_done_ = total_rows_;
        checkpoint();
    }
}

void run_control::stop(bool interrupted) {
    stopped_by_interrupt_ = interrupted;
    bands_after_stop_ = state_.hooks().bands_after_stop;
    if (bands_after_stop_ <= 0)
        end_stopped();
}

void run_control::end_stopped() {
    if (stopped_by_interrupt_)
        fail_interrupted();
    throw run_cancelled{};
}

void run_control::check_interrupted() const {
    if (bands_after_stop_ < 0 && state_.interrupted_since(generation_))
        fail_interrupted();
}

void run_control::report(float percent) {
    last_percent_ = percent;
    if (handler_ == nullptr)
        return;
    VARIANT_BOOL go_on = VARIANT_TRUE;
    HRESULT hr = handler_->progress(percent, &go_on);
    if (FAILED(hr))
        fail(hr, L"the progress handler failed");
    if (go_on == VARIANT_FALSE)
        stop(false);
}

} // namespace standin
