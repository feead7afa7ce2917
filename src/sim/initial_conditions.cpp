#include "initial_conditions.h"

#include <cmath>
#include <ctime>

#include "constants.h"
#include "random_draws.h"

namespace lumeth {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kBulgeFraction = 0.2;
constexpr double kDiskFraction = 0.7;
constexpr double kBulgeScaleRadius = 1.543e20;    // m; half the bulge lies inside it
constexpr double kDiskScaleLength = 6.172e20;     // m; mean in-plane radius of the disk
constexpr double kDiskVerticalSpread = 3.086e19;  // m; standard deviation of z
constexpr double kHaloInnerRadius = 1.543e21;     // m; no halo record lies inside it
constexpr double kHaloRadiusExponent = -0.3333333333333333;
constexpr double kBulgeDispersion = 0.3;
constexpr double kDiskDispersion = 0.1;
constexpr double kHaloDispersion = 0.5;

// Draws in the order the records consume them. Some draws at the ends of the range make a
// formula non-finite (a zero or unbounded radius, the logarithm of zero); such a draw is
// rejected and the next one taken, so every record is finite and every accepted draw goes
// through the model's formula unchanged.
struct DrawStream {
    const std::function<int()>& next;

    double uniform() { return next() / 32767.0; }

    // A draw k with lowest <= k <= highest, as a uniform variate.
    double uniform_within(int lowest, int highest) {
        int k = next();
        while (k < lowest || k > highest) {
            k = next();
        }
        return k / 32767.0;
    }

    // Cosine half of Box-Muller on two fresh variates; u_a = 0 (log 0) is rejected.
    double gaussian() {
        const double u_a = uniform_within(1, kLargestDraw);
        const double u_b = uniform();
        return std::cos(u_b * kTwoPi) * std::sqrt(std::log(u_a) * -2.0);
    }
};

void set_record(Particle* p, double x, double y, double z, double vx, double vy, double vz,
                double mass) {
    *p = Particle{{x, y, z}, {vx, vy, vz}, {0.0, 0.0, 0.0}, mass};
}

double circular_speed(double radius) {
    return std::sqrt(kGM / radius);
}

// Spherical, isotropic, rotating about +z at the circular speed of its spherical radius.
void draw_bulge_record(DrawStream& draws, Particle* p) {
    const double u_r = draws.uniform_within(1, kLargestDraw - 1);  // r = 0 or unbounded
    const double r = (u_r * kBulgeScaleRadius) / (1.0 - u_r);
    const double theta = std::acos(2.0 * draws.uniform() - 1.0);
    const double phi = draws.uniform() * kTwoPi;
    const double sin_theta = std::sin(theta);
    const double sin_phi = std::sin(phi);
    const double cos_phi = std::cos(phi);
    const double v = circular_speed(r);
    const double sigma = v * kBulgeDispersion;
    const double g1 = draws.gaussian();
    const double g2 = draws.gaussian();
    const double g3 = draws.gaussian();
    set_record(p, (sin_theta * r) * cos_phi, (sin_theta * r) * sin_phi, std::cos(theta) * r,
               g1 * sigma - v * sin_phi, g2 * sigma + v * cos_phi, g3 * sigma, kSolarMass);
}

// Exponential in-plane radius, Gaussian height, rotating about +z.
void draw_disk_record(DrawStream& draws, Particle* p) {
    const double u_r = draws.uniform_within(1, kLargestDraw - 1);  // R = -0 or unbounded
    const double radius = std::log(1.0 - u_r) * -kDiskScaleLength;
    const double phi = draws.uniform() * kTwoPi;
    const double z = draws.gaussian() * kDiskVerticalSpread;
    const double sin_phi = std::sin(phi);
    const double cos_phi = std::cos(phi);
    const double v = circular_speed(radius);
    const double sigma = v * kDiskDispersion;
    const double g1 = draws.gaussian();
    const double g2 = draws.gaussian();
    const double g3 = draws.gaussian();
    set_record(p, cos_phi * radius, sin_phi * radius, z, g1 * sigma - v * sin_phi,
               g2 * sigma + v * cos_phi, (g3 * sigma) * 0.5, kSolarMass);
}

// Power-law radius beyond the inner radius, isotropic, no ordered rotation.
void draw_halo_record(DrawStream& draws, Particle* p) {
    const double u_r = draws.uniform_within(1, kLargestDraw);  // u = 0: unbounded radius
    const double r = std::pow(u_r, kHaloRadiusExponent) * kHaloInnerRadius;
    const double theta = std::acos(2.0 * draws.uniform() - 1.0);
    const double phi = draws.uniform() * kTwoPi;
    const double sin_theta = std::sin(theta);
    const double v = circular_speed(r);
    const double sigma = v * kHaloDispersion;
    const double g1 = draws.gaussian();
    const double g2 = draws.gaussian();
    const double g3 = draws.gaussian();
    set_record(p, std::cos(phi) * (sin_theta * r), std::sin(phi) * (sin_theta * r),
               std::cos(theta) * r, g1 * sigma, g2 * sigma, g3 * sigma, kHaloParticleMass);
}

}  // namespace

PopulationCounts population_counts(int count) {
    const int bulge = static_cast<int>(count * kBulgeFraction);
    const int disk = static_cast<int>(count * kDiskFraction);
    return PopulationCounts{bulge, disk, count - bulge - disk};
}

std::uint32_t clock_seed() {
    return static_cast<std::uint32_t>(std::time(nullptr));
}

void generate_galaxy_from_draws(Particle* particles, int count,
                                const std::function<int()>& next_draw) {
    if (count <= 0) {
        return;
    }
    DrawStream draws{next_draw};
    const PopulationCounts counts = population_counts(count);
    Particle* p = particles;
    for (int i = 0; i < counts.bulge; ++i) {
        draw_bulge_record(draws, p++);
    }
    for (int i = 0; i < counts.disk; ++i) {
        draw_disk_record(draws, p++);
    }
    for (int i = 0; i < counts.halo; ++i) {
        draw_halo_record(draws, p++);
    }
}

void generate_galaxy(Particle* particles, int count, std::uint32_t seed) {
    RandomDraws generator = seeded_draws(seed);
    generate_galaxy_from_draws(particles, count, [&generator] { return next_draw(&generator); });
}

}  // namespace lumeth

void generate_initial_conditions(Particle* particles, int count) {
    lumeth::generate_galaxy(particles, count, lumeth::clock_seed());
}
