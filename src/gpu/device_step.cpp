#include "device_step.h"

#include <cstddef>
#include <cstdint>

#include "kernels/launch_geometry.h"

namespace lumeth {

const char* kernel_name(const KernelLaunch& launch) {
    return launch.kernel == KernelLaunch::Kernel::forces ? "compute_forces_kernel"
                                                         : "integrate_kernel";
}

StepFailure run_step_on_device(const DeviceOperations& device, Particle* buffer,
                               Particle* particles, int count, const KernelLaunch& launch,
                               const StepHook* hook) {
    auto reach = [hook](StepPoint point) {
        if (hook != nullptr) {
            hook->at(hook->context, point);
        }
    };
    // count x 80 bytes formed in 64 bits, so that no count can overflow it.
    const std::size_t bytes = static_cast<std::size_t>(static_cast<std::int64_t>(count) *
                                                       static_cast<std::int64_t>(sizeof(Particle)));
    const int blocks = launch_blocks(count);
    const std::string kernel = kernel_name(launch);

    reach(StepPoint::before_copy_up);
    if (const char* text = device.copy_to_device(buffer, particles, bytes)) {
        return {"copying the particles to the device", text};
    }
    reach(StepPoint::after_copy_up);
    const char* launched =
        launch.kernel == KernelLaunch::Kernel::forces
            ? device.launch_forces(buffer, count, blocks, kThreadsPerBlock, launch.center_x,
                                   launch.center_y, launch.center_z)
            : device.launch_integrate(buffer, count, blocks, kThreadsPerBlock, launch.dt);
    if (launched != nullptr) {
        return {"launching " + kernel, launched};
    }
    reach(StepPoint::kernel_queued);
    if (const char* text = device.synchronize()) {
        return {"waiting for " + kernel, text};
    }
    if (const char* text = device.copy_to_host(particles, buffer, bytes)) {
        return {"copying the particles back from the device", text};
    }
    reach(StepPoint::after_copy_back);
    return {};
}

}  // namespace lumeth
