// The model galaxy at start-up: a bulge, an exponential disk and a halo about the black hole.
#pragma once

#include <cstdint>
#include <functional>

#include "particle.h"

// Fills records 0..count-1 with a freshly drawn galaxy, seeded from the low 32 bits of the
// calendar time in seconds (so two calls within the same second give the same galaxy).
// A count of zero or less writes nothing; the generator is seeded all the same.
void generate_initial_conditions(Particle* particles, int count);

namespace lumeth {

struct PopulationCounts {
    int bulge;  // records 0 .. bulge-1
    int disk;   // the next `disk` records
    int halo;   // the rest
};

// count * 0.2 and count * 0.7 in double precision, truncated; the halo takes the remainder.
PopulationCounts population_counts(int count);

// The seed generate_initial_conditions uses: the low 32 bits of the calendar time.
std::uint32_t clock_seed();

// The galaxy drawn from the generator seeded with `seed`.
void generate_galaxy(Particle* particles, int count, std::uint32_t seed);

// The galaxy drawn from any source of integers in 0..32767 (tests script the draws).
void generate_galaxy_from_draws(Particle* particles, int count,
                                const std::function<int()>& next_draw);

}  // namespace lumeth
