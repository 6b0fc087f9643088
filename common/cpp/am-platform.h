// The operating-system seam of the allocation core and the threading code: the only places where they
// call the system. The Windows build calls the Windows functions directly; the native build, which runs
// the concurrency core under the sanitizers on Linux, maps the same few operations onto the C++ and
// POSIX libraries. Include it from sources only: it pulls in <windows.h>.
#pragma once

#include <cstdint>

#if defined(_WIN32)

#include <malloc.h>
#include <windows.h>

#include <pthread.h>
#include <versionhelpers.h>

#else

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#endif

#include <thread>

namespace cpp::platform {

// The longest finite wait an event accepts; 0xffffffff means "no time-out".
inline constexpr std::uint32_t infinite_wait = 0xffffffff;

// The processor's spin-wait hint.
inline void pause() noexcept {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

#if defined(_WIN32)

inline void* aligned_allocate(std::uint32_t size, std::uint32_t alignment) noexcept {
    return _aligned_malloc(size, alignment);
}
inline void aligned_free(void* block) noexcept {
    _aligned_free(block);
}
inline std::uint32_t last_error() noexcept {
    return GetLastError();
}
inline std::uint32_t processor_count() noexcept {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}
inline bool version_at_least(unsigned major, unsigned minor, unsigned service_pack) {
    return IsWindowsVersionOrGreater(static_cast<WORD>(major), static_cast<WORD>(minor),
                                     static_cast<WORD>(service_pack));
}
inline void sleep(std::uint32_t milliseconds) noexcept {
    Sleep(milliseconds);
}

// An auto-reset event, created non-signalled. Only what a waker needs: wait, signal and close.
constexpr DWORD event_access = SYNCHRONIZE | DELETE | EVENT_MODIFY_STATE;
inline void* create_event() noexcept {
    return CreateEventExW(nullptr, nullptr, 0, event_access);
}
inline void set_event(void* event) noexcept {
    SetEvent(event);
}
inline void wait_event(void* event, std::uint32_t milliseconds) noexcept {
    WaitForSingleObjectEx(event, milliseconds, FALSE);
}
inline void close_event(void* event) noexcept {
    CloseHandle(event);
}

// std::thread's native handle is a winpthreads id, not a Windows handle; the thread's real handle comes
// from winpthreads.
inline void set_thread_priority(std::thread& thread, int priority) noexcept {
    SetThreadPriority(pthread_gethandle(thread.native_handle()), priority);
}
// A pseudo handle that always means the calling thread; never closed.
inline void* current_thread() noexcept {
    return GetCurrentThread();
}

#else

inline void* aligned_allocate(std::uint32_t size, std::uint32_t alignment) noexcept {
    void* block = nullptr;
    if (alignment < sizeof(void*))
        alignment = sizeof(void*);
    return posix_memalign(&block, alignment, size) == 0 ? block : nullptr;
}
inline void aligned_free(void* block) noexcept {
    std::free(block);
}
inline std::uint32_t last_error() noexcept {
    return static_cast<std::uint32_t>(errno);
}
inline std::uint32_t processor_count() noexcept {
    return std::thread::hardware_concurrency();
}
inline bool version_at_least(unsigned, unsigned, unsigned) {
    return true;
}
inline void sleep(std::uint32_t milliseconds) noexcept {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

namespace details {
struct native_event {
    std::mutex mutex;
    std::condition_variable signalled_changed;
    bool signalled = false;
};
} // namespace details

inline void* create_event() noexcept {
    void* event = new (std::nothrow) details::native_event;
    if (event == nullptr)
        errno = ENOMEM;
    return event;
}
inline void set_event(void* event) noexcept {
    auto& e = *static_cast<details::native_event*>(event);
    {
        std::lock_guard lock(e.mutex);
        e.signalled = true;
    }
    e.signalled_changed.notify_one();
}
// Like an auto-reset event: a signal that finds no waiter stays until the next wait consumes it.
inline void wait_event(void* event, std::uint32_t milliseconds) noexcept {
    auto& e = *static_cast<details::native_event*>(event);
    std::unique_lock lock(e.mutex);
    if (milliseconds == infinite_wait)
        e.signalled_changed.wait(lock, [&] { return e.signalled; });
    else
        e.signalled_changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                     [&] { return e.signalled; });
    e.signalled = false;
}
inline void close_event(void* event) noexcept {
    delete static_cast<details::native_event*>(event);
}

inline void set_thread_priority(std::thread&, int) noexcept {}
inline void* current_thread() noexcept {
    return nullptr;
}

#endif

} // namespace cpp::platform
