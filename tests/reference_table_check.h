// Checks of a force pass and an integration pass against the table of data/physics_reference.h:
// the force model and the integration step evaluated in 256-bit arithmetic, independently of
// the code under test (the generator, data/physics_reference.py, says how).
//
// Forces. Each component must lie within its allowed error of the exact value. The allowed
// error is a bound on the rounding errors of a double evaluation in the order the physics
// defines (each rounding at most half an ulp of its result, acos, atan2, sin and cos within 2
// ulps), carried through the formulas with each operation's sensitivity: for well-conditioned
// components that is some 6 to 15 ulps (outer model), 8 to 20 ulps (outer model plus pair
// term) and 15 to 400 ulps (inner model, whose chains are longer and pass through the library
// functions; the table's header lists the median and largest per kind). Where cancellation makes a
// component ill-conditioned (a component that is zero in exact arithmetic, the axial component on
// the equator, motion that makes a rate cancel) the bound is larger in ulps of the result: it is
// then the conditioning that sets it, and the table carries it as an absolute error. Records whose
// accelerations no library function enters (outer model and pair term) must in addition have
// exactly the bits the evaluation order gives (the sign of a zero aside): among them the pairs
// whose post-Newtonian factor rounds to 0, where the radiation-reaction term alone decides the
// result.
//
// Integration. The step is fixed rounding by rounding, so every result has exact bits.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "data/physics_reference.h"
#include "sim/float_bits.h"
#include "sim/particle.h"

namespace reference_table {

using physics_reference::Component;

// A system's records, followed by copies of its records 1, 2, ... up to a multiple of 32
// records, so that a vectorised pass takes every case in whole SIMD groups (up to 16 lanes
// of two blocks). Only record 0 is sampled (fewer than 1000 records), so a copy feels what
// its original feels.
inline int original_of(const physics_reference::System& system, int k) {
    return k < system.count ? k : 1 + (k - system.count) % (system.count - 1);
}

inline std::vector<Particle> system_particles(const physics_reference::System& system) {
    std::vector<Particle> particles;
    const int padded = (system.count + 31) / 32 * 32;
    for (int k = 0; k < padded; ++k) {
        const physics_reference::Record& r =
            physics_reference::records[system.first + original_of(system, k)];
        Particle p{};
        for (int c = 0; c < 3; ++c) {
            p.position[c] = r.position[c];
            p.velocity[c] = r.velocity[c];
        }
        p.mass = r.mass;
        particles.push_back(p);
    }
    return particles;
}

inline double ulp_of(double x) {
    const double a = std::fabs(x);
    return std::nextafter(a, INFINITY) - a;
}

// Empty when `got` is acceptable, otherwise why not.
inline std::string component_mismatch(const Component& c, double got) {
    char text[400];
    const double error = std::fabs((got - c.high) - c.low);
    if (!(error <= c.allowed)) {
        std::snprintf(text, sizeof text,
                      "got %.17g, exact %.17g: off by %.3g (%.3g ulps), allowed %.3g (%.3g ulps)",
                      got, c.high, error, error / ulp_of(c.high), c.allowed,
                      c.allowed / ulp_of(c.high));
        return text;
    }
    const bool both_zero = got == 0.0 && c.bits == 0.0;
    if (c.pinned && !both_zero && !lumeth::same_bits(got, c.bits)) {
        std::snprintf(text, sizeof text,
                      "got %a, within the bound, but the evaluation order gives %a (%.3g ulps "
                      "apart)",
                      got, c.bits, std::fabs(got - c.bits) / ulp_of(c.bits));
        return text;
    }
    return "";
}

// Runs `pass(particles, count, cx, cy, cz)` on every system of the table and checks every
// record's acceleration; failures name the pass, the system, the record and the component.
template <typename ForcePass>
void expect_forces_match(const std::string& pass_name, ForcePass pass) {
    int failures = 0;
    for (const physics_reference::System& system : physics_reference::systems) {
        std::vector<Particle> particles = system_particles(system);
        const int count = static_cast<int>(particles.size());
        pass(particles.data(), count, system.centre[0], system.centre[1], system.centre[2]);
        for (int k = 0; k < count; ++k) {
            const int original = original_of(system, k);
            const physics_reference::Record& r =
                physics_reference::records[system.first + original];
            for (int c = 0; c < 3; ++c) {
                const std::string why =
                    component_mismatch(r.acceleration[c], particles[k].acceleration[c]);
                if (!why.empty() && ++failures <= 20) {
                    ADD_FAILURE() << pass_name << ": " << system.name << ", record " << k << " ("
                                  << r.label << "), a"
                                  << "xyz"[c] << ": " << why;
                }
            }
        }
    }
    EXPECT_EQ(0, failures) << pass_name << ": components outside the table's bounds";
}

// Runs `pass(particles, count, dt)` on each step of the table, one record per step, in one
// array (records in the zone and out of it side by side), and checks the exact bits.
template <typename IntegrationPass>
void expect_steps_match(const std::string& pass_name, IntegrationPass pass) {
    int failures = 0;
    for (const physics_reference::Step& step : physics_reference::steps) {
        std::vector<Particle> particles(37);  // the SIMD loop and its remainder
        for (Particle& p : particles) {
            for (int c = 0; c < 3; ++c) {
                p.position[c] = step.position[c];
                p.velocity[c] = step.velocity[c];
                p.acceleration[c] = step.acceleration[c];
            }
            p.mass = 1.0;
        }
        pass(particles.data(), static_cast<int>(particles.size()), step.dt);
        for (std::size_t k = 0; k < particles.size(); ++k) {
            for (int c = 0; c < 3; ++c) {
                if (lumeth::same_bits(step.new_position[c], particles[k].position[c]) &&
                    lumeth::same_bits(step.new_velocity[c], particles[k].velocity[c])) {
                    continue;
                }
                if (++failures <= 10) {
                    ADD_FAILURE() << pass_name << ": " << step.label << ", record " << k
                                  << ", axis "
                                  << "xyz"[c] << std::hexfloat << ": position "
                                  << particles[k].position[c] << " (expected "
                                  << step.new_position[c] << "), velocity "
                                  << particles[k].velocity[c] << " (expected "
                                  << step.new_velocity[c] << ")";
                }
            }
        }
    }
    EXPECT_EQ(0, failures) << pass_name << ": integrated components with other bits";
}

}  // namespace reference_table
