#include "engine-test-support.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace engine_test {

HMODULE engine_module() {
    static HMODULE module = LoadLibraryW(L"ZorvaneImageProcessor2.dll");
    if (module == nullptr)
        throw std::runtime_error("ZorvaneImageProcessor2.dll does not load");
    return module;
}

namespace {

template <class F> F engine_function(const char* name) {
    auto function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(engine_module(), name)));
    if (function == nullptr)
        throw std::runtime_error(std::string("the engine exports no ") + name);
    return function;
}

void check(HRESULT hr, const char* what) {
    if (FAILED(hr))
        throw std::runtime_error(std::string(what) + " failed");
}

} // namespace

ComPtr<zorvane::IProcessor> create_engine(creation how) {
    ComPtr<zorvane::IProcessor> root;
    if (how == creation::co_create) {
        check(CoCreateInstance(zorvane::CLSID_ZorvaneProcessor, nullptr, CLSCTX_INPROC_SERVER,
                               zorvane::IID_IProcessor,
                               reinterpret_cast<void**>(root.ReleaseAndGetAddressOf())),
              "CoCreateInstance");
        return root;
    }
    using get_class_object = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    ComPtr<IClassFactory> factory;
    check(engine_function<get_class_object>("DllGetClassObject")(
              zorvane::CLSID_ZorvaneProcessor, IID_IClassFactory,
              reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf())),
          "DllGetClassObject");
    check(factory->CreateInstance(nullptr, zorvane::IID_IProcessor,
                                  reinterpret_cast<void**>(root.ReleaseAndGetAddressOf())),
          "CreateInstance");
    return root;
}

LONG live_engine_objects() {
    return engine_function<LONG(WINAPI*)()>("ZorvaneStandinLiveObjects")();
}

std::wstring error_description() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.ReleaseAndGetAddressOf()) != S_OK || !info)
        return {};
    BSTR text = nullptr;
    info->GetDescription(&text);
    std::wstring description = text ? text : L"";
    SysFreeString(text);
    return description;
}

scoped_environment::scoped_environment(const wchar_t* name, const std::wstring& value) : name_(name) {
    SetEnvironmentVariableW(name, value.c_str());
}

scoped_environment::~scoped_environment() {
    SetEnvironmentVariableW(name_, nullptr);
}

recording_handler::recording_handler(int fewest, int most, int stop_at, int hold_at)
    : fewest_(fewest), most_(most), stop_at_(stop_at), hold_at_(hold_at),
      reported_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      gate_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    InitializeCriticalSection(&lock_);
}

recording_handler::~recording_handler() {
    CloseHandle(gate_);
    CloseHandle(reported_);
    DeleteCriticalSection(&lock_);
}

HRESULT recording_handler::notify(INT32, INT32, INT32, VARIANT_BOOL* go_on) {
    *go_on = VARIANT_TRUE;
    return S_OK;
}

HRESULT recording_handler::progress(float percent, VARIANT_BOOL* go_on) {
    EnterCriticalSection(&lock_);
    reports_.push_back(percent);
    threads_.push_back(GetCurrentThreadId());
    const int index = static_cast<int>(reports_.size()) - 1;
    *go_on = index == stop_at_ ? VARIANT_FALSE : VARIANT_TRUE;
    LeaveCriticalSection(&lock_);
    SetEvent(reported_);
    if (index == hold_at_)
        WaitForSingleObject(gate_, 30000);
    return S_OK;
}

HRESULT recording_handler::get_limits(INT32* fewest, INT32* most) {
    *fewest = fewest_;
    *most = most_;
    return S_OK;
}

std::vector<float> recording_handler::reports() const {
    EnterCriticalSection(&lock_);
    auto copy = reports_;
    LeaveCriticalSection(&lock_);
    return copy;
}

std::vector<DWORD> recording_handler::threads() const {
    EnterCriticalSection(&lock_);
    auto copy = threads_;
    LeaveCriticalSection(&lock_);
    return copy;
}

namespace {

void add_properties(zorvane::IFilter* filter, const node_text& node) {
    for (const auto& [name, text] : node.properties)
        check(filter->set_property(bstr(name), bstr(text)), "set_property");
    for (const node_text& child : node.children) {
        ComPtr<zorvane::IFilter> made;
        check(filter->add_child(bstr(child.name), made.ReleaseAndGetAddressOf()), "add_child");
        add_properties(made.Get(), child);
        check(made->commit(), "commit of a child");
    }
}

} // namespace

ComPtr<zorvane::IOperation> build_operation(zorvane::IProcessor* root, const std::vector<node_text>& nodes) {
    ComPtr<zorvane::IFilterChain> chain;
    check(root->create_chain(chain.ReleaseAndGetAddressOf()), "create_chain");
    for (const node_text& node : nodes) {
        ComPtr<IUnknown> shared;
        if (node.name == L"remove-red-eyes")
            check(root->create_shared_data(shared.ReleaseAndGetAddressOf()), "create_shared_data");
        ComPtr<zorvane::IFilter> filter;
        check(chain->add_node(bstr(node.name), shared.Get(), filter.ReleaseAndGetAddressOf()), "add_node");
        add_properties(filter.Get(), node);
        check(filter->commit(), "commit");
    }
    ComPtr<zorvane::IOperation> operation;
    check(chain->build(operation.ReleaseAndGetAddressOf()), "build");
    return operation;
}

ComPtr<zorvane::IImage> make_image(zorvane::IProcessor* root, int width, int height, pixel_format format) {
    ComPtr<zorvane::IImage> image;
    check(root->create_image(width, height, format, image.ReleaseAndGetAddressOf()), "create_image");
    return image;
}

buffer_view buffer_of(zorvane::IImage* image) {
    ComPtr<zorvane::IImageData> data;
    check(image->QueryInterface(zorvane::IID_IImageData,
                                reinterpret_cast<void**>(data.ReleaseAndGetAddressOf())),
          "QueryInterface for IImageData");
    buffer_view view{};
    check(data->get_buffer(&view.data, &view.bytes, &view.stride, &view.format, &view.width), "get_buffer");
    return view;
}

void fill_pattern(zorvane::IImage* image) {
    buffer_view view = buffer_of(image);
    INT32 width = 0, height = 0, bits = 0;
    pixel_format format{};
    image->get_info(&width, &height, &bits, &format);
    const int bytes = width * bits / 8;
    for (int y = 0; y != height; ++y)
        for (int i = 0; i != bytes; ++i)
            view.data[y * view.stride + i] = static_cast<BYTE>((i * 37 + y * 91 + (i * y) % 7) & 0xff);
}

std::vector<BYTE> packed_pixels(zorvane::IImage* image) {
    INT32 width = 0, height = 0, bits = 0;
    pixel_format format{};
    check(image->get_info(&width, &height, &bits, &format), "get_info");
    const int stride = width * bits / 8;
    std::vector<BYTE> pixels(static_cast<std::size_t>(stride) * height);
    check(image->copy_pixels_to(pixels.data(), static_cast<UINT32>(pixels.size()), stride, 0),
          "copy_pixels_to");
    return pixels;
}

namespace {

std::uint32_t crc32(const BYTE* data, std::size_t size, std::uint32_t crc = 0xffffffffu) {
    for (std::size_t i = 0; i != size; ++i) {
        crc ^= data[i];
        for (int k = 0; k != 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return crc;
}

void put32(std::vector<BYTE>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<BYTE>(v >> shift));
}

void chunk(std::vector<BYTE>& png, const char* type, const std::vector<BYTE>& data) {
    put32(png, static_cast<std::uint32_t>(data.size()));
    std::vector<BYTE> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    png.insert(png.end(), body.begin(), body.end());
    put32(png, crc32(body.data(), body.size()) ^ 0xffffffffu);
}

} // namespace

std::vector<BYTE> make_png(int width, int height, const std::vector<BYTE>& rgba) {
    std::vector<BYTE> png{0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};
    std::vector<BYTE> header;
    put32(header, static_cast<std::uint32_t>(width));
    put32(header, static_cast<std::uint32_t>(height));
    header.insert(header.end(), {8, 6, 0, 0, 0}); // 8 bits, RGBA, deflate, no filter, no interlace
    chunk(png, "IHDR", header);

    std::vector<BYTE> raw;
    for (int y = 0; y != height; ++y) {
        raw.push_back(0); // filter: none
        raw.insert(raw.end(), rgba.begin() + y * width * 4, rgba.begin() + (y + 1) * width * 4);
    }
    // zlib with one stored (uncompressed) deflate block; small test images fit in one.
    std::vector<BYTE> z{0x78, 0x01, 0x01};
    const auto length = static_cast<std::uint16_t>(raw.size());
    z.insert(z.end(), {static_cast<BYTE>(length), static_cast<BYTE>(length >> 8), static_cast<BYTE>(~length),
                       static_cast<BYTE>(~length >> 8)});
    z.insert(z.end(), raw.begin(), raw.end());
    std::uint32_t a = 1, b = 0;
    for (BYTE v : raw) {
        a = (a + v) % 65521;
        b = (b + a) % 65521;
    }
    put32(z, (b << 16) | a);
    chunk(png, "IDAT", z);
    chunk(png, "IEND", {});
    return png;
}

} // namespace engine_test
