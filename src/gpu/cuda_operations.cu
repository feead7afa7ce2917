// The device operations on the CUDA runtime. The kernels are launched with the ordinary
// <<<grid, block>>> syntax, so the toolkit's own start-up registration (done in kernels.cu's
// translation unit) and its push/pop of the launch configuration are what runs.
#include <cuda_runtime.h>

#include <string>

#include "device_operations.h"
#include "kernels/kernels.cuh"
#include "kernels/kernels_image.h"
#include "kernels/launch_geometry.h"
#include "unusable_device.h"

namespace lumeth {
namespace {

// The runtime's own text for a failed status; nullptr for success. The runtime's texts are
// static strings, valid for the whole process.
const char* error_text(cudaError_t status) {
    return status == cudaSuccess ? nullptr : cudaGetErrorString(status);
}

// Checks that one kernel can be loaded for the current device and run kThreadsPerBlock threads
// per block. Loading the kernel fails when this build carries no code the device can run
// (compute capability below that of the build's PTX), which is better found here than at the
// first launch.
template <typename Kernel>
cudaError_t check_kernel(Kernel* kernel, bool* too_few_threads) {
    cudaFuncAttributes attributes{};
    const cudaError_t status = cudaFuncGetAttributes(&attributes, kernel);
    *too_few_threads = status == cudaSuccess && attributes.maxThreadsPerBlock < kThreadsPerBlock;
    return status;
}

// Whether the probe's refusal concerns the build's code: a driver older than the runtime needs,
// or no code for the GPU. The driver API path, with its own images, may run there.
bool refused_for_code = false;

// Why the device cannot run the kernels, said for a user (unusable_device.h). Empty when it
// can.
std::string unusable_device_reason() {
    const int lowest_architecture = kernels_image().lowest_architecture;
    int runtime = 0;
    cudaRuntimeGetVersion(&runtime);
    int devices = 0;
    const cudaError_t count_status = cudaGetDeviceCount(&devices);
    if (count_status == cudaErrorInsufficientDriver) {
        int driver = 0;
        cudaDriverGetVersion(&driver);
        if (driver == 0) {
            // No driver at all: the note names the oldest driver that runs code this build
            // carries, since with it the driver API path runs what the runtime refuses.
            const int oldest = LUMETH_HAVE_DRIVER_API ? oldest_carried_cuda_version() : 0;
            return no_driver_reason("", oldest > 0 ? oldest : runtime,
                                    nvidia_gpu_on_pci_bus(kPciDevicesFolder));
        }
        refused_for_code = true;
        return driver_too_old_reason(driver, runtime);
    }
    if (count_status == cudaErrorNoDevice || (count_status == cudaSuccess && devices < 1)) {
        return no_device_reason(lowest_architecture);
    }
    if (count_status != cudaSuccess) {
        return cudaGetErrorString(count_status);
    }

    bool too_few_threads = false;
    cudaError_t status = check_kernel(compute_forces_kernel, &too_few_threads);
    if (status == cudaSuccess && !too_few_threads) {
        status = check_kernel(integrate_kernel, &too_few_threads);
    }
    if (status == cudaErrorUnsupportedPtxVersion || status == cudaErrorInvalidPtx) {
        int driver = 0;
        cudaDriverGetVersion(&driver);
        refused_for_code = true;
        return driver_too_old_reason(driver, runtime);
    }
    if (status == cudaErrorNoKernelImageForDevice || status == cudaErrorInvalidDeviceFunction) {
        refused_for_code = true;
        cudaDeviceProp properties{};
        cudaGetDeviceProperties(&properties, 0);
        return no_code_for_device_reason(properties.name, properties.major, properties.minor,
                                         lowest_architecture, kernels_image().cuda_version);
    }
    if (status != cudaSuccess) {
        return cudaGetErrorString(status);
    }
    if (too_few_threads) {
        return too_few_threads_reason(kThreadsPerBlock);
    }
    return "";
}

// The reason is formed once and kept for the rest of the process, as the table's texts must.
const char* probe() {
    static const std::string reason = unusable_device_reason();
    return reason.empty() ? nullptr : reason.c_str();
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

bool probe_refused_for_code() {
    probe();
    return refused_for_code;
}

constexpr DeviceOperations kCudaOperations{
    probe,        allocate, copy_to_device, launch_forces,      launch_integrate,      synchronize,
    copy_to_host, reset,    true,           "the CUDA runtime", probe_refused_for_code};

}  // namespace

const DeviceOperations& cuda_runtime_operations() {
    return kCudaOperations;
}

}  // namespace lumeth
