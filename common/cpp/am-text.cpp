#include "am-text.h"

#include <windows.h>

namespace cpp {

namespace {

// UTF-8 of exactly count characters; a failing conversion gives an empty text. Flags 0: an unpaired
// surrogate becomes U+FFFD instead of failing the whole text.
std::string encode_utf8(const wchar_t* text, int count) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, count, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string result(static_cast<std::size_t>(size), '\0');
    const int written = WideCharToMultiByte(CP_UTF8, 0, text, count, result.data(), size, nullptr, nullptr);
    if (written <= 0)
        return {};
    result.resize(static_cast<std::size_t>(written));
    return result;
}

} // namespace

std::string to_utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    const int length = static_cast<int>(text.size());
    int estimate = NormalizeString(NormalizationC, text.data(), length, nullptr, 0);
    // The estimate may be too short; NormalizeString then answers with the negated length it needs.
    // A bounded number of rounds: each one at least doubles the buffer.
    for (int round = 0; estimate > 0 && round != 8; ++round) {
        std::wstring normalized(static_cast<std::size_t>(estimate), L'\0');
        const int written = NormalizeString(NormalizationC, text.data(), length, normalized.data(), estimate);
        if (written > 0)
            return encode_utf8(normalized.data(), written);
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            break;
        estimate = -written > estimate ? -written : estimate * 2;
    }
    // Text that cannot be normalised (an unpaired surrogate, say) is still worth showing as it is.
    return encode_utf8(text.data(), length);
}

} // namespace cpp
