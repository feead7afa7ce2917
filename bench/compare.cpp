#include "compare.h"

#include <cmath>
#include <cstring>

#include "sim/constants.h"
#include "sim/float_bits.h"

namespace lumeth::bench {
namespace {

// The ten doubles of a record, in layout order.
constexpr int kFields = 10;
struct Fields {
    double v[kFields];
};
Fields fields(const Particle& p) {
    Fields f;
    std::memcpy(f.v, &p, sizeof p);
    return f;
}

}  // namespace

bool within_inner_zone_allowance(double a, double b) {
    if (same_bits(a, b)) {
        return true;
    }
    if (std::isnan(a) || std::isnan(b)) {
        return false;
    }
    return std::fabs(a - b) <= kInnerZoneAbsolute || ulp_distance(a, b) <= kInnerZoneUlps;
}

bool in_inner_zone(const Particle& p) {
    const double x = p.position[0];
    const double y = p.position[1];
    const double z = p.position[2];
    return std::sqrt(std::fma(z, z, std::fma(x, x, y * y))) < kInnerZoneRadius;
}

Comparison compare_exact(const Particle* expected, const Particle* actual, int count) {
    Comparison result;
    for (int i = 0; i < count; ++i) {
        const Fields e = fields(expected[i]);
        const Fields a = fields(actual[i]);
        for (int k = 0; k < kFields; ++k) {
            if (!same_bits(e.v[k], a.v[k])) {
                ++result.differing;
                break;
            }
        }
    }
    return result;
}

Comparison compare_gpu_forces(const Particle* expected, const Particle* actual, int count) {
    Comparison result;
    for (int i = 0; i < count; ++i) {
        const Fields e = fields(expected[i]);
        const Fields a = fields(actual[i]);
        const bool inner = in_inner_zone(expected[i]);
        bool differs = false;
        bool inexact = false;
        for (int k = 0; k < kFields; ++k) {
            if (same_bits(e.v[k], a.v[k])) {
                continue;
            }
            const bool acceleration = k >= 6 && k < 9;
            if (inner && acceleration && within_inner_zone_allowance(e.v[k], a.v[k])) {
                inexact = true;
                if (!(std::fabs(e.v[k] - a.v[k]) <= kInnerZoneAbsolute)) {
                    const std::uint64_t ulps = ulp_distance(e.v[k], a.v[k]);
                    result.max_ulps = ulps > result.max_ulps ? ulps : result.max_ulps;
                }
            } else {
                differs = true;
            }
        }
        if (differs) {
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
        return "identical outside the inner zone, " +
               std::to_string(comparison.inner_zone_inexact) + " inner-zone record" +
               (comparison.inner_zone_inexact == 1 ? "" : "s") + " within " +
               std::to_string(comparison.max_ulps) + " ulps";
    }
    return "identical";
}

}  // namespace lumeth::bench
