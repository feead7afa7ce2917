// The two CUDA kernels. Declared at global scope with these exact parameter types: the
// runtime knows them by their mangled names "_Z21compute_forces_kernelP8Particleiddd" and
// "_Z16integrate_kernelP8Particleid".
#pragma once

#include "sim/particle.h"

// Stores the acceleration of every record below count (one thread per record).
__global__ void compute_forces_kernel(Particle* particles, int count, double center_x,
                                      double center_y, double center_z);

// Advances position and velocity of every record below count by one step of dt (1/100 of it
// inside the inner zone).
__global__ void integrate_kernel(Particle* particles, int count, double dt);
