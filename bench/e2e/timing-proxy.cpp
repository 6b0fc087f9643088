// A filter module that stands between the filter host and the plug-in: it carries the plug-in's property
// list and strings, loads Tessolux3.8bf from its own folder, and forwards every PluginMain call, noting the
// performance counter when each selector's call enters and when it returns. The benchmark reads the
// stamps to time the plug-in's own entry without touching the host or the plug-in.
#include <windows.h>

#include <cstdint>
#include <string>

#include "plugin/host-entry.h"

namespace {

HMODULE proxy_module = nullptr;
tessolux::host::entry_point target = nullptr;
// Entry and return of the last call of each selector 0 to 5.
std::int64_t stamps[6][2] = {};

std::int64_t now() noexcept {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

tessolux::host::entry_point load_target() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(proxy_module, path, MAX_PATH);
    std::wstring folder(path, length);
    folder.erase(folder.find_last_of(L'\\') + 1);
    const HMODULE plugin = LoadLibraryW((folder + L"Tessolux3.8bf").c_str());
    return plugin == nullptr ? nullptr
                             : reinterpret_cast<tessolux::host::entry_point>(
                                   reinterpret_cast<void*>(GetProcAddress(plugin, "PluginMain")));
}

} // namespace

extern "C" __declspec(dllexport) void PluginMain(std::int16_t selector, tessolux::host::FilterRecord* record,
                                                 std::intptr_t* data, std::int16_t* result) {
    if (target == nullptr)
        target = load_target();
    const bool known = selector >= 0 && selector <= 5;
    if (known)
        stamps[selector][0] = now();
    if (target != nullptr)
        target(selector, record, data, result);
    else if (result != nullptr)
        *result = tessolux::host::filterBadParameters;
    if (known)
        stamps[selector][1] = now();
}

// The performance counter at the entry (edge 0) or return (edge 1) of the last call of a selector.
extern "C" __declspec(dllexport) std::int64_t TimingProxyStamp(int selector, int edge) {
    return selector >= 0 && selector <= 5 && (edge == 0 || edge == 1) ? stamps[selector][edge] : 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        proxy_module = instance;
    return TRUE;
}
