#include "abi-export.h"

#include <cstring>
#include <stdexcept>

#include "am-common.h"
#include "am-text.h"

runtime_init_t::runtime_init_t() {
    // S_FALSE (the thread was already in this apartment) is fine: it still needs its CoUninitialize.
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        throw std::runtime_error(cpp::failure_message("runtime_init_t", "278",
                                                      AM_LIBRARY_SOURCE("abi-export.cpp"),
                                                      "CoInitializeEx resulted in error!")
                                     .c_str());
}

runtime_init_t::~runtime_init_t() {
    CoUninitialize();
}

string_owner::string_owner(const std::wstring& text)
    : string_(SysAllocStringByteLen(reinterpret_cast<const char*>(text.data()),
                                    static_cast<UINT>(text.size() * sizeof(wchar_t)))) {
    if (string_ == nullptr)
        throw cpp::exceptional::allocationFailure(
            cpp::failure_message("string_owner", "363", AM_LIBRARY_SOURCE("abi-export.cpp"),
                                 "SysAllocStringByteLen returned error code!")
                .c_str());
}

string_owner::string_owner(const wchar_t* text, bool copy) : string_(nullptr) {
    if (copy && text != nullptr) {
        string_ = SysAllocString(text);
        if (string_ == nullptr)
            throw cpp::exceptional::allocationFailure(
                cpp::failure_message("string_owner", "348", AM_LIBRARY_SOURCE("abi-export.cpp"),
                                     "SysAllocString returned error code!")
                    .c_str());
    } else {
        string_ = const_cast<BSTR>(text);
    }
}

string_owner& string_owner::operator=(string_owner&& other) noexcept {
    if (this != &other) {
        free();
        string_ = other.string_;
        other.string_ = nullptr;
    }
    return *this;
}

void string_owner::free() noexcept {
    // Cleared before the free, so the owner never holds a freed string, not even for a moment.
    BSTR held = string_;
    string_ = nullptr;
    SysFreeString(held);
}

namespace error_handling {

interface_exception::interface_exception(HRESULT result, std::string message)
    : message_(std::make_shared<const std::string>(std::move(message))), result_(result) {}

namespace {

// The description of the thread's COM error object, when the called object says that it sets one for
// this interface; otherwise nothing. Every step that fails simply leaves the description out.
bool read_error_description(const check_context& context, std::string& description) {
    if (context.interface_pointer == nullptr)
        return false;
    com_ptr<ISupportErrorInfo> support;
    if (FAILED(context.interface_pointer->QueryInterface(IID_ISupportErrorInfo, support.put_void())) ||
        !support)
        return false;
    if (support->InterfaceSupportsErrorInfo(context.interface_id) != S_OK)
        return false;
    com_ptr<IErrorInfo> error;
    // S_FALSE means there is no error object: only S_OK hands one over.
    if (GetErrorInfo(0, error.put()) != S_OK || !error)
        return false;
    BSTR text = nullptr;
    if (FAILED(error->GetDescription(&text)))
        return false;
    const string_owner owned(text, false);
    description = cpp::to_utf8(std::wstring(owned.get(), SysStringLen(owned.get())));
    return true;
}

} // namespace

namespace details {

// The order matters: the engine's "thread stopped" code is a failure code, so it must be recognised
// before the failure branch, and neither cancellation may touch the thread's error object.
void check_nonzero_result(const check_context& context, HRESULT hr) {
    if (hr == S_OK)
        return;
    if (hr == engine_job_cancelled && context.accept_cancelled == 0)
        throw cpp::exceptional::user_cancelation{};
    if (hr == engine_thread_stopped)
        throw cpp::threading::thread_cancelation{};
    if (hr >= 0)
        return;

    std::string message = context.text != nullptr ? context.text : "";
    std::string description;
    if (read_error_description(context, description))
        message = description + " - " + message;

    if (hr == E_OUTOFMEMORY)
        throw cpp::exceptional::allocationFailure(std::move(message));
    if (hr == E_INVALIDARG)
        throw std::invalid_argument(message);
    throw_interface_exception(std::move(message), hr);
}

} // namespace details

void throw_interface_exception(std::string message, HRESULT result) {
    throw interface_exception(result, std::move(message));
}

const IID* find_interface_id(const IID& id, const IID* table, std::uint32_t count) noexcept {
    std::uint32_t wanted[4];
    std::memcpy(wanted, &id, sizeof wanted);
    for (std::uint32_t i = 0; i != count; ++i) {
        std::uint32_t entry[4];
        std::memcpy(entry, &table[i], sizeof entry);
        if (entry[0] == wanted[0] && entry[1] == wanted[1] && entry[2] == wanted[2] && entry[3] == wanted[3])
            return &table[i];
    }
    return nullptr;
}

} // namespace error_handling
