#include "am-common.h"

#include <system_error>

#include <windows.h>

namespace cpp {

void throw_last_error(const char* message) {
    // First thing: nothing may run between the failed call and this read.
    const DWORD code = GetLastError();
    throw std::system_error(static_cast<int>(code), std::system_category(), message);
}

std::string to_decimal_string(std::uint64_t value) {
    char digits[20];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    std::string text;
    text.reserve(count);
    while (count != 0)
        text.push_back(digits[--count]);
    return text;
}

void throw_allocation_failure(const char* method, const char* file, std::uint32_t size) {
    std::string message(method);
    message += " failed in ";
    message += file;
    message += "\n - allocation routine returned nullptr:  size == ";
    message += to_decimal_string(size);
    throw exceptional::allocationFailure(std::move(message));
}

namespace {
template <class Ch> std::basic_string<Ch> hex_digits(std::uint32_t value) {
    std::basic_string<Ch> text(8, Ch('0'));
    for (int i = 7; i >= 0; --i, value >>= 4) {
        const unsigned digit = value & 0xF;
        text[i] = static_cast<Ch>(digit < 10 ? '0' + digit : 'a' + digit - 10);
    }
    return text;
}
} // namespace

std::string to_hex_string(std::uint32_t value) { return hex_digits<char>(value); }
std::string to_hex_string(const void* address) {
    return hex_digits<char>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address)));
}
std::wstring to_hex_wstring(std::uint32_t value) { return hex_digits<wchar_t>(value); }

} // namespace cpp
