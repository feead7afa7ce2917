// The step driver. Each step copies the whole host array to its own device buffer, runs one
// kernel over it, waits and copies the array back; the host array stays the one authoritative
// copy. Every device status is examined: without a usable device, or from the first failed
// device operation on, the steps run on the CPU with the same per-particle arithmetic.
#include "step_driver.h"

#include <cstdio>
#include <string>

#include "device_operations.h"
#include "device_step.h"
#include "kernels/cpu_kernels.h"
#include "motion_backup.h"
#include "step_driver_testing.h"

namespace lumeth {
namespace {

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
    bool own_tables = false;                       // tables installed by a test
    const DeviceOperations* fallback = nullptr;    // a test's fallback table
    DeviceBuffer forces_buffer;                    // used by step_forces only
    DeviceBuffer integrate_buffer;                 // used by step_integrate only
    MotionBackup integrate_backup;                 // kept by step_integrate's device steps
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

const DeviceOperations* fallback_operations() {
    return driver.own_tables ? driver.fallback : platform_fallback_operations();
}

// The first table's probe, and the fallback's where the first refuses for its own code: when
// the fallback runs, it takes over, said in one line on standard error.
const char* probe_paths() {
    const PathProbe found = probe_with_fallback(operations(), fallback_operations());
    if (found.first_refusal != nullptr) {
        std::fprintf(stderr,
                     "lumeth: %s cannot run the kernels here (%s); running the simulation on "
                     "the GPU through %s\n",
                     operations().name, found.first_refusal, found.operations->name);
        driver.operations = found.operations;
    }
    return found.why;
}

// The backend is chosen once, at the first step: the device if the probe finds a usable one
// (through the fallback path where the first refuses for its code), otherwise the CPU, said in
// one line on standard error.
void choose_backend() {
    if (driver.backend != StepBackend::undecided) {
        return;
    }
    if (const char* why = probe_paths()) {
        const int threads = cpu_thread_count();
        if (operations().has_gpu_code) {
            std::fprintf(stderr,
                         "lumeth: no usable CUDA device (%s); running the simulation on the CPU "
                         "with %d thread%s\n",
                         why, threads, plural_s(threads));
        } else {
            std::fprintf(stderr, "lumeth: %s; running the simulation on the CPU with %d thread%s\n",
                         why, threads, plural_s(threads));
        }
        driver.backend = StepBackend::cpu_no_device;
        return;
    }
    driver.backend = StepBackend::gpu;
}

// The device buffer of a step function: asked for once per process, at its first device
// step, sized for that step's count. Returns a failure when it cannot be had or is too small.
StepFailure ready_buffer(DeviceBuffer& buffer, int count) {
    if (buffer.allocated == 0) {
        // The flag is set whatever the answer: a failed allocation sends this and every later
        // step to the CPU.
        buffer.allocated = 1;
        const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(Particle);
        if (const char* text = operations().allocate(&buffer.memory, bytes)) {
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

// Whether the step is to run on the device: decides the backend at the first step.
bool on_device(int count) {
    if (count <= 0) {
        return false;  // no record to step, and no device work worth asking for
    }
    choose_backend();
    return driver.backend == StepBackend::gpu;
}

// The backup of the records' motion, taken while the integration kernel runs.
struct BackupWhileRunning {
    const Particle* particles;
    int count;
    bool saved;
};

void save_while_kernel_runs(void* context, StepPoint point) {
    auto* backup = static_cast<BackupWhileRunning*>(context);
    if (point == StepPoint::kernel_queued) {
        save_motion(backup->particles, backup->count, &driver.integrate_backup);
        backup->saved = true;
    }
}

}  // namespace

StepBackend step_backend() {
    return driver.backend;
}

const char* step_backend_name(StepBackend backend) {
    switch (backend) {
        case StepBackend::gpu:
            return "gpu";
        case StepBackend::cpu_no_device:
            return "cpu (no device)";
        case StepBackend::cpu_after_failure:
            return "cpu (gpu failed)";
        case StepBackend::undecided:
            break;
    }
    return "undecided";
}

namespace driver_testing {

void install_device_operations(const DeviceOperations* operations,
                               const DeviceOperations* fallback) {
    release_motion_backup(&driver.integrate_backup);
    driver = DriverState{};
    driver.operations = operations;
    driver.own_tables = operations != nullptr;
    driver.fallback = fallback;
}

}  // namespace driver_testing
}  // namespace lumeth

// A failed force step leaves nothing to undo: the device changes only accelerations, so even a
// copy back that breaks off midway writes the records' own position, velocity and mass, and
// the CPU pass then rewrites every acceleration and reads none.
void step_forces(Particle* particles, int count) {
    using namespace lumeth;
    if (on_device(count)) {
        StepFailure failure = ready_buffer(driver.forces_buffer, count);
        if (!failure.failed()) {
            failure = run_step_on_device(operations(), driver.forces_buffer.memory, particles,
                                         count, forces_launch(kCenterX, kCenterY, kCenterZ));
        }
        if (!failure.failed()) {
            return;
        }
        fall_back_to_cpu("step_forces", failure);
    }
    compute_forces_cpu(particles, count, kCenterX, kCenterY, kCenterZ);
}

// A failed integration step is undone before the CPU carries it out: a copy back that breaks
// off midway may have moved a prefix of the records already, so every record's position and
// velocity is put back from the copy taken while the kernel ran.
void step_integrate(Particle* particles, int count, double dt) {
    using namespace lumeth;
    if (on_device(count)) {
        StepFailure failure = ready_buffer(driver.integrate_buffer, count);
        BackupWhileRunning backup{particles, count, false};
        if (!failure.failed() && !reserve_motion_backup(&driver.integrate_backup, count)) {
            failure = {"allocating the host copy of positions and velocities", "out of memory"};
        }
        if (!failure.failed()) {
            const StepHook hook{save_while_kernel_runs, &backup};
            failure = run_step_on_device(operations(), driver.integrate_buffer.memory, particles,
                                         count, integrate_launch(dt), &hook);
        }
        if (!failure.failed()) {
            return;
        }
        if (backup.saved) {
            restore_motion(particles, count, driver.integrate_backup);
        }
        fall_back_to_cpu("step_integrate", failure);
    }
    integrate_cpu(particles, count, dt);
}

void release_gpu() {
    using namespace lumeth;
    release_motion_backup(&driver.integrate_backup);
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
