#include "image_choice.h"

#include <algorithm>
#include <climits>

namespace lumeth {
namespace {

// Machine code runs on its own compute capability and the later minor versions of its major
// version.
bool machine_code_runs(int architecture, int capability) {
    return architecture / 10 == capability / 10 && architecture <= capability;
}

bool fat_binary_runs(const KernelsImage& images, int capability) {
    for (int k = 0; k < images.machine_code_count; ++k) {
        if (machine_code_runs(images.machine_code[k], capability)) {
            return true;
        }
    }
    for (int k = 0; k < images.ptx_count; ++k) {
        if (images.ptx[k] <= capability) {
            return true;
        }
    }
    return false;
}

// The driver that runs code of a CUDA version: machine code from the first release of its major
// version on, PTX from its own release on.
int needed_for_machine_code(int cuda_version) {
    return cuda_version / 1000 * 1000;
}

}  // namespace

int lowest_needed_cuda_version(const KernelsImage& images) {
    const int fat_needed = needed_for_machine_code(images.cuda_version);
    return images.nvrtc_image_count > 0
               ? std::min(fat_needed, needed_for_machine_code(images.nvrtc_cuda_version))
               : fat_needed;
}

int lowest_image_architecture(const KernelsImage& images) {
    int lowest = images.lowest_architecture;
    for (int k = 0; k < images.nvrtc_image_count; ++k) {
        lowest = std::min(lowest, images.nvrtc_images[k].architecture);
    }
    return lowest;
}

ImageChoice choose_kernels_image(const KernelsImage& images, int driver_cuda_version,
                                 int capability) {
    int needed = INT_MAX;  // the lowest driver that runs an image on this GPU
    const int lowest = lowest_image_architecture(images);
    if (fat_binary_runs(images, capability)) {
        const int fat_needed = needed_for_machine_code(images.cuda_version);
        if (driver_cuda_version >= fat_needed) {
            return {ImageKind::fat_binary, images.data, capability, fat_needed};
        }
        needed = fat_needed;
    }
    const NvrtcImage* cubin = nullptr;
    const NvrtcImage* ptx = nullptr;
    for (int k = 0; k < images.nvrtc_image_count; ++k) {
        const NvrtcImage& image = images.nvrtc_images[k];
        if (image.ptx) {
            if (image.architecture <= capability &&
                (ptx == nullptr || image.architecture > ptx->architecture)) {
                ptx = &image;
            }
        } else if (machine_code_runs(image.architecture, capability) &&
                   (cubin == nullptr || image.architecture > cubin->architecture)) {
            cubin = &image;
        }
    }
    if (cubin != nullptr) {
        const int cubin_needed = needed_for_machine_code(images.nvrtc_cuda_version);
        if (driver_cuda_version >= cubin_needed) {
            return {ImageKind::nvrtc_cubin, cubin->data, cubin->architecture, cubin_needed};
        }
        needed = std::min(needed, cubin_needed);
    }
    if (ptx != nullptr) {
        if (driver_cuda_version >= images.nvrtc_cuda_version) {
            return {ImageKind::nvrtc_ptx, ptx->data, ptx->architecture, images.nvrtc_cuda_version};
        }
        needed = std::min(needed, images.nvrtc_cuda_version);
    }
    if (needed == INT_MAX) {
        return {ImageKind::no_code_for_gpu, nullptr, lowest, 0};
    }
    return {ImageKind::driver_too_old, nullptr, lowest, needed};
}

}  // namespace lumeth
