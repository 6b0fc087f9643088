#include "settings-key.h"

#include "image-processor.h"
#include "resource.h"

namespace tessolux {

namespace {

std::wstring settings_key_path(const std::wstring& installation) {
    return L"Software\\Veltrin Media\\" + module_string(IDS_PRODUCT_NAME) + L"\\" + installation;
}

} // namespace

system_ui::key_handle open_current_user(REGSAM access) {
    HKEY root = nullptr;
    system_ui::registry_check{} <<= RegOpenCurrentUser(access, &root);
    return system_ui::key_handle(root);
}

system_ui::key_handle open_settings_key(HKEY root, const std::wstring& installation) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, settings_key_path(installation).c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return {};
    return system_ui::key_handle(opened);
}

system_ui::key_handle create_settings_key(HKEY root, const std::wstring& installation) {
    HKEY created = nullptr;
    system_ui::registry_check{} <<=
        RegCreateKeyExW(root, settings_key_path(installation).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &created, nullptr);
    return system_ui::key_handle(created);
}

std::optional<std::uint32_t> read_dword(HKEY key, const wchar_t* name) {
    if (key == nullptr)
        return std::nullopt;
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof data;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof data)
        return std::nullopt;
    return data;
}

void write_dword(HKEY key, const wchar_t* name, std::uint32_t value) {
    const DWORD data = value;
    system_ui::registry_check{} <<=
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
}

} // namespace tessolux
