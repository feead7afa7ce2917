// lumeth-bench: times each phase of the simulation on every backend of this build, checks that
// every backend gives the baseline's results, and ends with the frame rate of the program's
// frame. Prints one plain-text table.
//
// Exit status: 0 when every backend agrees with the baseline, 1 when one does not (or a GPU
// measurement fails), 2 for a bad command line.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "count_measurement.h"
#include "gpu/step_driver.h"
#include "kernels/cpu_kernels.h"
#include "options.h"
#include "sim/initial_conditions.h"
#include "table.h"

namespace lumeth::bench {
namespace {

// The program's particle count: the CPU path chooses its division on the program's galaxy.
constexpr int kProgramCount = 100000;

// Lets the CPU path choose its division as the program does, on a first force pass over the
// program's galaxy of 100,000 particles (the count the program runs, whatever --count), and
// says which it uses and how it was chosen.
std::string choose_cpu_division() {
    if (supported_cpu_divisions().size() < 2) {
        return std::string(cpu_division()) + " division (no fma division at this level)";
    }
    if (std::string(cpu_division()) != "undecided") {
        return std::string(cpu_division()) + " division (LUMETH_CPU_DIVISION)";
    }
    std::vector<Particle> galaxy(kProgramCount);
    generate_galaxy(galaxy.data(), kProgramCount, kSeed);
    compute_forces_cpu(galaxy.data(), kProgramCount, 0.0, 0.0, 0.0);
    const std::string chosen = cpu_division();
    if (chosen == "undecided") {
        return "hardware division (a first force pass over the program's 100000 particles was "
               "too small to time the divisions on these threads)";
    }
    const CpuDivisionChoice choice = last_cpu_division_choice();
    char figures[256];
    std::snprintf(figures, sizeof figures,
                  "fastest of %d slices each: %.3f ms hardware, %.3f ms fma; the fma division "
                  "must be faster by %.0f%%, at least 10%% and twice the slices' spread of "
                  "%.0f%%",
                  choice.slices, choice.hardware_ms, choice.fma_ms, 100.0 * choice.margin,
                  100.0 * choice.spread);
    return chosen +
           " division (chosen as the program chooses, in timed slices of a first force pass over "
           "its 100000 particles, whatever the count measured; " +
           figures + ")";
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
    // Set by whoever runs the benchmark under an emulator (the arm64 tests under qemu): the
    // program cannot reliably tell that it is emulated, and such figures say nothing of the
    // processor.
    const char* emulated = std::getenv("LUMETH_BENCH_EMULATED");
    if (emulated != nullptr && *emulated != '\0') {
        std::printf("; EMULATED (%s): every figure is the emulator's, not the processor's",
                    emulated);
    }
    std::printf("\n\n");
    std::fflush(stdout);

    // Largest count first: the step driver may keep device buffers sized by its first call,
    // so every later (smaller) count fits in them. Each count's rows are printed as soon as
    // they are measured; the frame rate of each count ends the table.
    TablePrinter table;
    std::vector<std::string> frame_lines;
    bool agree = true;
    for (auto k = counts.rbegin(); k != counts.rend(); ++k) {
        std::fprintf(stderr, "lumeth-bench: measuring %d particles\n", *k);
        CountMeasurement measurement;
        agree = run_count(&measurement, *k, options.runs, baseline_runs) && agree;
        table.print_group(measurement.rows);
        frame_lines.push_back(measurement.frame_line);
    }
    std::printf("\n");
    for (const std::string& line : frame_lines) {
        std::printf("%s\n", line.c_str());
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
