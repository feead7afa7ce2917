// The benchmark's GPU clock on the CUDA driver API: the driver library that the step driver's
// table loaded (loading it again returns the same library), a hold of its own on device 0's
// primary context (the context the table runs the kernels in), made current on this thread,
// and the driver's events, memory and copies in that context.
#include <cstdint>
#include <string>

#include "gpu/cuda_driver.h"
#include "gpu_clock.h"

namespace lumeth::bench {
namespace {

struct DriverClock {
    CudaDriver api{};
    CudaDriverTiming timing{};
    CUdevice device = 0;
    bool held = false;  // the primary context is retained by the clock
};

DriverClock clock_state;

std::string failure(CUresult status, const char* call) {
    return status == kCudaSuccess
               ? std::string()
               : std::string(call) + ": " + cuda_driver_status_text(clock_state.api, status);
}

CUdeviceptr device_pointer(const void* memory) {
    return static_cast<CUdeviceptr>(reinterpret_cast<std::uintptr_t>(memory));
}

CUevent event_of(void* event) {
    return static_cast<CUevent>(event);
}

std::string open(DeviceFigures* figures) {
    DriverClock& c = clock_state;
    const char* library = cuda_driver_library();
    CudaDriverLoadResult load = load_cuda_driver(library, &c.api);
    if (load.status == CudaDriverLoad::loaded) {
        load = load_cuda_driver_timing(library, &c.timing);
    }
    if (load.status != CudaDriverLoad::loaded) {
        return std::string("loading ") + library + ": " +
               (load.status == CudaDriverLoad::no_library ? "" : "no entry point ") + load.detail;
    }
    CUcontext context = nullptr;
    std::string why = failure(c.api.cuDeviceGet(&c.device, 0), "cuDeviceGet");
    if (why.empty()) {
        why =
            failure(c.api.cuDevicePrimaryCtxRetain(&context, c.device), "cuDevicePrimaryCtxRetain");
        c.held = why.empty();
    }
    if (why.empty()) {
        why = failure(c.api.cuCtxSetCurrent(context), "cuCtxSetCurrent");
    }
    char name[256] = "";
    if (why.empty()) {
        why = failure(c.api.cuDeviceGetName(name, static_cast<int>(sizeof name), c.device),
                      "cuDeviceGetName");
        name[sizeof name - 1] = '\0';
        figures->name = name;
    }
    int clock_khz = 0;
    const struct {
        int attribute;
        int* value;
        const char* call;
    } attributes[] = {
        {kCuDeviceAttributeMultiprocessorCount, &figures->multiprocessors,
         "cuDeviceGetAttribute(multiprocessors)"},
        {kCuDeviceAttributeClockRate, &clock_khz, "cuDeviceGetAttribute(clock rate)"},
        {kCuDeviceAttributeComputeCapabilityMajor, &figures->major,
         "cuDeviceGetAttribute(compute capability)"},
        {kCuDeviceAttributeComputeCapabilityMinor, &figures->minor,
         "cuDeviceGetAttribute(compute capability)"},
        {kCuDeviceAttributeSingleToDoublePrecisionPerfRatio, &figures->single_to_double_ratio,
         "cuDeviceGetAttribute(FP32 to FP64 ratio)"},
    };
    for (const auto& a : attributes) {
        if (why.empty()) {
            why = failure(c.api.cuDeviceGetAttribute(a.value, a.attribute, c.device), a.call);
        }
    }
    figures->clock_hz = clock_khz * 1e3;
    return why;
}

std::string create_event(void** event) {
    CUevent e = nullptr;
    const std::string why = failure(clock_state.timing.cuEventCreate(&e, 0), "cuEventCreate");
    *event = e;
    return why;
}

std::string record_event(void* event) {
    return failure(clock_state.timing.cuEventRecord(event_of(event), nullptr), "cuEventRecord");
}

std::string wait_for_event(void* event) {
    return failure(clock_state.timing.cuEventSynchronize(event_of(event)), "cuEventSynchronize");
}

std::string elapsed_ms(void* start, void* stop, double* ms) {
    float elapsed = 0.0f;
    const std::string why =
        failure(clock_state.timing.cuEventElapsedTime_v2(&elapsed, event_of(start), event_of(stop)),
                "cuEventElapsedTime");
    *ms = elapsed;
    return why;
}

std::string allocate_device(void** memory, std::size_t bytes) {
    CUdeviceptr pointer = 0;
    const std::string why = failure(clock_state.api.cuMemAlloc_v2(&pointer, bytes), "cuMemAlloc");
    *memory = reinterpret_cast<void*>(static_cast<std::uintptr_t>(pointer));
    return why;
}

std::string allocate_page_locked(void** memory, std::size_t bytes) {
    return failure(clock_state.timing.cuMemAllocHost_v2(memory, bytes), "cuMemAllocHost");
}

std::string copy(void* to, const void* from, std::size_t bytes, CopyDirection direction) {
    const CudaDriver& api = clock_state.api;
    switch (direction) {
        case CopyDirection::to_device:
            return failure(api.cuMemcpyHtoD_v2(device_pointer(to), from, bytes), "cuMemcpyHtoD");
        case CopyDirection::to_host:
            return failure(api.cuMemcpyDtoH_v2(to, device_pointer(from), bytes), "cuMemcpyDtoH");
        case CopyDirection::across_device:
            break;
    }
    return failure(
        clock_state.timing.cuMemcpyDtoD_v2(device_pointer(to), device_pointer(from), bytes),
        "cuMemcpyDtoD");
}

void destroy_event(void* event) {
    if (event != nullptr) {
        clock_state.timing.cuEventDestroy_v2(event_of(event));
    }
}

void free_device(void* memory) {
    if (memory != nullptr) {
        clock_state.timing.cuMemFree_v2(device_pointer(memory));
    }
}

void free_page_locked(void* memory) {
    if (memory != nullptr) {
        clock_state.timing.cuMemFreeHost(memory);
    }
}

// The step driver's table keeps its own hold, so the context and its buffers stay.
void close() {
    if (clock_state.held) {
        clock_state.api.cuDevicePrimaryCtxRelease_v2(clock_state.device);
        clock_state.held = false;
    }
}

constexpr GpuClock kDriverApiClock{
    open,          create_event,    record_event,         wait_for_event,
    elapsed_ms,    allocate_device, allocate_page_locked, copy,
    destroy_event, free_device,     free_page_locked,     close};

}  // namespace

const GpuClock& cuda_driver_api_clock() {
    return kDriverApiClock;
}

}  // namespace lumeth::bench
