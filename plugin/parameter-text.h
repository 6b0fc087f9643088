// The texts in which numbers are handed to the engine: every filter parameter is a wide string. None of
// them depends on the process locale: a host that set a locale with a decimal comma must not turn
// "0.250000" into "0,250000", which the engine would refuse.
#pragma once

#include <cstdint>
#include <string>

#include "am-common.h"

namespace tessolux {

// Decimal digits, "-" before a negative number.
std::wstring to_text(int value);
std::wstring to_text(unsigned value);
// Exactly what "%f" prints in the C locale for the value widened to double: six digits after the
// point, correctly rounded (an exact tie goes to the even digit), "-" whenever the sign bit is set.
std::wstring to_text(float value);

// Exactly four, or eight, upper-case hexadecimal digits, most significant first.
cpp::static_wstring<4> to_hex_text(std::uint16_t value) noexcept;
cpp::static_wstring<8> to_hex_text(std::uint32_t value) noexcept;

} // namespace tessolux
