// The seam between the system and COM: the apartment scope of a worker thread, owned BSTRs and
// interface pointers, and the one HRESULT check every engine call goes through.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <windows.h>
#include <oaidl.h>
#include <objbase.h>

#include "am-cancelation.h"
#include "am-common.h"

// Joins the calling thread to the multithreaded apartment for the scope's lifetime. Workers call the
// engine directly, without marshalling, so they must live in the free-threaded apartment.
class runtime_init_t {
public:
    runtime_init_t();
    ~runtime_init_t();
    runtime_init_t(const runtime_init_t&) = delete;
    runtime_init_t& operator=(const runtime_init_t&) = delete;
};

// Owns one BSTR (possibly null) and frees it when it goes.
class string_owner {
public:
    // Exactly the string's length, embedded zero characters included: property values are handed to
    // the engine as counted strings, not as C strings.
    explicit string_owner(const std::wstring& text);
    // Copies the text when asked to and there is one; otherwise adopts the pointer as a BSTR to free.
    string_owner(const wchar_t* text, bool copy);
    string_owner(string_owner&& other) noexcept : string_(other.string_) { other.string_ = nullptr; }
    string_owner& operator=(string_owner&& other) noexcept;
    string_owner(const string_owner&) = delete;
    string_owner& operator=(const string_owner&) = delete;
    ~string_owner() { free(); }

    BSTR get() const noexcept { return string_; }

private:
    void free() noexcept;

    BSTR string_;
};

// The one owner of a COM reference in the system: one word, released on destruction. Moves, never
// copies; a second reference is taken explicitly with retain.
template <class Interface> class com_ptr {
public:
    com_ptr() noexcept = default;
    // Adopts a reference the caller already holds (an out-parameter filled by a COM call).
    explicit com_ptr(Interface* adopted) noexcept : pointer_(adopted) {}
    com_ptr(com_ptr&& other) noexcept : pointer_(other.pointer_) { other.pointer_ = nullptr; }
    com_ptr& operator=(com_ptr&& other) noexcept {
        if (this != &other) {
            Interface* old = pointer_;
            pointer_ = other.pointer_;
            other.pointer_ = nullptr;
            // Released after the swap: Release may run code that reaches this pointer again.
            if (old != nullptr)
                old->Release();
        }
        return *this;
    }
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;
    ~com_ptr() {
        if (pointer_ != nullptr)
            pointer_->Release();
    }

    // Takes an additional reference to a borrowed pointer (one handed in by a caller or a callback).
    static com_ptr retain(Interface* borrowed) noexcept {
        if (borrowed != nullptr)
            borrowed->AddRef();
        return com_ptr(borrowed);
    }

    Interface* get() const noexcept { return pointer_; }
    Interface* operator->() const noexcept { return pointer_; }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }

    // The out-parameter of a COM call: whatever was held is released first, so a reused com_ptr never
    // leaks the object it held and never hands the callee a stale pointer.
    Interface** put() noexcept {
        reset();
        return &pointer_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    void reset() noexcept {
        Interface* old = pointer_;
        pointer_ = nullptr;
        if (old != nullptr)
            old->Release();
    }
    // Hands the reference to the caller, who then owns it.
    Interface* detach() noexcept {
        Interface* held = pointer_;
        pointer_ = nullptr;
        return held;
    }

private:
    Interface* pointer_ = nullptr;
};

namespace error_handling {

// What a checked call passes along with its result: the object called and the interface whose method
// it was (so the COM error object can be asked whether it speaks for that interface).
struct check_context {
    IUnknown* interface_pointer; // may be null: nothing to ask for an error object
    IID interface_id;
    const char* text;              // names the call; the system's call sites pass ""
    std::uint8_t accept_cancelled; // not 0: the engine's "cancelled" code counts as success
};

// A failed COM call with the engine's description. Copies share the message, so throwing by value and
// carrying it across threads in an exception_ptr costs no string copies. A move copies too: a moved-from
// exception must still answer what().
class interface_exception : public std::exception {
public:
    interface_exception(HRESULT result, std::string message);
    interface_exception(const interface_exception&) noexcept = default;
    interface_exception& operator=(const interface_exception&) noexcept = default;
    const char* what() const noexcept override { return message_->c_str(); }
    HRESULT result() const noexcept { return result_; }

private:
    std::shared_ptr<const std::string> message_;
    HRESULT result_;
};

// The engine's private result codes: the job that made the call was superseded, or its thread was
// asked to stop.
inline constexpr HRESULT engine_job_cancelled = static_cast<HRESULT>(0x20000100);
inline constexpr HRESULT engine_thread_stopped = static_cast<HRESULT>(0xA0000200);

// Throws interface_exception made from the message and the result: the end of every failed COM call
// that is neither out of memory nor an invalid argument.
[[noreturn]] void throw_interface_exception(std::string message, HRESULT result);

namespace details {
// Everything after the S_OK test, kept out of line so that a passing check costs one comparison.
void check_nonzero_result(const check_context& context, HRESULT hr);
} // namespace details

// Returns for success; turns the engine's cancellation codes into the cancellation exceptions and a
// failure into an exception carrying the COM error object's description. Must run on the thread that
// made the call, before any other COM call there: the error object belongs to the thread.
inline void check_result(const check_context& context, HRESULT hr) {
    if (hr != S_OK)
        details::check_nonzero_result(context, hr);
}

// The form every engine call site uses:
//     error_handling::check_result(chain, chain->build(operation.put()));
// The interface's identifier comes from its declaration (__CRT_UUID_DECL), so a site cannot pass the
// wrong one. A call with no object yet (creating it) names the interface: check_result<IProcessor>(nullptr,
// hr).
template <class Interface> void check_result(Interface* object, HRESULT hr) {
    if (hr != S_OK)
        check_result(check_context{object, __uuidof(Interface), "", 0}, hr);
}
template <class Interface> void check_result(const com_ptr<Interface>& object, HRESULT hr) {
    check_result(object.get(), hr);
}

// The first entry of the table equal to id, or null; for QueryInterface of the system's own objects.
const IID* find_interface_id(const IID& id, const IID* table, std::uint32_t count) noexcept;

// Releases a raw interface pointer that is not null; the pointer itself is left as it is.
template <class Interface> void com_release(Interface*& pointer) noexcept {
    if (pointer != nullptr)
        pointer->Release();
}

} // namespace error_handling
