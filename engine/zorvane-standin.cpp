// The stand-in for the external image-processing engine: a COM in-process server
// ("ZorvaneImageProcessor2.dll") that answers the engine's class id with the interfaces the plug-in
// uses, so the plug-in can be built, run and tested on a machine without the real engine. It is small
// and plain on purpose: the nodes do simple, visible pixel work, and every text the plug-in sends is
// checked strictly.
//
// Objects are callable from any thread without marshalling (ThreadingModel "Both"); every method
// catches everything at its edge and describes each failure through the COM error object.
//
// Test hooks, read from the environment when a root object is created (they hold for everything made
// from that root):
//   ZORVANE_STANDIN_BAND_DELAY_MS=<ms>  every band of rows of a run (and of a decode) waits that long
//                                       before its progress report; an interrupt ends the wait.
//   ZORVANE_STANDIN_BANDS_AFTER_STOP=<n> a run asked to stop (by its progress handler or an interrupt)
//                                       writes n more bands of rows (as far as it has rows), each after
//                                       the band delay, before it ends as it would have: an engine that
//                                       finishes the tiles it has begun. An interrupt then only cuts the
//                                       delays short.
//   ZORVANE_STANDIN_FAIL_NODE=<name>    a run or apply_in_place of an operation holding a node of that
//                                       name fails with E_FAIL and the description
//                                       'node "<name>" failed (forced by ZORVANE_STANDIN_FAIL_NODE)'.
//   ZORVANE_STANDIN_NO_SERVICE=1        the root answers no IProcessorService (interrupt, shutdown), as
//                                       an engine that cannot be asked to drop its work.
//   ZORVANE_STANDIN_FAIL_MEMORY_IMAGE=1 create_image_on_memory fails with E_OUTOFMEMORY and the
//                                       description "no image on the caller's memory (forced by
//                                       ZORVANE_STANDIN_FAIL_MEMORY_IMAGE)", as an engine short of memory
//                                       for a large image; images in the engine's own memory are made.
//   ZORVANE_STANDIN_TRACE=<path>        one UTF-8 line is appended to the file per call below, when the
//                                       call returns:
//       create_chain chain=<id> hr=<hr>
//       add_node chain=<id> name="<text>" shared=<0|1> node=<id> hr=<hr>
//       set_property node=<id> name="<text>" value="<text>" hr=<hr>
//       add_child node=<id> name="<text>" child=<id> hr=<hr>
//       commit node=<id> hr=<hr>
//       build chain=<id> operation=<id> hr=<hr>
//       query_output operation=<id> source=<image> width=<n> height=<n> format=<n> hr=<hr>
//       run operation=<id> source=<image> destination=<image> hr=<hr>
//       apply_in_place operation=<id> image=<image> hr=<hr>
//       interrupt hr=<hr>
//       shutdown hr=<hr>
//     ids count up per root from 1 (0: no object was made); an image is <id>:<width>x<height>:<format>,
//     a null or foreign one "-"; texts are in double quotes with \ and " escaped by a backslash; hr is
//     0x and eight lower-case hexadecimal digits.
// Leaks: the exported ZorvaneStandinLiveObjects() answers how many engine objects are alive.
//
// Engine behaviour worth knowing: get_limits of a progress handler gives the fewest and the most
// progress reports per run; runs report 0 first and 100 last; notify is never called. An interrupted
// run fails with E_ABORT; busy images answer try_acquire and try_lock with E_PENDING.
// run writes its output at the destination's top-left and needs the destination in the output's format
// and at least its size. PNG frames are decoded at 8 bits per channel through the Windows Imaging
// Component; formats without alpha get the pixels blended onto white.

#include <windows.h>
#include <olectl.h>
#include <wincodec.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ZorvaneImageProcessor.h"
#include "standin-com.h"
#include "standin-nodes.h"
#include "standin-pixels.h"
#include "standin-run.h"

namespace standin {

namespace {

using namespace zorvane;

HMODULE this_module = nullptr;
std::atomic<LONG> server_locks{0};

// Engine-private: how the engine finds its own objects behind interface pointers it is handed.
constexpr IID IID_standin_image = {
    0xed7ed0cc, 0x1203, 0x4ba3, {0xa8, 0x11, 0xd1, 0x0c, 0x18, 0x1d, 0xbb, 0x1c}};
constexpr IID IID_standin_shared_data = {
    0xbb7f56ab, 0xb5ce, 0x4519, {0x8b, 0x2a, 0x10, 0x32, 0x3f, 0xa4, 0x6a, 0x56}};

std::wstring_view text_of(BSTR text) {
    return text ? std::wstring_view(text, SysStringLen(text)) : std::wstring_view{};
}

std::wstring hex_text(std::uint32_t value) {
    wchar_t digits[11] = L"0x";
    for (int i = 0; i != 8; ++i)
        digits[2 + i] = L"0123456789abcdef"[(value >> (28 - 4 * i)) & 0xf];
    return digits;
}

std::wstring trace_text(std::wstring_view text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\')
            out += L'\\';
        out += c;
    }
    return out + L"\"";
}

std::wstring with_result(std::wstring line, HRESULT hr) {
    return line + L" hr=" + hex_text(static_cast<std::uint32_t>(hr));
}

void check_flags(DWORD flags, const wchar_t* call) {
    if (flags != 0)
        invalid(std::wstring(call) + L" takes flags 0, not " + std::to_wstring(flags));
}

void check_format(pixel_format format) {
    if (!is_known_format(static_cast<int>(format)))
        invalid(L"unknown pixel format " + std::to_wstring(static_cast<int>(format)));
}

// Images up to 65535 pixels a side whose bytes fit in a signed 32-bit size.
void check_size(INT32 width, INT32 height, pixel_format format) {
    check_format(format);
    if (width < 1 || height < 1 || width > 65535 || height > 65535)
        invalid(L"an image of " + std::to_wstring(width) + L" x " + std::to_wstring(height) +
                L" pixels: each side must be 1 to 65535");
    if (static_cast<long long>(row_bytes(static_cast<int>(format), width) + 3) * height > 0x7fffffffLL)
        invalid(L"an image of more than 2 GB");
}

void check_memory(const BYTE* data, INT32 width, INT32 height, pixel_format format, INT32 stride) {
    check_size(width, height, format);
    const int min_stride = row_bytes(static_cast<int>(format), width);
    if (stride < min_stride)
        invalid(L"a stride of " + std::to_wstring(stride) + L" bytes is shorter than a row of " +
                std::to_wstring(min_stride) + L" bytes");
    if (static_cast<long long>(stride) * height > 0x7fffffffLL)
        invalid(L"an image of more than 2 GB");
    if (data == nullptr)
        invalid(L"image memory at a null address");
}

// ---------------------------------------------------------------------------------------------------
// Images

class image_object final : public com_object<IImage, IImageData> {
public:
    // Engine-owned pixels.
    image_object(std::shared_ptr<engine_state> state, pixel_buffer pixels)
        : state_(std::move(state)), id_(state_->next_id()), owned_(std::move(pixels.bytes)),
          view_(pixels.view) {}
    // Memory of the caller; with an owner, the owner is told once when the image goes.
    image_object(std::shared_ptr<engine_state> state, const image_view& view, com_ptr<IObjectManager> owner,
                 ULONG_PTR cookie)
        : state_(std::move(state)), id_(state_->next_id()), view_(view), owner_(std::move(owner)),
          cookie_(cookie) {}
    ~image_object() override {
        if (owner_)
            owner_->release_object(cookie_);
    }

    // The engine's image behind an interface pointer, or a failure naming the role it was passed in.
    static com_ptr<image_object> from(IUnknown* unknown, const wchar_t* role) {
        if (unknown == nullptr)
            invalid(std::wstring(L"the ") + role + L" image is null");
        image_object* image = nullptr;
        if (FAILED(unknown->QueryInterface(IID_standin_image, reinterpret_cast<void**>(&image))))
            invalid(std::wstring(L"the ") + role + L" image was not made by this engine");
        return com_ptr<image_object>(image);
    }

    const image_view& view() const noexcept { return view_; }
    shape geometry() const noexcept { return {view_.width, view_.height, view_.format}; }
    std::wstring trace_name() const {
        return std::to_wstring(id_) + L":" + std::to_wstring(view_.width) + L"x" +
               std::to_wstring(view_.height) + L":" + std::to_wstring(view_.format);
    }

    // users_: 0 idle, n > 0 readers, acquired (try_acquire) or written (a run) exclusively.
    static constexpr LONG acquired = -1, written = -2;

    bool try_read() noexcept {
        LONG seen = users_.load(std::memory_order_relaxed);
        // acquire on success: pairs with the release that ended the last writer, whose pixels we read.
        while (seen >= 0)
            if (users_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed))
                return true;
        return false;
    }
    void end_read() noexcept {
        // release: our reads are done before a writer that acquires the image starts.
        users_.fetch_sub(1, std::memory_order_release);
    }
    bool try_take(LONG how) noexcept {
        LONG idle = 0;
        // acquire: pairs with the releases of end_read and give_back.
        return users_.compare_exchange_strong(idle, how, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    bool give_back(LONG how) noexcept {
        LONG held = how;
        // release: publishes the written pixels to the next user's acquire.
        return users_.compare_exchange_strong(held, 0, std::memory_order_release, std::memory_order_relaxed);
    }

    HRESULT STDMETHODCALLTYPE duplicate(DWORD flags, IImage** copy) override;
    HRESULT STDMETHODCALLTYPE get_info(INT32* width, INT32* height, INT32* bits,
                                       pixel_format* format) override;
    HRESULT STDMETHODCALLTYPE copy_pixels_to(BYTE* destination, UINT32 byte_size, INT32 stride,
                                             DWORD flags) override;
    HRESULT STDMETHODCALLTYPE get_buffer(BYTE** data, UINT32* byte_size, INT32* stride, pixel_format* format,
                                         INT32* width) override;
    HRESULT STDMETHODCALLTYPE try_acquire() override;
    HRESULT STDMETHODCALLTYPE release() override;
    HRESULT STDMETHODCALLTYPE try_lock() override;
    HRESULT STDMETHODCALLTYPE unlock() override;

    const std::shared_ptr<engine_state>& state() const noexcept { return state_; }

protected:
    void* query_more(REFIID iid) override {
        return InlineIsEqualGUID(iid, IID_standin_image) ? this : nullptr;
    }

private:
    std::shared_ptr<engine_state> state_;
    long id_;
    std::unique_ptr<BYTE[]> owned_;
    image_view view_;
    com_ptr<IObjectManager> owner_;
    ULONG_PTR cookie_ = 0;
    std::atomic<LONG> users_{0};
};

com_ptr<image_object> new_image(const std::shared_ptr<engine_state>& state, int width, int height,
                                int format) {
    return com_ptr<image_object>(new image_object(state, make_pixel_buffer(width, height, format)));
}

// The images a piece of work reads and writes, held for its length. Taking them waits while others
// use them, but never holds one while waiting for the other, so two runs in opposite directions
// cannot block each other; an interrupt ends the wait.
class held_images {
public:
    held_images(engine_state& state, unsigned generation, image_object* reading, image_object* writing) {
        for (;;) {
            if (!reading || reading->try_read()) {
                if (!writing || writing->try_take(image_object::written)) {
                    reading_ = reading;
                    writing_ = writing;
                    return;
                }
                if (reading)
                    reading->end_read();
            }
            if (!state.wait(generation, 1))
                fail_interrupted();
        }
    }
    held_images(const held_images&) = delete;
    ~held_images() {
        if (reading_)
            reading_->end_read();
        if (writing_)
            writing_->give_back(image_object::written);
    }

private:
    image_object* reading_ = nullptr;
    image_object* writing_ = nullptr;
};

HRESULT image_object::duplicate(DWORD flags, IImage** copy) {
    return guarded(IID_IImage, [&] {
        IImage*& out = out_param(copy);
        out = nullptr;
        check_flags(flags, L"duplicate");
        auto twin = new_image(state_, view_.width, view_.height, view_.format);
        held_images hold(*state_, state_->generation(), this, nullptr);
        copy_view(view_, twin->view());
        out = twin.detach();
        return S_OK;
    });
}

HRESULT image_object::get_info(INT32* width, INT32* height, INT32* bits, pixel_format* format) {
    return guarded(IID_IImage, [&] {
        if (width)
            *width = view_.width;
        if (height)
            *height = view_.height;
        if (bits)
            *bits = bits_per_pixel(view_.format);
        if (format)
            *format = static_cast<pixel_format>(view_.format);
        return S_OK;
    });
}

HRESULT image_object::copy_pixels_to(BYTE* destination, UINT32 byte_size, INT32 stride, DWORD flags) {
    return guarded(IID_IImage, [&] {
        check_flags(flags, L"copy_pixels_to");
        const image_view target{destination, view_.width, view_.height, stride, view_.format};
        const int bytes = row_bytes(view_.format, view_.width);
        if (destination == nullptr || stride < bytes || byte_size < target.span_bytes())
            invalid(L"copy_pixels_to needs " + std::to_wstring(view_.height) + L" rows of " +
                    std::to_wstring(bytes) + L" bytes, not " + std::to_wstring(byte_size) +
                    L" bytes with a stride of " + std::to_wstring(stride));
        held_images hold(*state_, state_->generation(), this, nullptr);
        if (target.overlaps(view_)) {
            // Same memory, or memory that overlaps with another stride: copy through a buffer.
            pixel_buffer between = make_pixel_buffer(view_.width, view_.height, view_.format);
            copy_view(view_, between.view);
            copy_view(between.view, target);
        } else {
            copy_view(view_, target);
        }
        return S_OK;
    });
}

HRESULT image_object::get_buffer(BYTE** data, UINT32* byte_size, INT32* stride, pixel_format* format,
                                 INT32* width) {
    return guarded(IID_IImageData, [&] {
        if (data)
            *data = view_.data;
        if (byte_size)
            *byte_size = static_cast<UINT32>(view_.stride) * static_cast<UINT32>(view_.height);
        if (stride)
            *stride = view_.stride;
        if (format)
            *format = static_cast<pixel_format>(view_.format);
        if (width)
            *width = view_.width;
        return S_OK;
    });
}

HRESULT image_object::try_acquire() {
    return guarded(IID_IImageData, [&] {
        if (!try_take(acquired))
            fail(E_PENDING, L"the image is in use");
        return S_OK;
    });
}

HRESULT image_object::release() {
    return guarded(IID_IImageData, [&] {
        if (!give_back(acquired))
            fail(E_UNEXPECTED, L"release without a successful try_acquire");
        return S_OK;
    });
}

HRESULT image_object::try_lock() {
    return guarded(IID_IImageData, [&] {
        if (!try_read())
            fail(E_PENDING, L"the image is being written");
        return S_OK;
    });
}

HRESULT image_object::unlock() {
    return guarded(IID_IImageData, [&] {
        LONG seen = users_.load(std::memory_order_relaxed);
        // release: pairs with the acquire of the next writer.
        while (seen > 0)
            if (users_.compare_exchange_weak(seen, seen - 1, std::memory_order_release,
                                             std::memory_order_relaxed))
                return S_OK;
        fail(E_UNEXPECTED, L"unlock without a successful try_lock");
    });
}

// The state kept for nodes that take shared data between runs. The stand-in's red-eye node needs none,
// so the object only proves it was made by this engine.
class shared_data_object final : public com_object<> {
protected:
    void* query_more(REFIID iid) override {
        return InlineIsEqualGUID(iid, IID_standin_shared_data) ? static_cast<ISupportErrorInfo*>(this)
                                                               : nullptr;
    }
};

bool is_shared_data(IUnknown* unknown) {
    com_ptr<IUnknown> ours;
    return unknown &&
           SUCCEEDED(unknown->QueryInterface(IID_standin_shared_data, reinterpret_cast<void**>(ours.put())));
}

// ---------------------------------------------------------------------------------------------------
// Chains, nodes and operations

// What a chain and its node objects share; the lock guards every change of the nodes.
struct chain_data {
    std::shared_ptr<engine_state> state;
    long id;
    std::mutex lock;
    std::vector<std::shared_ptr<node_settings>> nodes;
};

class filter_object final : public com_object<IFilter> {
public:
    filter_object(std::shared_ptr<chain_data> chain, std::shared_ptr<node_settings> node)
        : chain_(std::move(chain)), node_(std::move(node)), id_(chain_->state->next_id()) {}
    long id() const noexcept { return id_; }

    HRESULT STDMETHODCALLTYPE set_property(BSTR name, BSTR text) override {
        HRESULT hr = guarded(IID_IFilter, [&] {
            std::lock_guard<std::mutex> hold(chain_->lock);
            set_node_property(*node_, text_of(name), text_of(text));
            return S_OK;
        });
        chain_->state->trace([&] {
            return with_result(L"set_property node=" + std::to_wstring(id_) + L" name=" +
                                   trace_text(text_of(name)) + L" value=" + trace_text(text_of(text)),
                               hr);
        });
        return hr;
    }

    HRESULT STDMETHODCALLTYPE add_child(BSTR name, IFilter** child) override {
        long child_id = 0;
        HRESULT hr = guarded(IID_IFilter, [&] {
            IFilter*& out = out_param(child);
            out = nullptr;
            std::lock_guard<std::mutex> hold(chain_->lock);
            const node_rule& rule = find_child_spec(*node_->rule, text_of(name));
            if (node_->committed)
                invalid(L"node " + quoted(node_->rule->name) + L" is already committed");
            if (static_cast<int>(node_->children.size()) >= node_->rule->most_children)
                invalid(L"node " + quoted(node_->rule->name) + L" takes one " + quoted(rule.name) +
                        L" child only");
            auto settings = std::make_shared<node_settings>();
            settings->rule = &rule;
            com_ptr<filter_object> made(new filter_object(chain_, settings));
            node_->children.push_back(settings);
            child_id = made->id();
            out = made.detach();
            return S_OK;
        });
        chain_->state->trace([&] {
            return with_result(L"add_child node=" + std::to_wstring(id_) + L" name=" +
                                   trace_text(text_of(name)) + L" child=" + std::to_wstring(child_id),
                               hr);
        });
        return hr;
    }

    HRESULT STDMETHODCALLTYPE commit() override {
        HRESULT hr = guarded(IID_IFilter, [&] {
            std::lock_guard<std::mutex> hold(chain_->lock);
            if (node_->committed)
                invalid(L"node " + quoted(node_->rule->name) + L" is already committed");
            check_complete(*node_);
            node_->committed = true;
            return S_OK;
        });
        chain_->state->trace([&] { return with_result(L"commit node=" + std::to_wstring(id_), hr); });
        return hr;
    }

private:
    std::shared_ptr<chain_data> chain_;
    std::shared_ptr<node_settings> node_;
    long id_;
};

class operation_object final : public com_object<IOperation> {
public:
    operation_object(std::shared_ptr<engine_state> state, std::vector<std::shared_ptr<node_settings>> nodes)
        : state_(std::move(state)), id_(state_->next_id()), nodes_(std::move(nodes)) {}
    long id() const noexcept { return id_; }

    HRESULT STDMETHODCALLTYPE unused_slot_3() override {
        return guarded(IID_IOperation, []() -> HRESULT { fail(E_NOTIMPL, L"this slot is not used"); });
    }

    HRESULT STDMETHODCALLTYPE apply_in_place(IImage* image, DWORD flags, ICallbackHandler* handler) override {
        std::wstring image_name = L"-";
        HRESULT hr = guarded(IID_IOperation, [&] {
            check_flags(flags, L"apply_in_place");
            auto target = image_object::from(image, L"target");
            image_name = target->trace_name();
            execute(*target, *target, handler);
            return S_OK;
        });
        state_->trace([&] {
            return with_result(L"apply_in_place operation=" + std::to_wstring(id_) + L" image=" + image_name,
                               hr);
        });
        return hr;
    }

    HRESULT STDMETHODCALLTYPE query_output(IImage* source, DWORD flags, INT32* width, INT32* height,
                                           pixel_format* format) override {
        std::wstring source_name = L"-";
        shape out{};
        HRESULT hr = guarded(IID_IOperation, [&] {
            check_flags(flags, L"query_output");
            auto input = image_object::from(source, L"source");
            source_name = input->trace_name();
            out = shapes_from(input->geometry()).back();
            if (width)
                *width = out.width;
            if (height)
                *height = out.height;
            if (format)
                *format = static_cast<pixel_format>(out.format);
            return S_OK;
        });
        state_->trace([&] {
            return with_result(L"query_output operation=" + std::to_wstring(id_) + L" source=" + source_name +
                                   L" width=" + std::to_wstring(out.width) + L" height=" +
                                   std::to_wstring(out.height) + L" format=" + std::to_wstring(out.format),
                               hr);
        });
        return hr;
    }

    HRESULT STDMETHODCALLTYPE run(IImage* source, DWORD source_flags, IImage* destination,
                                  DWORD destination_flags, ICallbackHandler* handler) override {
        std::wstring source_name = L"-", destination_name = L"-";
        HRESULT hr = guarded(IID_IOperation, [&] {
            check_flags(source_flags | destination_flags, L"run");
            auto input = image_object::from(source, L"source");
            source_name = input->trace_name();
            auto output = image_object::from(destination, L"destination");
            destination_name = output->trace_name();
            if (input.get() == output.get())
                invalid(L"the source and the destination are the same image");
            execute(*input, *output, handler);
            return S_OK;
        });
        state_->trace([&] {
            return with_result(L"run operation=" + std::to_wstring(id_) + L" source=" + source_name +
                                   L" destination=" + destination_name,
                               hr);
        });
        return hr;
    }

private:
    // The shape after each node, checked against the source.
    std::vector<shape> shapes_from(shape source) const {
        std::vector<shape> shapes;
        for (const auto& node : nodes_)
            shapes.push_back(source = output_shape(*node, source));
        return shapes;
    }

    void execute(image_object& source, image_object& destination, ICallbackHandler* handler) {
        const unsigned generation = state_->generation();
        const bool in_place = &source == &destination;
        for (const auto& node : nodes_)
            if (!state_->hooks().failing_node.empty() && state_->hooks().failing_node == node->rule->name)
                fail(E_FAIL,
                     L"node " + quoted(node->rule->name) + L" failed (forced by ZORVANE_STANDIN_FAIL_NODE)");
        const std::vector<shape> shapes = shapes_from(source.geometry());
        const shape last = shapes.back(), target = destination.geometry();
        if (in_place &&
            (last.width != target.width || last.height != target.height || last.format != target.format))
            invalid(L"apply_in_place needs nodes that keep the image's size and format");
        if (last.format != target.format || last.width > target.width || last.height > target.height)
            invalid(L"the destination is " + std::to_wstring(target.width) + L" x " +
                    std::to_wstring(target.height) + L" in format " + std::to_wstring(target.format) +
                    L", the output " + std::to_wstring(last.width) + L" x " + std::to_wstring(last.height) +
                    L" in format " + std::to_wstring(last.format));

        held_images hold(*state_, generation, in_place ? nullptr : &source, &destination);
        // Nodes read neighbouring rows they have already written over when source and destination share
        // memory, so such a source is read from a copy.
        pixel_buffer source_copy;
        image_view input = source.view();
        if (in_place || input.overlaps(destination.view())) {
            source_copy = make_pixel_buffer(input.width, input.height, input.format);
            copy_view(input, source_copy.view);
            input = source_copy.view;
        }
        long rows = 0;
        for (const shape& s : shapes)
            rows += s.height;
        run_control control(*state_, generation, handler, rows);
        control.start();
        pixel_buffer between[2];
        for (std::size_t i = 0; i != nodes_.size(); ++i) {
            const shape& s = shapes[i];
            image_view output;
            if (i + 1 == nodes_.size()) {
                output = destination.view().top_left(s.width, s.height);
            } else {
                between[i % 2] = make_pixel_buffer(s.width, s.height, s.format);
                output = between[i % 2].view;
            }
            render_node(*nodes_[i], input, output, control);
            input = output;
        }
        control.finish();
    }

    std::shared_ptr<engine_state> state_;
    long id_;
    std::vector<std::shared_ptr<node_settings>> nodes_;
};

class chain_object final : public com_object<IFilterChain> {
public:
    explicit chain_object(std::shared_ptr<engine_state> state) : data_(std::make_shared<chain_data>()) {
        data_->state = std::move(state);
        data_->id = data_->state->next_id();
    }
    long id() const noexcept { return data_->id; }

    HRESULT STDMETHODCALLTYPE add_node(BSTR name, IUnknown* shared_data, IFilter** node) override {
        long node_id = 0;
        HRESULT hr = guarded(IID_IFilterChain, [&] {
            IFilter*& out = out_param(node);
            out = nullptr;
            const node_rule& rule = find_node_spec(text_of(name));
            if (rule.needs_shared_data && !is_shared_data(shared_data))
                invalid(L"node " + quoted(rule.name) +
                        L" needs a shared data object made by create_shared_data");
            if (!rule.needs_shared_data && shared_data != nullptr)
                invalid(L"node " + quoted(rule.name) + L" takes no shared data object");
            auto settings = std::make_shared<node_settings>();
            settings->rule = &rule;
            com_ptr<filter_object> made(new filter_object(data_, settings));
            {
                std::lock_guard<std::mutex> hold(data_->lock);
                data_->nodes.push_back(settings);
            }
            node_id = made->id();
            out = made.detach();
            return S_OK;
        });
        data_->state->trace([&] {
            return with_result(L"add_node chain=" + std::to_wstring(data_->id) + L" name=" +
                                   trace_text(text_of(name)) + L" shared=" + (shared_data ? L"1" : L"0") +
                                   L" node=" + std::to_wstring(node_id),
                               hr);
        });
        return hr;
    }

    HRESULT STDMETHODCALLTYPE build(IOperation** operation) override {
        long operation_id = 0;
        HRESULT hr = guarded(IID_IFilterChain, [&] {
            IOperation*& out = out_param(operation);
            out = nullptr;
            std::vector<std::shared_ptr<node_settings>> nodes;
            {
                // Committed nodes never change again, so the operation reads them without the lock.
                std::lock_guard<std::mutex> hold(data_->lock);
                nodes = data_->nodes;
                for (const auto& node : nodes)
                    if (!node->committed)
                        invalid(L"node " + quoted(node->rule->name) + L" is not committed");
            }
            if (nodes.empty())
                invalid(L"the chain has no node");
            com_ptr<operation_object> made(new operation_object(data_->state, std::move(nodes)));
            operation_id = made->id();
            out = made.detach();
            return S_OK;
        });
        data_->state->trace([&] {
            return with_result(L"build chain=" + std::to_wstring(data_->id) + L" operation=" +
                                   std::to_wstring(operation_id),
                               hr);
        });
        return hr;
    }

private:
    std::shared_ptr<chain_data> data_;
};

// ---------------------------------------------------------------------------------------------------
// Streams and PNG decoding

class memory_stream final : public com_object<IStream> {
public:
    explicit memory_stream(std::shared_ptr<const std::vector<BYTE>> bytes, ULONGLONG position = 0)
        : bytes_(std::move(bytes)), position_(position) {}

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override {
        return guarded(IID_IStream, [&] {
            if (buffer == nullptr)
                fail(STG_E_INVALIDPOINTER, L"Read into a null buffer");
            std::lock_guard<std::mutex> hold(lock_);
            const ULONGLONG left = position_ < bytes_->size() ? bytes_->size() - position_ : 0;
            const ULONG taken = static_cast<ULONG>(std::min<ULONGLONG>(left, count));
            std::memcpy(buffer, bytes_->data() + position_, taken);
            position_ += taken;
            if (read)
                *read = taken;
            return taken == count ? S_OK : S_FALSE;
        });
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override {
        return refuse(STG_E_ACCESSDENIED);
    }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override {
        return guarded(IID_IStream, [&] {
            std::lock_guard<std::mutex> hold(lock_);
            long long base = origin == STREAM_SEEK_SET   ? 0
                             : origin == STREAM_SEEK_CUR ? static_cast<long long>(position_)
                             : origin == STREAM_SEEK_END ? static_cast<long long>(bytes_->size())
                                                         : -1;
            if (base < 0)
                fail(STG_E_INVALIDFUNCTION, L"Seek from an unknown origin");
            if (base + move.QuadPart < 0)
                fail(STG_E_INVALIDFUNCTION, L"Seek before the start of the stream");
            position_ = static_cast<ULONGLONG>(base + move.QuadPart);
            if (position)
                position->QuadPart = position_;
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return refuse(STG_E_ACCESSDENIED); }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
        return refuse(E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return refuse(STG_E_INVALIDFUNCTION);
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return refuse(STG_E_INVALIDFUNCTION);
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override {
        return guarded(IID_IStream, [&] {
            STATSTG& out = out_param(stat);
            out = {};
            out.type = STGTY_STREAM;
            out.cbSize.QuadPart = bytes_->size();
            out.grfMode = STGM_READ;
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE Clone(IStream** copy) override {
        return guarded(IID_IStream, [&] {
            IStream*& out = out_param(copy);
            std::lock_guard<std::mutex> hold(lock_);
            out = new memory_stream(bytes_, position_);
            return S_OK;
        });
    }

protected:
    void* query_more(REFIID iid) override {
        return is_iid<ISequentialStream>(iid) ? static_cast<ISequentialStream*>(static_cast<IStream*>(this))
                                              : nullptr;
    }

private:
    static HRESULT refuse(HRESULT result) {
        return guarded(IID_IStream, [&]() -> HRESULT { fail(result, L"the memory stream is read-only"); });
    }

    std::shared_ptr<const std::vector<BYTE>> bytes_;
    std::mutex lock_;
    ULONGLONG position_;
};

class stream_provider final : public com_object<IStreamProvider> {
public:
    HRESULT STDMETHODCALLTYPE unused_slot_3() override { return unused(); }
    HRESULT STDMETHODCALLTYPE unused_slot_4() override { return unused(); }
    HRESULT STDMETHODCALLTYPE unused_slot_5() override { return unused(); }
    HRESULT STDMETHODCALLTYPE unused_slot_6() override { return unused(); }
    HRESULT STDMETHODCALLTYPE unused_slot_7() override { return unused(); }
    HRESULT STDMETHODCALLTYPE unused_slot_8() override { return unused(); }
    HRESULT STDMETHODCALLTYPE unused_slot_9() override { return unused(); }

    HRESULT STDMETHODCALLTYPE create_memory_stream(const BYTE* data, UINT32 size, IStream** stream) override {
        return guarded(IID_IStreamProvider, [&] {
            IStream*& out = out_param(stream);
            out = nullptr;
            if (data == nullptr && size != 0)
                invalid(L"create_memory_stream over a null address");
            // A copy: the caller's bytes may go before the stream does.
            auto bytes = std::make_shared<const std::vector<BYTE>>(data, data + size);
            out = new memory_stream(std::move(bytes));
            return S_OK;
        });
    }

private:
    static HRESULT unused() {
        return guarded(IID_IStreamProvider, []() -> HRESULT { fail(E_NOTIMPL, L"this slot is not used"); });
    }
};

void check_call(HRESULT hr, const wchar_t* what) {
    if (FAILED(hr))
        fail(hr, what);
}

class image_decoder final : public com_object<IImageDecoder> {
public:
    explicit image_decoder(std::shared_ptr<engine_state> state) : state_(std::move(state)) {}

    HRESULT STDMETHODCALLTYPE decode(IStream* stream, pixel_format format, VARIANT_BOOL option,
                                     IImageReceiver* receiver, DWORD flags,
                                     ICallbackHandler* handler) override {
        return guarded(IID_IImageDecoder, [&] {
            if (stream == nullptr || receiver == nullptr)
                invalid(L"decode needs a stream and a receiver");
            check_format(format);
            check_flags(flags, L"decode");
            if (option != VARIANT_FALSE)
                invalid(L"decode takes VARIANT_FALSE as its third argument");
            const unsigned generation = state_->generation();
            auto factory = state_->imaging_factory();
            com_ptr<IWICBitmapDecoder> decoder;
            check_call(factory->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnDemand,
                                                        decoder.put()),
                       L"the stream holds no image the Windows Imaging Component can read");
            UINT frames = 0;
            check_call(decoder->GetFrameCount(&frames), L"the image's frames cannot be counted");
            INT32 delivered = 0;
            for (UINT i = 0; i != frames; ++i) {
                com_ptr<IWICBitmapFrameDecode> frame;
                check_call(decoder->GetFrame(i, frame.put()), L"a frame of the image cannot be read");
                UINT width = 0, height = 0;
                check_call(frame->GetSize(&width, &height), L"a frame of the image has no size");
                VARIANT_BOOL accept = VARIANT_FALSE;
                check_call(receiver->accept_frame(static_cast<INT32>(i), static_cast<INT32>(frames),
                                                  static_cast<INT32>(width), static_cast<INT32>(height),
                                                  format, 0, &accept),
                           L"the receiver failed in accept_frame");
                if (accept == VARIANT_FALSE)
                    continue;
                if (width > 65535 || height > 65535)
                    invalid(L"a frame larger than 65535 pixels a side");
                com_ptr<IWICBitmapSource> converted;
                check_call(WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, frame.get(), converted.put()),
                           L"a frame cannot be converted to 32-bit BGRA");
                pixel_buffer decoded =
                    make_pixel_buffer(static_cast<int>(width), static_cast<int>(height), 8);
                check_call(converted->CopyPixels(nullptr, static_cast<UINT>(decoded.view.stride),
                                                 static_cast<UINT>(decoded.view.stride) * height,
                                                 decoded.view.data),
                           L"the pixels of a frame cannot be decoded");
                auto image =
                    new_image(state_, decoded.view.width, decoded.view.height, static_cast<int>(format));
                run_control control(*state_, generation, handler, decoded.view.height);
                control.start();
                convert_pixels(decoded.view, image->view(), 0xffffff, control);
                control.finish();
                check_call(receiver->deliver_frame(static_cast<INT32>(i), image.get()),
                           L"the receiver failed in deliver_frame");
                ++delivered;
            }
            check_call(receiver->end_frames(delivered, static_cast<INT32>(frames)),
                       L"the receiver failed in end_frames");
            return S_OK;
        });
    }

private:
    std::shared_ptr<engine_state> state_;
};

// ---------------------------------------------------------------------------------------------------
// The root

class processor final : public com_object<IProcessor, IProcessorService> {
public:
    processor() : state_(std::make_shared<engine_state>()) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (state_->hooks().without_service && out != nullptr && is_iid<IProcessorService>(iid)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        return com_object::QueryInterface(iid, out);
    }

    HRESULT STDMETHODCALLTYPE create_stream_provider(IStreamProvider** provider) override {
        return guarded(IID_IProcessor, [&] {
            out_param(provider) = new stream_provider;
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE create_image_decoder(IImageDecoder** decoder) override {
        return guarded(IID_IProcessor, [&] {
            out_param(decoder) = new image_decoder(state_);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE create_shared_data(IUnknown** shared_data) override {
        return guarded(IID_IProcessor, [&] {
            out_param(shared_data) = static_cast<ISupportErrorInfo*>(new shared_data_object);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE create_image(INT32 width, INT32 height, pixel_format format,
                                           IImage** image) override {
        return guarded(IID_IProcessor, [&] {
            IImage*& out = out_param(image);
            out = nullptr;
            check_size(width, height, format);
            out = new_image(state_, width, height, static_cast<int>(format)).detach();
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE create_image_on_memory(BYTE* bits, INT32 width, INT32 height,
                                                     pixel_format format, INT32 stride, ULONG_PTR cookie,
                                                     IObjectManager* owner, IImage** image) override {
        return guarded(IID_IProcessor, [&] {
            IImage*& out = out_param(image);
            out = nullptr;
            check_memory(bits, width, height, format, stride);
            if (state_->hooks().refuse_memory_images)
                fail(E_OUTOFMEMORY,
                     L"no image on the caller's memory (forced by ZORVANE_STANDIN_FAIL_MEMORY_IMAGE)");
            out = new image_object(state_, {bits, width, height, stride, static_cast<int>(format)},
                                   com_ptr<IObjectManager>::add_ref(owner), cookie);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE wrap_input_memory(BYTE* data, INT32 width, INT32 height, pixel_format format,
                                                INT32 stride, IImage** image) override {
        return wrap(data, width, height, format, stride, image);
    }
    HRESULT STDMETHODCALLTYPE wrap_output_memory(BYTE* data, INT32 width, INT32 height, pixel_format format,
                                                 INT32 stride, IImage** image) override {
        return wrap(data, width, height, format, stride, image);
    }
    HRESULT STDMETHODCALLTYPE create_scaled_copy(IImage* image, INT32 size, VARIANT_BOOL keep_aspect,
                                                 DWORD flags, IImage** copy) override {
        return guarded(IID_IProcessor, [&] {
            IImage*& out = out_param(copy);
            out = nullptr;
            check_flags(flags, L"create_scaled_copy");
            if (keep_aspect != VARIANT_TRUE)
                invalid(L"create_scaled_copy keeps the aspect ratio only (VARIANT_TRUE)");
            if (size < 1 || size > 65535)
                invalid(L"a scaled copy of size " + std::to_wstring(size));
            auto source = image_object::from(image, L"source");
            const image_view& from = source->view();
            // The longer side becomes size, the shorter keeps the ratio (rounded, at least one pixel).
            long long w = size, h = size;
            if (from.width >= from.height)
                h = std::max(1LL, (2LL * from.height * size + from.width) / (2LL * from.width));
            else
                w = std::max(1LL, (2LL * from.width * size + from.height) / (2LL * from.height));
            auto scaled = new_image(state_, static_cast<int>(w), static_cast<int>(h), from.format);
            const unsigned generation = state_->generation();
            held_images hold(*state_, generation, source.get(), nullptr);
            run_control control(*state_, generation, nullptr, static_cast<long>(h));
            control.start();
            scale_pixels(from, scaled->view(), control);
            out = scaled.detach();
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE create_chain(IFilterChain** chain) override {
        long chain_id = 0;
        HRESULT hr = guarded(IID_IProcessor, [&] {
            IFilterChain*& out = out_param(chain);
            com_ptr<chain_object> made(new chain_object(state_));
            chain_id = made->id();
            out = made.detach();
            return S_OK;
        });
        state_->trace([&] { return with_result(L"create_chain chain=" + std::to_wstring(chain_id), hr); });
        return hr;
    }

    HRESULT STDMETHODCALLTYPE unused_slot_4() override { return unused(); }
    HRESULT STDMETHODCALLTYPE unused_slot_7() override { return unused(); }
    HRESULT STDMETHODCALLTYPE unused_slot_9() override { return unused(); }
    HRESULT STDMETHODCALLTYPE unused_slot_14() override { return unused(); }
    HRESULT STDMETHODCALLTYPE unused_slot_15() override { return unused(); }
    HRESULT STDMETHODCALLTYPE unused_slot_16() override { return unused(); }
    HRESULT STDMETHODCALLTYPE unused_slot_17() override { return unused(); }
    HRESULT STDMETHODCALLTYPE unused_slot_18() override { return unused(); }

    HRESULT STDMETHODCALLTYPE interrupt() override {
        state_->interrupt();
        state_->trace([&] { return with_result(L"interrupt", S_OK); });
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE shutdown() override {
        state_->interrupt();
        state_->drop_caches();
        state_->trace([&] { return with_result(L"shutdown", S_OK); });
        return S_OK;
    }

private:
    HRESULT wrap(BYTE* data, INT32 width, INT32 height, pixel_format format, INT32 stride, IImage** image) {
        return guarded(IID_IProcessor, [&] {
            IImage*& out = out_param(image);
            out = nullptr;
            check_memory(data, width, height, format, stride);
            out = new image_object(state_, {data, width, height, stride, static_cast<int>(format)}, {}, 0);
            return S_OK;
        });
    }
    static HRESULT unused() {
        return guarded(IID_IProcessor, []() -> HRESULT { fail(E_NOTIMPL, L"this slot is not used"); });
    }

    std::shared_ptr<engine_state> state_;
};

class class_factory final : public com_object<IClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        return guarded(IID_IClassFactory, [&] {
            out_param(out) = nullptr;
            if (outer != nullptr)
                fail(CLASS_E_NOAGGREGATION, L"the engine cannot be aggregated");
            com_ptr<processor> root(new processor);
            return root->QueryInterface(iid, out);
        });
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        server_locks.fetch_add(lock ? 1 : -1, std::memory_order_acq_rel);
        return S_OK;
    }
};

// ---------------------------------------------------------------------------------------------------
// Registration

std::wstring class_key() {
    wchar_t text[40] = {};
    StringFromGUID2(CLSID_ZorvaneProcessor, text, 40);
    return std::wstring(L"Software\\Classes\\CLSID\\") + text;
}

LSTATUS set_text(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

HRESULT register_server() {
    std::wstring path(32768, L'\0');
    DWORD length = GetModuleFileNameW(this_module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size())
        return SELFREG_E_CLASS;
    path.resize(length);
    unique_hkey class_entry, server;
    const std::wstring key = class_key();
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_WRITE, nullptr, class_entry.put(), nullptr);
    if (status == ERROR_SUCCESS)
        status = set_text(class_entry.get(), nullptr, L"Zorvane Image Processor");
    if (status == ERROR_SUCCESS)
        status = RegCreateKeyExW(class_entry.get(), L"InprocServer32", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_WRITE, nullptr, server.put(), nullptr);
    if (status == ERROR_SUCCESS)
        status = set_text(server.get(), nullptr, path);
    if (status == ERROR_SUCCESS)
        status = set_text(server.get(), L"ThreadingModel", L"Both");
    return status == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

HRESULT unregister_server() {
    LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, class_key().c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}

} // namespace

} // namespace standin

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    // Thread notifications stay on: the statically linked runtime relies on them.
    if (reason == DLL_PROCESS_ATTACH)
        standin::this_module = instance;
    return TRUE;
}

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (!InlineIsEqualGUID(clsid, zorvane::CLSID_ZorvaneProcessor))
        return CLASS_E_CLASSNOTAVAILABLE;
    try {
        standin::com_ptr<standin::class_factory> factory(new standin::class_factory);
        return factory->QueryInterface(iid, out);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT WINAPI DllCanUnloadNow() {
    return standin::live_objects() == 0 && standin::server_locks.load(std::memory_order_acquire) == 0
               ? S_OK
               : S_FALSE;
}

HRESULT WINAPI DllRegisterServer() {
    try {
        return standin::register_server();
    } catch (...) {
        return SELFREG_E_CLASS;
    }
}

HRESULT WINAPI DllUnregisterServer() {
    try {
        return standin::unregister_server();
    } catch (...) {
        return SELFREG_E_CLASS;
    }
}

// For tests: the number of engine objects alive in this process.
LONG WINAPI ZorvaneStandinLiveObjects() {
    return standin::live_objects();
}

} // extern "C"
