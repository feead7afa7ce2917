// lumeth-bench: times each phase of the simulation on every backend of this build and checks
// that every backend gives the baseline's results. Prints one plain-text table.
//
// Exit status: 0 when every backend agrees with the baseline, 1 when one does not (or a GPU
// measurement fails), 2 for a bad command line.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "bench_parts.h"
#include "cli/command_line.h"
#include "compare.h"
#include "gpu/motion_backup.h"
#include "gpu/step_driver.h"
#include "kernels/cpu_kernels.h"
#include "sim/constants.h"
#include "sim/initial_conditions.h"
#include "sim/particle.h"
#include "timing.h"

namespace lumeth::bench {
namespace {

constexpr int kDefaultCount = 100000;
constexpr int kDefaultRuns = 5;
constexpr int kMaxCount = 10000000;
constexpr int kMaxRuns = 1000;
constexpr std::uint32_t kSeed = 20240601;  // every measured galaxy is drawn from this seed
constexpr int kSweepCounts[] = {10000, 25000, 50000, 100000, 200000, 400000};
// In a sweep the baseline takes seconds per force pass at the largest counts: fewer runs.
constexpr int kSweepBaselineRuns = 3;
// Double-precision instructions per sampled pair in the force kernel: the pair loop of
// compute_forces_kernel's machine code for compute capability 9.0 holds 88 DFMA, 32 DMUL and
// 14 DADD (cuobjdump -sass), the fast paths of its divisions and square root included.
constexpr double kFp64InstructionsPerPair = 134.0;
// Bytes the integration kernel moves per record: the 80-byte record read, position and
// velocity (48 bytes) written.
constexpr double kIntegrateBytesPerRecord = 128.0;
// The records a force pass is first timed on to estimate a long one (the pass grows as
// count * count / 1000).
constexpr int kEstimateSampleCount = 20000;
// A baseline median below this is mostly the clock's and the call's own overhead: no speed-up
// is computed from it.
constexpr double kShortestBaselineMs = 0.01;

const char* const kUsage =
    "Usage: lumeth-bench [--count N] [--repeat R] [--sweep] [-h | --help]\n"
    "\n"
    "Times each phase of the galaxy simulation on every backend of this build and checks\n"
    "each backend's results against a plain single-threaded baseline. Prints one table.\n"
    "\n"
    "  --count N    particles (default 100000, at most 10000000)\n"
    "  --repeat R   timed runs per measurement, after one warm-up; the median is reported\n"
    "               (default 5, at most 1000)\n"
    "  --sweep      measure at 10000, 25000, 50000, 100000, 200000 and 400000 particles\n"
    "               instead of --count (the baseline then runs at most 3 times per count);\n"
    "               each count's rows print as soon as it is measured, largest count first\n"
    "  -h, --help   print this text and exit\n"
    "\n"
    "Each option may be given once; a value follows the option as the next argument or\n"
    "after '=' (--count=N). Every run draws the galaxy from the same fixed seed, so figures\n"
    "compare across runs and machines. Progress and time estimates for long phases go to\n"
    "standard error.\n"
    "\n"
    "The table's words: a baseline is the plain single-threaded version of a phase, the\n"
    "reference for every backend's results and speed-ups. A floor is a bound that the\n"
    "measured figure cannot beat: the same bytes or operations done the fastest way (a\n"
    "plain copy on as many threads, the device's peak rate); 'Nx its floor' is the figure\n"
    "over that bound. The force pass's divider floor (its divisions and square roots alone\n"
    "on the divider) bounds the hardware division; the fma division, which leaves the\n"
    "divider, is shown against it too, to tell how far it gets past it, and against its own\n"
    "FMA floor. Mpairs/s: million particle pairs of the force pass per second (each\n"
    "particle against every 1000th, the sampled ones).\n"
    "\n"
    "Exit status: 0 when every backend gives the baseline's results, 1 when one does not,\n"
    "2 for a bad command line.\n";

struct Options {
    int count = kDefaultCount;
    int runs = kDefaultRuns;
    bool sweep = false;
    bool count_given = false;
    bool repeat_given = false;
};

// Fills *options from the command line. Returns -1 to go on, or the exit status.
int parse_options(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        OptionReader option(argc, argv, &i);
        const std::string& arg = option.name();
        // The option's value as a whole number from 1 to `largest`, or a message on stderr.
        auto take_whole_number = [&](const char* name, int largest, int* value) {
            const char* text = option.take_value();
            if (text == nullptr) {
                std::fprintf(stderr, "lumeth-bench: %s needs a value\n", name);
                return false;
            }
            long long number = 0;
            if (parse_whole_number(text, 1, largest, &number)) {
                *value = static_cast<int>(number);
                return true;
            }
            std::fprintf(stderr, "lumeth-bench: %s needs a whole number from 1 to %d, got '%s'\n",
                         name, largest, text);
            return false;
        };
        // Notes the option as given; false, with a message, when it already was.
        auto first_time = [&](const char* name, bool* given) {
            if (*given) {
                std::fprintf(stderr, "lumeth-bench: %s given twice\n", name);
                return false;
            }
            *given = true;
            return true;
        };
        if ((arg == "--help" || arg == "-h") && !option.has_inline_value()) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option.refuse_repeat("lumeth-bench")) {
            return 2;
        }
        if (arg == "--sweep" && !option.has_inline_value()) {
            if (!first_time("--sweep", &options->sweep)) {
                return 2;
            }
        } else if (arg == "--count") {
            if (!first_time("--count", &options->count_given) ||
                !take_whole_number("--count", kMaxCount, &options->count)) {
                return 2;
            }
        } else if (arg == "--repeat") {
            if (!first_time("--repeat", &options->repeat_given) ||
                !take_whole_number("--repeat", kMaxRuns, &options->runs)) {
                return 2;
            }
        } else {
            std::fprintf(stderr, "lumeth-bench: unknown option '%s' (try --help)\n", argv[i]);
            return 2;
        }
    }
    if (options->sweep && options->count_given) {
        std::fprintf(stderr, "lumeth-bench: --count and --sweep cannot be combined\n");
        return 2;
    }
    return -1;
}

// Pair evaluations in one force pass: every particle i against every sampled j (every
// 1000th record) other than itself.
std::int64_t pairs_per_force_pass(int count) {
    const std::int64_t sampled =
        (static_cast<std::int64_t>(count) + kPairSampleStride - 1) / kPairSampleStride;
    return static_cast<std::int64_t>(count) * sampled - sampled;
}

// One line of the table. Empty text and NaN or zero numbers print as "-".
struct Row {
    std::string phase;
    std::string backend;
    int count = 0;
    int runs = 0;
    double ms = NAN;
    double mpairs = NAN;  // million sampled pair evaluations per second
    int threads = 0;
    int simd = 0;
    std::string result;
};

std::string format(const char* pattern, double value) {
    if (std::isnan(value)) {
        return "-";
    }
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string number(int value) {
    return value > 0 ? std::to_string(value) : "-";
}

std::string speed_up(double baseline_ms, double ms) {
    if (!(baseline_ms >= kShortestBaselineMs)) {
        return "too small to time a speed-up (baseline under 0.01 ms)";
    }
    return format("speed-up %.1fx", baseline_ms / ms);
}

// "1.35x its floor"
std::string of_floor(double ms, double floor_ms) {
    return format("%.2fx its floor", ms / floor_ms);
}

std::string bandwidth(std::size_t bytes, double ms) {
    return format("%.1f GB/s", static_cast<double>(bytes) / (ms * 1e-3) / 1e9);
}

std::string backend_label(StepBackend backend) {
    return std::string("driver: ") + step_backend_name(backend);
}

// Everything measured at one particle count.
class CountMeasurement {
  public:
    CountMeasurement(int count, int runs, int baseline_runs)
        : count_(count),
          runs_(runs),
          baseline_runs_(baseline_runs),
          bytes_(static_cast<std::size_t>(count) * sizeof(Particle)),
          pairs_(pairs_per_force_pass(count)),
          galaxy_(static_cast<std::size_t>(count)),
          forces_(static_cast<std::size_t>(count)),
          integrated_(static_cast<std::size_t>(count)),
          work_(static_cast<std::size_t>(count)) {}

    // Runs every measurement; false when a backend disagrees with the baseline.
    bool run() {
        generation();
        baseline();
        cpu_path();
        announce("timing the GPU");
        gpu();
        step_driver();
        motion_backup();
        announce("timing the renderer");
        render();
        return agree_;
    }

    const std::vector<Row>& rows() const { return rows_; }

  private:
    Row row(const std::string& phase, const std::string& backend, int runs,
            const std::vector<double>& samples) const {
        Row r;
        r.phase = phase;
        r.backend = backend;
        r.count = count_;
        r.runs = runs;
        r.ms = median(samples);
        return r;
    }

    double pair_rate(double ms) const { return static_cast<double>(pairs_) / (ms * 1e-3) / 1e6; }

    void copy_in(const std::vector<Particle>& from) {
        std::memcpy(work_.data(), from.data(), bytes_);
    }

    // Names a phase that reports no progress of its own when the count is large enough for
    // the baseline's force pass to have been a long phase.
    void announce(const char* what) const {
        if (long_count_) {
            std::fprintf(stderr, "lumeth-bench: %s at %d particles\n", what, count_);
        }
    }

    // The phase and backend as the progress messages name them.
    std::string label(const std::string& phase, const std::string& backend) const {
        return phase + " on " + backend + " at " + std::to_string(count_) + " particles";
    }

    // One force pass's expected time at this count, from `pass` timed on the galaxy's first
    // kEstimateSampleCount records; NaN for counts too small to need an estimate.
    template <typename Pass>
    double estimate_force_pass_ms(Pass pass) const {
        if (count_ <= kEstimateSampleCount) {
            return NAN;
        }
        std::vector<Particle> sample(galaxy_.begin(), galaxy_.begin() + kEstimateSampleCount);
        const auto start = std::chrono::steady_clock::now();
        pass(sample.data(), kEstimateSampleCount);
        const auto stop = std::chrono::steady_clock::now();
        const double ms = std::chrono::duration<double, std::milli>(stop - start).count();
        return ms * static_cast<double>(pairs_) /
               static_cast<double>(pairs_per_force_pass(kEstimateSampleCount));
    }

    // Notes a comparison in the table and in the exit status.
    std::string check(const Comparison& comparison) {
        if (comparison.differing > 0) {
            agree_ = false;
        }
        return describe(comparison);
    }

    void generation() {
        const auto samples = time_runs(
            label("generate_initial_conditions", "host"), runs_, NAN, [] {},
            [&] { generate_galaxy(galaxy_.data(), count_, kSeed); });
        Row r = row("generate_initial_conditions", "host", runs_, samples);
        r.threads = 1;
        r.result = "seed " + std::to_string(kSeed);
        rows_.push_back(r);
    }

    // The plain single-threaded loops: the reference results and times.
    void baseline() {
        const double estimate_ms = estimate_force_pass_ms(
            [](Particle* sample, int n) { compute_forces_reference(sample, n, 0.0, 0.0, 0.0); });
        long_count_ = estimate_ms * (baseline_runs_ + 1) >= kLongPhaseMs;
        auto samples = time_runs(
            label("compute_forces", "baseline"), baseline_runs_, estimate_ms,
            [&] { copy_in(galaxy_); },
            [&] { compute_forces_reference(work_.data(), count_, 0.0, 0.0, 0.0); });
        forces_ = work_;
        Row r = row("compute_forces", "baseline", baseline_runs_, samples);
        baseline_forces_ms_ = r.ms;
        r.mpairs = pair_rate(r.ms);
        r.threads = 1;
        r.simd = 1;
        r.result = "reference";
        rows_.push_back(r);

        samples = time_runs(
            label("integrate", "baseline"), baseline_runs_, NAN, [&] { copy_in(forces_); },
            [&] { integrate_reference(work_.data(), count_, kTimeStep); });
        integrated_ = work_;
        r = row("integrate", "baseline", baseline_runs_, samples);
        baseline_integrate_ms_ = r.ms;
        r.threads = 1;
        r.simd = 1;
        r.result = "reference";
        rows_.push_back(r);
    }

    // One force pass of the CPU path with the division in use, checked against the baseline.
    Row cpu_forces(const std::string& backend) {
        const auto samples = time_runs(
            label("compute_forces", backend), runs_, NAN, [&] { copy_in(galaxy_); },
            [&] { compute_forces_cpu(work_.data(), count_, 0.0, 0.0, 0.0); });
        Row r = row("compute_forces", backend, runs_, samples);
        r.mpairs = pair_rate(r.ms);
        r.threads = cpu_thread_count();
        r.simd = cpu_simd_width();
        r.result = check(compare_exact(forces_.data(), work_.data(), count_)) + ", " +
                   speed_up(baseline_forces_ms_, r.ms);
        return r;
    }

    // The force pass with the division in use and with each division of the level, beside the
    // divider floor (its divisions and square roots alone on the divider) and, for the fma
    // division, the FMA floor (as many fused multiply-adds as it issues vector operations).
    void cpu_forces_by_division() {
        const std::string in_use = cpu_division();
        Row chosen = cpu_forces("cpu");

        auto floor_row = [&](const char* phase, auto work) {
            Row r = row(phase, "cpu", runs_,
                        time_runs(
                            label(phase, "cpu"), runs_, NAN, [] {}, work));
            r.threads = cpu_thread_count();
            r.simd = cpu_simd_width();
            return r;
        };
        Row divider = floor_row("divider floor", [&] { divider_floor_work(pairs_); });
        divider.result = format("11 divisions and 1 square root per pair in %.0f-double vectors",
                                cpu_simd_width());
        std::vector<Row> rows;
        double fastest_ms = chosen.ms;
        for (const char* division : supported_cpu_divisions()) {
            use_cpu_division(division);
            Row r = cpu_forces(std::string("cpu: ") + division + " division");
            r.result += ", " + format("%.2fx the divider floor", r.ms / divider.ms);
            fastest_ms = std::min(fastest_ms, r.ms);
            rows.push_back(r);
        }
        if (fma_operations_per_pair() > 0) {
            Row fma = floor_row("fma floor", [&] { fma_floor_work(pairs_); });
            fma.result = std::to_string(fma_operations_per_pair()) +
                         " fused multiply-adds per pair and vector";
            rows.back().result += ", " + format("%.2fx the FMA floor", rows.back().ms / fma.ms);
            rows.push_back(fma);
        }
        use_cpu_division(in_use.c_str());
        chosen.result += ", " + in_use + " division, " +
                         format("%.2fx the faster division", chosen.ms / fastest_ms);
        rows_.push_back(chosen);
        rows_.insert(rows_.end(), rows.begin(), rows.end());
        rows_.push_back(divider);
    }

    void cpu_path() {
        cpu_forces_by_division();

        const auto samples = time_runs(
            label("integrate", "cpu"), runs_, NAN, [&] { copy_in(forces_); },
            [&] { integrate_cpu(work_.data(), count_, kTimeStep); });
        Row r = row("integrate", "cpu", runs_, samples);
        r.threads = cpu_thread_count();
        r.simd = 1;
        r.result = check(compare_exact(integrated_.data(), work_.data(), count_)) + ", " +
                   speed_up(baseline_integrate_ms_, r.ms);
        rows_.push_back(r);
    }

    void gpu() {
        std::vector<Particle> gpu_forces(static_cast<std::size_t>(count_));
        std::vector<Particle> gpu_integrated(static_cast<std::size_t>(count_));
        const GpuMeasurement m = measure_gpu(galaxy_.data(), forces_.data(), count_, kTimeStep,
                                             runs_, gpu_forces.data(), gpu_integrated.data());
        if (!m.available) {
            Row r;
            r.phase = "gpu";
            r.backend = "gpu";
            r.count = count_;
            r.result = "not available (" + m.reason + ")";
            rows_.push_back(r);
            return;
        }
        const std::string name = "gpu: " + m.device;
        if (!m.failure.empty()) {
            agree_ = false;
            Row r;
            r.phase = "gpu";
            r.backend = name;
            r.count = count_;
            r.result = "failed (" + m.failure + ")";
            rows_.push_back(r);
            return;
        }
        Row pinned_up = row("upload (page-locked)", name, runs_, m.pinned_upload_ms);
        pinned_up.result = "the uploads' floor, " + bandwidth(bytes_, pinned_up.ms);
        Row pinned_down = row("download (page-locked)", name, runs_, m.pinned_download_ms);
        pinned_down.result = "the downloads' floor, " + bandwidth(bytes_, pinned_down.ms);

        Row r = row("upload (pageable)", name, 2 * runs_, m.upload_ms);
        r.result = bandwidth(bytes_, r.ms) + ", " + of_floor(r.ms, pinned_up.ms);
        gpu_copies_ms_ = r.ms;
        rows_.push_back(r);

        // The force kernel's floor: its double-precision instructions at the device's peak
        // issue rate.
        const double fp64_per_second =
            m.multiprocessors * m.fp64_per_multiprocessor_per_clock * m.clock_hz;
        const double fp64_floor_ms =
            static_cast<double>(pairs_) * kFp64InstructionsPerPair / fp64_per_second * 1e3;
        r = row("compute_forces kernel", name, runs_, m.force_kernel_ms);
        r.mpairs = pair_rate(r.ms);
        r.result = check(compare_gpu_forces(forces_.data(), gpu_forces.data(), count_)) + ", " +
                   of_floor(r.ms, fp64_floor_ms) + " (FP64: " + std::to_string(m.multiprocessors) +
                   " SMs x " + format("%.0f", m.fp64_per_multiprocessor_per_clock) +
                   " per clock x " + format("%.2f GHz", m.clock_hz / 1e9) + ")";
        gpu_forces_kernel_ms_ = r.ms;
        rows_.push_back(r);

        r = row("download (pageable)", name, 2 * runs_, m.download_ms);
        r.result = bandwidth(bytes_, r.ms) + ", " + of_floor(r.ms, pinned_down.ms);
        gpu_copies_ms_ += r.ms;
        rows_.push_back(r);

        // The integration kernel's floor: its bytes at the bandwidth of a copy across the
        // device's memory of the same array (read once, written once).
        const double device_copy_ms = median(m.device_copy_ms);
        const double memory_bytes_per_ms = 2.0 * static_cast<double>(bytes_) / device_copy_ms;
        const double memory_floor_ms = kIntegrateBytesPerRecord * count_ / memory_bytes_per_ms;
        r = row("integrate kernel", name, runs_, m.integrate_kernel_ms);
        r.result = check(compare_exact(integrated_.data(), gpu_integrated.data(), count_)) + ", " +
                   of_floor(r.ms, memory_floor_ms) +
                   " (memory: " + format("%.0f GB/s", memory_bytes_per_ms / 1e6) + " measured)";
        gpu_integrate_kernel_ms_ = r.ms;
        rows_.push_back(r);

        rows_.push_back(pinned_up);
        rows_.push_back(pinned_down);
    }

    // What the step driver keeps so that a failed copy back of an integration step can be
    // undone: every record's position and velocity, copied on the host while the kernel runs,
    // against its floor: one plain copy of as many bytes, on all the threads the backup uses
    // (one thread would not be a bound: the backup beats it).
    void motion_backup() {
        MotionBackup backup;
        if (!reserve_motion_backup(&backup, count_)) {
            return;
        }
        const std::size_t bytes = static_cast<std::size_t>(count_) * kMotionBytes;
        std::vector<unsigned char> from(bytes, 1);
        std::vector<unsigned char> to(bytes, 0);
        const auto plain = time_runs(
            label("plain copy", "host"), runs_, NAN, [] {},
            [&] {
                constexpr std::size_t kBlock = std::size_t{1} << 16;
                const long long blocks = static_cast<long long>((bytes + kBlock - 1) / kBlock);
#pragma omp parallel for schedule(static)
                for (long long b = 0; b < blocks; ++b) {
                    const std::size_t start = static_cast<std::size_t>(b) * kBlock;
                    std::memcpy(to.data() + start, from.data() + start,
                                std::min(kBlock, bytes - start));
                }
            });
        const auto saved = time_runs(
            label("motion backup", "host"), runs_, NAN, [] {},
            [&] { save_motion(galaxy_.data(), count_, &backup); });
        release_motion_backup(&backup);

        Row copy = row("plain copy (host)", "host", runs_, plain);
        copy.threads = cpu_thread_count();
        copy.result = "the backup's floor, " + bandwidth(bytes, copy.ms);
        Row r = row("motion backup (host)", "driver", runs_, saved);
        r.threads = cpu_thread_count();
        r.result =
            format("%.1f MB of position and velocity, ", bytes / 1e6) + of_floor(r.ms, copy.ms);
        rows_.push_back(r);
        rows_.push_back(copy);
    }

    // The step driver as the program calls it, on whichever backend it chose.
    void step_driver() {
        auto samples = time_runs(
            label("step_forces", "the step driver"), runs_, NAN, [&] { copy_in(galaxy_); },
            [&] { step_forces(work_.data(), count_); });
        const StepBackend forces_backend = step_backend();
        const Comparison forces_comparison =
            forces_backend == StepBackend::gpu
                ? compare_gpu_forces(forces_.data(), work_.data(), count_)
                : compare_exact(forces_.data(), work_.data(), count_);
        Row r = row("step_forces", backend_label(forces_backend), runs_, samples);
        r.mpairs = pair_rate(r.ms);
        if (forces_backend != StepBackend::gpu) {
            r.threads = cpu_thread_count();
            r.simd = cpu_simd_width();
        }
        r.result = check(forces_comparison) + ", " + speed_up(baseline_forces_ms_, r.ms);
        if (forces_backend == StepBackend::gpu) {
            r.result += ", " + of_floor(r.ms, gpu_forces_kernel_ms_ + gpu_copies_ms_) +
                        " (kernel + two pageable copies)";
        }
        rows_.push_back(r);

        samples = time_runs(
            label("step_integrate", "the step driver"), runs_, NAN, [&] { copy_in(forces_); },
            [&] { step_integrate(work_.data(), count_, kTimeStep); });
        const StepBackend integrate_backend = step_backend();
        r = row("step_integrate", backend_label(integrate_backend), runs_, samples);
        if (integrate_backend != StepBackend::gpu) {
            r.threads = cpu_thread_count();
            r.simd = 1;
        }
        r.result = check(compare_exact(integrated_.data(), work_.data(), count_)) + ", " +
                   speed_up(baseline_integrate_ms_, r.ms);
        if (integrate_backend == StepBackend::gpu) {
            r.result += ", " + of_floor(r.ms, gpu_integrate_kernel_ms_ + gpu_copies_ms_) +
                        " (kernel + two pageable copies)";
        }
        if (integrate_backend == StepBackend::gpu) {
            r.result += ", " + of_floor(r.ms, gpu_integrate_kernel_ms_ + gpu_copies_ms_) +
                        " (kernel + two pageable copies)";
        }
        rows_.push_back(r);
    }

    void render() {
        const RenderMeasurement m = measure_render(galaxy_.data(), count_, runs_);
        if (!m.available) {
            Row r;
            r.phase = "render";
            r.backend = "sdl software";
            r.count = count_;
            r.result = "not available (" + m.reason + ")";
            rows_.push_back(r);
            return;
        }
        Row frame = row("render_frame", "sdl software", runs_, m.render_frame_ms);
        frame.threads = 1;
        frame.result = std::to_string(m.points_in_frame) + " points in the frame";
        Row batched = row("render points (batched)", "sdl software", runs_, m.batched_ms);
        batched.threads = 1;
        batched.result = "3 SDL_RenderPoints calls; render_frame takes " +
                         format("%.1fx", frame.ms / batched.ms);
        rows_.push_back(frame);
        rows_.push_back(batched);
    }

    int count_;
    int runs_;
    int baseline_runs_;
    std::size_t bytes_;
    std::int64_t pairs_;
    std::vector<Particle> galaxy_;      // the generated galaxy: the force pass's input
    std::vector<Particle> forces_;      // the baseline's force pass: the integration's input
    std::vector<Particle> integrated_;  // the baseline's integration
    std::vector<Particle> work_;        // each timed run's array
    double baseline_forces_ms_ = NAN;
    double baseline_integrate_ms_ = NAN;
    double gpu_forces_kernel_ms_ = NAN;  // the GPU's medians, for the step functions' floors
    double gpu_integrate_kernel_ms_ = NAN;
    double gpu_copies_ms_ = NAN;  // one pageable upload and one download
    bool agree_ = true;
    bool long_count_ = false;  // the baseline's force pass was estimated as a long phase
    std::vector<Row> rows_;
};

// Prints the table a group of rows (one count's) at a time, as each is measured: the header
// and a rule with the first group, a rule before each later one. Each column is as wide as
// its header and the widest cell so far; the first group holds every kind of row at the
// largest count, so later groups normally keep its widths.
class TablePrinter {
  public:
    void print_group(const std::vector<Row>& rows) {
        std::vector<std::vector<std::string>> cells;
        for (const Row& r : rows) {
            cells.push_back({r.phase, r.backend, number(r.count), number(r.runs),
                             format("%.3f", r.ms), format("%.1f", r.mpairs), number(r.threads),
                             number(r.simd), r.result.empty() ? "-" : r.result});
        }
        for (std::size_t c = 0; c < kHeader.size(); ++c) {
            width_[c] = std::max(width_[c], kHeader[c].size());
            for (const auto& line : cells) {
                width_[c] = std::max(width_[c], line[c].size());
            }
        }
        // The rule spans the aligned columns; the free-text result column runs on past it.
        std::size_t total = 2 * (kHeader.size() - 1) + kHeader.back().size();
        for (std::size_t c = 0; c + 1 < width_.size(); ++c) {
            total += width_[c];
        }
        const std::string rule(total, '-');
        if (!header_printed_) {
            print_line(kHeader);
            header_printed_ = true;
        }
        std::printf("%s\n", rule.c_str());
        for (const auto& line : cells) {
            print_line(line);
        }
        std::fflush(stdout);
    }

  private:
    void print_line(const std::vector<std::string>& line) const {
        std::string text;
        for (std::size_t c = 0; c < line.size(); ++c) {
            const std::string pad(width_[c] - line[c].size(), ' ');
            if (c + 1 == line.size() && !kRight[c]) {
                text += line[c];  // no trailing blanks
            } else {
                text += kRight[c] ? pad + line[c] : line[c] + pad;
            }
            if (c + 1 < line.size()) {
                text += "  ";
            }
        }
        std::printf("%s\n", text.c_str());
    }

    inline static const std::vector<std::string> kHeader = {
        "phase", "backend", "count", "runs", "median ms", "Mpairs/s", "threads", "simd", "result"};
    static constexpr bool kRight[] = {false, false, true, true, true, true, true, true, false};
    std::vector<std::size_t> width_ = std::vector<std::size_t>(kHeader.size(), 0);
    bool header_printed_ = false;
};

// Lets the CPU path choose its division as the program does, on a first force pass over the
// program's galaxy of 100,000 particles, and says which it uses and why.
std::string choose_cpu_division() {
    if (supported_cpu_divisions().size() < 2) {
        return std::string(cpu_division()) + " division (no FMA at this level)";
    }
    if (std::string(cpu_division()) != "undecided") {
        return std::string(cpu_division()) + " division (LUMETH_CPU_DIVISION)";
    }
    std::vector<Particle> galaxy(kDefaultCount);
    generate_galaxy(galaxy.data(), kDefaultCount, kSeed);
    compute_forces_cpu(galaxy.data(), kDefaultCount, 0.0, 0.0, 0.0);
    return std::string(cpu_division()) + " division (the faster on the first pass)";
}

int run(int argc, char** argv) {
    Options options;
    const int status = parse_options(argc, argv, &options);
    if (status >= 0) {
        return status;
    }

    std::vector<int> counts;
    if (options.sweep) {
        counts.assign(std::begin(kSweepCounts), std::end(kSweepCounts));
    } else {
        counts.push_back(options.count);
    }
    const int baseline_runs =
        options.sweep ? std::min(options.runs, kSweepBaselineRuns) : options.runs;

    double load = NAN;
#if defined(__linux__) || defined(__APPLE__)
    double loads[1];
    if (getloadavg(loads, 1) == 1) {
        load = loads[0];
    }
#endif

    std::printf("lumeth-bench: median of %d timed runs after 1 warm-up", options.runs);
    if (baseline_runs != options.runs) {
        std::printf(" (baseline: %d)", baseline_runs);
    }
    std::printf("; CPU path: %d threads, %s, SIMD width %d doubles, %s", cpu_thread_count(),
                cpu_instruction_set(), cpu_simd_width(), choose_cpu_division().c_str());
    if (!std::isnan(load)) {
        std::printf("; load average %.2f at start", load);
    }
    std::printf("\n\n");
    std::fflush(stdout);

    // Largest count first: the step driver may keep device buffers sized by its first call,
    // so every later (smaller) count fits in them. Each count's rows are printed as soon as
    // they are measured.
    TablePrinter table;
    bool agree = true;
    for (auto k = counts.rbegin(); k != counts.rend(); ++k) {
        std::fprintf(stderr, "lumeth-bench: measuring %d particles\n", *k);
        CountMeasurement measurement(*k, options.runs, baseline_runs);
        agree = measurement.run() && agree;
        table.print_group(measurement.rows());
    }
    release_gpu();
    if (!agree) {
        std::printf("\nFAILED: a backend's results differ from the baseline\n");
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace lumeth::bench

int main(int argc, char** argv) {
    return lumeth::bench::run(argc, argv);
}
