// The per-particle arithmetic of the simulation, written once and compiled for the host (CPU
// path, tests, benchmark) and the GPU (the CUDA kernels).
//
// Bit-for-bit agreement between CPU and GPU rests on three rules:
//  - every fused multiply-add is written out as fma(); both compilers are told never to
//    contract on their own (-ffp-contract=off, nvcc --fmad=false);
//  - divisions and square roots are the correctly rounded IEEE operations on both sides;
//  - a dot product or sum of squares is formed y term first, then the x product fused onto
//    it, then the z product fused onto that; every other expression (cross products
//    included) is evaluated as written, one rounding per operation.
// Only acos, atan2, sin and cos (inner zone only) come from each side's own math library
// (LibraryMath) and may differ in their last bits.
#pragma once

// Under NVRTC (no host headers) sqrt, fma and acos are its built-in device functions.
#ifndef __CUDACC_RTC__
#include <cmath>
#endif

#include "host_device.h"
#include "sim/constants.h"
#include "sim/particle.h"

// The CPU loops are compiled once per instruction-set level (cpu_level.cpp); each of those
// compilations names its own inline namespace here, so that every level's copies of these
// inline functions get their own symbols. With one shared symbol the linker would keep a
// single copy, possibly one compiled for AVX-512, and call it from every level. Everything
// else (the reference loops, the tests, the CUDA kernels) compiles them with the build's
// base flags, in the default namespace.
#ifndef LUMETH_ISA_NAMESPACE
#define LUMETH_ISA_NAMESPACE isa_base
#endif

namespace lumeth {
inline namespace LUMETH_ISA_NAMESPACE {

template <typename Real>
struct Vector3 {
    Real x, y, z;
};

// (ay*by + ax*bx) + az*bz with two fused additions. Unqualified fma finds ::fma for double
// (host and device) and the element-wise overload for SIMD types by argument lookup.
template <typename Real>
LUMETH_SHARED Real sum_of_products(Real ax, Real ay, Real az, Real bx, Real by, Real bz) {
    return fma(az, bz, fma(ax, bx, ay * by));
}

// --- The black hole's pull -------------------------------------------------------------------

// Whether a particle at distance r from the black hole is in its inner zone, where the
// relativistic model and the 1/100 step apply. False for a NaN distance.
LUMETH_SHARED bool in_inner_zone(double r) {
    return r < kInnerZoneRadius;
}

// The math library functions the inner model calls: those of the side the code runs on (the C
// library's on the host, CUDA's on the device). The comparison of GPU with CPU results
// substitutes its own to see how far the result moves when these results differ by a few ulps.
struct LibraryMath {
    LUMETH_SHARED double acos(double x) const { return ::acos(x); }
    LUMETH_SHARED double atan2(double y, double x) const { return ::atan2(y, x); }
    LUMETH_SHARED double sin(double x) const { return ::sin(x); }
    LUMETH_SHARED double cos(double x) const { return ::cos(x); }
};

// Outside the inner zone: Newton's pull, scaled by 1 + v^2/c^2.
LUMETH_SHARED Vector3<double> outer_black_hole_pull(double dx, double dy, double dz, double r,
                                                    double vx, double vy, double vz) {
    const double k = kGM / (r * (r * r));
    const double v_squared = sum_of_products(vx, vy, vz, vx, vy, vz);
    const double f = v_squared / kSpeedOfLightSquared + 1.0;
    return {-((dx * k) * f), -((dy * k) * f), -((dz * k) * f)};
}

// Inside the inner zone: the relativistic model in spherical coordinates about the centre,
// with radial, polar and azimuthal rates and frame dragging about the z axis. `s` is
// dx^2 + dy^2 as already formed for r.
// `math` supplies acos, atan2, sin and cos, called in this order: acos, atan2, sin(theta),
// cos(theta), sin(phi), cos(phi).
template <typename Math>
LUMETH_SHARED Vector3<double> inner_black_hole_pull(double dx, double dy, double dz, double s,
                                                    double r, double vx, double vy, double vz,
                                                    Math&& math) {
    // Within kSmallDistance of the centre the particle has fallen into the hole: its position
    // defines no direction (theta is undefined and every quotient by r diverges), so the
    // hole exerts no pull on it.
    if (!(r > kSmallDistance)) {
        return {0.0, 0.0, 0.0};
    }
    const double theta = math.acos(dz / r);
    const double phi = math.atan2(dy, dx);
    const double rho = sqrt(s);  // cylindrical radius

    const double v_r = sum_of_products(dx, dy, dz, vx, vy, vz) / r;
    double w_theta = 0.0;
    double w_phi = 0.0;
    if (rho > kSmallDistance) {
        const double rho_squared = rho * rho;
        w_theta = (dz * fma(dx, vx, dy * vy) - vz * rho_squared) / ((r * r) * rho);
        w_phi = (dx * vy - dy * vx) / rho_squared;
    }

    const double s_theta = math.sin(theta);
    const double c_theta = math.cos(theta);
    const double s_phi = math.sin(phi);
    const double c_phi = math.cos(phi);

    const double r_cubed = r * (r * r);
    const double two_r = r + r;
    const double s_theta_squared = s_theta * s_theta;
    const double omega = kFrameDragging / (r_cubed * kSpeedOfLight);  // frame-dragging rate

    const double a_r = (-kGM / r_cubed) * (1.0 + (-kThreeSchwarzschildRadii) / two_r) +
                       (kSchwarzschildRadius / (r * two_r) - 1.0 / r) * (v_r * v_r) +
                       w_theta * (r * w_theta) + w_phi * (w_phi * (r * s_theta_squared)) -
                       omega * (w_phi * (two_r * s_theta_squared));
    const double a_theta = ((-2.0 * v_r) * w_theta) / r + w_phi * (w_phi * (s_theta * c_theta));
    // The cot(theta) term is taken as 0 wherever sin(theta) is exactly 0. On the +z axis the
    // rates it multiplies vanish (the axis has no azimuth), so 0 is its limit there. Off the
    // axis by less than about 1.5e-8 rad, dz / r rounds to 1 and acos gives theta = 0 while
    // the rates of the true offset need not vanish. Every other sin(theta) factor is then 0
    // as well, so the model already treats the particle as on the axis; the true cot(theta),
    // about r / rho, would make this one term grow as 1 / rho^2 towards the guard distance
    // while the sin(theta) terms beside it are dropped. Keeping 0 keeps the result finite
    // and of the axis' form. (Near the -z axis sin(theta) does not round to 0.)
    const double cot_term =
        s_theta != 0.0 ? w_phi * (w_theta * ((c_theta + c_theta) / s_theta)) : 0.0;
    const double a_phi = omega * v_r + (((-2.0 * v_r) * w_phi) / r - cot_term);

    const double p = s_theta * a_r;
    const double q = c_theta * a_theta;
    return {p * c_phi + q * c_phi - a_phi * s_phi, p * s_phi + q * s_phi + a_phi * c_phi,
            a_r * c_theta - s_theta * a_theta};
}

// The black hole's pull on a particle at offset (dx, dy, dz) from it, moving at (vx, vy, vz);
// `math` as for inner_black_hole_pull.
template <typename Math = LibraryMath>
LUMETH_SHARED Vector3<double> black_hole_pull(double dx, double dy, double dz, double vx, double vy,
                                              double vz, Math&& math = Math{}) {
    const double s = fma(dx, dx, dy * dy);
    const double r = sqrt(fma(dz, dz, s));
    if (in_inner_zone(r)) {
        return inner_black_hole_pull(dx, dy, dz, s, r, vx, vy, vz, math);
    }
    return outer_black_hole_pull(dx, dy, dz, r, vx, vy, vz);  // also when r is NaN
}

// --- The sampled pairwise term -----------------------------------------------------------------

// The divisions and the square root of the pairwise term: the correctly rounded IEEE operations
// of the side the code runs on (the CPU's divider, the GPU's own sequences). The CPU path may
// pass another policy with the same interface that gives the same bits by other means
// (fma_arithmetic.h). A divisor used for several quotients is prepared once with divisor();
// root_divisor() prepares a square root as a divisor. A divisor may be prepared with an
// estimate of its reciprocal taken from another divisor's (reciprocal_estimate()), for a policy
// that divides by refining such estimates; here the estimates go unused.
struct IeeeArithmetic {
    template <typename Real>
    LUMETH_SHARED Real square_root(Real x) const {
        return sqrt(x);
    }
    template <typename Real>
    LUMETH_SHARED Real root_divisor(Real x) const {
        return sqrt(x);
    }
    template <typename Real>
    LUMETH_SHARED Real divisor(Real b) const {
        return b;
    }
    template <typename Real>
    LUMETH_SHARED Real divisor(Real b, Real /*reciprocal_estimate*/) const {
        return b;
    }
    template <typename Real>
    LUMETH_SHARED Real value(Real b) const {
        return b;
    }
    template <typename Real>
    LUMETH_SHARED Real reciprocal_estimate(Real /*b*/) const {
        return Real(0.0);
    }
    template <typename Real>
    LUMETH_SHARED Real divide(Real a, Real b) const {
        return a / b;
    }
};

// The acceleration that sampled particle j gives particle i: softened Newtonian pull with a
// first-order post-Newtonian factor and a radiation-reaction term. Templated on the number
// type so that the CPU path can evaluate several particles i at once in SIMD lanes with
// exactly the scalar operations, and on the arithmetic that divides and takes the root.
// `by_mass_i` is arithmetic.divisor(mass_i), prepared once for all pairs of particle i.
template <typename Real, typename Arithmetic, typename Divisor>
LUMETH_SHARED Vector3<Real> pair_pull(Real xi, Real yi, Real zi, Real vxi, Real vyi, Real vzi,
                                      Real mass_i, Real xj, Real yj, Real zj, Real vxj, Real vyj,
                                      Real vzj, Real mass_j, const Arithmetic& arithmetic,
                                      const Divisor& by_mass_i) {
    const Real dx = xj - xi;
    const Real dy = yj - yi;
    const Real dz = zj - zi;
    const Real dvx = vxj - vxi;
    const Real dvy = vyj - vyi;
    const Real dvz = vzj - vzi;

    // The terms that do not depend on d are formed around the root, the longest chain: their
    // quotients are independent work beside it. The velocity terms come before it (the
    // velocity differences are then no longer needed), the mass terms after it.
    const Real squared_distance = sum_of_products(dx, dy, dz, dx, dy, dz) + kSofteningSquared;
    const Real approach = sum_of_products(dx, dy, dz, dvx, dvy, dvz);
    const Real kinetic = arithmetic.divide(sum_of_products(dvx, dvy, dvz, dvx, dvy, dvz),
                                           Real(-kTwoSpeedOfLightSquared)) +
                         1.0;

    // d, prepared as the divisor of the three quotients by d at the end. The divisors d^2,
    // d c^2 and 5 d^3 c^5 take the estimates of their reciprocals from that of 1/d.
    const auto by_d = arithmetic.root_divisor(squared_distance);
    const Real gravitational_mass = (mass_i * kGravitationalConstant) * mass_j;
    const Real total_mass = mass_i + mass_j;
    const Real reduced_mass = arithmetic.divide(mass_i * mass_j, total_mass);
    const Real d = arithmetic.value(by_d);
    const Real d_squared = d * d;
    const Real d_cubed = d * d_squared;
    const Real inverse_d = arithmetic.reciprocal_estimate(by_d);
    const Real inverse_d_squared = inverse_d * inverse_d;

    const Real newtonian =
        arithmetic.divide(gravitational_mass, arithmetic.divisor(d_squared, inverse_d_squared));
    const Real post_newtonian =
        kinetic + arithmetic.divide(total_mass * kThreeG,
                                    arithmetic.divisor(d * kSpeedOfLightSquared,
                                                       inverse_d * (1.0 / kSpeedOfLightSquared)));
    const Real radiation_reaction = arithmetic.divide(
        total_mass * (reduced_mass * -kEightGSquared),
        arithmetic.divisor((d_cubed * 5.0) * kSpeedOfLightFifth,
                           inverse_d_squared * (inverse_d * (1.0 / (5.0 * kSpeedOfLightFifth)))));
    const Real force = newtonian * post_newtonian + approach * radiation_reaction;

    // Three quotients by d, then three by m_i (the three of each kind are independent).
    const Real fx = arithmetic.divide(dx * force, by_d);
    const Real fy = arithmetic.divide(dy * force, by_d);
    const Real fz = arithmetic.divide(dz * force, by_d);
    return {arithmetic.divide(fx, by_mass_i), arithmetic.divide(fy, by_mass_i),
            arithmetic.divide(fz, by_mass_i)};
}

// pair_pull with the correctly rounded operations of the side the code runs on.
template <typename Real>
LUMETH_SHARED Vector3<Real> pair_pull(Real xi, Real yi, Real zi, Real vxi, Real vyi, Real vzi,
                                      Real mass_i, Real xj, Real yj, Real zj, Real vxj, Real vyj,
                                      Real vzj, Real mass_j) {
    return pair_pull(xi, yi, zi, vxi, vyi, vzi, mass_i, xj, yj, zj, vxj, vyj, vzj, mass_j,
                     IeeeArithmetic{}, mass_i);
}

// --- Whole-particle operations: the bodies of the two kernels ------------------------------------

// Stores the acceleration of record i: the black hole's pull (centre at center_x/y/z) plus the
// pull of records 0, 1000, 2000, ... below count, other than i itself, in increasing order.
// Reads position, velocity and mass only; writes only the acceleration of record i. `math` as
// for inner_black_hole_pull.
template <typename Math = LibraryMath>
LUMETH_SHARED void compute_particle_acceleration(Particle* particles, int count, int i,
                                                 double center_x, double center_y, double center_z,
                                                 Math&& math = Math{}) {
    const Particle& pi = particles[i];
    const double x = pi.position[0], y = pi.position[1], z = pi.position[2];
    const double vx = pi.velocity[0], vy = pi.velocity[1], vz = pi.velocity[2];
    const double mass = pi.mass;

    Vector3<double> a = black_hole_pull(x - center_x, y - center_y, z - center_z, vx, vy, vz, math);
    for (int j = 0; j < count; j += kPairSampleStride) {
        if (j == i) {
            continue;
        }
        const Particle& pj = particles[j];
        const Vector3<double> pull =
            pair_pull(x, y, z, vx, vy, vz, mass, pj.position[0], pj.position[1], pj.position[2],
                      pj.velocity[0], pj.velocity[1], pj.velocity[2], pj.mass);
        a.x = a.x + pull.x;
        a.y = a.y + pull.y;
        a.z = a.z + pull.z;
    }
    particles[i].acceleration[0] = a.x;
    particles[i].acceleration[1] = a.y;
    particles[i].acceleration[2] = a.z;
}

// The step length at distance r from the origin: 1/100 of dt inside the inner zone.
LUMETH_SHARED double step_length(double r, double dt) {
    return in_inner_zone(r) ? dt * 0.01 : dt;
}

// Kick-drift-kick under the stored acceleration: v' = v + a h, p' = p + v h + a h^2 / 2,
// with h the particle's step length. Writes only position and velocity.
LUMETH_SHARED void integrate_particle(Particle* particle, double dt) {
    double* position = particle->position;
    double* velocity = particle->velocity;
    const double* acceleration = particle->acceleration;

    double s = position[1] * position[1];
    s = fma(position[0], position[0], s);
    s = fma(position[2], position[2], s);
    const double h = step_length(sqrt(s), dt);

    double new_position[3];
    double new_velocity[3];
    for (int k = 0; k < 3; ++k) {
        const double t = acceleration[k] * h;
        const double w = fma(0.5, t, velocity[k]);  // first half-kick
        new_position[k] = fma(h, w, position[k]);   // drift
        new_velocity[k] = fma(0.5, t, w);           // second half-kick, same t
    }
    for (int k = 0; k < 3; ++k) {
        position[k] = new_position[k];
    }
    for (int k = 0; k < 3; ++k) {
        velocity[k] = new_velocity[k];
    }
}

}  // namespace LUMETH_ISA_NAMESPACE
}  // namespace lumeth
