// The record layout and the shared constants are part of the model's definition: the layout
// is shared with the GPU as raw bytes, and each constant is a specific double.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "sim/constants.h"
#include "sim/float_bits.h"
#include "sim/particle.h"

namespace lumeth {
namespace {

// Bit-for-bit equality, so that a constant that prints the same but differs in its last bit
// (or is a differently signed zero) fails.
#define EXPECT_SAME_DOUBLE(expected, actual) \
    EXPECT_EQ(bit_pattern(expected), bit_pattern(actual)) << #actual " = " << (actual)

TEST(Particle, IsTenPackedDoublesInArrayOrder) {
    Particle records[2] = {};
    EXPECT_EQ(reinterpret_cast<char*>(&records[1]) - reinterpret_cast<char*>(&records[0]), 80);
    const double* fields = reinterpret_cast<const double*>(&records[0]);
    records[0] = Particle{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, 10};
    for (int k = 0; k < 10; ++k) {
        EXPECT_EQ(fields[k], k + 1.0);
    }
}

TEST(Constants, HaveTheModelsExactValues) {
    EXPECT_SAME_DOUBLE(1.989e30, kSolarMass);
    EXPECT_SAME_DOUBLE(6.6743e-11, kGravitationalConstant);
    EXPECT_SAME_DOUBLE(1.8585255779999997e28, kGM);
    EXPECT_SAME_DOUBLE(299792458.0, kSpeedOfLight);
    EXPECT_SAME_DOUBLE(8.987551787368176e16, kSpeedOfLightSquared);
    EXPECT_SAME_DOUBLE(413577717707.75665, kSchwarzschildRadius);
    EXPECT_SAME_DOUBLE(413577717707756.6, kInnerZoneRadius);
    EXPECT_SAME_DOUBLE(1240733153123.27, kThreeSchwarzschildRadii);
    EXPECT_SAME_DOUBLE(5.3805133679551035e39, kFrameDragging);
    EXPECT_SAME_DOUBLE(1e32, kSofteningSquared);
    EXPECT_SAME_DOUBLE(2.0022899999999998e-10, kThreeG);
    EXPECT_SAME_DOUBLE(1.7975103574736352e17, kTwoSpeedOfLightSquared);
    EXPECT_SAME_DOUBLE(3.5637024391999994e-20, kEightGSquared);
    EXPECT_SAME_DOUBLE(2.4216061708512204e42, kSpeedOfLightFifth);
    EXPECT_SAME_DOUBLE(1e-10, kSmallDistance);
    EXPECT_SAME_DOUBLE(3.086e19, kKiloparsec);
    EXPECT_SAME_DOUBLE(3.15576e15, kTimeStep);
    EXPECT_SAME_DOUBLE(3.15576e13, kSecondsPerMegayear);
    EXPECT_SAME_DOUBLE(1.989e31, kHaloParticleMass);
    EXPECT_SAME_DOUBLE(9.945e30, kHeavyParticleMass);
    EXPECT_SAME_DOUBLE(0.7, kSpin);
    EXPECT_SAME_DOUBLE(1.4e8, kBlackHoleSolarMasses);
    EXPECT_EQ(1000, kPairSampleStride);
}

// Each derived constant is the double its defining expression gives, evaluated left to right;
// a typo in any digit breaks the chain.
TEST(Constants, AreTheirDefiningExpressions) {
    volatile double g = kGravitationalConstant;  // keep the compiler from folding differently
    volatile double c = kSpeedOfLight;
    const double black_hole_mass = kBlackHoleSolarMasses * kSolarMass;
    EXPECT_SAME_DOUBLE(2.7845999999999997e38, black_hole_mass);
    EXPECT_SAME_DOUBLE(kGM, g * black_hole_mass);
    EXPECT_NE(bit_pattern(1.858525578e28), bit_pattern(kGM));
    EXPECT_SAME_DOUBLE(kSpeedOfLightSquared, c * c);
    EXPECT_SAME_DOUBLE(kSchwarzschildRadius, 2.0 * kGM / kSpeedOfLightSquared);
    EXPECT_SAME_DOUBLE(kInnerZoneRadius, 1000.0 * kSchwarzschildRadius);
    EXPECT_SAME_DOUBLE(kThreeSchwarzschildRadii, 3.0 * kSchwarzschildRadius);
    EXPECT_SAME_DOUBLE(kThreeG, 3.0 * g);
    EXPECT_SAME_DOUBLE(kTwoSpeedOfLightSquared, 2.0 * kSpeedOfLightSquared);
    EXPECT_SAME_DOUBLE(kEightGSquared, 8.0 * g * g);
    EXPECT_SAME_DOUBLE(kSpeedOfLightFifth, c * c * c * c * c);
    const double angular_momentum = kSpin * g * black_hole_mass * black_hole_mass / c;
    EXPECT_SAME_DOUBLE(1.2083943843407691e58, angular_momentum);
    EXPECT_SAME_DOUBLE(kFrameDragging, 2.0 * g * angular_momentum / c);
    EXPECT_SAME_DOUBLE(kHeavyParticleMass, 5.0 * kSolarMass);
    EXPECT_SAME_DOUBLE(kSecondsPerMegayear * 100.0, kTimeStep);
    // The renderer's base scale: 960 pixels per 125 kpc.
    EXPECT_SAME_DOUBLE(2.488658457550227e-19, 960.0 / (125.0 * kKiloparsec));
}

}  // namespace
}  // namespace lumeth
