// The renderer's rows and the bottom line: the program's frame rate at this count.
#include <cstdio>

#include "bench_parts.h"
#include "count_measurement.h"
#include "gpu/step_driver.h"
#include "sim/constants.h"
#include "timing.h"
#include "words.h"

namespace lumeth::bench {

void add_render_rows(CountMeasurement* m) {
    const RenderMeasurement r = measure_render(m->galaxy.data(), m->count, m->runs);
    if (!r.available) {
        m->rows.push_back(
            note_row(*m, "render", "sdl software", "not available (" + r.reason + ")"));
        return;
    }
    Row frame = timed_row(*m, "render_frame", "sdl software", m->runs, r.render_frame_ms);
    frame.threads = 1;
    frame.result = std::to_string(r.points_in_frame) + " points in the frame";
    Row batched = timed_row(*m, "render points (batched)", "sdl software", m->runs, r.batched_ms);
    batched.threads = 1;
    batched.result =
        "3 SDL_RenderPoints calls; render_frame takes " + format("%.1fx", frame.ms / batched.ms);
    m->render_frame_ms = frame.ms;
    m->rows.push_back(frame);
    m->rows.push_back(batched);
}

// The program's frame timed whole as its frame loop runs it, not summed from the rows: the
// rows' sum is given beside it as the yardstick. Without a renderer, the two steps alone.
void add_frame_line(CountMeasurement* m) {
    const FrameMeasurement f = measure_frames(m->galaxy.data(), m->count, m->runs);
    std::vector<double> samples = f.frame_ms;
    if (!f.available) {
        std::vector<Particle> particles = m->galaxy;
        samples = time_runs(
            "the program's steps", m->runs, NAN, [] {},
            [&] {
                step_forces(particles.data(), m->count);
                step_integrate(particles.data(), m->count, kTimeStep);
            });
    }
    const double ms = median(samples);
    const double parts_ms =
        m->step_forces_ms + m->step_integrate_ms + (f.available ? m->render_frame_ms : 0.0);
    char text[640];
    if (f.available) {
        std::snprintf(text, sizeof text,
                      "frame rate: %.1f FPS at %d particles, %s (%.1f ms a frame, median of %d "
                      "after 1 warm-up): the program's frame loop iteration (step_forces, "
                      "step_integrate, render_frame to an offscreen window) timed whole, beside "
                      "%.1f ms that its rows add up to; a live window adds presenting each frame "
                      "to the display, which this headless run cannot time",
                      1e3 / ms, m->count, program_backend(step_backend()).c_str(), ms, m->runs,
                      parts_ms);
    } else {
        std::snprintf(text, sizeof text,
                      "frame rate without drawing: %.1f FPS at %d particles, %s (%.1f ms a "
                      "frame, median of %d after 1 warm-up): step_forces and step_integrate "
                      "timed together, beside %.1f ms that their rows add up to; render_frame "
                      "could not run (%s), and a live window adds drawing and presenting each "
                      "frame",
                      1e3 / ms, m->count, program_backend(step_backend()).c_str(), ms, m->runs,
                      parts_ms, f.reason.c_str());
    }
    m->frame_line = text;
}

}  // namespace lumeth::bench
