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
// divisor: with AVX-512 both products are rounded toward zero; without it the factor is
// formed by subtracting 53 from the exponent of |b| (at most |b| 2^-53, negative where |b| is
// too small for that), T is rounded to nearest and the lane must also have T > 2^-1022: T is
// then the factor times a power of two without rounding, so at most B. Rounding to
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

#include "interleaved.h"
#include "physics.h"

namespace lumeth {

#ifdef LUMETH_COUNT_RARE_PATH
// Only in the counting build of the rare-path count (bench/rare_path_count.cpp): each vector
// of `lanes` results that the exact test checked, and the lanes that failed it (bit k: lane k).
void count_checked_lanes(const double* results, unsigned failed, int lanes);
#endif

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

// z - x * y rounded once, as a single vector instruction (x * y + z is fused_multiply_add,
// interleaved.h).
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

// The lanes among `passed` where the test passes, that is where |remainder| < bound and result
// is no power of two (nor zero): one chain of masked compares, each taking the lanes the one
// before passed, so that the tests of several vectors chain into one mask.
template <typename Lanes>
__mmask8 passing_lanes(Lanes result, Lanes remainder, Lanes bound, __mmask8 passed = 0xff) {
    const __mmask8 fraction =
        _mm512_mask_test_epi64_mask(passed, _mm512_castpd_si512(__m512d(result)),
                                    _mm512_set1_epi64(static_cast<long long>(kSignificandBits)));
    return _mm512_mask_cmp_pd_mask(fraction, _mm512_abs_pd(__m512d(remainder)), __m512d(bound),
                                   _CMP_LT_OQ);
}

// In mask registers throughout: one mask instruction each to combine and to test, none to move
// the masks into general registers.
inline bool all_lanes(__mmask8 pass) {
    return _kortestc_mask8_u8(pass, pass) != 0;
}

inline __mmask8 both(__mmask8 a, __mmask8 b) {
    return _kand_mask8(a, b);
}
#else
// Rounded to nearest: T, the factor times a power of two, is not rounded where T > 2^-1022,
// which checked() also requires, so T <= B there.
template <typename Lanes>
Lanes bound_product(Lanes x, Lanes y) {
    return x * y;
}

// The factor |b| 2^-53 with 53 taken off the exponent field of |b| as an integer: exact where
// it is normal, below it where it lands among the subnormals, and negative (failing every
// quotient) where |b| is below 2^-970. A negative b gets the factor of its magnitude, which
// test (1) needs; an infinite or NaN b leaves an infinite or NaN remainder.
template <typename Lanes>
Lanes divisor_bound_factor(Lanes value) {
    const Bits<Lanes> magnitude = bits_of(value) & ~(Bits<Lanes>(1) << 63);
    return from_bits<Lanes>(magnitude - (Bits<Lanes>(53) << 52));
}

// The lanes among `passed` where the test passes, that is where |remainder| < bound,
// bound > 2^-1022 and result is no power of two (nor zero), as all-ones lanes of a vector.
// The first two are one comparison, max(2^-1022, |remainder|) < bound: the maximum gives its
// second operand where either is NaN, so a NaN remainder fails it as a NaN bound does.
template <typename Lanes>
__m256d passing_lanes(Lanes result, Lanes remainder, Lanes bound,
                      __m256d passed = _mm256_castsi256_pd(_mm256_set1_epi64x(-1))) {
    static_assert(Lanes::size() == 4, "AVX2: four doubles per vector");
    const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), __m256d(remainder));
    const __m256d within = _mm256_cmp_pd(_mm256_max_pd(_mm256_set1_pd(kSmallestNormal), magnitude),
                                         __m256d(bound), _CMP_LT_OQ);
    // The significand's bits as a signed integer: above 0 unless all are 0.
    const __m256i fraction =
        _mm256_and_si256(_mm256_castpd_si256(__m256d(result)),
                         _mm256_set1_epi64x(static_cast<long long>(kSignificandBits)));
    const __m256d no_power_of_two =
        _mm256_castsi256_pd(_mm256_cmpgt_epi64(fraction, _mm256_setzero_si256()));
    return _mm256_and_pd(_mm256_and_pd(within, no_power_of_two), passed);
}

inline bool all_lanes(__m256d pass) {
    return _mm256_testc_pd(pass, _mm256_castsi256_pd(_mm256_set1_epi64x(-1))) != 0;
}

inline __m256d both(__m256d a, __m256d b) {
    return _mm256_and_pd(a, b);
}
#endif

// `result` where the test passes in every lane; otherwise exact(operands...) in every lane,
// which is `result` wherever the test passed: nothing of the test is kept for the rare path,
// only the operands. They go by value (no lambda holds references to them), so that the
// compiler may keep them in registers until the test is decided.
#ifdef LUMETH_COUNT_RARE_PATH
template <typename Lanes>
void count_lanes(Lanes result, Lanes remainder, Lanes bound) {
    double values[Lanes::size()];
    result.copy_to(values, std::experimental::element_aligned);
    const auto pass = passing_lanes(result, remainder, bound);
#if defined(__AVX512F__)
    const unsigned failed = static_cast<unsigned>(~pass) & 0xffu;
#else
    const unsigned failed = static_cast<unsigned>(~_mm256_movemask_pd(pass)) & 0xfu;
#endif
    count_checked_lanes(values, failed, static_cast<int>(Lanes::size()));
}
#endif

template <typename Lanes, typename Exact, typename... Operands>
Lanes checked(Lanes result, Lanes remainder, Lanes bound, Exact exact, Operands... operands) {
#ifdef LUMETH_COUNT_RARE_PATH
    count_lanes(result, remainder, bound);
#endif
    if (all_lanes(passing_lanes(result, remainder, bound))) [[likely]] {
        return result;
    }
    return exact(operands...);
}

// The same operations on interleaved vectors, part by part. The tests of all parts combine
// into one mask and one branch; exact() gives every part when any lane of any part fails.
template <typename Lanes, int N>
Interleaved<Lanes, N> binade(const Interleaved<Lanes, N>& v) {
    return map_parts<Lanes, N>([](const Lanes& x) { return binade(x); }, v);
}

template <typename Lanes, int N>
Interleaved<Lanes, N> negative_multiply_add(const Interleaved<Lanes, N>& x,
                                            const Interleaved<Lanes, N>& y,
                                            const Interleaved<Lanes, N>& z) {
    return map_parts<Lanes, N>([](const Lanes& a, const Lanes& b,
                                  const Lanes& c) { return negative_multiply_add(a, b, c); },
                               x, y, z);
}

template <typename Lanes, int N>
Interleaved<Lanes, N> reciprocal_estimate(const Interleaved<Lanes, N>& b) {
    return map_parts<Lanes, N>([](const Lanes& x) { return reciprocal_estimate(x); }, b);
}

template <typename Lanes, int N>
Interleaved<Lanes, N> reciprocal_sqrt_estimate(const Interleaved<Lanes, N>& x) {
    return map_parts<Lanes, N>([](const Lanes& v) { return reciprocal_sqrt_estimate(v); }, x);
}

template <typename Lanes, int N>
Interleaved<Lanes, N> bound_product(const Interleaved<Lanes, N>& x,
                                    const Interleaved<Lanes, N>& y) {
    return map_parts<Lanes, N>([](const Lanes& a, const Lanes& b) { return bound_product(a, b); },
                               x, y);
}

template <typename Lanes, int N>
Interleaved<Lanes, N> divisor_bound_factor(const Interleaved<Lanes, N>& magnitude) {
    return map_parts<Lanes, N>([](const Lanes& m) { return divisor_bound_factor(m); }, magnitude);
}

template <typename Lanes, int N, typename Exact, typename... Operands>
Interleaved<Lanes, N> checked(const Interleaved<Lanes, N>& result,
                              const Interleaved<Lanes, N>& remainder,
                              const Interleaved<Lanes, N>& bound, Exact exact,
                              Operands... operands) {
#ifdef LUMETH_COUNT_RARE_PATH
    for (int k = 0; k < N; ++k) {
        count_lanes(result.part[k], remainder.part[k], bound.part[k]);
    }
#endif
    // Chains of two parts each, then combined: one long chain of masked tests would keep the
    // branch, and the retirement of everything after it, waiting with many parts in flight.
    auto pass = passing_lanes(result.part[0], remainder.part[0], bound.part[0]);
    if constexpr (N > 1) {
        pass = passing_lanes(result.part[1], remainder.part[1], bound.part[1], pass);
    }
    for (int k = 2; k < N; k += 2) {
        auto pair = passing_lanes(result.part[k], remainder.part[k], bound.part[k]);
        if (k + 1 < N) {
            pair =
                passing_lanes(result.part[k + 1], remainder.part[k + 1], bound.part[k + 1], pair);
        }
        pass = both(pass, pair);
    }
    if (all_lanes(pass)) [[likely]] {
        return result;
    }
    return map_parts<Lanes, N>(exact, operands...);
}

// y ~ 1/b refined by cubic steps: with e = 1 - b y, 1/b = y (1 + e + e^2 + ...).
template <typename Lanes>
Lanes reciprocal(Lanes b) {
    Lanes y = reciprocal_estimate(b);
    for (int step = 0; step < kReciprocalSteps; ++step) {
        const Lanes e = negative_multiply_add(b, y, Lanes(1.0));
        y = fused_multiply_add(y, fused_multiply_add(e, e, e), y);
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
        y = fused_multiply_add(y * e, fused_multiply_add(e, Lanes(0.375), Lanes(0.5)), y);
    }
    return y;
}

}  // namespace fma_arithmetic_detail

// The arithmetic policy of pair_pull (physics.h) on SIMD lanes, or on interleaved SIMD
// vectors (interleaved.h): IeeeArithmetic's results, from the FMA units instead of the
// divider.
template <typename Lanes>
struct FmaArithmetic {
    // Vector operations issued per pair evaluation and vector of pair_pull with this
    // arithmetic (loads, register copies and the rare fallbacks not counted), as GCC 12 issues
    // them in the pair loops of four interleaved pairs; scripts/check-pair-loop.py recounts
    // them in the machine code. With AVX-512: the pair term's own 40 products, sums,
    // differences and the masked accumulation; per quotient the product, three fused
    // multiply-adds, the binade, the bound's product, the remainder's magnitude and two tests;
    // the divisor of m_i + m_j in full (magnitude, bound factor, estimate and its refinement;
    // that of m_i is prepared outside the loop, that of the constant -2 c^2 hoisted out of it);
    // for d, d^2, d c^2 and 5 d^3 c^5 each its bound factor, and the four products that take
    // their estimates from 1/d's; the root, which gives the estimate of 1/d as well; for each
    // of the 12 branches on the tests, two mask operations (combining two chains of tests,
    // testing the result) shared by the four pairs. At x86-64-v3 the tests are vector masks,
    // four operations per quotient and root and their combinations, across the interleaved
    // vectors too, and a bound factor is an integer subtraction from the magnitude: 249 in
    // its machine code.
#if defined(__AVX512F__)
    static constexpr int kOperationsPerQuotient = 9;
    static constexpr int kOperationsPerDivisor = 3 + 3 * fma_arithmetic_detail::kReciprocalSteps;
    static constexpr int kOperationsPerRoot = 12 + 5 * fma_arithmetic_detail::kReciprocalSqrtSteps;
    static constexpr int kBranchOperationsPerPair = 12 * 2 / 4;
    static constexpr int kOperationsPerPair = 40 + 11 * kOperationsPerQuotient +
                                              kOperationsPerDivisor + 4 * 1 + 4 +
                                              kOperationsPerRoot + kBranchOperationsPerPair;
    static_assert(kOperationsPerPair == 176);
#else
    static constexpr int kOperationsPerPair = 249;
#endif
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

    // A divisor that is positive (but for rare lanes), with an estimate of its reciprocal
    // within about 2^-36: no estimate of its own, and with AVX-512 no magnitude either. There
    // a negative or NaN lane has a bound factor of at most 0, which fails test (1) for every
    // quotient by it: those lanes go to the divider. A poor estimate only makes more lanes
    // fail the test.
    Divisor divisor(Lanes b, Lanes reciprocal_estimate) const {
        using namespace fma_arithmetic_detail;
        return {b, divisor_bound_factor(b), reciprocal_estimate};
    }

    Lanes value(const Divisor& b) const {
        return b.value;
    }

    Lanes reciprocal_estimate(const Divisor& b) const {
        return b.reciprocal;
    }

    Lanes divide(Lanes a, Lanes b) const {
        return divide(a, divisor(b));
    }

    Lanes divide(Lanes a, const Divisor& b) const {
        using namespace fma_arithmetic_detail;
        const Lanes q0 = a * b.reciprocal;
        // One correction step, then the remainder of the corrected quotient.
        const Lanes q = fused_multiply_add(negative_multiply_add(b.value, q0, a), b.reciprocal, q0);
        // Test (1): |a - b q| < T <= |b| 2^(e-53), q no power of two.
        const Lanes remainder = negative_multiply_add(b.value, q, a);
        const Lanes bound = bound_product(binade(q), b.bound_factor);
        return checked(
            q, remainder, bound, [](const auto& x, const auto& y) { return x / y; }, a, b.value);
    }

    // sqrt(x), prepared as a divisor: the refined estimate of 1/sqrt(x) the root is formed
    // from is, within about 2^-38, that of 1/sqrt(x) as well.
    Divisor root_divisor(Lanes x) const {
        using namespace fma_arithmetic_detail;
        const Lanes y = reciprocal_sqrt(x);
        const Lanes s = checked_root(x, y);
        return {s, divisor_bound_factor(s), y};
    }

    Lanes square_root(Lanes x) const {
        return checked_root(x, fma_arithmetic_detail::reciprocal_sqrt(x));
    }

  private:
    // sqrt(x) from y ~ 1/sqrt(x).
    static Lanes checked_root(Lanes x, Lanes y) {
        using namespace fma_arithmetic_detail;
        const Lanes g = x * y;  // ~sqrt(x)
        const Lanes s = fused_multiply_add(negative_multiply_add(g, g, x), y * 0.5, g);
        // Test (2): |x - s^2| < T <= s 2^(e-52), s no power of two.
        const Lanes remainder = negative_multiply_add(s, s, x);
        const Lanes bound = bound_product(binade(s) * 0x1p-52, s);  // 2^(e-52): exact
        return checked(
            s, remainder, bound, [](const auto& v) { return sqrt(v); }, x);
    }
};

}  // namespace LUMETH_ISA_NAMESPACE
}  // namespace lumeth
