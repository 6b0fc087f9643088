// The stand-in engine seen from outside, as the plug-in uses it: created through its class object and
// through COM, every case checks that no engine object is left alive once the test has let go.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "engine-test-support.h"

using namespace engine_test;
using namespace zorvane;

namespace {

const wchar_t* const film_names[] = {L"KODAKPLUSX125",
                                     L"AGFAAPX100",
                                     L"KODAKPANATOMX",
                                     L"POLAPAN",
                                     L"PRINT100",
                                     L"AGFAOPTIMA",
                                     L"EPPHIGHCONTRASTCYAN",
                                     L"EPPHIGHCONTRASTBLUE",
                                     L"FUJIPROVIA100F",
                                     L"FUJISENSIA",
                                     L"KODAKE100S",
                                     L"OWNVIOLET",
                                     L"LOMOAGFA",
                                     L"LOMOFUJI",
                                     L"LOMOKONICA",
                                     L"TECHNICOLORPROCESS2STRIP",
                                     L"HELGA",
                                     L"TEJAS",
                                     L"KAIMAL",
                                     L"ALFRED",
                                     L"LUCIFER",
                                     L"VIOLET",
                                     L"JIMMY",
                                     L"LORDKELVIN",
                                     L"XPROII",
                                     L"SUTRO",
                                     L"LOMOFI",
                                     L"APOLLO",
                                     L"EARLYBIRD",
                                     L"TOASTER",
                                     L"POPROCKET",
                                     L"YR1977",
                                     L"POLAROID",
                                     L"POLA600",
                                     L"VIGNCROSSED",
                                     L"CYANSPOT",
                                     L"WARMGREEN",
                                     L"HOLGASEPIA",
                                     L"SEPIA"};

// Film looks as the plug-in sends them: the first four without intensity.
node_text film_node(int index, const wchar_t* intensity = L"1.000000") {
    node_text node{film_names[index], {}, {}};
    if (index >= 4)
        node.properties = {{L"intensity", intensity}};
    return node;
}

node_text nearest_resize(int width, int height) {
    return {
        L"resize",
        {{L"width", std::to_wstring(width)}, {L"height", std::to_wstring(height)}, {L"method", L"nearest"}},
        {}};
}

node_text rectangle(const wchar_t* name, int x, int y, int width, int height) {
    return {name,
            {{L"x", std::to_wstring(x)},
             {L"y", std::to_wstring(y)},
             {L"width", std::to_wstring(width)},
             {L"height", std::to_wstring(height)}},
            {}};
}

// One of each stage node with texts exactly as the plug-in's stage jobs print them.
std::vector<node_text> plugin_stage_nodes() {
    return {
        {L"reduce-noise",
         {{L"reduce-intensity", L"2.500000"},
          {L"intensity-color", L"2.500000"},
          {L"tile-size", L"7"},
          {L"search-size", L"19"},
          {L"blend-intensity", L"0.750000"}},
         {}},
        {L"bilateral-filter",
         {{L"val-square-sigma", L"100"},
          {L"pos-square-sigma", L"25"},
          {L"radius", L"3"},
          {L"blending", L"0.750000"}},
         {}},
        {L"natural-enhance",
         {{L"enhance-intensity", L"1.000000"},
          {L"ratio-red", L"1.000000"},
          {L"ratio-green", L"1.000000"},
          {L"ratio-blue", L"1.000000"},
          {L"balance-intensity", L"0.800000"},
          {L"tolerance", L"0.000500"},
          {L"ahe-scope", L"1.500000"},
          {L"avg-segment-size", L"128"}},
         {}},
        {L"remove-red-eyes",
         {{L"border-width", L"3"}, {L"intensity", L"1.000000"}},
         {{L"Circle", {{L"X", L"5"}, {L"Y", L"-2"}, {L"radius", L"1"}}, {}},
          {L"Circle", {{L"X", L"20"}, {L"Y", L"12"}, {L"radius", L"6"}}, {}}}},
        {L"tilt-shift",
         {{L"blur-radius", L"10"}, {L"border-size-relative", L"0.200000"}},
         {rectangle(L"focused-rect", 8, 6, 16, 12)}},
        {L"tilt-shift", {{L"blur-radius", L"150"}, {L"border-size-relative", L"0.500000"}}, {}},
        {L"grain-regular", {{L"intensity", L"0.800000"}}, {}},
        {L"grain-fat", {{L"intensity", L"0.050000"}}, {}},
        {L"grain-fractal", {{L"intensity", L"1.000000"}}, {}},
    };
}

HRESULT run_operation(IOperation* operation, IImage* source, IImage* destination,
                      ICallbackHandler* handler = nullptr) {
    return operation->run(source, 0, destination, 0, handler);
}

ComPtr<IImage> run_to_new(IProcessor* root, const std::vector<node_text>& nodes, IImage* source) {
    auto operation = build_operation(root, nodes);
    INT32 width = 0, height = 0;
    pixel_format format{};
    EXPECT_EQ(operation->query_output(source, 0, &width, &height, &format), S_OK);
    auto destination = make_image(root, width, height, format);
    EXPECT_EQ(run_operation(operation.Get(), source, destination.Get()), S_OK) << error_description();
    return destination;
}

ComPtr<IImageData> data_of(IImage* image) {
    ComPtr<IImageData> data;
    EXPECT_EQ(image->QueryInterface(IID_IImageData, reinterpret_cast<void**>(data.ReleaseAndGetAddressOf())),
              S_OK);
    return data;
}

ComPtr<IProcessorService> service_of(IProcessor* root) {
    ComPtr<IProcessorService> service;
    EXPECT_EQ(root->QueryInterface(IID_IProcessorService,
                                   reinterpret_cast<void**>(service.ReleaseAndGetAddressOf())),
              S_OK);
    return service;
}

// A flat image of one 8-bit RGBA colour, written in the format's own order.
ComPtr<IImage> flat_rgb24(IProcessor* root, int width, int height, BYTE r, BYTE g, BYTE b) {
    auto image = make_image(root, width, height, pixel_format::rgb24);
    buffer_view view = buffer_of(image.Get());
    for (int y = 0; y != height; ++y)
        for (int x = 0; x != width; ++x) {
            BYTE* p = view.at(x, y, 3);
            p[0] = r;
            p[1] = g;
            p[2] = b;
        }
    return image;
}

std::wstring temp_file_path(const wchar_t* stem) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + stem + std::to_wstring(GetCurrentProcessId()) + L".txt";
    DeleteFileW(path.c_str());
    return path;
}

std::vector<std::string> read_lines(const std::wstring& path) {
    std::ifstream file{std::filesystem::path(path)};
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

class engine : public testing::TestWithParam<creation> {
protected:
    void SetUp() override { root = create_engine(GetParam()); }
    void TearDown() override {
        root.Reset();
        EXPECT_EQ(live_engine_objects(), 0) << "engine objects outlived their last release";
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
    wchar_t loaded[MAX_PATH * 4];
    ASSERT_GT(GetModuleFileNameW(engine_module(), loaded, MAX_PATH * 4), 0u);
    const wchar_t* key = L"Software\\Classes\\CLSID\\{47646232-C34B-463A-A8A0-B61012E6D8CB}\\InprocServer32";
    wchar_t registered[MAX_PATH * 4];
    DWORD size = sizeof registered;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, key, nullptr, RRF_RT_REG_SZ, nullptr, registered, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(lstrcmpiW(registered, loaded), 0)
        << "registered: " << testing::PrintToString(std::wstring(registered));
    wchar_t model[32];
    size = sizeof model;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, key, L"ThreadingModel", RRF_RT_REG_SZ, nullptr, model, &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(model, L"Both");
}

TEST_P(engine, root_answers_its_service_interface_and_error_info) {
    auto service = service_of(root.Get());
    ComPtr<ISupportErrorInfo> errors;
    ASSERT_EQ(root->QueryInterface(IID_ISupportErrorInfo,
                                   reinterpret_cast<void**>(errors.ReleaseAndGetAddressOf())),
              S_OK);
    EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IProcessor), S_OK);
    ComPtr<IUnknown> none;
    EXPECT_EQ(root->QueryInterface(IID_IStream, reinterpret_cast<void**>(none.ReleaseAndGetAddressOf())),
              E_NOINTERFACE);
    EXPECT_EQ(service->interrupt(), S_OK);
    EXPECT_EQ(service->shutdown(), S_OK);
}

TEST_P(engine, created_images_of_every_format_are_zeroed_with_word_aligned_rows) {
    const int bits[] = {0, 0, 8, 16, 24, 48, 24, 48, 32, 64, 32, 64, 32, 64};
    for (int code = 2; code <= 13; ++code) {
        SCOPED_TRACE(code);
        auto image = make_image(root.Get(), 5, 3, static_cast<pixel_format>(code));
        INT32 width = 0, height = 0, bits_per_pixel = 0;
        pixel_format format{};
        ASSERT_EQ(image->get_info(&width, &height, &bits_per_pixel, &format), S_OK);
        EXPECT_EQ(width, 5);
        EXPECT_EQ(height, 3);
        EXPECT_EQ(bits_per_pixel, bits[code]);
        EXPECT_EQ(static_cast<int>(format), code);
        buffer_view view = buffer_of(image.Get());
        EXPECT_EQ(view.stride, (5 * bits[code] / 8 + 3) & ~3);
        EXPECT_EQ(view.bytes, static_cast<UINT32>(view.stride) * 3);
        EXPECT_EQ(view.rows(), 3);
        EXPECT_EQ(view.width, 5);
        EXPECT_TRUE(std::all_of(view.data, view.data + view.bytes, [](BYTE b) { return b == 0; }));
    }
}

TEST_P(engine, unknown_formats_sizes_and_strides_are_refused_with_a_description) {
    ComPtr<IImage> image;
    for (int code : {0, 1, 14, -3}) {
        EXPECT_EQ(root->create_image(4, 4, static_cast<pixel_format>(code), image.ReleaseAndGetAddressOf()),
                  E_INVALIDARG);
        EXPECT_NE(error_description().find(L"format"), std::wstring::npos);
    }
    EXPECT_EQ(root->create_image(0, 4, pixel_format::gray8, image.ReleaseAndGetAddressOf()), E_INVALIDARG);
    EXPECT_FALSE(error_description().empty());
    EXPECT_EQ(root->create_image(4, 70000, pixel_format::gray8, image.ReleaseAndGetAddressOf()),
              E_INVALIDARG);
    std::vector<BYTE> memory(100);
    EXPECT_EQ(root->wrap_input_memory(memory.data(), 10, 2, pixel_format::rgb24, 29,
                                      image.ReleaseAndGetAddressOf()),
              E_INVALIDARG);
    EXPECT_NE(error_description().find(L"stride"), std::wstring::npos);
    EXPECT_EQ(
        root->wrap_output_memory(nullptr, 10, 2, pixel_format::rgb24, 30, image.ReleaseAndGetAddressOf()),
        E_INVALIDARG);
    EXPECT_EQ(image.Get(), nullptr);
}

TEST_P(engine, wrapped_images_are_the_callers_memory_with_its_stride) {
    std::vector<BYTE> memory(40 * 4, 7);
    for (bool output : {false, true}) {
        ComPtr<IImage> image;
        HRESULT hr = output ? root->wrap_output_memory(memory.data(), 10, 4, pixel_format::rgb24, 40,
                                                       image.ReleaseAndGetAddressOf())
                            : root->wrap_input_memory(memory.data(), 10, 4, pixel_format::rgb24, 40,
                                                      image.ReleaseAndGetAddressOf());
        ASSERT_EQ(hr, S_OK);
        buffer_view view = buffer_of(image.Get());
        EXPECT_EQ(view.data, memory.data());
        EXPECT_EQ(view.stride, 40);
        EXPECT_EQ(view.bytes, 160u);
        view.at(9, 3, 3)[2] = output ? 0x22 : 0x11;
        EXPECT_EQ(memory[3 * 40 + 9 * 3 + 2], output ? 0x22 : 0x11);
    }
    EXPECT_EQ(memory[0], 7) << "the caller's memory outlives its images untouched";
}

TEST_P(engine, duplicate_is_a_deep_copy) {
    auto image = make_image(root.Get(), 6, 4, pixel_format::bgra64);
    fill_pattern(image.Get());
    const auto before = packed_pixels(image.Get());
    ComPtr<IImage> copy;
    ASSERT_EQ(image->duplicate(0, copy.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_NE(buffer_of(copy.Get()).data, buffer_of(image.Get()).data);
    buffer_of(image.Get()).data[5] ^= 0xff;
    EXPECT_EQ(packed_pixels(copy.Get()), before);
    EXPECT_EQ(image->duplicate(1, copy.ReleaseAndGetAddressOf()), E_INVALIDARG);
}

TEST_P(engine, copy_pixels_to_takes_any_stride_and_overlapping_memory) {
    auto image = make_image(root.Get(), 7, 5, pixel_format::rgba32);
    fill_pattern(image.Get());
    const auto packed = packed_pixels(image.Get());

    std::vector<BYTE> wide(40 * 5, 0xee);
    ASSERT_EQ(image->copy_pixels_to(wide.data(), static_cast<UINT32>(wide.size()), 40, 0), S_OK);
    for (int y = 0; y != 5; ++y) {
        EXPECT_TRUE(
            std::equal(packed.begin() + y * 28, packed.begin() + (y + 1) * 28, wide.begin() + y * 40));
        EXPECT_EQ(wide[y * 40 + 28], 0xee) << "padding is left alone";
    }

    buffer_view own = buffer_of(image.Get());
    EXPECT_EQ(image->copy_pixels_to(own.data, own.bytes, own.stride, 0), S_OK);
    EXPECT_EQ(packed_pixels(image.Get()), packed);

    // Over its own memory one row further down: every row must arrive as it was.
    std::vector<BYTE> memory(32 * 6);
    ComPtr<IImage> wrapped;
    ASSERT_EQ(root->wrap_input_memory(memory.data(), 7, 5, pixel_format::rgba32, 32,
                                      wrapped.ReleaseAndGetAddressOf()),
              S_OK);
    ASSERT_EQ(image->copy_pixels_to(memory.data(), 32 * 5, 32, 0), S_OK);
    ASSERT_EQ(wrapped->copy_pixels_to(memory.data() + 32, 32 * 5, 32, 0), S_OK);
    for (int y = 0; y != 5; ++y)
        EXPECT_TRUE(std::equal(packed.begin() + y * 28, packed.begin() + (y + 1) * 28,
                               memory.begin() + (y + 1) * 32));

    EXPECT_EQ(image->copy_pixels_to(wide.data(), 4 * 40 + 27, 40, 0), E_INVALIDARG);
    EXPECT_FALSE(error_description().empty());
}

TEST_P(engine, scaled_copy_fits_inside_the_size_keeping_aspect_and_format) {
    struct case_t {
        int width, height, size, expected_width, expected_height;
    };
    for (auto c : {case_t{4, 2, 4, 4, 2}, case_t{2, 4, 4, 2, 4}, case_t{100, 50, 10, 10, 5},
                   case_t{3, 3, 12, 12, 12}, case_t{300, 1, 30, 30, 1}}) {
        auto source = flat_rgb24(root.Get(), c.width, c.height, 10, 200, 90);
        ComPtr<IImage> copy;
        ASSERT_EQ(
            root->create_scaled_copy(source.Get(), c.size, VARIANT_TRUE, 0, copy.ReleaseAndGetAddressOf()),
            S_OK);
        INT32 width = 0, height = 0, bits = 0;
        pixel_format format{};
        copy->get_info(&width, &height, &bits, &format);
        EXPECT_EQ(width, c.expected_width);
        EXPECT_EQ(height, c.expected_height);
        EXPECT_EQ(format, pixel_format::rgb24);
        const auto pixels = packed_pixels(copy.Get());
        for (std::size_t i = 0; i < pixels.size(); i += 3) {
            EXPECT_NEAR(pixels[i], 10, 1);
            EXPECT_NEAR(pixels[i + 1], 200, 1);
        }
    }
    auto source = flat_rgb24(root.Get(), 4, 4, 0, 0, 0);
    ComPtr<IImage> copy;
    EXPECT_EQ(root->create_scaled_copy(source.Get(), 8, VARIANT_FALSE, 0, copy.ReleaseAndGetAddressOf()),
              E_INVALIDARG);
    EXPECT_EQ(root->create_scaled_copy(source.Get(), 0, VARIANT_TRUE, 0, copy.ReleaseAndGetAddressOf()),
              E_INVALIDARG);
}

TEST_P(engine, acquire_needs_an_idle_image_and_lock_only_the_absence_of_writers) {
    auto image = make_image(root.Get(), 4, 4, pixel_format::gray8);
    auto data = data_of(image.Get());
    EXPECT_EQ(data->try_acquire(), S_OK);
    EXPECT_LT(data->try_acquire(), 0);
    EXPECT_LT(data->try_lock(), 0);
    EXPECT_EQ(data->release(), S_OK);
    EXPECT_LT(data->release(), 0) << "a release without an acquire is refused";

    EXPECT_EQ(data->try_lock(), S_OK);
    EXPECT_EQ(data->try_lock(), S_OK);
    EXPECT_LT(data->try_acquire(), 0);
    EXPECT_EQ(data->unlock(), S_OK);
    EXPECT_LT(data->try_acquire(), 0);
    EXPECT_EQ(data->unlock(), S_OK);
    EXPECT_LT(data->unlock(), 0);
    EXPECT_FALSE(error_description().empty());
    EXPECT_EQ(data->try_acquire(), S_OK);
    EXPECT_EQ(data->release(), S_OK);
}

TEST_P(engine, a_running_operation_reads_its_source_and_writes_its_destination_exclusively) {
    auto source = make_image(root.Get(), 16, 64, pixel_format::rgb24);
    auto destination = make_image(root.Get(), 16, 64, pixel_format::rgb24);
    auto operation = build_operation(root.Get(), {film_node(10)});
    ComPtr<recording_handler> handler;
    handler = adopt(new recording_handler(8, 10, -1, 1)); // held in its second report, between bands

    auto running = std::async(std::launch::async, [&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        HRESULT hr = run_operation(operation.Get(), source.Get(), destination.Get(), handler.Get());
        CoUninitialize();
        return hr;
    });
    for (int report = 0; report != 2; ++report)
        ASSERT_EQ(WaitForSingleObject(handler->reported(), 10000), WAIT_OBJECT_0);
    auto source_data = data_of(source.Get()), destination_data = data_of(destination.Get());
    EXPECT_LT(destination_data->try_acquire(), 0);
    EXPECT_LT(destination_data->try_lock(), 0);
    EXPECT_LT(source_data->try_acquire(), 0);
    EXPECT_EQ(source_data->try_lock(), S_OK);
    EXPECT_EQ(source_data->unlock(), S_OK);
    handler->open_gate();
    ASSERT_EQ(running.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(running.get(), S_OK);
    EXPECT_EQ(destination_data->try_acquire(), S_OK);
    EXPECT_EQ(destination_data->release(), S_OK);
    EXPECT_EQ(source_data->try_acquire(), S_OK);
    EXPECT_EQ(source_data->release(), S_OK);
}

TEST_P(engine, the_memory_owner_is_told_exactly_once_when_the_image_goes) {
    std::atomic<int> calls{0};
    std::atomic<ULONG_PTR> cookie{0};
    ComPtr<counting_owner> owner;
    owner = adopt(new counting_owner(calls, cookie));
    std::vector<BYTE> bits(12 * 4);

    ComPtr<IImage> refused;
    EXPECT_EQ(root->create_image_on_memory(bits.data(), 4, 4, static_cast<pixel_format>(1), 12, 0x1234,
                                           owner.Get(), refused.ReleaseAndGetAddressOf()),
              E_INVALIDARG);
    EXPECT_EQ(owner->references(), 1) << "a refused image keeps no reference on its owner";

    ComPtr<IImage> image;
    ASSERT_EQ(root->create_image_on_memory(bits.data(), 4, 4, pixel_format::bgr24, 12, 0x1234, owner.Get(),
                                           image.ReleaseAndGetAddressOf()),
              S_OK);
    ComPtr<IImage> copy;
    ASSERT_EQ(image->duplicate(0, copy.ReleaseAndGetAddressOf()), S_OK);
    auto destination = make_image(root.Get(), 4, 4, pixel_format::bgr24);
    EXPECT_EQ(
        run_operation(build_operation(root.Get(), {film_node(20)}).Get(), image.Get(), destination.Get()),
        S_OK);
    ComPtr<IImageData> data = data_of(image.Get());
    EXPECT_EQ(buffer_of(image.Get()).data, bits.data());
    EXPECT_EQ(calls, 0);
    data.Reset();
    copy.Reset();
    image.Reset();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(cookie, 0x1234u);
    EXPECT_EQ(owner->references(), 1) << "the engine gives its reference on the owner back";
}

TEST_P(engine, unknown_names_and_bad_texts_are_refused_naming_them) {
    struct case_t {
        const wchar_t* node;
        const wchar_t* property;
        const wchar_t* text;
    };
    const case_t cases[] = {
        {L"reduce-noise", L"reduce-intensity", L"2,500000"}, // a locale's decimal comma
        {L"reduce-noise", L"reduce-intensity", L"30.100000"},
        {L"reduce-noise", L"tile-size", L"7.0"},
        {L"reduce-noise", L"tile-size", L" 7"},
        {L"reduce-noise", L"tile-size", L"53"},
        {L"reduce-noise", L"sigma", L"1"},
        {L"bilateral-filter", L"radius", L"26"},
        {L"natural-enhance", L"tolerance", L"0.030000"},
        {L"natural-enhance", L"ahe-scope", L"0.900000"},
        {L"natural-enhance", L"enhance-intensity", L"1e-3"},
        {L"tilt-shift", L"blur-radius", L"151"},
        {L"POLAPAN", L"intensity", L"1.000000"}, // the monochrome looks take no intensity
        {L"grain-fat", L"intensity", L"1.500000"},
        {L"resize", L"method", L"bicubic"},
        {L"resize", L"width", L"0"},
        {L"convert", L"to", L"BGR32"},
        {L"convert", L"alpha-background", L"00FFFFFF"}, // upper case
        {L"convert", L"alpha-background", L"ffffff"},
        {L"remove-red-eyes", L"border-width", L"-1"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(
            testing::PrintToString(std::wstring(c.node) + L" " + c.property + L" '" + c.text + L"'"));
        ComPtr<IFilterChain> chain;
        ASSERT_EQ(root->create_chain(chain.ReleaseAndGetAddressOf()), S_OK);
        ComPtr<IUnknown> shared;
        if (std::wstring(c.node) == L"remove-red-eyes")
            root->create_shared_data(shared.ReleaseAndGetAddressOf());
        ComPtr<IFilter> node;
        ASSERT_EQ(chain->add_node(bstr(c.node), shared.Get(), node.ReleaseAndGetAddressOf()), S_OK);
        EXPECT_EQ(node->set_property(bstr(c.property), bstr(c.text)), E_INVALIDARG);
        EXPECT_NE(error_description().find(c.property), std::wstring::npos)
            << testing::PrintToString(error_description());
        ComPtr<ISupportErrorInfo> errors;
        ASSERT_EQ(node->QueryInterface(IID_ISupportErrorInfo,
                                       reinterpret_cast<void**>(errors.ReleaseAndGetAddressOf())),
                  S_OK);
        EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IFilter), S_OK);
    }
}

TEST_P(engine, chains_refuse_unknown_nodes_misplaced_children_and_unfinished_nodes) {
    ComPtr<IFilterChain> chain;
    ASSERT_EQ(root->create_chain(chain.ReleaseAndGetAddressOf()), S_OK);
    ComPtr<IFilter> node, child;
    ComPtr<IOperation> operation;
    EXPECT_EQ(chain->build(operation.ReleaseAndGetAddressOf()), E_INVALIDARG) << "an empty chain";
    EXPECT_EQ(chain->add_node(bstr(L"sharpen"), nullptr, node.ReleaseAndGetAddressOf()), E_INVALIDARG);
    EXPECT_NE(error_description().find(L"sharpen"), std::wstring::npos);
    EXPECT_EQ(chain->add_node(bstr(L"remove-red-eyes"), nullptr, node.ReleaseAndGetAddressOf()),
              E_INVALIDARG);
    EXPECT_NE(error_description().find(L"shared data"), std::wstring::npos);
    ComPtr<IUnknown> shared;
    ASSERT_EQ(root->create_shared_data(shared.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(chain->add_node(bstr(L"reduce-noise"), shared.Get(), node.ReleaseAndGetAddressOf()),
              E_INVALIDARG);

    ASSERT_EQ(chain->add_node(bstr(L"tilt-shift"), nullptr, node.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(node->add_child(bstr(L"Circle"), child.ReleaseAndGetAddressOf()), E_INVALIDARG);
    EXPECT_NE(error_description().find(L"Circle"), std::wstring::npos);
    ASSERT_EQ(node->add_child(bstr(L"focused-rect"), child.ReleaseAndGetAddressOf()), S_OK);
    ComPtr<IFilter> second;
    EXPECT_EQ(node->add_child(bstr(L"focused-rect"), second.ReleaseAndGetAddressOf()), E_INVALIDARG);
    EXPECT_EQ(child->set_property(bstr(L"width"), bstr(L"0")), E_INVALIDARG);
    EXPECT_EQ(child->set_property(bstr(L"x"), bstr(L"3")), S_OK);
    EXPECT_EQ(child->commit(), E_INVALIDARG);
    EXPECT_NE(error_description().find(L"lacks"), std::wstring::npos);
    EXPECT_EQ(node->set_property(bstr(L"blur-radius"), bstr(L"10")), S_OK);
    EXPECT_EQ(node->set_property(bstr(L"border-size-relative"), bstr(L"0.200000")), S_OK);
    EXPECT_EQ(node->commit(), E_INVALIDARG) << "its child is not committed";
    EXPECT_NE(error_description().find(L"focused-rect"), std::wstring::npos);
    EXPECT_EQ(chain->build(operation.ReleaseAndGetAddressOf()), E_INVALIDARG) << "a node is not committed";
    EXPECT_NE(error_description().find(L"tilt-shift"), std::wstring::npos);

    for (const wchar_t* name : {L"y", L"width", L"height"})
        EXPECT_EQ(child->set_property(bstr(name), bstr(L"30")), S_OK);
    EXPECT_EQ(child->commit(), S_OK);
    EXPECT_EQ(node->commit(), S_OK);
    EXPECT_EQ(node->set_property(bstr(L"blur-radius"), bstr(L"5")), E_INVALIDARG)
        << "committed nodes stay as they are";
    ASSERT_EQ(chain->build(operation.ReleaseAndGetAddressOf()), S_OK);
    auto small = make_image(root.Get(), 40, 40, pixel_format::rgb24);
    INT32 width = 0, height = 0;
    pixel_format format{};
    EXPECT_EQ(operation->query_output(small.Get(), 0, &width, &height, &format), E_INVALIDARG)
        << "a focus rectangle outside the source";
    EXPECT_NE(error_description().find(L"focused-rect"), std::wstring::npos);
    auto large = make_image(root.Get(), 80, 60, pixel_format::rgb24);
    EXPECT_EQ(operation->query_output(large.Get(), 0, &width, &height, &format), S_OK);
}

TEST_P(engine, stage_nodes_accept_the_plugins_texts_and_keep_size_and_format) {
    std::vector<node_text> nodes = plugin_stage_nodes();
    for (int i = 0; i != 39; ++i)
        nodes.push_back(film_node(i, L"0.700000"));
    for (pixel_format format :
         {pixel_format::gray8, pixel_format::rgb48, pixel_format::rgba32, pixel_format::bgra32}) {
        auto source = make_image(root.Get(), 32, 24, format);
        fill_pattern(source.Get());
        const auto input = packed_pixels(source.Get());
        for (const node_text& node : nodes) {
            SCOPED_TRACE(testing::PrintToString(node.name) + " in format " +
                         std::to_string(static_cast<int>(format)));
            auto operation = build_operation(root.Get(), {node});
            INT32 width = 0, height = 0;
            pixel_format output{};
            ASSERT_EQ(operation->query_output(source.Get(), 0, &width, &height, &output), S_OK);
            EXPECT_EQ(width, 32);
            EXPECT_EQ(height, 24);
            EXPECT_EQ(output, format);
            auto first = make_image(root.Get(), 32, 24, format),
                 second = make_image(root.Get(), 32, 24, format);
            ASSERT_EQ(run_operation(operation.Get(), source.Get(), first.Get()), S_OK) << error_description();
            ASSERT_EQ(run_operation(operation.Get(), source.Get(), second.Get()), S_OK);
            EXPECT_EQ(packed_pixels(first.Get()), packed_pixels(second.Get())) << "runs are deterministic";
            if (format != pixel_format::gray8) {
                EXPECT_NE(packed_pixels(first.Get()), input)
                    << "every node visibly changes a patterned image";
            }
        }
        EXPECT_EQ(packed_pixels(source.Get()), input) << "the source is only read";
    }
}

TEST_P(engine, every_film_look_is_distinct_and_the_first_four_are_monochrome) {
    auto source = make_image(root.Get(), 16, 16, pixel_format::rgba32);
    fill_pattern(source.Get());
    std::vector<std::vector<BYTE>> looks;
    for (int i = 0; i != 39; ++i) {
        auto output = run_to_new(root.Get(), {film_node(i)}, source.Get());
        looks.push_back(packed_pixels(output.Get()));
        const auto& pixels = looks.back();
        const auto input = packed_pixels(source.Get());
        for (std::size_t p = 0; p < pixels.size(); p += 4) {
            EXPECT_EQ(pixels[p + 3], input[p + 3]) << "alpha is kept";
            if (i < 4) {
                ASSERT_EQ(pixels[p], pixels[p + 1]) << testing::PrintToString(film_names[i]);
                ASSERT_EQ(pixels[p], pixels[p + 2]) << testing::PrintToString(film_names[i]);
            }
        }
    }
    for (int a = 0; a != 39; ++a)
        for (int b = a + 1; b != 39; ++b)
            EXPECT_NE(looks[a], looks[b])
                << testing::PrintToString(film_names[a]) << " and " << testing::PrintToString(film_names[b]);
}

TEST_P(engine, red_eye_removal_pulls_red_down_inside_its_circles_only) {
    auto source = flat_rgb24(root.Get(), 40, 40, 200, 40, 60);
    auto output = run_to_new(root.Get(),
                             {{L"remove-red-eyes",
                               {{L"border-width", L"0"}, {L"intensity", L"1.000000"}},
                               {{L"Circle", {{L"X", L"10"}, {L"Y", L"10"}, {L"radius", L"4"}}, {}}}}},
                             source.Get());
    buffer_view view = buffer_of(output.Get());
    EXPECT_NEAR(view.at(10, 10, 3)[0], 50, 1) << "red falls to the mean of green and blue";
    EXPECT_EQ(view.at(10, 10, 3)[1], 40);
    EXPECT_NEAR(view.at(13, 10, 3)[0], 50, 1);
    EXPECT_EQ(view.at(15, 10, 3)[0], 200) << "outside the circle";
    EXPECT_EQ(view.at(30, 30, 3)[0], 200);
}

TEST_P(engine, tilt_shift_keeps_the_focused_rectangle_sharp_and_blurs_far_away) {
    auto source = make_image(root.Get(), 60, 40, pixel_format::rgb24);
    fill_pattern(source.Get());
    auto output = run_to_new(root.Get(),
                             {{L"tilt-shift",
                               {{L"blur-radius", L"4"}, {L"border-size-relative", L"0.100000"}},
                               {rectangle(L"focused-rect", 20, 10, 20, 10)}}},
                             source.Get());
    buffer_view in = buffer_of(source.Get()), out = buffer_of(output.Get());
    for (int y = 10; y != 20; ++y)
        EXPECT_TRUE(std::equal(in.at(20, y, 3), in.at(40, y, 3), out.at(20, y, 3))) << "row " << y;
    EXPECT_FALSE(std::equal(in.at(0, 35, 3), in.at(60, 35, 3), out.at(0, 35, 3)));
}

TEST_P(engine, grain_comes_from_the_coordinates_and_differs_by_kind) {
    auto source = flat_rgb24(root.Get(), 32, 32, 128, 128, 128);
    std::vector<std::vector<BYTE>> grains;
    for (const wchar_t* kind : {L"grain-regular", L"grain-fat", L"grain-fractal"}) {
        auto output = run_to_new(root.Get(), {{kind, {{L"intensity", L"0.800000"}}, {}}}, source.Get());
        grains.push_back(packed_pixels(output.Get()));
        const auto& pixels = grains.back();
        EXPECT_NE(std::count(pixels.begin(), pixels.end(), 128), static_cast<long>(pixels.size()));
        for (std::size_t p = 0; p < pixels.size(); p += 3)
            ASSERT_TRUE(pixels[p] == pixels[p + 1] && pixels[p] == pixels[p + 2]) << "grain is colourless";
    }
    EXPECT_NE(grains[0], grains[1]);
    EXPECT_NE(grains[1], grains[2]);
    EXPECT_NE(grains[0], grains[2]);
}

TEST_P(engine, nearest_resize_repeats_and_skips_pixels_exactly) {
    for (pixel_format format : {pixel_format::rgba32, pixel_format::gray16, pixel_format::bgr48}) {
        const int bytes = format == pixel_format::rgba32 ? 4 : format == pixel_format::gray16 ? 2 : 6;
        auto source = make_image(root.Get(), 6, 4, format);
        fill_pattern(source.Get());
        buffer_view in = buffer_of(source.Get());

        auto doubled = run_to_new(root.Get(), {nearest_resize(12, 8)}, source.Get());
        buffer_view out = buffer_of(doubled.Get());
        for (int y = 0; y != 8; ++y)
            for (int x = 0; x != 12; ++x)
                ASSERT_TRUE(
                    std::equal(out.at(x, y, bytes), out.at(x, y, bytes) + bytes, in.at(x / 2, y / 2, bytes)));

        auto halved = run_to_new(root.Get(), {nearest_resize(3, 2)}, source.Get());
        out = buffer_of(halved.Get());
        for (int y = 0; y != 2; ++y)
            for (int x = 0; x != 3; ++x)
                ASSERT_TRUE(std::equal(out.at(x, y, bytes), out.at(x, y, bytes) + bytes,
                                       in.at(2 * x + 1, 2 * y + 1, bytes)));

        node_text cut = nearest_resize(4, 4);
        cut.children = {rectangle(L"impact-rect", 3, 1, 2, 2)};
        auto part = run_to_new(root.Get(), {cut}, source.Get());
        out = buffer_of(part.Get());
        for (int y = 0; y != 4; ++y)
            for (int x = 0; x != 4; ++x)
                ASSERT_TRUE(std::equal(out.at(x, y, bytes), out.at(x, y, bytes) + bytes,
                                       in.at(3 + x / 2, 1 + y / 2, bytes)));
    }
}

TEST_P(engine, lanczos_resize_follows_smooth_ramps_and_lends_no_colour_from_transparent_pixels) {
    auto ramp = make_image(root.Get(), 64, 4, pixel_format::gray8);
    buffer_view in = buffer_of(ramp.Get());
    for (int y = 0; y != 4; ++y)
        for (int x = 0; x != 64; ++x)
            in.at(x, y, 1)[0] = static_cast<BYTE>(40 + 2 * x);
    node_text up{L"resize", {{L"width", L"128"}, {L"height", L"8"}, {L"method", L"lanczos"}}, {}};
    auto upscaled = run_to_new(root.Get(), {up}, ramp.Get());
    buffer_view out = buffer_of(upscaled.Get());
    for (int x = 8; x != 120; ++x) {
        const double source_x = (x + 0.5) * 0.5 - 0.5;
        EXPECT_NEAR(out.at(x, 3, 1)[0], 40 + 2 * source_x, 1.5) << "column " << x;
    }
    node_text down{L"resize", {{L"width", L"16"}, {L"height", L"1"}, {L"method", L"lanczos"}}, {}};
    auto downscaled = run_to_new(root.Get(), {down}, ramp.Get());
    out = buffer_of(downscaled.Get());
    for (int x = 2; x != 14; ++x)
        EXPECT_NEAR(out.at(x, 0, 1)[0], 40 + 2 * (4 * x + 1.5), 1.5) << "column " << x;

    // Left half transparent red, right half opaque blue.
    auto halves = make_image(root.Get(), 16, 4, pixel_format::rgba32);
    in = buffer_of(halves.Get());
    for (int y = 0; y != 4; ++y)
        for (int x = 0; x != 16; ++x) {
            const BYTE pixel[4] = {static_cast<BYTE>(x < 8 ? 255 : 0), 0, static_cast<BYTE>(x < 8 ? 0 : 255),
                                   static_cast<BYTE>(x < 8 ? 0 : 255)};
            std::copy(pixel, pixel + 4, in.at(x, y, 4));
        }
    node_text stretch{L"resize", {{L"width", L"37"}, {L"height", L"4"}, {L"method", L"lanczos"}}, {}};
    auto stretched = run_to_new(root.Get(), {stretch}, halves.Get());
    out = buffer_of(stretched.Get());
    for (int x = 0; x != 37; ++x) {
        if (out.at(x, 1, 4)[3] > 8) {
            EXPECT_LE(out.at(x, 1, 4)[0], 2) << "column " << x;
        }
    }
}

TEST_P(engine, convert_blends_onto_the_background_for_bgr24_and_keeps_alpha_for_bgra32) {
    auto source = make_image(root.Get(), 3, 1, pixel_format::rgba32);
    const BYTE pixels[] = {10, 20, 30, 255, 200, 100, 50, 0, 100, 100, 100, 128};
    std::copy(std::begin(pixels), std::end(pixels), buffer_of(source.Get()).data);

    auto opaque =
        run_to_new(root.Get(), {{L"convert", {{L"to", L"BGR24"}, {L"alpha-background", L"00405060"}}, {}}},
                   source.Get());
    const auto bgr = packed_pixels(opaque.Get());
    EXPECT_EQ(bgr[0], 30);
    EXPECT_EQ(bgr[1], 20);
    EXPECT_EQ(bgr[2], 10);
    EXPECT_EQ(bgr[3], 0x60);
    EXPECT_EQ(bgr[4], 0x50);
    EXPECT_EQ(bgr[5], 0x40);
    EXPECT_NEAR(bgr[6], (100 * 128 + 0x60 * 127) / 255.0, 1.0);
    EXPECT_NEAR(bgr[8], (100 * 128 + 0x40 * 127) / 255.0, 1.0);

    auto kept = run_to_new(root.Get(), {{L"convert", {{L"to", L"BGRA32"}}, {}}}, source.Get());
    const auto bgra = packed_pixels(kept.Get());
    const std::vector<BYTE> expected = {30, 20, 10, 255, 50, 100, 200, 0, 100, 100, 100, 128};
    EXPECT_EQ(bgra, expected);

    auto deep = make_image(root.Get(), 1, 1, pixel_format::rgba64);
    const std::uint16_t samples[] = {0xffff, 0x8080, 0x0000, 0xffff};
    std::memcpy(buffer_of(deep.Get()).data, samples, sizeof samples);
    auto narrowed = run_to_new(root.Get(), {{L"convert", {{L"to", L"BGRA32"}}, {}}}, deep.Get());
    EXPECT_EQ(packed_pixels(narrowed.Get()), (std::vector<BYTE>{0, 128, 255, 255}));
}

TEST_P(engine, the_preview_chain_writes_only_the_top_left_of_a_larger_canvas) {
    std::atomic<int> calls{0};
    std::atomic<ULONG_PTR> cookie{0};
    ComPtr<counting_owner> owner;
    owner = adopt(new counting_owner(calls, cookie));
    std::vector<BYTE> bits(60 * 10, 0xaa);
    ComPtr<IImage> canvas;
    ASSERT_EQ(root->create_image_on_memory(bits.data(), 20, 10, pixel_format::bgr24, 60, 7, owner.Get(),
                                           canvas.ReleaseAndGetAddressOf()),
              S_OK);
    auto source = make_image(root.Get(), 4, 2, pixel_format::rgba32);
    fill_pattern(source.Get());
    node_text resize = nearest_resize(8, 4);
    resize.children = {rectangle(L"impact-rect", 0, 0, 4, 2)};
    auto operation = build_operation(
        root.Get(), {resize, {L"convert", {{L"to", L"BGR24"}, {L"alpha-background", L"00f0f0f0"}}, {}}});
    INT32 width = 0, height = 0;
    pixel_format format{};
    ASSERT_EQ(operation->query_output(source.Get(), 0, &width, &height, &format), S_OK);
    EXPECT_EQ(width, 8);
    EXPECT_EQ(height, 4);
    EXPECT_EQ(format, pixel_format::bgr24);
    ASSERT_EQ(run_operation(operation.Get(), source.Get(), canvas.Get()), S_OK) << error_description();
    for (int y = 0; y != 10; ++y) {
        for (int x = 0; x != 60; ++x) {
            if (y >= 4 || x >= 24) {
                ASSERT_EQ(bits[y * 60 + x], 0xaa) << "byte " << x << " of row " << y;
            }
        }
    }
    EXPECT_NE(std::count(bits.begin(), bits.begin() + 24, 0xaa), 24);

    auto wrong_format = make_image(root.Get(), 20, 10, pixel_format::bgra32);
    EXPECT_EQ(run_operation(operation.Get(), source.Get(), wrong_format.Get()), E_INVALIDARG);
    EXPECT_NE(error_description().find(L"destination"), std::wstring::npos);
    auto too_small = make_image(root.Get(), 7, 10, pixel_format::bgr24);
    EXPECT_EQ(run_operation(operation.Get(), source.Get(), too_small.Get()), E_INVALIDARG);
    canvas.Reset();
    EXPECT_EQ(calls, 1);
}

namespace {

// An image the engine did not make.
class foreign_image final : public test_object<IImage> {
public:
    HRESULT STDMETHODCALLTYPE duplicate(DWORD, IImage**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_info(INT32* w, INT32* h, INT32* b, pixel_format* f) override {
        *w = *h = 4;
        *b = 24;
        *f = pixel_format::rgb24;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE copy_pixels_to(BYTE*, UINT32, INT32, DWORD) override { return E_NOTIMPL; }
};

} // namespace

TEST_P(engine, run_refuses_one_image_as_both_ends_foreign_images_and_resizing_in_place) {
    auto image = make_image(root.Get(), 4, 4, pixel_format::rgb24);
    fill_pattern(image.Get());
    auto film = build_operation(root.Get(), {film_node(30)});
    EXPECT_EQ(run_operation(film.Get(), image.Get(), image.Get()), E_INVALIDARG);
    EXPECT_NE(error_description().find(L"same image"), std::wstring::npos);
    ComPtr<foreign_image> stranger;
    stranger = adopt(new foreign_image);
    EXPECT_EQ(run_operation(film.Get(), stranger.Get(), image.Get()), E_INVALIDARG);
    EXPECT_NE(error_description().find(L"not made by this engine"), std::wstring::npos);
    EXPECT_EQ(film->run(image.Get(), 2, image.Get(), 0, nullptr), E_INVALIDARG);

    EXPECT_EQ(build_operation(root.Get(), {nearest_resize(2, 2)})->apply_in_place(image.Get(), 0, nullptr),
              E_INVALIDARG);
    const auto before = packed_pixels(image.Get());
    EXPECT_EQ(film->apply_in_place(image.Get(), 0, nullptr), S_OK);
    EXPECT_NE(packed_pixels(image.Get()), before);
}

TEST_P(engine, images_over_one_buffer_are_read_before_they_are_written) {
    auto source = make_image(root.Get(), 30, 20, pixel_format::rgb24);
    fill_pattern(source.Get());
    const std::vector<node_text> blur = {
        {L"tilt-shift", {{L"blur-radius", L"3"}, {L"border-size-relative", L"0.100000"}}, {}}};
    const auto expected = packed_pixels(run_to_new(root.Get(), blur, source.Get()).Get());

    std::vector<BYTE> memory = packed_pixels(source.Get());
    ComPtr<IImage> input, output;
    ASSERT_EQ(root->wrap_input_memory(memory.data(), 30, 20, pixel_format::rgb24, 90,
                                      input.ReleaseAndGetAddressOf()),
              S_OK);
    ASSERT_EQ(root->wrap_output_memory(memory.data(), 30, 20, pixel_format::rgb24, 90,
                                       output.ReleaseAndGetAddressOf()),
              S_OK);
    ASSERT_EQ(run_operation(build_operation(root.Get(), blur).Get(), input.Get(), output.Get()), S_OK);
    EXPECT_EQ(memory, expected);
}

TEST_P(engine, progress_runs_from_0_to_100_on_the_calling_thread_within_the_handlers_limits) {
    auto source = make_image(root.Get(), 64, 300, pixel_format::rgb24);
    auto destination = make_image(root.Get(), 64, 300, pixel_format::rgb24);
    for (auto [fewest, most] : {std::pair{8, 200}, std::pair{8, 20}, std::pair{3, 3}}) {
        ComPtr<recording_handler> handler;
        handler = adopt(new recording_handler(fewest, most));
        ASSERT_EQ(run_operation(build_operation(root.Get(), {film_node(12)}).Get(), source.Get(),
                                destination.Get(), handler.Get()),
                  S_OK);
        const auto reports = handler->reports();
        ASSERT_GE(reports.size(), 2u);
        EXPECT_LE(reports.size(), static_cast<std::size_t>(most));
        EXPECT_GE(reports.size(), static_cast<std::size_t>(std::min(fewest, most)));
        EXPECT_EQ(reports.front(), 0.0f);
        EXPECT_EQ(reports.back(), 100.0f);
        EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
        for (DWORD thread : handler->threads())
            EXPECT_EQ(thread, GetCurrentThreadId());
    }
}

TEST_P(engine, a_stop_answer_ends_the_run_with_the_cancelled_code) {
    auto source = make_image(root.Get(), 32, 200, pixel_format::rgb24);
    fill_pattern(source.Get());
    auto operation = build_operation(root.Get(), {film_node(12)});
    for (int stop_at : {0, 2}) {
        auto destination = make_image(root.Get(), 32, 200, pixel_format::rgb24);
        ComPtr<recording_handler> handler;
        handler = adopt(new recording_handler(8, 200, stop_at));
        EXPECT_EQ(run_operation(operation.Get(), source.Get(), destination.Get(), handler.Get()),
                  job_cancelled_result);
        EXPECT_EQ(handler->reports().size(), static_cast<std::size_t>(stop_at + 1))
            << "no report after the stop";
        if (stop_at == 0) {
            const auto pixels = packed_pixels(destination.Get());
            EXPECT_TRUE(std::all_of(pixels.begin(), pixels.end(), [](BYTE b) { return b == 0; }))
                << "a job stopped at once writes nothing";
        }
        EXPECT_EQ(data_of(destination.Get())->try_acquire(), S_OK) << "a stopped run gives its images back";
        data_of(destination.Get())->release();
    }
    ComPtr<recording_handler> handler;
    handler = adopt(new recording_handler(8, 200, 1));
    EXPECT_EQ(operation->apply_in_place(source.Get(), 0, handler.Get()), job_cancelled_result);
}

namespace {

// Starts a run that waits a second per band on another thread, ends it through the service call once
// it has begun, and returns the run's result and description. Left alone the run would take minutes,
// so its end within the bound shows that the call woke it.
std::pair<HRESULT, std::wstring> end_slow_run(IProcessor* slow, bool shut_down) {
    auto source = make_image(slow, 16, 400, pixel_format::rgb24);
    auto destination = make_image(slow, 16, 400, pixel_format::rgb24);
    auto operation = build_operation(slow, {film_node(15)});
    ComPtr<recording_handler> handler;
    handler = adopt(new recording_handler(100, 200));
    auto running = std::async(std::launch::async, [&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        HRESULT hr = run_operation(operation.Get(), source.Get(), destination.Get(), handler.Get());
        std::wstring description = error_description();
        CoUninitialize();
        return std::pair{hr, description};
    });
    EXPECT_EQ(WaitForSingleObject(handler->reported(), 10000), WAIT_OBJECT_0);
    auto service = service_of(slow);
    EXPECT_EQ(shut_down ? service->shutdown() : service->interrupt(), S_OK);
    EXPECT_EQ(running.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "the run ends promptly";
    return running.get();
}

} // namespace

TEST_P(engine, interrupt_and_shutdown_end_a_slow_run_with_a_failure_and_later_runs_succeed) {
    scoped_environment delay(L"ZORVANE_STANDIN_BAND_DELAY_MS", L"1000");
    auto slow = create_engine(GetParam());
    for (bool shut_down : {false, true}) {
        SCOPED_TRACE(shut_down ? "shutdown" : "interrupt");
        auto [hr, description] = end_slow_run(slow.Get(), shut_down);
        EXPECT_TRUE(FAILED(hr));
        EXPECT_NE(hr, thread_stopped_result);
        EXPECT_FALSE(description.empty());

        // One band, so one delay.
        auto source = make_image(slow.Get(), 8, 8, pixel_format::rgb24);
        auto destination = make_image(slow.Get(), 8, 8, pixel_format::rgb24);
        ComPtr<recording_handler> handler;
        handler = adopt(new recording_handler(1, 2));
        EXPECT_EQ(run_operation(build_operation(slow.Get(), {film_node(15)}).Get(), source.Get(),
                                destination.Get(), handler.Get()),
                  S_OK);
    }
}

TEST_P(engine, calls_from_several_threads_at_once_give_the_single_thread_results) {
    auto source = make_image(root.Get(), 48, 40, pixel_format::rgba32);
    fill_pattern(source.Get());
    const std::vector<std::vector<node_text>> setups = {
        {film_node(8)},
        {plugin_stage_nodes()[0]},
        {{L"grain-fractal", {{L"intensity", L"0.500000"}}, {}}},
        {{L"resize", {{L"width", L"17"}, {L"height", L"9"}, {L"method", L"lanczos"}}, {}},
         {L"convert", {{L"to", L"BGR24"}, {L"alpha-background", L"00ffffff"}}, {}}},
    };
    std::vector<std::vector<BYTE>> expected;
    for (const auto& nodes : setups)
        expected.push_back(packed_pixels(run_to_new(root.Get(), nodes, source.Get()).Get()));

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t != 6; ++t)
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int round = 0; round != 8; ++round) {
                const std::size_t which = (t + round) % setups.size();
                auto output = run_to_new(root.Get(), setups[which], source.Get());
                if (packed_pixels(output.Get()) != expected[which])
                    ++mismatches;
                auto data = data_of(source.Get());
                if (data->try_lock() == S_OK)
                    data->unlock();
            }
            CoUninitialize();
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, 0);
}

TEST_P(engine, png_frames_arrive_through_the_receiver_blended_for_formats_without_alpha) {
    // 3 x 2: opaque orange, transparent green, half-transparent blue; black, white, grey.
    const std::vector<BYTE> rgba = {250, 120, 10, 255, 0,   255, 0,   0,   0,   0,   255, 128,
                                    0,   0,   0,  255, 255, 255, 255, 255, 128, 128, 128, 255};
    ComPtr<IStreamProvider> provider;
    ComPtr<IImageDecoder> decoder;
    ASSERT_EQ(root->create_stream_provider(provider.ReleaseAndGetAddressOf()), S_OK);
    ASSERT_EQ(root->create_image_decoder(decoder.ReleaseAndGetAddressOf()), S_OK);
    auto decode = [&](pixel_format format, keeping_receiver* receiver) {
        ComPtr<IStream> stream;
        {
            std::vector<BYTE> png = make_png(3, 2, rgba);
            EXPECT_EQ(provider->create_memory_stream(png.data(), static_cast<UINT32>(png.size()),
                                                     stream.ReleaseAndGetAddressOf()),
                      S_OK);
        } // the stream keeps its own copy
        ComPtr<recording_handler> handler;
        handler = adopt(new recording_handler);
        return decoder->decode(stream.Get(), format, VARIANT_FALSE, receiver, 0, handler.Get());
    };

    ComPtr<keeping_receiver> receiver;
    receiver = adopt(new keeping_receiver);
    ASSERT_EQ(decode(pixel_format::bgr24, receiver.Get()), S_OK) << error_description();
    EXPECT_EQ(receiver->delivered, 1);
    EXPECT_EQ(receiver->ended, (std::pair{1, 1}));
    EXPECT_EQ(receiver->offered_size, (std::pair{3, 2}));
    ASSERT_TRUE(receiver->kept);
    const auto bgr = packed_pixels(receiver->kept.Get());
    const std::vector<BYTE> opaque_first_and_second_row = {10, 120, 250, 255, 255, 255};
    EXPECT_TRUE(
        std::equal(opaque_first_and_second_row.begin(), opaque_first_and_second_row.end(), bgr.begin()));
    EXPECT_NEAR(bgr[6], 255 * 128 / 255.0 + 255 * 127 / 255.0, 1.0);
    EXPECT_NEAR(bgr[8], 255 * 127 / 255.0, 1.0) << "red: the white background behind half-transparent blue";
    EXPECT_EQ((std::vector<BYTE>(bgr.begin() + 9, bgr.end())),
              (std::vector<BYTE>{0, 0, 0, 255, 255, 255, 128, 128, 128}));

    EXPECT_EQ(service_of(root.Get())->shutdown(), S_OK) << "decoding goes on after the caches are dropped";
    receiver = adopt(new keeping_receiver);
    ASSERT_EQ(decode(pixel_format::bgra32, receiver.Get()), S_OK);
    const auto bgra = packed_pixels(receiver->kept.Get());
    EXPECT_EQ((std::vector<BYTE>(bgra.begin(), bgra.begin() + 12)),
              (std::vector<BYTE>{10, 120, 250, 255, 0, 255, 0, 0, 255, 0, 0, 128}));

    receiver = adopt(new keeping_receiver(false));
    ASSERT_EQ(decode(pixel_format::bgr24, receiver.Get()), S_OK);
    EXPECT_EQ(receiver->delivered, 0);
    EXPECT_EQ(receiver->ended, (std::pair{0, 1}));

    const BYTE garbage[] = "this is not an image";
    ComPtr<IStream> stream;
    ASSERT_EQ(provider->create_memory_stream(garbage, sizeof garbage, stream.ReleaseAndGetAddressOf()), S_OK);
    receiver = adopt(new keeping_receiver);
    EXPECT_TRUE(FAILED(
        decoder->decode(stream.Get(), pixel_format::bgr24, VARIANT_FALSE, receiver.Get(), 0, nullptr)));
    EXPECT_FALSE(error_description().empty());
}

TEST_P(engine, no_engine_object_outlives_its_last_release) {
    const LONG before = live_engine_objects();
    {
        auto image = make_image(root.Get(), 4, 4, pixel_format::gray8);
        auto operation = build_operation(root.Get(), plugin_stage_nodes());
        ComPtr<IUnknown> shared;
        root->create_shared_data(shared.ReleaseAndGetAddressOf());
        ComPtr<IStreamProvider> provider;
        root->create_stream_provider(provider.ReleaseAndGetAddressOf());
        EXPECT_GT(live_engine_objects(), before);
    }
    EXPECT_EQ(live_engine_objects(), before);
    root.Reset();
    EXPECT_EQ(live_engine_objects(), 0);
    using can_unload = HRESULT(WINAPI*)();
    auto unload = reinterpret_cast<can_unload>(
        reinterpret_cast<void*>(GetProcAddress(engine_module(), "DllCanUnloadNow")));
    ASSERT_NE(unload, nullptr);
    EXPECT_EQ(unload(), S_OK);
}

TEST_P(engine, trace_hook_appends_one_line_per_chain_call_with_its_arguments) {
    const std::wstring path = temp_file_path(L"engine-trace-");
    {
        scoped_environment trace(L"ZORVANE_STANDIN_TRACE", path);
        auto traced = create_engine(GetParam());
        auto source = make_image(traced.Get(), 4, 2, pixel_format::rgba32);
        auto destination = make_image(traced.Get(), 4, 2, pixel_format::bgr24);
        ComPtr<IFilterChain> chain;
        ASSERT_EQ(traced->create_chain(chain.ReleaseAndGetAddressOf()), S_OK);
        ComPtr<IFilter> node;
        ASSERT_EQ(chain->add_node(bstr(L"convert"), nullptr, node.ReleaseAndGetAddressOf()), S_OK);
        ASSERT_EQ(node->set_property(bstr(L"to"), bstr(L"BGR24")), S_OK);
        ASSERT_EQ(node->set_property(bstr(L"colour"), bstr(L"a \"b\"")), E_INVALIDARG);
        ASSERT_EQ(node->commit(), S_OK);
        ComPtr<IOperation> operation;
        ASSERT_EQ(chain->build(operation.ReleaseAndGetAddressOf()), S_OK);
        INT32 width = 0, height = 0;
        pixel_format format{};
        ASSERT_EQ(operation->query_output(source.Get(), 0, &width, &height, &format), S_OK);
        ASSERT_EQ(run_operation(operation.Get(), source.Get(), destination.Get()), S_OK);
        auto service = service_of(traced.Get());
        service->interrupt();
        service->shutdown();
    }
    const std::vector<std::string> expected = {
        "create_chain chain=3 hr=0x00000000",
        "add_node chain=3 name=\"convert\" shared=0 node=4 hr=0x00000000",
        "set_property node=4 name=\"to\" value=\"BGR24\" hr=0x00000000",
        "set_property node=4 name=\"colour\" value=\"a \\\"b\\\"\" hr=0x80070057",
        "commit node=4 hr=0x00000000",
        "build chain=3 operation=5 hr=0x00000000",
        "query_output operation=5 source=1:4x2:12 width=4 height=2 format=4 hr=0x00000000",
        "run operation=5 source=1:4x2:12 destination=2:4x2:4 hr=0x00000000",
        "interrupt hr=0x00000000",
        "shutdown hr=0x00000000",
    };
    EXPECT_EQ(read_lines(path), expected);
    DeleteFileW(path.c_str());
}

TEST_P(engine, failing_node_hook_fails_runs_of_that_node_with_a_description) {
    scoped_environment failing(L"ZORVANE_STANDIN_FAIL_NODE", L"grain-fat");
    auto hooked = create_engine(GetParam());
    auto source = make_image(hooked.Get(), 8, 8, pixel_format::rgb24);
    auto destination = make_image(hooked.Get(), 8, 8, pixel_format::rgb24);
    EXPECT_EQ(run_operation(
                  build_operation(hooked.Get(), {{L"grain-fat", {{L"intensity", L"0.500000"}}, {}}}).Get(),
                  source.Get(), destination.Get()),
              E_FAIL);
    EXPECT_NE(error_description().find(L"grain-fat"), std::wstring::npos);
    EXPECT_EQ(
        run_operation(
            build_operation(hooked.Get(), {{L"grain-regular", {{L"intensity", L"0.500000"}}, {}}}).Get(),
            source.Get(), destination.Get()),
        S_OK);
}

int main(int argc, char** argv) {
    // The tests call the engine from this thread and from threads of their own, all in the
    // multithreaded apartment, as the plug-in's workers do.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
