// The pseudo-random source of the initial conditions: seeded once, one integer in 0..32767
// per draw, the same sequence on every platform for the same seed.
#pragma once

#include <cstdint>

namespace lumeth {

constexpr int kLargestDraw = 32767;

// A 32-bit linear congruential generator with the constants and output bits of the
// Microsoft C runtime's rand(): state = state * 214013 + 2531011 (mod 2^32), draw = bits
// 16..30 of the state. The platform's own rand() is not used because its range and
// sequence differ between C libraries (glibc's reaches 2^31 - 1).
struct RandomDraws {
    std::uint32_t state;
};

inline RandomDraws seeded_draws(std::uint32_t seed) {
    return RandomDraws{seed};
}

inline int next_draw(RandomDraws* draws) {
    draws->state = draws->state * 214013u + 2531011u;
    return static_cast<int>((draws->state >> 16) & 0x7fffu);
}

}  // namespace lumeth
