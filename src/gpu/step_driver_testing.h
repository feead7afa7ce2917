// Test access to the step driver's process state. Only tests include this: it lets them run
// the driver against a substitute device (to inject failures at every operation, or to force
// the CPU path on a machine that has a GPU).
#pragma once

#include "device_operations.h"
#include "step_driver.h"

namespace lumeth {
namespace driver_testing {

// Makes the driver use `operations` (nullptr: this build's own table and its fallback), with
// `fallback` as the table it tries where `operations` refuses for its own code, and returns it
// to its state at process start: backend undecided, no buffers, both allocation flags 0.
// Nothing is released on any device; the table's owner keeps whatever it handed out.
void install_device_operations(const DeviceOperations* operations,
                               const DeviceOperations* fallback = nullptr);

}  // namespace driver_testing
}  // namespace lumeth
