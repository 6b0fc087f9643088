// The stand-in engine seen from outside, as the plug-in uses it: every case runs with the engine created
// through its class object and through COM, and checks that no engine object is left alive once the test
// has let go.
#include <windows.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "ZorvaneImageProcessor.h"

using Microsoft::WRL::ComPtr;
using namespace zorvane;

namespace {

void check(HRESULT hr, const char* what) {
    if (FAILED(hr))
        throw std::runtime_error(std::string(what) + " failed");
}

// Takes over the reference a new object starts with (mingw's ComPtr::Attach adds one of its own).
template <class T> ComPtr<T> adopt(T* fresh) {
    ComPtr<T> held;
    *held.ReleaseAndGetAddressOf() = fresh;
    return held;
}

template <class I> ComPtr<I> query(IUnknown* object) {
    ComPtr<I> result;
    check(object->QueryInterface(IID_PPV_ARGS(&result)), "QueryInterface");
    return result;
}

template <class F> F engine_function(const char* name) {
    static HMODULE module = LoadLibraryW(L"ZorvaneImageProcessor2.dll");
    auto function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (function == nullptr)
        throw std::runtime_error(std::string("the engine DLL does not load or exports no ") + name);
    return function;
}

LONG live_engine_objects() {
    return engine_function<LONG(WINAPI*)()>("ZorvaneStandinLiveObjects")();
}

enum class creation { class_object, co_create };

// Through the DLL's own DllGetClassObject (LoadLibrary), or through COM and the registration.
ComPtr<IProcessor> create_engine(creation how) {
    ComPtr<IProcessor> root;
    if (how == creation::co_create) {
        check(CoCreateInstance(CLSID_ZorvaneProcessor, nullptr, CLSCTX_INPROC_SERVER, IID_IProcessor, &root),
              "CoCreateInstance");
        return root;
    }
    ComPtr<IClassFactory> factory;
    check(engine_function<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>("DllGetClassObject")(
              CLSID_ZorvaneProcessor, IID_IClassFactory, &factory),
          "DllGetClassObject");
    check(factory->CreateInstance(nullptr, IID_IProcessor, &root), "CreateInstance");
    return root;
}

struct bstr {
    explicit bstr(const std::wstring& text)
        : b(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    bstr(const bstr&) = delete;
    ~bstr() { SysFreeString(b); }
    operator BSTR() const { return b; }
    BSTR b;
};

// The description of the calling thread's COM error object, empty when there is none.
std::wstring error_description() {
    ComPtr<IErrorInfo> info;
    BSTR text = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info)
        info->GetDescription(&text);
    std::wstring description = text ? text : L"";
    SysFreeString(text);
    return description;
}

// Sets an environment variable for the engine roots made while it lives.
struct scoped_environment {
    scoped_environment(const wchar_t* name, const std::wstring& value) : name(name) {
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~scoped_environment() { SetEnvironmentVariableW(name, nullptr); }
    const wchar_t* name;
};

// The reference counting of the tests' own COM objects.
template <class I> struct test_object : I {
    virtual ~test_object() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        const bool known = InlineIsEqualGUID(iid, IID_IUnknown) || InlineIsEqualGUID(iid, __uuidof(I));
        *out = known ? static_cast<I*>(this) : nullptr;
        if (known)
            AddRef();
        return known ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&references);
        if (left == 0)
            delete this;
        return left;
    }
    LONG references = 1;
};

struct counting_owner final : test_object<IObjectManager> {
    HRESULT STDMETHODCALLTYPE unused_slot_3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE unused_slot_4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE unused_slot_5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE release_object(ULONG_PTR given) override {
        cookie = given;
        ++calls;
        return S_OK;
    }
    std::atomic<int> calls{0};
    ULONG_PTR cookie = 0;
};

// Records each progress report and its thread (read them once the run has ended), answers stop at report
// number stop_at (0 is the first) and sets `reported` after each report.
struct recording_handler final : test_object<ICallbackHandler> {
    recording_handler(int fewest = 8, int most = 200, int stop_at = -1)
        : fewest(fewest), most(most), stop_at(stop_at) {}
    ~recording_handler() override { CloseHandle(reported); }
    HRESULT STDMETHODCALLTYPE notify(INT32, INT32, INT32, VARIANT_BOOL* go_on) override {
        *go_on = VARIANT_TRUE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE progress(float percent, VARIANT_BOOL* go_on) override {
        *go_on = static_cast<int>(reports.size()) == stop_at ? VARIANT_FALSE : VARIANT_TRUE;
        reports.push_back({percent, GetCurrentThreadId()});
        SetEvent(reported);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_limits(INT32* fewest_reports, INT32* most_reports) override {
        *fewest_reports = fewest;
        *most_reports = most;
        return S_OK;
    }
    const int fewest, most, stop_at;
    std::vector<std::pair<float, DWORD>> reports;
    HANDLE reported = CreateEventW(nullptr, FALSE, FALSE, nullptr);
};

// Accepts frame 0 and keeps the last image delivered.
struct keeping_receiver final : test_object<IImageReceiver> {
    HRESULT STDMETHODCALLTYPE accept_frame(INT32 index, INT32, INT32, INT32, pixel_format, INT32,
                                           VARIANT_BOOL* accept) override {
        *accept = index == 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE deliver_frame(INT32, IImage* image) override {
        kept = image;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE end_frames(INT32 count, INT32 frames) override {
        ended = {count, frames};
        return S_OK;
    }
    ComPtr<IImage> kept;
    std::pair<int, int> ended{-1, -1};
};

// Builds a chain of nodes written as the plug-in describes them, "name key=value ... | child key=value
// ... | ...", checking every call; shared data is made for the node that needs it.
ComPtr<IOperation> build_operation(IProcessor* root, const std::vector<std::wstring>& nodes) {
    ComPtr<IFilterChain> chain;
    check(root->create_chain(&chain), "create_chain");
    for (const std::wstring& text : nodes) {
        std::wistringstream words(text);
        std::wstring name;
        words >> name;
        ComPtr<IUnknown> shared;
        if (name == L"remove-red-eyes")
            check(root->create_shared_data(&shared), "create_shared_data");
        ComPtr<IFilter> node, target;
        check(chain->add_node(bstr(name), shared.Get(), &node), "add_node");
        target = node;
        for (std::wstring word; words >> word;) {
            if (word == L"|") {
                if (target.Get() != node.Get())
                    check(target->commit(), "commit of a child");
                words >> name;
                check(node->add_child(bstr(name), &target), "add_child");
                continue;
            }
            const std::size_t equals = word.find(L'=');
            check(target->set_property(bstr(word.substr(0, equals)), bstr(word.substr(equals + 1))),
                  "set_property");
        }
        if (target.Get() != node.Get())
            check(target->commit(), "commit of a child");
        check(node->commit(), "commit");
    }
    ComPtr<IOperation> operation;
    check(chain->build(&operation), "build");
    return operation;
}

// The plug-in's 39 film looks; the first four are monochrome and take no intensity.
std::wstring film_node(int index, const wchar_t* intensity = L"1.000000") {
    std::wistringstream names(
        L"KODAKPLUSX125 AGFAAPX100 KODAKPANATOMX POLAPAN PRINT100 AGFAOPTIMA EPPHIGHCONTRASTCYAN "
        L"EPPHIGHCONTRASTBLUE FUJIPROVIA100F FUJISENSIA KODAKE100S OWNVIOLET LOMOAGFA LOMOFUJI LOMOKONICA "
        L"TECHNICOLORPROCESS2STRIP HELGA TEJAS KAIMAL ALFRED LUCIFER VIOLET JIMMY LORDKELVIN XPROII SUTRO "
        L"LOMOFI APOLLO EARLYBIRD TOASTER POPROCKET YR1977 POLAROID POLA600 VIGNCROSSED CYANSPOT WARMGREEN "
        L"HOLGASEPIA SEPIA");
    std::wstring name;
    for (int i = 0; i <= index; ++i)
        names >> name;
    return index < 4 ? name : name + L" intensity=" + intensity;
}

// One of each stage node with texts exactly as the plug-in's stage jobs print them.
const std::vector<std::wstring> plugin_stage_nodes = {
    L"reduce-noise reduce-intensity=2.500000 intensity-color=2.500000 tile-size=7 search-size=19 "
    L"blend-intensity=0.750000",
    L"bilateral-filter val-square-sigma=100 pos-square-sigma=25 radius=3 blending=0.750000",
    L"natural-enhance enhance-intensity=1.000000 ratio-red=1.000000 ratio-green=1.000000 ratio-blue=1.000000 "
    L"balance-intensity=0.800000 tolerance=0.000500 ahe-scope=1.500000 avg-segment-size=128",
    L"remove-red-eyes border-width=3 intensity=1.000000 | Circle X=5 Y=-2 radius=1 | Circle X=20 Y=12 "
    L"radius=6",
    L"tilt-shift blur-radius=10 border-size-relative=0.200000 | focused-rect x=8 y=6 width=16 height=12",
    L"tilt-shift blur-radius=150 border-size-relative=0.500000",
    L"grain-regular intensity=0.800000",
    L"grain-fat intensity=0.050000",
    L"grain-fractal intensity=1.000000",
};

ComPtr<IImage> make_image(IProcessor* root, int width, int height, pixel_format format) {
    ComPtr<IImage> image;
    check(root->create_image(width, height, format, &image), "create_image");
    return image;
}

struct buffer_view {
    BYTE* data;
    UINT32 bytes;
    INT32 stride;
    BYTE* at(int x, int y, int bytes_per_pixel) const { return data + y * stride + x * bytes_per_pixel; }
};

buffer_view buffer_of(IImage* image) {
    buffer_view view{};
    pixel_format format{};
    INT32 width = 0;
    check(query<IImageData>(image)->get_buffer(&view.data, &view.bytes, &view.stride, &format, &width),
          "get_buffer");
    return view;
}

// Each byte set from its position, so every pixel differs and any shift shows.
void fill_pattern(IImage* image) {
    const buffer_view view = buffer_of(image);
    for (UINT32 i = 0; i != view.bytes; ++i)
        view.data[i] = static_cast<BYTE>((i % view.stride * 37 + i / view.stride * 91 + i % 7) & 0xff);
}

using shape = std::tuple<INT32, INT32, INT32, pixel_format>; // width, height, bits per pixel, format

shape shape_of(IImage* image) {
    shape made;
    auto& [width, height, bits, format] = made;
    check(image->get_info(&width, &height, &bits, &format), "get_info");
    return made;
}

// The width, height and format of the operation's output for the source.
std::tuple<INT32, INT32, pixel_format> output_of(IOperation* operation, IImage* source) {
    std::tuple<INT32, INT32, pixel_format> made;
    auto& [width, height, format] = made;
    check(operation->query_output(source, 0, &width, &height, &format), "query_output");
    return made;
}

// Packed copy of the pixels (rows without padding).
std::vector<BYTE> packed_pixels(IImage* image) {
    const auto [width, height, bits, format] = shape_of(image);
    std::vector<BYTE> pixels(static_cast<std::size_t>(width * bits / 8) * height);
    check(image->copy_pixels_to(pixels.data(), static_cast<UINT32>(pixels.size()), width * bits / 8, 0),
          "copy_pixels_to");
    return pixels;
}

ComPtr<IImage> run_to_new(IProcessor* root, const std::vector<std::wstring>& nodes, IImage* source) {
    auto operation = build_operation(root, nodes);
    const auto [width, height, format] = output_of(operation.Get(), source);
    auto destination = make_image(root, width, height, format);
    check(operation->run(source, 0, destination.Get(), 0, nullptr), "run");
    return destination;
}

// A PNG file of 8-bit BGRA pixels, written through the Windows Imaging Component.
std::vector<BYTE> make_png(int width, int height, std::vector<BYTE> bgra) {
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IStream> stream;
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
    WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
    check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)),
          "the imaging factory");
    check(CreateStreamOnHGlobal(nullptr, TRUE, &stream), "CreateStreamOnHGlobal");
    check(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder), "the PNG encoder");
    check(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache), "the PNG encoder");
    check(encoder->CreateNewFrame(&frame, nullptr), "the PNG frame");
    check(frame->Initialize(nullptr), "the PNG frame");
    check(frame->SetSize(width, height), "the PNG frame's size");
    check(frame->SetPixelFormat(&format), "the PNG frame's format");
    check(frame->WritePixels(height, width * 4, static_cast<UINT>(bgra.size()), bgra.data()), "the pixels");
    check(frame->Commit(), "the PNG frame");
    check(encoder->Commit(), "the PNG file");
    ULARGE_INTEGER size{};
    check(stream->Seek({}, STREAM_SEEK_END, &size), "the PNG file's size");
    check(stream->Seek({}, STREAM_SEEK_SET, nullptr), "the PNG file's start");
    std::vector<BYTE> file(static_cast<std::size_t>(size.QuadPart));
    check(stream->Read(file.data(), static_cast<ULONG>(file.size()), nullptr), "the PNG file");
    return file;
}

// Runs on a thread of its own in the multithreaded apartment, as the plug-in's workers do.
template <class Body> auto on_worker(Body body) {
    return std::async(std::launch::async, [body] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        auto result = body();
        CoUninitialize();
        return result;
    });
}

class engine : public testing::TestWithParam<creation> {
protected:
    void SetUp() override { root = create_engine(GetParam()); }
    void TearDown() override {
        EXPECT_GT(live_engine_objects(), 0) << "the root is counted";
        root.Reset();
        EXPECT_EQ(live_engine_objects(), 0) << "engine objects outlived their last release";
        EXPECT_EQ(engine_function<HRESULT(WINAPI*)()>("DllCanUnloadNow")(), S_OK);
    }
    ComPtr<IImage> image(int width, int height, pixel_format format) {
        return make_image(root.Get(), width, height, format);
    }
    ComPtr<IProcessor> root;
};

INSTANTIATE_TEST_SUITE_P(created, engine, testing::Values(creation::class_object, creation::co_create),
                         [](const testing::TestParamInfo<creation>& info) {
                             return info.param == creation::class_object ? "through_class_object"
                                                                         : "through_co_create_instance";
                         });

} // namespace

TEST(engine_registration, class_key_names_this_dll_with_threading_model_both) {
    wchar_t loaded[MAX_PATH * 4], registered[MAX_PATH * 4], model[32];
    ASSERT_GT(GetModuleFileNameW(LoadLibraryW(L"ZorvaneImageProcessor2.dll"), loaded, MAX_PATH * 4), 0u);
    const wchar_t* key = L"Software\\Classes\\CLSID\\{47646232-C34B-463A-A8A0-B61012E6D8CB}\\InprocServer32";
    DWORD size = sizeof registered;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, key, nullptr, RRF_RT_REG_SZ, nullptr, registered, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(lstrcmpiW(registered, loaded), 0) << testing::PrintToString(std::wstring(registered));
    size = sizeof model;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, key, L"ThreadingModel", RRF_RT_REG_SZ, nullptr, model, &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(model, L"Both");
}

TEST_P(engine, images_of_every_format_have_word_aligned_rows_and_copies_take_any_stride) {
    const int bits[] = {8, 16, 24, 48, 24, 48, 32, 64, 32, 64, 32, 64}; // formats 2 to 13
    for (int code = 2; code <= 13; ++code) {
        auto made = image(5, 3, pixel_format{code});
        EXPECT_EQ(shape_of(made.Get()), (shape{5, 3, bits[code - 2], pixel_format{code}}));
        const buffer_view view = buffer_of(made.Get());
        EXPECT_EQ(view.stride, (5 * bits[code - 2] / 8 + 3) & ~3) << "format " << code;
        EXPECT_EQ(view.bytes, static_cast<UINT32>(view.stride) * 3);
        EXPECT_TRUE(std::all_of(view.data, view.data + view.bytes, [](BYTE b) { return b == 0; })) << code;
    }
    std::vector<BYTE> memory(40 * 5, 0xee);
    for (auto wrap : {&IProcessor::wrap_input_memory, &IProcessor::wrap_output_memory}) {
        ComPtr<IImage> wrapped;
        ASSERT_EQ((root.Get()->*wrap)(memory.data(), 7, 5, pixel_format::rgba32, 40, &wrapped), S_OK);
        const buffer_view view = buffer_of(wrapped.Get());
        EXPECT_EQ((std::tuple{view.data, view.stride, view.bytes}), (std::tuple{memory.data(), 40, 200u}))
            << "wrapped images are the caller's memory with its stride";
    }
    EXPECT_EQ(std::count(memory.begin(), memory.end(), 0xee), 200) << "and leave it untouched";

    auto source = image(7, 5, pixel_format::rgba32);
    fill_pattern(source.Get());
    const auto packed = packed_pixels(source.Get());
    ASSERT_EQ(source->copy_pixels_to(memory.data(), 40 * 5, 40, 0), S_OK);
    for (int y = 0; y != 5; ++y) {
        EXPECT_TRUE(
            std::equal(packed.begin() + y * 28, packed.begin() + (y + 1) * 28, memory.begin() + y * 40));
        EXPECT_EQ(memory[y * 40 + 28], 0xee) << "padding is left alone";
    }
    const buffer_view own = buffer_of(source.Get());
    ASSERT_EQ(source->copy_pixels_to(own.data, own.bytes, own.stride, 0), S_OK);
    EXPECT_EQ(packed_pixels(source.Get()), packed) << "a copy onto the image's own memory";
    ComPtr<IImage> copy;
    ASSERT_EQ(source->duplicate(0, &copy), S_OK);
    std::fill(own.data, own.data + own.bytes, 0);
    EXPECT_EQ(packed_pixels(copy.Get()), packed) << "duplicate copies the pixels";
}

TEST_P(engine, scaled_copy_fits_inside_the_size_keeping_aspect_and_format) {
    const int rows[][5] = {
        {4, 2, 4, 4, 2}, {2, 4, 4, 2, 4}, {100, 50, 10, 10, 5}, {3, 3, 12, 12, 12}, {300, 1, 30, 30, 1}};
    for (auto [width, height, size, expected_width, expected_height] : rows) {
        auto source = image(width, height, pixel_format::rgb24);
        const buffer_view in = buffer_of(source.Get());
        std::fill(in.data, in.data + in.bytes, 90);
        ComPtr<IImage> copy;
        ASSERT_EQ(root->create_scaled_copy(source.Get(), size, VARIANT_TRUE, 0, &copy), S_OK);
        EXPECT_EQ(shape_of(copy.Get()), (shape{expected_width, expected_height, 24, pixel_format::rgb24}));
        const auto pixels = packed_pixels(copy.Get());
        EXPECT_TRUE(std::all_of(pixels.begin(), pixels.end(), [](BYTE b) { return b >= 89 && b <= 91; }));
    }
}

TEST_P(engine, bad_arguments_names_and_texts_are_refused_with_a_description_naming_them) {
    auto rgb = image(4, 4, pixel_format::rgb24);
    std::vector<BYTE> memory(100);
    ComPtr<IImage> made;
    ComPtr<IUnknown> shared;
    ComPtr<IFilterChain> chain;
    ComPtr<IFilter> node, child;
    ComPtr<IOperation> operation;
    check(root->create_shared_data(&shared), "create_shared_data");
    auto add = [&](const wchar_t* name, IUnknown* data = nullptr) {
        check(root->create_chain(&chain), "create_chain");
        return chain->add_node(bstr(name), data, &node);
    };
    auto set = [&](const wchar_t* name, const wchar_t* property, const wchar_t* text) {
        check(add(name), "add_node");
        return node->set_property(bstr(property), bstr(text));
    };
    auto sepia = [&](IImage* destination) {
        return build_operation(root.Get(), {film_node(38)})->run(rgb.Get(), 0, destination, 0, nullptr);
    };
    const std::pair<const wchar_t*, std::function<HRESULT()>> refusals[] = {
        {L"format 1", [&] { return root->create_image(4, 4, pixel_format{1}, &made); }},
        {L"format 14", [&] { return root->create_image(4, 4, pixel_format{14}, &made); }},
        {L"0 x 4", [&] { return root->create_image(0, 4, pixel_format::gray8, &made); }},
        {L"stride of 29",
         [&] { return root->wrap_input_memory(memory.data(), 10, 2, pixel_format::rgb24, 29, &made); }},
        {L"null", [&] { return root->wrap_output_memory(nullptr, 10, 2, pixel_format::rgb24, 30, &made); }},
        {L"flags", [&] { return rgb->duplicate(1, &made); }},
        {L"rows", [&] { return rgb->copy_pixels_to(memory.data(), 47, 12, 0); }},
        {L"VARIANT_TRUE", [&] { return root->create_scaled_copy(rgb.Get(), 8, VARIANT_FALSE, 0, &made); }},
        // Chains: unknown nodes and children, shared data where it does not belong, unfinished nodes.
        {L"sharpen", [&] { return add(L"sharpen"); }},
        {L"create_shared_data", [&] { return add(L"remove-red-eyes"); }},
        {L"takes no shared data", [&] { return add(L"reduce-noise", shared.Get()); }},
        {L"Circle",
         [&] { return add(L"tilt-shift") == S_OK ? node->add_child(bstr(L"Circle"), &child) : E_FAIL; }},
        {L"lacks property",
         [&] {
             add(L"tilt-shift");
             node->add_child(bstr(L"focused-rect"), &child);
             child->set_property(bstr(L"x"), bstr(L"3"));
             return child->commit();
         }},
        {L"not committed", [&] { return add(L"grain-fat") == S_OK ? chain->build(&operation) : E_FAIL; }},
        // Texts: parsed without the locale, strictly, within what the plug-in can send.
        {L"reduce-intensity", [&] { return set(L"reduce-noise", L"reduce-intensity", L"2,500000"); }},
        {L"tile-size", [&] { return set(L"reduce-noise", L"tile-size", L"7.0"); }},
        {L"tile-size", [&] { return set(L"reduce-noise", L"tile-size", L" 7"); }},
        {L"tile-size", [&] { return set(L"reduce-noise", L"tile-size", L"53"); }},
        {L"enhance-intensity", [&] { return set(L"natural-enhance", L"enhance-intensity", L"1e-3"); }},
        {L"sigma", [&] { return set(L"reduce-noise", L"sigma", L"1"); }},
        {L"intensity", [&] { return set(L"POLAPAN", L"intensity", L"1.000000"); }},
        {L"method", [&] { return set(L"resize", L"method", L"bicubic"); }},
        {L"alpha-background", [&] { return set(L"convert", L"alpha-background", L"00FFFFFF"); }},
        // Runs: one image as both ends, a destination not in the output's format, resizing in place.
        {L"same image", [&] { return sepia(rgb.Get()); }},
        {L"destination", [&] { return sepia(image(4, 4, pixel_format::bgr24).Get()); }},
        {L"size and format",
         [&] {
             return build_operation(root.Get(), {L"resize width=2 height=2 method=nearest"})
                 ->apply_in_place(rgb.Get(), 0, nullptr);
         }},
    };
    for (const auto& [naming, call] : refusals) {
        EXPECT_EQ(call(), E_INVALIDARG) << testing::PrintToString(std::wstring(naming));
        EXPECT_NE(error_description().find(naming), std::wstring::npos)
            << testing::PrintToString(error_description());
    }
    EXPECT_EQ(query<ISupportErrorInfo>(root.Get())->InterfaceSupportsErrorInfo(IID_IProcessor), S_OK);
    EXPECT_EQ(query<ISupportErrorInfo>(node.Get())->InterfaceSupportsErrorInfo(IID_IFilter), S_OK);
}

TEST_P(engine, acquire_needs_an_idle_image_and_lock_only_the_absence_of_writers) {
    auto data = query<IImageData>(image(4, 4, pixel_format::gray8).Get());
    EXPECT_EQ(data->try_acquire(), S_OK);
    EXPECT_LT(data->try_acquire(), 0);
    EXPECT_LT(data->try_lock(), 0);
    EXPECT_EQ(data->release(), S_OK);
    EXPECT_LT(data->release(), 0) << "a release without an acquire";
    EXPECT_EQ(data->try_lock(), S_OK);
    EXPECT_EQ(data->try_lock(), S_OK);
    EXPECT_EQ(data->unlock(), S_OK);
    EXPECT_LT(data->try_acquire(), 0) << "one reader is left";
    EXPECT_EQ(data->unlock(), S_OK);
    EXPECT_LT(data->unlock(), 0);
    EXPECT_EQ(data->try_acquire(), S_OK);
    EXPECT_EQ(data->release(), S_OK);
}

TEST_P(engine, the_preview_canvas_is_written_at_its_top_left_and_its_owner_told_exactly_once) {
    auto owner = adopt(new counting_owner);
    std::vector<BYTE> bits(60 * 10, 0xaa);
    ComPtr<IImage> canvas, copy;
    EXPECT_EQ(root->create_image_on_memory(bits.data(), 20, 10, pixel_format{1}, 60, 7, owner.Get(), &canvas),
              E_INVALIDARG);
    EXPECT_EQ(owner->references, 1) << "a refused image keeps no reference on its owner";
    ASSERT_EQ(
        root->create_image_on_memory(bits.data(), 20, 10, pixel_format::bgr24, 60, 7, owner.Get(), &canvas),
        S_OK);
    EXPECT_EQ(buffer_of(canvas.Get()).data, bits.data());
    ASSERT_EQ(canvas->duplicate(0, &copy), S_OK);

    auto source = image(4, 2, pixel_format::rgba32);
    fill_pattern(source.Get());
    auto operation =
        build_operation(root.Get(), {L"resize width=8 height=4 method=nearest | impact-rect x=0 y=0 "
                                     L"width=4 height=2",
                                     L"convert to=BGR24 alpha-background=00f0f0f0"});
    EXPECT_EQ(output_of(operation.Get(), source.Get()), (std::tuple{8, 4, pixel_format::bgr24}));
    ASSERT_EQ(operation->run(source.Get(), 0, canvas.Get(), 0, nullptr), S_OK) << error_description();
    for (int y = 0; y != 10; ++y)
        for (int x = 0; x != 60; ++x)
            if (y >= 4 || x >= 24) {
                ASSERT_EQ(bits[y * 60 + x], 0xaa) << "byte " << x << " of row " << y;
            }
    EXPECT_NE(std::count(bits.begin(), bits.begin() + 24, 0xaa), 24);
    canvas.Reset();
    copy.Reset();
    EXPECT_EQ((std::tuple{owner->calls.load(), owner->cookie}), (std::tuple{1, ULONG_PTR{7}}));
    EXPECT_EQ(owner->references, 1) << "the engine gives its reference on the owner back";
}

TEST_P(engine, progress_runs_0_to_100_on_the_calling_thread_within_limits_and_a_stop_ends_the_run_cancelled) {
    auto source = image(32, 300, pixel_format::rgb24);
    fill_pattern(source.Get());
    auto operation = build_operation(root.Get(), {film_node(12)});
    const int rows[][3] = {
        {8, 200, -1}, {8, 20, -1}, {3, 3, -1}, {8, 200, 0}, {8, 200, 2}}; // fewest, most, stop at
    for (const auto [fewest, most, stop_at] : rows) {
        SCOPED_TRACE(testing::Message() << fewest << " to " << most << ", stop at " << stop_at);
        auto destination = image(32, 300, pixel_format::rgb24);
        auto handler = adopt(new recording_handler(fewest, most, stop_at));
        const HRESULT hr = operation->run(source.Get(), 0, destination.Get(), 0, handler.Get());
        const auto& reports = handler->reports;
        for (const auto& report : reports)
            EXPECT_EQ(report.second, GetCurrentThreadId());
        if (stop_at >= 0) {
            EXPECT_EQ(hr, job_cancelled_result);
            EXPECT_EQ(reports.size(), static_cast<std::size_t>(stop_at + 1)) << "no report after the stop";
            const auto written = packed_pixels(destination.Get());
            EXPECT_TRUE(stop_at > 0 ||
                        std::all_of(written.begin(), written.end(), [](BYTE b) { return b == 0; }))
                << "a run stopped at once writes nothing";
            EXPECT_EQ(query<IImageData>(destination.Get())->try_acquire(), S_OK)
                << "a stopped run gives its images back";
            continue;
        }
        ASSERT_EQ(hr, S_OK);
        EXPECT_GE(reports.size(), static_cast<std::size_t>(fewest));
        EXPECT_LE(reports.size(), static_cast<std::size_t>(most));
        EXPECT_EQ(reports.front().first, 0.0f);
        EXPECT_EQ(reports.back().first, 100.0f);
        EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    }
    EXPECT_EQ(operation->apply_in_place(source.Get(), 0, adopt(new recording_handler(8, 200, 1)).Get()),
              job_cancelled_result);
}

TEST_P(engine, a_slow_run_holds_its_images_until_interrupt_or_shutdown_ends_it_with_a_failure) {
    scoped_environment delay(L"ZORVANE_STANDIN_BAND_DELAY_MS", L"1000");
    auto slow = create_engine(GetParam());
    auto operation = build_operation(slow.Get(), {film_node(15)});
    auto source = make_image(slow.Get(), 16, 400, pixel_format::rgb24);
    auto destination = make_image(slow.Get(), 16, 400, pixel_format::rgb24);
    auto source_data = query<IImageData>(source.Get()),
         destination_data = query<IImageData>(destination.Get());
    for (bool shut_down : {false, true}) {
        SCOPED_TRACE(shut_down ? "shutdown" : "interrupt");
        // Left alone the run would take minutes (a second per band), so its end within the bound shows that
        // the call woke it.
        auto handler = adopt(new recording_handler(100, 200));
        auto running = on_worker([&] {
            const HRESULT hr = operation->run(source.Get(), 0, destination.Get(), 0, handler.Get());
            return std::pair{hr, error_description()};
        });
        ASSERT_EQ(WaitForSingleObject(handler->reported, 10000), WAIT_OBJECT_0);
        EXPECT_LT(destination_data->try_acquire(), 0);
        EXPECT_LT(destination_data->try_lock(), 0) << "the destination is being written";
        EXPECT_LT(source_data->try_acquire(), 0);
        EXPECT_EQ(source_data->try_lock(), S_OK) << "the source is only read";
        EXPECT_EQ(source_data->unlock(), S_OK);
        auto service = query<IProcessorService>(slow.Get());
        EXPECT_EQ(shut_down ? service->shutdown() : service->interrupt(), S_OK);
        ASSERT_EQ(running.wait_for(std::chrono::seconds(30)), std::future_status::ready)
            << "the run ends promptly";
        const auto [hr, description] = running.get();
        EXPECT_TRUE(FAILED(hr));
        EXPECT_NE(hr, thread_stopped_result);
        EXPECT_FALSE(description.empty());
        for (IImageData* data : {source_data.Get(), destination_data.Get()}) {
            EXPECT_EQ(data->try_acquire(), S_OK) << "an ended run gives its images back";
            EXPECT_EQ(data->release(), S_OK);
        }
        auto small = make_image(slow.Get(), 8, 8, pixel_format::rgb24); // one band, so one delay
        EXPECT_EQ(operation->run(small.Get(), 0, make_image(slow.Get(), 8, 8, pixel_format::rgb24).Get(), 0,
                                 adopt(new recording_handler(1, 2)).Get()),
                  S_OK)
            << "later runs succeed";
    }
}

TEST_P(engine, calls_from_several_threads_at_once_give_the_single_thread_results) {
    auto source = image(48, 40, pixel_format::rgba32);
    fill_pattern(source.Get());
    const std::vector<std::vector<std::wstring>> setups = {
        {film_node(8)},
        {plugin_stage_nodes[0]},
        {L"grain-fractal intensity=0.500000"},
        {L"resize width=17 height=9 method=lanczos", L"convert to=BGR24 alpha-background=00ffffff"},
    };
    std::vector<std::vector<BYTE>> expected;
    for (const auto& nodes : setups)
        expected.push_back(packed_pixels(run_to_new(root.Get(), nodes, source.Get()).Get()));
    std::vector<std::future<int>> threads;
    for (int t = 0; t != 6; ++t)
        threads.push_back(on_worker([&, t] {
            int mismatches = 0;
            for (int round = 0; round != 8; ++round) {
                const std::size_t which = (t + round) % setups.size();
                mismatches += packed_pixels(run_to_new(root.Get(), setups[which], source.Get()).Get()) !=
                              expected[which];
                auto data = query<IImageData>(source.Get());
                if (data->try_lock() == S_OK)
                    data->unlock();
            }
            return mismatches;
        }));
    for (auto& thread : threads)
        EXPECT_EQ(thread.get(), 0);
}

TEST_P(engine, png_frames_arrive_through_the_receiver_blended_for_formats_without_alpha) {
    // 3 x 2: opaque orange, transparent green, half-transparent blue; black, white, grey.
    const std::vector<BYTE> bgra = {10, 120, 250, 255, 0,   255, 0,   0,   255, 0,   0,   128,
                                    0,  0,   0,   255, 255, 255, 255, 255, 128, 128, 128, 255};
    ComPtr<IStreamProvider> provider;
    ComPtr<IImageDecoder> decoder;
    ASSERT_EQ(root->create_stream_provider(&provider), S_OK);
    ASSERT_EQ(root->create_image_decoder(&decoder), S_OK);
    auto decode = [&](std::vector<BYTE> file, pixel_format format, keeping_receiver* receiver) {
        ComPtr<IStream> stream;
        check(provider->create_memory_stream(file.data(), static_cast<UINT32>(file.size()), &stream),
              "stream");
        file.assign(file.size(), 0); // the stream keeps its own copy
        return decoder->decode(stream.Get(), format, VARIANT_FALSE, receiver, 0,
                               adopt(new recording_handler).Get());
    };
    auto receiver = adopt(new keeping_receiver);
    ASSERT_EQ(decode(make_png(3, 2, bgra), pixel_format::bgr24, receiver.Get()), S_OK) << error_description();
    EXPECT_EQ(receiver->ended, (std::pair{1, 1}));
    ASSERT_TRUE(receiver->kept);
    const auto bgr = packed_pixels(receiver->kept.Get());
    // Transparency over white: the half-transparent blue gets half of white's green and red.
    const BYTE blended[] = {10, 120, 250, 255, 255, 255, 255, 127, 127,
                            0,  0,   0,   255, 255, 255, 128, 128, 128};
    ASSERT_EQ(bgr.size(), sizeof blended);
    for (std::size_t i = 0; i != bgr.size(); ++i)
        EXPECT_NEAR(bgr[i], blended[i], 1) << "byte " << i;

    EXPECT_EQ(query<IProcessorService>(root.Get())->shutdown(), S_OK)
        << "decoding goes on after the caches are dropped";
    receiver = adopt(new keeping_receiver);
    ASSERT_EQ(decode(make_png(3, 2, bgra), pixel_format::bgra32, receiver.Get()), S_OK);
    const auto kept = packed_pixels(receiver->kept.Get());
    EXPECT_EQ((std::vector<BYTE>(kept.begin(), kept.begin() + 12)),
              (std::vector<BYTE>(bgra.begin(), bgra.begin() + 12)));

    const std::string garbage = "this is not an image";
    EXPECT_TRUE(FAILED(decode({garbage.begin(), garbage.end()}, pixel_format::bgr24, receiver.Get())));
    EXPECT_FALSE(error_description().empty());
}

TEST_P(engine, nearest_resize_takes_the_source_pixel_under_each_output_pixels_centre) {
    struct row {
        const wchar_t* size;
        int left, top, from_width, from_height, width, height;
    };
    const row rows[] = {
        {L"width=12 height=8", 0, 0, 6, 4, 12, 8},
        {L"width=3 height=2", 0, 0, 6, 4, 3, 2},
        {L"width=4 height=4 | impact-rect x=3 y=1 width=2 height=2", 3, 1, 2, 2, 4, 4},
    };
    for (auto [format, bytes] : {std::pair{pixel_format::rgba32, 4}, std::pair{pixel_format::gray16, 2},
                                 std::pair{pixel_format::bgr48, 6}}) {
        auto source = image(6, 4, format);
        fill_pattern(source.Get());
        const buffer_view in = buffer_of(source.Get());
        for (const row& r : rows) {
            const auto output =
                run_to_new(root.Get(), {L"resize method=nearest " + std::wstring(r.size)}, source.Get());
            const buffer_view out = buffer_of(output.Get());
            for (int y = 0; y != r.height; ++y)
                for (int x = 0; x != r.width; ++x) {
                    const BYTE* from = in.at(r.left + (2 * x + 1) * r.from_width / (2 * r.width),
                                             r.top + (2 * y + 1) * r.from_height / (2 * r.height), bytes);
                    ASSERT_TRUE(std::equal(from, from + bytes, out.at(x, y, bytes)))
                        << x << "," << y << " of " << testing::PrintToString(std::wstring(r.size));
                }
        }
    }
}

TEST_P(engine, lanczos_resize_follows_smooth_ramps_and_lends_no_colour_from_transparent_pixels) {
    auto ramp = image(64, 4, pixel_format::gray8);
    const buffer_view in = buffer_of(ramp.Get());
    for (UINT32 i = 0; i != in.bytes; ++i)
        in.data[i] = static_cast<BYTE>(40 + 2 * (i % in.stride));
    auto output = run_to_new(root.Get(), {L"resize width=128 height=8 method=lanczos"}, ramp.Get());
    for (int x = 8; x != 120; ++x)
        EXPECT_NEAR(buffer_of(output.Get()).at(x, 3, 1)[0], 40 + 2 * ((x + 0.5) * 0.5 - 0.5), 1.5)
            << "column " << x;
    output = run_to_new(root.Get(), {L"resize width=16 height=1 method=lanczos"}, ramp.Get());
    for (int x = 2; x != 14; ++x)
        EXPECT_NEAR(buffer_of(output.Get()).at(x, 0, 1)[0], 40 + 2 * (4 * x + 1.5), 1.5) << "column " << x;

    // Left half transparent red, right half opaque blue.
    auto halves = image(16, 4, pixel_format::rgba32);
    const buffer_view pixels = buffer_of(halves.Get());
    for (UINT32 i = 0; i != pixels.bytes; i += 4) {
        const bool left = i % pixels.stride < 32;
        const BYTE pixel[4] = {BYTE(left ? 255 : 0), 0, BYTE(left ? 0 : 255), BYTE(left ? 0 : 255)};
        std::copy(pixel, pixel + 4, pixels.data + i);
    }
    output = run_to_new(root.Get(), {L"resize width=37 height=4 method=lanczos"}, halves.Get());
    const buffer_view out = buffer_of(output.Get());
    for (int x = 0; x != 37; ++x)
        if (out.at(x, 1, 4)[3] > 8) {
            EXPECT_LE(out.at(x, 1, 4)[0], 2) << "column " << x;
        }
}

TEST_P(engine, convert_blends_onto_the_background_for_bgr24_and_keeps_alpha_for_bgra32) {
    auto source = image(3, 1, pixel_format::rgba32);
    const BYTE pixels[] = {10, 20, 30, 255, 200, 100, 50, 0, 100, 100, 100, 128};
    std::copy(std::begin(pixels), std::end(pixels), buffer_of(source.Get()).data);
    const auto bgr = packed_pixels(
        run_to_new(root.Get(), {L"convert to=BGR24 alpha-background=00405060"}, source.Get()).Get());
    EXPECT_EQ((std::vector<BYTE>(bgr.begin(), bgr.begin() + 6)),
              (std::vector<BYTE>{30, 20, 10, 0x60, 0x50, 0x40}));
    EXPECT_NEAR(bgr[6], (100 * 128 + 0x60 * 127) / 255.0, 1.0);
    EXPECT_NEAR(bgr[8], (100 * 128 + 0x40 * 127) / 255.0, 1.0);
    EXPECT_EQ(packed_pixels(run_to_new(root.Get(), {L"convert to=BGRA32"}, source.Get()).Get()),
              (std::vector<BYTE>{30, 20, 10, 255, 50, 100, 200, 0, 100, 100, 100, 128}));

    auto deep = image(1, 1, pixel_format::rgba64);
    const std::uint16_t samples[] = {0xffff, 0x8080, 0x0000, 0xffff};
    std::memcpy(buffer_of(deep.Get()).data, samples, sizeof samples);
    EXPECT_EQ(packed_pixels(run_to_new(root.Get(), {L"convert to=BGRA32"}, deep.Get()).Get()),
              (std::vector<BYTE>{0, 128, 255, 255}));
}

TEST_P(engine, stage_nodes_take_the_plugins_texts_keep_size_and_format_and_differ_visibly) {
    std::vector<std::wstring> nodes = plugin_stage_nodes;
    for (int i = 0; i != 39; ++i)
        nodes.push_back(film_node(i, L"0.700000"));
    for (pixel_format format : {pixel_format::gray8, pixel_format::rgb48, pixel_format::bgra32}) {
        auto source = image(32, 24, format);
        fill_pattern(source.Get());
        const auto input = packed_pixels(source.Get());
        std::vector<std::vector<BYTE>> outputs;
        for (std::size_t n = 0; n != nodes.size(); ++n) {
            SCOPED_TRACE(testing::PrintToString(nodes[n]) + " in format " +
                         std::to_string(static_cast<int>(format)));
            auto operation = build_operation(root.Get(), {nodes[n]});
            EXPECT_EQ(output_of(operation.Get(), source.Get()), (std::tuple{32, 24, format}));
            auto first = image(32, 24, format), second = image(32, 24, format);
            ASSERT_EQ(operation->run(source.Get(), 0, first.Get(), 0, nullptr), S_OK) << error_description();
            ASSERT_EQ(operation->run(source.Get(), 0, second.Get(), 0, nullptr), S_OK);
            const auto& out = outputs.emplace_back(packed_pixels(first.Get()));
            EXPECT_EQ(out, packed_pixels(second.Get())) << "runs are deterministic";
            if (format != pixel_format::bgra32)
                continue;
            EXPECT_NE(out, input) << "every node visibly changes a patterned image";
            for (std::size_t other = 0; other != n; ++other)
                EXPECT_NE(outputs[other], out) << "the same as " << testing::PrintToString(nodes[other]);
            for (std::size_t p = 0; n >= plugin_stage_nodes.size() && p < input.size(); p += 4) {
                ASSERT_EQ(out[p + 3], input[p + 3]) << "film looks keep alpha";
                ASSERT_TRUE(n >= plugin_stage_nodes.size() + 4 ||
                            (out[p] == out[p + 1] && out[p] == out[p + 2]))
                    << "the first four film looks are monochrome";
            }
        }
        EXPECT_EQ(packed_pixels(source.Get()), input) << "the source is only read";
    }
}

TEST_P(engine, hooks_trace_each_chain_call_with_its_arguments_and_fail_the_named_node) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring path = folder + (L"engine-trace-" + std::to_wstring(GetCurrentProcessId()) + L".txt");
    DeleteFileW(path.c_str());
    {
        scoped_environment trace(L"ZORVANE_STANDIN_TRACE", path),
            failing(L"ZORVANE_STANDIN_FAIL_NODE", L"convert");
        auto traced = create_engine(GetParam());
        auto source = make_image(traced.Get(), 4, 2, pixel_format::rgba32);
        auto destination = make_image(traced.Get(), 4, 2, pixel_format::bgr24);
        auto operation = build_operation(traced.Get(), {L"convert to=BGR24"});
        EXPECT_EQ(operation->run(source.Get(), 0, destination.Get(), 0, nullptr), E_FAIL);
        EXPECT_EQ(error_description(), L"node \"convert\" failed (forced by ZORVANE_STANDIN_FAIL_NODE)");
        auto service = query<IProcessorService>(traced.Get());
        service->interrupt();
        service->shutdown();
    }
    std::ifstream file{std::filesystem::path(path)};
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    file.close();
    DeleteFileW(path.c_str());
    const std::vector<std::string> expected = {
        "create_chain chain=3 hr=0x00000000",
        "add_node chain=3 name=\"convert\" shared=0 node=4 hr=0x00000000",
        "set_property node=4 name=\"to\" value=\"BGR24\" hr=0x00000000",
        "commit node=4 hr=0x00000000",
        "build chain=3 operation=5 hr=0x00000000",
        "run operation=5 source=1:4x2:12 destination=2:4x2:4 hr=0x80004005",
        "interrupt hr=0x00000000",
        "shutdown hr=0x00000000",
    };
    EXPECT_EQ(lines, expected);
}

// An engine short of memory for an image on the caller's memory, such as the preview canvas: that one
// call fails with a description and keeps no reference on the owner; images in the engine's own memory
// are still made.
TEST_P(engine, the_memory_image_hook_refuses_only_images_on_the_callers_memory) {
    scoped_environment refusing(L"ZORVANE_STANDIN_FAIL_MEMORY_IMAGE", L"1");
    auto short_of_memory = create_engine(GetParam());
    auto owner = adopt(new counting_owner);
    std::vector<BYTE> bits(60 * 10, 0xaa);
    ComPtr<IImage> canvas;
    EXPECT_EQ(short_of_memory->create_image_on_memory(bits.data(), 20, 10, pixel_format::bgr24, 60, 7,
                                                      owner.Get(), &canvas),
              E_OUTOFMEMORY);
    EXPECT_EQ(error_description(),
              L"no image on the caller's memory (forced by ZORVANE_STANDIN_FAIL_MEMORY_IMAGE)");
    EXPECT_EQ(canvas, nullptr);
    EXPECT_EQ(owner->references, 1);
    EXPECT_NE(make_image(short_of_memory.Get(), 20, 10, pixel_format::bgr24), nullptr);
}

int main(int argc, char** argv) {
    // The tests call the engine from this thread and from threads of their own, all in the
    // multithreaded apartment, as the plug-in's workers do.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
