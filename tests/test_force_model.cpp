// The force pass on the CPU, through the same per-particle function the CUDA kernel runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "kernels/cpu_kernels.h"
#include "kernels/physics.h"
#include "reference_table_check.h"
#include "sim/constants.h"

namespace lumeth {
namespace {

Particle at(double x, double y, double z, double vx = 0, double vy = 0, double vz = 0,
            double mass = kSolarMass) {
    return Particle{{x, y, z}, {vx, vy, vz}, {0, 0, 0}, mass};
}

// Runs the force pass on a copy of the records and returns the result.
std::vector<Particle> forces(std::vector<Particle> particles) {
    compute_forces_reference(particles.data(), static_cast<int>(particles.size()), 0, 0, 0);
    return particles;
}

Vector3<double> acceleration_of(const Particle& p) {
    return {p.acceleration[0], p.acceleration[1], p.acceleration[2]};
}

// Agreement with a printed value to the digits it was printed with.
void expect_printed(double printed, double actual, double relative, const char* what) {
    EXPECT_NEAR(printed, actual, std::fabs(printed) * relative) << what;
}

// The force model against its independent high-precision evaluation (reference_table_check.h
// states the bounds): the reference loop, then every instruction-set level this CPU runs with
// each of its divisions. The table's cases give every term weight: inner-zone particles off
// the equator with radial, polar, azimuthal and mixed motion, near both ends of the axis, near
// 1.5 r_s (where the cubed pull's factor cancels), on both sides of the zone's edge, with the
// hole at and off the origin; moving outer-zone particles; pairs at and below the softening
// length, with relative velocities along every axis and direction and mass ratios of 1e40
// either way; pairs whose post-Newtonian factor rounds to 0, so that the radiation-reaction
// term alone decides the pinned bits; a sampled particle that coincides with particle i; and
// record 0, which only the hole pulls.
TEST(ForceModel, MatchesTheHighPrecisionTableOnEveryPath) {
    reference_table::expect_forces_match("reference loop", compute_forces_reference);
    const std::string previous = cpu_instruction_set();
    for (const char* level : supported_cpu_instruction_sets()) {
        ASSERT_TRUE(use_cpu_instruction_set(level));
        for (const char* division : supported_cpu_divisions()) {
            ASSERT_TRUE(use_cpu_division(division));
            reference_table::expect_forces_match(std::string(level) + ", " + division + " division",
                                                 compute_forces_cpu);
        }
    }
    use_cpu_instruction_set(previous.c_str());
    use_cpu_division("undecided");
}

// A math library whose every result is `ulps` doubles away from the C library's, in the
// direction `pattern` gives call by call (bit k of the call count: up or down).
struct OffsetMath {
    int ulps;
    unsigned pattern;
    mutable unsigned calls = 0;
    double nudge(double v) const {
        const bool up = ((pattern >> (calls++ % 6)) & 1) != 0;
        for (int k = 0; k < ulps; ++k) {
            v = std::nextafter(v, up ? INFINITY : -INFINITY);
        }
        return v;
    }
    double acos(double x) const { return nudge(std::acos(x)); }
    double atan2(double y, double x) const { return nudge(std::atan2(y, x)); }
    double sin(double x) const { return nudge(std::sin(x)); }
    double cos(double x) const { return nudge(std::cos(x)); }
};

// The table's bounds hold for any math library within 2 ulps (the GPU's is): every inner-zone
// case, its acos, atan2, sin and cos each moved 2 ulps up or down in every pattern.
TEST(ForceModel, TableBoundsHoldForEveryLibraryWithinTwoUlps) {
    int failures = 0;
    for (unsigned pattern = 0; pattern < 64; ++pattern) {
        for (const physics_reference::System& system : physics_reference::systems) {
            std::vector<Particle> particles = reference_table::system_particles(system);
            for (int i = 1; i < system.count; ++i) {
                compute_particle_acceleration(particles.data(), system.count, i, system.centre[0],
                                              system.centre[1], system.centre[2],
                                              OffsetMath{2, pattern});
                const physics_reference::Record& r = physics_reference::records[system.first + i];
                for (int c = 0; c < 3; ++c) {
                    if (r.acceleration[c].pinned) {
                        continue;  // no library function enters it
                    }
                    const std::string why = reference_table::component_mismatch(
                        r.acceleration[c], particles[i].acceleration[c]);
                    if (!why.empty() && ++failures <= 10) {
                        ADD_FAILURE() << "pattern " << pattern << ", " << r.label << ", a"
                                      << "xyz"[c] << ": " << why;
                    }
                }
            }
        }
    }
    EXPECT_EQ(0, failures);
}

TEST(OuterModel, NotANumberPositionFallsToTheOuterModel) {
    const double nan = std::nan("");
    const auto a = black_hole_pull(nan, 0, 0, 0, 0, 0);
    EXPECT_TRUE(std::isnan(a.x));
}

// Where the coordinates of the inner model degenerate the result stays finite.
TEST(InnerModel, DegeneratePositionsGiveFiniteAccelerations) {
    const Particle cases[] = {
        at(0, 0, 0),                     // at the centre
        at(0, 0, 0, 3e5, -2e5, 1e5),     // at the centre, moving
        at(5e-11, 0, 0, 1e5, 1e5, 0),    // within 1e-10 m of the centre
        at(0, 0, 1e-10, 0, 1e5, 0),      // exactly 1e-10 m away, on the axis
        at(0, 0, 1e14),                  // on the +z axis at rest
        at(0, 0, 1e14, 0, 0, -1e6),      // on the +z axis falling in
        at(0, 0, 1e14, 1e5, 2e5, 0),     // on the +z axis moving sideways
        at(0, 0, -1e14, 1e5, 2e5, 3e5),  // on the -z axis
        at(1e-11, 0, 3e14, 0, 1e6, 0),   // off the axis by less than the guard
        at(1e6, 0, 4e14, 0, 1e5, 1e5),   // off the axis by 2.5e-9 rad: acos gives theta = 0
    };
    for (const Particle& p : cases) {
        const auto a = acceleration_of(forces({p})[0]);
        EXPECT_TRUE(std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z))
            << "at (" << p.position[0] << ", " << p.position[1] << ", " << p.position[2] << "): ("
            << a.x << ", " << a.y << ", " << a.z << ")";
    }
    // Within the guard distance the hole's pull is zero: the position has no direction.
    const auto centre = acceleration_of(forces({at(0, 0, 0, 3e5, -2e5, 1e5)})[0]);
    EXPECT_EQ(0.0, centre.x);
    EXPECT_EQ(0.0, centre.y);
    EXPECT_EQ(0.0, centre.z);
    // On the +z axis at rest the pull points straight down the axis.
    const auto axis = acceleration_of(forces({at(0, 0, 1e14)})[0]);
    EXPECT_EQ(0.0, axis.x);
    EXPECT_EQ(0.0, axis.y);
    EXPECT_LT(axis.z, 0.0);
    // Off the axis by 2.5e-9 rad theta rounds to 0 while the rates do not vanish (the
    // azimuthal one is 0.1 rad/s): the model then treats the particle as on the axis, with
    // the cot(theta) term 0. With phi = 0, a.x is the polar term -2 v_r w_theta / r and a.y
    // is Omega v_r - 2 v_r w_phi / r; the term with the true cot(theta) of 4e8 would add
    // 5e-11 to a.y, an infinite cot an infinity.
    const auto sliver = acceleration_of(forces({at(1e6, 0, 4e14, 0, 1e5, 1e5)})[0]);
    expect_printed(3.125e-28, sliver.x, 1e-6, "ax");
    expect_printed(2.799291e-8, sliver.y, 1e-6, "ay");
    expect_printed(-2.498708e-5, sliver.z, 1e-6, "az");  // a_r, mostly -v_r^2 / r
}

TEST(PairTerm, SamplesEveryThousandthRecordAndSkipsItself) {
    // 1001 records: indices 0 and 1000 are sampled. Moving a record changes the acceleration
    // of others only if it is sampled.
    std::vector<Particle> base;
    for (int i = 0; i < 1001; ++i) {
        base.push_back(at(1e20 + i * 1e17, 1e19 * (i % 7), 1e18 * (i % 3), 1e5, 0, 0));
    }
    const auto before = forces(base);
    for (int moved : {0, 500, 1000}) {
        auto changed = base;
        changed[moved].position[1] += 3e18;
        const auto after = forces(changed);
        for (int i = 0; i < 1001; ++i) {
            const bool same = std::memcmp(before[i].acceleration, after[i].acceleration,
                                          sizeof before[i].acceleration) == 0;
            const bool sampled_other = (moved == 0 || moved == 1000) && i != moved;
            ASSERT_EQ(!sampled_other && i != moved, same) << "moved " << moved << ", i " << i;
        }
    }
}

TEST(ForcePass, WritesOnlyAccelerations) {
    std::vector<Particle> particles;
    for (int i = 0; i < 2500; ++i) {
        particles.push_back(at(1e20 * std::sin(i), 1e20 * std::cos(i * 0.7), 1e18 * (i % 5),
                               1e5 * std::cos(i), 2e5, -1e4 * i, i % 10 ? kSolarMass : 1.989e31));
    }
    particles[3] = at(3e14, 1e14, 0, 0, 1e6, 0);  // one in the inner zone
    const auto after = forces(particles);
    for (size_t i = 0; i < particles.size(); ++i) {
        ASSERT_EQ(0, std::memcmp(particles[i].position, after[i].position, 48)) << i;
        ASSERT_EQ(particles[i].mass, after[i].mass);
        ASSERT_TRUE(std::isfinite(after[i].acceleration[0]));
    }
}

TEST(ForcePass, CountOfZeroOrLessTouchesNothing) {
    Particle p = at(1e20, 0, 0);
    p.acceleration[0] = 42.0;
    compute_forces_reference(&p, 0, 0, 0, 0);
    compute_forces_cpu(&p, -5, 0, 0, 0);
    EXPECT_EQ(42.0, p.acceleration[0]);
}

TEST(ForcePass, CentreShiftsOnlyTheBlackHolesPull) {
    // Moving the black hole and every particle by the same offset changes nothing: the hole's
    // pull depends on the offset from the centre, the pair term on the particles' relative
    // positions only. 1003 records: two are sampled, and the CPU path runs both its vector
    // blocks and its scalar remainder. Every coordinate is a whole multiple of 1e15 m below
    // 2.9e20 m, so each sum and difference is exact and the bits must agree.
    const double unit = 1e15;
    const double cx = 50000 * unit, cy = -30000 * unit, cz = 20000 * unit;
    std::vector<Particle> origin, shifted;
    for (int i = 0; i < 1003; ++i) {
        const double x = (100000 + (i * 37) % 50000) * unit;
        const double y = ((i * 91) % 40000 - 20000) * unit;
        const double z = ((i * 13) % 2000 - 1000) * unit;
        const double vx = 1e5 * (i % 3), vy = -2e5, vz = 3e4 * (i % 5);
        const double mass = i % 10 ? kSolarMass : kHaloParticleMass;
        origin.push_back(at(x, y, z, vx, vy, vz, mass));
        shifted.push_back(at(x + cx, y + cy, z + cz, vx, vy, vz, mass));
    }
    using Pass = void (*)(Particle*, int, double, double, double);
    for (Pass pass : {Pass{compute_forces_reference}, Pass{compute_forces_cpu}}) {
        auto expected = origin;
        auto actual = shifted;
        pass(expected.data(), 1003, 0, 0, 0);
        pass(actual.data(), 1003, cx, cy, cz);
        for (int i = 0; i < 1003; ++i) {
            ASSERT_EQ(0, std::memcmp(expected[i].acceleration, actual[i].acceleration,
                                     sizeof expected[i].acceleration))
                << (pass == Pass{compute_forces_cpu} ? "CPU path" : "reference") << ", record "
                << i;
        }
    }
}

}  // namespace
}  // namespace lumeth
