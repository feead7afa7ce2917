// The benchmark's parts that depend on the build: GPU timing (on the GPU path that runs the
// steps, where the build has one; otherwise it says why not) and render and frame timing
// (with SDL3; without it a stand-in says why not, and the frame is timed without drawing), so
// the benchmark's main program is the same in every build.
#pragma once

#include <string>
#include <vector>

#include "sim/particle.h"

namespace lumeth::bench {

// Back-to-back copies in each timed run of a copy's floor; each sample is their mean.
constexpr int kFloorCopiesPerRun = 16;

// Times of the GPU path, one sample per timed run (milliseconds, from events on the device),
// and the device's own figures that bound them.
struct GpuMeasurement {
    bool available = false;  // a device was found; the rest is filled only then
    std::string reason;      // why no device can be used, when not available
    std::string device;      // the device's name
    int capability = 0;      // its compute capability, 10 * major + minor
    std::string failure;     // a GPU call that failed during the measurement, with its text

    // The step driver's own device steps (pageable host memory, one copy of count * 80 bytes
    // each way, the kernel between), with events at each point of the step.
    std::vector<double> upload_ms;    // both steps' uploads
    std::vector<double> download_ms;  // both steps' downloads
    std::vector<double> force_kernel_ms;
    std::vector<double> integrate_kernel_ms;

    // The copies' limit: plain copies of the same bytes each way from page-locked host memory
    // (each sample the mean of kFloorCopiesPerRun copies).
    std::vector<double> pinned_upload_ms;
    std::vector<double> pinned_download_ms;
    // The device memory's bandwidth: device-to-device copies of the same bytes (likewise).
    std::vector<double> device_copy_ms;

    // From the device's properties: streaming multiprocessors, their peak clock, and the
    // double-precision instructions each issues per clock.
    int multiprocessors = 0;
    double clock_hz = 0.0;
    double fp64_per_multiprocessor_per_clock = 0.0;
};

// Runs the driver's device step for the forces on `galaxy` and for the integration (with step
// dt) on `with_forces`, one warm-up then `runs` timed runs each, and leaves the last run's
// results in `forces_result` and `integrate_result` (count records each).
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

// The program's frame, timed whole.
struct FrameMeasurement {
    bool available = false;
    std::string reason;  // why no frame could be drawn, when not available
    std::vector<double> frame_ms;
};

// Runs the program's own iteration of its frame loop (events, both steps, render_frame) on a
// copy of `galaxy` and SDL's software renderer on a 1920x1080 offscreen window, `runs` + 1
// times (the first a warm-up), and times each iteration whole.
FrameMeasurement measure_frames(const Particle* galaxy, int count, int runs);

}  // namespace lumeth::bench
