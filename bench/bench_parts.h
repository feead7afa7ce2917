// The benchmark's optional parts: GPU timing (built only with CUDA) and render timing (built
// only with SDL3). Each part has a stand-in that reports why it is not available, so the
// benchmark's main program is the same in every build.
#pragma once

#include <string>
#include <vector>

#include "sim/particle.h"

namespace lumeth::bench {

// Times of the GPU path, one sample per timed run (milliseconds, from CUDA events).
struct GpuMeasurement {
    bool available = false;  // a device was found; the rest is filled only then
    std::string reason;      // why no device can be used, when not available
    std::string device;      // the device's name
    std::string failure;     // a CUDA call that failed during the measurement, with its text

    // Copies and kernels as the step driver does them: pageable host memory, one cudaMemcpy of
    // count * 80 bytes each way, <<<(count + 255) / 256, 256>>> launches on the default stream.
    std::vector<double> upload_ms;    // both steps' uploads
    std::vector<double> download_ms;  // both steps' downloads
    std::vector<double> force_kernel_ms;
    std::vector<double> integrate_kernel_ms;
    std::vector<double> force_step_ms;      // upload + force kernel + download
    std::vector<double> integrate_step_ms;  // upload + integrate kernel + download

    // The copies' limit: one plain cudaMemcpy of the same bytes each way from page-locked
    // host memory.
    std::vector<double> pinned_upload_ms;
    std::vector<double> pinned_download_ms;
};

// Runs the force step on `galaxy` and the integration step (with step dt) on `with_forces`,
// one warm-up then `runs` timed runs each, and leaves the last run's results in
// `forces_result` and `integrate_result` (count records each).
GpuMeasurement measure_gpu(const Particle* galaxy, const Particle* with_forces, int count,
                           double dt, int runs, Particle* forces_result,
                           Particle* integrate_result);

// Times of the renderer, one sample per timed run (milliseconds, from the steady clock).
struct RenderMeasurement {
    bool available = false;
    std::string reason;  // why the renderer could not be timed, when not available
    int points_in_frame = 0;
    std::vector<double> render_frame_ms;  // the program's render_frame
    // The same points, projected and classified outside the timed region, drawn with one
    // batched SDL_RenderPoints call per colour class (with the same clear, marker and present).
    std::vector<double> batched_ms;
};

// Draws `galaxy` with SDL's software renderer on a 1920x1080 offscreen window: one warm-up
// then `runs` timed runs of each way of drawing.
RenderMeasurement measure_render(const Particle* galaxy, int count, int runs);

}  // namespace lumeth::bench
