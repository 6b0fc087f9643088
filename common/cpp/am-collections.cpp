#include "am-collections.h"

#include <algorithm>
#include <bit>
#include <cstdlib>

#include "am-common.h"

namespace cpp {

std::uint32_t calc_reserve(std::uint32_t new_length, std::uint32_t extra) {
    constexpr std::uint32_t limit = 0x3fffffff;
    if (new_length < 0x1fffffff) {
        // Double precision on purpose (the build keeps doubles in SSE registers): with 80-bit x87
        // intermediates 10 * 1.7 would truncate to 16 instead of 17.
        const auto grown = static_cast<std::uint32_t>(static_cast<double>(new_length) * 1.7);
        return std::max(grown, new_length + extra + 1);
    }
    if (new_length < limit)
        return limit;
    constexpr auto fixed = failure_message("calc_reserve", "25", AM_LIBRARY_SOURCE("am-collections.cpp"),
                                           "new_length is too large: ");
    std::string message(fixed.c_str(), fixed.size());
    message += to_decimal_string(new_length);
    message += "  - must be < ";
    message += to_decimal_string(limit);
    throw exceptional::allocationFailure(std::move(message));
}

bool nearly_equal(double a, double b, unsigned bits) noexcept {
    constexpr std::uint64_t fraction_mask = (std::uint64_t{1} << 52) - 1;
    const auto ua = std::bit_cast<std::uint64_t>(a);
    const auto ub = std::bit_cast<std::uint64_t>(b);
    const int ea = static_cast<int>((ua >> 52) & 0x7ff) - 1023;
    const int eb = static_cast<int>((ub >> 52) & 0x7ff) - 1023;
    if (std::abs(ea - eb) > 1)
        return false;
    auto ma = static_cast<std::int64_t>((ua & fraction_mask) | (std::uint64_t{1} << 52));
    auto mb = static_cast<std::int64_t>((ub & fraction_mask) | (std::uint64_t{1} << 52));
    // Put both significands on the scale of the smaller exponent, so neighbours across a power of two
    // differ by their true distance.
    if (ea > eb)
        ma *= 2;
    else if (eb > ea)
        mb *= 2;
    if ((ua >> 63) != 0)
        ma = -ma;
    if ((ub >> 63) != 0)
        mb = -mb;
    const std::int64_t tolerance = bits >= 52 ? 1 : std::int64_t{1} << (52 - bits);
    const std::int64_t difference = ma - mb;
    return (difference < 0 ? -difference : difference) < tolerance;
}

} // namespace cpp
