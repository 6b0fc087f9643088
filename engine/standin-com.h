// COM plumbing of the stand-in engine: the one reference-counting base of all its objects, the owning
// interface pointer and handle holder, the failure type that carries an HRESULT with its description,
// and the guard that turns whatever a method throws into a result and the COM error object. The engine
// links nothing of the plug-in's library, so these few pieces are its own.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <string>
#include <utility>

#include "ZorvaneImageProcessor.h"

namespace standin {

// A failure with its HRESULT and the description the caller will read from the COM error object.
struct engine_error {
    HRESULT result;
    std::wstring description;
};

[[noreturn]] void fail(HRESULT result, std::wstring description);
[[noreturn]] inline void invalid(std::wstring description) {
    fail(E_INVALIDARG, std::move(description));
}

// The progress handler asked to stop: the run ends with job_cancelled_result.
struct run_cancelled {};

// Sets the calling thread's COM error object; never throws.
void set_error_info(REFIID iid, const std::wstring& description) noexcept;

// The edge of every COM method: the body's result, or the failure it threw with its description set
// as the error object. Nothing unwinds past this, whatever the body throws.
template <class Body> HRESULT guarded(REFIID iid, Body&& body) noexcept {
    try {
        return body();
    } catch (const engine_error& e) {
        set_error_info(iid, e.description);
        return e.result;
    } catch (const run_cancelled&) {
        return zorvane::job_cancelled_result;
    } catch (const std::bad_alloc&) {
        set_error_info(iid, L"not enough memory");
        return E_OUTOFMEMORY;
    } catch (...) {
        set_error_info(iid, L"internal failure of the engine");
        return E_UNEXPECTED;
    }
}

template <class T> T& out_param(T* pointer) {
    if (pointer == nullptr)
        fail(E_POINTER, L"an out parameter is null");
    return *pointer;
}

// Counts every COM object of the engine that is alive; tests read it to find leaks, and
// DllCanUnloadNow answers from it.
LONG live_objects() noexcept;
void count_object(int delta) noexcept;

template <class I> class com_ptr {
public:
    com_ptr() = default;
    // Adopts a reference the caller already owns.
    explicit com_ptr(I* adopted) noexcept : p_(adopted) {}
    com_ptr(const com_ptr& other) noexcept : p_(other.p_) {
        if (p_)
            p_->AddRef();
    }
    com_ptr(com_ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    com_ptr& operator=(com_ptr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~com_ptr() {
        if (p_)
            p_->Release();
    }
    static com_ptr add_ref(I* borrowed) noexcept {
        if (borrowed)
            borrowed->AddRef();
        return com_ptr(borrowed);
    }
    I* get() const noexcept { return p_; }
    I* operator->() const noexcept { return p_; }
    I& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to an out parameter.
    I* detach() noexcept { return std::exchange(p_, nullptr); }
    I** put() noexcept {
        *this = com_ptr();
        return &p_;
    }

private:
    I* p_ = nullptr;
};

// One holder for every kind of handle: the value and the function that closes it.
template <class H, auto close, H empty = H{}> class unique_handle {
public:
    unique_handle() = default;
    explicit unique_handle(H h) noexcept : h_(h) {}
    unique_handle(unique_handle&& other) noexcept : h_(std::exchange(other.h_, empty)) {}
    unique_handle& operator=(unique_handle&& other) noexcept {
        std::swap(h_, other.h_);
        return *this;
    }
    ~unique_handle() {
        if (h_ != empty)
            close(h_);
    }
    H get() const noexcept { return h_; }
    H* put() noexcept {
        *this = unique_handle();
        return &h_;
    }

private:
    H h_ = empty;
};

using unique_hkey = unique_handle<HKEY, &RegCloseKey>;
// Files open as INVALID_HANDLE_VALUE on failure: store null instead.
using unique_file = unique_handle<HANDLE, &CloseHandle>;

template <class I> constexpr bool is_iid(REFIID iid) {
    return InlineIsEqualGUID(iid, __uuidof(I)) != 0;
}

// The base of every engine object: an interlocked count, IUnknown answers for the listed interfaces,
// and ISupportErrorInfo for all of them, since every failing method sets the error object.
template <class... Interfaces> class com_object : public Interfaces..., public ISupportErrorInfo {
public:
    com_object() noexcept { count_object(1); }
    com_object(const com_object&) = delete;
    com_object& operator=(const com_object&) = delete;
    virtual ~com_object() { count_object(-1); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (is_iid<IUnknown>(iid))
            *out = static_cast<ISupportErrorInfo*>(this);
        else if (is_iid<ISupportErrorInfo>(iid))
            *out = static_cast<ISupportErrorInfo*>(this);
        else
            ((*out == nullptr && is_iid<Interfaces>(iid) ? (*out = static_cast<Interfaces*>(this)) : nullptr),
             ...);
        if (*out == nullptr)
            *out = query_more(iid);
        if (*out == nullptr)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        // relaxed: a new reference can only be made from one the caller already holds.
        return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        // acq_rel: the release publishes this owner's writes; the acquire on the last one makes every
        // owner's writes visible to the destructor.
        ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
        return ((is_iid<Interfaces>(iid)) || ...) ? S_OK : S_FALSE;
    }

protected:
    // Interfaces a class answers beyond its list (the base interfaces of IStream, an engine-private id).
    virtual void* query_more(REFIID) { return nullptr; }

private:
    std::atomic<ULONG> refs_{1};
};

} // namespace standin
