#include "kernels.cuh"
#include "physics.h"

namespace {

// The record index of this thread, in signed 32-bit arithmetic.
__device__ int thread_record_index() {
    return static_cast<int>(blockIdx.x) * static_cast<int>(blockDim.x) +
           static_cast<int>(threadIdx.x);
}

}  // namespace

__global__ void compute_forces_kernel(Particle* particles, int count, double center_x,
                                      double center_y, double center_z) {
    const int i = thread_record_index();
    if (i >= count) {
        return;
    }
    lumeth::compute_particle_acceleration(particles, count, i, center_x, center_y, center_z);
}

__global__ void integrate_kernel(Particle* particles, int count, double dt) {
    const int i = thread_record_index();
    if (i >= count) {
        return;
    }
    lumeth::integrate_particle(&particles[i], dt);
}
