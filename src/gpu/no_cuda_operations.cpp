// The device operations of a build without CUDA: the probe fails, so the step driver runs
// every step on the CPU and says why. The other operations are never reached.
#include <string>

#include "device_operations.h"
#include "unusable_device.h"

namespace lumeth {
namespace {

// Formed once and kept for the rest of the process, as the table's texts must.
const char* no_cuda() {
    static const std::string reason = no_gpu_code_in_build_reason();
    return reason.c_str();
}

const char* probe() {
    return no_cuda();
}
const char* allocate(Particle**, std::size_t) {
    return no_cuda();
}
const char* copy_to_device(Particle*, const Particle*, std::size_t) {
    return no_cuda();
}
const char* launch_forces(Particle*, int, int, int, double, double, double) {
    return no_cuda();
}
const char* launch_integrate(Particle*, int, int, int, double) {
    return no_cuda();
}
const char* synchronize() {
    return no_cuda();
}
const char* copy_to_host(Particle*, const Particle*, std::size_t) {
    return no_cuda();
}
const char* reset() {
    return no_cuda();
}

constexpr DeviceOperations kNoCudaOperations{
    probe,       allocate,     copy_to_device, launch_forces, launch_integrate,
    synchronize, copy_to_host, reset,          false};

}  // namespace

const DeviceOperations& no_cuda_operations() {
    return kNoCudaOperations;
}

}  // namespace lumeth
