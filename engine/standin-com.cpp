#include "standin-com.h"

namespace standin {

namespace {
std::atomic<LONG> live_count{0};
}

void fail(HRESULT result, std::wstring description) {
    throw engine_error{result, std::move(description)};
}

void set_error_info(REFIID iid, const std::wstring& description) noexcept {
    com_ptr<ICreateErrorInfo> creator;
    if (FAILED(CreateErrorInfo(creator.put())))
        return;
    creator->SetGUID(iid);
    creator->SetSource(const_cast<LPOLESTR>(L"ZorvaneImageProcessor2"));
    creator->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    com_ptr<IErrorInfo> info;
    if (SUCCEEDED(creator->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(info.put()))))
        SetErrorInfo(0, info.get());
}

LONG live_objects() noexcept {
    // acquire: pairs with the release in count_object, so a zero seen here follows every destructor.
    return live_count.load(std::memory_order_acquire);
}

void count_object(int delta) noexcept {
    live_count.fetch_add(delta, std::memory_order_acq_rel);
}

} // namespace standin
