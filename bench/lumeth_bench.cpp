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
// says in words which it uses and why.
std::string choose_cpu_division() {
    if (supported_cpu_divisions().size() < 2) {
        return std::string(cpu_division()) + " division (no fma division at this level)";
    }
    if (std::string(cpu_division()) != "undecided") {
        return std::string(cpu_division()) + " division (asked for by LUMETH_CPU_DIVISION)";
    }
    std::vector<Particle> galaxy(kProgramCount);
    generate_galaxy(galaxy.data(), kProgramCount, kSeed);
    compute_forces_cpu(galaxy.data(), kProgramCount, 0.0, 0.0, 0.0);
    const CpuDivisionChoice choice = last_cpu_division_choice();
    char text[512];
    if (std::string(cpu_division()) == "undecided") {
        std::snprintf(text, sizeof text,
                      "undecided division: a force pass over the program's %d particles is too "
                      "small to time the divisions on %d threads, so the hardware division runs",
                      kProgramCount, cpu_thread_count());
        return text;
    }
    const bool fma_faster = choice.fma_ms < choice.hardware_ms;
    const double ratio =
        fma_faster ? choice.hardware_ms / choice.fma_ms : choice.fma_ms / choice.hardware_ms;
    char faster[96];
    if (ratio < 1.0 + kDivisionSwitchMargin) {
        std::snprintf(faster, sizeof faster, "within %.0f%% of each other",
                      100.0 * kDivisionSwitchMargin);
    } else {
        std::snprintf(faster, sizeof faster, "the %s division %.2fx as fast",
                      fma_faster ? "fma" : "hardware", ratio);
    }
    std::snprintf(
        text, sizeof text,
        "%s division, chosen by timing as the program chooses: in slices of a first "
        "force pass over its %d particles, whatever the count measured, a slice cost its threads "
        "%.3f ms of CPU time with the hardware division and %.3f ms with the fma division (the "
        "faster %d of %d slices each), %s; timed again every %d passes",
        cpu_division(), kProgramCount, choice.hardware_ms, choice.fma_ms, (choice.slices + 1) / 2,
        choice.slices, faster, kDivisionRecheckPasses);
    return text;
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
