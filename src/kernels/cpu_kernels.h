// The two kernels on the host: the same per-particle functions as on the GPU, in loops.
#pragma once

#include "sim/particle.h"

namespace lumeth {

// The force pass over records 0..count-1, vectorised across particles and spread over the
// OpenMP threads. Gives the same bits as compute_forces_reference.
void compute_forces_cpu(Particle* particles, int count, double center_x, double center_y,
                        double center_z);

// The integration pass over records 0..count-1, spread over the OpenMP threads.
void integrate_cpu(Particle* particles, int count, double dt);

// Plain single-threaded loops over the per-particle functions: the reference the fast path
// is checked against, and the benchmark's baseline.
void compute_forces_reference(Particle* particles, int count, double center_x, double center_y,
                              double center_z);
void integrate_reference(Particle* particles, int count, double dt);

// Number of threads the CPU path runs on.
int cpu_thread_count();

// Number of particles one SIMD block of the force pass evaluates together.
int cpu_simd_width();

}  // namespace lumeth
