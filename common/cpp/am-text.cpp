#include "am-text.h"

#include <climits>

#include <windows.h>

#include "am-common.h"

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
    alignedBuffer normalized;
    // The estimate may fall short; NormalizeString then answers with the negated length it needs. The next
    // round takes that or twice the last size, whichever is more, so a few rounds always suffice.
    for (int round = 0; estimate > 0 && estimate < INT_MAX / 4 && round != 8; ++round) {
        const auto characters = static_cast<std::uint32_t>(estimate) + 1;
        normalized = alignedBuffer(characters * sizeof(wchar_t), alignedBuffer::minimum_alignment);
        auto* buffer = reinterpret_cast<wchar_t*>(normalized.data());
        const int written = NormalizeString(NormalizationC, text.data(), length, buffer, estimate);
        if (written > 0)
            return encode_utf8(buffer, written);
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            break;
        estimate = -written > estimate * 2 ? -written : estimate * 2;
    }
    // Text that cannot be normalised (an unpaired surrogate, say) is still worth showing as it is: it is
    // usually the only account of why an engine call failed.
    return encode_utf8(text.data(), length);
}

} // namespace cpp
