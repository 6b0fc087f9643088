// What both acceptance programs share: the built module loaded as a host loads it, and a photo.
#pragma once

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>

#include "host/filter-host.h"

namespace acceptance {

// The built module copied to a path of its own: its settings key, made from its path, is then the test's
// alone and starts empty, as on a user's first run.
class private_module {
public:
    explicit private_module(const std::wstring& name) {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        path_ = temp + (L"tessolux-" + name + L"-" + std::to_wstring(GetCurrentProcessId()) + L".8bf");
        if (!CopyFileW(L"Tessolux3.8bf", path_.c_str(), FALSE))
            throw std::runtime_error("the module cannot be copied");
        module_.emplace(path_);
        key_ = L"Software\\Veltrin Media\\Tessolux 3 Plugin\\" + tessolux::instance_key(module_->handle());
        RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
    }
    ~private_module() {
        module_.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
        DeleteFileW(path_.c_str());
    }
    filter_host::plugin_module& module() { return *module_; }

private:
    std::wstring path_, key_;
    std::optional<filter_host::plugin_module> module_;
};

// Smooth light, a bright disc with a sharp edge, fine grain.
inline filter_host::image make_photo(std::int32_t width, std::int32_t height, std::int16_t planes,
                                     std::int32_t depth) {
    filter_host::image photo(width, height, planes, depth);
    std::uint32_t noise = 12345;
    for (std::size_t i = 0; i != photo.samples.size(); ++i) {
        const double u = static_cast<double>(i / planes % width) / width,
                     v = (i / planes / width) / double(height);
        noise = noise * 1664525u + 1013904223u;
        const double light =
            std::hypot(u - 0.7, v - 0.3) < 0.12 ? 0.95 : 0.15 + 0.5 * (1.0 - v) * u + 0.1 * (i % planes);
        const double value = light + (static_cast<double>(noise >> 24) - 128.0) / 2048.0;
        photo.samples[i] = static_cast<std::uint16_t>(
            std::lround(std::clamp(value, 0.0, 1.0) * (depth == 16 ? 32768.0 : 255.0)));
    }
    return photo;
}

// A selection of the right part with a soft edge: nothing left of a third of the width, all from a half.
inline filter_host::selection make_selection(std::int32_t width, std::int32_t height) {
    filter_host::selection mask{width, height,
                                std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height)};
    for (std::size_t i = 0; i != mask.bytes.size(); ++i)
        mask.bytes[i] =
            static_cast<std::uint8_t>(std::clamp((6.0 * (i % width) / width - 2.0) * 255.0, 0.0, 255.0));
    return mask;
}

} // namespace acceptance
