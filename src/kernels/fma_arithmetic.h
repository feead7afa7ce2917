// Correctly rounded division and square root from fused multiply-adds, for the CPU loops of
// the levels with an FMA instruction. Each result is the IEEE operation's own, bit for bit: a
// fast estimate is refined and corrected, then an exact test decides in every lane whether the
// result is the correctly rounded one, and the hardware instruction recomputes the lanes that
// fail it (only when a vector has such a lane).
//
// The test for a quotient q of a / b, q normal and not a power of two, 2^e <= |q| < 2^(e+1):
// the doubles next to q lie 2^(e-52) away on both sides, so q is the double nearest to a / b
// exactly when |a / b - q| < 2^(e-53), that is when
//     |a - b q| < |b| 2^(e-53).                                                      (1)
// Equality cannot occur: a / b is never a midpoint between two doubles (a midpoint has a
// 54-bit odd significand, and the product of it with b's significand would need more than the
// 53 bits a has). The remainder r = fma(-b, q, a) is a - b q rounded once. The bound
// B = 2^e (|b| 2^-53) is computed as a double T <= B, the divisor's factor |b| 2^-53 once per
// divisor: with AVX-512 both products are rounded toward zero; without it they are rounded to
// nearest, a factor not above 2^-1022 is replaced by 0, and the lane must also have
// T > 2^-1022: each product is then a normal power-of-two multiple of b, so exact. Rounding to
// nearest is monotonic and T is a double, so |r| < T can only hold when the exact
// |a - b q| < T <= B: the test is exact even where r itself is rounded.
//
// The test for a square root s of x, s normal and not a power of two, 2^e <= s < 2^(e+1),
// h = 2^(e-53) half the spacing at s: s is the nearest double to sqrt(x) exactly when
// (s - h)^2 < x < (s + h)^2, that is -2sh + h^2 < x - s^2 < 2sh + h^2. With
//     |x - s^2| < 2sh = s 2^(e-52)                                                   (2)
// x > s^2 - 2sh puts x in the binade of s^2 or the one below, so x and s^2 are both multiples
// of 2^(2e-104), and so are x - s^2 and 2sh; h^2 is a quarter of that quantum. Hence
// x - s^2 < 2sh gives x - s^2 - 2sh <= -quantum < -h^2, and x - s^2 > -2sh gives
// x - s^2 + 2sh >= quantum > h^2: (2) implies both sides. r = fma(-s, s, x) and the bound
// T <= (2^e 2^-52) s play the parts they play for the quotient.
//
// A power of two as result has a spacing below it half that above, so (1) and (2) would be
// too wide on one side: such lanes fail the test and go to the hardware instruction.
//
// The exponent window: nothing is assumed of the operands. Zero, subnormal, infinite and NaN
// operands, and operands so large or small that a quotient or root leaves the normal range or
// the bound underflows, all end in a lane that fails the test: q or s is then zero,
// subnormal, infinite or NaN (2^e is 0 or infinite, so T is 0, infinite or NaN and r infinite
// or NaN), or T is 0 (rounded toward zero) or at most 2^-1022 (rounded to nearest). The bound
// cannot overflow while the test passes: with B >= 2^1024, |b q| >= |b| 2^e = 2^53 B would
// exceed |a| by so much that r is infinite. So the fast path covers quotients and roots whose
// bound is normal: |a| and x above about 2^-968, everything else normal and finite.
//
// Estimates: a reciprocal (or reciprocal square root) estimate is refined until its relative
// error is below about 2^-38; one correction step then leaves an error of the order of its
// square, so the test fails only for results within about 2^-80 of a midpoint.
//
// Compiled once per instruction-set level, inside that level's inline namespace (physics.h).
#pragma once

#if !defined(__FMA__)
#error "fma_arithmetic.h needs an FMA instruction (x86-64-v3 or higher)"
#endif

#include <immintrin.h>

#include <cstdint>
#include <experimental/simd>

#include "physics.h"

namespace lumeth {
inline namespace LUMETH_ISA_NAMESPACE {

namespace fma_arithmetic_detail {

namespace stdx = std::experimental;

constexpr std::uint64_t kExponentBits = 0x7ff0000000000000ULL;
constexpr std::uint64_t kSignificandBits = 0x000fffffffffffffULL;
constexpr double kSmallestNormal = 0x1p-1022;

template <typename Lanes>
using Bits = stdx::rebind_simd_t<std::uint64_t, Lanes>;

template <typename Lanes>
Bits<Lanes> bits_of(Lanes v) {
    return stdx::__proposed::simd_bit_cast<Bits<Lanes>>(v);
}

template <typename Lanes>
Lanes from_bits(Bits<Lanes> v) {
    return stdx::__proposed::simd_bit_cast<Lanes>(v);
}

// 2^e for a normal v with 2^e <= |v| < 2^(e+1); 0 for zero and subnormal v, infinity for
// infinite and NaN v.
template <typename Lanes>
Lanes binade(Lanes v) {
    return from_bits<Lanes>(bits_of(v) & kExponentBits);
}

// x * y + z and z - x * y, each rounded once, as single vector instructions (the element-wise
// fma of <experimental/simd> is left to the compiler's vectoriser, which does not always
// manage it).
template <typename Lanes>
Lanes multiply_add(Lanes x, Lanes y, Lanes z) {
#if defined(__AVX512F__)
    return Lanes(_mm512_fmadd_pd(__m512d(x), __m512d(y), __m512d(z)));
#else
    return Lanes(_mm256_fmadd_pd(__m256d(x), __m256d(y), __m256d(z)));
#endif
}

template <typename Lanes>
Lanes negative_multiply_add(Lanes x, Lanes y, Lanes z) {
#if defined(__AVX512F__)
    return Lanes(_mm512_fnmadd_pd(__m512d(x), __m512d(y), __m512d(z)));
#else
    return Lanes(_mm256_fnmadd_pd(__m256d(x), __m256d(y), __m256d(z)));
#endif
}

// Estimates of 1/b and 1/sqrt(x), refined to a relative error below about 2^-38 for normal
// operands well inside the exponent range (elsewhere anything: the tests reject the lanes).
#if defined(__AVX512F__)
template <typename Lanes>
Lanes reciprocal_estimate(Lanes b) {
    static_assert(Lanes::size() == 8, "AVX-512: eight doubles per vector");
    return Lanes(_mm512_rcp14_pd(static_cast<__m512d>(b)));  // relative error < 2^-14
}

template <typename Lanes>
Lanes reciprocal_sqrt_estimate(Lanes x) {
    return Lanes(_mm512_rsqrt14_pd(static_cast<__m512d>(x)));  // relative error < 2^-14
}
constexpr int kReciprocalSteps = 1;      // 2^-14 -> 2^-42 with one cubic step
constexpr int kReciprocalSqrtSteps = 1;  // likewise
#else
// Without AVX-512 there is no estimate instruction for doubles: the estimate comes from the
// bit pattern (the exponent negated, the significand mirrored), within 5.1% for 1/b and
// 3.5% for 1/sqrt(x).
template <typename Lanes>
Lanes reciprocal_estimate(Lanes b) {
    return from_bits<Lanes>(Bits<Lanes>(0x7fde623822fc16e6ULL) - bits_of(b));
}

template <typename Lanes>
Lanes reciprocal_sqrt_estimate(Lanes x) {
    return from_bits<Lanes>(Bits<Lanes>(0x5fe6eb50c7b537a9ULL) - (bits_of(x) >> 1));
}
constexpr int kReciprocalSteps = 2;      // 2^-4.3 -> 2^-12.9 -> 2^-38.7, cubic steps
constexpr int kReciprocalSqrtSteps = 2;  // 2^-4.9 -> 2^-13.4 -> 2^-38.9, cubic steps
#endif

// The bounds of tests (1) and (2) as products x * y of positive factors, each factor at most
// its exact value, and a divisor's factor |b| 2^-53 prepared with it.
#if defined(__AVX512F__)
// With AVX-512 the products are rounded toward zero, so T <= B whatever the exponents.
template <typename Lanes>
Lanes bound_product(Lanes x, Lanes y) {
    return Lanes(
        _mm512_mul_round_pd(__m512d(x), __m512d(y), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC));
}

template <typename Lanes>
Lanes divisor_bound_factor(Lanes magnitude) {
    return bound_product(magnitude, Lanes(0x1p-53));
}

// `result` where the test passes, that is where |remainder| < bound and result is no power of
// two (nor zero); exact() in the other lanes, evaluated only when there are any. The
// conditions are one chain of masked compares, each taking the lanes the one before passed.
template <typename Lanes, typename Exact>
Lanes checked(Lanes result, Lanes remainder, Lanes bound, Exact exact) {
    const __m512d r = __m512d(result);
    const __mmask8 fraction = _mm512_test_epi64_mask(
        _mm512_castpd_si512(r), _mm512_set1_epi64(static_cast<long long>(kSignificandBits)));
    const __mmask8 pass = _mm512_mask_cmp_pd_mask(fraction, _mm512_abs_pd(__m512d(remainder)),
                                                  __m512d(bound), _CMP_LT_OQ);
    if (pass == 0xff) [[likely]] {
        return result;
    }
    return Lanes(_mm512_mask_blend_pd(pass, __m512d(exact()), r));
}
#else
// Rounded to nearest: T, a normal times a power of two, equals B where T > 2^-1022, which
// checked() also requires. The divisor's factor is exact where it exceeds 2^-1022, and is
// made 0 (failing every quotient by it) elsewhere.
template <typename Lanes>
Lanes bound_product(Lanes x, Lanes y) {
    return x * y;
}

template <typename Lanes>
Lanes divisor_bound_factor(Lanes magnitude) {
    Lanes factor = magnitude * 0x1p-53;
    stdx::where(!(factor > kSmallestNormal), factor) = Lanes(0.0);
    return factor;
}

// `result` where the test passes, that is where |remainder| < bound, bound > 2^-1022 and
// result is no power of two (nor zero); exact() in the other lanes, evaluated only when there
// are any.
template <typename Lanes, typename Exact>
Lanes checked(Lanes result, Lanes remainder, Lanes bound, Exact exact) {
    const auto fraction = (bits_of(result) & kSignificandBits) != 0;
    const typename Lanes::mask_type pass =
        (abs(remainder) < bound) && (bound > kSmallestNormal) &&
        stdx::__proposed::static_simd_cast<typename Lanes::mask_type>(fraction);
    if (stdx::all_of(pass)) [[likely]] {
        return result;
    }
    Lanes mixed = result;
    stdx::where(!pass, mixed) = exact();
    return mixed;
}
#endif

// y ~ 1/b refined by cubic steps: with e = 1 - b y, 1/b = y (1 + e + e^2 + ...).
template <typename Lanes>
Lanes reciprocal(Lanes b) {
    Lanes y = reciprocal_estimate(b);
    for (int step = 0; step < kReciprocalSteps; ++step) {
        const Lanes e = negative_multiply_add(b, y, Lanes(1.0));
        y = multiply_add(y, multiply_add(e, e, e), y);
    }
    return y;
}

// y ~ 1/sqrt(x) refined by cubic steps: with e = 1 - x y^2,
// 1/sqrt(x) = y (1 + e/2 + 3e^2/8 + ...).
template <typename Lanes>
Lanes reciprocal_sqrt(Lanes x) {
    Lanes y = reciprocal_sqrt_estimate(x);
    for (int step = 0; step < kReciprocalSqrtSteps; ++step) {
        const Lanes e = negative_multiply_add(x * y, y, Lanes(1.0));
        y = multiply_add(y * e, multiply_add(e, Lanes(0.375), Lanes(0.5)), y);
    }
    return y;
}

}  // namespace fma_arithmetic_detail

// The arithmetic policy of pair_pull (physics.h) on SIMD lanes: IeeeArithmetic's results, from
// the FMA units instead of the divider.
template <typename Lanes>
struct FmaArithmetic {
    // Vector operations issued per pair evaluation of pair_pull with this arithmetic (loads,
    // the branch test and the rare fallbacks not counted): the pair term's own 40 products,
    // sums, differences and the masked accumulation; per quotient the product, three fused
    // multiply-adds, the binade, the bound's product, the remainder's magnitude and the tests
    // (two with AVX-512, whose bound needs no range test; otherwise three and their
    // combination); per divisor its magnitude, its bound factor, the estimate and its
    // refinement; the root. GCC 12 issues exactly 186 in the x86-64-v4 pair loop; at x86-64-v3
    // the quotient's and the divisor's counts are those of its machine code for one of each.
#if defined(__AVX512F__)
    static constexpr int kOperationsPerQuotient = 9;
    static constexpr int kOperationsPerDivisor = 3 + 3 * fma_arithmetic_detail::kReciprocalSteps;
    static constexpr int kOperationsPerRoot = 12 + 5 * fma_arithmetic_detail::kReciprocalSqrtSteps;
#else
    static constexpr int kOperationsPerQuotient = 14;  // the tests as vector masks, combined
    static constexpr int kOperationsPerDivisor = 5 + 3 * fma_arithmetic_detail::kReciprocalSteps;
    static constexpr int kOperationsPerRoot = 18 + 5 * fma_arithmetic_detail::kReciprocalSqrtSteps;
#endif
    // 11 quotients (one by a divisor prepared outside the loop), 5 divisors, one root.
    static constexpr int kOperationsPerPair =
        40 + 11 * kOperationsPerQuotient + 5 * kOperationsPerDivisor + kOperationsPerRoot;
    // A divisor prepared once for several quotients.
    struct Divisor {
        Lanes value;
        Lanes bound_factor;  // at most |value| 2^-53: the bound of test (1) is 2^e times it
        Lanes reciprocal;    // ~1/value
    };

    Divisor divisor(Lanes b) const {
        using namespace fma_arithmetic_detail;
        return {b, divisor_bound_factor(abs(b)), reciprocal(b)};
    }

    Lanes divide(Lanes a, Lanes b) const {
        return divide(a, divisor(b));
    }

    Lanes divide(Lanes a, const Divisor& b) const {
        using namespace fma_arithmetic_detail;
        const Lanes q0 = a * b.reciprocal;
        // One correction step, then the remainder of the corrected quotient.
        const Lanes q = multiply_add(negative_multiply_add(b.value, q0, a), b.reciprocal, q0);
        // Test (1): |a - b q| < T <= |b| 2^(e-53), q no power of two.
        const Lanes remainder = negative_multiply_add(b.value, q, a);
        const Lanes bound = bound_product(binade(q), b.bound_factor);
        return checked(q, remainder, bound, [&] { return a / b.value; });
    }

    Lanes square_root(Lanes x) const {
        using namespace fma_arithmetic_detail;
        const Lanes y = reciprocal_sqrt(x);
        const Lanes g = x * y;  // ~sqrt(x)
        const Lanes s = multiply_add(negative_multiply_add(g, g, x), y * 0.5, g);
        // Test (2): |x - s^2| < T <= s 2^(e-52), s no power of two.
        const Lanes remainder = negative_multiply_add(s, s, x);
        const Lanes bound = bound_product(binade(s) * 0x1p-52, s);  // 2^(e-52): exact
        return checked(s, remainder, bound, [&] { return sqrt(x); });
    }
};

}  // namespace LUMETH_ISA_NAMESPACE
}  // namespace lumeth
