// Render and frame timing in a build without SDL3: there is no renderer to time.
#include "bench_parts.h"

namespace lumeth::bench {

RenderMeasurement measure_render(const Particle*, int, int) {
    RenderMeasurement m;
    m.reason = "built without SDL3";
    return m;
}

FrameMeasurement measure_frames(const Particle*, int, int) {
    FrameMeasurement m;
    m.reason = "built without SDL3";
    return m;
}

}  // namespace lumeth::bench
