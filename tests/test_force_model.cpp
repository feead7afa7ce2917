// The force pass on the CPU, through the same per-particle function the CUDA kernel runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "kernels/cpu_kernels.h"
#include "kernels/physics.h"
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

TEST(OuterModel, SingleParticleAtRestFeelsNewtonsPull) {
    const auto a = acceleration_of(forces({at(1e20, 0, 0)})[0]);
    expect_printed(-1.858525578e-12, a.x, 1e-15, "ax");
    EXPECT_EQ(0.0, a.y);
    EXPECT_EQ(0.0, a.z);
}

TEST(OuterModel, PullGrowsWithTheParticlesSpeed) {
    const auto a = acceleration_of(forces({at(1e20, 0, 0, 0, 2e5, 0)})[0]);
    expect_printed(-1.858526405155435e-12, a.x, 1e-15, "ax");  // (1 + 4e10 / c^2) GM / r^2
    EXPECT_EQ(0.0, a.y);
}

TEST(OuterModel, AppliesExactlyAtTheInnerZoneRadius) {
    const auto a = acceleration_of(forces({at(kInnerZoneRadius, 0, 0)})[0]);
    expect_printed(-0.10865614130738767, a.x, 1e-15, "ax");
}

TEST(OuterModel, NotANumberPositionFallsToTheOuterModel) {
    const double nan = std::nan("");
    const auto a = black_hole_pull(nan, 0, 0, 0, 0, 0);
    EXPECT_TRUE(std::isnan(a.x));
}

TEST(InnerModel, ParticleAtRestJustInsideFeelsTheCubedPull) {
    const auto a = acceleration_of(forces({at(4e14, 0, 0)})[0]);
    expect_printed(-2.899442e-16, a.x, 1e-6, "ax");
    EXPECT_EQ(0.0, a.y);
    expect_printed(-1.775e-32, a.z, 1e-3, "az");  // cos of the double nearest pi/2
    // The models are not blended: the pull drops by about 4e14 across the boundary.
    const auto outside = acceleration_of(forces({at(kInnerZoneRadius, 0, 0)})[0]);
    EXPECT_GT(outside.x / a.x, 3e14);
}

TEST(InnerModel, TangentialMotionPushesOutward) {
    const auto a = acceleration_of(forces({at(4e14, 0, 0, 0, 1e6, 0)})[0]);
    expect_printed(2.499439e-3, a.x, 1e-6, "ax");
    EXPECT_NEAR(0.0, a.y, 1e-20);
}

TEST(InnerModel, InwardMotionFeelsFrameDraggingAlongY) {
    const auto a = acceleration_of(forces({at(4e14, 0, 0, -1e6, 0, 0)})[0]);
    expect_printed(-2.498708e-3, a.x, 1e-6, "ax");
    expect_printed(-2.804291e-7, a.y, 1e-6, "ay");  // Omega * v_r
    expect_printed(-1.53e-19, a.z, 1e-2, "az");
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

TEST(PairTerm, TwoParticlesSampleOnlyRecordZero) {
    const auto result = forces({at(1.0001e20, 0, 0), at(1e20, 0, 0)});
    expect_printed(-1.858154e-12, result[0].acceleration[0], 1e-6, "record 0: only the hole");
    expect_printed(-1.389177e-12, result[1].acceleration[0], 1e-6, "record 1: hole + record 0");
    const auto alone = acceleration_of(forces({at(1e20, 0, 0)})[0]);
    expect_printed(4.693486e-13, result[1].acceleration[0] - alone.x, 1e-6, "pair pull");
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

TEST(PairTerm, CoincidentSampledParticleAddsExactlyZero) {
    const auto pair = forces({at(2e20, 1e19, 0, 1e5, -3e5, 2e4), at(2e20, 1e19, 0, -7e5, 0, 1e6)});
    const auto alone = forces({at(2e20, 1e19, 0, -7e5, 0, 1e6)});
    // Equal values; a zero component may turn from -0 to +0 (adding +0 to -0 gives +0).
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(alone[0].acceleration[k], pair[1].acceleration[k]) << "component " << k;
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
