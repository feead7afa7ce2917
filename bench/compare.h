// How a backend's particle records are compared with the baseline's, by lumeth-bench and by
// the GPU tests.
//
// The CPU path and every integration must give the baseline's bits exactly. The GPU's force
// pass must too, except for the acceleration of particles in the black hole's inner zone:
// there acos, atan2, sin and cos come from each side's own math library, and the result may
// move by as much as a few-ulp difference in those six results moves it (see
// gpu_force_tolerance).
#pragma once

#include <string>

#include "kernels/physics.h"
#include "sim/float_bits.h"
#include "sim/particle.h"

namespace lumeth::bench {

// How many ulps the device's acos, atan2, sin and cos may differ from the host library's:
// CUDA's are within 2 ulps of the exact value, the C library's within 1.
constexpr int kLibraryUlps = 3;

// Whether the record lies in the inner zone about the centre, its distance formed as the force
// model forms it.
bool in_inner_zone(const Particle& p, double center_x = 0.0, double center_y = 0.0,
                   double center_z = 0.0);

// How far each component of the GPU's acceleration of record i (of records 0..count-1, black
// hole at the centre) may lie from the CPU's. Zero outside the inner zone. Inside it: twice the
// sum, over the six library calls of the inner model, of the largest change of the component
// when that call's result moves by kLibraryUlps either way (the first-order spread of the
// result, which follows the cancellation between its terms), plus the rounding of the sum of
// the sampled pairs' pulls onto it, which may go either way on each side once the black hole's
// pull differs.
Vector3<double> gpu_force_tolerance(const Particle* particles, int count, int i,
                                    double center_x = 0.0, double center_y = 0.0,
                                    double center_z = 0.0);

struct Comparison {
    int differing = 0;           // records that differ beyond what is allowed
    int first_differing = -1;    // the lowest index among them
    int inner_zone_inexact = 0;  // inner-zone records that differ, but within the tolerance
    double worst_share = 0.0;    // the largest |difference| / tolerance among those
};

// Every field of every record bit for bit.
Comparison compare_exact(const Particle* expected, const Particle* actual, int count);

// The GPU's force results against the CPU's (`expected`, whose positions, velocities and
// masses are the force pass's input): every field bit for bit, except that each acceleration
// component of an inner-zone record may be within gpu_force_tolerance.
Comparison compare_gpu_forces(const Particle* expected, const Particle* actual, int count,
                              double center_x = 0.0, double center_y = 0.0, double center_z = 0.0);

// "identical", "identical outside the inner zone, 3 inner-zone records within 0.12 of their
// tolerance" or "17 records differ".
std::string describe(const Comparison& comparison);

}  // namespace lumeth::bench
