// GPU timing in a build without CUDA: there is nothing to time.
#include "bench_parts.h"
#include "gpu/device_operations.h"

namespace lumeth::bench {

GpuMeasurement measure_gpu(const Particle*, const Particle*, int, double, int, Particle*,
                           Particle*) {
    GpuMeasurement m;
    m.reason = platform_device_operations().probe();
    return m;
}

}  // namespace lumeth::bench
