#include "pipeline-test-support.h"

#include <stdexcept>

namespace pipeline_test {

LONG live_engine_objects() {
    const HMODULE engine = GetModuleHandleW(L"ZorvaneImageProcessor2.dll");
    if (engine == nullptr)
        return 0; // not loaded: nothing of it can be alive
    const auto count = reinterpret_cast<LONG(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(engine, "ZorvaneStandinLiveObjects")));
    if (count == nullptr)
        throw std::runtime_error("the engine exports no ZorvaneStandinLiveObjects");
    return count();
}

void engine_world::SetUp() {
    ASSERT_GE(CoInitializeEx(nullptr, COINIT_MULTITHREADED), 0);
    engine = tessolux::create_engine_context();
}

void engine_world::TearDown() {
    engine = {};
    EXPECT_EQ(live_engine_objects(), 0) << "every engine object the pipeline made has been released";
    CoUninitialize();
}

pixels pixels_of(const image_frame& frame) {
    com_ptr<zorvane::IImageData> data;
    if (FAILED(frame.image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void())))
        throw std::runtime_error("an engine image without IImageData");
    pixels result{};
    if (FAILED(data->get_buffer(&result.data, &result.bytes, &result.stride, &result.format, &result.width)))
        throw std::runtime_error("get_buffer failed");
    return result;
}

} // namespace pipeline_test
