// Test access to the step driver's process state. Only tests include this: it lets them run
// the driver against a substitute device (to inject failures at every operation, or to force
// the CPU path on a machine that has a GPU) and observe which backend it chose.
#pragma once

#include "device_operations.h"

namespace lumeth {

// Which way the steps are carried out.
enum class StepBackend {
    undecided,          // no step has run yet: the device is probed at the first one
    gpu,                // the device runs the steps
    cpu_no_device,      // the probe failed: every step runs on the CPU
    cpu_after_failure,  // a device operation failed during a step: that step and every later
                        // one run on the CPU
};

namespace driver_testing {

// Makes the driver use `operations` (nullptr: this build's own table) and returns it to its
// state at process start: backend undecided, no buffers, both allocation flags 0. Nothing is
// released on any device; the table's owner keeps whatever it handed out.
void install_device_operations(const DeviceOperations* operations);

// The backend the driver is using now.
StepBackend step_backend();

}  // namespace driver_testing
}  // namespace lumeth
