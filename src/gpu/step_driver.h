// The step driver: advances the host particle array by one force pass or one integration
// pass, on the GPU when a usable CUDA device is present and on the CPU otherwise.
//
// The step contract, whatever carries a step out:
//  - step_forces: every record's acceleration is the force model's value for the array as it
//    was when the call began (black hole at the origin); position, velocity and mass are
//    unchanged.
//  - step_integrate: every record's position and velocity are advanced by one step of dt
//    from the accelerations the array held when the call began; acceleration and mass are
//    unchanged.
//  - Each call is complete when it returns; the host array is the one authoritative copy.
//
// GPU or CPU: the device is probed at the first step. Without a usable one the steps run on
// the CPU (OpenMP, the kernels' own per-particle arithmetic), said once on standard error.
// The first failed CUDA operation during a step is reported once on standard error; that
// step is then carried out on the CPU from the unchanged host array, and so is every later
// one. Nothing is ever written to standard output.
//
// Limits the caller keeps: one thread calls in; `count` never exceeds the count of the first
// call of the same step function (each device buffer is sized then and never grown; a larger
// count is treated as a device failure); no step after release_gpu. A count of 0 or less
// does nothing.
#pragma once

#include "sim/particle.h"

void step_forces(Particle* particles, int count);
void step_integrate(Particle* particles, int count, double dt);

// Releases the GPU (a device reset, which frees both device buffers) if a step used it.
// No step may follow.
void release_gpu();

namespace lumeth {

// Which way the steps are carried out.
enum class StepBackend {
    undecided,          // no step has run yet: the device is probed at the first one
    gpu,                // the device runs the steps
    cpu_no_device,      // the probe failed: every step runs on the CPU
    cpu_after_failure,  // a device operation failed during a step: that step and every later
                        // one run on the CPU
};

// The backend the driver is using now (for reports such as the benchmark's).
StepBackend step_backend();

// The backend in a report's words: "gpu", "cpu (no device)", "cpu (gpu failed)" or
// "undecided".
const char* step_backend_name(StepBackend backend);

}  // namespace lumeth
