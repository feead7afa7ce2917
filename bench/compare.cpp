#include "compare.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "sim/constants.h"

namespace lumeth::bench {
namespace {

// The ten doubles of a record, in layout order.
constexpr int kFields = 10;
constexpr int kFirstAcceleration = 6;
struct Fields {
    double v[kFields];
};
Fields fields(const Particle& p) {
    Fields f;
    std::memcpy(f.v, &p, sizeof p);
    return f;
}

// The host library's acos, atan2, sin and cos, with the result of call number `nudged_call`
// (in the inner model's order: acos, atan2, sin(theta), cos(theta), sin(phi), cos(phi)) moved
// by `ulps` representable doubles. A zero result stays zero: acos(1), atan2(0, x > 0) and
// sin(0) are exact in every library.
struct NudgedMath {
    int nudged_call;
    int ulps;
    int call = 0;

    double nudge(double value) {
        if (call++ != nudged_call || value == 0.0) {
            return value;
        }
        const double towards = ulps > 0 ? HUGE_VAL : -HUGE_VAL;
        for (int k = 0; k < std::abs(ulps); ++k) {
            value = std::nextafter(value, towards);
        }
        return value;
    }
    double acos(double x) { return nudge(std::acos(x)); }
    double atan2(double y, double x) { return nudge(std::atan2(y, x)); }
    double sin(double x) { return nudge(std::sin(x)); }
    double cos(double x) { return nudge(std::cos(x)); }
};
constexpr int kLibraryCalls = 6;

}  // namespace

bool in_inner_zone(const Particle& p, double center_x, double center_y, double center_z) {
    const double dx = p.position[0] - center_x;
    const double dy = p.position[1] - center_y;
    const double dz = p.position[2] - center_z;
    return lumeth::in_inner_zone(std::sqrt(std::fma(dz, dz, std::fma(dx, dx, dy * dy))));
}

Vector3<double> gpu_force_tolerance(const Particle* particles, int count, int i, double center_x,
                                    double center_y, double center_z) {
    const Particle& p = particles[i];
    if (!in_inner_zone(p, center_x, center_y, center_z)) {
        return {0.0, 0.0, 0.0};
    }
    const double dx = p.position[0] - center_x;
    const double dy = p.position[1] - center_y;
    const double dz = p.position[2] - center_z;
    const double vx = p.velocity[0], vy = p.velocity[1], vz = p.velocity[2];
    const Vector3<double> pull = black_hole_pull(dx, dy, dz, vx, vy, vz);

    double spread[3] = {0.0, 0.0, 0.0};
    for (int call = 0; call < kLibraryCalls; ++call) {
        double largest[3] = {0.0, 0.0, 0.0};
        for (int ulps : {kLibraryUlps, -kLibraryUlps}) {
            const Vector3<double> moved =
                black_hole_pull(dx, dy, dz, vx, vy, vz, NudgedMath{call, ulps});
            largest[0] = std::max(largest[0], std::fabs(moved.x - pull.x));
            largest[1] = std::max(largest[1], std::fabs(moved.y - pull.y));
            largest[2] = std::max(largest[2], std::fabs(moved.z - pull.z));
        }
        for (int k = 0; k < 3; ++k) {
            spread[k] += largest[k];
        }
    }

    // Each addition of a sampled pair's pull rounds on each side by at most half an ulp of a
    // partial sum, which is at most the black hole's pull plus every pair's pull in size.
    double magnitude[3] = {std::fabs(pull.x), std::fabs(pull.y), std::fabs(pull.z)};
    int additions = 0;
    for (int j = 0; j < count; j += kPairSampleStride) {
        if (j == i) {
            continue;
        }
        const Particle& q = particles[j];
        const Vector3<double> pair = pair_pull(
            p.position[0], p.position[1], p.position[2], vx, vy, vz, p.mass, q.position[0],
            q.position[1], q.position[2], q.velocity[0], q.velocity[1], q.velocity[2], q.mass);
        magnitude[0] += std::fabs(pair.x);
        magnitude[1] += std::fabs(pair.y);
        magnitude[2] += std::fabs(pair.z);
        ++additions;
    }
    double tolerance[3];
    for (int k = 0; k < 3; ++k) {
        tolerance[k] = 2.0 * spread[k] + additions * DBL_EPSILON * (magnitude[k] + spread[k]);
    }
    return {tolerance[0], tolerance[1], tolerance[2]};
}

Comparison compare_exact(const Particle* expected, const Particle* actual, int count) {
    Comparison result;
    for (int i = 0; i < count; ++i) {
        const Fields e = fields(expected[i]);
        const Fields a = fields(actual[i]);
        for (int k = 0; k < kFields; ++k) {
            if (!same_bits(e.v[k], a.v[k])) {
                result.first_differing = result.differing == 0 ? i : result.first_differing;
                ++result.differing;
                break;
            }
        }
    }
    return result;
}

Comparison compare_gpu_forces(const Particle* expected, const Particle* actual, int count,
                              double center_x, double center_y, double center_z) {
    Comparison result;
    for (int i = 0; i < count; ++i) {
        const Fields e = fields(expected[i]);
        const Fields a = fields(actual[i]);
        bool differs = false;
        bool inexact = false;
        for (int k = 0; k < kFields && !differs; ++k) {
            if (same_bits(e.v[k], a.v[k])) {
                continue;
            }
            const bool acceleration = k >= kFirstAcceleration && k < kFirstAcceleration + 3;
            if (!acceleration || !in_inner_zone(expected[i], center_x, center_y, center_z)) {
                differs = true;
                continue;
            }
            const Vector3<double> tolerance =
                gpu_force_tolerance(expected, count, i, center_x, center_y, center_z);
            const double allowed[3] = {tolerance.x, tolerance.y, tolerance.z};
            const double difference = std::fabs(e.v[k] - a.v[k]);
            if (!(difference <= allowed[k - kFirstAcceleration])) {
                differs = true;  // also a NaN on one side only
                continue;
            }
            inexact = true;
            result.worst_share =
                std::max(result.worst_share, difference / allowed[k - kFirstAcceleration]);
        }
        if (differs) {
            result.first_differing = result.differing == 0 ? i : result.first_differing;
            ++result.differing;
        } else if (inexact) {
            ++result.inner_zone_inexact;
        }
    }
    return result;
}

std::string describe(const Comparison& comparison) {
    if (comparison.differing > 0) {
        return std::to_string(comparison.differing) +
               (comparison.differing == 1 ? " record differs" : " records differ");
    }
    if (comparison.inner_zone_inexact > 0) {
        char share[32];
        std::snprintf(share, sizeof share, "%.2g", comparison.worst_share);
        return "identical outside the inner zone, " +
               std::to_string(comparison.inner_zone_inexact) + " inner-zone record" +
               (comparison.inner_zone_inexact == 1 ? "" : "s") + " within " + share +
               " of their tolerance";
    }
    return "identical";
}

}  // namespace lumeth::bench
