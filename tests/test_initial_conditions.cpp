#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <vector>

#include "sim/constants.h"
#include "sim/initial_conditions.h"
#include "sim/random_draws.h"

namespace lumeth {
namespace {

constexpr double kBulgeScaleRadius = 1.543e20;
constexpr double kDiskScaleLength = 6.172e20;
constexpr double kDiskVerticalSpread = 3.086e19;
constexpr double kHaloInnerRadius = 1.543e21;

double radius(const Particle& p) {
    return std::sqrt(p.position[0] * p.position[0] + p.position[1] * p.position[1] +
                     p.position[2] * p.position[2]);
}

bool is_finite(const Particle& p) {
    const double* fields = &p.position[0];
    for (int k = 0; k < 10; ++k) {
        if (!std::isfinite(fields[k])) {
            return false;
        }
    }
    return true;
}

// A source of draws the test scripts: the listed values first, then a fixed mid-range value.
struct ScriptedDraws {
    std::deque<int> script;
    int consumed = 0;
    std::function<int()> source() {
        return [this] {
            ++consumed;
            if (script.empty()) {
                return 12345;
            }
            const int k = script.front();
            script.pop_front();
            return k;
        };
    }
};

std::vector<Particle> drawn(int count, std::deque<int> script, int* consumed = nullptr) {
    ScriptedDraws draws{std::move(script)};
    std::vector<Particle> particles(count > 0 ? count : 1);
    generate_galaxy_from_draws(particles.data(), count, draws.source());
    if (consumed != nullptr) {
        *consumed = draws.consumed;
    }
    return particles;
}

std::vector<Particle> galaxy(int count, std::uint32_t seed) {
    std::vector<Particle> particles(count);
    generate_galaxy(particles.data(), count, seed);
    return particles;
}

TEST(PopulationCounts, TruncateTheFractionsAndGiveTheRestToTheHalo) {
    struct Case {
        int count, bulge, disk, halo;
    };
    // 90 * 0.7 is just below 63 in double precision.
    const Case cases[] = {{100000, 20000, 70000, 10000},
                          {90, 18, 62, 10},
                          {10, 2, 7, 1},
                          {3, 0, 2, 1},
                          {1, 0, 0, 1},
                          {0, 0, 0, 0}};
    for (const Case& c : cases) {
        const PopulationCounts counts = population_counts(c.count);
        EXPECT_EQ(c.bulge, counts.bulge) << "count " << c.count;
        EXPECT_EQ(c.disk, counts.disk) << "count " << c.count;
        EXPECT_EQ(c.halo, counts.halo) << "count " << c.count;
    }
}

TEST(InitialConditions, DrawsNineTenAndNineDrawsPerPopulationRecord) {
    int consumed = 0;
    drawn(100000, {}, &consumed);  // the scripted fallback value never triggers a redraw
    EXPECT_EQ(970000, consumed);
    drawn(10, {}, &consumed);
    EXPECT_EQ(2 * 9 + 7 * 10 + 1 * 9, consumed);
}

TEST(InitialConditions, MassesAndAccelerationsFollowThePopulations) {
    const std::vector<Particle> particles = galaxy(100000, 42);
    for (int i = 0; i < 100000; ++i) {
        const Particle& p = particles[i];
        ASSERT_EQ(i < 90000 ? kSolarMass : kHaloParticleMass, p.mass) << "record " << i;
        ASSERT_EQ(0.0, p.acceleration[0]);
        ASSERT_EQ(0.0, p.acceleration[1]);
        ASSERT_EQ(0.0, p.acceleration[2]);
        ASSERT_FALSE(std::signbit(p.acceleration[0]));
    }
    // The halo records are the only ones that lie at 1.543e21 m or beyond by construction.
    for (int i = 90000; i < 100000; ++i) {
        ASSERT_GE(radius(particles[i]), kHaloInnerRadius * (1 - 1e-15));
    }
}

TEST(InitialConditions, CountOfZeroOrLessWritesNothing) {
    Particle sentinel;
    std::memset(&sentinel, 0x5a, sizeof sentinel);
    for (int count : {0, -1, -100000}) {
        Particle record = sentinel;
        generate_initial_conditions(&record, count);
        EXPECT_EQ(0, std::memcmp(&record, &sentinel, sizeof record)) << "count " << count;
    }
}

TEST(InitialConditions, SameSeedGivesTheSameGalaxy) {
    const std::vector<Particle> a = galaxy(20000, 7);
    const std::vector<Particle> b = galaxy(20000, 7);
    const std::vector<Particle> c = galaxy(20000, 8);
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(Particle)));
    EXPECT_NE(0, std::memcmp(a.data(), c.data(), a.size() * sizeof(Particle)));
}

TEST(InitialConditions, IsSeededFromTheCalendarTimeOnEveryCall) {
    // Each call's galaxy is the one drawn from the low 32 bits of the calendar time at some
    // second between the readings taken before and after it (usually one second, two when the
    // call straddles a change of second), whatever the calls before it drew.
    const auto drawn_from_a_second_within = [](const std::vector<Particle>& drawn, std::time_t from,
                                               std::time_t to) {
        for (std::time_t t = from; t <= to; ++t) {
            const std::vector<Particle> expected = galaxy(1000, static_cast<std::uint32_t>(t));
            if (std::memcmp(drawn.data(), expected.data(), 1000 * sizeof(Particle)) == 0) {
                return true;
            }
        }
        return false;
    };
    std::vector<Particle> first(1000), second(1000);
    const std::time_t t0 = std::time(nullptr);
    generate_initial_conditions(first.data(), 1000);
    const std::time_t t1 = std::time(nullptr);
    generate_initial_conditions(second.data(), 1000);
    const std::time_t t2 = std::time(nullptr);
    const std::uint32_t seed = clock_seed();
    const std::time_t t3 = std::time(nullptr);
    EXPECT_TRUE(drawn_from_a_second_within(first, t0, t1)) << "seconds " << t0 << " to " << t1;
    EXPECT_TRUE(drawn_from_a_second_within(second, t1, t2)) << "seconds " << t1 << " to " << t2;
    bool seed_within = false;
    for (std::time_t t = t2; t <= t3; ++t) {
        seed_within |= seed == static_cast<std::uint32_t>(t);
    }
    EXPECT_TRUE(seed_within) << "seed " << seed << ", seconds " << t2 << " to " << t3;
}

// Draw values at the ends of the range. u = 32767/32767 is exactly 1.
TEST(InitialConditionsEdgeDraws, FirstGaussianDrawOfTheLargestValueGivesAZeroDeviate) {
    // A disk record (count 3 gives records: disk, disk, halo): z deviate first draw 32767.
    const std::vector<Particle> disk = drawn(3, {16000, 8000, kLargestDraw, 555});
    EXPECT_EQ(0.0, disk[0].position[2]);
    // A halo record: its vx deviate is zero, so vx has no random part (and no ordered one).
    const std::vector<Particle> halo = drawn(1, {16000, 16000, 16000, kLargestDraw, 999});
    EXPECT_EQ(0.0, halo[0].velocity[0]);
    EXPECT_NE(0.0, halo[0].velocity[1]);
}

TEST(InitialConditionsEdgeDraws, LargestHaloRadiusDrawIsTheInnerRadius) {
    const std::vector<Particle> halo = drawn(1, {kLargestDraw, kLargestDraw, 5000});
    // With a polar draw of 32767 (theta = 0) the record sits on the +z axis at exactly r.
    EXPECT_EQ(0.0, halo[0].position[0]);
    EXPECT_EQ(0.0, halo[0].position[1]);
    EXPECT_EQ(kHaloInnerRadius, halo[0].position[2]);
}

TEST(InitialConditionsEdgeDraws, LargestPolarDrawPutsABulgeRecordOnThePlusZAxis) {
    // count 5: one bulge record first.
    const std::vector<Particle> bulge = drawn(5, {16383, kLargestDraw, 1234});
    const double u = 16383 / 32767.0;
    const double r = (u * kBulgeScaleRadius) / (1.0 - u);
    EXPECT_EQ(0.0, bulge[0].position[0]);
    EXPECT_EQ(0.0, bulge[0].position[1]);
    EXPECT_EQ(r, bulge[0].position[2]);
}

// Draws whose formulas give no finite value are rejected and the next draw taken: the record
// equals the one drawn without the rejected value, and every value stays finite.
TEST(InitialConditionsEdgeDraws, NonFiniteDrawsAreSkipped) {
    struct Case {
        const char* what;
        int count;
        std::deque<int> with_rejected;
        std::deque<int> without;
    };
    const Case cases[] = {
        {"bulge radius 0 and 32767", 5, {0, kLargestDraw, 20000, 3}, {20000, 3}},
        {"disk radius 0 and 32767", 3, {0, kLargestDraw, 20000, 3}, {20000, 3}},
        {"halo radius 0", 1, {0, 20000, 3}, {20000, 3}},
        {"gaussian first draw 0", 1, {20000, 3, 4, 0, 0, 17, 19}, {20000, 3, 4, 17, 19}},
        {"disk height first draw 0", 3, {20000, 3, 0, 11, 12}, {20000, 3, 11, 12}},
    };
    for (const Case& c : cases) {
        const std::vector<Particle> a = drawn(c.count, c.with_rejected);
        const std::vector<Particle> b = drawn(c.count, c.without);
        EXPECT_TRUE(is_finite(a[0])) << c.what;
        EXPECT_EQ(0, std::memcmp(&a[0], &b[0], sizeof(Particle))) << c.what;
    }
}

TEST(InitialConditions, EveryRecordIsFiniteForManySeeds) {
    std::vector<Particle> particles(100000);
    for (std::uint32_t seed = 1; seed <= 10; ++seed) {
        generate_galaxy(particles.data(), 100000, seed * 2654435761u);
        for (const Particle& p : particles) {
            ASSERT_TRUE(is_finite(p)) << "seed " << seed;
        }
    }
}

// The statistical shape of a default galaxy.
TEST(InitialConditions, DefaultGalaxyHasTheModelsShape) {
    const std::vector<Particle> particles = galaxy(100000, 2026);

    int bulge_inside_scale = 0;
    double bulge_lz = 0.0;
    for (int i = 0; i < 20000; ++i) {
        const Particle& p = particles[i];
        bulge_inside_scale += radius(p) < kBulgeScaleRadius;
        bulge_lz += p.position[0] * p.velocity[1] - p.position[1] * p.velocity[0];
    }
    EXPECT_NEAR(0.5, bulge_inside_scale / 20000.0, 0.02);
    EXPECT_GT(bulge_lz, 0.0);

    double sum_radius = 0.0, sum_z = 0.0, sum_z2 = 0.0;
    int disk_prograde = 0;
    for (int i = 20000; i < 90000; ++i) {
        const Particle& p = particles[i];
        sum_radius += std::hypot(p.position[0], p.position[1]);
        sum_z += p.position[2];
        sum_z2 += p.position[2] * p.position[2];
        disk_prograde += p.position[0] * p.velocity[1] - p.position[1] * p.velocity[0] > 0.0;
    }
    const double n = 70000.0;
    EXPECT_NEAR(kDiskScaleLength, sum_radius / n, 0.02 * kDiskScaleLength);
    EXPECT_NEAR(0.0, sum_z / n, 0.02 * kDiskVerticalSpread);
    EXPECT_NEAR(kDiskVerticalSpread, std::sqrt(sum_z2 / n), 0.02 * kDiskVerticalSpread);
    EXPECT_GT(disk_prograde / n, 0.95);  // random motions are a tenth of the rotation

    double halo_lz = 0.0, halo_l = 0.0;
    for (int i = 90000; i < 100000; ++i) {
        const Particle& p = particles[i];
        EXPECT_GE(radius(p), kHaloInnerRadius * (1 - 1e-15));
        const double lz = p.position[0] * p.velocity[1] - p.position[1] * p.velocity[0];
        halo_lz += lz;
        halo_l += std::fabs(lz);
    }
    EXPECT_LT(std::fabs(halo_lz), 0.05 * halo_l);  // no ordered rotation
}

}  // namespace
}  // namespace lumeth
