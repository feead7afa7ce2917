// The benchmark's GPU clock on the CUDA runtime: the device the runtime uses, its events on the
// default stream, cudaMalloc, cudaMallocHost and cudaMemcpy.
#include <cuda_runtime.h>

#include <string>

#include "gpu_clock.h"

namespace lumeth::bench {
namespace {

std::string failure(cudaError_t status, const char* call) {
    return status == cudaSuccess ? std::string()
                                 : std::string(call) + ": " + cudaGetErrorString(status);
}

std::string open(DeviceFigures* figures) {
    int device = 0;
    cudaDeviceProp properties{};
    int clock_khz = 0;
    std::string why = failure(cudaGetDevice(&device), "cudaGetDevice");
    if (why.empty()) {
        why = failure(cudaGetDeviceProperties(&properties, device), "cudaGetDeviceProperties");
    }
    if (why.empty()) {
        why = failure(cudaDeviceGetAttribute(&clock_khz, cudaDevAttrClockRate, device),
                      "cudaDeviceGetAttribute(clock rate)");
    }
    if (why.empty()) {
        why = failure(cudaDeviceGetAttribute(&figures->single_to_double_ratio,
                                             cudaDevAttrSingleToDoublePrecisionPerfRatio, device),
                      "cudaDeviceGetAttribute(FP32 to FP64 ratio)");
    }
    if (why.empty()) {
        figures->name = properties.name;
        figures->multiprocessors = properties.multiProcessorCount;
        figures->clock_hz = clock_khz * 1e3;
        figures->major = properties.major;
        figures->minor = properties.minor;
    }
    return why;
}

std::string create_event(void** event) {
    cudaEvent_t e = nullptr;
    const std::string why = failure(cudaEventCreate(&e), "cudaEventCreate");
    *event = e;
    return why;
}

std::string record_event(void* event) {
    return failure(cudaEventRecord(static_cast<cudaEvent_t>(event)), "cudaEventRecord");
}

std::string wait_for_event(void* event) {
    return failure(cudaEventSynchronize(static_cast<cudaEvent_t>(event)), "cudaEventSynchronize");
}

std::string elapsed_ms(void* start, void* stop, double* ms) {
    float elapsed = 0.0f;
    const std::string why = failure(cudaEventElapsedTime(&elapsed, static_cast<cudaEvent_t>(start),
                                                         static_cast<cudaEvent_t>(stop)),
                                    "cudaEventElapsedTime");
    *ms = elapsed;
    return why;
}

std::string allocate_device(void** memory, std::size_t bytes) {
    return failure(cudaMalloc(memory, bytes), "cudaMalloc");
}

std::string allocate_page_locked(void** memory, std::size_t bytes) {
    return failure(cudaMallocHost(memory, bytes), "cudaMallocHost");
}

std::string copy(void* to, const void* from, std::size_t bytes, CopyDirection direction) {
    const cudaMemcpyKind kind = direction == CopyDirection::to_device ? cudaMemcpyHostToDevice
                                : direction == CopyDirection::to_host ? cudaMemcpyDeviceToHost
                                                                      : cudaMemcpyDeviceToDevice;
    return failure(cudaMemcpy(to, from, bytes, kind), "cudaMemcpy");
}

void destroy_event(void* event) {
    if (event != nullptr) {
        cudaEventDestroy(static_cast<cudaEvent_t>(event));
    }
}

void free_device(void* memory) {
    if (memory != nullptr) {
        cudaFree(memory);
    }
}

void free_page_locked(void* memory) {
    if (memory != nullptr) {
        cudaFreeHost(memory);
    }
}

void close() {}

constexpr GpuClock kRuntimeClock{
    open,          create_event,    record_event,         wait_for_event,
    elapsed_ms,    allocate_device, allocate_page_locked, copy,
    destroy_event, free_device,     free_page_locked,     close};

}  // namespace

const GpuClock& cuda_runtime_clock() {
    return kRuntimeClock;
}

}  // namespace lumeth::bench
