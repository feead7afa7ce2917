// GPU timing for lumeth-bench: the step driver's own device steps, timed with CUDA events at
// each point of the step; plain copies from page-locked memory as the copies' limit; a
// device-to-device copy for the memory's bandwidth; and the device figures that bound the
// force kernel.
#include <cuda_runtime.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "bench_parts.h"
#include "gpu/device_operations.h"
#include "gpu/device_step.h"

namespace lumeth::bench {
namespace {

// Records the first failed CUDA call; later calls are skipped once one has failed.
class Checker {
  public:
    explicit Checker(std::string* failure) : failure_(failure) {}

    bool ok() const { return failure_->empty(); }

    bool operator()(cudaError_t status, const char* what) {
        if (status != cudaSuccess && ok()) {
            *failure_ = std::string(what) + ": " + cudaGetErrorString(status);
        }
        return ok();
    }

  private:
    std::string* failure_;
};

// Milliseconds between two recorded events.
float elapsed(cudaEvent_t start, cudaEvent_t stop, Checker& check) {
    float ms = 0.0f;
    check(cudaEventElapsedTime(&ms, start, stop), "cudaEventElapsedTime");
    return ms;
}

// FP32 lanes per multiprocessor by compute capability: 64 on 6.0, 7.x and 8.0, 128 on every
// other architecture since 6.1. With the device's FP32-to-FP64 performance ratio this gives
// its FP64 instructions per multiprocessor per clock (H100: 128 / 2 = 64).
int fp32_lanes_per_multiprocessor(int major, int minor) {
    if ((major == 6 && minor == 0) || major == 7 || (major == 8 && minor == 0)) {
        return 64;
    }
    return 128;
}

// Events recorded at each point of a device step.
struct StepEvents {
    cudaEvent_t at[4];
    Checker* check;
};

void record_event(void* context, StepPoint point) {
    auto* events = static_cast<StepEvents*>(context);
    (*events->check)(cudaEventRecord(events->at[static_cast<int>(point)]), "cudaEventRecord");
}

}  // namespace

GpuMeasurement measure_gpu(const Particle* galaxy, const Particle* with_forces, int count,
                           double dt, int runs, Particle* forces_result,
                           Particle* integrate_result) {
    GpuMeasurement m;
    const DeviceOperations& device = platform_device_operations();
    if (const char* why = device.probe()) {
        m.reason = why;
        return m;
    }
    m.available = true;
    Checker check(&m.failure);
    cudaDeviceProp properties{};
    int device_index = 0;
    int clock_khz = 0;
    int fp32_to_fp64 = 0;
    check(cudaGetDevice(&device_index), "cudaGetDevice");
    check(cudaGetDeviceProperties(&properties, device_index), "cudaGetDeviceProperties");
    check(cudaDeviceGetAttribute(&clock_khz, cudaDevAttrClockRate, device_index),
          "cudaDeviceGetAttribute(clock rate)");
    check(cudaDeviceGetAttribute(&fp32_to_fp64, cudaDevAttrSingleToDoublePrecisionPerfRatio,
                                 device_index),
          "cudaDeviceGetAttribute(FP32 to FP64 ratio)");
    if (check.ok()) {
        m.device = properties.name;
        m.multiprocessors = properties.multiProcessorCount;
        m.clock_hz = clock_khz * 1e3;
        m.fp64_per_multiprocessor_per_clock =
            fp32_to_fp64 > 0 ? static_cast<double>(fp32_lanes_per_multiprocessor(
                                   properties.major, properties.minor)) /
                                   fp32_to_fp64
                             : 0.0;
    }

    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(Particle);
    // Pageable host memory, as the step driver copies from the program's own array.
    std::vector<Particle> host(static_cast<std::size_t>(count));
    Particle* buffer = nullptr;
    Particle* second_buffer = nullptr;
    Particle* pinned = nullptr;
    StepEvents events{{}, &check};
    if (const char* why = device.allocate(&buffer, bytes)) {
        m.failure = std::string("allocating the device buffer: ") + why;
    }
    check(cudaMalloc(reinterpret_cast<void**>(&second_buffer), bytes), "cudaMalloc");
    check(cudaMallocHost(reinterpret_cast<void**>(&pinned), bytes), "cudaMallocHost");
    for (cudaEvent_t& event : events.at) {
        check(cudaEventCreate(&event), "cudaEventCreate");
    }
    const StepHook hook{record_event, &events};
    constexpr int kBeforeUp = static_cast<int>(StepPoint::before_copy_up);
    constexpr int kAfterUp = static_cast<int>(StepPoint::after_copy_up);
    constexpr int kQueued = static_cast<int>(StepPoint::kernel_queued);
    constexpr int kAfterBack = static_cast<int>(StepPoint::after_copy_back);

    // One device step of the driver on a copy of `input`, keeping its times and its result.
    auto step = [&](const Particle* input, const KernelLaunch& launch, Particle* result,
                    std::vector<double>* kernel_ms, bool keep) {
        std::memcpy(host.data(), input, bytes);
        const StepFailure failure =
            run_step_on_device(device, buffer, host.data(), count, launch, &hook);
        if (failure.failed() && check.ok()) {
            m.failure = failure.action + ": " + failure.text;
        }
        check(cudaEventSynchronize(events.at[kAfterBack]), "cudaEventSynchronize");
        if (!check.ok()) {
            return;
        }
        std::memcpy(result, host.data(), bytes);
        if (keep) {
            m.upload_ms.push_back(elapsed(events.at[kBeforeUp], events.at[kAfterUp], check));
            kernel_ms->push_back(elapsed(events.at[kAfterUp], events.at[kQueued], check));
            m.download_ms.push_back(elapsed(events.at[kQueued], events.at[kAfterBack], check));
        }
    };

    // The limits: the same bytes each way page-locked on the host, and once across the
    // device's memory.
    auto limits = [&](bool keep) {
        cudaEvent_t* e = events.at;
        check(cudaEventRecord(e[0]), "cudaEventRecord");
        check(cudaMemcpy(buffer, pinned, bytes, cudaMemcpyHostToDevice), "cudaMemcpy up");
        check(cudaEventRecord(e[1]), "cudaEventRecord");
        check(cudaMemcpy(pinned, buffer, bytes, cudaMemcpyDeviceToHost), "cudaMemcpy down");
        check(cudaEventRecord(e[2]), "cudaEventRecord");
        check(cudaMemcpy(second_buffer, buffer, bytes, cudaMemcpyDeviceToDevice),
              "cudaMemcpy across the device");
        check(cudaEventRecord(e[3]), "cudaEventRecord");
        check(cudaEventSynchronize(e[3]), "cudaEventSynchronize");
        if (check.ok() && keep) {
            m.pinned_upload_ms.push_back(elapsed(e[0], e[1], check));
            m.pinned_download_ms.push_back(elapsed(e[1], e[2], check));
            m.device_copy_ms.push_back(elapsed(e[2], e[3], check));
        }
    };

    if (check.ok()) {
        std::memcpy(pinned, galaxy, bytes);
    }
    for (int run = 0; run <= runs && check.ok(); ++run) {
        const bool keep = run > 0;  // run 0 is the warm-up
        step(galaxy, forces_launch(0.0, 0.0, 0.0), forces_result, &m.force_kernel_ms, keep);
        step(with_forces, integrate_launch(dt), integrate_result, &m.integrate_kernel_ms, keep);
        limits(keep);
    }

    for (cudaEvent_t event : events.at) {
        if (event != nullptr) {
            cudaEventDestroy(event);
        }
    }
    if (pinned != nullptr) {
        cudaFreeHost(pinned);
    }
    cudaFree(second_buffer);
    cudaFree(buffer);
    return m;
}

}  // namespace lumeth::bench
