// The device operations the step driver is built on: one table of plain functions, so that the
// driver's logic (backend choice, lazy buffers, copy up / launch / wait / copy back, fallback)
// is written once against it. Two production tables: one on the CUDA runtime, one on the CUDA
// driver API (the NVIDIA driver loaded at run time, the kernels carried as a fat binary); a
// build without either gets a table whose probe reports that. Tests install a table of their
// own (see step_driver_testing.h).
//
// Every operation returns nullptr on success or a text describing the failure. The text must
// stay valid for the rest of the process (the CUDA runtime's cudaGetErrorString texts do).
#pragma once

#include <cstddef>

#include "sim/particle.h"

namespace lumeth {

struct DeviceOperations {
    // Whether a device can run the kernels at all: nullptr when one can, otherwise why not.
    // Called before any other operation; the same answer until reset.
    const char* (*probe)();
    // A device buffer of `bytes` bytes into *buffer.
    const char* (*allocate)(Particle** buffer, std::size_t bytes);
    // `bytes` bytes from the host array to the device buffer.
    const char* (*copy_to_device)(Particle* device, const Particle* host, std::size_t bytes);
    // compute_forces_kernel over `blocks` blocks of `threads_per_block` threads on the default
    // stream, with the black hole at (center_x, center_y, center_z). Returns when the launch
    // has been queued (or refused), not when the kernel has finished.
    const char* (*launch_forces)(Particle* device, int count, int blocks, int threads_per_block,
                                 double center_x, double center_y, double center_z);
    // integrate_kernel likewise, with the time step dt.
    const char* (*launch_integrate)(Particle* device, int count, int blocks, int threads_per_block,
                                    double dt);
    // Waits until all queued device work has finished; reports a failure of that work.
    const char* (*synchronize)();
    // `bytes` bytes from the device buffer back over the host array.
    const char* (*copy_to_host)(Particle* host, const Particle* device, std::size_t bytes);
    // Releases every device resource of the process (both buffers included). A probe after it
    // starts over.
    const char* (*reset)();
    // False for the table of a build without GPU code, whose probe says so and how to get it:
    // its note is not one of a device that cannot be used.
    bool has_gpu_code = true;
    // The path's name in the notes ("the CUDA runtime").
    const char* name = "the GPU path";
    // Whether the probe's refusal concerns this path's own code: a driver older than it needs, or
    // no image for the GPU. Another path with other images may then run (nullptr: never).
    bool (*refused_for_its_code)() = nullptr;
};

// The CUDA runtime's table: in builds that compile CUDA for the target (Linux, Visual Studio).
const DeviceOperations& cuda_runtime_operations();

// The CUDA driver API's table: in builds where nvcc was found, the MinGW-w64 cross-build
// included.
const DeviceOperations& cuda_driver_api_operations();

// The table of this build, chosen at the first call: the CUDA runtime where the build has it,
// otherwise the driver API; without either, a probe that always fails. The environment
// variable LUMETH_GPU_API picks one of the build's tables instead: "runtime" or "driver".
// A value naming none of them is refused with one line on standard error, and the default
// table is used.
const DeviceOperations& platform_device_operations();

// The path the step driver tries where the platform's table refuses for its own code: the
// driver API, with its images for older drivers and GPUs, where the build has both paths and
// LUMETH_GPU_API names neither; otherwise nullptr.
const DeviceOperations* platform_fallback_operations();

// The probe of `first`, and where it refuses for its own code, of `fallback` (may be nullptr):
// the table that runs (nullptr: none), why not (the fallback's refusal where it was probed, as
// it names what enables either path), and the first table's refusal where the fallback runs.
// The refused first table gives back what its probe took (its reset) before the fallback runs.
struct PathProbe {
    const DeviceOperations* operations;
    const char* why;
    const char* first_refusal;
};
PathProbe probe_with_fallback(const DeviceOperations& first, const DeviceOperations* fallback);

}  // namespace lumeth
