// The integration pass on the CPU, through the same per-particle function the CUDA kernel runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "kernels/cpu_kernels.h"
#include "kernels/physics.h"
#include "sim/constants.h"

namespace lumeth {
namespace {

Particle moving(double x, double y, double z, double vx, double vy, double vz, double ax, double ay,
                double az) {
    return Particle{{x, y, z}, {vx, vy, vz}, {ax, ay, az}, kSolarMass};
}

Particle integrated(Particle p, double dt) {
    integrate_reference(&p, 1, dt);
    return p;
}

TEST(Integration, ConstantAccelerationOverAFullStep) {
    const Particle p = integrated(moving(1e15, 0, 0, 0, 0, 0, 1, 0, 0), 2.0);
    EXPECT_EQ(1e15 + 2, p.position[0]);
    EXPECT_EQ(2.0, p.velocity[0]);
    EXPECT_EQ(0.0, p.position[1]);
    EXPECT_EQ(0.0, p.velocity[2]);
}

TEST(Integration, InnerZoneTakesAHundredthOfTheStep) {
    const Particle p = integrated(moving(0, 0, 0, 0, 0, 0, 1, 0, 0), 2.0);
    EXPECT_DOUBLE_EQ(0.0002, p.position[0]);
    EXPECT_DOUBLE_EQ(0.02, p.velocity[0]);
}

TEST(Integration, InnerZoneBoundaryIsStrict) {
    const double just_inside = std::nextafter(kInnerZoneRadius, 0.0);
    EXPECT_EQ(kTimeStep, step_length(kInnerZoneRadius, kTimeStep));
    EXPECT_EQ(kTimeStep * 0.01, step_length(just_inside, kTimeStep));
    EXPECT_EQ(3.15576e13, step_length(0.0, kTimeStep));
    EXPECT_EQ(kTimeStep, step_length(std::nan(""), kTimeStep));  // NaN takes the full step

    // On the axis at exactly R_in: the full step; one ulp closer: a hundredth.
    const Particle at_boundary = integrated(moving(0, kInnerZoneRadius, 0, 1, 0, 0, 0, 0, 0), 4.0);
    EXPECT_EQ(4.0, at_boundary.position[0]);
    const Particle inside = integrated(moving(0, just_inside, 0, 1, 0, 0, 0, 0, 0), 4.0);
    EXPECT_EQ(0.04, inside.position[0]);
}

TEST(Integration, ZeroAccelerationDriftsAtConstantVelocity) {
    const Particle p = integrated(moving(1e20, -2e20, 3e19, 1e5, -2e5, 3e3, 0, 0, 0), kTimeStep);
    EXPECT_EQ(1e20 + 1e5 * kTimeStep, p.position[0]);
    EXPECT_EQ(-2e20 + -2e5 * kTimeStep, p.position[1]);
    EXPECT_EQ(1e5, p.velocity[0]);
    EXPECT_EQ(-2e5, p.velocity[1]);
    EXPECT_EQ(3e3, p.velocity[2]);
}

TEST(Integration, LeavesAccelerationAndMassUntouched) {
    Particle before = moving(1e20, 2e19, -3e18, 1e5, 2e5, -3e5, 1e-12, -2e-12, 3e-13);
    before.mass = 1.989e31;
    const Particle after = integrated(before, kTimeStep);
    EXPECT_EQ(0, std::memcmp(before.acceleration, after.acceleration, 24));
    EXPECT_EQ(before.mass, after.mass);
    EXPECT_NE(before.position[0], after.position[0]);
}

// The drift is one fused multiply-add. With p = -2^50, w = 2^50 - 2^20 and h = 1 + 2^-30 the
// exact h*w is 2^50 - 2^-10: rounding the product first would give p' = 0, the fused
// operation gives -2^-10. This also fails if a compiler rewrites the explicit fma.
TEST(Integration, DriftIsASingleFusedMultiplyAdd) {
    const double h = 1.0 + std::ldexp(1.0, -30);
    const double w = std::ldexp(1.0, 50) - std::ldexp(1.0, 20);
    const Particle p = integrated(moving(-std::ldexp(1.0, 50), 0, 0, w, 0, 0, 0, 0, 0), h);
    EXPECT_EQ(-std::ldexp(1.0, -10), p.position[0]);
}

// The build must not contract a * b + c on its own: the arithmetic is the same on CPU and GPU
// only if every fusion is an explicit fma.
TEST(Integration, CompilerDoesNotContractMultiplyAdd) {
    volatile double a = 1.0 + std::ldexp(1.0, -30);
    volatile double b = 1.0 - std::ldexp(1.0, -30);
    volatile double c = -1.0;
    const double product_then_sum = a * b + c;  // a*b = 1 - 2^-60 rounds to 1
    EXPECT_EQ(0.0, product_then_sum);
    EXPECT_EQ(-std::ldexp(1.0, -60), std::fma(a, b, c));
}

TEST(IntegrationPass, CountsOfZeroOrLessAndRemaindersOfABlock) {
    std::vector<Particle> particles(300, moving(1e20, 0, 0, 1, 2, 3, 1e-3, 0, 0));
    auto reference = particles;
    integrate_cpu(particles.data(), 0, kTimeStep);
    integrate_cpu(particles.data(), -1, kTimeStep);
    EXPECT_EQ(0, std::memcmp(particles.data(), reference.data(), 300 * sizeof(Particle)));

    integrate_cpu(particles.data(), 257, kTimeStep);  // not a multiple of 256
    integrate_reference(reference.data(), 257, kTimeStep);
    EXPECT_EQ(0, std::memcmp(particles.data(), reference.data(), 300 * sizeof(Particle)));
    EXPECT_EQ(1e20, particles[257].position[0]);  // past the count: untouched
}

}  // namespace
}  // namespace lumeth
