#include "parameter-text.h"

#include <bit>
#include <vector>

namespace tessolux {

namespace {

constexpr std::uint32_t limb_base = 1'000'000'000;

// Appends value as exactly count decimal digits, with leading zeros.
void append_padded(std::wstring& text, std::uint64_t value, int count) {
    wchar_t digits[20];
    for (int i = count - 1; i >= 0; --i) {
        digits[i] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    }
    text.append(digits, static_cast<std::size_t>(count));
}

// The digits of mantissa x 2^power, an integer of up to 128 bits, through limbs of nine decimal digits
// (least significant first).
void append_integer(std::wstring& text, std::uint32_t mantissa, int power) {
    std::vector<std::uint32_t> limbs{mantissa % limb_base, mantissa / limb_base};
    for (int i = 0; i != power; ++i) {
        std::uint32_t carry = 0;
        for (std::uint32_t& limb : limbs) {
            const std::uint32_t doubled = limb * 2 + carry;
            carry = doubled >= limb_base ? 1 : 0;
            limb = doubled - carry * limb_base;
        }
        if (carry != 0)
            limbs.push_back(carry);
    }
    while (limbs.size() > 1 && limbs.back() == 0)
        limbs.pop_back();
    text += std::to_wstring(limbs.back());
    for (std::size_t i = limbs.size() - 1; i-- != 0;)
        append_padded(text, limbs[i], 9);
}

} // namespace

std::wstring to_text(int value) {
    return std::to_wstring(value);
}

std::wstring to_text(unsigned value) {
    return std::to_wstring(value);
}

// The float's exact binary value, mantissa x 2^power, is rounded to millionths by integer arithmetic:
// no floating-point formatting is involved, so neither the locale nor the runtime's printf can change a
// digit.
std::wstring to_text(float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t biased = (bits >> 23) & 0xff;
    const std::uint32_t fraction = bits & 0x7fffff;
    std::wstring text = (bits >> 31) != 0 ? L"-" : L"";
    if (biased == 0xff)
        return text + (fraction != 0 ? L"nan" : L"inf");
    const std::uint32_t mantissa = biased == 0 ? fraction : fraction | 0x800000;
    const int power = static_cast<int>(biased == 0 ? 1 : biased) - 150;
    if (power >= 0) {
        append_integer(text, mantissa, power);
        text += L".000000";
        return text;
    }
    // value x 10^6 = mantissa x 10^6 / 2^shift; the numerator stays below 2^44. From a shift of 46 on the
    // quotient is below one half and rounds to 0.
    const unsigned shift = static_cast<unsigned>(-power);
    std::uint64_t millionths = 0;
    if (shift < 64) {
        const std::uint64_t scaled = std::uint64_t{mantissa} * 1'000'000;
        millionths = scaled >> shift;
        const std::uint64_t rest = scaled & ((std::uint64_t{1} << shift) - 1);
        const std::uint64_t half = std::uint64_t{1} << (shift - 1);
        if (rest > half || (rest == half && (millionths & 1) != 0))
            ++millionths;
    }
    text += std::to_wstring(millionths / 1'000'000);
    text += L'.';
    append_padded(text, millionths % 1'000'000, 6);
    return text;
}

cpp::static_wstring<4> to_hex_text(std::uint16_t value) noexcept {
    constexpr wchar_t digits[] = L"0123456789ABCDEF";
    cpp::static_wstring<4> text;
    for (int i = 0; i != 4; ++i)
        text[static_cast<std::size_t>(i)] = digits[(value >> (12 - 4 * i)) & 0xf];
    return text;
}

cpp::static_wstring<8> to_hex_text(std::uint32_t value) noexcept {
    return to_hex_text(static_cast<std::uint16_t>(value >> 16)) +
           to_hex_text(static_cast<std::uint16_t>(value & 0xffff));
}

} // namespace tessolux
