// Several independent SIMD vectors carried through one computation side by side: every
// operation on an Interleaved applies the vectors' own operation to each part in turn, so one
// instruction stream holds several independent chains of the same sequence. A pair evaluation
// is a long chain of mostly dependent divisions and a square root; evaluated for one vector at
// a time, it leaves the FMA units waiting on latencies, while N chains interleaved at the
// instruction level keep them busy. Each part's results are exactly those of the same
// operations on that part alone.
//
// Compiled once per instruction-set level, inside that level's inline namespace (physics.h).
#pragma once

#if defined(__FMA__)
#include <immintrin.h>
#endif

#include <cmath>
#include <utility>

#include "physics.h"

namespace lumeth {
inline namespace LUMETH_ISA_NAMESPACE {

template <typename Lanes, int N>
struct Interleaved {
    Lanes part[N];

    Interleaved() = default;
    // Every part the same: a value shared by the chains.
    explicit Interleaved(double v) : Interleaved(Lanes(v)) {}
    explicit Interleaved(const Lanes& v)
        : Interleaved([&](int) { return v; }, std::make_integer_sequence<int, N>{}) {}

    // f(k) in part k. The parts are named by constant indices (no loop over them), so that the
    // compiler keeps every part in registers of its own.
    template <typename F>
    static Interleaved from(F f) {
        return Interleaved(f, std::make_integer_sequence<int, N>{});
    }

    static constexpr int size() { return N; }

  private:
    template <typename F, int... K>
    Interleaved(F f, std::integer_sequence<int, K...>) : part{f(K)...} {}
};

// Part k of an operand: an Interleaved's own part, or a value shared by every part.
template <typename Lanes, int N>
const Lanes& part_of(const Interleaved<Lanes, N>& v, int k) {
    return v.part[k];
}

template <typename Value>
const Value& part_of(const Value& v, int) {
    return v;
}

// The element-wise operation f on every part, part 0 first.
template <typename Lanes, int N, typename F, typename... Operands>
Interleaved<Lanes, N> map_parts(F f, const Operands&... operands) {
    return Interleaved<Lanes, N>::from([&](int k) { return f(part_of(operands, k)...); });
}

// The arithmetic physics.h and fma_arithmetic.h use, part by part; a double operand is the
// same in every part.
#define LUMETH_INTERLEAVED_OPERATOR(op)                                                          \
    template <typename Lanes, int N>                                                             \
    Interleaved<Lanes, N> operator op(const Interleaved<Lanes, N>& a,                            \
                                      const Interleaved<Lanes, N>& b) {                          \
        return map_parts<Lanes, N>([](const Lanes& x, const Lanes& y) { return x op y; }, a, b); \
    }                                                                                            \
    template <typename Lanes, int N>                                                             \
    Interleaved<Lanes, N> operator op(const Interleaved<Lanes, N>& a, double b) {                \
        return map_parts<Lanes, N>([b](const Lanes& x) { return x op Lanes(b); }, a);            \
    }
LUMETH_INTERLEAVED_OPERATOR(+)
LUMETH_INTERLEAVED_OPERATOR(-)
LUMETH_INTERLEAVED_OPERATOR(*)
LUMETH_INTERLEAVED_OPERATOR(/)
#undef LUMETH_INTERLEAVED_OPERATOR

// x * y + z rounded once, as a single vector instruction where the level has one for a full
// vector: the element-wise fma of <experimental/simd> is left to the compiler's vectoriser,
// which does not always manage it (it then fuses lane by lane in scalar instructions).
template <typename Lanes>
Lanes fused_multiply_add(const Lanes& x, const Lanes& y, const Lanes& z) {
#if defined(__AVX512F__)
    if constexpr (Lanes::size() == 8) {
        return Lanes(_mm512_fmadd_pd(__m512d(x), __m512d(y), __m512d(z)));
    }
#elif defined(__FMA__)
    if constexpr (Lanes::size() == 4) {
        return Lanes(_mm256_fmadd_pd(__m256d(x), __m256d(y), __m256d(z)));
    }
#endif
    return fma(x, y, z);
}

template <typename Lanes, int N>
Interleaved<Lanes, N> fused_multiply_add(const Interleaved<Lanes, N>& a,
                                         const Interleaved<Lanes, N>& b,
                                         const Interleaved<Lanes, N>& c) {
    return map_parts<Lanes, N>(
        [](const Lanes& x, const Lanes& y, const Lanes& z) { return fused_multiply_add(x, y, z); },
        a, b, c);
}

template <typename Lanes, int N>
Interleaved<Lanes, N> fma(const Interleaved<Lanes, N>& a, const Interleaved<Lanes, N>& b,
                          const Interleaved<Lanes, N>& c) {
    return fused_multiply_add(a, b, c);
}

template <typename Lanes, int N>
Interleaved<Lanes, N> sqrt(const Interleaved<Lanes, N>& a) {
    return map_parts<Lanes, N>([](const Lanes& x) { return sqrt(x); }, a);
}

template <typename Lanes, int N>
Interleaved<Lanes, N> abs(const Interleaved<Lanes, N>& a) {
    return map_parts<Lanes, N>([](const Lanes& x) { return abs(x); }, a);
}

}  // namespace LUMETH_ISA_NAMESPACE
}  // namespace lumeth
