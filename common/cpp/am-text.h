// Text services shared by the window code and the COM layer: positional formatting of the string
// table's patterns and UTF-16 to UTF-8 conversion.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <type_traits>

#include "am-resizable-array.h"

namespace cpp {

// Fills a pattern from the string table: "%n" (one or two digits) is argument n, counted from 1, and
// "%%" is one "%". A placeholder without its argument throws std::out_of_range ("operator ()"), so a
// mistranslated pattern shows up as a failure instead of a half-filled text.
std::wstring format_text(const std::wstring& pattern, ranges::array_range<const std::wstring> arguments);

// Plain decimal: "-" before a negative number, no leading zeros, no grouping.
std::wstring format_argument(unsigned value);
std::wstring format_argument(int value);
inline const std::wstring& format_argument(const std::wstring& text) {
    return text;
}

template <class T>
concept text_argument = std::same_as<T, std::wstring> ||
    (std::integral<T> && !std::same_as<T, bool> && sizeof(T) <= sizeof(int));

// The typed forms: numbers and strings in the order the pattern numbers them.
template <text_argument... Args>
requires(sizeof...(Args) > 0) std::wstring format_text(const std::wstring& pattern, const Args&... args) {
    auto as_argument = []<class T>(const T& value) -> std::wstring {
        if constexpr (std::same_as<T, std::wstring>)
            return value;
        else if constexpr (std::is_signed_v<T>)
            return format_argument(static_cast<int>(value));
        else
            return format_argument(static_cast<unsigned>(value));
    };
    const std::wstring arguments[] = {as_argument(args)...};
    return format_text(pattern, ranges::array_range<const std::wstring>(arguments));
}

// The text in normalisation form C, encoded as UTF-8. Never throws for bad text: a COM error
// description must survive whatever characters it holds.
std::string to_utf8(const std::wstring& text);

} // namespace cpp
