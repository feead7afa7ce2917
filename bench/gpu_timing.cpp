// GPU timing for lumeth-bench: the step driver's own device steps, timed with events at each
// point of the step; plain copies from page-locked memory as the copies' limit;
// device-to-device copies for the memory's bandwidth; and the device figures that bound the force
// kernel. Written once over the GPU clock of whichever path runs the steps (gpu_clock.h).
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "bench_parts.h"
#include "gpu/device_operations.h"
#include "gpu/device_step.h"
#include "gpu_clock.h"

namespace lumeth::bench {

const GpuClock* gpu_clock_for(const DeviceOperations& operations) {
#if LUMETH_BENCH_RUNTIME_CLOCK
    if (&operations == &cuda_runtime_operations()) {
        return &cuda_runtime_clock();
    }
#endif
#if LUMETH_BENCH_DRIVER_CLOCK
    if (&operations == &cuda_driver_api_operations()) {
        return &cuda_driver_api_clock();
    }
#endif
    static_cast<void>(operations);
    return nullptr;
}

namespace {

// Records the first failure; later calls are skipped once one has failed.
class Checker {
  public:
    explicit Checker(std::string* failure) : failure_(failure) {}

    bool ok() const { return failure_->empty(); }

    bool operator()(const std::string& why) {
        if (!why.empty() && ok()) {
            *failure_ = why;
        }
        return ok();
    }

  private:
    std::string* failure_;
};

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
    const GpuClock* clock;
    void* at[4];
    Checker* check;
};

void record_step_point(void* context, StepPoint point) {
    auto* events = static_cast<StepEvents*>(context);
    if (events->check->ok()) {
        (*events->check)(events->clock->record_event(events->at[static_cast<int>(point)]));
    }
}

}  // namespace

GpuMeasurement measure_gpu(const Particle* galaxy, const Particle* with_forces, int count,
                           double dt, int runs, Particle* forces_result,
                           Particle* integrate_result) {
    GpuMeasurement m;
    // The path the program's steps run on: the platform's, or its fallback where that refuses
    // for its own code.
    const PathProbe path =
        probe_with_fallback(platform_device_operations(), platform_fallback_operations());
    if (path.operations == nullptr) {
        m.reason = path.why;
        return m;
    }
    const DeviceOperations& device = *path.operations;
    const GpuClock* clock = gpu_clock_for(device);
    if (clock == nullptr) {
        m.reason = "this build cannot time its GPU path";
        return m;
    }
    m.available = true;
    Checker check(&m.failure);
    DeviceFigures figures;
    check(clock->open(&figures));
    m.device = figures.name.empty() ? "GPU" : figures.name;
    m.capability = 10 * figures.major + figures.minor;
    m.multiprocessors = figures.multiprocessors;
    m.clock_hz = figures.clock_hz;
    m.fp64_per_multiprocessor_per_clock =
        figures.single_to_double_ratio > 0
            ? static_cast<double>(fp32_lanes_per_multiprocessor(figures.major, figures.minor)) /
                  figures.single_to_double_ratio
            : 0.0;

    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(Particle);
    // Pageable host memory, as the step driver copies from the program's own array.
    std::vector<Particle> host(static_cast<std::size_t>(count));
    void* buffer = nullptr;
    void* second_buffer = nullptr;
    void* page_locked = nullptr;
    StepEvents events{clock, {}, &check};
    if (check.ok()) {
        check(clock->allocate_device(&buffer, bytes));
    }
    if (check.ok()) {
        check(clock->allocate_device(&second_buffer, bytes));
    }
    if (check.ok()) {
        check(clock->allocate_page_locked(&page_locked, bytes));
    }
    for (void*& event : events.at) {
        if (check.ok()) {
            check(clock->create_event(&event));
        }
    }
    const StepHook hook{record_step_point, &events};
    constexpr int kBeforeUp = static_cast<int>(StepPoint::before_copy_up);
    constexpr int kAfterUp = static_cast<int>(StepPoint::after_copy_up);
    constexpr int kQueued = static_cast<int>(StepPoint::kernel_queued);
    constexpr int kAfterBack = static_cast<int>(StepPoint::after_copy_back);
    // Milliseconds between two recorded events.
    auto elapsed = [&](int from, int to) {
        double ms = 0.0;
        check(clock->elapsed_ms(events.at[from], events.at[to], &ms));
        return ms;
    };

    // One device step of the driver on a copy of `input`, keeping its times and its result.
    auto step = [&](const Particle* input, const KernelLaunch& launch, Particle* result,
                    std::vector<double>* kernel_ms, bool keep) {
        std::memcpy(host.data(), input, bytes);
        const StepFailure failure = run_step_on_device(device, static_cast<Particle*>(buffer),
                                                       host.data(), count, launch, &hook);
        if (failure.failed()) {
            check(failure.action + ": " + failure.text);
        }
        if (!check(clock->wait_for_event(events.at[kAfterBack]))) {
            return;
        }
        std::memcpy(result, host.data(), bytes);
        if (keep) {
            m.upload_ms.push_back(elapsed(kBeforeUp, kAfterUp));
            kernel_ms->push_back(elapsed(kAfterUp, kQueued));
            m.download_ms.push_back(elapsed(kQueued, kAfterBack));
        }
    };

    // The limits: the same bytes each way page-locked on the host, and across the device's
    // memory, each kFloorCopiesPerRun times back to back (a single copy is over in
    // microseconds, too short for its start not to weigh).
    auto limits = [&](bool keep) {
        struct Copy {
            void* to;
            const void* from;
            CopyDirection direction;
        };
        const Copy copies[] = {{buffer, page_locked, CopyDirection::to_device},
                               {page_locked, buffer, CopyDirection::to_host},
                               {second_buffer, buffer, CopyDirection::across_device}};
        check(clock->record_event(events.at[0]));
        for (int k = 0; k < 3; ++k) {
            for (int copy = 0; copy < kFloorCopiesPerRun; ++copy) {
                check(clock->copy(copies[k].to, copies[k].from, bytes, copies[k].direction));
            }
            check(clock->record_event(events.at[k + 1]));
        }
        check(clock->wait_for_event(events.at[3]));
        if (check.ok() && keep) {
            m.pinned_upload_ms.push_back(elapsed(0, 1) / kFloorCopiesPerRun);
            m.pinned_download_ms.push_back(elapsed(1, 2) / kFloorCopiesPerRun);
            m.device_copy_ms.push_back(elapsed(2, 3) / kFloorCopiesPerRun);
        }
    };

    if (check.ok()) {
        std::memcpy(page_locked, galaxy, bytes);
    }
    for (int run = 0; run <= runs && check.ok(); ++run) {
        const bool keep = run > 0;  // run 0 is the warm-up
        step(galaxy, forces_launch(0.0, 0.0, 0.0), forces_result, &m.force_kernel_ms, keep);
        step(with_forces, integrate_launch(dt), integrate_result, &m.integrate_kernel_ms, keep);
        limits(keep);
    }

    for (void* event : events.at) {
        clock->destroy_event(event);
    }
    clock->free_page_locked(page_locked);
    clock->free_device(second_buffer);
    clock->free_device(buffer);
    clock->close();
    return m;
}

}  // namespace lumeth::bench
