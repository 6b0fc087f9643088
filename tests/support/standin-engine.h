// What the tests read of the stand-in engine loaded in their process. Header only: the engine's own
// tests and the benchmarks use it too.
#pragma once

#include <stdexcept>

#include <windows.h>

namespace test_support {

// The objects the engine in this process holds alive; 0 when it is not loaded, since nothing of it can
// be alive then.
inline LONG live_engine_objects() {
    const HMODULE engine = GetModuleHandleW(L"ZorvaneImageProcessor2.dll");
    if (engine == nullptr)
        return 0;
    const auto count = reinterpret_cast<LONG(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(engine, "ZorvaneStandinLiveObjects")));
    if (count == nullptr)
        throw std::runtime_error("the engine exports no ZorvaneStandinLiveObjects");
    return count();
}

} // namespace test_support
