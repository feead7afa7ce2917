// Test access to the driver API table's process state. Only tests include this: it lets them
// start the table over between cases, and point it at a driver library that is not there.
#pragma once

namespace lumeth {
namespace driver_api_testing {

// Forgets the table's session (nothing is released on the driver: a test releases it first,
// with the table's reset) and makes the next probe load `library` (nullptr: the platform's
// driver library, cuda_driver_library()) and, where there is no driver library, look for an
// NVIDIA GPU among the PCI devices listed in `pci_devices` (nullptr: the machine's own,
// kPciDevicesFolder).
void use_driver_library(const char* library, const char* pci_devices = nullptr);

}  // namespace driver_api_testing
}  // namespace lumeth
