#include "record/recorder.h"

#include <SDL3/SDL.h>
#ifdef __GLIBC__
#include <gnu/libc-version.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/render.h"
#include "gpu/step_driver.h"
#include "record/encoder_thread.h"
#include "record/file_commit.h"
#include "record/overlay.h"
#include "record/progress.h"
#include "record/snapshot.h"
#include "record/snapshot_folder.h"
#include "record/snapshot_limits.h"
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

// The snapshots of a run.
struct SnapshotLog {
    int written = 0;
    std::string last;
    double spent = 0.0;  // s, writing all of them
    FileBytes image;     // the last one's bytes, whose memory the next one uses
};

// The snapshot of the state after `info.step_count` steps, written to its file in `folder`.
bool write_snapshot(const std::string& folder, const SnapshotInfo& info, const Particle* particles,
                    SnapshotLog* log, std::string* error) {
    const std::string path = folder + "/" + snapshot_file_name(info.step_count);
    const Clock::time_point t0 = Clock::now();
    FileBytes& image = log->image;
    if (!snapshot_image(info, particles, &image, error) ||
        !write_file_committed(path, image.data.get(), image.size, error)) {
        return false;
    }
    log->spent += seconds(t0, Clock::now());
    ++log->written;
    log->last = path;
    return true;
}

std::string snapshot_summary(const RecordOptions& options, const SnapshotLog& log) {
    if (options.snapshot_every == 0) {
        return "";
    }
    const double each = log.written > 0 ? log.spent / log.written : 0.0;
    char text[512];
    std::snprintf(text, sizeof text, "; %d snapshot%s, written in %.1f ms each (last %s)",
                  log.written, log.written == 1 ? "" : "s", 1e3 * each,
                  log.written > 0 ? log.last.c_str() : "none");
    return text;
}

void print_summary(const RecordOptions& options, const VideoWriter* writer, int frames,
                   double elapsed, const PhaseTimes& t, int stopped_by, const SnapshotLog& log) {
    const double total = t.step + t.draw + t.read_back + t.encode;
    auto share = [&](double phase) { return total > 0.0 ? 100.0 * phase / total : 0.0; };
    auto per_frame = [&](double phase) { return frames > 0 ? 1e3 * phase / frames : 0.0; };
    char video[512] = "no video";
    if (writer != nullptr) {
        struct stat info {};
        const double megabytes =
            stat(options.out.c_str(), &info) == 0 ? static_cast<double>(info.st_size) / 1e6 : 0.0;
        std::snprintf(video, sizeof video, "%.1f MB, %s, %s -> %s", megabytes,
                      writer->description().c_str(), backend_summary(), options.out.c_str());
    } else {
        std::snprintf(video, sizeof video, "no video, %s", backend_summary());
    }
    std::printf(
        "lumeth-record: %d frames%s in %.1f s (%.2f frames/s), %s; per frame: step %.1f ms "
        "(%.0f%%), draw %.1f ms (%.0f%%), read-back %.1f ms (%.0f%%), encode %.1f ms "
        "(%.0f%%); encoder thread %.1f ms per frame alongside%s\n",
        frames,
        stopped_by == SIGINT    ? " (stopped by SIGINT)"
        : stopped_by == SIGTERM ? " (stopped by SIGTERM)"
                                : "",
        elapsed, elapsed > 0.0 ? frames / elapsed : 0.0, video, per_frame(t.step), share(t.step),
        per_frame(t.draw), share(t.draw), per_frame(t.read_back), share(t.read_back),
        per_frame(t.encode), share(t.encode), per_frame(t.encoder_busy),
        snapshot_summary(options, log).c_str());
    std::fflush(stdout);
}

// The names a video may take beside an earlier file at `path`: "<stem>.stopped<ext>", then
// "<stem>.stopped-2<ext>" and so on.
std::vector<std::string> names_beside(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        dot = path.size();
    }
    std::vector<std::string> names;
    for (int i = 1; i <= 100; ++i) {
        names.push_back(path.substr(0, dot) + ".stopped" +
                        (i == 1 ? std::string() : "-" + std::to_string(i)) + path.substr(dot));
    }
    return names;
}

// After a failure: the frames encoded so far become a finished video under `out`, or beside
// it where a file had that name; a video without frames, or one that cannot be finished, is
// removed. Returns what became of it, for the message.
std::string keep_video(VideoWriter* writer, const std::string& out) {
    const int frames = writer->frames_written();
    std::string kept, problem;
    if (frames > 0 && writer->is_open()) {
        const std::vector<std::string> names =
            writer->replaces_file() ? names_beside(out) : std::vector<std::string>{out};
        if (writer->finish_as_new(names, &kept, &problem)) {
            return "; the video '" + kept + "' holds the " + std::to_string(frames) + " frame" +
                   (frames == 1 ? "" : "s") + " recorded before it stopped" +
                   (writer->replaces_file() ? ", '" + out + "' is left as it was" : "");
        }
        writer->discard();
        problem = "; the video cannot be finished either (" + problem + ")";
    } else {
        writer->discard();
    }
    return problem + (writer->replaces_file()
                          ? "; the unfinished video was removed, '" + out + "' is left as it was"
                          : "; the unfinished video was removed");
}

// The math library of the steps on this backend: the C library's on the CPU, the CUDA
// toolkit's device functions on the GPU.
std::string math_library() {
    if (step_backend() == StepBackend::gpu) {
        return "CUDA device math";
    }
#ifdef __GLIBC__
    return std::string("glibc ") + gnu_get_libc_version();
#else
    return "unknown C library";
#endif
}

// After the first step of a resumed run: one line on standard error where the snapshot was
// produced on another backend or math library, whose results inside the black hole's inner
// zone may differ in their last bits.
void note_other_producer(const std::string& path, const SnapshotInfo& info) {
    const std::string backend = backend_label();
    const std::string library = math_library();
    if (info.layout_version < 2) {
        std::fprintf(stderr,
                     "lumeth-record: note: '%s' (layout %d) does not say which backend and math "
                     "library produced it; this run continues on %s with %s, bit for bit only if "
                     "they are the same\n",
                     path.c_str(), info.layout_version, backend.c_str(), library.c_str());
    } else if (!info.backend.empty() && (info.backend != backend || info.math_library != library)) {
        std::fprintf(stderr,
                     "lumeth-record: note: '%s' was produced on %s with %s, this run continues on "
                     "%s with %s: the same bits outside the black hole's inner zone, inside it "
                     "they may differ\n",
                     path.c_str(), info.backend.c_str(), info.math_library.c_str(), backend.c_str(),
                     library.c_str());
    }
}

// Where a run starts: a new galaxy, or a snapshot.
struct RunStart {
    int particles = 0;
    double step_myr = 0.0;
    double dt = 0.0;
    std::uint32_t seed = 0;
    long long step_count = 0;
    double sim_time = 0.0;
    Snapshot snapshot;  // the records when resuming
};

// Reads the snapshot to resume from and checks the options against it; 0, or 2 after one
// line on standard error.
int load_resume(const RecordOptions& options, RunStart* start) {
    std::string problem;
    if (!read_snapshot(options.resume, &start->snapshot, &problem)) {
        std::fprintf(stderr, "lumeth-record: cannot resume from '%s': %s\n", options.resume.c_str(),
                     problem.c_str());
        return 2;
    }
    const SnapshotInfo& info = start->snapshot.info;
    const char* differs = nullptr;
    char given[64] = "";
    char held[64] = "";
    if (options.particles_given && options.particles != info.particle_count) {
        differs = "--particles";
        std::snprintf(given, sizeof given, "%d", options.particles);
        std::snprintf(held, sizeof held, "%d particles", info.particle_count);
    } else if (options.step_myr_given && options.step_myr != info.step_myr) {
        differs = "--step-myr";
        std::snprintf(given, sizeof given, "%.17g", options.step_myr);
        std::snprintf(held, sizeof held, "a step of %.17g Myr", info.step_myr);
    } else if (options.seed_given && options.seed != info.seed) {
        differs = "--seed";
        std::snprintf(given, sizeof given, "%u", options.seed);
        std::snprintf(held, sizeof held, "the galaxy of seed %u", info.seed);
    }
    if (differs != nullptr) {
        std::fprintf(stderr, "lumeth-record: %s %s differs from '%s', which holds %s\n", differs,
                     given, options.resume.c_str(), held);
        return 2;
    }
    if (info.step_count > kMaxStepCount - options.frames) {
        std::fprintf(stderr,
                     "lumeth-record: cannot resume from '%s': its step count of %lld and %d "
                     "frames would pass %lld steps\n",
                     options.resume.c_str(), info.step_count, options.frames, kMaxStepCount);
        return 2;
    }
    // The time the snapshot holds counts towards the limit on the simulated time.
    const double start_myr = info.sim_time / kSecondsPerMegayear;
    if (!(start_myr + options.frames * info.step_myr <= kMaxSimulatedMyr)) {
        std::fprintf(stderr,
                     "lumeth-record: cannot resume from '%s': its time of %g Myr and %d frames of "
                     "%g Myr would pass 1e294 Myr\n",
                     options.resume.c_str(), start_myr, options.frames, info.step_myr);
        return 2;
    }
    start->particles = info.particle_count;
    start->step_myr = info.step_myr;
    start->dt = info.step_seconds;
    start->seed = info.seed;
    start->step_count = info.step_count;
    start->sim_time = info.sim_time;
    return 0;
}

}  // namespace

const char* backend_label() {
    return step_backend() == StepBackend::gpu ? "CUDA" : "CPU";
}

void draw_recorded_frame(const SimulationState& state, double fps, bool show_rate, double step_myr,
                         long long frame, long long frames) {
    draw_frame(state);
    char status[kOverlayColumns + 1];
    char detail[kOverlayColumns + 1];
    if (show_rate) {
        format_status(status, sizeof status, backend_label(), fps, state);
    } else {
        format_simulated_status(status, sizeof status, backend_label(), state);
    }
    std::snprintf(detail, sizeof detail, "Step: %g Myr | Frame %lld/%lld", step_myr, frame, frames);
    const char* const lines[kOverlayLines] = {status, detail};
    draw_overlay(state.renderer, lines);
}

int run_recording(const RecordOptions& options) {
    RunStart start;
    if (!options.resume.empty()) {
        if (const int status = load_resume(options, &start); status != 0) {
            return status;
        }
    } else {
        start.particles = options.particles;
        start.step_myr = options.step_myr;
        start.dt = options.step_myr * kSecondsPerMegayear;
        start.seed = options.seed_given ? options.seed : clock_seed();
    }
    const double dt = start.dt;
    const int count = start.particles;

    SnapshotFolder folder;
    if (options.snapshot_every > 0) {
        std::string problem;
        if (!take_snapshot_folder(options.snapshot_dir,
                                  options.resume.empty() ? nullptr : &start.snapshot.info,
                                  options.replace_snapshots, &folder, &problem)) {
            std::fprintf(stderr, "lumeth-record: cannot write snapshots to '%s': %s\n",
                         options.snapshot_dir.c_str(), problem.c_str());
            return 2;
        }
    }

    std::unique_ptr<VideoWriter> writer;
    std::string error;
    if (options.writes_video()) {
        VideoSettings settings;
        settings.path = options.out;
        settings.codec = options.codec;
        settings.quality = options.quality;
        settings.width = kWindowWidth;
        settings.height = kWindowHeight;
        settings.fps = options.fps;
        writer = std::make_unique<VideoWriter>();
        const VideoWriter::OpenResult opened = writer->open(settings, &error);
        if (opened != VideoWriter::OpenResult::ok) {
            std::fprintf(stderr, "lumeth-record: %s\n", error.c_str());
            release_snapshot_folder(options.snapshot_dir, &folder, true);
            return opened == VideoWriter::OpenResult::bad_output ? 2 : 1;
        }
    }
    // What a killed run left, and the snapshots --replace-snapshots replaces, go now that
    // the run can start.
    clear_snapshot_folder(&folder);
    Particle* particles = allocate_particles(static_cast<std::size_t>(count));

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

    std::string destination =
        writer != nullptr ? writer->description() + " -> " + options.out : "no video";
    if (options.snapshot_every > 0) {
        destination +=
            ", a snapshot every " +
            (options.snapshot_every == 1 ? std::string("step")
                                         : std::to_string(options.snapshot_every) + " steps") +
            " in " + options.snapshot_dir;
    }
    if (!options.resume.empty()) {
        destination +=
            ", resumed from " + options.resume + " at step " + std::to_string(start.step_count);
    }
    std::printf("lumeth-record: %d particles, seed %u, %d frames of %g Myr at %g fps, %dx%d %s\n",
                count, start.seed, options.frames, start.step_myr, options.fps, kWindowWidth,
                kWindowHeight, destination.c_str());
    std::fflush(stdout);

    // No window and no video driver: SDL's software renderer draws straight into a surface
    // of the window's size, in the byte order the encoder reads.
    SDL_Surface* target = SDL_CreateSurface(kWindowWidth, kWindowHeight, SDL_PIXELFORMAT_BGRX32);
    SDL_Renderer* renderer = target != nullptr ? SDL_CreateSoftwareRenderer(target) : nullptr;
    if (renderer == nullptr) {
        std::fprintf(stderr, "lumeth-record: cannot set up SDL's software renderer: %s\n",
                     SDL_GetError());
        if (writer != nullptr) {
            writer->discard();
        }
        SDL_DestroySurface(target);
        std::free(particles);
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGTERM, &old_term, nullptr);
        release_snapshot_folder(options.snapshot_dir, &folder, true);
        return 1;
    }

    SimulationState state{};
    state.window = nullptr;
    state.renderer = renderer;
    state.particles = particles;
    state.particle_count = count;
    state.sim_time = start.sim_time;
    state.paused = 0;
    state.scale = kProjectionScale;
    state.zoom = options.zoom;
    if (options.resume.empty()) {
        generate_galaxy(particles, count, start.seed);
    } else {
        std::copy(start.snapshot.particles.begin(), start.snapshot.particles.end(), particles);
        std::vector<Particle>().swap(start.snapshot.particles);
    }

    // The snapshot of the state after `steps` steps.
    SnapshotLog snapshots;
    PhaseTimes times;
    auto snapshot = [&](long long steps) {
        SnapshotInfo info;
        info.particle_count = count;
        info.step_count = steps;
        info.sim_time = state.sim_time;
        info.step_seconds = dt;
        info.step_myr = start.step_myr;
        info.seed = start.seed;
        // The new galaxy, before any step, has no backend.
        if (step_backend() != StepBackend::undecided) {
            info.backend = backend_label();
            info.math_library = math_library();
        }
        return write_snapshot(options.snapshot_dir, info, particles, &snapshots, &error);
    };

    Progress progress(stderr, options.frames, isatty(STDERR_FILENO) != 0);
    bool failed = false;
    int frame = 0;
    long long steps = start.step_count;
    const long long last_step = start.step_count + options.frames;
    const Clock::time_point started = Clock::now();
    // A new galaxy's snapshots begin with the state before the first step; a resumed run
    // does not write again the one it started from.
    if (options.snapshot_every > 0 && options.resume.empty() && !snapshot(0)) {
        failed = true;
    }
    auto encoder = writer != nullptr
                       ? std::make_unique<EncoderThread>(writer.get(), kFramesInFlight)
                       : nullptr;
    Uint64 previous_counter = SDL_GetPerformanceCounter();
    while (!failed && frame < options.frames && stop_signal == 0) {
        // As in the window: the rate is the reciprocal of the previous frame's duration.
        const Uint64 now = SDL_GetPerformanceCounter();
        const double fps = frame_rate(now, previous_counter, SDL_GetPerformanceFrequency());
        previous_counter = now;

        const Clock::time_point t0 = Clock::now();
        advance_simulation(&state, dt);
        ++steps;
        if (frame == 0 && !options.resume.empty()) {
            note_other_producer(options.resume, start.snapshot.info);
        }
        const Clock::time_point t1 = Clock::now();
        times.step += seconds(t0, t1);
        if (options.snapshot_every > 0 && steps % options.snapshot_every == 0 && !snapshot(steps)) {
            failed = true;
            break;
        }
        if (encoder != nullptr) {
            const Clock::time_point t1 = Clock::now();
            // The counter shows the steps since the galaxy was generated, so that a resumed
            // run's frames are the uninterrupted run's.
            draw_recorded_frame(state, fps, options.show_rate, start.step_myr, steps, last_step);
            // SDL queues the drawing and rasterises it at the next flush: that belongs to
            // the drawing's time, not the read-back's.
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
            // The encoder takes the read-back copy, so the renderer is free for the next
            // frame.
            if (!encoder->submit(pixels)) {
                failed = true;
                break;
            }
            const Clock::time_point t4 = Clock::now();
            SDL_RenderPresent(renderer);
            times.draw += seconds(t1, t2);
            times.read_back += seconds(t2, t3);
            times.encode += seconds(t3, t4);
        }
        ++frame;
        progress.update(frame, seconds(started, Clock::now()));
    }
    const int stopped_by = stop_signal;
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);

    // The frames still waiting are encoded before the file is completed.
    const Clock::time_point draining = Clock::now();
    if (encoder != nullptr) {
        std::string encoder_error;
        if (!encoder->finish(&encoder_error) && error.empty()) {
            error = encoder_error;
            failed = true;
        }
        times.encoder_busy = encoder->busy_seconds();
        encoder.reset();
    }
    progress.end();

    int status = 0;
    if (failed) {
        status = 1;
    } else if (frame == 0) {
        // Stopped before the first frame: there is no video to keep.
        if (writer != nullptr) {
            writer->discard();
        }
        status = 128 + stopped_by;
    } else if (writer == nullptr || writer->finish(&error)) {
        times.encode += seconds(draining, Clock::now());
        print_summary(options, writer.get(), frame, seconds(started, Clock::now()), times,
                      stopped_by, snapshots);
        status = stopped_by != 0 ? 128 + stopped_by : 0;
    } else {
        status = 1;
    }
    if (status == 1) {
        std::string outcome;
        if (writer != nullptr) {
            outcome = keep_video(writer.get(), options.out);
        }
        if (snapshots.written > 0) {
            outcome += "; the snapshots written before are complete";
        }
        std::fprintf(stderr, "lumeth-record: %s%s\n", error.c_str(), outcome.c_str());
    }

    release_gpu();
    SDL_DestroyRenderer(renderer);
    SDL_DestroySurface(target);
    std::free(particles);
    SDL_Quit();
    release_snapshot_folder(options.snapshot_dir, &folder, false);
    return status;
}

}  // namespace lumeth::record
