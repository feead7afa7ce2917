// The benchmark's comparison rules: what counts as the same result as the baseline.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "compare.h"
#include "sim/constants.h"

namespace lumeth::bench {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A double with the bits of `bits`.
double from_bits(std::uint64_t bits) {
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

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

TEST(BenchCompare, InnerZoneAllowanceIsEightUlpsOrATinyAbsoluteDifference) {
    double near = -3.0e-7;
    for (std::uint64_t i = 0; i < kInnerZoneUlps; ++i) {
        near = std::nextafter(near, -1.0);
    }
    EXPECT_TRUE(within_inner_zone_allowance(-3.0e-7, near));
    EXPECT_FALSE(within_inner_zone_allowance(-3.0e-7, std::nextafter(near, -1.0)));
    EXPECT_TRUE(within_inner_zone_allowance(0.0, -1e-301));
    EXPECT_TRUE(within_inner_zone_allowance(kNaN, kNaN));
    EXPECT_FALSE(within_inner_zone_allowance(kNaN, 0.0));
    EXPECT_FALSE(within_inner_zone_allowance(1.0, kNaN));
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
    std::vector<Particle> expected = {record(inner, 1e-3, -2e-3, 0.0),
                                      record(outer, 1e-9, 2e-9, 3e-9),
                                      record(inner, 5e-3, 5e-3, 5e-3)};
    std::vector<Particle> actual = expected;
    actual[0].acceleration[0] = std::nextafter(std::nextafter(1e-3, 1.0), 1.0);  // 2 ulps
    actual[0].acceleration[2] = 1e-305;                                          // near 0
    Comparison c = compare_gpu_forces(expected.data(), actual.data(), 3);
    EXPECT_EQ(c.differing, 0);
    EXPECT_EQ(c.inner_zone_inexact, 1);
    EXPECT_EQ(c.max_ulps, 2u);
    EXPECT_EQ(describe(c), "identical outside the inner zone, 1 inner-zone record within 2 ulps");

    // Outside the inner zone a single ulp is a difference.
    actual[1].acceleration[1] = std::nextafter(2e-9, 1.0);
    // Inside it, only the acceleration may differ, and by at most the allowance.
    actual[2].velocity[0] = 1.0;
    c = compare_gpu_forces(expected.data(), actual.data(), 3);
    EXPECT_EQ(c.differing, 2);
    EXPECT_EQ(c.inner_zone_inexact, 1);

    actual = expected;
    actual[2].acceleration[1] = 5e-3 * (1.0 + 1e-13);  // hundreds of ulps
    EXPECT_EQ(compare_gpu_forces(expected.data(), actual.data(), 3).differing, 1);
}

}  // namespace
}  // namespace lumeth::bench
