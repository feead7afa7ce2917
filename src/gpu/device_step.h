// One step on the device: the copy up, launch, wait and copy back that the step driver runs
// every step, written once so that the GPU tests and the benchmark drive the same sequence.
#pragma once

#include <string>

#include "device_operations.h"
#include "sim/particle.h"

namespace lumeth {

// The kernel a device step runs, with its arguments.
struct KernelLaunch {
    enum class Kernel { forces, integrate };
    Kernel kernel;
    double center_x, center_y, center_z;  // forces: where the black hole sits
    double dt;                            // integrate: the step length
};

inline KernelLaunch forces_launch(double center_x, double center_y, double center_z) {
    return {KernelLaunch::Kernel::forces, center_x, center_y, center_z, 0.0};
}

inline KernelLaunch integrate_launch(double dt) {
    return {KernelLaunch::Kernel::integrate, 0.0, 0.0, 0.0, dt};
}

// "compute_forces_kernel" or "integrate_kernel".
const char* kernel_name(const KernelLaunch& launch);

// The points of a device step at which the caller may act on the host: before the copy up,
// after it, once the kernel is queued (the host is free while the device runs it) and after
// the copy back. The benchmark records timing events there; the driver keeps what a failed
// copy back would need while the kernel runs.
enum class StepPoint { before_copy_up, after_copy_up, kernel_queued, after_copy_back };

struct StepHook {
    void (*at)(void* context, StepPoint point);
    void* context;
};

// Where a device step failed: what was being done, and the runtime's own text.
struct StepFailure {
    std::string action;  // empty: no failure
    std::string text;
    bool failed() const { return !action.empty(); }
};

// Copies records 0..count-1 from `particles` to `buffer` (room for at least count records),
// queues the kernel over launch_blocks(count) blocks of kThreadsPerBlock threads, waits, and
// copies the records back over `particles`. Calls `hook` (if any) at each StepPoint. Returns
// no failure when the host records hold the kernel's result. A failure before the copy back
// leaves the host array untouched; a copy back that breaks off midway may have written any
// part of it.
StepFailure run_step_on_device(const DeviceOperations& device, Particle* buffer,
                               Particle* particles, int count, const KernelLaunch& launch,
                               const StepHook* hook = nullptr);

}  // namespace lumeth
