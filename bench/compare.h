// How lumeth-bench compares a backend's particle records with the baseline's.
//
// The CPU path and every integration must give the baseline's bits exactly. The GPU's force
// pass may differ in the last bits for particles in the inner zone, where acos, atan2, sin and
// cos come from each side's own math library; everywhere else it too must be exact.
#pragma once

#include <cstdint>
#include <string>

#include "sim/float_bits.h"
#include "sim/particle.h"

namespace lumeth::bench {

// The most units in the last place an inner-zone acceleration may differ by on the GPU.
constexpr std::uint64_t kInnerZoneUlps = 8;
// Differences this small count as equal (values at or around zero, where ulps mean little).
constexpr double kInnerZoneAbsolute = 1e-300;

// Whether a GPU inner-zone value b is close enough to the baseline's a: the same bits, both
// NaN, within kInnerZoneAbsolute of each other, or within kInnerZoneUlps.
bool within_inner_zone_allowance(double a, double b);

// Whether the record lies inside the inner zone as the force pass decides it (distance from
// the origin below kInnerZoneRadius, formed as the force model forms it).
bool in_inner_zone(const Particle& p);

struct Comparison {
    int differing = 0;           // records that differ beyond what is allowed
    int inner_zone_inexact = 0;  // inner-zone records that differ, but within the allowance
    std::uint64_t max_ulps = 0;  // the largest such difference, in ulps
};

// Every field of every record bit for bit.
Comparison compare_exact(const Particle* expected, const Particle* actual, int count);

// The GPU's force results: every field bit for bit, except that the acceleration of an
// inner-zone record may be within the allowance.
Comparison compare_gpu_forces(const Particle* expected, const Particle* actual, int count);

// "identical", "identical outside the inner zone, 3 inner-zone records within 2 ulps" or
// "17 records differ".
std::string describe(const Comparison& comparison);

}  // namespace lumeth::bench
