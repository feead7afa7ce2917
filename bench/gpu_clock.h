// What the benchmark needs of the GPU beyond the step driver's device operations: events on the
// default stream to time each point of a step, memory of its own that it frees again (the
// step's device buffer, a second one, page-locked host memory), copies in each direction and
// the device's own figures. One table per GPU path, each over the same API as that path's
// device operations, so that the GPU rows are the same whichever path runs the steps.
//
// Every operation returns an empty text on success, or the call that failed with the API's
// own text for the failure.
#pragma once

#include <cstddef>
#include <string>

#include "gpu/device_operations.h"

namespace lumeth::bench {

struct DeviceFigures {
    std::string name;
    int multiprocessors = 0;
    double clock_hz = 0.0;           // the multiprocessors' peak clock
    int major = 0, minor = 0;        // compute capability
    int single_to_double_ratio = 0;  // FP32 over FP64 performance
};

enum class CopyDirection { to_device, to_host, across_device };

struct GpuClock {
    // Makes the device that the probe found usable on this thread and reads its figures. Every
    // other operation needs it first.
    std::string (*open)(DeviceFigures* figures);
    std::string (*create_event)(void** event);
    std::string (*record_event)(void* event);    // on the default stream
    std::string (*wait_for_event)(void* event);  // until the work before it has finished
    std::string (*elapsed_ms)(void* start, void* stop, double* ms);
    std::string (*allocate_device)(void** memory, std::size_t bytes);
    std::string (*allocate_page_locked)(void** memory, std::size_t bytes);
    std::string (*copy)(void* to, const void* from, std::size_t bytes, CopyDirection direction);
    // Each ignores a null handle.
    void (*destroy_event)(void* event);
    void (*free_device)(void* memory);
    void (*free_page_locked)(void* memory);
    // Gives up what open took; the device itself stays as the step driver left it.
    void (*close)();
};

// The clock for the device operations table that the steps run on; nullptr when the build has
// none for it (a table that is neither the CUDA runtime's nor the driver API's).
const GpuClock* gpu_clock_for(const DeviceOperations& operations);

#if LUMETH_BENCH_RUNTIME_CLOCK
const GpuClock& cuda_runtime_clock();
#endif
#if LUMETH_BENCH_DRIVER_CLOCK
const GpuClock& cuda_driver_api_clock();
#endif

}  // namespace lumeth::bench
