// The step driver. Each step copies the whole host array to its own device buffer, runs one
// kernel over it, waits and copies the array back; the host array stays the one authoritative
// copy. Every device status is examined: without a usable device, or from the first failed
// device operation on, the steps run on the CPU with the same per-particle arithmetic.
#include "step_driver.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "device_operations.h"
#include "kernels/cpu_kernels.h"
#include "step_driver_testing.h"

namespace lumeth {
namespace {

constexpr int kThreadsPerBlock = 256;

// The black hole sits at the origin; the force kernel is always given that centre.
constexpr double kCenterX = 0.0;
constexpr double kCenterY = 0.0;
constexpr double kCenterZ = 0.0;

struct DeviceBuffer {
    Particle* memory = nullptr;
    int allocated = 0;  // 1 once the owning step function has asked for `memory`
    int capacity = 0;   // records it holds: the count of that first call
};

struct DriverState {
    StepBackend backend = StepBackend::undecided;
    const DeviceOperations* operations = nullptr;  // nullptr: platform_device_operations()
    DeviceBuffer forces_buffer;                    // used by step_forces only
    DeviceBuffer integrate_buffer;                 // used by step_integrate only
};

// Process-wide; only the thread of the frame loop calls in, so there is no lock.
DriverState driver;

const DeviceOperations& operations() {
    return driver.operations != nullptr ? *driver.operations : platform_device_operations();
}

bool device_was_used() {
    return driver.backend == StepBackend::gpu || driver.backend == StepBackend::cpu_after_failure;
}

const char* plural_s(int n) {
    return n == 1 ? "" : "s";
}

// The backend is chosen once, at the first step: the device if the probe finds a usable one,
// otherwise the CPU, said in one line on standard error.
void choose_backend() {
    if (driver.backend != StepBackend::undecided) {
        return;
    }
    if (const char* why = operations().probe()) {
        const int threads = cpu_thread_count();
        std::fprintf(stderr,
                     "lumeth: no usable CUDA device (%s); running the simulation on the CPU "
                     "with %d thread%s\n",
                     why, threads, plural_s(threads));
        driver.backend = StepBackend::cpu_no_device;
        return;
    }
    driver.backend = StepBackend::gpu;
}

struct StepFailure {
    std::string action;  // what the driver was doing; empty: no failure
    std::string text;    // why it failed, in the runtime's own words where it has any
};

// One step on the device: copy up, launch, wait, copy back. `launch(device, buffer, blocks)`
// queues the kernel named `kernel_name` on the buffer over that many blocks. Returns no failure
// when the host array holds the kernel's result. On a failure the host array is as it was when the
// step began: every operation before the copy back leaves it alone, and a failed copy back is taken
// to have written nothing into it (the runtime checks its arguments and reports errors of earlier
// device work before it moves any byte; only a transfer that breaks off midway could have written
// part of it, which for the force step is harmless anyway: the CPU pass rewrites every acceleration
// and reads none).
template <typename Launch>
StepFailure run_on_device(DeviceBuffer& buffer, Particle* particles, int count,
                          const char* kernel_name, Launch launch) {
    const DeviceOperations& device = operations();
    // count x 80 bytes formed in 64 bits, so that no count can overflow it.
    const std::size_t bytes = static_cast<std::size_t>(static_cast<std::int64_t>(count) *
                                                       static_cast<std::int64_t>(sizeof(Particle)));

    if (buffer.allocated == 0) {
        // Asked for once per process: the flag is set whatever the answer, and a failed
        // allocation sends this and every later step to the CPU.
        buffer.allocated = 1;
        if (const char* text = device.allocate(&buffer.memory, bytes)) {
            return {"allocating the device buffer", text};
        }
        buffer.capacity = count;
    }
    if (count > buffer.capacity) {
        // The buffers are never grown: a larger array would not fit.
        return {"checking the particle count", std::to_string(count) +
                                                   " records do not fit the device buffer of " +
                                                   std::to_string(buffer.capacity) + " records"};
    }
    if (const char* text = device.copy_to_device(buffer.memory, particles, bytes)) {
        return {"copying the particles to the device", text};
    }
    // (count + 255) / 256 blocks, formed in 64 bits so that it cannot overflow near INT_MAX.
    const int blocks = static_cast<int>((static_cast<std::int64_t>(count) + kThreadsPerBlock - 1) /
                                        kThreadsPerBlock);
    if (const char* text = launch(device, buffer.memory, blocks)) {
        return {std::string("launching ") + kernel_name, text};
    }
    if (const char* text = device.synchronize()) {
        return {std::string("waiting for ") + kernel_name, text};
    }
    if (const char* text = device.copy_to_host(particles, buffer.memory, bytes)) {
        return {"copying the particles back from the device", text};
    }
    return {};
}

// After the first failed device operation: say so once, and leave the device for good.
void fall_back_to_cpu(const char* step_name, const StepFailure& failure) {
    const int threads = cpu_thread_count();
    std::fprintf(stderr,
                 "lumeth: GPU failure in %s while %s (%s); running this and every later step "
                 "on the CPU with %d thread%s\n",
                 step_name, failure.action.c_str(), failure.text.c_str(), threads,
                 plural_s(threads));
    driver.backend = StepBackend::cpu_after_failure;
}

// One step, whichever way it runs: on the device while the device is in use; on the CPU
// (`on_cpu`) without one, and from the first device failure on, starting with the step
// that failed.
template <typename Launch, typename OnCpu>
void run_step(DeviceBuffer& buffer, Particle* particles, int count, const char* step_name,
              const char* kernel_name, Launch launch, OnCpu on_cpu) {
    if (count <= 0) {
        return;  // no record to step, and no device work worth asking for
    }
    choose_backend();
    if (driver.backend == StepBackend::gpu) {
        const StepFailure failure = run_on_device(buffer, particles, count, kernel_name, launch);
        if (failure.action.empty()) {
            return;
        }
        fall_back_to_cpu(step_name, failure);
    }
    on_cpu();
}

}  // namespace

StepBackend step_backend() {
    return driver.backend;
}

namespace driver_testing {

void install_device_operations(const DeviceOperations* operations) {
    driver = DriverState{};
    driver.operations = operations;
}

}  // namespace driver_testing
}  // namespace lumeth

void step_forces(Particle* particles, int count) {
    using namespace lumeth;
    run_step(
        driver.forces_buffer, particles, count, "step_forces", "compute_forces_kernel",
        [count](const DeviceOperations& device, Particle* buffer, int blocks) {
            return device.launch_forces(buffer, count, blocks, kThreadsPerBlock, kCenterX, kCenterY,
                                        kCenterZ);
        },
        [=] { compute_forces_cpu(particles, count, kCenterX, kCenterY, kCenterZ); });
}

void step_integrate(Particle* particles, int count, double dt) {
    using namespace lumeth;
    run_step(
        driver.integrate_buffer, particles, count, "step_integrate", "integrate_kernel",
        [count, dt](const DeviceOperations& device, Particle* buffer, int blocks) {
            return device.launch_integrate(buffer, count, blocks, kThreadsPerBlock, dt);
        },
        [=] { integrate_cpu(particles, count, dt); });
}

void release_gpu() {
    using namespace lumeth;
    // The device reset releases both buffers with everything else of the process on the
    // device; it also clears a device left broken by a failure. Nothing to do when the device
    // was never used (CPU path, or no step ran). The allocation flags stay set: no step may
    // follow.
    if (!device_was_used()) {
        return;
    }
    if (const char* why = operations().reset()) {
        std::fprintf(stderr, "lumeth: resetting the CUDA device failed (%s)\n", why);
    }
}
