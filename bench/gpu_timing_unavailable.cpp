// GPU timing in a build without CUDA: there is nothing to time.
#include "bench_parts.h"

namespace lumeth::bench {

GpuMeasurement measure_gpu(const Particle*, const Particle*, int, double, int, Particle*,
                           Particle*) {
    GpuMeasurement m;
    m.reason = "built without CUDA";
    return m;
}

}  // namespace lumeth::bench
