// Bit-level views of doubles, for the checks that results agree to the last bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace lumeth {

// The 64 bits of a double.
inline std::uint64_t bit_pattern(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// The double with the 64 bits `bits`.
inline double from_bits(std::uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Equal bits, or both NaN (any NaN equals any NaN: payloads differ between libraries and
// devices). +0 and -0 differ.
inline bool same_bits(double a, double b) {
    return bit_pattern(a) == bit_pattern(b) || (std::isnan(a) && std::isnan(b));
}

// The number of representable doubles from a to b (+0 and -0 count as one value). Neither
// may be NaN.
inline std::uint64_t ulp_distance(double a, double b) {
    // A key that orders doubles as integers: the magnitude's bits, negated for negative
    // values, so that -0 and +0 share the key 0 and neighbouring doubles have neighbouring keys.
    auto ordered_key = [](double v) {
        const std::uint64_t u = bit_pattern(v);
        const std::int64_t magnitude = static_cast<std::int64_t>(u & 0x7fffffffffffffffULL);
        return (u >> 63) != 0 ? -magnitude : magnitude;
    };
    const std::int64_t ka = ordered_key(a);
    const std::int64_t kb = ordered_key(b);
    // The true difference is below 2^64, so the unsigned wrap-around subtraction gives it.
    return ka >= kb ? static_cast<std::uint64_t>(ka) - static_cast<std::uint64_t>(kb)
                    : static_cast<std::uint64_t>(kb) - static_cast<std::uint64_t>(ka);
}

}  // namespace lumeth
