// The settings of one host installation in the current user's registry: "Software\Veltrin Media\" + the
// product's name + "\" + the installation's key, holding REG_DWORD values only. The filter settings and
// the window settings share it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <windows.h>

#include "win-common.h"

namespace tessolux {

// The current user's root; a failure throws "registry failure!".
system_ui::key_handle open_current_user(REGSAM access);
// The installation's key for reading, or an empty holder when it is not there (a first run, or the
// factory defaults' "empty" key that nobody writes).
system_ui::key_handle open_settings_key(HKEY root, const std::wstring& installation);
// The installation's key for writing, made when missing; a failure throws.
system_ui::key_handle create_settings_key(HKEY root, const std::wstring& installation);

// The value when it is there as a 4-byte REG_DWORD; a missing key or value, another type or another size
// is no value.
std::optional<std::uint32_t> read_dword(HKEY key, const wchar_t* name);
// A failure throws, and the values after it are not written.
void write_dword(HKEY key, const wchar_t* name, std::uint32_t value);

} // namespace tessolux
