// The benchmark's comparison rules: what counts as the same result as the baseline.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "compare.h"
#include "kernels/cpu_kernels.h"
#include "sim/constants.h"

namespace lumeth::bench {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A record at distance r from the origin on the x axis, with a given acceleration.
Particle record(double r, double ax, double ay, double az) {
    Particle p{};
    p.position[0] = r;
    p.velocity[1] = 2.0e5;
    p.acceleration[0] = ax;
    p.acceleration[1] = ay;
    p.acceleration[2] = az;
    p.mass = 1.989e30;
    return p;
}

TEST(BenchCompare, SameBitsTreatsEveryNaNAsEqualAndSignedZerosAsDifferent) {
    EXPECT_TRUE(same_bits(1.5, 1.5));
    EXPECT_TRUE(same_bits(kNaN, -kNaN));
    EXPECT_TRUE(same_bits(kNaN, from_bits(0x7ff0000000000001ULL)));  // a signalling NaN
    EXPECT_FALSE(same_bits(kNaN, 1.0));
    EXPECT_FALSE(same_bits(0.0, -0.0));
    EXPECT_FALSE(same_bits(1.0, std::nextafter(1.0, 2.0)));
}

TEST(BenchCompare, UlpDistanceCountsRepresentableSteps) {
    EXPECT_EQ(ulp_distance(1.0, 1.0), 0u);
    double v = 1.0;
    for (int i = 0; i < 5; ++i) {
        v = std::nextafter(v, 0.0);
    }
    EXPECT_EQ(ulp_distance(1.0, v), 5u);
    EXPECT_EQ(ulp_distance(v, 1.0), 5u);
    EXPECT_EQ(ulp_distance(0.0, -0.0), 0u);
    const double tiny = std::numeric_limits<double>::denorm_min();
    EXPECT_EQ(ulp_distance(tiny, -tiny), 2u);
    EXPECT_EQ(ulp_distance(-std::numeric_limits<double>::max(), std::numeric_limits<double>::max()),
              2 * 0x7fefffffffffffffULL);
}

// --- The GPU's inner-zone tolerance --------------------------------------------------------------

// Records spread through the inner zone about the centre, moving at up to 1e6 m/s, with their
// forces from the reference loop: the inner model at every angle, its radial terms cancelling.
std::vector<Particle> inner_zone_cloud_with_forces(int count, std::uint64_t seed, double cx,
                                                   double cy, double cz) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<Particle> cloud;
    while (static_cast<int>(cloud.size()) < count) {
        const double x = unit(random), y = unit(random), z = unit(random);
        if (x * x + y * y + z * z >= 1.0) {
            continue;
        }
        Particle p{};
        const double r = kInnerZoneRadius * 0.999;
        p.position[0] = cx + x * r;
        p.position[1] = cy + y * r;
        p.position[2] = cz + z * r;
        for (double& v : p.velocity) {
            v = 1e6 * unit(random);
        }
        p.mass = kSolarMass * (1.0 + 0.5 * unit(random));
        cloud.push_back(p);
    }
    compute_forces_reference(cloud.data(), count, cx, cy, cz);
    return cloud;
}

// A math library that differs from the host's by up to `ulps` in every result, at random.
struct DifferentLibrary {
    std::mt19937* random;
    int ulps;
    double moved(double v) {
        const int steps = std::uniform_int_distribution<int>(-ulps, ulps)(*random);
        for (int k = 0; k < std::abs(steps); ++k) {
            v = std::nextafter(v, steps > 0 ? HUGE_VAL : -HUGE_VAL);
        }
        return v;
    }
    double acos(double x) { return moved(std::acos(x)); }
    double atan2(double y, double x) { return moved(std::atan2(y, x)); }
    double sin(double x) { return moved(std::sin(x)); }
    double cos(double x) { return moved(std::cos(x)); }
};

// Broken inner models: sine and cosine swapped; the azimuth's sign flipped.
struct SwappedSinCos {
    double acos(double x) const { return std::acos(x); }
    double atan2(double y, double x) const { return std::atan2(y, x); }
    double sin(double x) const { return std::cos(x); }
    double cos(double x) const { return std::sin(x); }
};
struct FlippedAzimuth {
    double acos(double x) const { return std::acos(x); }
    double atan2(double y, double x) const { return -std::atan2(y, x); }
    double sin(double x) const { return std::sin(x); }
    double cos(double x) const { return std::cos(x); }
};

// Every record's force pass again, with `math` in place of the host library.
template <typename Math>
std::vector<Particle> forces_with(std::vector<Particle> particles, double cx, double cy, double cz,
                                  Math math) {
    const int count = static_cast<int>(particles.size());
    for (int i = 0; i < count; ++i) {
        compute_particle_acceleration(particles.data(), count, i, cx, cy, cz, math);
    }
    return particles;
}

// The frame-dragging term of the azimuthal acceleration left out: its pull K v_r / (r^3 c)
// along the azimuth, taken off each acceleration.
std::vector<Particle> without_frame_dragging(std::vector<Particle> particles, double cx, double cy,
                                             double cz) {
    for (Particle& p : particles) {
        const double dx = p.position[0] - cx, dy = p.position[1] - cy, dz = p.position[2] - cz;
        const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
        const double rho = std::sqrt(dx * dx + dy * dy);
        const double v_r = (dx * p.velocity[0] + dy * p.velocity[1] + dz * p.velocity[2]) / r;
        const double a_phi = kFrameDragging / (r * r * r * kSpeedOfLight) * v_r;
        p.acceleration[0] -= -a_phi * dy / rho;
        p.acceleration[1] -= a_phi * dx / rho;
    }
    return particles;
}

// The tolerance follows the arithmetic: results of a math library a few ulps away from the
// host's pass it, even where the radial terms cancel to a small fraction of their size; each
// broken inner model fails it on nearly every record, with the black hole at the origin and
// away from it.
TEST(BenchCompare, GpuForceToleranceAcceptsOtherLibrariesAndCatchesBrokenInnerModels) {
    const int count = 3000;  // three sampled records, so pair sums round on the way too
    const std::array<std::array<double, 3>, 2> centres = {{{0.0, 0.0, 0.0}, {1e14, -2e14, 3e13}}};
    for (const std::array<double, 3>& centre : centres) {
        const double cx = centre[0], cy = centre[1], cz = centre[2];
        SCOPED_TRACE("black hole at (" + std::to_string(cx) + ", " + std::to_string(cy) + ", " +
                     std::to_string(cz) + ")");
        const std::vector<Particle> cpu = inner_zone_cloud_with_forces(count, 17u, cx, cy, cz);

        std::mt19937 random(5u);
        const std::vector<Particle> other_library =
            forces_with(cpu, cx, cy, cz, DifferentLibrary{&random, kLibraryUlps - 1});
        const Comparison accepted =
            compare_gpu_forces(cpu.data(), other_library.data(), count, cx, cy, cz);
        EXPECT_EQ(accepted.differing, 0) << describe(accepted);
        EXPECT_GT(accepted.inner_zone_inexact, count / 2) << "the other library changed little";

        const struct {
            const char* fault;
            std::vector<Particle> result;
        } broken[] = {
            {"sin and cos swapped", forces_with(cpu, cx, cy, cz, SwappedSinCos{})},
            {"azimuth's sign flipped", forces_with(cpu, cx, cy, cz, FlippedAzimuth{})},
            {"frame-dragging term dropped", without_frame_dragging(cpu, cx, cy, cz)},
        };
        for (const auto& b : broken) {
            const Comparison c = compare_gpu_forces(cpu.data(), b.result.data(), count, cx, cy, cz);
            EXPECT_GE(c.differing, count * 99 / 100) << b.fault << ": " << describe(c);
        }
    }
}

TEST(BenchCompare, InnerZoneIsDecidedByDistanceFromTheOrigin) {
    EXPECT_TRUE(in_inner_zone(record(kInnerZoneRadius * 0.5, 0, 0, 0)));
    EXPECT_TRUE(in_inner_zone(record(std::nextafter(kInnerZoneRadius, 0.0), 0, 0, 0)));
    EXPECT_FALSE(in_inner_zone(record(kInnerZoneRadius, 0, 0, 0)));
    EXPECT_FALSE(in_inner_zone(record(kNaN, 0, 0, 0)));
}

TEST(BenchCompare, ExactComparisonCountsRecordsWithAnyDifferingField) {
    std::vector<Particle> expected(4, record(1e20, 1e-10, 2e-10, kNaN));
    std::vector<Particle> actual = expected;
    EXPECT_EQ(compare_exact(expected.data(), actual.data(), 4).differing, 0);
    EXPECT_EQ(describe(compare_exact(expected.data(), actual.data(), 4)), "identical");

    actual[1].mass = std::nextafter(actual[1].mass, 0.0);
    actual[3].position[2] = -0.0;
    actual[3].velocity[0] = 1.0;  // a second field of the same record counts once
    const Comparison c = compare_exact(expected.data(), actual.data(), 4);
    EXPECT_EQ(c.differing, 2);
    EXPECT_EQ(describe(c), "2 records differ");
}

TEST(BenchCompare, GpuForcesAllowInnerZoneAccelerationsOnly) {
    const double inner = kInnerZoneRadius * 0.25;
    const double outer = kInnerZoneRadius * 4.0;
    std::vector<Particle> expected = {record(inner, 0, 0, 0), record(outer, 1e-9, 2e-9, 3e-9),
                                      record(inner, 0, 0, 0)};
    compute_forces_reference(expected.data(), 3, 0.0, 0.0, 0.0);
    const Vector3<double> tolerance = gpu_force_tolerance(expected.data(), 3, 0);
    ASSERT_GT(tolerance.x, 0.0);
    EXPECT_EQ(gpu_force_tolerance(expected.data(), 3, 1).x, 0.0) << "outer records are exact";

    std::vector<Particle> actual = expected;
    actual[0].acceleration[0] += tolerance.x / 2;
    Comparison c = compare_gpu_forces(expected.data(), actual.data(), 3);
    EXPECT_EQ(c.differing, 0);
    EXPECT_EQ(c.inner_zone_inexact, 1);
    EXPECT_EQ(describe(c),
              "identical outside the inner zone, 1 inner-zone record within " +
                  std::string(c.worst_share > 0.45 && c.worst_share < 0.55 ? "0.5" : "?") +
                  " of their tolerance");

    // Outside the inner zone a single ulp is a difference.
    actual[1].acceleration[1] = std::nextafter(actual[1].acceleration[1], 1.0);
    // Inside it, only the acceleration may differ.
    actual[2].velocity[0] = 1.0;
    c = compare_gpu_forces(expected.data(), actual.data(), 3);
    EXPECT_EQ(c.differing, 2);
    EXPECT_EQ(c.first_differing, 1);

    actual = expected;
    actual[0].acceleration[0] += tolerance.x * 2;
    EXPECT_EQ(compare_gpu_forces(expected.data(), actual.data(), 3).differing, 1);
    actual = expected;
    actual[0].acceleration[2] = std::nan("");
    EXPECT_EQ(compare_gpu_forces(expected.data(), actual.data(), 3).differing, 1);
}

}  // namespace
}  // namespace lumeth::bench
