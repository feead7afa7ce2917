// The device operations of a build without CUDA: the probe fails, so the step driver runs
// every step on the CPU and says why. The other operations are never reached.
#include "device_operations.h"

namespace lumeth {
namespace {

constexpr const char* kNoCuda =
    "this build has no CUDA support; build it with the CUDA toolkit (nvcc) to use the GPU";

const char* probe() {
    return kNoCuda;
}
const char* allocate(Particle**, std::size_t) {
    return kNoCuda;
}
const char* copy_to_device(Particle*, const Particle*, std::size_t) {
    return kNoCuda;
}
const char* launch_forces(Particle*, int, int, int, double, double, double) {
    return kNoCuda;
}
const char* launch_integrate(Particle*, int, int, int, double) {
    return kNoCuda;
}
const char* synchronize() {
    return kNoCuda;
}
const char* copy_to_host(Particle*, const Particle*, std::size_t) {
    return kNoCuda;
}
const char* reset() {
    return kNoCuda;
}

constexpr DeviceOperations kNoCudaOperations{
    probe,       allocate,     copy_to_device, launch_forces, launch_integrate,
    synchronize, copy_to_host, reset};

}  // namespace

const DeviceOperations& no_cuda_operations() {
    return kNoCudaOperations;
}

}  // namespace lumeth
