// The CPU path relies on fma() being correctly rounded wherever the instruction set has no
// FMA instruction: in the reference loops and in the x86-64 level's loops, which then give the
// bits of the x86-64-v3 and x86-64-v4 levels and of the GPU. glibc's fma() is. The fma() of
// MinGW-w64's C runtime (libmingwex, version 10 as in Debian 12) is not: for about a quarter
// of random operands its result differs from the correctly rounded one. On MinGW this file
// therefore also defines
// fma() itself; the linker takes it from the kernels library before it reaches the C
// runtime's, for every program that links the library.
#include "exact_fma.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

namespace lumeth {

#ifndef __SIZEOF_INT128__
// A compiler without 128-bit integers (MSVC) takes the C library's fma(): that of Microsoft's
// Universal C Runtime, documented as one rounding of the exact result (not checked here: the
// fused multiply-add test can compare it with the FMA instruction only under GCC or Clang).
double exact_fma(double x, double y, double z) {
    return std::fma(x, y, z);
}
#else
namespace {

using u64 = std::uint64_t;
using u128 = unsigned __int128;

struct Unpacked {
    bool negative;
    u64 mantissa;  // the value is mantissa * 2^exponent
    int exponent;
};

// A finite non-zero double.
Unpacked unpack(double v) {
    u64 bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    const u64 fraction = bits & ((u64{1} << 52) - 1);
    if (biased == 0) {
        return {(bits >> 63) != 0, fraction, -1074};  // subnormal
    }
    return {(bits >> 63) != 0, fraction | (u64{1} << 52), biased - 1075};
}

int top_bit(u128 v) {
    const u64 high = static_cast<u64>(v >> 64);
    return high != 0 ? 127 - __builtin_clzll(high) : 63 - __builtin_clzll(static_cast<u64>(v));
}

// v / 2^shift with every bit shifted out folded into bit 0.
u128 shift_right_sticky(u128 v, int shift) {
    if (shift <= 0) {
        return v;
    }
    if (shift >= 128) {
        return v != 0 ? 1 : 0;
    }
    const u128 lost = v & ((u128{1} << shift) - 1);
    return (v >> shift) | (lost != 0 ? 1 : 0);
}

}  // namespace

double exact_fma(double x, double y, double z) {
    const double product = x * y;
    // Non-finite operands, and a product that is exactly zero: x * y + z is already the
    // correctly rounded result (and gives IEEE's infinities, NaNs and signs of zero), except
    // that a product of finite operands is never infinite.
    const bool finite_factors = x - x == 0.0 && y - y == 0.0;
    if (finite_factors && !(z - z == 0.0)) {
        return z + 0.0;
    }
    if (!finite_factors || x == 0.0 || y == 0.0) {
        return product + z;
    }
    if (z == 0.0) {
        return product;  // one rounding of x*y, whose sign a zero z cannot change
    }
    const Unpacked a = unpack(x);
    const Unpacked b = unpack(y);
    const Unpacked c = unpack(z);

    // Both terms exactly, as 128-bit integers whose top bit is bit 124, times 2^exponent.
    const u128 p = static_cast<u128>(a.mantissa) * b.mantissa;  // at most 106 bits
    u128 big = p << (124 - top_bit(p));
    int big_exponent = a.exponent + b.exponent - (124 - top_bit(p));
    bool big_negative = a.negative != b.negative;
    u128 small = static_cast<u128>(c.mantissa) << (124 - top_bit(c.mantissa));
    int small_exponent = c.exponent - (124 - top_bit(c.mantissa));
    bool small_negative = c.negative;
    if (small_exponent > big_exponent || (small_exponent == big_exponent && small > big)) {
        std::swap(big, small);
        std::swap(big_exponent, small_exponent);
        std::swap(big_negative, small_negative);
    }
    // Both terms' low bits are zero (at least 19 of them), so the sticky bit below keeps the
    // sum on the right side of every rounding boundary.
    small = shift_right_sticky(small, big_exponent - small_exponent);
    const u128 sum = big_negative == small_negative ? big + small : big - small;
    if (sum == 0) {
        return 0.0;  // exact cancellation: +0 when rounding to nearest
    }

    // Round sum * 2^big_exponent to 53 bits, or fewer for a subnormal result.
    const int top = top_bit(sum);
    int exponent = big_exponent + top - 52;  // of the result's last mantissa bit
    if (exponent < -1074) {
        exponent = -1074;
    }
    const int shift = exponent - big_exponent;
    u64 mantissa;
    if (shift <= 0) {
        mantissa = static_cast<u64>(sum << -shift);
    } else if (shift >= 127) {
        mantissa = 0;  // below half the smallest subnormal: sum < 2^126 <= half
    } else {
        mantissa = static_cast<u64>(sum >> shift);
        const u128 rest = sum & ((u128{1} << shift) - 1);
        const u128 half = u128{1} << (shift - 1);
        if (rest > half || (rest == half && (mantissa & 1) != 0)) {
            ++mantissa;
            if (mantissa == (u64{1} << 53)) {
                mantissa >>= 1;
                ++exponent;
            }
        }
    }
    u64 bits;
    if (mantissa == 0) {
        bits = 0;
    } else if (exponent > 971) {
        bits = u64{0x7ff} << 52;  // overflow to infinity
    } else if (mantissa >= (u64{1} << 52)) {
        bits = (static_cast<u64>(exponent + 1075) << 52) | (mantissa & ((u64{1} << 52) - 1));
    } else {
        bits = mantissa;  // subnormal: exponent is -1074
    }
    if (big_negative) {
        bits |= u64{1} << 63;
    }
    double result;
    std::memcpy(&result, &bits, sizeof result);
    return result;
}

#endif  // __SIZEOF_INT128__

}  // namespace lumeth

#ifdef __MINGW32__
extern "C" double fma(double x, double y, double z) {
    return lumeth::exact_fma(x, y, z);
}
#endif
