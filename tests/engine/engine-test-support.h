// What the engine tests share: creating the engine both ways a client can, small COM callback objects
// standing in for the plug-in's, helpers that build chains from texts, read pixels and the COM error
// object, and a PNG writer, so the tests make their own input files.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ZorvaneImageProcessor.h"

namespace engine_test {

using Microsoft::WRL::ComPtr;
using zorvane::pixel_format;

enum class creation { class_object, co_create };

// Takes over the reference a new object starts with (mingw's ComPtr::Attach adds one of its own).
template <class T> ComPtr<T> adopt(T* fresh) {
    ComPtr<T> held;
    *held.ReleaseAndGetAddressOf() = fresh;
    return held;
}

// Through the DLL's own DllGetClassObject (LoadLibrary), or through COM and the registration.
ComPtr<zorvane::IProcessor> create_engine(creation how);
HMODULE engine_module();
LONG live_engine_objects();

class bstr {
public:
    explicit bstr(const std::wstring& text)
        : b_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    bstr(const bstr&) = delete;
    ~bstr() { SysFreeString(b_); }
    operator BSTR() const { return b_; }

private:
    BSTR b_;
};

// The description of the calling thread's COM error object, empty when there is none.
std::wstring error_description();

// Sets an environment variable for the engine roots made while it lives.
class scoped_environment {
public:
    scoped_environment(const wchar_t* name, const std::wstring& value);
    scoped_environment(const scoped_environment&) = delete;
    ~scoped_environment();

private:
    const wchar_t* name_;
};

// The reference counting of the tests' own COM objects.
template <class I> class test_object : public I {
public:
    virtual ~test_object() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (InlineIsEqualGUID(iid, IID_IUnknown) || InlineIsEqualGUID(iid, __uuidof(I))) {
            *out = static_cast<I*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0)
            delete this;
        return left;
    }
    LONG references() const { return refs_; }

private:
    LONG refs_ = 1;
};

// Counts release_object calls and remembers the cookie; the counters outlive the object.
class counting_owner final : public test_object<zorvane::IObjectManager> {
public:
    explicit counting_owner(std::atomic<int>& calls, std::atomic<ULONG_PTR>& cookie)
        : calls_(calls), cookie_(cookie) {}
    HRESULT STDMETHODCALLTYPE unused_slot_3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE unused_slot_4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE unused_slot_5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE release_object(ULONG_PTR cookie) override {
        cookie_ = cookie;
        ++calls_;
        return S_OK;
    }

private:
    std::atomic<int>& calls_;
    std::atomic<ULONG_PTR>& cookie_;
};

// Records every progress report and its thread; answers stop at report number stop_at (0 is the first),
// signals `reported` after each report, and at report number hold_at waits until open_gate is called,
// so a test can look at a run that is certainly still going.
class recording_handler final : public test_object<zorvane::ICallbackHandler> {
public:
    recording_handler(int fewest = 8, int most = 200, int stop_at = -1, int hold_at = -1);
    ~recording_handler() override;
    HRESULT STDMETHODCALLTYPE notify(INT32, INT32, INT32, VARIANT_BOOL* go_on) override;
    HRESULT STDMETHODCALLTYPE progress(float percent, VARIANT_BOOL* go_on) override;
    HRESULT STDMETHODCALLTYPE get_limits(INT32* fewest, INT32* most) override;

    std::vector<float> reports() const;
    std::vector<DWORD> threads() const;
    HANDLE reported() const { return reported_; }
    void open_gate() const { SetEvent(gate_); }

private:
    int fewest_, most_, stop_at_, hold_at_;
    mutable CRITICAL_SECTION lock_;
    std::vector<float> reports_;
    std::vector<DWORD> threads_;
    HANDLE reported_;
    HANDLE gate_;
};

// Accepts frame 0 (unless told to refuse it) and keeps the last image delivered.
class keeping_receiver final : public test_object<zorvane::IImageReceiver> {
public:
    explicit keeping_receiver(bool accept_first = true) : accept_first_(accept_first) {}
    HRESULT STDMETHODCALLTYPE accept_frame(INT32 index, INT32, INT32 width, INT32 height, pixel_format, INT32,
                                           VARIANT_BOOL* accept) override {
        offered_size = {width, height};
        *accept = index == 0 && accept_first_ ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE deliver_frame(INT32, zorvane::IImage* image) override {
        kept = image;
        ++delivered;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE end_frames(INT32 count, INT32 frames) override {
        ended = {count, frames};
        return S_OK;
    }

    ComPtr<zorvane::IImage> kept;
    int delivered = 0;
    std::pair<int, int> offered_size{-1, -1};
    std::pair<int, int> ended{-1, -1};

private:
    bool accept_first_;
};

// One node as the plug-in describes it: name, property texts in order, children.
struct node_text {
    std::wstring name;
    std::vector<std::pair<std::wstring, std::wstring>> properties;
    std::vector<node_text> children;
};

// Builds the chain, checking every call; shared data is made for nodes that need it.
ComPtr<zorvane::IOperation> build_operation(zorvane::IProcessor* root, const std::vector<node_text>& nodes);

ComPtr<zorvane::IImage> make_image(zorvane::IProcessor* root, int width, int height, pixel_format format);

struct buffer_view {
    BYTE* data;
    UINT32 bytes;
    INT32 stride;
    pixel_format format;
    INT32 width;
    int rows() const { return static_cast<int>(bytes / static_cast<UINT32>(stride)); }
    BYTE* at(int x, int y, int bytes_per_pixel) const { return data + y * stride + x * bytes_per_pixel; }
};
buffer_view buffer_of(zorvane::IImage* image);

// Each sample set from its position, so every pixel differs and any shift shows.
void fill_pattern(zorvane::IImage* image);
// Packed copy of the pixels (rows without padding).
std::vector<BYTE> packed_pixels(zorvane::IImage* image);

// A PNG file of 8-bit RGBA pixels (four bytes per pixel, rows top to bottom), stored uncompressed.
std::vector<BYTE> make_png(int width, int height, const std::vector<BYTE>& rgba);

} // namespace engine_test
