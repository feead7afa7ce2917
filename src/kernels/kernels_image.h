// The two kernels as a CUDA fat binary carried in the program as data, for the CUDA driver
// API's path (cuModuleLoadData, then the kernels by name). nvcc compiles it at build time from
// kernels.cu with the runtime path's flags (--fmad=false): machine code for every real
// architecture of the build and PTX for every virtual one (by default the set of
// cmake/cuda_images.cmake). Built only where nvcc is found (library lumeth_kernels_image).
#pragma once

#include <cstddef>

namespace lumeth {

// The device names under which the kernels are found in the image: the mangled names of
// compute_forces_kernel(Particle*, int, double, double, double) and
// integrate_kernel(Particle*, int, double).
constexpr const char* kForcesKernelDeviceName = "_Z21compute_forces_kernelP8Particleiddd";
constexpr const char* kIntegrateKernelDeviceName = "_Z16integrate_kernelP8Particleid";

struct KernelsImage {
    const unsigned char* data;  // the fat binary, 16-byte aligned
    std::size_t size;           // its bytes
    int cuda_version;           // of the nvcc that built it: 1000 * major + 10 * minor
    int lowest_architecture;    // lowest compute capability it has code for: 10 * major + minor
};

KernelsImage kernels_image();

}  // namespace lumeth
