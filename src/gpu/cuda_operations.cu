// The device operations on the CUDA runtime. The kernels are launched with the ordinary
// <<<grid, block>>> syntax, so the toolkit's own start-up registration (done in kernels.cu's
// translation unit) and its push/pop of the launch configuration are what runs.
#include <cuda_runtime.h>

#include "device_operations.h"
#include "kernels/kernels.cuh"

namespace lumeth {
namespace {

// The runtime's own text for a failed status; nullptr for success. The runtime's texts are
// static strings, valid for the whole process.
const char* error_text(cudaError_t status) {
    return status == cudaSuccess ? nullptr : cudaGetErrorString(status);
}

// Checks that one kernel can be loaded for the current device and run 256 threads per block.
// Loading the kernel fails when this build carries no code the device can run (compute
// capability below that of the build's PTX), which is better found here than at the first
// launch.
template <typename Kernel>
const char* check_kernel(Kernel* kernel) {
    cudaFuncAttributes attributes{};
    if (const char* text = error_text(cudaFuncGetAttributes(&attributes, kernel))) {
        return text;
    }
    if (attributes.maxThreadsPerBlock < 256) {
        return "a kernel cannot run 256 threads per block on this device";
    }
    return nullptr;
}

const char* probe() {
    int devices = 0;
    if (const char* text = error_text(cudaGetDeviceCount(&devices))) {
        return text;  // no driver, driver too old for this runtime, no device, ...
    }
    if (devices < 1) {
        return "no CUDA-capable device is detected";
    }
    if (const char* text = check_kernel(compute_forces_kernel)) {
        return text;
    }
    return check_kernel(integrate_kernel);
}

const char* allocate(Particle** buffer, std::size_t bytes) {
    return error_text(cudaMalloc(reinterpret_cast<void**>(buffer), bytes));
}

const char* copy_to_device(Particle* device, const Particle* host, std::size_t bytes) {
    return error_text(cudaMemcpy(device, host, bytes, cudaMemcpyHostToDevice));
}

// A launch reports nothing itself: cudaGetLastError returns a refused configuration or any
// other launch failure (and clears it, unless the context is broken for good).
const char* launch_forces(Particle* device, int count, int blocks, int threads_per_block,
                          double center_x, double center_y, double center_z) {
    compute_forces_kernel<<<dim3(blocks), dim3(threads_per_block)>>>(device, count, center_x,
                                                                     center_y, center_z);
    return error_text(cudaGetLastError());
}

const char* launch_integrate(Particle* device, int count, int blocks, int threads_per_block,
                             double dt) {
    integrate_kernel<<<dim3(blocks), dim3(threads_per_block)>>>(device, count, dt);
    return error_text(cudaGetLastError());
}

// Also where a fault of the kernel itself (an illegal address, say) surfaces.
const char* synchronize() {
    return error_text(cudaDeviceSynchronize());
}

const char* copy_to_host(Particle* host, const Particle* device, std::size_t bytes) {
    return error_text(cudaMemcpy(host, device, bytes, cudaMemcpyDeviceToHost));
}

const char* reset() {
    return error_text(cudaDeviceReset());
}

constexpr DeviceOperations kCudaOperations{
    probe,       allocate,     copy_to_device, launch_forces, launch_integrate,
    synchronize, copy_to_host, reset};

}  // namespace

const DeviceOperations& platform_device_operations() {
    return kCudaOperations;
}

}  // namespace lumeth
