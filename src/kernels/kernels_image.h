// The two kernels as a CUDA fat binary carried in the program as data, for the CUDA driver
// API's path (cuModuleLoadData, then the kernels by name). nvcc compiles it at build time from
// kernels.cu with the runtime path's flags (--fmad=false): machine code for every real
// architecture of the build and PTX for every virtual one (by default the set of
// cmake/cuda_images.cmake). Beside it, where the set-up fetched NVRTC, the images NVRTC compiles
// from the same source for older drivers and GPUs (the second set of cmake/cuda_images.cmake).
// Built only where nvcc is found (library lumeth_kernels_image).
#pragma once

#include <cstddef>

namespace lumeth {

// The device names under which the kernels are found in the image: the mangled names of
// compute_forces_kernel(Particle*, int, double, double, double) and
// integrate_kernel(Particle*, int, double).
constexpr const char* kForcesKernelDeviceName = "_Z21compute_forces_kernelP8Particleiddd";
constexpr const char* kIntegrateKernelDeviceName = "_Z16integrate_kernelP8Particleid";

// One NVRTC image: a cubin (ELF) for one architecture, or PTX text (zero-terminated).
struct NvrtcImage {
    int architecture;  // 10 * major + minor
    bool ptx;          // PTX; otherwise a cubin
    const unsigned char* data;
    std::size_t size;  // its bytes (the PTX's terminating zero included)
};

struct KernelsImage {
    const unsigned char* data;  // the fat binary, 16-byte aligned
    std::size_t size;           // its bytes
    int cuda_version;           // of the nvcc that built it: 1000 * major + 10 * minor
    int lowest_architecture;    // lowest compute capability it has code for: 10 * major + minor
    // The fat binary's architectures (10 * major + minor) with machine code, and with PTX.
    const int* machine_code;
    int machine_code_count;
    const int* ptx;
    int ptx_count;
    // The NVRTC images (cubins, then PTX), compiled by NVRTC of CUDA version nvrtc_cuda_version;
    // none (count 0) in a build without NVRTC.
    const NvrtcImage* nvrtc_images;
    int nvrtc_image_count;
    int nvrtc_cuda_version;
};

KernelsImage kernels_image();

}  // namespace lumeth
