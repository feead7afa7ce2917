#include "record/recorder.h"

#include <SDL3/SDL.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/app.h"
#include "app/render.h"
#include "gpu/step_driver.h"
#include "record/encoder_thread.h"
#include "record/overlay.h"
#include "record/progress.h"
#include "record/video_writer.h"
#include "sim/constants.h"
#include "sim/initial_conditions.h"

namespace lumeth::record {
namespace {

volatile std::sig_atomic_t stop_signal = 0;

extern "C" void request_stop(int signal) {
    stop_signal = signal;
}

// The steps' backend in the summary's words.
const char* backend_summary() {
    const StepBackend backend = step_backend();
    return backend == StepBackend::undecided ? "no step run" : step_backend_name(backend);
}

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// Wall time spent in each phase of the frame loop, s.
struct PhaseTimes {
    double step = 0.0;
    double draw = 0.0;
    double read_back = 0.0;
    double encode = 0.0;        // handing the frame to the encoder thread, waits included
    double encoder_busy = 0.0;  // the encoder thread's own conversion and encoding
};

// Read-back frames waiting for the encoder thread, besides the one it is encoding.
constexpr int kFramesInFlight = 2;

void print_summary(const RecordOptions& options, const VideoWriter& writer, int frames,
                   double elapsed, const PhaseTimes& t, int stopped_by) {
    struct stat info {};
    const double megabytes =
        stat(options.out.c_str(), &info) == 0 ? static_cast<double>(info.st_size) / 1e6 : 0.0;
    const double total = t.step + t.draw + t.read_back + t.encode;
    auto share = [&](double phase) { return total > 0.0 ? 100.0 * phase / total : 0.0; };
    auto per_frame = [&](double phase) { return frames > 0 ? 1e3 * phase / frames : 0.0; };
    std::printf(
        "lumeth-record: %d frames%s in %.1f s (%.2f frames/s), %.1f MB, %s, %s -> %s; per "
        "frame: step %.1f ms (%.0f%%), draw %.1f ms (%.0f%%), read-back %.1f ms (%.0f%%), "
        "encode %.1f ms (%.0f%%); encoder thread %.1f ms per frame alongside\n",
        frames,
        stopped_by == SIGINT    ? " (stopped by SIGINT)"
        : stopped_by == SIGTERM ? " (stopped by SIGTERM)"
                                : "",
        elapsed, elapsed > 0.0 ? frames / elapsed : 0.0, megabytes, writer.description().c_str(),
        backend_summary(), options.out.c_str(), per_frame(t.step), share(t.step), per_frame(t.draw),
        share(t.draw), per_frame(t.read_back), share(t.read_back), per_frame(t.encode),
        share(t.encode), per_frame(t.encoder_busy));
    std::fflush(stdout);
}

}  // namespace

const char* backend_label() {
    return step_backend() == StepBackend::gpu ? "CUDA" : "CPU";
}

void draw_recorded_frame(const SimulationState& state, double fps, bool show_rate, double step_myr,
                         int frame, int frames) {
    draw_frame(state);
    char status[kOverlayColumns + 1];
    char detail[kOverlayColumns + 1];
    if (show_rate) {
        format_status(status, sizeof status, backend_label(), fps, state);
    } else {
        format_simulated_status(status, sizeof status, backend_label(), state);
    }
    std::snprintf(detail, sizeof detail, "Step: %g Myr | Frame %d/%d", step_myr, frame, frames);
    const char* const lines[kOverlayLines] = {status, detail};
    draw_overlay(state.renderer, lines);
}

int run_recording(const RecordOptions& options) {
    const std::uint32_t seed = options.seed_given ? options.seed : clock_seed();
    const double dt = options.step_myr * kSecondsPerMegayear;
    Particle* particles = allocate_particles(static_cast<std::size_t>(options.particles));

    VideoSettings settings;
    settings.path = options.out;
    settings.codec = options.codec;
    settings.quality = options.quality;
    settings.width = kWindowWidth;
    settings.height = kWindowHeight;
    settings.fps = options.fps;
    VideoWriter writer;
    std::string error;
    const VideoWriter::OpenResult opened = writer.open(settings, &error);
    if (opened != VideoWriter::OpenResult::ok) {
        std::fprintf(stderr, "lumeth-record: %s\n", error.c_str());
        std::free(particles);
        return opened == VideoWriter::OpenResult::bad_output ? 2 : 1;
    }

    // From here on a stop signal ends the run cleanly: after the current frame, or before
    // the first, when there is nothing to keep.
    stop_signal = 0;
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    struct sigaction old_int {};
    struct sigaction old_term {};
    sigaction(SIGINT, &action, &old_int);
    sigaction(SIGTERM, &action, &old_term);

    std::printf(
        "lumeth-record: %d particles, seed %u, %d frames of %g Myr at %g fps, %dx%d %s "
        "-> %s\n",
        options.particles, seed, options.frames, options.step_myr, options.fps, kWindowWidth,
        kWindowHeight, writer.description().c_str(), options.out.c_str());
    std::fflush(stdout);

    // No window and no video driver: SDL's software renderer draws straight into a surface
    // of the window's size, in the byte order the encoder reads.
    SDL_Surface* target = SDL_CreateSurface(kWindowWidth, kWindowHeight, SDL_PIXELFORMAT_BGRX32);
    SDL_Renderer* renderer = target != nullptr ? SDL_CreateSoftwareRenderer(target) : nullptr;
    if (renderer == nullptr) {
        std::fprintf(stderr, "lumeth-record: cannot set up SDL's software renderer: %s\n",
                     SDL_GetError());
        writer.discard();
        SDL_DestroySurface(target);
        std::free(particles);
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGTERM, &old_term, nullptr);
        return 1;
    }

    SimulationState state{};
    state.window = nullptr;
    state.renderer = renderer;
    state.particles = particles;
    state.particle_count = options.particles;
    state.sim_time = 0.0;
    state.paused = 0;
    state.scale = kProjectionScale;
    state.zoom = options.zoom;
    generate_galaxy(particles, options.particles, seed);

    Progress progress(stderr, options.frames, isatty(STDERR_FILENO) != 0);
    PhaseTimes times;
    bool failed = false;
    int frame = 0;
    const Clock::time_point start = Clock::now();
    auto encoder = std::make_unique<EncoderThread>(&writer, kFramesInFlight);
    Uint64 previous_counter = SDL_GetPerformanceCounter();
    while (frame < options.frames && stop_signal == 0) {
        // As in the window: the rate is the reciprocal of the previous frame's duration.
        const Uint64 now = SDL_GetPerformanceCounter();
        const double fps = frame_rate(now, previous_counter, SDL_GetPerformanceFrequency());
        previous_counter = now;

        const Clock::time_point t0 = Clock::now();
        advance_simulation(&state, dt);
        const Clock::time_point t1 = Clock::now();
        draw_recorded_frame(state, fps, options.show_rate, options.step_myr, frame + 1,
                            options.frames);
        // SDL queues the drawing and rasterises it at the next flush: that belongs to the
        // drawing's time, not the read-back's.
        SDL_FlushRenderer(renderer);
        const Clock::time_point t2 = Clock::now();
        SDL_Surface* pixels = SDL_RenderReadPixels(renderer, nullptr);
        if (pixels != nullptr && pixels->format != SDL_PIXELFORMAT_BGRX32) {
            SDL_Surface* converted = SDL_ConvertSurface(pixels, SDL_PIXELFORMAT_BGRX32);
            SDL_DestroySurface(pixels);
            pixels = converted;
        }
        const Clock::time_point t3 = Clock::now();
        if (pixels == nullptr) {
            error = std::string("reading frame ") + std::to_string(frame + 1) +
                    " back failed: " + SDL_GetError();
            failed = true;
            break;
        }
        // The encoder takes the read-back copy, so the renderer is free for the next frame.
        if (!encoder->submit(pixels)) {
            failed = true;
            break;
        }
        const Clock::time_point t4 = Clock::now();
        SDL_RenderPresent(renderer);
        times.step += seconds(t0, t1);
        times.draw += seconds(t1, t2);
        times.read_back += seconds(t2, t3);
        times.encode += seconds(t3, t4);
        ++frame;
        progress.update(frame, seconds(start, Clock::now()));
    }
    const int stopped_by = stop_signal;
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);

    // The frames still waiting are encoded before the file is completed.
    const Clock::time_point draining = Clock::now();
    if (!encoder->finish(&error)) {
        failed = true;
    }
    times.encoder_busy = encoder->busy_seconds();
    encoder.reset();
    progress.end();

    int status = 0;
    if (failed) {
        status = 1;
    } else if (frame == 0) {
        // Stopped before the first frame: there is no video to keep.
        writer.discard();
        status = 128 + stopped_by;
    } else if (writer.finish(&error)) {
        times.encode += seconds(draining, Clock::now());
        print_summary(options, writer, frame, seconds(start, Clock::now()), times, stopped_by);
        status = stopped_by != 0 ? 128 + stopped_by : 0;
    } else {
        status = 1;
    }
    if (status == 1) {
        std::fprintf(stderr, "lumeth-record: %s; '%s' removed\n", error.c_str(),
                     options.out.c_str());
        writer.discard();
    }

    release_gpu();
    SDL_DestroyRenderer(renderer);
    SDL_DestroySurface(target);
    std::free(particles);
    SDL_Quit();
    return status;
}

}  // namespace lumeth::record
