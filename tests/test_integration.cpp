// The integration pass on the CPU, through the same per-particle function the CUDA kernel runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "kernels/cpu_kernels.h"
#include "kernels/exact_fma.h"
#include "kernels/physics.h"
#include "reference_table_check.h"
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

// The step against the table's exact results (data/physics_reference.h): the step is fixed
// rounding by rounding, so every path must give the same bits. Cases inside and outside the
// zone, exactly on its edge and one ulp inside it, at rest under a unit pull with dt = 2 s, with
// no acceleration, with a kick comparable to the speed, and with a negative step.
TEST(Integration, MatchesTheTableBitForBitOnEveryPath) {
    reference_table::expect_steps_match("reference loop", integrate_reference);
    const std::string previous = cpu_instruction_set();
    for (const char* level : supported_cpu_instruction_sets()) {
        ASSERT_TRUE(use_cpu_instruction_set(level));
        reference_table::expect_steps_match(level, integrate_cpu);
    }
    use_cpu_instruction_set(previous.c_str());
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

#if defined(__GNUC__) && defined(__x86_64__)
__attribute__((target("fma"))) double fma_instruction(double x, double y, double z) {
    return __builtin_fma(x, y, z);
}
#endif

double with_bits(std::uint64_t bits) {
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// fma() must be correctly rounded: where the instruction set has no FMA instruction (the
// reference loops, the x86-64 level) the C library's fma() gives the bits that the FMA
// instructions of the other levels and of the GPU give. Checked against exact_fma, which takes
// the place of a C library fma() that is not correctly rounded, and both against the FMA
// instruction where the CPU has one. Operands: special values, then pseudo-random ones with
// products that cancel, underflow and overflow.
TEST(Integration, FusedMultiplyAddIsCorrectlyRounded) {
    const double inf = std::numeric_limits<double>::infinity();
    const double max = std::numeric_limits<double>::max();
    const double tiny = std::numeric_limits<double>::denorm_min();
    const double special[] = {0.0,  -0.0,      inf,      -inf,    std::nan(""),
                              1.0,  -3.0,      tiny,     -tiny,   max,
                              -max, 0x1p-1022, 0x1p-537, 0x1p512, 0x1.0000000000001p0};
    std::vector<double> operands;  // triples
    for (double x : special) {
        for (double y : special) {
            for (double z : special) {
                operands.insert(operands.end(), {x, y, z});
            }
        }
    }
    std::uint64_t state = 88172645463325252u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    // A random mantissa and sign with an exponent in [low, high].
    auto in_range = [&](int low, int high) {
        const double m = 1.0 + static_cast<double>(next() >> 12) * 0x1p-52;
        const int e = low + static_cast<int>(next() % static_cast<std::uint64_t>(high - low + 1));
        return (next() & 1) != 0 ? -std::ldexp(m, e) : std::ldexp(m, e);
    };
    for (int k = 0; k < 100000; ++k) {
        const double x = in_range(-30, 30);
        const double y = in_range(-30, 30);
        const double product = x * y;
        operands.insert(operands.end(),
                        {with_bits(next()),
                         with_bits(next()),
                         with_bits(next()),  // any bits
                         x,
                         y,
                         in_range(-80, 80),  // ordinary
                         x,
                         y,
                         -product,  // the product's rounding error
                         x,
                         y,
                         -product * (1.0 + in_range(-60, -40)),  // near cancellation
                         in_range(-1074, -1000),
                         in_range(-60, 60),
                         in_range(-1074, -1000),
                         in_range(-600, -500),
                         in_range(-600, -500),
                         in_range(-1074, -1022),
                         in_range(500, 520),
                         in_range(500, 520),
                         in_range(1000, 1023),
                         in_range(511, 513),
                         in_range(510, 512),
                         -max});
    }

    bool instruction = false;
#if defined(__GNUC__) && defined(__x86_64__)
    __builtin_cpu_init();
    instruction = __builtin_cpu_supports("fma");
#endif
    auto same = [](double a, double b) {
        return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
    };
    int wrong = 0;
    for (std::size_t k = 0; k < operands.size(); k += 3) {
        volatile double x = operands[k], y = operands[k + 1], z = operands[k + 2];
        const double library = std::fma(x, y, z);
        const double exact = exact_fma(x, y, z);
        double expected = exact;
#if defined(__GNUC__) && defined(__x86_64__)
        if (instruction) {
            expected = fma_instruction(x, y, z);
        }
#endif
        if (!same(library, expected) || !same(exact, expected)) {
            if (++wrong <= 5) {
                ADD_FAILURE() << std::hexfloat << "fma(" << x << ", " << y << ", " << z
                              << "): C library " << library << ", exact_fma " << exact
                              << ", expected " << expected;
            }
        }
    }
    EXPECT_EQ(0, wrong) << "of " << operands.size() / 3 << " (FMA instruction "
                        << (instruction ? "used" : "absent") << ")";
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
