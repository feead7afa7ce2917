// Which of the kernels' images (kernels/kernels_image.h) the driver API path loads, from the
// driver's CUDA version and the GPU's compute capability.
#pragma once

#include "kernels/kernels_image.h"

namespace lumeth {

enum class ImageKind {
    fat_binary,       // nvcc's fat binary
    nvrtc_cubin,      // an NVRTC cubin
    nvrtc_ptx,        // NVRTC's PTX, compiled by the driver
    driver_too_old,   // an image has code for the GPU, but the driver is older than it needs
    no_code_for_gpu,  // no image has code for the GPU, whatever the driver
};

struct ImageChoice {
    ImageKind kind;
    const unsigned char* data;  // the image to load; nullptr for a refusal
    int architecture;  // the image's architecture (10 * major + minor); for a refusal, the lowest
                       // compute capability any image has code for
    // The CUDA version of the driver the image needs (1000 * major + 10 * minor); for
    // driver_too_old the lowest that runs any image on this GPU.
    int needed_cuda_version;
};

// The first image that runs, in this order: the fat binary where the driver runs its CUDA
// version's code and it has machine code of the GPU's major version at or below the GPU's
// compute capability, or PTX at or below it; then the NVRTC cubin of the GPU's major version
// nearest below its compute capability, where the driver is of NVRTC's major version or newer
// (within a major version a driver runs the code of later minor versions); then NVRTC's PTX at
// or below the GPU's compute capability, where the driver is at least NVRTC's version (a driver
// compiles no PTX newer than itself). `capability`: 10 * major + minor.
ImageChoice choose_kernels_image(const KernelsImage& images, int driver_cuda_version,
                                 int capability);

// The oldest driver (its CUDA version) that runs some image, and the lowest compute capability
// some image has code for: what the notes name before the GPU is known.
int lowest_needed_cuda_version(const KernelsImage& images);
int lowest_image_architecture(const KernelsImage& images);

}  // namespace lumeth
